{ vectorN v(-2); return v; }
void render(float t) {}
