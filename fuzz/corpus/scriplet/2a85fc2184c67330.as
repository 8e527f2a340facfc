arrayTexture a(4);
texture first;
texture second;
int emptyGet = 0;
void init() {
  first = createTexture(4, 4); second = createTexture(4, 4);
  watch(first); watch(second);
  texture t = createTexture(2, 2);
  a.get(2, t);
  emptyGet = shares(t);
  a.set(0, first); a.set(0, first);
}
void begin() { first = texture(); }
void end() { a.set(0, second); second = texture(); }
void died() { a = arrayTexture(); }

void render(float t) {}
