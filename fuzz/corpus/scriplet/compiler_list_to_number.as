void render(float t) { int x = int({1, 2}); }
