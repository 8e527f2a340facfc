// Runs for the whole show and ends it once its length has passed.
extern float demo_length = 12.0;

void begin() {
  logPrint("director: the show begins");
}

void preRender(float t) {
  if (t >= demo_length)
    endDemo();
}

void render(float t) {
}

void died() {
  logPrint("director: the show is over");
}
