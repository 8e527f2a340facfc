void main() { a = createSkinnedMeshFromFile("skin.x"); a.draw(0.5); }
void render(float t) {}
