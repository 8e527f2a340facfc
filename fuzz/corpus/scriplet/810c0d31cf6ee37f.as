string r;
void render(float t) {}
void initGlobals() {
 string a = 