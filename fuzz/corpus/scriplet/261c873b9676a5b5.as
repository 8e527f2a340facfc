void main() { a = createSkinnedMeshFromFile("skin.x"); }
void render(float t) {}
