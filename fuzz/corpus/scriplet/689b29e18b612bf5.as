xof 0303txt 0032 Frame { Mesh { 1; }
void render(float t) {}
