
float4 f(float2 p : POSITION) : COLOR { return float4(p, 0, 1); }

void render(float t) {}
