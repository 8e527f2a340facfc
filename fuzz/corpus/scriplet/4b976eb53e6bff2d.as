void cb() { traceScriptInit("inner"); traceScript(99); noteTrace(); traceScriptEnd(); }
void render(float t) {
  traceScriptInit("outer"); traceScript(7);
  runBackPlain(@cb); noteTrace();
  traceScriptEnd(); noteTrace(); traceScript(3);
}
