// Plasma: a small texture filled anew every frame from moving waves, blown
// up to the whole screen. The kick brightens it, each snare turns its
// colours further and sends out a ring.
texture plasma;
texture ring;
float aspect = 1.333333;
float now = 0.0;
float hue = 0.0;
float lastSnare = 100.0;

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

void plasmaTexels(int w, int h, vectorN v) {
  float t = now;
  for (int y = 0; y < h; y++) {
    float fy = intToFloat(y) / intToFloat(h) * 6.0;
    float wy = sin(fy * 0.9 + t * 1.3);
    for (int x = 0; x < w; x++) {
      float fx = intToFloat(x) / intToFloat(w) * 8.0;
      float cx = fx - 4.0 + 2.0 * sin(t * 0.7);
      float cy = fy - 3.0 + 1.5 * cos(t * 0.5);
      float s = sin(fx * 0.8 + t) + wy + sin(sqrt(cx * cx + cy * cy) * 1.7 - t * 2.0);
      float k = s * 0.3 + hue;
      // A cosine palette: magenta and violet through deep blue to teal and
      // a touch of orange.
      float r = 0.55 + 0.45 * cos(6.2831 * (k + 0.00));
      float g = 0.28 + 0.25 * cos(6.2831 * (k + 0.40));
      float b = 0.55 + 0.40 * cos(6.2831 * (k + 0.25));
      v.set4(y * w + x, b, g, r, 1.0);
    }
  }
}

void ringTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      float dx = (intToFloat(x) + 0.5) / intToFloat(w) * 2.0 - 1.0;
      float dy = (intToFloat(y) + 0.5) / intToFloat(h) * 2.0 - 1.0;
      float d = sqrt(dx * dx + dy * dy);
      float k = pow(clamp(1.0 - abs(d - 0.8) * 6.0, 0.0, 1.0), 2.0);
      v.set4(y * w + x, k, k * 0.9, k * 0.8, 1.0);
    }
}

void begin() {
  aspect = screenAspect();
  plasma = createTexture(80, 60);
  ring = createTexture(128, 128);
  ring.fill(@ringTexels);
  musicSyncChannel(1);
  musicSyncChannel(2);
}

void preRender(float t) {
  now = t - getSceneStart();
  float snare = since(2);
  if (snare < lastSnare)
    hue += 0.09;  // a new snare since the last frame
  lastSnare = snare;
  plasma.fill(@plasmaTexels);
}

void render(float t) {
  float kick = decay(since(1), 6.0);
  float snare = since(2);
  drawOp_enableZ(0);
  setSamplerState(0, 1);

  textureOp_modulate(2, 0.42 + 0.14 * kick);
  blendOp_null();
  plasma.renderScaledOverlay(0.0, 0.0, 1.02, 1.02);  // its wrapped edges off screen

  if (snare < 0.6) {
    float size = 0.3 + snare * 2.2;
    textureOp_modulate(1, 0.7 * (1.0 - snare / 0.6));
    blendOp_additiveBlending();
    ring.renderScaledOverlay(0.0, 0.0, size, size * aspect);
  }
}

void end() {
  logPrint("plasma: done");
}
