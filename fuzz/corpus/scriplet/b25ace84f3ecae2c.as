texture rt;
texture src;
texture plain;
int drawn = 0;
void red(int w, int h, vectorN v) { for (int i = 0; i < w * h; i++) v.set4(i, 0, 0, 1, 1); }
void nothing() { drawn++; }
void quarter() { drawn++; src.renderScaledOverlay(0, 0, 0.5f, 0.5f); }
void init() {
  src = createTexture(4, 4); src.fill(@red);
  rt = createRenderTarget(32, 32);
  plain = createTexture(32, 32);
}
void begin() { rt.renderToTexture(@nothing); }
void end() { rt.renderToTexture(@quarter); }
void died() { plain.renderToTexture(@nothing); }

void render(float t) {}
