void render(float t) { bool b = (1 < 2) & (2 < 3); }
