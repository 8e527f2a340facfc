#include "scriptapi/D3DTexture.h"

#include <angelscript.h>

#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/ScriptCallbacks.h"
#include "core/TQDatabase.h"
#include "platform/d3dx/D3DXTexture.h"
#include "scriptapi/Binding.h"
#include "scriptapi/DxtBlocks.h"
#include "scriptapi/VectorN.h"

using namespace AngelScript;

ScriptCallbacks* gTextureScriptHost = nullptr;

bool TQDataHandler_Texture::loadFromMemory(const char* data, std::int32_t size, void** object,
                                           std::string&) {
  IDirect3DTexture9* texture = nullptr;
  if (size > 0) D3DXCreateTextureFromFileInMemory(gDevice, data, UINT(size), &texture);
  *object = texture;
  return true;
}

bool TQDataHandler_Texture::saveToMemory(void* object, std::int32_t size, char** buffer,
                                         std::uint32_t* length, std::string& error) {
  return saveNothingToMemory(object, size, buffer, length, error);
}

namespace {

// The vertex of the overlays: screen position, rhw and one coordinate set.
struct OverlayVertex {
  float x, y, z, rhw, u, v;
};
constexpr DWORD kOverlayFVF = D3DFVF_XYZRHW | D3DFVF_TEX1;  // 0x104

// The grey that a render-to-texture target is cleared to.
constexpr D3DCOLOR kRenderToTextureClear = 0xFF646464;

// A texture larger than this many texels (4096 x 4096) is not filled: its
// records alone (16 bytes per texel) would take more than 256 megabytes.
constexpr size_t kMaxFillTexels = size_t(1) << 24;

// |f * 255| truncated toward zero; NaN gives 0, and values past 32 bits
// keep all 32 bits set.
uint32_t fillChannel(float f) {
  double v = std::fabs(double(f) * 255.0);
  if (!(v == v)) return 0;
  if (v >= 4294967295.0) return 0xFFFFFFFFu;
  return uint32_t(v);
}

// One fill record as a 32-bit texel. Nothing is clamped: a channel of 256
// or more runs into the channel above it.
uint32_t fillTexel(const float* record) {
  return fillChannel(record[0]) | fillChannel(record[1]) << 8 | fillChannel(record[2]) << 16 |
         fillChannel(record[3]) << 24;
}

void release(IUnknown* object) {
  if (object) object->Release();
}

// The size of render target 0, false when the device has none.
bool renderTargetSize(UINT& width, UINT& height) {
  IDirect3DSurface9* target = nullptr;
  if (!gDevice || FAILED(gDevice->GetRenderTarget(0, &target)) || !target) return false;
  D3DSURFACE_DESC desc{};
  HRESULT hr = target->GetDesc(&desc);
  target->Release();
  if (FAILED(hr)) return false;
  width = desc.Width;
  height = desc.Height;
  return true;
}

void drawOverlay(IDirect3DTexture9* texture, const OverlayVertex (&quad)[4]) {
  gDevice->SetTexture(0, texture);
  gDevice->SetFVF(kOverlayFVF);
  gDevice->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(OverlayVertex));
}

// --- behaviours and factories ------------------------------------------------

// texture createTextureFromFile(string): shared through the resource store;
// a file that the store cannot deliver ends the run.
TextureHandle createTextureFromFile(std::string name) {
  TextureHandle handle;
  TQDataHandler_Texture handler;
  loadOrAbort(name, handler, handle, 0, "texture");
  return handle;
}

TextureHandle newTexture(int width, int height, UINT levels, DWORD usage, D3DPOOL pool) {
  IDirect3DTexture9* texture = nullptr;
  D3DXCreateTexture(gDevice, UINT(width), UINT(height), levels, usage, D3DFMT_UNKNOWN, pool,
                    &texture);
  return makeFactoryHandle<TextureHandle>(texture);
}

// texture createTexture(int,int): the whole mip chain, managed.
TextureHandle createTexture(int width, int height) {
  return newTexture(width, height, 0, 0, D3DPOOL_MANAGED);
}

}  // namespace

// texture createRenderTarget(int,int)
TextureHandle createRenderTarget(int width, int height) {
  return newTexture(width, height, 1, D3DUSAGE_RENDERTARGET, D3DPOOL_DEFAULT);
}

namespace {

// texture createMipmappedRenderTarget(int,int): the chain follows level 0.
TextureHandle createMipmappedRenderTarget(int width, int height) {
  return newTexture(width, height, 1, D3DUSAGE_RENDERTARGET | D3DUSAGE_AUTOGENMIPMAP,
                    D3DPOOL_DEFAULT);
}

CubeTextureHandle newCubeTexture(int edge, UINT levels, DWORD usage, D3DPOOL pool) {
  IDirect3DCubeTexture9* cube = nullptr;
  D3DXCreateCubeTexture(gDevice, UINT(edge), levels, usage, D3DFMT_UNKNOWN, pool, &cube);
  return makeFactoryHandle<CubeTextureHandle>(cube);
}

// cubeTexture createCubeTexture(int)
CubeTextureHandle createCubeTexture(int edge) {
  return newCubeTexture(edge, 0, 0, D3DPOOL_MANAGED);
}

// cubeTexture createCubeRenderTarget(int)
CubeTextureHandle createCubeRenderTarget(int edge) {
  return newCubeTexture(edge, 1, D3DUSAGE_RENDERTARGET, D3DPOOL_DEFAULT);
}

// cubeTexture createCubeTextureFromFile(string): read directly from the
// working directory, not through the resource store.
CubeTextureHandle createCubeTextureFromFile(std::string name) {
  IDirect3DCubeTexture9* cube = nullptr;
  D3DXCreateCubeTextureFromFileA(gDevice, name.c_str(), &cube);
  return makeFactoryHandle<CubeTextureHandle>(cube);
}

// --- methods -------------------------------------------------------------------

// void setCurrent(int): an empty handle leaves the stage as it is.
void texture_setCurrent(int stage, TextureHandle* self) {
  if (self->object && gDevice) gDevice->SetTexture(DWORD(stage), self->object);
}

// void removeCurrent(int): whatever the handle holds.
void texture_removeCurrent(int stage, TextureHandle* self) {
  if (gDevice) gDevice->SetTexture(DWORD(stage), nullptr);
}

// Writes the fill's texels into level 0, which `locked` holds locked: as
// 32-bit values where a texel has 32 bits, encoded into the level's blocks
// for the DXT formats, converted from A8R8G8B8 otherwise. Answers whether
// level 0 is still locked.
bool writeFill(IDirect3DTexture9* texture, const D3DSURFACE_DESC& desc,
               const D3DLOCKED_RECT& locked, const std::vector<uint32_t>& texels) {
  const UINT width = desc.Width, height = desc.Height;
  switch (desc.Format) {
    case D3DFMT_A8R8G8B8:
    case D3DFMT_X8R8G8B8:
    case D3DFMT_A8B8G8R8:
    case D3DFMT_X8B8G8R8: {
      size_t pitch = size_t(locked.Pitch) & ~size_t(3);
      for (UINT r = 0; r < height; ++r)
        for (UINT c = 0; c < width; ++c)
          *reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(locked.pBits) + r * pitch + 4 * c) =
              texels[size_t(r) * width + c];
      return true;
    }
    case D3DFMT_DXT1:
    case D3DFMT_DXT2:
    case D3DFMT_DXT3:
    case D3DFMT_DXT4:
    case D3DFMT_DXT5:
      return encodeDxtLevel(desc.Format, width, height, texels, locked.pBits, locked.Pitch);
    default:
      break;
  }
  // Fewer bits per texel: the conversion locks the level itself.
  texture->UnlockRect(0);
  IDirect3DSurface9* level = nullptr;
  HRESULT hr = texture->GetSurfaceLevel(0, &level);
  if (SUCCEEDED(hr)) {
    RECT whole = {0, 0, LONG(width), LONG(height)};
    hr = D3DXLoadSurfaceFromMemory(level, nullptr, nullptr, texels.data(), D3DFMT_A8R8G8B8,
                                   width * 4, nullptr, &whole, D3DX_FILTER_NONE, 0);
    level->Release();
  }
  if (FAILED(hr)) {
    char text[160];
    snprintf(text, sizeof text,
             "texture.fill: texels of format 0x%x cannot be written, the texture stays as it was",
             unsigned(desc.Format));
    logMessage(text);
  }
  return false;
}

// void fill(string &in, string &in): the script function receives the width,
// the height and a vectorN over four floats per texel of level 0, row by
// row; the records it leaves become the texels.
void texture_fill(const std::string* scriplet, const std::string* function, TextureHandle* self) {
  IDirect3DTexture9* texture = self->object;
  if (!texture) return;
  D3DSURFACE_DESC desc{};
  if (FAILED(texture->GetLevelDesc(0, &desc))) return;
  const UINT width = desc.Width, height = desc.Height;
  const size_t texels = size_t(width) * height;
  if (texels > kMaxFillTexels) {
    logMessage("texture.fill: the texture is too large to fill");
    return;
  }
  // The script function may drop the script's last handle of the texture.
  texture->AddRef();
  D3DLOCKED_RECT locked{};
  bool isLocked = SUCCEEDED(texture->LockRect(0, &locked, nullptr, 0)) && locked.pBits;

  std::vector<float> records;
  try {
    records.assign(texels * 4, 0.0f);
  } catch (const std::bad_alloc&) {
    logMessage("texture.fill: out of memory, the texture stays as it was");
    if (isLocked) texture->UnlockRect(0);
    texture->Release();
    return;
  }
  {
    // Destroyed before the records go: copies that the script kept no
    // longer reach them.
    VectorN view(records.data(), records.size());
    if (gTextureScriptHost)
      gTextureScriptHost->callFunctionWithArgs(*scriplet, *function, int32_t(width),
                                               int32_t(height), &view);
  }
  if (!isLocked) {
    // Locked already (a fill of the same texture from inside its own fill
    // function, say) or not lockable: nothing is written.
    logMessage("texture.fill: level 0 cannot be locked, the texture stays as it was");
    texture->Release();
    return;
  }
  std::vector<uint32_t> values(texels);
  for (size_t k = 0; k < texels; ++k) values[k] = fillTexel(&records[4 * k]);
  records.clear();
  records.shrink_to_fit();
  if (writeFill(texture, desc, locked, values)) texture->UnlockRect(0);
  texture->Release();
}

// void renderToTexture(string &in, string &in): the script function draws
// into level 0, cleared to grey, inside a scene of its own.
void texture_renderToTexture(const std::string* scriplet, const std::string* function,
                             TextureHandle* self) {
  IDirect3DTexture9* texture = self->object;
  if (!texture || !gDevice) return;
  IDirect3DSurface9* level = nullptr;
  IDirect3DSurface9* previous = nullptr;
  texture->AddRef();  // for as long as the script function may drop its handles
  texture->GetSurfaceLevel(0, &level);
  gDevice->GetRenderTarget(0, &previous);
  // A texture that cannot be a target gets nothing: the clear and the
  // drawing would otherwise land on the target still in place.
  if (!level || FAILED(gDevice->SetRenderTarget(0, level))) {
    logMessage("texture.renderToTexture: the texture is no render target, nothing is drawn");
  } else {
    gDevice->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, kRenderToTextureClear, 1.0f, 0);
    gDevice->BeginScene();
    if (gTextureScriptHost) gTextureScriptHost->callFunction(*scriplet, *function);
    gDevice->EndScene();
    if (previous) gDevice->SetRenderTarget(0, previous);
  }
  release(level);
  release(previous);
  texture->Release();
}

// void renderOverlay(int, int): the texture over a quad of the render
// target's size with its top left corner at (x, y).
void texture_renderOverlay(int x, int y, TextureHandle* self) {
  UINT width, height;
  if (!self->object || !renderTargetSize(width, height)) return;
  float left = float(x), top = float(y);
  // The sums wrap as 32-bit integers rather than overflow.
  float right = float(int32_t(uint32_t(x) + width)), bottom = float(int32_t(uint32_t(y) + height));
  const OverlayVertex quad[4] = {
      {left, top, 0, 1, 0, 0},
      {right, top, 0, 1, 1, 0},
      {left, bottom, 0, 1, 0, 1},
      {right, bottom, 0, 1, 1, 1},
  };
  drawOverlay(self->object, quad);
}

// void renderScaledOverlay(float, float, float, float): a quad centred at
// (cx, cy) in render-target sizes from the target's centre, (sx, sy) times
// the target's size.
void texture_renderScaledOverlay(float cx, float cy, float sx, float sy, TextureHandle* self) {
  UINT width, height;
  if (!self->object || !renderTargetSize(width, height)) return;
  float centreX = float(width) * cx + float(width / 2);
  float centreY = float(height) * cy + float(height / 2);
  float halfWidth = float(width) * sx * 0.5f, halfHeight = float(height) * sy * 0.5f;
  const OverlayVertex quad[4] = {
      {centreX - halfWidth, centreY - halfHeight, 0, 1, 0, 0},
      {centreX + halfWidth, centreY - halfHeight, 0, 1, 1, 0},
      {centreX - halfWidth, centreY + halfHeight, 0, 1, 0, 1},
      {centreX + halfWidth, centreY + halfHeight, 0, 1, 1, 1},
  };
  drawOverlay(self->object, quad);
}

// void copyFromBackBuffer(): render target 0 into level 0, from the origin.
void texture_copyFromBackBuffer(TextureHandle* self) {
  if (!self->object || !gDevice) return;
  IDirect3DSurface9* target = nullptr;
  IDirect3DSurface9* level = nullptr;
  gDevice->GetRenderTarget(0, &target);
  self->object->GetSurfaceLevel(0, &level);
  if (target && level) gDevice->UpdateSurface(target, nullptr, level, nullptr);
  release(target);
  release(level);
}

// void setSamplerState(int, int): mode 1 linear, anything else point, for
// magnification and minification; straight to the device.
void setSamplerState(int sampler, int mode) {
  if (!gDevice) return;
  D3DTEXTUREFILTERTYPE filter = mode == 1 ? D3DTEXF_LINEAR : D3DTEXF_POINT;
  gDevice->SetSamplerState(DWORD(sampler), D3DSAMP_MAGFILTER, filter);
  gDevice->SetSamplerState(DWORD(sampler), D3DSAMP_MINFILTER, filter);
}

}  // namespace

int initD3DTexture(asIScriptEngine* engine, ScriptCallbacks* host) {
  if (!gTextureScriptHost) gTextureScriptHost = host;
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  RegistrationSum r;
  r += registerHandleType<TextureHandle>(engine, "texture");
  r += engine->RegisterGlobalFunction("texture createTextureFromFile(string)",
                                      asFUNCTION(createTextureFromFile), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("texture createTexture(int,int)", asFUNCTION(createTexture),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("texture createRenderTarget(int,int)",
                                      asFUNCTION(createRenderTarget), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("texture createMipmappedRenderTarget(int,int)",
                                      asFUNCTION(createMipmappedRenderTarget), asCALL_CDECL);
  r += engine->RegisterObjectMethod("texture", "void setCurrent(int)",
                                    asFUNCTION(texture_setCurrent), objLast);
  r += engine->RegisterObjectMethod("texture", "void removeCurrent(int)",
                                    asFUNCTION(texture_removeCurrent), objLast);
  r += engine->RegisterObjectMethod("texture", "void fill(string &in,string &in)",
                                    asFUNCTION(texture_fill), objLast);
  r += engine->RegisterObjectMethod("texture", "void renderToTexture(string &in,string &in)",
                                    asFUNCTION(texture_renderToTexture), objLast);
  r += engine->RegisterObjectMethod("texture", "void renderOverlay(int,int)",
                                    asFUNCTION(texture_renderOverlay), objLast);
  r += engine->RegisterObjectMethod("texture", "void renderScaledOverlay(float,float,float,float)",
                                    asFUNCTION(texture_renderScaledOverlay), objLast);
  r += engine->RegisterObjectMethod("texture", "void copyFromBackBuffer()",
                                    asFUNCTION(texture_copyFromBackBuffer), objLast);
  r += engine->RegisterGlobalFunction("void setSamplerState(int,int)", asFUNCTION(setSamplerState),
                                      asCALL_CDECL);
  r += registerHandleType<CubeTextureHandle>(engine, "cubeTexture");
  r += engine->RegisterGlobalFunction("cubeTexture createCubeTextureFromFile(string)",
                                      asFUNCTION(createCubeTextureFromFile), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("cubeTexture createCubeTexture(int)",
                                      asFUNCTION(createCubeTexture), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("cubeTexture createCubeRenderTarget(int)",
                                      asFUNCTION(createCubeRenderTarget), asCALL_CDECL);
  return finishRegistration(r, "TQScript - initD3DTexture failed");
}
