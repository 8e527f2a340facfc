// Feeds script-chosen font names and characters to the text meshes: the
// font lookup, the glyph outlines and their tessellation and extrusion, for
// a whole string and for single letters (which the glyph cache keeps).
// Any name and any bytes must give a mesh or nothing, never a crash.
//
// Input: byte 0 picks the extrusion, then the font name up to the first
// line feed, then the characters.
//
// Run:
//   cmake --build build-fuzz --target fuzz_text_mesh
//   LP_NUM_THREADS=0 ASAN_OPTIONS=detect_leaks=0 build-fuzz/fuzz_text_mesh \
//       -max_len=256 -timeout=20 fuzz/corpus/text_mesh
#include <cstddef>
#include <cstdint>
#include <string>

#include "scriptapi/TextMesh.h"
#include "testsupport/HeadlessDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HeadlessDevice& session =
      *new HeadlessDevice(16, 16, D3DCREATE_HARDWARE_VERTEXPROCESSING, true);
  if (!session.device || size < 1) return 0;
  static const float kExtrusions[] = {0.0f, 0.1f, 1.0f, -1.0f, 1e-30f, 1e30f, 100.0f, 0.5f};
  const float extrusion = kExtrusions[data[0] % 8];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t feed = rest.find('\n');
  const std::string font = rest.substr(0, feed);
  const std::string text = feed == std::string::npos ? std::string() : rest.substr(feed + 1);
  {
    MeshHandle whole = createText(&text, &font, &extrusion);
    if (!text.empty()) {
      const std::string letter = text.substr(0, 1);
      MeshHandle single = createMesh_GetFontLetter(&letter, &font);
    }
  }
  return 0;
}
