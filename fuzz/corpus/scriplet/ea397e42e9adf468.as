extern float speed;
void render(float t) {}