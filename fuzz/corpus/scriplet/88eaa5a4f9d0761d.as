{ vector3 v(1, 2, 3); v.x = 7; v.z = v.y; return v; }
void render(float t) {}
