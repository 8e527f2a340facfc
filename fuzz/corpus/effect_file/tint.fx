float3 tint = {0, 0, 0};
texture image;
sampler2D source = sampler_state { Texture = <image>; MinFilter = Point; };
struct Out { float4 p : POSITION; float2 uv : TEXCOORD0; };
Out vs(float4 p : POSITION, float2 uv : TEXCOORD0) { Out o; o.p = p; o.uv = uv; return o; }
float4 ps(Out input) : COLOR { return float4(tex2D(source, input.uv).rgb * tint, 1); }
technique tec0 { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
