void render(float t) {}
int y = ;