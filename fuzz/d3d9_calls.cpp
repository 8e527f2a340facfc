// Feeds the headless device a sequence of calls read from the input: any
// state id with any value, vertex formats, draws from memory and from
// buffers with arbitrary counts, offsets and indices, textures with odd
// formats and lock rectangles, viewports, clears, render targets and
// copies. The device must refuse what does not fit and never touch memory
// outside what it was given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/d3d9/D3D9.h"
#include "testsupport/HeadlessDevice.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data(data), size(size) {}
  bool more() const { return position < size; }
  uint8_t byte() { return position < size ? data[position++] : 0; }
  uint16_t word() { return uint16_t(byte() | byte() << 8); }
  uint32_t dword() { return uint32_t(word()) | uint32_t(word()) << 16; }
  float real() {
    uint32_t bits = dword();
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }

 private:
  const uint8_t* data;
  size_t size, position = 0;
};

struct Session : HeadlessDevice {
  Session() : HeadlessDevice(32, 32, D3DCREATE_MIXED_VERTEXPROCESSING) {}
};

const D3DFORMAT kFormats[] = {D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8, D3DFMT_R5G6B5, D3DFMT_A1R5G5B5,
                              D3DFMT_A4R4G4B4, D3DFMT_DXT1,     D3DFMT_DXT5,   D3DFMT_L8,
                              D3DFMT_D16,      D3DFMT_UNKNOWN};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session& session = *new Session;  // kept for the whole run
  IDirect3DDevice9* d = session.device;
  if (!d) return 0;
  Reader in(data, size);
  // The memory that draws from memory read: exactly as large as each call
  // says it needs, so that any read past it is a fault the sanitizer sees.
  std::vector<uint8_t> memory;
  IDirect3DVertexBuffer9* vb = nullptr;
  IDirect3DIndexBuffer9* ib = nullptr;
  IDirect3DTexture9* texture = nullptr;
  IDirect3DSurface9* back = nullptr;
  d->GetRenderTarget(0, &back);
  for (int steps = 0; in.more() && steps < 64; ++steps) {
    switch (in.byte() % 15) {
      case 0:
        d->SetRenderState(D3DRENDERSTATETYPE(in.byte()), in.dword());
        break;
      case 1:
        d->SetTextureStageState(in.byte() % 9, D3DTEXTURESTAGESTATETYPE(in.byte() % 34),
                                in.dword());
        break;
      case 2:
        d->SetSamplerState(in.byte() % 17, D3DSAMPLERSTATETYPE(in.byte() % 15), in.dword());
        break;
      case 3:
        d->SetFVF(in.dword());
        break;
      case 4: {  // a draw from memory
        D3DPRIMITIVETYPE type = D3DPRIMITIVETYPE(in.byte() % 8);
        UINT count = in.byte() % 32, stride = in.byte();
        UINT vertices = count * 3 + 2;
        memory.assign(size_t(vertices) * stride, in.byte());
        d->DrawPrimitiveUP(type, count, memory.data(), stride);
        break;
      }
      case 5: {  // an indexed draw from memory with whatever indices come
        UINT count = in.byte() % 16, vertices = in.byte() % 32, stride = in.byte();
        UINT indexCount = count * 3 + 2;
        std::vector<uint16_t> indices(indexCount);
        for (auto& index : indices) index = in.byte();
        memory.assign(size_t(vertices) * stride + 1, 0x3f);
        d->DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE(in.byte() % 8), 0, vertices, count,
                                  indices.data(), D3DFMT_INDEX16, memory.data(), stride);
        break;
      }
      case 6: {  // buffers with arbitrary offsets, strides and ranges
        if (!vb) d->CreateVertexBuffer(1 + in.word() % 4096, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
        if (!ib)
          d->CreateIndexBuffer(2 + in.word() % 512, 0,
                               in.byte() & 1 ? D3DFMT_INDEX32 : D3DFMT_INDEX16, D3DPOOL_MANAGED,
                               &ib, nullptr);
        void* bytes = nullptr;
        if (vb && SUCCEEDED(vb->Lock(in.word(), in.word(), &bytes, 0))) {
          D3DVERTEXBUFFER_DESC desc;
          vb->GetDesc(&desc);
          vb->Unlock();
        }
        if (ib && SUCCEEDED(ib->Lock(0, 0, &bytes, 0))) {
          D3DINDEXBUFFER_DESC desc;
          ib->GetDesc(&desc);
          for (UINT i = 0; i < desc.Size; ++i) static_cast<uint8_t*>(bytes)[i] = in.byte();
          ib->Unlock();
        }
        d->SetStreamSource(0, vb, in.word(), in.byte());
        d->SetIndices(ib);
        d->DrawPrimitive(D3DPRIMITIVETYPE(in.byte() % 8), in.word(), in.byte());
        d->DrawIndexedPrimitive(D3DPRIMITIVETYPE(in.byte() % 8), INT(int16_t(in.word())), 0, 0,
                                in.word(), in.byte());
        break;
      }
      case 7: {  // textures of any format, locked anywhere
        if (texture) {
          d->SetTexture(0, nullptr);
          texture->Release();
          texture = nullptr;
        }
        UINT w = 1 + in.byte() % 64, h = 1 + in.byte() % 64;
        DWORD usage =
            in.byte() & 1 ? D3DUSAGE_RENDERTARGET : (in.byte() & 1 ? D3DUSAGE_AUTOGENMIPMAP : 0);
        d->CreateTexture(w, h, in.byte() % 9, usage, kFormats[in.byte() % 10],
                         usage & D3DUSAGE_RENDERTARGET ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED,
                         &texture, nullptr);
        if (!texture) break;
        RECT r = {LONG(int8_t(in.byte())), LONG(int8_t(in.byte())), LONG(in.byte()),
                  LONG(in.byte())};
        D3DLOCKED_RECT locked;
        UINT level = in.byte() % 8;
        if (SUCCEEDED(texture->LockRect(level, &locked, in.byte() & 1 ? &r : nullptr, 0))) {
          D3DSURFACE_DESC desc;
          texture->GetLevelDesc(level, &desc);
          // One byte in the locked area's first row.
          static_cast<uint8_t*>(locked.pBits)[0] = in.byte();
          texture->UnlockRect(level);
        }
        d->SetTexture(in.byte() % 8, texture);
        break;
      }
      case 8: {
        D3DVIEWPORT9 vp = {in.byte(), in.byte(), in.byte(), in.byte(), in.real(), in.real()};
        d->SetViewport(&vp);
        RECT scissor = {LONG(int8_t(in.byte())), LONG(int8_t(in.byte())), LONG(in.byte()),
                        LONG(in.byte())};
        d->SetScissorRect(&scissor);
        break;
      }
      case 9: {
        D3DMATRIX m;
        for (auto& row : m.m)
          for (float& v : row) v = in.real();
        d->SetTransform(D3DTRANSFORMSTATETYPE(in.word() % 600), &m);
        break;
      }
      case 10: {
        D3DRECT rects[2] = {{int8_t(in.byte()), int8_t(in.byte()), in.byte(), in.byte()},
                            {int8_t(in.byte()), int8_t(in.byte()), in.byte(), in.byte()}};
        d->Clear(in.byte() % 3, rects, in.byte() & 7, in.dword(), in.real(), in.byte());
        break;
      }
      case 11: {  // render into the texture, copy between it and the back buffer
        if (!texture) break;
        IDirect3DSurface9* level = nullptr;
        if (FAILED(texture->GetSurfaceLevel(0, &level))) break;
        RECT a = {LONG(int8_t(in.byte())), LONG(int8_t(in.byte())), LONG(in.byte()),
                  LONG(in.byte())};
        RECT b = {LONG(int8_t(in.byte())), LONG(int8_t(in.byte())), LONG(in.byte()),
                  LONG(in.byte())};
        d->StretchRect(back, in.byte() & 1 ? &a : nullptr, level, in.byte() & 1 ? &b : nullptr,
                       D3DTEXTUREFILTERTYPE(in.byte() % 4));
        POINT p = {LONG(int8_t(in.byte())), LONG(int8_t(in.byte()))};
        d->UpdateSurface(back, in.byte() & 1 ? &a : nullptr, level, in.byte() & 1 ? &p : nullptr);
        if (SUCCEEDED(d->SetRenderTarget(0, level))) {
          d->Clear(0, nullptr, D3DCLEAR_TARGET, in.dword(), 1.0f, 0);
          d->SetRenderTarget(0, back);
        }
        level->Release();
        break;
      }
      case 12: {
        D3DLIGHT9 light;
        std::vector<uint8_t> raw(sizeof light);
        for (auto& b : raw) b = in.byte();
        std::memcpy(&light, raw.data(), sizeof light);
        DWORD index = in.byte() % 12;
        d->SetLight(index, &light);
        d->LightEnable(index, in.byte() & 1);
        D3DMATERIAL9 material;
        raw.resize(sizeof material);
        for (auto& b : raw) b = in.byte();
        std::memcpy(&material, raw.data(), sizeof material);
        d->SetMaterial(&material);
        break;
      }
      case 13: {  // a declaration of whatever elements come, drawn from memory
        std::vector<D3DVERTEXELEMENT9> elements(in.byte() % 8);
        for (D3DVERTEXELEMENT9& e : elements)
          e = {WORD(in.byte() % 2), WORD(in.byte()),      BYTE(in.byte() % 19),
               BYTE(in.byte() % 2), BYTE(in.byte() % 15), BYTE(in.byte() % 4)};
        elements.push_back(D3DDECL_END());
        IDirect3DVertexDeclaration9* declaration = nullptr;
        if (SUCCEEDED(d->CreateVertexDeclaration(elements.data(), &declaration))) {
          d->SetVertexDeclaration(declaration);
          declaration->Release();
        }
        UINT count = in.byte() % 16, stride = in.byte();
        memory.assign(size_t(count * 3 + 2) * stride, in.byte());
        d->DrawPrimitiveUP(D3DPRIMITIVETYPE(in.byte() % 8), count, memory.data(), stride);
        break;
      }
      default:
        d->Present(nullptr, nullptr, nullptr, nullptr);
        break;
    }
  }
  d->SetVertexDeclaration(nullptr);
  d->SetStreamSource(0, nullptr, 0, 0);
  d->SetIndices(nullptr);
  for (DWORD stage = 0; stage < 8; ++stage) d->SetTexture(stage, nullptr);
  if (vb) vb->Release();
  if (ib) ib->Release();
  if (texture) texture->Release();
  d->SetRenderTarget(0, back);
  back->Release();
  return 0;
}
