int lowest = 1000000, highest = -1000000;
float lowestF = 2, highestF = -1;
void draw(int n) { lowest = 1000000; highest = -1000000;  for (int i = 0; i < 20000; i++) { int r = rand(n);    if (r < lowest) lowest = r; if (r > highest) highest = r; } }
void drawF() { for (int i = 0; i < 20000; i++) { float r = randf();    if (r < lowestF) lowestF = r; if (r > highestF) highestF = r; } }

void render(float t) {}
