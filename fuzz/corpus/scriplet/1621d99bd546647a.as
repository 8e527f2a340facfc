effect e; cubeTexture c; void init() { e = createEffectFromFile("/dev/zero"); c = createCubeTextureFromFile("/dev/zero"); } void render(float x) { uint p = 0; e.begin(p, 0); e.end(); }
