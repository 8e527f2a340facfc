vector3 p;
float r;
void initGlobals() { r = getSceneEnd(); }
void render(float t) {
  matrixStack s; s.translate(1, 2, 3);
  vectorN n(3); n.setVector3(0, vector3(0, 0, 0) * s.getTop());
  n.getVector3(0, p);
  r = clamp(randf(), 0, 1) + r;
  if (engineGetQualitySettings(3) == 1) endDemo();
}
