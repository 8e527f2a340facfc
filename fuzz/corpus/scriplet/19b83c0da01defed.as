effect e;
uint passes = 0;
int began = 1;
int ran = 0;
void init() { e = createEffectFromFile("two.fx"); }
void begin() {
  began = e.begin(passes, 0);
  for (uint i = 0; i < passes; i++) { if (e.beginPass(i) == 0) ran++; e.endPass(); }
  e.end();
}

void render(float t) {}
