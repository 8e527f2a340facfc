// Finale: the music's spectrum as a row of glowing bars standing on a dusk
// horizon, mirrored in the floor below it, with the title above.
texture sky;
texture bar;
texture title;
float aspect = 1.333333;
const int bars = 24;
vectorN levels(24);

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

void skyTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++) {
    float s = intToFloat(y) / intToFloat(h - 1);
    // Night above, a purple glow at the horizon in the middle, dark below.
    float glow = pow(2.718282, -abs(s - 0.62) * 9.0);
    float r = 0.03 + 0.45 * glow;
    float g = 0.02 + 0.08 * glow;
    float b = 0.10 + 0.35 * glow;
    for (int x = 0; x < w; x++)
      v.set4(y * w + x, b, g, r, 1.0);
  }
}

// A bar: cyan at its foot to magenta at its top, soft at its sides.
void barTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++) {
    float s = 1.0 - intToFloat(y) / intToFloat(h - 1);
    for (int x = 0; x < w; x++) {
      float d = abs((intToFloat(x) + 0.5) / intToFloat(w) * 2.0 - 1.0);
      float k = smoothstep(1.0, 0.5, d);
      v.set4(y * w + x, k * mix(1.0, 0.9, s), k * mix(0.85, 0.15, s), k * mix(0.2, 1.0, s), 1.0);
    }
  }
}

void begin() {
  aspect = screenAspect();
  sky = createTexture(4, 128);
  sky.fill(@skyTexels);
  bar = createTexture(16, 64);
  bar.fill(@barTexels);
  title = createTextureFromFile("pictures\\title.png");
  musicSyncChannel(1);
}

void preRender(float t) {
  // Each bar jumps up to the loudness of its band and sinks back slowly.
  for (int i = 0; i < bars; i++) {
    int band = i + 1;
    int count = 96;
    float level = musicGetSpectrumInfo(band, count) * (0.8 + intToFloat(i) * 0.12);
    levels.set(i, max(level, levels.get(i) * 0.88));
  }
}

void render(float t) {
  float kick = decay(since(1), 7.0);
  float horizon = 0.12;  // from the middle of the screen
  drawOp_enableZ(0);
  drawOp_noCull();  // the reflections are drawn mirrored
  setSamplerState(0, 1);

  textureOp_null();
  blendOp_null();
  sky.renderScaledOverlay(0.0, 0.0, 1.0, 1.02);  // its wrapped edge rows off screen

  float slot = 0.9 / intToFloat(bars);
  for (int i = 0; i < bars; i++) {
    float x = (intToFloat(i) + 0.5) * slot - 0.45;
    float h = clamp(levels.get(i) * 0.55, 0.01, 0.55);
    textureOp_modulate(2, 0.5);
    blendOp_additiveBlending();
    bar.renderScaledOverlay(x, horizon - h * 0.5, slot * 0.8, h);
    // The reflection, upside down and fainter: the bar drawn downwards.
    textureOp_modulate(1, 0.25);
    blendOp_additiveBlending();
    bar.renderScaledOverlay(x, horizon + h * 0.25, slot * 0.8, -h * 0.5);
  }

  float size = 0.7 + 0.04 * kick;
  textureOp_modulate(1, 0.85 + 0.15 * kick);
  blendOp_additiveBlending();
  title.renderScaledOverlay(0.0, -0.3, size, size * 0.25 * aspect);
}

void end() {
  logPrint("finale: done");
}
