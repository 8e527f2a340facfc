skinnedMesh a; skinnedMesh b;

void render(float t) {}
