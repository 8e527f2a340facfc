void cb() { noteDirectory(); }
void render(float t) {
  runBackPlain(@cb);
}