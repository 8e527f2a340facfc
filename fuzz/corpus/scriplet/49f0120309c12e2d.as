texture t; void init() { t = createTexture(4, 4); } void render(float x) { t.renderOverlay(2147483647, 2147483647); t.renderOverlay(-2147483647 - 1, 2147483640); }
