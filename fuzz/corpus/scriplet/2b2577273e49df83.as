matrixStack s;
matrixStack other;
matrix4 top() { return s.getTop(); }
void popWhileHeld(matrix4 &inout m) { s.pop(); m.translation(vector3(4, 5, 6)); }
void dropWhileHeld(matrix4 &inout m) { s = other; m.translation(vector3(1, 2, 3)); }
void popNinth() { for (int i = 0; i < 8; i++) s.push(); popWhileHeld(s.getTop()); }
void drop() { s = matrixStack(); s.push(); dropWhileHeld(s.getTop()); }
void reuse() { matrixStack fresh; fresh.push(); fresh.push(); s = fresh; }

void render(float t) {}
