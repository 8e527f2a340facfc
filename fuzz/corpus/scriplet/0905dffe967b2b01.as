void main() { a = createMeshFromFile("quad.x"); a.draw(); }
void render(float t) {}
