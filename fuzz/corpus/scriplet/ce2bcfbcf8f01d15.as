// Drawn over everything else: fades the show in from black and out again,
// and flashes white where one part of the music gives way to the next.
extern float fade_out_at = 29.0;

texture white;
texture black;
const float part = 7.68;  // one pattern of the music

void fillWith(vectorN v, int count, float level) {
  for (int i = 0; i < count; i++)
    v.set4(i, level, level, level, 1.0);
}
void whiteTexels(int w, int h, vectorN v) { fillWith(v, w * h, 1.0); }
void blackTexels(int w, int h, vectorN v) { fillWith(v, w * h, 0.0); }

void begin() {
  white = createTexture(4, 4);
  white.fill(@whiteTexels);
  black = createTexture(4, 4);
  black.fill(@blackTexels);
}

void render(float t) {
  drawOp_enableZ(0);
  float sinceChange = mod(t, part);
  if (t > part * 0.5 && sinceChange < 0.5) {
    textureOp_modulate(1, 0.8 * (1.0 - sinceChange / 0.5));
    blendOp_additiveBlending();
    white.renderOverlay(0, 0);
  }
  float last = getSceneEnd();
  float dark = max(1.0 - t / 1.5, smoothstep(fade_out_at, last - 0.1, t));
  if (dark > 0.0) {
    textureOp_null();
    blendOp_blend(dark);
    black.renderOverlay(0, 0);
  }
}
