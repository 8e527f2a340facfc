probe p; probe q;
void make() { p = makeProbe(7); }
void share() { q = p; p = p; q = p; }
void drop() { probe empty; p = empty; q = empty; }

void render(float t) {}
