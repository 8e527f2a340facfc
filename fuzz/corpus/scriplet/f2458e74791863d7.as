mesh a; mesh b; vector3 v(9, 9, 9); vector3 w(7, 7, 7); float f = 1;
float main() { a = createMeshFromFile_uniqueInstance("quad.x");b = createMeshFromFile_uniqueInstance("quad.x");
void render(float t) {}
