void plain(string s) { logPrint(s); }
void one(string s) { logPrint1f(s, 1.5); }
void vec(string s) { logPrint1v(s, vector3(1, -2, 0.25)); }
void mat(string s) { matrix4 m(1,2,3,4, 5,6,7,8, 9,10,11,12, 13,14,15,16); logPrint1m(s, m); }
void huge() { float big = 3.0e38; logPrint1v("v", vector3(big, big, big)); }

void render(float t) {}
