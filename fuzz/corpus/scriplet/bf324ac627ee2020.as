{ vectorN v(4); for (int i = 0; i < 4; i++) v.set(i, i + 1); v.copyN(1, 2, 0); return v; }
void render(float t) {}
