void render(float t) { if ({1, 2} is 2) {} }
