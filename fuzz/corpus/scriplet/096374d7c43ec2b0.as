float4 f(float2 p : POSITION) : COLOR { return float4(1, 0, noise(p) * 0, 1); }
void render(float t) {}
