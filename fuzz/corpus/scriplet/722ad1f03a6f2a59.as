float viewX() { return getViewMatrix()._41; }
void render(float t) {}
