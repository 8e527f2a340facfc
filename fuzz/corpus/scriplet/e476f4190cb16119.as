void render(float t) {
  note("before");
  TQ_ASSERT(1, "fine");
  TQ_ASSERT(t < 1, "too late");
  note("after");
}
