
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps(float2 pixel : VPOS, float face : VFACE) : COLOR {
  return float4(pixel.x / 255.0, pixel.y / 255.0, face * 0.5 + 0.5, 1);
}
technique tec0 { pass { VertexShader = compile vs_3_0 vs(); PixelShader = compile ps_3_0 ps(); } }

void render(float t) {}
