void render(float t) { int x = null[0]; }
