// Reading the demo description: tracks of scenes, camera key blocks and
// extern variable lines, as one stream of whitespace-separated tokens.
#include <iomanip>
#include <locale>
#include <sstream>
#include <string>

#include "core/TQDataHandler.h"
#include "core/TQDatabase.h"
#include "core/TQSmartPointer.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"

namespace {

// Longest word, and longest rest of a line, that the format allows.
constexpr int kMaxToken = 1023;

// Reads a word of at most kMaxToken characters; a longer one fails the
// stream instead of being split into two words.
void readWord(std::istream& in, std::string& word) {
  in >> std::setw(kMaxToken + 1) >> word;
  if ((int)word.size() > kMaxToken) in.setstate(std::ios::failbit);
}

// The value of a variable line: the rest of the line after the name, without
// its first character (the separator) and cut at its first carriage return.
// A rest of line over kMaxToken characters, or nothing left to read at all,
// fails the stream.
void readValue(std::istream& in, std::string& value) {
  char line[kMaxToken + 1] = {};
  in.getline(line, sizeof line);
  std::string rest = in.fail() ? std::string() : std::string(line);
  const size_t cr = rest.find('\r');
  if (cr != std::string::npos) rest.resize(cr);
  value = rest.empty() ? std::string() : rest.substr(1);
}

}  // namespace

bool DemoSequencer::loadDescription(const std::string& name) {
  TQSmartPointerTyped<char> text;
  TQDataHandler_Text handler;
  std::string error;
  if (!gDatabase->load(name, handler, text, 2, error)) return false;
  if (!text.object) return false;
  return readDescription(text.object);
}

bool DemoSequencer::readDescription(const char* text) {
  std::istringstream in{std::string(text)};
  in.imbue(std::locale::classic());
  if (in.fail()) return false;

  int header = 0, trackCount = 0;
  in >> header;
  tracks.clear();  // the index keeps its names until the next insertion rebuilds it
  indexStale = true;
  in >> trackCount;
  if (in.fail()) return false;

  for (int t = 0; t < trackCount; ++t) {
    int sceneCount = 0;
    in >> sceneCount;
    if (in.fail()) return false;
    for (int s = 0; s < sceneCount; ++s) {
      std::string sceneName, file;
      float start = 0, end = 0;
      int varCount = 0, isCamera = 0;
      readWord(in, sceneName);
      readWord(in, file);
      in >> start >> end >> varCount >> isCamera;
      if (in.fail()) return false;

      if (isCamera != 0) {
        // A camera scene has a key block and never variable lines.
        Scene scene(file, sceneName);
        scene.start = start;
        scene.end = end;
        scene.isCamera = true;
        scene.path.read(in);
        insertScene(t, scene);
        continue;
      }

      addScene(t, file, sceneName, start, end);
      for (int v = 0; v < varCount; ++v) {
        std::string variable, value;
        readWord(in, variable);
        readValue(in, value);
        if (in.fail()) return false;
        host->setExternValue(sceneName, variable, value);
      }
    }
  }
  return !in.fail();
}
