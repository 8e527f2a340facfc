void main() { a = createSkinnedMeshFromFile("skin.x");
                       b = createSkinnedMeshFromFile("skin.x"); }
         void drawA() { a.draw(0.5); }
         void drawB() { b.draw(0.25); }
void render(float t) {}
