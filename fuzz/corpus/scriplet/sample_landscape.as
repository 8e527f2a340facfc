// Landscape: a grid of glowing lines over rolling hills under the flying
// camera, a ripple running out from the middle on every kick, with sparks
// drifting up out of it. Fog fades the far lines into the finale's dusk.
// A mirror orb that reflects a dusk sky circles above the hills and wobbles
// harder on every kick.
vertexBuffer land;
vertexBuffer quad;
texture lines;  // crisp grid lines
texture haze;   // their soft glow, from a texture shader
texture spark;
mesh orb;
texture sky;  // what the orb reflects
float now = 0.0;
float kick = 0.0;
float lastKick = 100.0;
float rippleAge = 100.0;
const int cells = 24;

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

// The grid's lines, sixteen cells across: magenta along one way, cyan
// along the other.
void gridTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      float a = 1.0 - min(abs(fract(intToFloat(x) / intToFloat(w) * 16.0 + 0.5) - 0.5) * 14.0, 1.0);
      float b = 1.0 - min(abs(fract(intToFloat(y) / intToFloat(h) * 16.0 + 0.5) - 0.5) * 14.0, 1.0);
      v.set4(y * w + x, min(1.0, a * 0.85 + b), min(1.0, a * 0.25 + b * 0.8), min(1.0, a + b * 0.2), 1.0);
    }
}

void sparkTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      float dx = (intToFloat(x) + 0.5) / intToFloat(w) * 2.0 - 1.0;
      float dy = (intToFloat(y) + 0.5) / intToFloat(h) * 2.0 - 1.0;
      float k = pow(clamp(1.0 - sqrt(dx * dx + dy * dy), 0.0, 1.0), 2.0);
      v.set4(y * w + x, k, min(1.0, k * 0.7 + k * k), min(1.0, k * 0.4 + k * k), 1.0);
    }
}

// The height field: offsets of the grid's points, z being up in the grid's
// own frame. Hills that roll towards the eye, and the kick's ripple.
void hills(int w, int h, vectorN v) {
  float front = rippleAge * 9.0;
  float strength = decay(rippleAge, 2.5);
  for (int j = 0; j < w; j++)
    for (int q = 0; q < h; q++) {
      float x = intToFloat(j) - intToFloat(w - 1) * 0.5;
      float y = intToFloat(q) - intToFloat(h - 1) * 0.5;
      float d = sqrt(x * x + y * y);
      float z = 1.2 * sin(x * 0.45 + now * 0.9) * cos(y * 0.35 - now * 1.3) + 0.02 * d * d;
      z += 1.6 * strength * pow(2.718282, -abs(d - front) * 0.8);
      v.set((j * h + q) * 3 + 2, z);
    }
}

// The orb's surroundings as a sphere map: deep violet both ways from a
// hot band at the horizon across the middle rows, with a second, fainter
// band of magenta from the grid's glow.
void skyTexels(int w, int h, vectorN v) {
  for (int y = 0; y < h; y++) {
    float up = (intToFloat(y) + 0.5) / intToFloat(h) * 2.0 - 1.0;
    float band = pow(2.718282, -abs(up) * 7.0);
    float glow = pow(2.718282, -abs(up + 0.45) * 10.0);
    float r = 0.1 + 0.2 * abs(up) + 0.9 * band + 0.6 * glow;
    float g = 0.04 + 0.6 * band + 0.1 * glow;
    float b = 0.25 + 0.25 * abs(up) + 0.3 * band + 0.5 * glow;
    for (int x = 0; x < w; x++)
      v.set4(y * w + x, min(1.0, b), min(1.0, g), min(1.0, r), 1.0);
  }
}

void begin() {
  orb = createMeshFromFile("models\\orb.x");
  sky = createTexture(4, 64);
  sky.fill(@skyTexels);
  lines = createTexture(128, 128);
  lines.fill(@gridTexels);
  // Read from the working folder: a packaged show has none and gets an
  // empty texture, which leaves the lines bound for the glow's pass.
  haze = generateProceduralTextureFromFile("effects\\grid.tx", "grid", "", 256, 256);
  spark = createTexture(32, 32);
  spark.fill(@sparkTexels);
  quad = createTexturedQuad();
  musicSyncChannel(1);
}

void preRender(float t) {
  now = t - getSceneStart();
  float k = since(1);
  if (k < lastKick)
    rippleAge = 0.0;  // a new kick since the last frame
  else
    rippleAge += 0.04;
  rippleAge = min(rippleAge, k);
  lastKick = k;
  kick = decay(k, 6.0);
  land = createMeshPlane(cells, cells, @hills);
}

void render(float t) {
  float fadeIn = smoothstep(0.0, 1.5, now);
  drawOp_enableZ(1);
  drawOp_noCull();
  clearZBuffer();
  setSamplerState(0, 1);
  enableFog(color(0.0, 0.0, 0.0, 1.0), 6.0, 15.0);

  // The grid's own frame: x and y across, z up; laid flat, 18 units wide,
  // centred under the origin.
  matrixStack stack;
  stack.pushWM();
  stack.translateLocal(0.0, -1.5, 0.0);
  stack.rotateAxisLocal(vector3(1.0, 0.0, 0.0), -1.5708);
  stack.scaleLocal(18.0, 18.0, 18.0);
  stack.translateLocal(-0.5, -0.5, 0.0);
  stack.updateWorldMatrix();
  textureOp_modulate(1, 0.8 * fadeIn);
  blendOp_additiveBlending();
  lines.setCurrent(0);
  land.draw();
  textureOp_modulate(1, (0.25 + 0.5 * kick) * fadeIn);
  blendOp_additiveBlending();
  haze.setCurrent(0);
  land.draw();
  stack.popWM();

  // The orb, drawn unfogged and whole (the hills' depth would cut it where
  // a hill rises into it): the wobble moves its vertices about their rest
  // places, then the reflection is worked out for the eye and the normals
  // follow the new shape for the next frame.
  disableFog();
  clearZBuffer();
  stack.pushWM();
  float size = (0.7 + 0.08 * kick) * fadeIn;
  float round = now * 0.7;
  stack.translateLocal(3.2 * sin(round), 0.1 + 0.25 * sin(now * 1.7), 3.2 * cos(round));
  stack.scaleLocal(size, size, size);
  stack.updateWorldMatrix();
  orb.radialDeform(now * 6.0, 1.0, 0.05 + 0.3 * kick, 1.0, 1.0);
  orb.updateSphereEnvMap(1);
  textureOp_null();
  blendOp_null();
  sky.setCurrent(0);
  orb.draw();
  stack.popWM();
  enableFog(color(0.0, 0.0, 0.0, 1.0), 6.0, 15.0);

  // Sparks rising out of the hills, faded in and out along their way.
  drawOp_enableZ(0);
  spark.setCurrent(0);
  for (int i = 0; i < 14; i++) {
    float fi = intToFloat(i);
    float life = fract(now * 0.25 + fi * 0.618);
    vector3 at(sin(fi * 2.4) * 4.0, -1.0 + life * 6.0, cos(fi * 2.4) * 4.0);
    float size = 0.12 + 0.08 * kick;
    textureOp_modulate(2, sin(life * 3.1416) * fadeIn);
    blendOp_additiveBlending();
    quad.draw2D(at / size, size);  // the size scales the place as well
  }
  disableFog();
  spark.removeCurrent(0);
}

void end() {
  logPrint("landscape: done");
}
