cubeTexture c; void init() { c = createCubeRenderTarget(8192); c = createCubeTexture(-5); } void render(float x) {}
