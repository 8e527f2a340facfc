// Sunrise: a sky that brightens, stars that fade, a sun that rises and
// swells with every kick, a floor of glowing lines rushing closer, and the
// title fading in.
extern string greeting = hello;  // as written: no quotes

texture sky;
texture sun;
texture star;
texture line;
texture title;
float aspect = 1.333333;

// The screen's width over its height, from the projection the device would
// build for the viewport.
float screenAspect() {
  matrix4 m;
  m.perspective(1.0, 0.0, 1.0, 100.0);
  return m._22 / m._11;
}

// Seconds since an instrument last played (long ago when it has not yet).
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

// A repeatable pseudo-random value in 0..1 for an index.
float hash(float i) {
  return fract(sin(i * 12.9898) * 43758.5453);
}

void skyTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++) {
    float s = intToFloat(y) / intToFloat(h - 1);
    // Deep blue at the top, violet in the middle, orange at the horizon.
    float r = mix(0.02, 0.35, smoothstep(0.2, 0.8, s)) + 0.55 * smoothstep(0.7, 1.0, s);
    float g = mix(0.02, 0.06, s) + 0.30 * smoothstep(0.8, 1.0, s);
    float b = mix(0.12, 0.38, smoothstep(0.0, 0.6, s)) - 0.2 * smoothstep(0.8, 1.0, s);
    for (int x = 0; x < w; x++)
      v.set4(y * w + x, b, g, r, 1.0);
  }
}

// A round glow: white in its heart, tinted towards its rim.
void glowTexels(int w, int h, vectorN v, float r, float g, float b) {
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      float dx = (intToFloat(x) + 0.5) / intToFloat(w) * 2.0 - 1.0;
      float dy = (intToFloat(y) + 0.5) / intToFloat(h) * 2.0 - 1.0;
      float d = sqrt(dx * dx + dy * dy);
      float halo = pow(clamp(1.0 - d, 0.0, 1.0), 2.2);
      float heart = smoothstep(0.3, 0.24, d);
      v.set4(y * w + x, min(1.0, halo * b + heart), min(1.0, halo * g + heart),
             min(1.0, halo * r + heart), 1.0);
    }
}

void sunTexels(int w, int h, vectorN v) { glowTexels(w, h, v, 1.0, 0.55, 0.25); }
void starTexels(int w, int h, vectorN v) { glowTexels(w, h, v, 0.6, 0.75, 1.0); }

// A horizontal line that is brightest along its middle and fades out
// towards both ends.
void lineTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++) {
    float d = abs((intToFloat(y) + 0.5) / intToFloat(h) * 2.0 - 1.0);
    float k = pow(1.0 - d, 3.0);
    for (int x = 0; x < w; x++) {
      float edge = smoothstep(0.0, 0.3, min(intToFloat(x), intToFloat(w - 1 - x)) / intToFloat(w));
      v.set4(y * w + x, k * edge, k * 0.35 * edge, k * edge * 0.9, 1.0);
    }
  }
}

void begin() {
  logPrint("dawn: " + greeting);
  aspect = screenAspect();
  sky = createTexture(4, 128);
  sky.fill(@skyTexels);
  sun = createTexture(128, 128);
  sun.fill(@sunTexels);
  star = createTexture(32, 32);
  star.fill(@starTexels);
  line = createTexture(64, 8);
  line.fill(@lineTexels);
  title = createTextureFromFile("pictures\\title.png");
  musicSyncChannel(1);
}

// Adds a texture to the screen, centred at (cx, cy) (fractions of the screen
// from its centre), `size` wide as a fraction of the screen's width, with
// the height that keeps its texels square, scaled in brightness.
void glow(texture &in t, float cx, float cy, float size, float tall, float brightness) {
  textureOp_modulate(1, clamp(brightness, 0.0, 1.0));
  blendOp_additiveBlending();
  t.renderScaledOverlay(cx, cy, size, size * tall * aspect);
}

void render(float t) {
  float p = getSceneProgress();
  float local = t - getSceneStart();
  float kick = decay(since(1), 7.0);
  drawOp_enableZ(0);
  setSamplerState(0, 1);

  textureOp_modulate(1, 0.45 + 0.55 * p);
  blendOp_null();
  sky.renderScaledOverlay(0.0, 0.0, 1.0, 1.02);  // its wrapped edge rows off screen

  // Stars in the upper sky, twinkling and fading as the sun comes up.
  for (int i = 0; i < 40; i++) {
    float fi = intToFloat(i);
    float twinkle = 0.6 + 0.4 * sin(local * (2.0 + 3.0 * hash(fi + 7.0)) + fi);
    glow(star, hash(fi) - 0.5, hash(fi + 100.0) * 0.45 - 0.5, 0.012 + 0.018 * hash(fi + 50.0), 1.0,
         twinkle * (1.0 - p) * 0.9);
  }

  // The sun rises from behind the horizon and swells on the kick.
  float sunY = mix(0.42, 0.05, smoothstep(0.0, 1.0, p));
  glow(sun, 0.0, sunY, 0.55 + 0.12 * kick, 1.0, 0.75 + 0.25 * kick);

  // The floor: lines that come closer, spaced as seen in perspective.
  float horizon = 0.18;
  for (int i = 0; i < 12; i++) {
    float z = 12.0 - mod(local * 3.0 + intToFloat(i), 12.0);
    float y = horizon + 0.9 / (z + 0.3);
    if (y < 0.52) {
      textureOp_modulate(2, clamp((0.35 + 0.3 * kick) * (1.0 - z / 12.0), 0.0, 1.0));
      blendOp_additiveBlending();
      line.renderScaledOverlay(0.0, y, 1.4, 0.01 + 0.03 / (z + 0.5));
    }
  }

  // The title appears after two seconds and breathes with the kick.
  float show = smoothstep(2.0, 4.0, local);
  glow(title, 0.0, -0.15, 0.8 + 0.03 * kick, 0.25, show * (0.8 + 0.2 * kick));
}

void end() {
  logPrint("dawn: done");
}
