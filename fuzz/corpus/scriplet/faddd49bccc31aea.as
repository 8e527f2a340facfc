technique only { pass { CullMode = None; } pass { } pass { } }

void render(float t) {}
