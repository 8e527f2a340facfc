struct S { float r; }; float r;
void render(float t) {}
