{ vectorN v(9); v.set3(2, 1, 2, 3); vector3 o; v.getVector3(2, o); vectorN r(3); r.setVector3(0, o); return r; }
void render(float t) {}
