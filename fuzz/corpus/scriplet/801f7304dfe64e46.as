extern float script_pos_x = 7;
void init() { script_pos_x = 9; }
void render(float t) { rec("s.render"); }
