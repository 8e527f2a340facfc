#include "scriptapi/PostProcess.h"

#include <angelscript.h>

#include <cmath>
#include <cstdint>
#include <new>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/RenderStateStack.h"
#include "scriptapi/Binding.h"

using namespace AngelScript;

namespace {

constexpr DWORD kBlurFVF = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1;  // 0x144
constexpr int kVerticesPerQuad = 4;
constexpr UINT kBufferBytes = PostProcessData::kQuads * kVerticesPerQuad * sizeof(BlurVertex);

// The quads after the first, in order: the shift in blur units along x
// (the first half) or y, the blend weight, and the target switch made
// before the quad is drawn. Each half walks 2, 4, 3, 6 units, positive
// then negative.
struct QuadLayout {
  int shift;
  bool vertical;
  float weight;
  int targetMode;
};
constexpr float kCentreWeight = 0.3f;
constexpr QuadLayout kShiftedQuads[PostProcessData::kQuads - 1] = {
    {+2, false, 0.6f, 0},  {-2, false, 0.6f, 0}, {+4, false, 0.45f, -1}, {-4, false, 0.45f, 0},
    {+3, false, 0.6f, -2}, {-3, false, 0.6f, 0}, {+6, false, 0.45f, -2}, {-6, false, 0.45f, 0},
    {+2, true, 0.6f, -1},  {-2, true, 0.6f, 0},  {+4, true, 0.45f, -2},  {-4, true, 0.45f, 0},
    {+3, true, 0.6f, -2},  {-3, true, 0.6f, 0},  {+6, true, 0.45f, -1},  {-6, true, 0.45f, 0},
};
constexpr int kToResult = -1;   // draw from the scratch texture into the result
constexpr int kToScratch = -2;  // draw from the result into the scratch texture

void release(IUnknown* object) {
  if (object) object->Release();
}

// The texture factor alpha of a quad: trunc(alpha x weight x 255) of the
// exact product, of which the low 8 bits count. alpha x weight is exact in
// a double; the error of the rounded product with 255 tells on which side
// of a whole number the exact one lies. A product that no int holds (or
// NaN) gives 0.
std::uint32_t quadAlpha(float alpha, float weight) {
  const double product = double(alpha) * double(weight);
  const double rounded = product * 255.0;
  if (!(rounded > -2147483649.0 && rounded < 2147483648.0)) return 0;
  double whole = std::trunc(rounded);
  if (whole == rounded) {
    const double error = std::fma(product, 255.0, -rounded);
    if (error < 0 && rounded > 0) whole -= 1;
    if (error > 0 && rounded < 0) whole += 1;
  }
  return std::uint32_t(std::int32_t(whole)) & 0xffu;
}

// --- behaviours and factories ------------------------------------------------

// postProcess createBlur(int width, int height, double strength): 17 quads
// of width x height pixels, 16 of them shifted by multiples of one 128th of
// the width per unit of strength, with a render target of that size. An
// empty handle when the quads cannot be made.
PostProcessHandle createBlur(int width, int height, double strength) {
  if (!gDevice) return PostProcessHandle();
  IDirect3DVertexBuffer9* buffer = nullptr;
  void* bytes = nullptr;
  if (FAILED(gDevice->CreateVertexBuffer(kBufferBytes, D3DUSAGE_WRITEONLY, kBlurFVF,
                                         D3DPOOL_DEFAULT, &buffer, nullptr)) ||
      !buffer || FAILED(buffer->Lock(0, 0, &bytes, 0)) || !bytes) {
    release(buffer);
    logMessage("createBlur: the blur's quads cannot be made, the post-process stays empty");
    return PostProcessHandle();
  }
  BlurVertex* quads = static_cast<BlurVertex*>(bytes);
  const float w = float(width), h = float(height);
  // Whole pixels, no half-pixel offset.
  quads[0] = {0, 0, 0, 1, 0xFFFFFFFFu, 0, 0};
  quads[1] = {w, 0, 0, 1, 0xFFFFFFFFu, 1, 0};
  quads[2] = {0, h, 0, 1, 0xFFFFFFFFu, 0, 1};
  quads[3] = {w, h, 0, 1, 0xFFFFFFFFu, 1, 1};
  // The unit follows the width for both directions.
  const double unit = double(width) * 0.0078125 * strength;
  for (int q = 1; q < PostProcessData::kQuads; ++q) {
    const QuadLayout& layout = kShiftedQuads[q - 1];
    for (int k = 0; k < kVerticesPerQuad; ++k) {
      BlurVertex v = quads[k];
      float& moved = layout.vertical ? v.y : v.x;
      moved = float(double(moved) + layout.shift * unit);
      quads[q * kVerticesPerQuad + k] = v;
    }
  }
  buffer->Unlock();

  PostProcessData* record = new PostProcessData;
  record->quadBuffer = buffer;
  record->weights[0] = kCentreWeight;
  record->targetModes[0] = 0;
  for (int q = 1; q < PostProcessData::kQuads; ++q) {
    record->weights[size_t(q)] = kShiftedQuads[q - 1].weight;
    record->targetModes[size_t(q)] = kShiftedQuads[q - 1].targetMode;
  }
  record->fvf = kBlurFVF;
  record->primitiveType = D3DPT_TRIANGLESTRIP;
  record->primitiveCount = 2;
  record->quadCount = PostProcessData::kQuads;
  record->quadBytes = kVerticesPerQuad * int(sizeof(BlurVertex));
  record->vertexStride = sizeof(BlurVertex);
  record->renderTarget = createRenderTarget(width, height);
  return makeFactoryHandle<PostProcessHandle>(record);
}

// Level 0 of a render-target texture, or null (logged) when it is none.
IDirect3DSurface9* targetLevel(IDirect3DTexture9* texture) {
  D3DSURFACE_DESC desc{};
  IDirect3DSurface9* level = nullptr;
  if (SUCCEEDED(texture->GetLevelDesc(0, &desc)) && (desc.Usage & D3DUSAGE_RENDERTARGET))
    texture->GetSurfaceLevel(0, &level);
  return level;
}

// --- methods -------------------------------------------------------------------

// void executePostProcess(texture &inout a, texture &inout b, float alpha):
// a receives the frame drawn so far, blurred; b is scratch. Each quad is
// blended with source alpha = alpha x its weight while the pair of textures
// swaps at the quads' target switches. Ends the scene in progress and
// begins one again before it returns, so it runs inside "render".
void postProcess_executePostProcess(TextureHandle* a, TextureHandle* b, float alpha,
                                    PostProcessHandle* self) {
  PostProcessData* d = self->object;
  TextureStageStateStack* stage0 = gTextureStageStateStacks[0];
  if (!d || !d->quadBuffer || !a->object || !b->object || !gDevice || !gRenderStateStack || !stage0)
    return;
  IDirect3DTexture9* textureA = a->object;
  IDirect3DTexture9* textureB = b->object;
  IDirect3DSurface9* sB = targetLevel(textureB);
  IDirect3DSurface9* sA = targetLevel(textureA);
  IDirect3DSurface9* old = nullptr;
  gDevice->GetRenderTarget(0, &old);
  // Anything else would draw the quads over the frame, or a texture into
  // itself.
  if (!sA || !sB || !old || textureA == textureB) {
    logMessage(
        "postProcess.executePostProcess: needs two different render-target textures, nothing is "
        "drawn");
    release(sB);
    release(sA);
    release(old);
    return;
  }

  gDevice->EndScene();
  gDevice->SetRenderTarget(0, sB);
  gDevice->BeginScene();
  gDevice->StretchRect(old, nullptr, sA, nullptr, D3DTEXF_NONE);  // a holds the frame

  gDevice->SetTexture(0, textureA);
  gDevice->SetFVF(d->fvf);
  gDevice->SetStreamSource(0, d->quadBuffer, 0, d->vertexStride);

  gRenderStateStack->push();
  stage0->push();
  gRenderStateStack->set(D3DRS_ALPHABLENDENABLE, TRUE);
  gRenderStateStack->set(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
  gRenderStateStack->set(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
  // The colour stays the stage's usual modulate of texture and white.
  stage0->set(D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  stage0->set(D3DTSS_ALPHAARG1, D3DTA_TFACTOR);
  stage0->set(D3DTSS_RESULTARG, D3DTA_CURRENT);

  DWORD magFilter = 0, minFilter = 0, addressU = 0, addressV = 0;
  gDevice->GetSamplerState(0, D3DSAMP_MAGFILTER, &magFilter);
  gDevice->GetSamplerState(0, D3DSAMP_MINFILTER, &minFilter);
  gDevice->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
  gDevice->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
  gDevice->GetSamplerState(0, D3DSAMP_ADDRESSU, &addressU);
  gDevice->GetSamplerState(0, D3DSAMP_ADDRESSV, &addressV);
  gDevice->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
  gDevice->SetSamplerState(0, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);

  gDevice->Clear(0, nullptr, D3DCLEAR_TARGET, 0x00000000, 0.0f, 0);  // b: transparent black
  gRenderStateStack->set(D3DRS_TEXTUREFACTOR, 0xFFFFFFFFu);

  bool lastToScratch = true;  // b is the target
  const int quads = d->quadCount < PostProcessData::kQuads ? d->quadCount : PostProcessData::kQuads;
  for (int i = 0; i < quads; ++i) {
    const int mode = d->targetModes[size_t(i)];
    if (mode == kToResult || mode == kToScratch) {
      lastToScratch = mode == kToScratch;
      gDevice->EndScene();
      gDevice->SetRenderTarget(0, lastToScratch ? sB : sA);
      gDevice->BeginScene();
      gDevice->SetTexture(0, lastToScratch ? textureA : textureB);
    }
    // Straight to the device: the stack's mark undoes the factor as a whole.
    gDevice->SetRenderState(D3DRS_TEXTUREFACTOR, quadAlpha(alpha, d->weights[size_t(i)]) << 24);
    gDevice->DrawPrimitive(d->primitiveType, UINT(i * kVerticesPerQuad), d->primitiveCount);
  }

  gDevice->SetSamplerState(0, D3DSAMP_MAGFILTER, magFilter);
  gDevice->SetSamplerState(0, D3DSAMP_MINFILTER, minFilter);
  gDevice->SetSamplerState(0, D3DSAMP_ADDRESSU, addressU);
  gDevice->SetSamplerState(0, D3DSAMP_ADDRESSV, addressV);
  gDevice->EndScene();
  if (lastToScratch) gDevice->StretchRect(sB, nullptr, sA, nullptr, D3DTEXF_NONE);
  gDevice->SetRenderTarget(0, old);
  gDevice->BeginScene();
  gDevice->SetTexture(0, nullptr);
  release(sB);
  release(sA);
  release(old);
  gRenderStateStack->pop();
  stage0->pop();
}

}  // namespace

int initPostProcess(asIScriptEngine* engine) {
  RegistrationSum r;
  r += registerHandleType<PostProcessHandle>(engine, "postProcess");
  r += engine->RegisterObjectMethod(
      "postProcess", "void executePostProcess(texture &inout,texture &inout,float)",
      asFUNCTION(postProcess_executePostProcess), asCALL_CDECL_OBJLAST);
  r += engine->RegisterGlobalFunction("postProcess createBlur(int,int,double)",
                                      asFUNCTION(createBlur), asCALL_CDECL);
  return finishRegistration(r, "TQScrip - initPostProcess failed");
}
