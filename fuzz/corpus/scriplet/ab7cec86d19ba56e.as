matrix4 f() { matrixStack s; s.translate(1, 2, 3); s.pushWM(); s.scale(2, 2, 2); s.updateWorldMatrix(); s.loadWorldMatrix(); s.popWM(); return s.getTop(); }
void render(float t) {}
