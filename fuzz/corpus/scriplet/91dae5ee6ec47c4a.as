int n = 1;
void render(float t) { note("a" + n); }
void died() { note("died"); }