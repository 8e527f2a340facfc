float4 ps() : COLOR {
  return missingValue;
}
technique tec0 { pass { VertexShader = compile vs_2_0 ps(); PixelShader = compile ps_2_0 ps(); } }
void render(float t) {}
