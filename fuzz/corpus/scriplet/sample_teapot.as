// Teapot: a lit teapot turning over the plasma, swelling on every kick and
// wobbling on every snare, with a ring of cubes circling it, each cube with a
// little moon of its own. Fog lets the far side of the ring sink into the
// dusk.
mesh pot;
vertexBuffer cube;
texture white;
float now = 0.0;
float kick = 0.0;
float snare = 0.0;

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

void whiteTexels(int w, int h, vectorN v) {
  for (int i = 0; i < w * h; i++)
    v.set4(i, 1.0, 1.0, 1.0, 1.0);
}

void begin() {
  pot = createTeapot();
  cube = createTexturedCube();
  white = createTexture(4, 4);
  white.fill(@whiteTexels);
  musicSyncChannel(1);
  musicSyncChannel(2);
}

void preRender(float t) {
  now = t - getSceneStart();
  kick = decay(since(1), 6.0);
  snare = decay(since(2), 5.0);
}

// A warm key light from the upper left, a cool rim light from behind and a
// dim violet ambient.
void lights() {
  light key;
  key.type = 3;
  key.diffuse = color(1.0, 0.78, 0.55, 1.0);
  key.direction = vector3(0.6, -0.7, 0.5);
  key.bind(0);
  light rim;
  rim.type = 3;
  rim.diffuse = color(0.35, 0.55, 1.0, 1.0);
  rim.direction = vector3(-0.5, 0.2, -0.8);
  rim.bind(1);
  key.enable(1);
  setGlobalAmbient(color(0.16, 0.08, 0.22, 1.0));
}

void setMaterial(float r, float g, float b, float glow) {
  material m;
  m.diffuse = color(r, g, b, 1.0);
  m.ambient = color(r, g, b, 1.0);
  m.emissive = color(r * glow, g * glow, b * glow, 1.0);
  m.setCurrent(1);
}

// The unit cube centred on the stack's top, `size` wide.
void drawCube(matrixStack &in stack, float size) {
  stack.push();
  stack.scaleLocal(size, size, size);
  stack.translateLocal(-0.5, -0.5, -0.5);
  stack.updateWorldMatrix();
  cube.draw();
  stack.pop();
}

void render(float t) {
  float fadeIn = smoothstep(0.0, 1.0, now);
  drawOp_enableZ(1);
  drawOp_CCWCull();
  clearZBuffer();
  textureOp_stdLighting();
  blendOp_null();
  white.setCurrent(0);
  lights();
  enableFog(color(0.12, 0.04, 0.16, 1.0), 7.0, 16.0);

  matrixStack stack;
  stack.pushWM();

  // The teapot: turning, swelling on the kick, rocking on the snare.
  stack.push();
  float size = (0.8 + 0.12 * kick) * fadeIn;
  stack.rotateAxisLocal(vector3(0.0, 1.0, 0.0), now * 0.8);
  stack.rotateAxisLocal(vector3(0.0, 0.0, 1.0), 0.25 * snare * sin(now * 9.0));
  stack.scaleLocal(size, size, size);
  stack.updateWorldMatrix();
  setMaterial(1.0, 0.72, 0.3, 0.1 + 0.45 * kick);
  pot.draw();
  stack.pop();

  // The ring: eight cubes circling the teapot, each with a moon. Their
  // faces do not all wind the same way round, so none is culled.
  drawOp_noCull();
  setMaterial(0.7, 0.85, 1.0, 0.2);
  for (int i = 0; i < 8; i++) {
    float a = now * 0.6 + intToFloat(i) * 0.7854;
    stack.push();
    stack.rotateAxisLocal(vector3(0.0, 1.0, 0.0), a);
    stack.translateLocal(3.4 * fadeIn, 0.6 * sin(now * 1.5 + intToFloat(i)), 0.0);
    stack.rotateAxisLocal(vector3(1.0, 0.0, 0.0), now * 2.0 + intToFloat(i));
    drawCube(stack, 0.45 + 0.25 * kick);
    stack.rotateAxisLocal(vector3(0.0, 0.0, 1.0), now * 3.0);
    stack.translateLocal(0.6, 0.0, 0.0);
    drawCube(stack, 0.15);
    stack.pop();
  }

  stack.popWM();
  disableFog();
  white.removeCurrent(0);
}

void end() {
  logPrint("teapot: done");
}
