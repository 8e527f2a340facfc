int frames = 0;
void render(float t) {
  frames = frames + 1;
  logPrint("frame");
  if (frames == 