void render(float t) { bool b = true < false; }
