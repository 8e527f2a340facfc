// The second half, turned by a quarter about the vertical axis.
void begin() {
  logPrint1f("outro: starts at", getSceneStart());
}

void render(float t) {
  float left = getSceneEnd() - t;
  if (left < 0.05)
    logPrint1f("outro: last frame at", t);
}

void end() {
  logPrint("outro: done");
}
