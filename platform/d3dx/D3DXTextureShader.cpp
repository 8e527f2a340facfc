// Texture shaders: a function compiled as a pixel shader, run over a quad
// that covers a framebuffer as large as the texture level, the pixels read
// back and written into the level through its lock.

#include <cstring>
#include <memory>

#include "platform/d3d9/Formats.h"
#include "platform/d3d9/GLInterop.h"
#include "platform/d3dx/D3DXEffect.h"
#include "platform/d3dx/EffectInternal.h"
#include "platform/d3dx/EffectPreprocessor.h"

#include <GL/glext.h>

namespace d3dx_fx {

namespace {

const char kMagic[4] = {'F', 'X', 'T', 'X'};

// The compiled code: magic, total size, then the pixel stage and the
// constants, as length-prefixed fields.
class Writer {
 public:
  Writer() { bytes.assign(kMagic, kMagic + 4), u32(0); }
  void u32(uint32_t v) { bytes.append(reinterpret_cast<const char*>(&v), 4); }
  void f32(float v) { bytes.append(reinterpret_cast<const char*>(&v), 4); }
  void str(const std::string& s) {
    u32(uint32_t(s.size()));
    bytes += s;
  }
  std::string finish() {
    uint32_t size = uint32_t(bytes.size());
    std::memcpy(&bytes[4], &size, 4);
    return bytes;
  }

 private:
  std::string bytes;
};

class Reader {
 public:
  Reader(const unsigned char* data, size_t size) : data(data), size(size), at(8) {}
  bool ok() const { return good; }
  uint32_t u32() {
    uint32_t v = 0;
    if (!take(4)) return 0;
    std::memcpy(&v, data + at - 4, 4);
    return v;
  }
  float f32() {
    float v = 0;
    if (!take(4)) return 0;
    std::memcpy(&v, data + at - 4, 4);
    return v;
  }
  std::string str() {
    uint32_t n = u32();
    if (!take(n)) return "";
    return std::string(reinterpret_cast<const char*>(data + at - n), n);
  }

 private:
  bool take(size_t n) {
    if (!good || n > size - at) return good = false;
    at += n;
    return true;
  }
  const unsigned char* data;
  size_t size, at;
  bool good = true;
};

std::string serialise(const d3dx_hlsl::CompiledStage& stage, const std::vector<Param>& params) {
  Writer w;
  w.str(stage.glsl);
  w.str(stage.block);
  w.u32(uint32_t(stage.members.size()));
  for (const std::string& m : stage.members) w.str(m);
  w.u32(uint32_t(stage.memberUniforms.size()));
  for (const std::string& m : stage.memberUniforms) w.str(m);
  w.u32(uint32_t(stage.inputs.size()));
  for (const d3dx_hlsl::Varying& v : stage.inputs) {
    w.str(v.name);
    w.str(v.type);
  }
  w.u32(uint32_t(params.size()));
  for (const Param& p : params) {
    w.str(p.name);
    w.u32(uint32_t(p.kind));
    w.u32(uint32_t(p.type));
    w.u32(uint32_t(p.rows));
    w.u32(uint32_t(p.cols));
    w.u32(uint32_t(p.elements));
    w.u32(uint32_t(p.defaults.size()));
    for (float f : p.defaults) w.f32(f);
  }
  return w.finish();
}

class ConstantTable final : public Counted<ID3DXConstantTable> {
 public:
  explicit ConstantTable(std::string bytes) : bytes(std::move(bytes)) {}
  void* GetBufferPointer() override { return bytes.data(); }
  DWORD GetBufferSize() override { return DWORD(bytes.size()); }

 private:
  std::string bytes;
};

class TextureShader final : public Counted<ID3DXTextureShader> {
 public:
  bool read(const unsigned char* data);

  HRESULT SetDefaults() override {
    for (ParamValue& p : params) {
      p.values = p.decl.defaults;
      ++p.version;
    }
    return D3D_OK;
  }
  D3DXHANDLE GetConstantByName(D3DXHANDLE parent, LPCSTR name) override {
    if (parent || !name) return nullptr;
    for (ParamValue& p : params)
      if (p.decl.name == name) return reinterpret_cast<D3DXHANDLE>(&p);
    return nullptr;
  }
  HRESULT SetFloat(D3DXHANDLE h, float f) override {
    ParamValue* p = paramOf(h);
    return p ? setValues(*p, &f, 1) : D3DERR_INVALIDCALL;
  }
  HRESULT SetVector(D3DXHANDLE h, const D3DXVECTOR4* v) override {
    ParamValue* p = paramOf(h);
    return p && v ? setValues(*p, &v->x, 4) : D3DERR_INVALIDCALL;
  }

  HRESULT fill(IDirect3DTexture9* texture);

 private:
  ParamValue* paramOf(D3DXHANDLE h) {
    for (ParamValue& p : params)
      if (reinterpret_cast<D3DXHANDLE>(&p) == h || (h && p.decl.name == h)) return &p;
    return nullptr;
  }
  d3dx_hlsl::CompiledStage stage;
  std::vector<ParamValue> params;
};

bool TextureShader::read(const unsigned char* data) {
  uint32_t size = 0;
  std::memcpy(&size, data + 4, 4);
  if (size < 8) return false;
  Reader r(data, size);
  stage.stage = d3dx_hlsl::Stage::Pixel;
  stage.glsl = r.str();
  stage.block = r.str();
  for (uint32_t n = r.u32(); r.ok() && n > 0; --n) stage.members.push_back(r.str());
  for (uint32_t n = r.u32(); r.ok() && n > 0; --n) stage.memberUniforms.push_back(r.str());
  for (uint32_t n = r.u32(); r.ok() && n > 0; --n) {
    d3dx_hlsl::Varying v;
    v.name = r.str();
    v.type = r.str();
    stage.inputs.push_back(v);
  }
  for (uint32_t n = r.u32(); r.ok() && n > 0; --n) {
    ParamValue p;
    p.decl.name = r.str();
    p.decl.kind = ParamKind(r.u32());
    p.decl.type = ValueType(r.u32());
    p.decl.rows = int(r.u32());
    p.decl.cols = int(r.u32());
    p.decl.elements = int(r.u32());
    uint32_t count = r.u32();
    if (!r.ok() || count != p.decl.size()) return false;
    for (uint32_t i = 0; i < count; ++i) p.decl.defaults.push_back(r.f32());
    p.values.assign(p.decl.defaults.size(), 0.0f);
    params.push_back(p);
  }
  return r.ok();
}

// The quad's vertex stage: a triangle over the whole target, handing the
// texel centre and the texel size to the function's inputs.
std::string vertexStage(const d3dx_hlsl::CompiledStage& pixel) {
  std::string s =
      "#version 330\nuniform vec4 fx_texel;  // 1/width, 1/height, v of row 0 flipped\n";
  for (const d3dx_hlsl::Varying& v : pixel.inputs) s += "out " + v.type + " " + v.name + ";\n";
  s += "void main() {\n"
       "  vec2 corner = vec2(gl_VertexID == 1 ? 3.0 : -1.0, gl_VertexID == 2 ? 3.0 : -1.0);\n"
       "  gl_Position = vec4(corner, 0.0, 1.0);\n"
       "  vec2 uv = corner * 0.5 + 0.5;\n"
       "  if (fx_texel.z > 0.0) uv.y = 1.0 - uv.y;\n";
  for (const d3dx_hlsl::Varying& v : pixel.inputs) {
    std::string value = v.name == "v_PSIZE0" ? "fx_texel.xyxy" : "vec4(uv, 0.0, 0.0)";
    if (v.type == "float")
      value += ".x";
    else if (v.type == "vec2")
      value += ".xy";
    else if (v.type == "vec3")
      value += ".xyz";
    else if (v.type != "vec4")
      value = v.type + "(0)";
    s += "  " + v.name + " = " + value + ";\n";
  }
  s += "}\n";
  return s;
}

HRESULT TextureShader::fill(IDirect3DTexture9* texture) {
  IDirect3DDevice9* device = nullptr;
  if (texture->GetDevice(&device) != D3D_OK || !device) return D3DERR_INVALIDCALL;
  std::unique_ptr<IDirect3DDevice9, void (*)(IDirect3DDevice9*)> hold(
      device, [](IDirect3DDevice9* d) { d->Release(); });
  if (!d3d9_gl::makeCurrent(device)) return D3DERR_INVALIDCALL;
  std::string errors;
  GLuint program = d3dx_hlsl::linkProgram(vertexStage(stage), stage.glsl, errors);
  if (!program) return D3DERR_INVALIDCALL;
  ProgramParams where;
  locateParams(program, stage, params, where);
  uploadParams(program, where, params);
  GLint texel = glGetUniformLocation(program, "fx_texel");

  HRESULT result = D3D_OK;
  {
    d3d9_gl::OffscreenPass pass(device, program);
    std::vector<uint32_t> pixels;
    for (UINT level = 0; level < texture->GetLevelCount() && result == D3D_OK; ++level) {
      D3DSURFACE_DESC desc{};
      texture->GetLevelDesc(level, &desc);
      const d3d9::FormatInfo* info = d3d9::formatInfo(desc.Format);
      if (!info || info->bytesPerPixel == 0 || info->depth) {
        result = D3DERR_INVALIDCALL;
        break;
      }
      int w = int(desc.Width), h = int(desc.Height);
      // Memory row 0 is the texture's top row; which end of the quad lands
      // there depends on the clip origin the device set.
      glProgramUniform4f(program, texel, 1.0f / float(w), 1.0f / float(h),
                         pass.upperLeftOrigin() ? 1.0f : 0.0f, 0.0f);
      pass.draw(w, h, pixels);

      D3DLOCKED_RECT locked{};
      if (texture->LockRect(level, &locked, nullptr, 0) != D3D_OK) {
        result = D3DERR_INVALIDCALL;
        break;
      }
      for (int y = 0; y < h; ++y) {
        uint8_t* row = static_cast<uint8_t*>(locked.pBits) + ptrdiff_t(y) * locked.Pitch;
        for (int x = 0; x < w; ++x)
          d3d9::pixelFromARGB(desc.Format, pixels[size_t(y) * size_t(w) + size_t(x)],
                              row + x * info->bytesPerPixel);
      }
      texture->UnlockRect(level);
    }
  }
  glDeleteProgram(program);
  return result;
}

}  // namespace

}  // namespace d3dx_fx

HRESULT D3DXCompileShader(LPCSTR source, UINT length, const D3DXMACRO* defines, ID3DXInclude*,
                          LPCSTR function, LPCSTR profile, DWORD, ID3DXBuffer** shader,
                          ID3DXBuffer** errors, ID3DXConstantTable** constants) {
  if (shader) *shader = nullptr;
  if (errors) *errors = nullptr;
  if (constants) *constants = nullptr;
  if (!source || !function || !profile) return D3DERR_INVALIDCALL;
  auto failed = [&](const std::string& text) {
    if (errors) *errors = d3dx_fx::makeBuffer(text);
    return D3DXERR_INVALIDDATA;
  };
  if (std::strcmp(profile, "tx_1_0") != 0)
    return failed(std::string("error: profile ") + profile + " is not supported\n");
  // Preprocessed first, as effect files are: the parser then sees what
  // the macros make.
  d3dx_fx::PreprocessInput in;
  in.text.assign(source, strnlen(source, length));
  in.fileName = "memory";
  for (const D3DXMACRO* d = defines; d && d->Name; ++d)
    in.defines.emplace_back(d->Name, d->Definition ? d->Definition : "");
  std::string text;
  d3dx_fx::EffectSource parsed;
  std::string messages;
  if (!d3dx_fx::preprocessEffect(in, text, messages) ||
      !d3dx_fx::parseEffect(text, "memory", parsed, messages))
    return failed(messages);
  d3dx_hlsl::CompiledStage stage;
  if (!d3dx_hlsl::compile(parsed.hlsl, function, d3dx_hlsl::Stage::Pixel, "memory", stage,
                          messages))
    return failed(messages);
  std::string code = d3dx_fx::serialise(stage, parsed.params);
  if (shader) *shader = d3dx_fx::makeBuffer(code.data(), code.size());
  if (constants) *constants = new d3dx_fx::ConstantTable(code);
  return D3D_OK;
}

HRESULT D3DXCreateTextureShader(const DWORD* function, ID3DXTextureShader** shader) {
  if (!function || !shader) return D3DERR_INVALIDCALL;
  *shader = nullptr;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(function);
  if (std::memcmp(bytes, d3dx_fx::kMagic, 4) != 0) return D3DXERR_INVALIDDATA;
  auto* made = new d3dx_fx::TextureShader;
  if (!made->read(bytes)) {
    made->Release();
    return D3DXERR_INVALIDDATA;
  }
  *shader = made;
  return D3D_OK;
}

HRESULT D3DXFillTextureTX(IDirect3DTexture9* texture, ID3DXTextureShader* shader) {
  if (!texture || !shader) return D3DERR_INVALIDCALL;
  return static_cast<d3dx_fx::TextureShader*>(shader)->fill(texture);
}
