postProcess p;
texture a;
texture b;
float alpha = 1.0f;
void init() { p = createBlur(64, 48, 2.0); a = createRenderTarget(64, 48); b = createRenderTarget(64, 48); }
void render(float time) { p.executePostProcess(a, b, alpha); }
