float r; float g(float r) { return r; }
void render(float t) {}
