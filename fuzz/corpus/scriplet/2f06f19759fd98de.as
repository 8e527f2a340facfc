 }
void begin() {
  began = e.begin(passes, 0);
  for (uint i = 0; i < passes; i++) { e.beginPass(i); ran++; e.endPass(); }
  e.end();
}
void end() {
  others = (e.end() < 0 ? 1 : 0) + (e.beginPass(0) < 0 ? 1 : 0) + (e.endPass() < 0 ? 1 : 0) +
           (e.commitChanges() < 0 ? 1 : 0);
  e.setParamVector("c", vector3(0, 0, 0));
  texture t; e.setParamTexture("c", t);
}

void render(float t) {}
