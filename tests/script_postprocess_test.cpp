// postProcess as scriplets use it: the blur's quads, its passes on the
// headless device, and the device state it leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/RenderStateStack.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "scriptapi/PostProcess.h"
#include "tests/render_state_fixture.h"
#include "tests/texture_script_fixture.h"

namespace {

// The blur's quads, written out apart from the module's own table: shift in
// units of width / 128 x strength along x or y, weight, target switch.
struct Quad {
  int dx, dy;
  float weight;
  int mode;
};
const Quad kQuads[17] = {
    {0, 0, 0.3f, 0},   {2, 0, 0.6f, 0},   {-2, 0, 0.6f, 0},  {4, 0, 0.45f, -1}, {-4, 0, 0.45f, 0},
    {3, 0, 0.6f, -2},  {-3, 0, 0.6f, 0},  {6, 0, 0.45f, -2}, {-6, 0, 0.45f, 0}, {0, 2, 0.6f, -1},
    {0, -2, 0.6f, 0},  {0, 4, 0.45f, -2}, {0, -4, 0.45f, 0}, {0, 3, 0.6f, -2},  {0, -3, 0.6f, 0},
    {0, 6, 0.45f, -1}, {0, -6, 0.45f, 0},
};

// One channel of an image, row by row.
struct Plane {
  int width, height;
  std::vector<int> values;
  int at(int x, int y) const { return values[size_t(y * width + x)]; }
  int& at(int x, int y) { return values[size_t(y * width + x)]; }
};

// What the blur leaves in the result texture, worked out pass by pass:
// the result starts as the frame and the scratch texture as black; quad i
// blends its source, shifted by whole pixels, over the target with alpha =
// factor / 255, each write rounded to 8 bits. The target starts as the
// scratch texture; -1 turns to the result (drawing from the scratch one), -2
// to the scratch one. When the last switch went to the scratch texture, it
// is copied into the result.
//
// The quads have no half-pixel offset: Direct3D's pixel centres lie on whole
// screen coordinates, so pixel (x, y) of a quad placed at (sx, sy) samples
// the corner between texels x - sx - 1 and x - sx (and likewise in y), where
// the linear filter gives the mean of the four texels, clamped at the edges.
Plane modelBlur(const Plane& frame, int unit, const std::vector<int>& factors) {
  Plane a = frame;
  Plane b{frame.width, frame.height, std::vector<int>(frame.values.size(), 0)};
  bool toB = true;
  for (int i = 0; i < 17; ++i) {
    if (kQuads[i].mode == -1) toB = false;
    if (kQuads[i].mode == -2) toB = true;
    Plane& target = toB ? b : a;
    const Plane source = toB ? a : b;
    const double alpha = factors[size_t(i)] / 255.0;
    for (int y = 0; y < frame.height; ++y)
      for (int x = 0; x < frame.width; ++x) {
        int sx = x - kQuads[i].dx * unit, sy = y - kQuads[i].dy * unit;
        if (sx < 0 || sy < 0 || sx >= frame.width || sy >= frame.height) continue;
        auto texel = [&](int tx, int ty) {
          return source.at(std::clamp(tx, 0, frame.width - 1), std::clamp(ty, 0, frame.height - 1));
        };
        double sample =
            (texel(sx - 1, sy - 1) + texel(sx, sy - 1) + texel(sx - 1, sy) + texel(sx, sy)) / 4.0;
        double blended = sample * alpha + target.at(x, y) * (1 - alpha);
        target.at(x, y) = int(std::lround(blended));
      }
  }
  return toB ? b : a;
}

class BlurScene : public TextureScene {
 protected:
  void SetUp() override {
    dropStateStacks();  // the host's registration makes them anew
    TextureScene::SetUp();
  }
  void TearDown() override {
    TextureScene::TearDown();
    dropStateStacks();
  }

  // Compiles and runs init; then the stacks learn the device's states, as
  // the sequencer has them learn before the first frame.
  void compileBlur(const std::string& source) {
    compile(source);
    captureAllStates();
  }

  PostProcessData* blur(const char* variable) {
    PostProcessHandle* handle = global<PostProcessHandle>(variable);
    return handle ? handle->object : nullptr;
  }

  // The device calls of one render call, made inside a scene.
  std::vector<std::string> renderCalls() {
    device->BeginScene();
    d3d9_test::clearCallLog();
    d3d9_test::setCallLogEnabled(true);
    host->callEntry("scene", ENTRY_RENDER);
    d3d9_test::setCallLogEnabled(false);
    device->EndScene();
    return d3d9_test::callLog();
  }

  static std::vector<BlurVertex> vertices(PostProcessData* d) {
    std::vector<BlurVertex> out(68);
    void* data = nullptr;
    if (!d || FAILED(d->quadBuffer->Lock(0, 0, &data, D3DLOCK_READONLY))) return {};
    std::copy_n(static_cast<const BlurVertex*>(data), out.size(), out.begin());
    d->quadBuffer->Unlock();
    return out;
  }

  IDirect3DSurface9* renderTarget() {
    IDirect3DSurface9* target = nullptr;
    device->GetRenderTarget(0, &target);
    if (target) target->Release();  // the device keeps it
    return target;
  }
};

const char* kBlurScript =
    "postProcess p;\n"
    "texture a;\n"
    "texture b;\n"
    "float alpha = 1.0f;\n"
    "void init() { p = createBlur(64, 48, 2.0); a = createRenderTarget(64, 48); b = createRenderTarget(64, 48); }\n"
    "void render(float time) { p.executePostProcess(a, b, alpha); }\n";

int count(const std::vector<std::string>& calls, const std::string& start) {
  return int(std::count_if(calls.begin(), calls.end(),
                           [&](const std::string& c) { return c.rfind(start, 0) == 0; }));
}

}  // namespace

using Blur = BlurScene;

// The quads: quad 0 covers width x height pixels with the whole texture;
// the others are its copies shifted by multiples of the unit width / 128 x
// strength, vertically too; with the record's fixed draw settings and a
// render target of that size.
TEST_F(Blur, QuadsAreShiftedCopiesOfTheFirst) {
  compileBlur(
      "postProcess p;\n"
      "int w = 0;\n"
      "int h = 0;\n"
      "double strength = 0;\n"
      "void begin() { p = createBlur(w, h, strength); }\n");
  struct Case {
    int width, height;
    double strength;
    float unit;
    int quad, vertex;  // one vertex spelled out
    float x, y;
  } cases[] = {
      {640, 480, 1.0, 5.0f, 1, 3, 650, 480},  // quad 1 spans x 10 to 650
      {640, 480, 1.0, 5.0f, 15, 0, 0, 30},    // quad 15 spans y 30 to 510
      {800, 600, 2.0, 12.5f, 11, 2, 0, 650},  // vertical shifts follow the width
      {64, 48, 0.0, 0.0f, 16, 3, 64, 48},     // no strength: 17 equal quads
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", strength " << c.strength);
    *global<int>("w") = c.width;
    *global<int>("h") = c.height;
    *global<double>("strength") = c.strength;
    host->callEntry("scene", ENTRY_BEGIN);
    PostProcessData* d = blur("p");
    ASSERT_NE(d, nullptr);
    std::vector<BlurVertex> v = vertices(d);
    ASSERT_EQ(v.size(), 68u);
    const float w = float(c.width), h = float(c.height);
    const BlurVertex first[4] = {{0, 0, 0, 1, 0xFFFFFFFFu, 0, 0},
                                 {w, 0, 0, 1, 0xFFFFFFFFu, 1, 0},
                                 {0, h, 0, 1, 0xFFFFFFFFu, 0, 1},
                                 {w, h, 0, 1, 0xFFFFFFFFu, 1, 1}};
    for (int q = 0; q < 17; ++q)
      for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(testing::Message() << "quad " << q << ", vertex " << k);
        const BlurVertex& got = v[size_t(q * 4 + k)];
        BlurVertex want = first[k];
        want.x += float(kQuads[q].dx) * c.unit;
        want.y += float(kQuads[q].dy) * c.unit;
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.z, 0.0f);
        EXPECT_EQ(got.rhw, 1.0f);
        EXPECT_EQ(got.diffuse, 0xFFFFFFFFu);
        EXPECT_EQ(got.u, want.u);
        EXPECT_EQ(got.v, want.v);
      }
    EXPECT_EQ(v[size_t(c.quad * 4 + c.vertex)].x, c.x);
    EXPECT_EQ(v[size_t(c.quad * 4 + c.vertex)].y, c.y);
    for (int q = 0; q < 17; ++q) {
      EXPECT_EQ(d->weights[size_t(q)], kQuads[q].weight) << q;
      EXPECT_EQ(d->targetModes[size_t(q)], kQuads[q].mode) << q;
    }
    EXPECT_EQ(d->fvf, 0x144u);
    EXPECT_EQ(d->primitiveType, D3DPT_TRIANGLESTRIP);
    EXPECT_EQ(d->primitiveCount, 2u);
    EXPECT_EQ(d->quadCount, 17);
    EXPECT_EQ(d->vertexStride, 28u);
    ASSERT_NE(d->renderTarget.object, nullptr);
    EXPECT_EQ(*d->renderTarget.count, 1);
    D3DSURFACE_DESC desc{};
    d->renderTarget.object->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, UINT(c.width));
    EXPECT_EQ(desc.Height, UINT(c.height));
    EXPECT_EQ(desc.Usage & D3DUSAGE_RENDERTARGET, DWORD(D3DUSAGE_RENDERTARGET));
  }
}

// Two handles of one blur share its record, which goes with the last of
// them and releases its quads and its render target.
TEST_F(Blur, HandlesShareOneRecord) {
  compileBlur(
      "postProcess a;\n"
      "postProcess b;\n"
      "void init() { a = createBlur(64, 48, 1.0); b = a; }\n"
      "void begin() { postProcess none; a = none; }\n"
      "void end() { postProcess none; b = none; }\n");
  PostProcessData* d = blur("a");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(blur("b"), d);
  EXPECT_EQ(*global<PostProcessHandle>("a")->count, 2);
  IDirect3DVertexBuffer9* quads = d->quadBuffer;
  IDirect3DTexture9* target = d->renderTarget.object;
  quads->AddRef();  // the test's own references show when the record goes
  target->AddRef();
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(blur("b"), d);
  EXPECT_EQ(*global<PostProcessHandle>("b")->count, 1);
  host->callEntry("scene", ENTRY_END);
  EXPECT_EQ(quads->Release(), 0u);
  EXPECT_EQ(target->Release(), 0u);
}

// Each quad is drawn with the texture factor alpha trunc(alpha x weight x
// 255) of the exact product, low 8 bits only: 0.3 x 255 is a little above
// 76.5 and 0.45 x 255 a little below 114.75. The frame is copied once (the
// last switch goes to the result), the target set to the scratch texture,
// switched seven times and set back, each time between an end and a begin
// of the scene.
TEST_F(Blur, QuadAlphaFromTheFactorAndWeight) {
  compileBlur(kBlurScript);
  struct Case {
    float alpha;
    DWORD centre, wide, narrow;  // factor alpha for weights 0.3, 0.6, 0.45
  } cases[] = {
      {1.0f, 76, 153, 114}, {0.5f, 38, 76, 57},
      {2.0f, 153, 50, 229},                             // 306 keeps its low 8 bits
      {0.0f, 0, 0, 0},      {-1.0f, 0xB4, 0x67, 0x8E},  // -76, -153, -114 as bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "alpha " << c.alpha);
    *global<float>("alpha") = c.alpha;
    std::vector<std::string> calls = renderCalls();
    std::vector<DWORD> factors;
    std::string lastFactor;
    for (const std::string& call : calls) {
      if (call.rfind("SetRenderState(60, ", 0) == 0) lastFactor = call;
      if (call.rfind("DrawPrimitive(", 0) == 0)
        factors.push_back(DWORD(std::stoul(lastFactor.substr(19))) >> 24);
    }
    ASSERT_EQ(factors.size(), 17u);
    for (int q = 0; q < 17; ++q) {
      DWORD want = kQuads[q].weight == 0.3f   ? c.centre
                   : kQuads[q].weight == 0.6f ? c.wide
                                              : c.narrow;
      EXPECT_EQ(factors[size_t(q)], want) << "quad " << q;
    }
    EXPECT_EQ(count(calls, "DrawPrimitive(5, "), 17);
    EXPECT_EQ(count(calls, "StretchRect("), 1);
    EXPECT_EQ(count(calls, "SetRenderTarget("), 9);
    EXPECT_EQ(count(calls, "EndScene"), 9);
    EXPECT_EQ(count(calls, "BeginScene"), 9);
    EXPECT_EQ(calls.front(), "EndScene()");
  }
}

// A single white pixel and a white bar on black: the result texture holds
// the blur that the passes give when worked out texel by texel, to within
// the rounding of eight bits per blend; the frame itself is left as it was.
TEST_F(Blur, BlurOfAKnownFrame) {
  compileBlur(kBlurScript);
  struct Case {
    const char* what;
    RECT white;
    float alpha;
  } cases[] = {
      {"one pixel", {32, 24, 33, 25}, 1.0f},
      {"a bar, weaker", {20, 0, 28, 48}, 0.5f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    *global<float>("alpha") = c.alpha;
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFF000000, 1.0f, 0);
    IDirect3DSurface9* backBuffer = renderTarget();
    ASSERT_EQ(device->ColorFill(backBuffer, &c.white, 0xFFFFFFFF), D3D_OK);
    d3d9_test::Frame before = frame();
    device->BeginScene();
    host->callEntry("scene", ENTRY_RENDER);
    device->EndScene();
    EXPECT_EQ(renderTarget(), backBuffer);
    EXPECT_EQ(frame().pixels, before.pixels);

    Plane source{int(kWidth), int(kHeight), {}};
    for (uint32_t p : before.pixels) source.values.push_back(int(p & 0xFF));
    std::vector<int> factors;
    for (const Quad& q : kQuads)
      factors.push_back(int(std::trunc(double(c.alpha) * double(q.weight) * 255.0)));
    Plane want = modelBlur(source, 1, factors);  // 64 / 128 x 2: one pixel a unit
    d3d9_test::Frame got = levelImage(texture("a"));
    ASSERT_EQ(got.width, int(kWidth));
    int worst = 0, lit = 0;
    for (int y = 0; y < int(kHeight); ++y)
      for (int x = 0; x < int(kWidth); ++x) {
        uint32_t p = got.at(x, y);
        for (int shift : {0, 8, 16})
          worst = std::max(worst, std::abs(d3d9_testing::channel(p, shift) - want.at(x, y)));
        lit += want.at(x, y) > 0;
      }
    EXPECT_LE(worst, 2);
    if (worst > 2)
      for (int y = 20; y < 30; ++y) {
        std::string row;
        for (int x = 26; x < 40; ++x)
          row += std::to_string(d3d9_testing::channel(got.at(x, y), 0)) + "/" +
                 std::to_string(want.at(x, y)) + " ";
        ADD_FAILURE() << row;
      }
    EXPECT_GT(lit, 40);  // the light spread well beyond the white
  }
}

// After the blur: render target 0, sampler 0's filters and addressing and
// the states it changed through the undo stacks are as before, with the
// stacks' marks and logs as before; stage 0 has no texture; the vertex
// format and stream 0 stay the blur's.
TEST_F(Blur, DeviceStateIsGivenBack) {
  compileBlur(kBlurScript);
  device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_POINT);
  device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_ANISOTROPIC);
  device->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_MIRROR);
  device->SetSamplerState(0, D3DSAMP_ADDRESSV, D3DTADDRESS_BORDER);
  gRenderStateStack->push();
  gRenderStateStack->set(D3DRS_SRCBLEND, D3DBLEND_ONE);
  gTextureStageStateStacks[0]->set(D3DTSS_ALPHAOP, D3DTOP_MODULATE);
  const std::vector<int> marks = gRenderStateStack->marks,
                         stageMarks = gTextureStageStateStacks[0]->marks;
  const size_t logged = gRenderStateStack->changeLog.size(),
               stageLogged = gTextureStageStateStacks[0]->changeLog.size();
  const int renderStates[] = {D3DRS_ALPHABLENDENABLE, D3DRS_SRCBLEND, D3DRS_DESTBLEND,
                              D3DRS_TEXTUREFACTOR};
  const int stageStates[] = {D3DTSS_COLOROP, D3DTSS_ALPHAOP, D3DTSS_ALPHAARG1, D3DTSS_RESULTARG};
  std::vector<DWORD> states;
  auto readStates = [&] {
    std::vector<DWORD> out;
    for (int s : renderStates) {
      DWORD value = 0;
      device->GetRenderState(D3DRENDERSTATETYPE(s), &value);
      out.push_back(value);
    }
    for (int s : stageStates) {
      DWORD value = 0;
      device->GetTextureStageState(0, D3DTEXTURESTAGESTATETYPE(s), &value);
      out.push_back(value);
    }
    for (D3DSAMPLERSTATETYPE s :
         {D3DSAMP_MAGFILTER, D3DSAMP_MINFILTER, D3DSAMP_ADDRESSU, D3DSAMP_ADDRESSV}) {
      DWORD value = 0;
      device->GetSamplerState(0, s, &value);
      out.push_back(value);
    }
    return out;
  };
  states = readStates();
  IDirect3DSurface9* before = renderTarget();
  device->SetTexture(0, texture("a"));

  device->BeginScene();
  host->callEntry("scene", ENTRY_RENDER);
  device->EndScene();
  EXPECT_EQ(renderTarget(), before);
  EXPECT_EQ(readStates(), states);
  EXPECT_EQ(gRenderStateStack->marks, marks);
  EXPECT_EQ(gTextureStageStateStacks[0]->marks, stageMarks);
  EXPECT_EQ(gRenderStateStack->changeLog.size(), logged);
  EXPECT_EQ(gTextureStageStateStacks[0]->changeLog.size(), stageLogged);
  IDirect3DBaseTexture9* stage0 = reinterpret_cast<IDirect3DBaseTexture9*>(1);
  device->GetTexture(0, &stage0);
  EXPECT_EQ(stage0, nullptr);
  DWORD fvf = 0;
  device->GetFVF(&fvf);
  EXPECT_EQ(fvf, 0x144u);
  IDirect3DVertexBuffer9* stream = nullptr;
  UINT offset = 1, stride = 0;
  device->GetStreamSource(0, &stream, &offset, &stride);
  EXPECT_EQ(stream, blur("p")->quadBuffer);
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(stride, 28u);
  if (stream) stream->Release();
}

// Without a blur, with empty textures, textures that are no render targets
// or one texture as both: nothing is drawn and the frame stays.
TEST_F(Blur, NothingDrawnWithoutTwoTargets) {
  struct Case {
    const char* what;
    const char* call;
    bool logs;
  } cases[] = {
      {"empty blur", "postProcess none; none.executePostProcess(a, b, 1);", false},
      {"empty result", "texture none; p.executePostProcess(none, b, 1);", false},
      {"empty scratch", "texture none; p.executePostProcess(a, none, 1);", false},
      {"plain textures", "texture c = createTexture(64, 48); p.executePostProcess(c, b, 1);", true},
      {"one texture twice", "p.executePostProcess(a, a, 1);", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    compileBlur(
        std::string(
            "postProcess p;\n"
            "texture a;\n"
            "texture b;\n"
            "void init() { p = createBlur(64, 48, 1.0); a = createRenderTarget(64, 48); b = createRenderTarget(64, 48); }\n"
            "void render(float time) { ") +
        c.call + " }\n");
    logged().clear();
    std::vector<std::string> calls = renderCalls();
    EXPECT_EQ(count(calls, "DrawPrimitive"), 0);
    EXPECT_EQ(count(calls, "EndScene"), 0);
    EXPECT_EQ(count(calls, "SetRenderTarget"), 0);
    EXPECT_EQ(logged().size(), c.logs ? 1u : 0u);
  }
}
