void main() { mesh m = createMeshFromFile(""); }
void render(float t) {}
