int zero = 0;
void render(float t) { note("a"); int x = 1 / zero; note("b"); }