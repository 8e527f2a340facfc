
    vertexBuffer none;
    void whole() { plane.draw(); }
    void third() { plane.drawSubset(2); plane.drawSubset(4); plane.drawSubset(-1); }
    void nothing() { none.draw(); none.drawSubset(0); none.draw2D(vector3(0, 0, 0), 1);
                     none.draw2DUp(vector3(0, 0, 0), 1, vector3(0, 1, 0)); }
void render(float t) {}
