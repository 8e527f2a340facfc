void initGlobals() { rec("
void render(float t) {}
