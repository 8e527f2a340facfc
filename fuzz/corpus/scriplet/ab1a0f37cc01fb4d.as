{ matrix4 m; m.scaling(vector3(2, 2, 2)); m.inverse(); return m; }
void render(float t) {}
