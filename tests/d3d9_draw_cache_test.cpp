// The draw path skips work when only the world matrix moved since the last
// draw. Each case draws a lit, textured square on the left, changes one
// thing (and the world matrix), and draws a square on the right: the right
// half must look exactly as on a fresh device that draws only the second
// square with that change made.
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "tests/d3d9_fixture.h"

using d3d9_testing::DeviceFixture;

namespace {

struct Vertex {
  float x, y, z, nx, ny, nz, u, v;
};
constexpr DWORD kFVF = D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX1;

D3DMATRIX translation(float x, float y) {
  D3DMATRIX m{};
  m._11 = m._22 = m._33 = m._44 = 1;
  m._41 = x;
  m._42 = y;
  return m;
}

struct Case {
  const char* name;
  // Made between the two draws (and on the fresh device before its draw).
  std::function<void(IDirect3DDevice9*, IDirect3DTexture9* other)> change;
  D3DPRIMITIVETYPE second = D3DPT_TRIANGLESTRIP;
};

// Pixels that differ between two images of one size.
int differing(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  int n = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] != b[i];
  return n;
}

class DrawCacheTest : public DeviceFixture {
 protected:
  // A 4x4 texture of four colours in quarters; `tint` is ORed into each.
  IDirect3DTexture9* makeTexture(uint32_t tint) {
    IDirect3DTexture9* t = nullptr;
    EXPECT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
              D3D_OK);
    fillTexture(t, tint);
    return t;
  }

  // Level 0 of `t` all in `colour`.
  static void fillLevel0(IDirect3DTexture9* t, uint32_t colour) {
    D3DSURFACE_DESC desc;
    ASSERT_EQ(t->GetLevelDesc(0, &desc), D3D_OK);
    D3DLOCKED_RECT locked;
    ASSERT_EQ(t->LockRect(0, &locked, nullptr, 0), D3D_OK);
    for (UINT y = 0; y < desc.Height; ++y)
      for (UINT x = 0; x < desc.Width; ++x)
        reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch)[x] =
            colour;
    t->UnlockRect(0);
  }

  static void fillTexture(IDirect3DTexture9* t, uint32_t tint) {
    const uint32_t quarters[4] = {0xffff4020, 0xff20ff40, 0xff4020ff, 0xffc0c0c0};
    D3DLOCKED_RECT locked;
    ASSERT_EQ(t->LockRect(0, &locked, nullptr, 0), D3D_OK);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch)[x] =
            quarters[(y / 2) * 2 + x / 2] | tint;
    t->UnlockRect(0);
  }

  // Lighting, material, texture and transforms every case starts from.
  void baseState(IDirect3DTexture9* texture) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    D3DMATERIAL9 m{};
    m.Diffuse = {0.75f, 0.75f, 0.75f, 1};
    m.Ambient = {1, 1, 1, 1};
    device->SetMaterial(&m);
    D3DLIGHT9 light{};
    light.Type = D3DLIGHT_DIRECTIONAL;
    light.Diffuse = {1, 1, 1, 1};
    light.Direction = {0.3f, -0.3f, 0.9f};
    device->SetLight(0, &light);
    device->LightEnable(0, TRUE);
    device->SetRenderState(D3DRS_AMBIENT, 0xff202020);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device->SetTexture(0, texture);
    device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_POINT);
    device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_POINT);
    device->SetFVF(kFVF);
    float pointSize = 6.0f;
    DWORD bits;
    std::memcpy(&bits, &pointSize, sizeof bits);
    device->SetRenderState(D3DRS_POINTSIZE, bits);
  }

  // A square of the left half of the view, texture coordinates 0 to 2,
  // moved by `dx`.
  void square(float dx, D3DPRIMITIVETYPE type = D3DPT_TRIANGLESTRIP) {
    squareWith(translation(dx, 0), type);
  }

  // The same square placed by `world`.
  void squareWith(const D3DMATRIX& world, D3DPRIMITIVETYPE type = D3DPT_TRIANGLESTRIP) {
    device->SetTransform(D3DTS_WORLD, &world);
    Vertex v[4] = {{-1, 1, 0.5f, 0, 0, -1, 0, 0},
                   {0, 1, 0.5f, 0, 0, -1, 2, 0},
                   {-1, -1, 0.5f, 0, 0, -1, 0, 2},
                   {0, -1, 0.5f, 0, 0, -1, 2, 2}};
    UINT count = type == D3DPT_POINTLIST ? 4 : 2;
    ASSERT_EQ(device->DrawPrimitiveUP(type, count, v, sizeof v[0]), D3D_OK);
  }

  // The right half of what the device drew after `prepare`.
  std::vector<uint32_t> rightHalf(const std::function<void(IDirect3DTexture9*)>& prepare) {
    makeDevice(kWidth, kHeight, D3DFMT_X8R8G8B8);
    IDirect3DTexture9* texture = makeTexture(0);
    IDirect3DTexture9* other = makeTexture(0x00800000);
    baseState(texture);
    prepare(other);
    d3d9_test::Frame f = frame();
    std::vector<uint32_t> half;
    for (int y = 0; y < f.height; ++y)
      for (int x = f.width / 2 + 1; x < f.width; ++x) half.push_back(f.at(x, y));
    device->SetTexture(0, nullptr);
    texture->Release();
    other->Release();
    return half;
  }
};

}  // namespace

TEST_F(DrawCacheTest, ChangesBetweenDrawsTakeEffect) {
  const Case cases[] = {
      {"lighting off (a new program)",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) { d->SetRenderState(D3DRS_LIGHTING, FALSE); }},
      {"global ambient", [](IDirect3DDevice9* d,
                            IDirect3DTexture9*) { d->SetRenderState(D3DRS_AMBIENT, 0xff806040); }},
      {"material",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         D3DMATERIAL9 m{};
         m.Diffuse = {0.2f, 0.9f, 0.4f, 1};
         d->SetMaterial(&m);
       }},
      {"light direction",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         D3DLIGHT9 light{};
         light.Type = D3DLIGHT_DIRECTIONAL;
         light.Diffuse = {1, 1, 1, 1};
         light.Direction = {-0.6f, 0.2f, 0.5f};
         d->SetLight(0, &light);
       }},
      {"view matrix",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         D3DMATRIX view = translation(0.25f, 0.5f);
         d->SetTransform(D3DTS_VIEW, &view);
       }},
      {"projection",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         D3DMATRIX p = translation(0, 0);
         p._11 = 0.5f;
         d->SetTransform(D3DTS_PROJECTION, &p);
       }},
      {"viewport",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         D3DVIEWPORT9 vp = {16, 8, 40, 32, 0, 1};
         d->SetViewport(&vp);
       }},
      {"another texture",
       [](IDirect3DDevice9* d, IDirect3DTexture9* other) { d->SetTexture(0, other); }},
      {"texels of the bound texture",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         IDirect3DBaseTexture9* bound = nullptr;
         d->GetTexture(0, &bound);
         DrawCacheTest::fillTexture(static_cast<IDirect3DTexture9*>(bound), 0x000000ff);
         bound->Release();
       }},
      {"sampler address mode",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
       }},
      {"stage operation",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_ADD);
       }},
      {"blending",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff3060c0, 1.0f, 0);
         d->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
         d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
         d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
       }},
      {"colour write mask",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetRenderState(D3DRS_COLORWRITEENABLE, D3DCOLORWRITEENABLE_GREEN);
       }},
      {"depth test against an earlier clear",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         D3DRECT r = {40, 0, 64, 48};
         d->Clear(1, &r, D3DCLEAR_ZBUFFER, 0, 0.25f, 0);
       }},
      {"scissor rectangle",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         RECT r = {36, 10, 60, 30};
         d->SetScissorRect(&r);
         d->SetRenderState(D3DRS_SCISSORTESTENABLE, TRUE);
       }},
      {"cull mode", [](IDirect3DDevice9* d,
                       IDirect3DTexture9*) { d->SetRenderState(D3DRS_CULLMODE, D3DCULL_CW); }},
      {"depth function", [](IDirect3DDevice9* d,
                            IDirect3DTexture9*) { d->SetRenderState(D3DRS_ZFUNC, D3DCMP_NEVER); }},
      {"points instead of triangles", [](IDirect3DDevice9*, IDirect3DTexture9*) {},
       D3DPT_POINTLIST},
  };
  const std::vector<uint32_t> unchanged = rightHalf([&](IDirect3DTexture9*) { square(1); });
  // A new world matrix alone: the second square where it belongs.
  EXPECT_EQ(differing(rightHalf([&](IDirect3DTexture9*) {
                        square(0);
                        square(1);
                      }),
                      unchanged),
            0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> expected = rightHalf([&](IDirect3DTexture9* other) {
      c.change(device, other);
      square(1, c.second);
    });
    // The change must show, or the case proves nothing.
    ASSERT_GT(differing(expected, unchanged), 0);
    std::vector<uint32_t> actual = rightHalf([&](IDirect3DTexture9* other) {
      square(0);
      c.change(device, other);
      square(1, c.second);
    });
    EXPECT_EQ(differing(actual, expected), 0);
  }
}

// A change reaches only what it feeds: states the program does not depend
// on leave it as it is (no new program), and values set again unchanged
// change nothing at all. The stage multiplies the texture by the texture
// factor, so that the factor shows.
TEST_F(DrawCacheTest, ChangesReachOnlyWhatTheyFeed) {
  struct FeedCase {
    const char* name;
    std::function<void(IDirect3DDevice9*, IDirect3DTexture9* other)> change;
    bool newProgram, shows;
  };
  auto sameAgain = [](IDirect3DDevice9* d, IDirect3DTexture9*) {
    D3DMATERIAL9 m{};
    d->GetMaterial(&m);
    d->SetMaterial(&m);
    D3DLIGHT9 light{};
    d->GetLight(0, &light);
    d->SetLight(0, &light);
    D3DVIEWPORT9 vp{};
    d->GetViewport(&vp);
    d->SetViewport(&vp);
    RECT r{};
    d->GetScissorRect(&r);
    d->SetScissorRect(&r);
    D3DMATRIX view{};
    d->GetTransform(D3DTS_VIEW, &view);
    d->SetTransform(D3DTS_VIEW, &view);
    const float plane[4] = {0, 0, 0, 0};
    d->SetClipPlane(0, plane);
  };
  const FeedCase cases[] = {
      {"texture factor",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetRenderState(D3DRS_TEXTUREFACTOR, 0xff40c080);
       },
       false, true},
      {"alpha reference with the alpha test off",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) { d->SetRenderState(D3DRS_ALPHAREF, 0x80); },
       false, false},
      {"states that feed nothing",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetRenderState(D3DRS_LASTPIXEL, FALSE);
         d->SetRenderState(D3DRS_WRAP0, 1);
         d->SetRenderState(D3DRS_CLIPPING, FALSE);
       },
       false, false},
      {"values set again as they are", sameAgain, false, false},
      {"another texture of the same kind",
       [](IDirect3DDevice9* d, IDirect3DTexture9* other) { d->SetTexture(0, other); }, false, true},
      {"blending",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
         d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ZERO);
         d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
       },
       false, true},
      {"stage operation",
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SUBTRACT);
       },
       true, true},
  };
  auto withFactor = [&](IDirect3DTexture9*) {
    device->SetRenderState(D3DRS_TEXTUREFACTOR, 0xffffffff);
    device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_TFACTOR);
  };
  const std::vector<uint32_t> unchanged = rightHalf([&](IDirect3DTexture9* other) {
    withFactor(other);
    square(1);
  });
  for (const FeedCase& c : cases) {
    SCOPED_TRACE(c.name);
    size_t programsBefore = 0, programsAfter = 0;
    std::vector<uint32_t> actual = rightHalf([&](IDirect3DTexture9* other) {
      withFactor(other);
      square(0);
      programsBefore = d3d9_test::programCount(device);
      c.change(device, other);
      square(1);
      programsAfter = d3d9_test::programCount(device);
    });
    EXPECT_EQ(programsAfter > programsBefore, c.newProgram);
    EXPECT_EQ(differing(actual, unchanged) > 0, c.shows);
  }
}

// Each draw lights with the normals of its own matrices: a world matrix
// that turns or stretches after one that only moved (or the other way
// round), the same turn again after another, and a view that becomes the
// identity or stops being one. Each sequence's last square must light as
// on a fresh device that draws only that square with those matrices.
TEST_F(DrawCacheTest, EachDrawLightsWithItsOwnMatrices) {
  auto moved = [](D3DMATRIX m, float dx) {
    m._41 += dx;
    return m;
  };
  // A turn of 20 degrees about x, and z halved (normals twice as long).
  D3DMATRIX turned = translation(0, 0);
  turned._22 = turned._33 = std::cos(0.35f);
  turned._23 = std::sin(0.35f);
  turned._32 = -turned._23;
  D3DMATRIX flattened = translation(0, 0);
  flattened._33 = 0.5f;
  D3DMATRIX viewTurned = turned, viewMoved = translation(0.25f, 0.5f);
  const D3DMATRIX identity = translation(0, 0);
  struct Step {
    D3DMATRIX view, world;
  };
  struct SequenceCase {
    const char* name;
    std::vector<Step> steps;  // the last one on the right, the others on the left
  };
  const SequenceCase cases[] = {
      {"moved, then turned", {{identity, translation(0, 0)}, {identity, moved(turned, 1)}}},
      {"turned, then moved", {{identity, turned}, {identity, translation(1, 0)}}},
      {"flattened, turned, flattened",
       {{identity, flattened}, {identity, turned}, {identity, moved(flattened, 1)}}},
      {"turned twice", {{identity, turned}, {identity, moved(turned, 1)}}},
      {"a view that moves, then none",
       {{viewMoved, translation(0, 0)}, {identity, translation(1, 0)}}},
      {"no view, then one that turns",
       {{identity, translation(0, 0)}, {viewTurned, translation(1, 0)}}},
      {"a turning view, then one that moves",
       {{viewTurned, translation(-0.5f, 0)}, {viewMoved, translation(0.75f, 0)}}},
  };
  const std::vector<uint32_t> plain = rightHalf([&](IDirect3DTexture9*) { square(1); });
  for (const SequenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Step& last = c.steps.back();
    std::vector<uint32_t> expected = rightHalf([&](IDirect3DTexture9*) {
      device->SetTransform(D3DTS_VIEW, &last.view);
      squareWith(last.world);
    });
    std::vector<uint32_t> actual = rightHalf([&](IDirect3DTexture9*) {
      for (const Step& step : c.steps) {
        device->SetTransform(D3DTS_VIEW, &step.view);
        squareWith(step.world);
      }
    });
    EXPECT_EQ(differing(actual, expected), 0);
  }
  // The turns and stretches show in the light, or the cases prove little.
  const std::vector<uint32_t> turnedAlone =
      rightHalf([&](IDirect3DTexture9*) { squareWith(moved(turned, 1)); });
  const std::vector<uint32_t> flattenedAlone =
      rightHalf([&](IDirect3DTexture9*) { squareWith(moved(flattened, 1)); });
  EXPECT_GT(differing(turnedAlone, plain), 0);
  EXPECT_GT(differing(flattenedAlone, plain), 0);
}

// Programs lit by directional lights alone take world-view and projection
// as one matrix; a point light needs the eye-space position and so the two
// apart. A new projection set while the one kind draws must reach the
// other kind too, both ways round. Every draw is the same square, each on
// a cleared target, so that no new world matrix hides a stale projection.
TEST_F(DrawCacheTest, ProjectionReachesEachKindOfProgram) {
  D3DMATRIX narrow = translation(0, 0);
  narrow._11 = 0.5f;
  D3DLIGHT9 point{};
  point.Type = D3DLIGHT_POINT;
  point.Diffuse = {1, 0.5f, 0.25f, 1};
  point.Position = {0.5f, 0, -1};
  point.Range = 10;
  point.Attenuation0 = 1;
  for (bool pointLast : {false, true}) {
    SCOPED_TRACE(pointLast ? "a point light's program last" : "a directional light's last");
    auto light = [&](bool withPoint) {
      device->SetLight(1, &point);
      device->LightEnable(1, withPoint);
    };
    std::vector<uint32_t> expected = rightHalf([&](IDirect3DTexture9*) {
      light(pointLast);
      device->SetTransform(D3DTS_PROJECTION, &narrow);
      square(1);
    });
    std::vector<uint32_t> actual = rightHalf([&](IDirect3DTexture9*) {
      auto cleared = [&] {
        device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
      };
      light(pointLast);
      square(1);
      light(!pointLast);
      cleared();
      square(1);
      device->SetTransform(D3DTS_PROJECTION, &narrow);
      cleared();
      square(1);
      light(pointLast);
      cleared();
      square(1);
    });
    EXPECT_EQ(differing(actual, expected), 0);
  }
}

// Programs that do not light receive the world-view matrices without the
// normal matrices; a lit program drawn next with the same matrices must
// still get its normals, whichever ran first.
TEST_F(DrawCacheTest, LitDrawAfterAnUnlitOneWithTheSameMatrices) {
  const std::vector<uint32_t> litAlone = rightHalf([&](IDirect3DTexture9*) { square(1); });
  const std::vector<uint32_t> afterUnlit = rightHalf([&](IDirect3DTexture9*) {
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    square(1);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    device->SetRenderState(D3DRS_LIGHTING, TRUE);
    // The same square again, without setting its (unchanged) world matrix.
    Vertex v[4] = {{-1, 1, 0.5f, 0, 0, -1, 0, 0},
                   {0, 1, 0.5f, 0, 0, -1, 2, 0},
                   {-1, -1, 0.5f, 0, 0, -1, 0, 2},
                   {0, -1, 0.5f, 0, 0, -1, 2, 2}};
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  });
  EXPECT_EQ(differing(afterUnlit, litAlone), 0);
}

// Values (the alpha reference, the point size, the texture factor, the
// material, the fog distances, a stage constant, textures) move between
// draws that keep their program. Each case draws a square on the left,
// makes its change (which may draw more on the left) and draws the square
// on the right: the right half must look as on a fresh device that makes
// only the change before that square.
TEST_F(DrawCacheTest, ValuesMovedBetweenDrawsOfOneProgram) {
  struct ValueCase {
    const char* name;
    // Made before anything is drawn, on both devices.
    std::function<void(IDirect3DDevice9*)> prepare;
    std::function<void(IDirect3DDevice9*, IDirect3DTexture9* other)> change;
    D3DPRIMITIVETYPE type = D3DPT_TRIANGLESTRIP;
  };
  auto factorStage = [](IDirect3DDevice9* d) {
    d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MODULATE);
    d->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_CURRENT);
    d->SetTextureStageState(1, D3DTSS_COLORARG2, D3DTA_TFACTOR);
  };
  const ValueCase cases[] = {
      {"alpha reference with the alpha test on",
       [](IDirect3DDevice9* d) {
         d->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
         d->SetRenderState(D3DRS_ALPHAFUNC, D3DCMP_GREATER);
         d->SetRenderState(D3DRS_ALPHAREF, 0);
       },
       [](IDirect3DDevice9* d, IDirect3DTexture9*) { d->SetRenderState(D3DRS_ALPHAREF, 0xff); }},
      {"point size", [](IDirect3DDevice9*) {},
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         float size = 2.0f;
         DWORD bits;
         std::memcpy(&bits, &size, sizeof bits);
         d->SetRenderState(D3DRS_POINTSIZE, bits);
       },
       D3DPT_POINTLIST},
      {"texture factor, material and texture at once", factorStage,
       [](IDirect3DDevice9* d, IDirect3DTexture9* other) {
         d->SetTexture(0, other);
         d->SetRenderState(D3DRS_TEXTUREFACTOR, 0xff40c080);
         D3DMATERIAL9 m{};
         m.Diffuse = {0.2f, 0.9f, 0.4f, 1};
         m.Ambient = {0.5f, 0, 0, 1};
         d->SetMaterial(&m);
       }},
      // The factor moves while one program draws; another program that
      // drew before it moved must receive it too.
      {"texture factor, then a program that drew before", factorStage,
       [this](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_ADD);
         square(0);
         d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MODULATE);
         square(0);
         d->SetRenderState(D3DRS_TEXTUREFACTOR, 0xff204080);
         square(0);
         d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_ADD);
       }},
      {"fog distance",
       [](IDirect3DDevice9* d) {
         d->SetRenderState(D3DRS_FOGENABLE, TRUE);
         d->SetRenderState(D3DRS_FOGVERTEXMODE, D3DFOG_LINEAR);
         d->SetRenderState(D3DRS_FOGCOLOR, 0xffff0000);
         float start = 0, end = 1;
         DWORD bits;
         std::memcpy(&bits, &start, sizeof bits);
         d->SetRenderState(D3DRS_FOGSTART, bits);
         std::memcpy(&bits, &end, sizeof bits);
         d->SetRenderState(D3DRS_FOGEND, bits);
       },
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         float end = 4;
         DWORD bits;
         std::memcpy(&bits, &end, sizeof bits);
         d->SetRenderState(D3DRS_FOGEND, bits);
       }},
      {"stage constant",
       [](IDirect3DDevice9* d) {
         d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MODULATE);
         d->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_CURRENT);
         d->SetTextureStageState(1, D3DTSS_COLORARG2, D3DTA_CONSTANT);
         d->SetTextureStageState(1, D3DTSS_CONSTANT, 0xffffffff);
       },
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         d->SetTextureStageState(1, D3DTSS_CONSTANT, 0xff4080c0);
       }},
      // The chain of an automatic mipmap follows a new level 0 at the
      // next draw (the square shows the texture at a quarter of its size,
      // from its level 2).
      {"level 0 of a texture with automatic mipmaps",
       [](IDirect3DDevice9* d) {
         IDirect3DTexture9* t = nullptr;
         ASSERT_EQ(d->CreateTexture(64, 64, 0, D3DUSAGE_AUTOGENMIPMAP, D3DFMT_A8R8G8B8,
                                    D3DPOOL_MANAGED, &t, nullptr),
                   D3D_OK);
         fillLevel0(t, 0xffc08040);
         d->SetTexture(0, t);
         d->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
         d->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_POINT);
         t->Release();  // the device keeps it while it is bound
       },
       [](IDirect3DDevice9* d, IDirect3DTexture9*) {
         IDirect3DBaseTexture9* bound = nullptr;
         d->GetTexture(0, &bound);
         fillLevel0(static_cast<IDirect3DTexture9*>(bound), 0xff4080c0);
         bound->Release();
       }},
      {"no texture for one draw, then another one", [](IDirect3DDevice9*) {},
       [this](IDirect3DDevice9* d, IDirect3DTexture9* other) {
         d->SetTexture(0, nullptr);
         square(0);
         d->SetTexture(0, other);
       }},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint32_t> unchanged = rightHalf([&](IDirect3DTexture9*) {
      c.prepare(device);
      square(1, c.type);
    });
    std::vector<uint32_t> expected = rightHalf([&](IDirect3DTexture9* other) {
      c.prepare(device);
      c.change(device, other);
      square(1, c.type);
    });
    // The change must show, or the case proves nothing.
    ASSERT_GT(differing(expected, unchanged), 0);
    std::vector<uint32_t> actual = rightHalf([&](IDirect3DTexture9* other) {
      c.prepare(device);
      // (A little further left, so that no point reaches the right half.)
      square(-0.25f, c.type);
      c.change(device, other);
      square(1, c.type);
    });
    EXPECT_EQ(differing(actual, expected), 0);
  }
}
