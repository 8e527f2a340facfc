postProcess p;
int w = 0;
int h = 0;
double strength = 0;
void begin() { p = createBlur(w, h, strength); }

void render(float t) {}
