// Reference-counted byte blocks.
#include "platform/d3dx/D3DXBuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/d3dx/Counted.h"

namespace {

class Buffer final : public d3dx_com::Counted<ID3DXBuffer> {
 public:
  explicit Buffer(size_t size) : size_(DWORD(size)) {
    // Rounded up and never empty, so that the pointer is valid and aligned
    // whatever the size.
    data_ = static_cast<unsigned char*>(std::aligned_alloc(16, (size + 15) / 16 * 16 + 16));
    if (data_) std::memset(data_, 0, size);
  }
  bool valid() const { return data_ != nullptr; }
  void* GetBufferPointer() override { return data_; }
  DWORD GetBufferSize() override { return size_; }

 private:
  ~Buffer() override { std::free(data_); }
  unsigned char* data_;
  DWORD size_;
};

}  // namespace

namespace d3dx_buffer {

ID3DXBuffer* make(const void* data, size_t size) {
  if (size > 0xffffffffu - 32) return nullptr;
  auto* made = new (std::nothrow) Buffer(size);
  if (!made) return nullptr;
  if (!made->valid()) {
    made->Release();
    return nullptr;
  }
  if (data && size) std::memcpy(made->GetBufferPointer(), data, size);
  return made;
}

}  // namespace d3dx_buffer

HRESULT D3DXCreateBuffer(DWORD size, ID3DXBuffer** buffer) {
  if (!buffer) return D3DERR_INVALIDCALL;
  *buffer = d3dx_buffer::make(nullptr, size);
  return *buffer ? D3D_OK : E_OUTOFMEMORY;
}
