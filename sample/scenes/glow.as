// Glow: words in extruded letters above the tunnel, turning to face the
// flying camera. The letters are drawn with a lighting effect of our own; a
// blurred copy of them, made off screen, lays a halo underneath that flares
// on the kick. The description gives the words (GLOW + PULSE); the defaults
// reach the script as written, so they have no quotes.
extern string words = GLOW;
extern string font = Arial;

effect shade;
postProcess blur;
texture halo;     // the blurred letters
texture scratch;  // the blur's second target
texture white;
texture black;
int count = 0;
float now = 0.0;
float kick = 0.0;
float snare = 100.0;  // seconds since the last snare
matrixStack stack;

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

void begin() {
  shade = createEffectFromFile("effects\\glow.fx");
  blur = createBlur(256, 256, 0.75);
  halo = createRenderTarget(256, 256);
  scratch = createRenderTarget(256, 256);
  white = createTexture(4, 4);
  white.fill(@whiteTexels);
  black = createTexture(4, 4);
  black.fill(@blackTexels);
  count = int(words.length());
  // Builds every letter once; later calls share them from the glyph cache.
  for (int i = 0; i < count; i++)
    letterMesh(i);
  musicSyncChannel(1);
  musicSyncChannel(2);
}

void preRender(float t) {
  now = t - getSceneStart();
  kick = decay(since(1), 6.0);
  snare = since(2);
  halo.renderToTexture(@drawHalo);
}

mesh letterMesh(int i) {
  string one = words.letter(i);
  return createMesh_GetFontLetter(one, font);
}

// Places letter i: the word stands in a row through the origin that turns
// to face the eye, each letter bobs on a wave running along it, and on
// every snare the letters spin once round, one after the other.
void placeLetter(int i) {
  vector3 eye = getCameraPos();
  float n = sqrt(eye.x * eye.x + eye.z * eye.z) + 0.0001;
  float c = -eye.z / n, s = -eye.x / n;
  matrix4 face;
  face.identity();
  face._11 = c;
  face._13 = -s;
  face._31 = s;
  face._33 = c;
  float size = 0.62 + 0.08 * kick;
  float x = (intToFloat(i) - intToFloat(count - 1) * 0.5) * 0.62 * size;
  float spin = 6.2832 * smoothstep(0.0, 0.45, snare - intToFloat(i) * 0.035);
  stack.loadIdentity();
  stack.translateLocal(0.0, 0.15 * sin(now * 3.0 - intToFloat(i) * 0.6), 0.0);
  stack.multMatrixLocal(face);
  stack.translateLocal(x, 0.0, 0.0);
  stack.rotateAxisLocal(vector3(0.0, 1.0, 0.0), spin);
  stack.scaleLocal(size, size, size);
  stack.translateLocal(-0.3, -0.35, 0.0);  // the glyph's middle at its place
  stack.updateWorldMatrix();
}

bool isSpace(int i) {
  string one = words.letter(i);
  return one == " ";
}

// Draws the row of letters with the effect, which takes the world
// transform at its begin, so each letter has a begin of its own. Without
// the effect (its file is read from the working folder, which a packaged
// show lacks) a plain light does.
void drawLetters() {
  light key;
  key.type = 3;
  key.diffuse = color(1.0, 0.4, 0.8, 1.0);
  key.direction = vector3(0.3, -0.4, 1.0);
  key.bind(0);
  material m;
  m.diffuse = color(1.0, 1.0, 1.0, 1.0);
  m.ambient = color(1.0, 1.0, 1.0, 1.0);
  m.setCurrent(1);
  shade.setParamVector("tint", vector3(1.0, 0.3 + 0.3 * kick, 0.75));
  for (int i = 0; i < count; i++) {
    if (isSpace(i))
      continue;
    placeLetter(i);
    uint passes = 0;
    shade.begin(passes, 0);
    for (uint p = 0; p < passes; p++) {
      shade.beginPass(p);
      letterMesh(i).draw();
      shade.endPass();
    }
    if (passes > 0) {
      shade.end();
    } else {
      key.enable(1);
      setGlobalAmbient(color(0.3, 0.1, 0.3, 1.0));
      drawOp_noCull();
      textureOp_stdLighting();  // the letters have no texture coordinates
      white.setCurrent(0);
      letterMesh(i).draw();
    }
  }
}

void blackTexels(int w, int h, vectorN v) {
  for (int i = 0; i < w * h; i++)
    v.set4(i, 0.0, 0.0, 0.0, 1.0);
}

void whiteTexels(int w, int h, vectorN v) {
  for (int i = 0; i < w * h; i++)
    v.set4(i, 1.0, 1.0, 1.0, 1.0);
}

// Off screen: the letters on black, then blurred into the halo.
void drawHalo() {
  drawOp_enableZ(0);
  textureOp_null();
  blendOp_null();
  black.renderOverlay(0, 0);
  drawOp_enableZ(1);
  clearZBuffer();
  drawLetters();
  // The blur copies the target drawn so far (the halo itself here) and
  // leaves its result there: twice over, the halo comes out smooth.
  blur.executePostProcess(halo, scratch, 1.0);
  blur.executePostProcess(halo, scratch, 1.0);
}

void render(float t) {
  float fadeIn = smoothstep(0.0, 0.8, now);
  drawOp_enableZ(0);
  setSamplerState(0, 1);
  textureOp_modulate(3, (0.5 + 0.5 * kick) * fadeIn);
  blendOp_additiveBlending();
  halo.renderScaledOverlay(0.0, 0.0, 1.0, 1.0);

  drawOp_enableZ(1);
  clearZBuffer();
  textureOp_null();
  blendOp_null();
  drawLetters();
}

void end() {
  logPrint("glow: done");
}
