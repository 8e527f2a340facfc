vector3 before, seen;
void preRender(float t) {
  before = getCameraPos(); setCameraPos(vector3(1, 2, 3)); seen = getCameraPos();
}
void render(float t) {}
