cubeTexture a;
cubeTexture b;
cubeTexture c;
cubeTexture d;
cubeTexture e;
void init() {
  a = createCubeTexture(16);
  b = createCubeRenderTarget(8);
  c = createCubeTextureFromFile("maps\\sky.dds");
  d = createCubeTextureFromFile("missing.dds");
  e = c;
}

void render(float t) {}
