float3 three = {9, 9, 9};
float4 four = {9, 9, 9, 9};
texture image;
technique tec0 { pass { } }
