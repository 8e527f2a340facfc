// Reeds: dark stalks swaying in front of the sunrise at both sides of the
// screen, skinned meshes whose own animation sways them; they lean further
// and catch a warm glow on every kick. They stand across the line of sight,
// clear of the sun in the middle, wherever the camera flies.
skinnedMesh reedA;
skinnedMesh reedB;
skinnedMesh reedC;
float now = 0.0;
float frameStep = 0.0;  // seconds since the previous frame
float kick = 0.0;

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
  // Three of them, each with an animation of its own; every one is drawn
  // at several places.
  reedA = createSkinnedMeshFromFile("models\\reed.x");
  reedB = createSkinnedMeshFromFile("models\\reed.x");
  reedC = createSkinnedMeshFromFile("models\\reed.x");
  reedA.setOverloadMaterial(1);
  reedB.setOverloadMaterial(1);
  reedC.setOverloadMaterial(1);
  musicSyncChannel(1);
}

void preRender(float t) {
  float local = t - getSceneStart();
  frameStep = clamp(local - now, 0.0, 0.25);
  now = local;
  kick = decay(since(1), 6.0);
}

// Stands a reed at `side` units to the right of the line of sight (to the
// left when negative) and `depth` units beyond the origin along it, turned
// by `turn` and `height` times its own size.
void place(float side, float depth, float turn, float height) {
  vector3 eye = getCameraPos();
  vector3 ahead(-eye.x, 0.0, -eye.z);
  ahead.normalize();
  vector3 right = cross(vector3(0.0, 1.0, 0.0), ahead);
  vector3 at = right * side + ahead * depth;
  matrixStack stack;
  stack.loadIdentity();
  stack.translateLocal(at.x, -4.5, at.z);
  stack.rotateAxisLocal(vector3(0.0, 1.0, 0.0), turn);
  stack.rotateAxisLocal(vector3(0.0, 0.0, 1.0), 0.08 * kick * side / abs(side));
  stack.scaleLocal(height, height, height);
  stack.updateWorldMatrix();
}

void render(float t) {
  drawOp_enableZ(1);
  drawOp_noCull();
  clearZBuffer();
  textureOp_stdLighting();
  blendOp_null();

  // The sun behind them lights only their edges; the kick warms them.
  light sun;
  sun.type = 3;
  sun.diffuse = color(1.0, 0.55, 0.25, 1.0);
  vector3 eye = getCameraPos();
  sun.direction = vector3(eye.x, -eye.y * 0.2, eye.z);
  sun.bind(0);
  sun.enable(1);
  setGlobalAmbient(color(0.05, 0.03, 0.08, 1.0));
  material m;
  m.diffuse = color(0.3, 0.2, 0.25, 1.0);
  m.ambient = color(1.0, 1.0, 1.0, 1.0);
  m.emissive = color(0.25 * kick, 0.08 * kick, 0.04 * kick, 1.0);
  m.setCurrent(1);

  float grow = smoothstep(0.0, 1.5, now);
  place(-6.0, 1.0, 0.3, 1.7 * grow);
  reedA.draw(frameStep);
  place(-4.6, -1.5, 1.1, 1.35 * grow);
  reedA.draw(0.0);
  place(-3.4, 2.0, 2.0, 1.5 * grow);
  reedB.draw(frameStep * 1.1);
  place(3.2, 1.5, 0.7, 1.45 * grow);
  reedB.draw(0.0);
  place(4.5, -1.0, 2.6, 1.75 * grow);
  reedC.draw(frameStep * 0.9);
  place(6.2, 2.5, 1.7, 1.3 * grow);
  reedC.draw(0.0);
}

void end() {
  logPrint("reeds: done");
}
