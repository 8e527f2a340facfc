// The first half: says hello and reports how far it has come.
extern string greeting = "hello";

float lastReport = -1.0;

void begin() {
  logPrint("intro: " + greeting);
}

void render(float t) {
}

void postRender(float t) {
  if (t - lastReport >= 1.0) {
    lastReport = t;
    logPrint1f("intro: progress", getSceneProgress());
  }
}

void end() {
  logPrint("intro: done");
}
