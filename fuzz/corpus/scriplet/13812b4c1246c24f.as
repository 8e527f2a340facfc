texture t;
texture e;
void init() { t = createTexture(2, 2); t.setCurrent(1); e.setCurrent(1); }
void begin() { e.removeCurrent(1); }

void render(float t) {}
