float4 f(float2 p : POSITION) : COLOR { return undefinedThing; }
void render(float t) {}
