// Lit letters: a colour that is brightest where the surface faces the eye,
// with a hot rim where it turns away, for meshes of positions and normals.
float4x4 worldView : WORLDVIEW;
float4x4 projection : PROJECTION;
float3 tint = {1.0, 0.35, 0.8};
float3 rimColor = {0.4, 0.9, 1.0};

struct Lit {
  float4 position : POSITION;
  float3 normal : TEXCOORD0;
  float3 view : TEXCOORD1;
};

Lit vs(float4 p : POSITION, float3 n : NORMAL) {
  Lit o;
  float4 q = mul(p, worldView);
  o.position = mul(q, projection);
  o.normal = mul(n, (float3x3)worldView);
  o.view = q.xyz;
  return o;
}

float4 ps(Lit i) : COLOR {
  float3 n = normalize(i.normal);
  float3 e = normalize(-i.view);
  float facing = abs(dot(n, e));
  float rim = pow(1.0 - facing, 2.0);
  return float4(tint * (0.25 + 0.75 * facing) + rimColor * rim, 1.0);
}

technique tec0 {
  pass p0 {
    CullMode = None;
    VertexShader = compile vs_2_0 vs();
    PixelShader = compile ps_2_0 ps();
  }
}
