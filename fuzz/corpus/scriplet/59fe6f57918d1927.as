{ vectorN w(3); w.set(0, 5); w.copyN(0, 2, 2); return w; }
void render(float t) {}
