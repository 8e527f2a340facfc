float4x4 worldView : WorldView;
technique first { pass { CullMode = CW; } }
technique tec0 { pass p0 { CullMode = None; } pass p1 { CullMode = None; } }
