void main() { a = createSkinnedMeshFromFile("rigid.x"); a.draw(0); }
void render(float t) {}
