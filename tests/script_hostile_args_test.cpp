// Scriplets that hand the natives what no show should: sizes past what the
// device or memory holds, integer sums at the ends of the int range, names
// of devices and pipes instead of files. Each call must come back, with a
// neutral result and, where the script asked for something it cannot have,
// a warning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>

#include "scriptapi/D3DEffect.h"
#include "scriptapi/D3DMesh.h"
#include "scriptapi/VertexBuffer.h"
#include "tests/texture_script_fixture.h"

namespace {

class HostileArguments : public TextureScene {
 protected:
  void TearDown() override {
    gFatalErrorHook = nullptr;
    TextureScene::TearDown();
  }

  // Whether a logged line contains `part`.
  static bool loggedContaining(const std::string& part) {
    for (const std::string& line : logged())
      if (line.find(part) != std::string::npos) return true;
    return false;
  }

  // A fatal error ends the script's call here instead of the run.
  static std::string& fatal() {
    static std::string text;
    return text;
  }
  void catchFatalErrors() {
    fatal().clear();
    gFatalErrorHook = [](const char* text) {
      fatal() = text;
      throw std::runtime_error(text);
    };
  }

  template <class Handle>
  bool holdsObject(const char* variable) {
    Handle* handle = global<Handle>(variable);
    return handle && handle->object;
  }
};

// Textures and cube textures larger than all of the device's texture memory
// (512 MiB) are not made: the handle stays without a texture, as for any
// failed creation. Sizes past the device's 8192 are clamped to it first.
TEST_F(HostileArguments, TexturesBeyondTheDevicesMemoryStayEmpty) {
  const struct {
    const char* factory;
    bool made;
  } cases[] = {
      {"createCubeRenderTarget(8192)", false},        // 6 x 256 MiB
      {"createCubeRenderTarget(2147483647)", false},  // clamped to 8192
      {"createCubeTexture(8192)", false},             // 6 x 341 MiB with its chain
      {"createCubeTexture(-5)", false},               // a huge unsigned size
      {"createCubeTexture(64)", true},
      {"createRenderTarget(64, 32)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.factory);
    const bool cube = std::string(c.factory).find("Cube") != std::string::npos;
    compile(std::string(cube ? "cubeTexture" : "texture") + " t;\nvoid init() { t = " + c.factory +
            "; }\n");
    EXPECT_EQ(cube ? holdsObject<CubeTextureHandle>("t") : holdsObject<TextureHandle>("t"), c.made);
    host->unload("scene", false);
  }
}

// The overlay's corners are the position plus the render target's size as
// 32-bit sums, which wrap at the ends of the int range instead of
// overflowing.
TEST_F(HostileArguments, OverlaysAtTheEndsOfTheIntRangeDraw) {
  for (const char* call :
       {"renderOverlay(2147483647, 2147483647)", "renderOverlay(-2147483647 - 1, 2147483640)",
        "renderScaledOverlay(1e30f, -1e30f, sqrt(-1.0f), 1e38f)"}) {
    SCOPED_TRACE(call);
    compile(std::string("texture t;\nvoid init() { t = createTexture(4, 4); }\n"
                        "void render(float x) { t.") +
            call + "; }\n");
    render();
    EXPECT_TRUE(logged().empty());
    host->unload("scene", false);
  }
}

// A plane gets at most 4,194,304 vertices; a larger subdivision is refused
// at once with a warning instead of building hundreds of megabytes, and its
// callback is not run.
TEST_F(HostileArguments, MeshPlanesPastTheirVertexLimitStayEmpty) {
  const struct {
    int nx, ny;
    bool made;
  } cases[] = {
      {1500, 1500, false},  // 4,503,000 vertices
      {1, 1048577, false},  // 4,194,308
      {2, 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nx << " x " << c.ny);
    logged().clear();
    compile(
        "vertexBuffer b;\nint calls = 0;\n"
        "void lift(int w, int h, vectorN &in v) { calls++; }\n"
        "void init() { b = createMeshPlane(" +
        std::to_string(c.nx) + ", " + std::to_string(c.ny) + ", \"scene\", \"lift\"); }\n");
    EXPECT_EQ(holdsObject<VertexBufferHandle>("b"), c.made);
    EXPECT_EQ(*global<int>("calls"), c.made ? 1 : 0);
    EXPECT_EQ(loggedContaining("a plane needs 1 to 4194304 vertices"), !c.made);
    host->unload("scene", false);
  }
}

// Names of a device that never ends and of a pipe without a writer: the
// readers take files and folders only, so each comes back at once as a
// file that is not there (an empty handle, or for the resource store the
// fatal load error), where reading never ended or opening never returned.
TEST_F(HostileArguments, DevicesAndPipesReadAsMissingFiles) {
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  write("zero.fx", "#include \"/dev/zero\"\ntechnique tec0 { pass { } }\n");
  const struct {
    const char* declaration;
    const char* call;
  } made[] = {
      {"effect", "createEffectFromFile(\"/dev/zero\")"},
      {"effect", "createEffectFromFile(\"pipe\")"},
      {"effect", "createEffectFromFile(\"zero.fx\")"},
      {"cubeTexture", "createCubeTextureFromFile(\"/dev/zero\")"},
      {"cubeTexture", "createCubeTextureFromFile(\"pipe\")"},
      {"texture", "generateProceduralTextureFromFile(\"pipe\", \"f\", \"\", 4, 4)"},
  };
  for (const auto& c : made) {
    SCOPED_TRACE(c.call);
    compile(std::string(c.declaration) + " r;\nvoid init() { r = " + c.call + "; }\n");
    const std::string kind = c.declaration;
    EXPECT_FALSE(kind == "effect"        ? holdsObject<EffectHandle>("r")
                 : kind == "cubeTexture" ? holdsObject<CubeTextureHandle>("r")
                                         : holdsObject<TextureHandle>("r"));
    host->unload("scene", false);
  }
  catchFatalErrors();
  for (const char* kind : {"texture", "mesh"}) {
    SCOPED_TRACE(kind);
    const std::string factory =
        std::string(kind) == "texture" ? "createTextureFromFile" : "createMeshFromFile";
    compile("void init() { " + factory + "(\"pipe\"); }\n");
    EXPECT_EQ(fatal(), "Error loading " + std::string(kind) + " (pipe) - Abort");
    host->unload("scene", false);
  }
}

}  // namespace
