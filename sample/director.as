// Runs for the whole show: starts the music, ends the show once its length
// has passed and stops the music when the show is over. The default of a
// string extern reaches the script as written, quotes and all, just as a
// value in the description does: it is written here without quotes.
extern float demo_length = 30.72;
extern string music = music\tune.mod;

void begin() {
  logPrint("director: the show begins");
  startMusic(music);
}

void preRender(float t) {
  if (t >= demo_length)
    endDemo();
}

void render(float t) {
}

void died() {
  stopMusic();
  logPrint("director: the show is over");
}
