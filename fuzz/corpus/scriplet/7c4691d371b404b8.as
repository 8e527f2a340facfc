effect e;
uint passes = 5;
int began = 0;
int ran = 0;
int others = 0;
void init() { 
void render(float t) {}
