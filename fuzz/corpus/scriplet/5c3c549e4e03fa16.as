
float4 tint = {1, 0, 0, 1};
float gain;
sampler image;
float4 ps(float2 uv : TEXCOORD0, float4 c : COLOR0) : COLOR { return tex2D(image, uv) * tint * c * gain; }

void render(float t) {}
