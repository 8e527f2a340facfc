{ matrix4 a, b; a.translation(vector3(1, 0, 0)); b.scaling(vector3(2, 2, 2)); return vector3(0, 0, 0) * (b * a); }
void render(float t) {}
