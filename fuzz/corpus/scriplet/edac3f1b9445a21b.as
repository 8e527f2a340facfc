technique tec0 {
 pass { CullMode = Sideways; } }
void render(float t) {}
