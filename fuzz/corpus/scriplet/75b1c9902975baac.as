{ vectorN v(3); v.set(1, 5.0); vectorN r(1); r.set(0, v.get(1)); return r; }
void render(float t) {}
