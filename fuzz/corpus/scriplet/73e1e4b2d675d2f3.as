int depth = 0;
void down() { depth++; down(); }
void render(float t) { note("r"); depth = 0; down(); note("unreached"); }
