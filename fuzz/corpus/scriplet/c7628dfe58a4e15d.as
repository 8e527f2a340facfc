
    mesh t;
    int text(const string &in s) { t = createText(s, "Arial", 0.1); t.draw(); t.lockVertex();
                                   t.releaseVertex(1); return t.getNumVertices(); }
    int letter(const string &in s) { mesh m = createMesh_GetFontLetter(s, "Arial"); m.draw();
                                     return m.getNumVertices(); }
void render(float t) {}
