void render(float t) { if ({1, 2} & 2) {} }
