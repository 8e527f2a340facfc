matrix4 view() { return getViewMatrix(); }
matrix4 projection() { return getProjectionMatrix(); }
void swap() { matrix4 v = getViewMatrix(); setViewMatrix(getProjectionMatrix()); setProjectionMatrix(v); }
matrix4 p(float fov, float aspect, float zn, float zf) { matrix4 m; m.perspective(fov, aspect, zn, zf); return m; }

void render(float t) {}
