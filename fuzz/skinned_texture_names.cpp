// Feeds arbitrary texture names, as an X file's material hands them over,
// to the skinned meshes of the script module: the name goes into the
// TextureFilename of a small framed mesh, which is loaded (every texture
// looked up by that name) and drawn. Names may be empty, long, absolute,
// lead out of the folder, name a folder or hold any byte the reader lets
// through; a texture that cannot be loaded is left out.
//
// The target runs in a scratch folder of its own with two real pictures
// (give libFuzzer absolute corpus paths).
//
// Run:
//   cmake --build build-fuzz --target fuzz_skinned_texture_names
//   LP_NUM_THREADS=0 ASAN_OPTIONS=detect_leaks=0 build-fuzz/fuzz_skinned_texture_names \
//       -max_len=1024 -timeout=20 $PWD/fuzz/corpus/skinned_texture_names
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/DeviceGlobal.h"
#include "fuzz/scratch.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMath.h"
#include "scriptapi/SkinnedMesh.h"
#include "testsupport/HeadlessDevice.h"

namespace {

struct Session : HeadlessDevice {
  Session() : HeadlessDevice(16, 16, D3DCREATE_MIXED_VERTEXPROCESSING, true) {
    char pattern[] = "/tmp/fuzz-skin-names-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    fuzz_scratch::removeAtExit(pattern);
    folder = pattern;
    const std::filesystem::path sources =
        std::filesystem::path(__FILE__).parent_path().parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(folder / "maps", ignored);
    std::filesystem::copy_file(sources / "sample" / "pictures" / "title.png", folder / "title.png",
                               ignored);
    std::filesystem::copy_file(sources / "sample" / "pictures" / "title.png",
                               folder / "maps" / "t.png", ignored);
  }
  std::filesystem::path folder;
};

std::string xfileWithTexture(const std::string& name) {
  return "xof 0302txt 0032\n"
         "Frame root {\n FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }\n"
         " Mesh tri {\n  3; 0;0;0;, 1;0;0;, 0;1;0;;\n  1; 3;0,1,2;;\n"
         "  MeshMaterialList { 1; 1; 0;;\n"
         "   Material { 1;1;1;1;; 8; 0;0;0;; 0;0;0;;\n"
         "    TextureFilename { \"" +
         name +
         "\"; }\n   }\n  }\n"
         "  MeshTextureCoords { 3; 0;0;, 1;0;, 0;1;; }\n }\n}\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session& session = *new Session;
  if (!session.device) return 0;
  const std::string file = xfileWithTexture(std::string(reinterpret_cast<const char*>(data), size));
  struct Folder {
    std::filesystem::path previous = std::filesystem::current_path();
    explicit Folder(const std::filesystem::path& to) { std::filesystem::current_path(to); }
    ~Folder() { std::filesystem::current_path(previous); }
  } folder(session.folder);
  CSkinMesh9 skinned(session.device);
  skinned.load(file.data(), DWORD(file.size()));
  D3DXMATRIX world;
  D3DXMatrixIdentity(&world);
  session.device->BeginScene();
  skinned.render(session.device, 0.25, world);
  session.device->EndScene();
  return 0;
}
