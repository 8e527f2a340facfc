struct S { float a; }; S r; float r;
void render(float t) {}
