void e(){musicSyncChannel(1)&(2);}
void render(float t) {}
