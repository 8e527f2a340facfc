#include "platform/d3dx/D3DXEffect.h"


#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "platform/d3d9/GLInterop.h"
#include "platform/d3dx/EffectInternal.h"
#include "platform/d3dx/EffectPreprocessor.h"

#include <GL/glext.h>
#include "platform/file/FileSystem.h"

namespace d3dx_fx {

namespace {

bool sameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// ---------------------------------------------------------------------------
// State names and values of passes and sampler_state blocks

enum class Values { Number, Float, Bool, Blend, BlendOp, Cmp, Cull, Fill, Shade, StencilOp, Filter, Address };

struct StateName {
  const char* name;
  DWORD id;
  Values values;
};

const StateName kRenderStates[] = {
    {"ZEnable", D3DRS_ZENABLE, Values::Bool},
    {"FillMode", D3DRS_FILLMODE, Values::Fill},
    {"ShadeMode", D3DRS_SHADEMODE, Values::Shade},
    {"ZWriteEnable", D3DRS_ZWRITEENABLE, Values::Bool},
    {"AlphaTestEnable", D3DRS_ALPHATESTENABLE, Values::Bool},
    {"SrcBlend", D3DRS_SRCBLEND, Values::Blend},
    {"DestBlend", D3DRS_DESTBLEND, Values::Blend},
    {"CullMode", D3DRS_CULLMODE, Values::Cull},
    {"ZFunc", D3DRS_ZFUNC, Values::Cmp},
    {"AlphaRef", D3DRS_ALPHAREF, Values::Number},
    {"AlphaFunc", D3DRS_ALPHAFUNC, Values::Cmp},
    {"DitherEnable", D3DRS_DITHERENABLE, Values::Bool},
    {"AlphaBlendEnable", D3DRS_ALPHABLENDENABLE, Values::Bool},
    {"FogEnable", D3DRS_FOGENABLE, Values::Bool},
    {"SpecularEnable", D3DRS_SPECULARENABLE, Values::Bool},
    {"FogColor", D3DRS_FOGCOLOR, Values::Number},
    {"FogStart", D3DRS_FOGSTART, Values::Float},
    {"FogEnd", D3DRS_FOGEND, Values::Float},
    {"FogDensity", D3DRS_FOGDENSITY, Values::Float},
    {"StencilEnable", D3DRS_STENCILENABLE, Values::Bool},
    {"StencilFail", D3DRS_STENCILFAIL, Values::StencilOp},
    {"StencilZFail", D3DRS_STENCILZFAIL, Values::StencilOp},
    {"StencilPass", D3DRS_STENCILPASS, Values::StencilOp},
    {"StencilFunc", D3DRS_STENCILFUNC, Values::Cmp},
    {"StencilRef", D3DRS_STENCILREF, Values::Number},
    {"StencilMask", D3DRS_STENCILMASK, Values::Number},
    {"StencilWriteMask", D3DRS_STENCILWRITEMASK, Values::Number},
    {"TextureFactor", D3DRS_TEXTUREFACTOR, Values::Number},
    {"Lighting", D3DRS_LIGHTING, Values::Bool},
    {"Ambient", D3DRS_AMBIENT, Values::Number},
    {"NormalizeNormals", D3DRS_NORMALIZENORMALS, Values::Bool},
    {"PointSize", D3DRS_POINTSIZE, Values::Float},
    {"PointSpriteEnable", D3DRS_POINTSPRITEENABLE, Values::Bool},
    {"ColorWriteEnable", D3DRS_COLORWRITEENABLE, Values::Number},
    {"BlendOp", D3DRS_BLENDOP, Values::BlendOp},
    {"ScissorTestEnable", D3DRS_SCISSORTESTENABLE, Values::Bool},
    {"SlopeScaleDepthBias", D3DRS_SLOPESCALEDEPTHBIAS, Values::Float},
    {"DepthBias", D3DRS_DEPTHBIAS, Values::Float},
    {"TwoSidedStencilMode", D3DRS_TWOSIDEDSTENCILMODE, Values::Bool},
    {"BlendFactor", D3DRS_BLENDFACTOR, Values::Number},
    {"SeparateAlphaBlendEnable", D3DRS_SEPARATEALPHABLENDENABLE, Values::Bool},
    {"SrcBlendAlpha", D3DRS_SRCBLENDALPHA, Values::Blend},
    {"DestBlendAlpha", D3DRS_DESTBLENDALPHA, Values::Blend},
    {"BlendOpAlpha", D3DRS_BLENDOPALPHA, Values::BlendOp},
};

const StateName kSamplerStates[] = {
    {"AddressU", D3DSAMP_ADDRESSU, Values::Address},
    {"AddressV", D3DSAMP_ADDRESSV, Values::Address},
    {"AddressW", D3DSAMP_ADDRESSW, Values::Address},
    {"BorderColor", D3DSAMP_BORDERCOLOR, Values::Number},
    {"MagFilter", D3DSAMP_MAGFILTER, Values::Filter},
    {"MinFilter", D3DSAMP_MINFILTER, Values::Filter},
    {"MipFilter", D3DSAMP_MIPFILTER, Values::Filter},
    {"MipMapLodBias", D3DSAMP_MIPMAPLODBIAS, Values::Float},
    {"MaxMipLevel", D3DSAMP_MAXMIPLEVEL, Values::Number},
    {"MaxAnisotropy", D3DSAMP_MAXANISOTROPY, Values::Number},
    {"SRGBTexture", D3DSAMP_SRGBTEXTURE, Values::Bool},
};

struct ValueName {
  Values values;
  const char* name;
  DWORD value;
};

const ValueName kValueNames[] = {
    {Values::Bool, "true", 1}, {Values::Bool, "false", 0},
    {Values::Blend, "Zero", D3DBLEND_ZERO}, {Values::Blend, "One", D3DBLEND_ONE},
    {Values::Blend, "SrcColor", D3DBLEND_SRCCOLOR}, {Values::Blend, "InvSrcColor", D3DBLEND_INVSRCCOLOR},
    {Values::Blend, "SrcAlpha", D3DBLEND_SRCALPHA}, {Values::Blend, "InvSrcAlpha", D3DBLEND_INVSRCALPHA},
    {Values::Blend, "DestAlpha", D3DBLEND_DESTALPHA}, {Values::Blend, "InvDestAlpha", D3DBLEND_INVDESTALPHA},
    {Values::Blend, "DestColor", D3DBLEND_DESTCOLOR}, {Values::Blend, "InvDestColor", D3DBLEND_INVDESTCOLOR},
    {Values::Blend, "SrcAlphaSat", D3DBLEND_SRCALPHASAT}, {Values::Blend, "BlendFactor", D3DBLEND_BLENDFACTOR},
    {Values::Blend, "InvBlendFactor", D3DBLEND_INVBLENDFACTOR},
    {Values::BlendOp, "Add", D3DBLENDOP_ADD}, {Values::BlendOp, "Subtract", D3DBLENDOP_SUBTRACT},
    {Values::BlendOp, "RevSubtract", D3DBLENDOP_REVSUBTRACT}, {Values::BlendOp, "Min", D3DBLENDOP_MIN},
    {Values::BlendOp, "Max", D3DBLENDOP_MAX},
    {Values::Cmp, "Never", D3DCMP_NEVER}, {Values::Cmp, "Less", D3DCMP_LESS}, {Values::Cmp, "Equal", D3DCMP_EQUAL},
    {Values::Cmp, "LessEqual", D3DCMP_LESSEQUAL}, {Values::Cmp, "Greater", D3DCMP_GREATER},
    {Values::Cmp, "NotEqual", D3DCMP_NOTEQUAL}, {Values::Cmp, "GreaterEqual", D3DCMP_GREATEREQUAL},
    {Values::Cmp, "Always", D3DCMP_ALWAYS},
    {Values::Cull, "None", D3DCULL_NONE}, {Values::Cull, "CW", D3DCULL_CW}, {Values::Cull, "CCW", D3DCULL_CCW},
    {Values::Fill, "Point", D3DFILL_POINT}, {Values::Fill, "Wireframe", D3DFILL_WIREFRAME},
    {Values::Fill, "Solid", D3DFILL_SOLID},
    {Values::Shade, "Flat", D3DSHADE_FLAT}, {Values::Shade, "Gouraud", D3DSHADE_GOURAUD},
    {Values::StencilOp, "Keep", D3DSTENCILOP_KEEP}, {Values::StencilOp, "Zero", D3DSTENCILOP_ZERO},
    {Values::StencilOp, "Replace", D3DSTENCILOP_REPLACE}, {Values::StencilOp, "IncrSat", D3DSTENCILOP_INCRSAT},
    {Values::StencilOp, "DecrSat", D3DSTENCILOP_DECRSAT}, {Values::StencilOp, "Invert", D3DSTENCILOP_INVERT},
    {Values::StencilOp, "Incr", D3DSTENCILOP_INCR}, {Values::StencilOp, "Decr", D3DSTENCILOP_DECR},
    {Values::Filter, "None", D3DTEXF_NONE}, {Values::Filter, "Point", D3DTEXF_POINT},
    {Values::Filter, "Linear", D3DTEXF_LINEAR}, {Values::Filter, "Anisotropic", D3DTEXF_ANISOTROPIC},
    {Values::Address, "Wrap", D3DTADDRESS_WRAP}, {Values::Address, "Mirror", D3DTADDRESS_MIRROR},
    {Values::Address, "Clamp", D3DTADDRESS_CLAMP}, {Values::Address, "Border", D3DTADDRESS_BORDER},
    {Values::Address, "MirrorOnce", D3DTADDRESS_MIRRORONCE},
};

const StateName* findState(const StateName* table, size_t count, const std::string& name) {
  for (size_t i = 0; i < count; ++i)
    if (sameNoCase(name, table[i].name)) return &table[i];
  return nullptr;
}

// The value of a state assignment; false when it is not one of its kind.
bool stateValue(const std::vector<std::string>& tokens, Values kind, DWORD& value) {
  std::string text;
  for (const std::string& t : tokens) text += t;
  if (text.empty()) return false;
  if (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '.') {
    char* end = nullptr;
    if (kind == Values::Float) {
      float f = std::strtof(text.c_str(), &end);
      std::memcpy(&value, &f, sizeof value);
    } else {
      value = DWORD(std::strtoll(text.c_str(), &end, 0));
    }
    return end && (*end == 0 || *end == 'f' || *end == 'F');
  }
  for (const ValueName& v : kValueNames)
    if ((v.values == kind || (v.values == Values::Bool && kind != Values::Float)) &&
        sameNoCase(text, v.name)) {
      value = v.value;
      return true;
    }
  return false;
}

// "<tex>", "(tex)" or "tex": the name referred to.
std::string reference(const std::vector<std::string>& tokens) {
  for (const std::string& t : tokens)
    if (!t.empty() && (std::isalpha(static_cast<unsigned char>(t[0])) || t[0] == '_')) return t;
  return "";
}

}  // namespace

ID3DXBuffer* makeBuffer(const void* data, size_t size) { return d3dx_buffer::make(data, size); }

HRESULT setValues(ParamValue& p, const float* values, size_t count) {
  if (p.decl.kind != ParamKind::Value) return D3DERR_INVALIDCALL;
  std::copy(values, values + std::min(count, p.values.size()), p.values.begin());
  ++p.version;
  return D3D_OK;
}

HRESULT setMatrix(ParamValue& p, const D3DXMATRIX& m) {
  if (p.decl.kind != ParamKind::Value) return D3DERR_INVALIDCALL;
  for (int r = 0; r < p.decl.rows; ++r)
    for (int c = 0; c < p.decl.cols; ++c) p.values[size_t(r * p.decl.cols + c)] = m.m[r][c];
  ++p.version;
  return D3D_OK;
}

void locateParams(GLuint program, const d3dx_hlsl::CompiledStage& stage,
                  const std::vector<ParamValue>& params, ProgramParams& out) {
  out.slots.clear();
  for (const std::string& member : stage.members)
    for (size_t i = 0; i < params.size(); ++i)
      if (params[i].decl.name == member && params[i].decl.kind == ParamKind::Value) {
        GLint location = glGetUniformLocation(program, (stage.block + "." + member).c_str());
        if (location >= 0) out.slots.push_back({i, location});
      }
}

void uploadParams(GLuint program, ProgramParams& where, const std::vector<ParamValue>& params) {
  for (ProgramParams::Slot& slot : where.slots) {
    const ParamValue& p = params[slot.param];
    if (slot.uploaded == p.version) continue;
    slot.uploaded = p.version;
    const Param& d = p.decl;
    GLsizei n = GLsizei(d.elements ? d.elements : 1);
    const float* v = p.values.data();
    GLint at = slot.location;
    if (d.type != ValueType::Float) {
      // Whole numbers: int in the shader, bool as uint.
      std::vector<GLint> ints(p.values.begin(), p.values.end());
      if (d.type == ValueType::Bool)
        for (GLint& i : ints) i = i != 0;
      const GLint* iv = ints.data();
      const GLuint* uv = reinterpret_cast<const GLuint*>(ints.data());
      if (d.rows > 1) continue;
      if (d.type == ValueType::Bool) {
        switch (d.cols) {
          case 1: glProgramUniform1uiv(program, at, n, uv); break;
          case 2: glProgramUniform2uiv(program, at, n, uv); break;
          case 3: glProgramUniform3uiv(program, at, n, uv); break;
          default: glProgramUniform4uiv(program, at, n, uv); break;
        }
      } else {
        switch (d.cols) {
          case 1: glProgramUniform1iv(program, at, n, iv); break;
          case 2: glProgramUniform2iv(program, at, n, iv); break;
          case 3: glProgramUniform3iv(program, at, n, iv); break;
          default: glProgramUniform4iv(program, at, n, iv); break;
        }
      }
      continue;
    }
    // HLSL's floatRxC is the shader's matRxC: R columns of C, one column
    // per HLSL row, so the rows as stored go in unchanged.
    int key = d.rows * 10 + d.cols;
    switch (key) {
      case 11: glProgramUniform1fv(program, at, n, v); break;
      case 12: glProgramUniform2fv(program, at, n, v); break;
      case 13: glProgramUniform3fv(program, at, n, v); break;
      case 14: glProgramUniform4fv(program, at, n, v); break;
      case 22: glProgramUniformMatrix2fv(program, at, n, GL_FALSE, v); break;
      case 23: glProgramUniformMatrix2x3fv(program, at, n, GL_FALSE, v); break;
      case 24: glProgramUniformMatrix2x4fv(program, at, n, GL_FALSE, v); break;
      case 32: glProgramUniformMatrix3x2fv(program, at, n, GL_FALSE, v); break;
      case 33: glProgramUniformMatrix3fv(program, at, n, GL_FALSE, v); break;
      case 34: glProgramUniformMatrix3x4fv(program, at, n, GL_FALSE, v); break;
      case 42: glProgramUniformMatrix4x2fv(program, at, n, GL_FALSE, v); break;
      case 43: glProgramUniformMatrix4x3fv(program, at, n, GL_FALSE, v); break;
      case 44: glProgramUniformMatrix4fv(program, at, n, GL_FALSE, v); break;
      default: break;  // float2x1 and the like: vectors to the shader
    }
  }
}

namespace {

// ---------------------------------------------------------------------------
// The effect

struct RenderAssign {
  D3DRENDERSTATETYPE state;
  DWORD value;
};
struct SamplerAssign {
  DWORD unit;
  D3DSAMPLERSTATETYPE state;
  DWORD value;
};
struct TextureAssign {
  DWORD unit;
  size_t param;  // a texture parameter
};
// A sampler parameter bound to a unit: its sampler_state applies there.
struct SamplerBinding {
  size_t param;
  DWORD unit;
};

struct PassData {
  std::string name;
  std::vector<RenderAssign> renderStates;
  std::vector<SamplerAssign> samplerStates;
  std::vector<TextureAssign> textures;
  std::vector<SamplerBinding> samplers;
  // Shaders: both or neither (the fixed-function pipeline draws).
  int vertex = -1, pixel = -1;  // into Effect::stages
  GLuint program = 0;
  ProgramParams vertexParams, pixelParams;
  GLint halfPixel = -1, alphaTest = -1;
  // What the program last received of the device's viewport and alpha
  // test, and the effect's texture version the samplers last took.
  float halfPixelValue[2] = {0, 0}, alphaTestValue[4] = {-1, -1, -1, -1};
  uint64_t texturesApplied = 0;
};

struct TechniqueData {
  std::string name;
  std::vector<PassData> passes;
};

class Effect final : public Counted<ID3DXEffect> {
 public:
  explicit Effect(IDirect3DDevice9* d) : device(d) { device->AddRef(); }
  ~Effect() override {
    if (d3d9_gl::makeCurrent(device)) {
      if (programLeftOn) d3d9_gl::setProgram(device, 0);
      for (TechniqueData& t : techniques)
        for (PassData& p : t.passes)
          if (p.program) glDeleteProgram(p.program);
    }
    for (ParamValue& p : params)
      if (p.texture) p.texture->Release();
    for (auto& t : savedTextures)  // Begin without End
      if (t.second) t.second->Release();
    device->Release();
  }

  bool build(const EffectSource& source, const std::string& file, std::string& errors);

  HRESULT GetDevice(IDirect3DDevice9** out) override {
    if (!out) return D3DERR_INVALIDCALL;
    device->AddRef();
    *out = device;
    return D3D_OK;
  }

  D3DXHANDLE GetParameterByName(D3DXHANDLE parent, LPCSTR name) override {
    if (parent || !name) return nullptr;
    for (ParamValue& p : params)
      if (p.decl.name == name) return handleOf(p);
    return nullptr;
  }
  D3DXHANDLE GetParameterBySemantic(D3DXHANDLE parent, LPCSTR semantic) override {
    if (parent || !semantic) return nullptr;
    for (ParamValue& p : params)
      if (!p.decl.semantic.empty() && sameNoCase(p.decl.semantic, semantic)) return handleOf(p);
    return nullptr;
  }
  D3DXHANDLE GetTechniqueByName(LPCSTR name) override {
    if (!name) return nullptr;
    for (TechniqueData& t : techniques)
      if (t.name == name) return reinterpret_cast<D3DXHANDLE>(&t);
    return nullptr;
  }
  D3DXHANDLE GetTechnique(UINT index) override {
    return index < techniques.size() ? reinterpret_cast<D3DXHANDLE>(&techniques[index]) : nullptr;
  }
  HRESULT SetTechnique(D3DXHANDLE handle) override {
    TechniqueData* t = techniqueOf(handle);
    if (!t) return D3DERR_INVALIDCALL;
    current = t;
    return D3D_OK;
  }
  D3DXHANDLE GetCurrentTechnique() override { return reinterpret_cast<D3DXHANDLE>(current); }

  HRESULT SetMatrix(D3DXHANDLE h, const D3DXMATRIX* m) override {
    ParamValue* p = paramOf(h);
    return p && m ? setMatrix(*p, *m) : D3DERR_INVALIDCALL;
  }
  HRESULT GetMatrix(D3DXHANDLE h, D3DXMATRIX* m) override {
    ParamValue* p = paramOf(h);
    if (!p || !m || p->decl.kind != ParamKind::Value) return D3DERR_INVALIDCALL;
    std::memset(m, 0, sizeof *m);
    for (int r = 0; r < p->decl.rows; ++r)
      for (int c = 0; c < p->decl.cols; ++c) m->m[r][c] = p->values[size_t(r * p->decl.cols + c)];
    return D3D_OK;
  }
  HRESULT SetVector(D3DXHANDLE h, const D3DXVECTOR4* v) override {
    ParamValue* p = paramOf(h);
    return p && v ? setValues(*p, &v->x, 4) : D3DERR_INVALIDCALL;
  }
  HRESULT GetVector(D3DXHANDLE h, D3DXVECTOR4* v) override {
    ParamValue* p = paramOf(h);
    if (!p || !v || p->decl.kind != ParamKind::Value) return D3DERR_INVALIDCALL;
    float f[4] = {};
    std::copy(p->values.begin(), p->values.begin() + std::min<size_t>(4, p->values.size()), f);
    *v = D3DXVECTOR4(f[0], f[1], f[2], f[3]);
    return D3D_OK;
  }
  HRESULT SetFloat(D3DXHANDLE h, float f) override {
    ParamValue* p = paramOf(h);
    return p ? setValues(*p, &f, 1) : D3DERR_INVALIDCALL;
  }
  HRESULT GetFloat(D3DXHANDLE h, float* f) override {
    ParamValue* p = paramOf(h);
    if (!p || !f || p->decl.kind != ParamKind::Value) return D3DERR_INVALIDCALL;
    *f = p->values[0];
    return D3D_OK;
  }
  HRESULT SetFloatArray(D3DXHANDLE h, const float* f, UINT count) override {
    ParamValue* p = paramOf(h);
    return p && (f || !count) ? setValues(*p, f, count) : D3DERR_INVALIDCALL;
  }
  HRESULT SetInt(D3DXHANDLE h, INT i) override { return SetFloat(h, float(i)); }
  HRESULT SetBool(D3DXHANDLE h, BOOL b) override { return SetFloat(h, b ? 1.0f : 0.0f); }
  HRESULT SetTexture(D3DXHANDLE h, IDirect3DBaseTexture9* texture) override {
    ParamValue* p = paramOf(h);
    if (!p || p->decl.kind != ParamKind::Texture) return D3DERR_INVALIDCALL;
    if (texture) texture->AddRef();
    if (p->texture) p->texture->Release();
    p->texture = texture;
    ++p->version;
    ++textureVersion;
    return D3D_OK;
  }
  HRESULT GetTexture(D3DXHANDLE h, IDirect3DBaseTexture9** texture) override {
    ParamValue* p = paramOf(h);
    if (!p || !texture || p->decl.kind != ParamKind::Texture) return D3DERR_INVALIDCALL;
    if (p->texture) p->texture->AddRef();
    *texture = p->texture;
    return D3D_OK;
  }

  HRESULT Begin(UINT* passes, DWORD flags) override;
  HRESULT BeginPass(UINT pass) override;
  HRESULT CommitChanges() override;
  HRESULT EndPass() override {
    if (!inPass) return D3DERR_INVALIDCALL;
    inPass = nullptr;
    return D3D_OK;
  }
  HRESULT End() override;
  HRESULT OnLostDevice() override { return D3D_OK; }
  HRESULT OnResetDevice() override { return D3D_OK; }

 private:
  D3DXHANDLE handleOf(ParamValue& p) { return reinterpret_cast<D3DXHANDLE>(&p); }
  // A handle of ours, or else a name.
  ParamValue* paramOf(D3DXHANDLE h) {
    if (!h) return nullptr;
    for (ParamValue& p : params)
      if (reinterpret_cast<D3DXHANDLE>(&p) == h) return &p;
    for (ParamValue& p : params)
      if (p.decl.name == h) return &p;
    return nullptr;
  }
  TechniqueData* techniqueOf(D3DXHANDLE h) {
    if (!h) return nullptr;
    for (TechniqueData& t : techniques)
      if (reinterpret_cast<D3DXHANDLE>(&t) == h) return &t;
    for (TechniqueData& t : techniques)
      if (t.name == h) return &t;
    return nullptr;
  }
  size_t paramIndex(const std::string& name, ParamKind kind) const {
    for (size_t i = 0; i < params.size(); ++i)
      if (params[i].decl.name == name && params[i].decl.kind == kind) return i;
    return size_t(-1);
  }
  int stageFor(const std::vector<std::string>& value, d3dx_hlsl::Stage stage,
               const std::string& hlsl, const std::string& file, int line, std::string& errors);
  void applySampler(const ParamValue& sampler, DWORD unit);
  // Brings the pass's textures, samplers and parameters up to date; at the
  // start of a pass everything, later what changed.
  void uploadPass(PassData& pass, bool start);

  IDirect3DDevice9* device;
  std::vector<ParamValue> params;
  std::vector<TechniqueData> techniques;
  std::vector<d3dx_hlsl::CompiledStage> stages;
  std::map<std::pair<int, std::string>, int> stageIndex;
  TechniqueData* current = nullptr;
  PassData* inPass = nullptr;
  bool begun = false;
  DWORD beginFlags = 0;
  bool programLeftOn = false;
  uint64_t textureVersion = 1;
  // What Begin saved for End.
  std::vector<RenderAssign> savedRender;
  std::vector<SamplerAssign> savedSamplers;
  std::vector<std::pair<DWORD, IDirect3DBaseTexture9*>> savedTextures;
};

int Effect::stageFor(const std::vector<std::string>& value, d3dx_hlsl::Stage stage,
                     const std::string& hlsl, const std::string& file, int line,
                     std::string& errors) {
  auto where = [&] { return file + "(" + std::to_string(line) + "): error: "; };
  if (value.size() == 1 && sameNoCase(value[0], "null")) return -1;
  if (value.size() < 3 || value[0] != "compile" || (value.size() > 3 && value[3] != "(")) {
    errors += where() + "expected 'compile profile function()'\n";
    return -2;
  }
  if (value.size() > 5) {
    errors += where() + "arguments to compiled shaders are not supported\n";
    return -2;
  }
  const std::string& entry = value[2];
  auto key = std::make_pair(int(stage), entry);
  auto found = stageIndex.find(key);
  if (found != stageIndex.end()) return found->second;
  d3dx_hlsl::CompiledStage compiled;
  if (!d3dx_hlsl::compile(hlsl, entry, stage, file, compiled, errors)) return -2;
  stages.push_back(compiled);
  stageIndex[key] = int(stages.size() - 1);
  return int(stages.size() - 1);
}

bool Effect::build(const EffectSource& source, const std::string& file, std::string& errors) {
  for (const Param& p : source.params) {
    ParamValue v;
    v.decl = p;
    v.values = p.defaults;
    params.push_back(v);
  }
  bool linkable = d3d9_gl::makeCurrent(device);
  for (const Technique& t : source.techniques) {
    TechniqueData td;
    td.name = t.name;
    for (const Pass& p : t.passes) {
      PassData pd;
      pd.name = p.name;
      for (const Assignment& a : p.states) {
        auto fail = [&](const std::string& text) {
          errors += a.file + "(" + std::to_string(a.line) + "): error: " + text + "\n";
          return false;
        };
        DWORD unit = a.index < 0 ? 0 : DWORD(a.index);
        if (sameNoCase(a.state, "VertexShader") || sameNoCase(a.state, "PixelShader")) {
          bool vertex = sameNoCase(a.state, "VertexShader");
          int s = stageFor(a.value, vertex ? d3dx_hlsl::Stage::Vertex : d3dx_hlsl::Stage::Pixel,
                           source.hlsl, a.file, a.line, errors);
          if (s == -2) return false;
          (vertex ? pd.vertex : pd.pixel) = s;
        } else if (sameNoCase(a.state, "Texture")) {
          size_t i = paramIndex(reference(a.value), ParamKind::Texture);
          if (i == size_t(-1)) return fail("unknown texture '" + reference(a.value) + "'");
          pd.textures.push_back({unit, i});
        } else if (sameNoCase(a.state, "Sampler")) {
          size_t i = paramIndex(reference(a.value), ParamKind::Sampler);
          if (i == size_t(-1)) return fail("unknown sampler '" + reference(a.value) + "'");
          pd.samplers.push_back({i, unit});
        } else if (const StateName* r = findState(kRenderStates, std::size(kRenderStates), a.state)) {
          DWORD value = 0;
          if (!stateValue(a.value, r->values, value)) return fail("invalid value for " + a.state);
          pd.renderStates.push_back({D3DRENDERSTATETYPE(r->id), value});
        } else if (const StateName* s = findState(kSamplerStates, std::size(kSamplerStates), a.state)) {
          DWORD value = 0;
          if (!stateValue(a.value, s->values, value)) return fail("invalid value for " + a.state);
          pd.samplerStates.push_back({unit, D3DSAMPLERSTATETYPE(s->id), value});
        } else {
          return fail("unknown state '" + a.state + "'");
        }
      }
      if ((pd.vertex < 0) != (pd.pixel < 0)) {
        errors += file + ": error: pass '" + p.name +
                  "' needs both a vertex and a pixel shader, or neither\n";
        return false;
      }
      if (pd.vertex >= 0) {
        const d3dx_hlsl::CompiledStage& vs = stages[size_t(pd.vertex)];
        const d3dx_hlsl::CompiledStage& ps = stages[size_t(pd.pixel)];
        // Samplers on units in order of appearance, the pixel stage first.
        std::vector<std::string> names = ps.samplers;
        for (const std::string& n : vs.samplers)
          if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
        for (size_t u = 0; u < names.size(); ++u) {
          size_t i = paramIndex(names[u], ParamKind::Sampler);
          if (i != size_t(-1)) pd.samplers.push_back({i, DWORD(u)});
        }
        if (linkable) {
          std::string linkErrors;
          pd.program = d3dx_hlsl::linkProgram(vs.glsl, ps.glsl, linkErrors);
          if (!pd.program) {
            errors += file + ": error: pass '" + p.name + "' does not link: " + linkErrors + "\n";
            return false;
          }
          for (size_t u = 0; u < names.size(); ++u) {
            GLint location = glGetUniformLocation(pd.program, names[u].c_str());
            if (location >= 0) glProgramUniform1i(pd.program, location, GLint(u));
          }
          locateParams(pd.program, vs, params, pd.vertexParams);
          locateParams(pd.program, ps, params, pd.pixelParams);
          pd.halfPixel = glGetUniformLocation(pd.program, "fx_halfPixel");
          pd.alphaTest = glGetUniformLocation(pd.program, "fx_alphaTest");
        }
      }
      td.passes.push_back(std::move(pd));
    }
    techniques.push_back(std::move(td));
  }
  if (!techniques.empty()) current = &techniques[0];
  return true;
}

HRESULT Effect::Begin(UINT* passes, DWORD flags) {
  if (!current) return D3DERR_INVALIDCALL;
  // A drawing cut short (a script stopped between Begin and End) must not
  // leave the effect unusable: what it began ends first.
  if (begun) End();
  begun = true;
  beginFlags = flags;
  savedRender.clear();
  savedSamplers.clear();
  savedTextures.clear();
  if (!(flags & D3DXFX_DONOTSAVESTATE)) {
    auto saveRender = [&](D3DRENDERSTATETYPE state) {
      for (const RenderAssign& r : savedRender)
        if (r.state == state) return;
      DWORD value = 0;
      device->GetRenderState(state, &value);
      savedRender.push_back({state, value});
    };
    auto saveSampler = [&](DWORD unit, D3DSAMPLERSTATETYPE state) {
      if (flags & D3DXFX_DONOTSAVESAMPLERSTATE) return;
      for (const SamplerAssign& s : savedSamplers)
        if (s.unit == unit && s.state == state) return;
      DWORD value = 0;
      device->GetSamplerState(unit, state, &value);
      savedSamplers.push_back({unit, state, value});
    };
    auto saveTexture = [&](DWORD unit) {
      for (auto& t : savedTextures)
        if (t.first == unit) return;
      IDirect3DBaseTexture9* texture = nullptr;
      device->GetTexture(unit, &texture);  // the reference is ours until End
      savedTextures.push_back({unit, texture});
    };
    for (const PassData& p : current->passes) {
      for (const RenderAssign& r : p.renderStates) saveRender(r.state);
      for (const SamplerAssign& s : p.samplerStates) saveSampler(s.unit, s.state);
      for (const TextureAssign& t : p.textures) saveTexture(t.unit);
      for (const SamplerBinding& b : p.samplers) {
        for (const Assignment& a : params[b.param].decl.samplerStates) {
          if (sameNoCase(a.state, "Texture")) {
            saveTexture(b.unit);
          } else if (const StateName* s = findState(kSamplerStates, std::size(kSamplerStates), a.state)) {
            saveSampler(b.unit, D3DSAMPLERSTATETYPE(s->id));
          }
        }
      }
    }
  }
  if (passes) *passes = UINT(current->passes.size());
  return D3D_OK;
}

void Effect::applySampler(const ParamValue& sampler, DWORD unit) {
  for (const Assignment& a : sampler.decl.samplerStates) {
    if (sameNoCase(a.state, "Texture")) {
      size_t i = paramIndex(reference(a.value), ParamKind::Texture);
      device->SetTexture(unit, i == size_t(-1) ? nullptr : params[i].texture);
    } else if (const StateName* s = findState(kSamplerStates, std::size(kSamplerStates), a.state)) {
      DWORD value = 0;
      if (stateValue(a.value, s->values, value))
        device->SetSamplerState(unit, D3DSAMPLERSTATETYPE(s->id), value);
    }
  }
}

void Effect::uploadPass(PassData& p, bool start) {
  if (start || p.texturesApplied != textureVersion) {
    for (const TextureAssign& t : p.textures) device->SetTexture(t.unit, params[t.param].texture);
    for (const SamplerBinding& b : p.samplers) applySampler(params[b.param], b.unit);
    p.texturesApplied = textureVersion;
  }
  if (!p.program || !d3d9_gl::makeCurrent(device)) return;
  if (start) {
    for (ProgramParams::Slot& slot : p.vertexParams.slots) slot.uploaded = 0;
    for (ProgramParams::Slot& slot : p.pixelParams.slots) slot.uploaded = 0;
  }
  uploadParams(p.program, p.vertexParams, params);
  uploadParams(p.program, p.pixelParams, params);
  if (p.halfPixel >= 0) {
    D3DVIEWPORT9 vp{};
    device->GetViewport(&vp);
    const float shift = 2.0f * (0.5f - 1.0f / 256.0f);
    float half[2] = {vp.Width ? shift / float(vp.Width) : 0.0f,
                     vp.Height ? -shift / float(vp.Height) : 0.0f};
    if (start || std::memcmp(half, p.halfPixelValue, sizeof half) != 0) {
      std::memcpy(p.halfPixelValue, half, sizeof half);
      glProgramUniform2fv(p.program, p.halfPixel, 1, half);
    }
  }
  if (p.alphaTest >= 0) {
    DWORD enabled = 0, function = D3DCMP_ALWAYS, reference = 0;
    device->GetRenderState(D3DRS_ALPHATESTENABLE, &enabled);
    device->GetRenderState(D3DRS_ALPHAFUNC, &function);
    device->GetRenderState(D3DRS_ALPHAREF, &reference);
    float test[4] = {enabled ? 1.0f : 0.0f, float(function), float(reference & 0xff), 0.0f};
    if (start || std::memcmp(test, p.alphaTestValue, sizeof test) != 0) {
      std::memcpy(p.alphaTestValue, test, sizeof test);
      glProgramUniform4fv(p.program, p.alphaTest, 1, test);
    }
  }
}

HRESULT Effect::BeginPass(UINT pass) {
  if (!begun || inPass || pass >= current->passes.size()) return D3DERR_INVALIDCALL;
  PassData& p = current->passes[pass];
  inPass = &p;
  for (const RenderAssign& r : p.renderStates) device->SetRenderState(r.state, r.value);
  for (const SamplerAssign& s : p.samplerStates) device->SetSamplerState(s.unit, s.state, s.value);
  uploadPass(p, true);
  d3d9_gl::setProgram(device, p.program);
  programLeftOn = p.program != 0;
  return D3D_OK;
}

HRESULT Effect::CommitChanges() {
  if (!inPass) return D3DERR_INVALIDCALL;
  uploadPass(*inPass, false);
  return D3D_OK;
}

HRESULT Effect::End() {
  if (!begun) return D3DERR_INVALIDCALL;
  begun = false;
  inPass = nullptr;
  if (!(beginFlags & (D3DXFX_DONOTSAVESTATE | D3DXFX_DONOTSAVESHADERSTATE))) {
    d3d9_gl::setProgram(device, 0);
    programLeftOn = false;
  }
  for (const RenderAssign& r : savedRender) device->SetRenderState(r.state, r.value);
  for (const SamplerAssign& s : savedSamplers) device->SetSamplerState(s.unit, s.state, s.value);
  for (auto& t : savedTextures) {
    device->SetTexture(t.first, t.second);
    if (t.second) t.second->Release();
  }
  savedRender.clear();
  savedSamplers.clear();
  savedTextures.clear();
  return D3D_OK;
}

HRESULT createEffect(IDirect3DDevice9* device, const std::string& text, const std::string& file,
                     bool fromFile, const D3DXMACRO* defines, ID3DXEffect** effect,
                     ID3DXBuffer** errorsOut) {
  if (errorsOut) *errorsOut = nullptr;
  if (!device || !effect) return D3DERR_INVALIDCALL;
  *effect = nullptr;
  std::string errors;
  EffectSource source;
  // The text up to a NUL byte, as the compiler would read it, through the
  // preprocessor first: macros may write techniques, includes hold them.
  PreprocessInput in;
  in.text = text.substr(0, std::min(text.size(), std::strlen(text.c_str())));
  in.fileName = file;
  in.includes = fromFile;
  for (; defines && defines->Name; ++defines)
    in.defines.emplace_back(defines->Name, defines->Definition ? defines->Definition : "");
  std::string body;
  std::unique_ptr<Effect, void (*)(Effect*)> made(nullptr, [](Effect* e) { e->Release(); });
  if (preprocessEffect(in, body, errors) && parseEffect(body, file, source, errors)) {
    made.reset(new Effect(device));
    if (!made->build(source, file, errors)) made.reset();
  }
  if (!made) {
    if (errors.empty()) errors = file + ": error: the effect does not compile\n";
    if (errorsOut) *errorsOut = makeBuffer(errors);
    return D3DXERR_INVALIDDATA;
  }
  *effect = made.release();
  return D3D_OK;
}

}  // namespace

}  // namespace d3dx_fx


HRESULT D3DXCreateEffect(IDirect3DDevice9* device, const void* data, UINT length,
                         const D3DXMACRO* defines, ID3DXInclude*, DWORD, ID3DXEffectPool*,
                         ID3DXEffect** effect, ID3DXBuffer** errors) {
  if (!data) {
    if (errors) *errors = nullptr;
    return D3DERR_INVALIDCALL;
  }
  return d3dx_fx::createEffect(device, std::string(static_cast<const char*>(data), length),
                               "memory", false, defines, effect, errors);
}

HRESULT D3DXCreateEffectFromFileA(IDirect3DDevice9* device, LPCSTR file, const D3DXMACRO* defines,
                                  ID3DXInclude*, DWORD, ID3DXEffectPool*, ID3DXEffect** effect,
                                  ID3DXBuffer** errors) {
  if (errors) *errors = nullptr;
  if (effect) *effect = nullptr;
  if (!file) return D3DERR_INVALIDCALL;
  FILE* f = openFile(file, "rb");
  if (!f) return D3DERR_NOTFOUND;
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  std::fclose(f);
  return d3dx_fx::createEffect(device, text, file, true, defines, effect, errors);
}
