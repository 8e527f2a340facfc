{ matrix4 m; m.identity(); return m.inverse(); }
void render(float t) {}
