{ matrix4 r; r.rotateAxis(vector3(0, 0, 2), 1.5707963); return vector3(1, 0, 0) * r; }
void render(float t) {}
