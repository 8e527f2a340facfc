
    int main() { mesh m = createMeshFromFile("broken.x"); m.draw(); m.lockVertex();
                 m.releaseVertex(1); return m.getNumVertices(); }
void render(float t) {}
