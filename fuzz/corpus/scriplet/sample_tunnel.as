// Tunnel of light: every frame the previous picture is drawn again a little
// larger and darker, so whatever glows leaves trails that stream outwards.
// Sparks circle the middle; the kick makes them flare, and each note of
// the lead sends a spark out at an angle of its pitch.
texture last;   // the picture of the previous frame
texture next;   // the one being drawn
arrayTexture sparks(3);  // warm, cool and pink
texture black;
float aspect = 1.333333;
float now = 0.0;
float kick = 0.0;
bool fresh = true;

float screenAspect() {
  matrix4 m;
  m.perspective(1.0, 0.0, 1.0, 100.0);
  return m._22 / m._11;
}

float since(int instrument) {
  float elapsed = 0.0, note = 0.0, volume = 0.0;
  if (musicChannelGetinfo(instrument, elapsed, note, volume) == 1)
    return elapsed;
  return 100.0;
}

// How much of a flash is left `seconds` after it, fading at `rate`.
float decay(float seconds, float rate) {
  return pow(2.718282, -min(seconds * rate, 60.0));
}

void sparkTexels(int w, int h, vectorN v, float r, float g, float b) {
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      float dx = (intToFloat(x) + 0.5) / intToFloat(w) * 2.0 - 1.0;
      float dy = (intToFloat(y) + 0.5) / intToFloat(h) * 2.0 - 1.0;
      float k = pow(clamp(1.0 - sqrt(dx * dx + dy * dy), 0.0, 1.0), 2.5);
      float heart = pow(k, 4.0);
      v.set4(y * w + x, min(1.0, k * b + heart), min(1.0, k * g + heart), min(1.0, k * r + heart), 1.0);
    }
}

void warmTexels(int w, int h, vectorN v) { sparkTexels(w, h, v, 1.0, 0.45, 0.1); }
void coolTexels(int w, int h, vectorN v) { sparkTexels(w, h, v, 0.15, 0.6, 1.0); }
void pinkTexels(int w, int h, vectorN v) { sparkTexels(w, h, v, 1.0, 0.2, 0.7); }

void blackTexels(int w, int h, vectorN v) {
  for (int i = 0; i < w * h; i++)
    v.set4(i, 0.0, 0.0, 0.0, 1.0);
}

void begin() {
  aspect = screenAspect();
  last = createRenderTarget(256, 256);
  next = createRenderTarget(256, 256);
  texture t = createTexture(32, 32);
  t.fill(@warmTexels);
  sparks.set(0, t);
  t = createTexture(32, 32);
  t.fill(@coolTexels);
  sparks.set(1, t);
  t = createTexture(32, 32);
  t.fill(@pinkTexels);
  sparks.set(2, t);
  black = createTexture(4, 4);
  black.fill(@blackTexels);
  musicSyncChannel(1);
  musicSyncChannel(5);
}

// Adds spark number `kind` at (x, y), screen fractions from the middle.
void sparkAt(int kind, float x, float y, float size, float brightness) {
  texture spark;
  sparks.get(kind % 3, spark);
  textureOp_modulate(1, clamp(brightness, 0.0, 1.0));
  blendOp_additiveBlending();
  spark.renderScaledOverlay(x, y, size, size * aspect);
}

void drawNext() {
  drawOp_enableZ(0);
  setSamplerState(0, 1);
  if (fresh) {
    textureOp_null();
    blendOp_null();
    black.renderOverlay(0, 0);
  } else {
    // The previous picture, zoomed in a little about a wandering centre.
    float zoom = 1.045 + 0.03 * kick;
    textureOp_modulate(1, 0.94);
    blendOp_null();
    last.renderScaledOverlay(0.004 * sin(now * 0.9), 0.004 * cos(now * 1.1), zoom, zoom);
  }
  for (int i = 0; i < 6; i++) {
    float a = now * (1.2 + 0.1 * intToFloat(i)) + intToFloat(i) * 1.0472;
    float r = 0.12 + 0.05 * sin(now * 2.0 + intToFloat(i));
    sparkAt(i, r * cos(a), r * sin(a), 0.05 + 0.05 * kick, 0.5 + 0.5 * kick);
  }
  float elapsed = 0.0, note = 0.0, volume = 0.0;
  if (musicChannelGetinfo(5, elapsed, note, volume) == 1 && elapsed < 0.3) {
    float a = note * 0.55;
    float r = 0.05 + elapsed * 0.8;
    sparkAt(floatToInt(note), r * cos(a), r * sin(a), 0.09, (1.0 - elapsed / 0.3) * volume / 64.0);
  }
}

void preRender(float t) {
  now = t - getSceneStart();
  kick = decay(since(1), 8.0);
  next.renderToTexture(@drawNext);
  fresh = false;
  texture swap = last;
  last = next;
  next = swap;
}

void render(float t) {
  drawOp_enableZ(0);
  setSamplerState(0, 1);
  textureOp_null();
  blendOp_null();
  last.renderOverlay(0, 0);
}

void end() {
  logPrint("tunnel: done");
}
