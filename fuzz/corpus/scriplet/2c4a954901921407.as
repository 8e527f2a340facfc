void initGlobals() { logPrint("initGlobals"); }
void init() { logPrint("init"); }
void render(float t) { logPrint("render"); }
