texture t;
void init() { t = createTextureFromFile("missing.png"); }

void render(float t) {}
