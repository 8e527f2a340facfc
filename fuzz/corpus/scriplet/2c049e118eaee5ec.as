{ matrix4 m; m.rotateAxis(vector3(1, 2, 3), 0.5); return m; }
void render(float t) {}
