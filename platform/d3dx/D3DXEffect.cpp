#include "platform/d3dx/D3DXEffect.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "platform/d3d9/GLInterop.h"
#include "platform/d3dx/EffectInternal.h"
#include "platform/d3dx/EffectPreprocessor.h"
#include "platform/d3dx/EffectStates.h"

#include <GL/glext.h>
#include "platform/file/FileSystem.h"

namespace d3dx_fx {

namespace {

bool sameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A pass's "VertexShader = (shaders[i])", "= <shader>" or "= shaders[2]".
struct ShaderReference {
  const ShaderVariable* variable = nullptr;
  int element = 0;
  std::string param;  // the index is this parameter
};

bool shaderReference(const std::vector<std::string>& value, const EffectSource& source,
                     ShaderReference& ref) {
  std::vector<std::string> t;
  for (const std::string& v : value)
    if (v != "(" && v != ")" && v != "<" && v != ">") t.push_back(v);
  if (t.empty() || t[0] == "compile") return false;
  for (const ShaderVariable& s : source.shaders)
    if (s.name == t[0]) ref.variable = &s;
  if (!ref.variable) return false;
  ref.element = 0;
  ref.param.clear();
  if (t.size() == 4 && t[1] == "[" && t[3] == "]") {
    if (std::isdigit(static_cast<unsigned char>(t[2][0])))
      ref.element = std::atoi(t[2].c_str());
    else
      ref.param = t[2];
  } else if (t.size() != 1) {
    return false;
  }
  return true;
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

// A sampler uniform of `program` by its name in the source. Names that
// GLSL keeps for itself come out of the translation changed: a reserved
// word with a '_' before it, "__" as "_", "gl_" with a prefix.
GLint uniformLocation(GLuint program, const std::string& name) {
  GLint location = glGetUniformLocation(program, name.c_str());
  if (location >= 0) return location;
  std::string single = name;
  for (size_t at; (at = single.find("__")) != std::string::npos;) single.erase(at, 1);
  for (const std::string& renamed : {"_" + name, single, "_RESERVED_IDENTIFIER_FIXUP_" + name})
    if ((location = glGetUniformLocation(program, renamed.c_str())) >= 0) return location;
  return -1;
}

void locateParams(GLuint program, const d3dx_hlsl::CompiledStage& stage,
                  const std::vector<ParamValue>& params, ProgramParams& out) {
  out.slots.clear();
  for (size_t k = 0; k < stage.members.size(); ++k) {
    const std::string& member = stage.members[k];
    const std::string& uniform =
        k < stage.memberUniforms.size() ? stage.memberUniforms[k] : stage.members[k];
    for (size_t i = 0; i < params.size(); ++i) {
      // The member itself, or a member of a struct parameter ("light.colour",
      // "lights[1].colour").
      const std::string& name = params[i].decl.name;
      bool inside = name.size() > member.size() && name.compare(0, member.size(), member) == 0 &&
                    (name[member.size()] == '.' || name[member.size()] == '[');
      if ((name == member || inside) && params[i].decl.kind == ParamKind::Value) {
        const std::string full = stage.block + "." + uniform + name.substr(member.size());
        GLint location = glGetUniformLocation(program, full.c_str());
        if (location < 0) continue;
        // Whole numbers go in as the shader declares them: int, or uint
        // (bool and uint).
        GLuint index = GL_INVALID_INDEX;
        const char* names[] = {full.c_str()};
        glGetUniformIndices(program, 1, names, &index);
        GLint type = 0;
        if (index != GL_INVALID_INDEX)
          glGetActiveUniformsiv(program, 1, &index, GL_UNIFORM_TYPE, &type);
        const bool unsignedInts = type == GL_UNSIGNED_INT || type == GL_UNSIGNED_INT_VEC2 ||
                                  type == GL_UNSIGNED_INT_VEC3 || type == GL_UNSIGNED_INT_VEC4 ||
                                  params[i].decl.type == ValueType::Bool;
        out.slots.push_back({i, location, 0, unsignedInts});
      }
    }
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
    if (d.type != ValueType::Float && d.rows == 1) {
      // Whole numbers: int in the shader, bool as uint. (Matrices of them
      // reach the shader as float matrices, below.)
      std::vector<GLint> ints(p.values.begin(), p.values.end());
      if (d.type == ValueType::Bool)
        for (GLint& i : ints) i = i != 0;
      const GLint* iv = ints.data();
      const GLuint* uv = reinterpret_cast<const GLuint*>(ints.data());
      if (slot.unsignedInts) {
        switch (d.cols) {
          case 1:
            glProgramUniform1uiv(program, at, n, uv);
            break;
          case 2:
            glProgramUniform2uiv(program, at, n, uv);
            break;
          case 3:
            glProgramUniform3uiv(program, at, n, uv);
            break;
          default:
            glProgramUniform4uiv(program, at, n, uv);
            break;
        }
      } else {
        switch (d.cols) {
          case 1:
            glProgramUniform1iv(program, at, n, iv);
            break;
          case 2:
            glProgramUniform2iv(program, at, n, iv);
            break;
          case 3:
            glProgramUniform3iv(program, at, n, iv);
            break;
          default:
            glProgramUniform4iv(program, at, n, iv);
            break;
        }
      }
      continue;
    }
    // HLSL's floatRxC is the shader's matRxC: R columns of C, one column
    // per HLSL row, so the rows as stored go in unchanged.
    int key = d.rows * 10 + d.cols;
    switch (key) {
      case 11:
        glProgramUniform1fv(program, at, n, v);
        break;
      case 12:
        glProgramUniform2fv(program, at, n, v);
        break;
      case 13:
        glProgramUniform3fv(program, at, n, v);
        break;
      case 14:
        glProgramUniform4fv(program, at, n, v);
        break;
      case 22:
        glProgramUniformMatrix2fv(program, at, n, GL_FALSE, v);
        break;
      case 23:
        glProgramUniformMatrix2x3fv(program, at, n, GL_FALSE, v);
        break;
      case 24:
        glProgramUniformMatrix2x4fv(program, at, n, GL_FALSE, v);
        break;
      case 32:
        glProgramUniformMatrix3x2fv(program, at, n, GL_FALSE, v);
        break;
      case 33:
        glProgramUniformMatrix3fv(program, at, n, GL_FALSE, v);
        break;
      case 34:
        glProgramUniformMatrix3x4fv(program, at, n, GL_FALSE, v);
        break;
      case 42:
        glProgramUniformMatrix4x2fv(program, at, n, GL_FALSE, v);
        break;
      case 43:
        glProgramUniformMatrix4x3fv(program, at, n, GL_FALSE, v);
        break;
      case 44:
        glProgramUniformMatrix4fv(program, at, n, GL_FALSE, v);
        break;
      default:
        break;  // float2x1 and the like: vectors to the shader
    }
  }
}

namespace {

// ---------------------------------------------------------------------------
// The effect

// The sampler stages a pass's shaders may read.
constexpr int kSamplerUnits = D3DMAX_SAMPLERS;

// A state the pass sets: a constant, or the value of a parameter at the
// time the pass begins.
struct StateAssign {
  const StateInfo* state;
  DWORD index;  // stage, sampler unit, light, world matrix
  StateValue value;
  size_t param = size_t(-1);
  // "CullMode = (twoSided ? 1 : 3);": worked out again when the pass begins.
  std::vector<std::string> expression;
  // The parameters the value comes from, and the sum of their versions
  // when it was last set: CommitChanges sets it again once they change.
  std::vector<size_t> uses;
  uint64_t usesVersion = 0;
};
struct TextureAssign {
  DWORD unit;
  size_t param;       // a texture parameter
  uint64_t seen = 0;  // its version when last set
};
// A sampler parameter bound to a unit: its sampler_state applies there.
struct SamplerBinding {
  size_t param;
  DWORD unit;
  // The sampler_state's states as read when the pass first begins: each
  // with the parameter it follows (a texture, a value, or none) and that
  // parameter's version when it was last set.
  struct State {
    const StateInfo* state = nullptr;  // null: the texture
    StateValue value;
    size_t param = size_t(-1);
    uint64_t seen = 0;
  };
  std::vector<State> states = {};
  bool read = false;
};

struct PassData {
  std::string name;
  std::vector<StateAssign> states;
  std::vector<TextureAssign> textures;
  std::vector<SamplerBinding> samplers;
  // Shaders: both or neither (the fixed-function pipeline draws).
  int vertex = -1, pixel = -1;  // into Effect::stages
  GLuint program = 0;
  // A pass with one shader: its GL shader, which the device links with
  // its fixed-function pipeline for the other stage, one program per
  // state combination; what each program holds of ours.
  GLuint shader = 0;
  bool shaderIsVertex = false;
  struct Linked {
    ProgramParams params;
    GLint alphaTest = -1, halfPixel = -1;
    float alphaTestValue[4] = {-1, -1, -1, -1};
    float halfPixelValue[2] = {0, 0};
  };
  std::map<GLuint, Linked> linked;
  std::vector<std::pair<std::string, DWORD>> samplerUnits;  // the shaders' samplers' units
  // A pass choosing its shader by a parameter: a variant for each value.
  std::vector<PassData> variants;
  size_t selector = size_t(-1);
  ProgramParams vertexParams, pixelParams;
  GLint halfPixel = -1, alphaTest = -1;
  // What the program last received of the device's viewport and alpha
  // test.
  float halfPixelValue[2] = {0, 0}, alphaTestValue[4] = {-1, -1, -1, -1};
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
      if (programLeftOn) {
        d3d9_gl::setProgram(device, 0);
        d3d9_gl::setShader(device, 0, false, nullptr, nullptr);
      }
      bool deleted = false;
      auto release = [&](PassData& p) {
        if (p.program) {
          glDeleteProgram(p.program);
          deleted = true;
        }
        if (p.shader) {
          d3d9_gl::forgetShader(device, p.shader);
          glDeleteShader(p.shader);
          deleted = true;
        }
      };
      for (TechniqueData& t : techniques)
        for (PassData& p : t.passes) {
          release(p);
          for (PassData& v : p.variants) release(v);
        }
      // Draws still queued keep a deleted program, and what the driver
      // compiled for it, until they are carried out; a frame that makes and
      // drops effects by the hundred would hold them all until it ends.
      if (deleted) glFlush();
    }
    for (ParamValue& p : params)
      if (p.texture) p.texture->Release();
    for (auto& t : savedTextures)  // Begin without End
      if (t.second) t.second->Release();
    device->Release();
  }

  bool build(const EffectSource& source, const std::string& file, std::string& errors);
  // One pass (with element `choice` of a shader array it chooses from by
  // a parameter).
  bool buildPass(const EffectSource& source, const Pass& p, const std::string& file, bool linkable,
                 int choice, PassData& pd, std::string& errors);

  HRESULT GetDevice(IDirect3DDevice9** out) override {
    if (!out) return D3DERR_INVALIDCALL;
    device->AddRef();
    *out = device;
    return D3D_OK;
  }

  D3DXHANDLE GetParameterByName(D3DXHANDLE parent, LPCSTR name) override {
    if (!name) return nullptr;
    std::string full = name;
    if (parent) {
      // A member of a struct parameter: "parent.name".
      const ParamValue* s = paramOf(parent);
      if (!s || s->decl.kind != ParamKind::Struct) return nullptr;
      full = s->decl.name + "." + full;
    }
    for (ParamValue& p : params)
      if (p.decl.name == full) return handleOf(p);
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
  // Sets the states of a sampler's sampler_state on its unit: all of them
  // at the start of a pass, later those whose parameter changed since.
  void applySampler(SamplerBinding& binding, bool start);
  // Units for the samplers a pass's shaders declare: a sampler given a
  // register ("register(s2)") reads that stage, the others take the
  // lowest units left, in the order given.
  void bindSamplers(const std::vector<std::string>& names, PassData& pd) const;
  // A state's value from parameter `param` (its element `element`, or all
  // of it for -1).
  StateValue paramValue(size_t param, int element, Values kind) const {
    const ParamValue& p = params[param];
    if (element < 0) return valueFromFloats(p.values, kind);
    size_t n = size_t(p.decl.rows * p.decl.cols), from = size_t(element) * n;
    if (from >= p.values.size()) return valueFromFloats({}, kind);
    return valueFromFloats(
        std::vector<float>(p.values.begin() + long(from),
                           p.values.begin() + long(std::min(from + n, p.values.size()))),
        kind);
  }
  // The value of a state written as an expression of parameters, static
  // variables and the state's value names, with the parameters as they
  // are now; false when the tokens are no such expression.
  bool evaluateState(const std::vector<std::string>& tokens, Values kind, StateValue& out) const {
    std::vector<std::vector<float>> names;  // values of the state's names, by reference below
    names.reserve(tokens.size());
    auto named = [&](const std::string& name) -> const std::vector<float>* {
      size_t i = paramIndex(name, ParamKind::Value);
      if (i != size_t(-1)) return &params[i].values;
      if (auto fixed = statics.find(name); fixed != statics.end()) return &fixed->second;
      StateValue word;
      if (names.size() < tokens.size() && parseStateValue({name}, kind, word) &&
          word.param.empty() && word.floats.empty() && kind != Values::Float) {
        names.push_back({float(word.value)});
        return &names.back();
      }
      return nullptr;
    };
    std::vector<float> result;
    if (!d3dx_fx::evaluateExpression(tokens, 0, tokens.size(), named, result)) return false;
    out = valueFromFloats(result, kind);
    return true;
  }
  // Sets a pass's state from its value or the parameters it follows.
  void applyPassState(StateAssign& a);
  uint64_t usesVersion(const StateAssign& a) const {
    uint64_t sum = 0;
    for (size_t i : a.uses) sum += params[i].version;
    return sum;
  }
  // Brings the pass's textures, samplers and parameters up to date; at the
  // start of a pass everything, later what changed.
  void uploadPass(PassData& pass, bool start);
  // Before a draw of a pass with a pixel shader alone: the program the
  // device made of it gets our samplers and parameters.
  static void prepareThunk(GLuint program, void* effect) {
    static_cast<Effect*>(effect)->prepare(program);
  }
  void prepare(GLuint program);
  // The alpha test as the pixel stage takes it, into `at` of `program`
  // when it differs from `last`.
  void uploadAlphaTest(GLuint program, GLint at, float last[4], bool force);

  IDirect3DDevice9* device;
  std::vector<ParamValue> params;
  std::map<std::string, std::vector<float>> statics;  // static variables' values
  std::vector<TechniqueData> techniques;
  std::vector<d3dx_hlsl::CompiledStage> stages;
  std::map<std::pair<int, std::string>, int> stageIndex;
  TechniqueData* current = nullptr;
  PassData* inPass = nullptr;
  bool begun = false;
  DWORD beginFlags = 0;
  bool programLeftOn = false;
  // What Begin saved for End.
  std::vector<SavedState> savedStates;
  std::vector<std::pair<DWORD, IDirect3DBaseTexture9*>> savedTextures;
};

namespace {

bool nameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The profile's stage and shader model: "vs_2_0" is (vertex, 2); false for
// anything that is not a Direct3D 9 profile.
bool profileOf(const std::string& profile, d3dx_hlsl::Stage& stage) {
  static const char* const kVertex[] = {"vs_1_1",  "vs_2_0", "vs_2_a",
                                        "vs_2_sw", "vs_3_0", "vs_3_sw"};
  static const char* const kPixel[] = {"ps_1_1", "ps_1_2", "ps_1_3",  "ps_1_4", "ps_2_0",
                                       "ps_2_a", "ps_2_b", "ps_2_sw", "ps_3_0", "ps_3_sw"};
  for (const char* p : kVertex)
    if (sameNoCase(profile, p)) return stage = d3dx_hlsl::Stage::Vertex, true;
  for (const char* p : kPixel)
    if (sameNoCase(profile, p)) return stage = d3dx_hlsl::Stage::Pixel, true;
  return false;
}

// A copy of function `entry` of `hlsl` with its uniform parameters bound
// to `args` (the effect's "compile vs_2_0 f(1, true)"), under the name
// `copyName`: the uniform parameters leave the list and become constants
// at the top of the body. Empty when no definition of `entry` has as many
// uniform parameters as there are arguments.
std::string boundCopy(const std::string& hlsl, const std::string& entry,
                      const std::vector<std::string>& args, const std::string& copyName) {
  int depth = 0;
  size_t statementStart = 0;
  for (size_t i = 0; i < hlsl.size(); ++i) {
    char c = hlsl[i];
    if (c == '{') ++depth;
    if (c == '}') {
      --depth;
      if (depth == 0) statementStart = i + 1;
      continue;
    }
    if (c == ';' && depth == 0) statementStart = i + 1;
    if (depth != 0 || !nameChar(c) || (i > 0 && nameChar(hlsl[i - 1]))) continue;
    size_t j = i;
    while (j < hlsl.size() && nameChar(hlsl[j])) ++j;
    if (hlsl.compare(i, j - i, entry) != 0 || j - i != entry.size()) {
      i = j - 1;
      continue;
    }
    size_t open = j;
    while (open < hlsl.size() && std::isspace(static_cast<unsigned char>(hlsl[open]))) ++open;
    if (open >= hlsl.size() || hlsl[open] != '(') continue;
    // The parameter list, split at its top-level commas.
    std::vector<std::string> paramsText;
    std::string current;
    size_t close = open + 1;
    int nest = 0;
    for (; close < hlsl.size(); ++close) {
      char d = hlsl[close];
      if (d == '(') ++nest;
      if (d == ')' && nest-- == 0) break;
      if (d == ',' && nest == 0) {
        paramsText.push_back(current);
        current.clear();
      } else {
        current += d;
      }
    }
    if (current.find_first_not_of(" \t\r\n") != std::string::npos) paramsText.push_back(current);
    size_t body = close + 1;
    while (body < hlsl.size() && hlsl[body] != '{' && hlsl[body] != ';') ++body;
    if (body >= hlsl.size() || hlsl[body] != '{') continue;  // a prototype
    std::string kept, constants;
    size_t bound = 0;
    for (const std::string& param : paramsText) {
      size_t u = param.find("uniform");
      bool isUniform = u != std::string::npos && (u == 0 || !nameChar(param[u - 1])) &&
                       (u + 7 >= param.size() || !nameChar(param[u + 7]));
      if (!isUniform) {
        kept += (kept.empty() ? "" : ",") + param;
        continue;
      }
      if (bound >= args.size()) {
        bound = args.size() + 1;
        break;
      }
      // "uniform int n" (a semantic or default after the name goes).
      std::string decl = param.substr(u + 7);
      size_t stop = decl.find_first_of(":=");
      if (stop != std::string::npos) decl.resize(stop);
      size_t nameEnd = decl.find_last_not_of(" \t\r\n");
      if (nameEnd == std::string::npos) return "";
      // An array parameter ("uniform float w[4]") keeps its brackets.
      constants += " const " + decl.substr(0, nameEnd + 1) + " = " + args[bound++] + ";";
    }
    if (bound != args.size()) {
      i = body;
      continue;
    }
    int braces = 0;
    size_t end = body;
    for (; end < hlsl.size(); ++end) {
      if (hlsl[end] == '{') ++braces;
      if (hlsl[end] == '}' && --braces == 0) break;
    }
    if (end >= hlsl.size()) return "";
    std::string copy = hlsl.substr(statementStart, i - statementStart) + copyName + "(" + kept +
                       ")" + hlsl.substr(close + 1, body + 1 - (close + 1)) + constants +
                       hlsl.substr(body + 1, end + 1 - (body + 1));
    return "\n" + copy + "\n";
  }
  return "";
}

}  // namespace

int Effect::stageFor(const std::vector<std::string>& value, d3dx_hlsl::Stage stage,
                     const std::string& hlsl, const std::string& file, int line,
                     std::string& errors) {
  auto where = [&] { return file + "(" + std::to_string(line) + "): error: "; };
  // NULL, or 0 as older files write it: the fixed-function stage.
  if (value.size() == 1 && (sameNoCase(value[0], "null") || value[0] == "0")) return -1;
  if (!value.empty() && sameNoCase(value[0], "asm")) {
    errors +=
        where() + "shader assembly (asm { ... }) is not supported; write the shader in HLSL\n";
    return -2;
  }
  if (value.size() < 3 || value[0] != "compile" || (value.size() > 3 && value[3] != "(") ||
      (value.size() > 3 && value.back() != ")")) {
    errors += where() + "expected 'compile profile function()'\n";
    return -2;
  }
  d3dx_hlsl::Stage profileStage;
  if (!profileOf(value[1], profileStage)) {
    errors += where() + "'" + value[1] + "' is not a Direct3D 9 shader profile\n";
    return -2;
  }
  if (profileStage != stage) {
    errors += where() + "profile '" + value[1] + "' is for the other shader stage\n";
    return -2;
  }
  std::string entry = value[2];
  // Arguments: the text of each, split at the top-level commas.
  std::vector<std::string> args;
  if (value.size() > 5) {
    std::string arg;
    int depth = 0;
    for (size_t i = 4; i + 1 < value.size(); ++i) {
      const std::string& t = value[i];
      if (t == "(") ++depth;
      if (t == ")") --depth;
      if (t == "," && depth == 0) {
        args.push_back(arg);
        arg.clear();
        continue;
      }
      arg += (arg.empty() ? "" : " ") + t;
    }
    args.push_back(arg);
  }
  std::string signature = entry;
  for (const std::string& a : args) signature += "," + a;
  auto key = std::make_pair(int(stage), signature);
  auto found = stageIndex.find(key);
  if (found != stageIndex.end()) return found->second;
  std::string text = hlsl;
  if (!args.empty()) {
    std::string copyName = entry + "_fx" + std::to_string(stageIndex.size());
    std::string copy = boundCopy(hlsl, entry, args, copyName);
    if (copy.empty()) {
      errors += where() + "'" + entry + "' has no definition with " + std::to_string(args.size()) +
                " uniform parameters for the arguments given\n";
      return -2;
    }
    text += copy;
    entry = copyName;
  }
  d3dx_hlsl::CompiledStage compiled;
  text = d3dx_hlsl::rewriteEffectShader(text, stage);
  if (!d3dx_hlsl::compile(text, entry, stage, file, compiled, errors)) return -2;
  stages.push_back(compiled);
  stageIndex[key] = int(stages.size() - 1);
  return int(stages.size() - 1);
}

void Effect::bindSamplers(const std::vector<std::string>& names, PassData& pd) const {
  std::vector<int> units(names.size(), -1);
  bool taken[kSamplerUnits] = {};
  for (size_t k = 0; k < names.size(); ++k) {
    size_t i = paramIndex(names[k], ParamKind::Sampler);
    int r = i == size_t(-1) ? -1 : params[i].decl.samplerRegister;
    if (r >= 0 && r < kSamplerUnits && !taken[r]) taken[units[k] = r] = true;
  }
  int next = 0;
  for (size_t k = 0; k < names.size(); ++k) {
    if (units[k] < 0) {
      while (next < kSamplerUnits && taken[next]) ++next;
      if (next == kSamplerUnits) continue;  // more samplers than stages
      taken[units[k] = next] = true;
    }
    pd.samplerUnits.push_back({names[k], DWORD(units[k])});
    size_t i = paramIndex(names[k], ParamKind::Sampler);
    if (i != size_t(-1)) pd.samplers.push_back({i, DWORD(units[k]), {}, false});
  }
}

bool Effect::buildPass(const EffectSource& source, const Pass& p, const std::string& file,
                       bool linkable, int choice, PassData& pd, std::string& errors) {
  for (const Assignment& a : p.states) {
    auto fail = [&](const std::string& text) {
      errors += a.file + "(" + std::to_string(a.line) + "): error: " + text + "\n";
      return false;
    };
    DWORD unit = a.index < 0 ? 0 : DWORD(a.index);
    if (sameNoCase(a.state, "VertexShader") || sameNoCase(a.state, "PixelShader")) {
      bool vertex = sameNoCase(a.state, "VertexShader");
      std::vector<std::string> value = a.value;
      ShaderReference ref;
      if (shaderReference(a.value, source, ref)) {
        if (ref.variable->vertex != vertex)
          return fail("'" + ref.variable->name + "' holds shaders of the other stage");
        int e = ref.param.empty() ? ref.element : choice;
        if (e < 0 || size_t(e) >= ref.variable->elements.size())
          return fail("no element " + std::to_string(e) + " in '" + ref.variable->name + "'");
        value = ref.variable->elements[size_t(e)];
      }
      int s = stageFor(value, vertex ? d3dx_hlsl::Stage::Vertex : d3dx_hlsl::Stage::Pixel,
                       source.hlsl, a.file, a.line, errors);
      if (s == -2) return false;
      (vertex ? pd.vertex : pd.pixel) = s;
    } else if (sameNoCase(a.state, "Texture") && a.value.size() == 1 &&
               (sameNoCase(a.value[0], "null") || a.value[0] == "0")) {
      pd.textures.push_back({unit, size_t(-1), 0});  // the stage left without a texture
    } else if (sameNoCase(a.state, "Texture")) {
      size_t i = paramIndex(reference(a.value), ParamKind::Texture);
      if (i == size_t(-1)) return fail("unknown texture '" + reference(a.value) + "'");
      pd.textures.push_back({unit, i, 0});
    } else if (sameNoCase(a.state, "Sampler")) {
      size_t i = paramIndex(reference(a.value), ParamKind::Sampler);
      if (i == size_t(-1)) return fail("unknown sampler '" + reference(a.value) + "'");
      pd.samplers.push_back({i, unit, {}, false});
    } else if (const StateInfo* info = findPassState(a.state)) {
      StateAssign assign{info, unit, {}, size_t(-1), {}, {}, 0};
      if (!parseStateValue(a.value, info->values, assign.value)) {
        // An expression, of parameters perhaps: its value now must be one.
        if (!evaluateState(a.value, info->values, assign.value)) {
          // A lone name: say that it names nothing, a misspelt value or a
          // parameter the file does not declare.
          const std::string name = a.value.size() == 1 ? a.value[0] : std::string();
          if (!name.empty() &&
              (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
            return fail("invalid value for " + a.state + ": '" + name +
                        "' is neither one of its values nor a parameter");
          return fail("invalid value for " + a.state);
        }
        assign.expression = a.value;
      }
      if (!assign.value.param.empty()) {
        assign.param = paramIndex(assign.value.param, ParamKind::Value);
        auto fixed = source.statics.find(assign.value.param);
        if (assign.param == size_t(-1) && fixed != source.statics.end()) {
          // A static variable: its value is known now and never changes.
          const std::vector<float>& all = fixed->second.defaults;
          std::vector<float> floats = all;
          if (assign.value.element >= 0) {
            const size_t each = size_t(fixed->second.rows * fixed->second.cols);
            const size_t from = size_t(assign.value.element) * each;
            if (from + each > all.size())
              return fail("no element " + std::to_string(assign.value.element) + " in '" +
                          assign.value.param + "'");
            floats.assign(all.begin() + long(from), all.begin() + long(from + each));
          }
          assign.value = valueFromFloats(floats, info->values);
        } else if (assign.param == size_t(-1)) {
          return fail("unknown parameter '" + assign.value.param + "' for " + a.state);
        }
      }
      if (assign.param != size_t(-1)) assign.uses.push_back(assign.param);
      for (const std::string& word : assign.expression) {
        size_t i = paramIndex(word, ParamKind::Value);
        if (i != size_t(-1) &&
            std::find(assign.uses.begin(), assign.uses.end(), i) == assign.uses.end())
          assign.uses.push_back(i);
      }
      pd.states.push_back(assign);
    } else if (sameNoCase(a.state.substr(0, 20), "VertexShaderConstant") ||
               sameNoCase(a.state.substr(0, 19), "PixelShaderConstant")) {
      return fail("'" + a.state +
                  "' sets shader constants by register, which effects here do not do; "
                  "give the shader's parameters their values instead");
    } else {
      return fail("unknown state '" + a.state + "'");
    }
  }
  if (pd.vertex >= 0 && pd.pixel < 0) {
    // A vertex shader alone: it feeds the fixed-function pixel stage.
    const d3dx_hlsl::CompiledStage& vs = stages[size_t(pd.vertex)];
    bindSamplers(vs.samplers, pd);
    if (linkable) {
      std::string log;
      pd.shaderIsVertex = true;
      pd.shader =
          d3d9_gl::compileShader(GL_VERTEX_SHADER, d3dx_hlsl::toFixedFunctionOutputs(vs.glsl), log);
      if (!pd.shader) {
        errors += file + ": error: pass '" + p.name + "' does not compile: " + log + "\n";
        return false;
      }
    }
  }
  if (pd.pixel >= 0) {
    const d3dx_hlsl::CompiledStage& ps = stages[size_t(pd.pixel)];
    const d3dx_hlsl::CompiledStage* vs = pd.vertex >= 0 ? &stages[size_t(pd.vertex)] : nullptr;
    // The pixel stage's samplers first.
    std::vector<std::string> names = ps.samplers;
    if (vs)
      for (const std::string& n : vs->samplers)
        if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    bindSamplers(names, pd);
    if (linkable && vs) {
      // Values between the stages meet by semantic, each side with the
      // type it declared.
      std::string fragment =
          d3dx_hlsl::rewireInputs(ps.glsl, ps.inputs, d3dx_hlsl::declaredOutputs(vs->glsl), {});
      std::string linkErrors;
      pd.program = d3dx_hlsl::linkProgram(vs->glsl, fragment, linkErrors);
      if (!pd.program) {
        errors += file + ": error: pass '" + p.name + "' does not link: " + linkErrors + "\n";
        return false;
      }
      for (const auto& [name, unit] : pd.samplerUnits) {
        GLint location = uniformLocation(pd.program, name);
        if (location >= 0) glProgramUniform1i(pd.program, location, GLint(unit));
      }
      locateParams(pd.program, *vs, params, pd.vertexParams);
      locateParams(pd.program, ps, params, pd.pixelParams);
      pd.halfPixel = glGetUniformLocation(pd.program, "fx_halfPixel");
      pd.alphaTest = glGetUniformLocation(pd.program, "fx_alphaTest");
    } else if (linkable) {
      // The device's fixed-function vertex stage feeds the pixel
      // shader: colours and texture coordinates by semantic.
      std::vector<d3dx_hlsl::Varying> provided = {{"v_diffuse", "vec4"}, {"v_specular", "vec4"}};
      std::vector<std::pair<std::string, std::string>> sources = {{"v_COLOR0", "v_diffuse"},
                                                                  {"v_COLOR1", "v_specular"}};
      for (int i = 0; i < 8; ++i) {
        provided.push_back({"v_tex" + std::to_string(i), "vec4"});
        sources.push_back({"v_TEXCOORD" + std::to_string(i), "v_tex" + std::to_string(i)});
      }
      std::string log;
      pd.shader = d3d9_gl::compileShader(
          GL_FRAGMENT_SHADER, d3dx_hlsl::rewireInputs(ps.glsl, ps.inputs, provided, sources), log);
      if (!pd.shader) {
        errors += file + ": error: pass '" + p.name + "' does not compile: " + log + "\n";
        return false;
      }
    }
  }
  return true;
}

bool Effect::build(const EffectSource& source, const std::string& file, std::string& errors) {
  for (const auto& [name, fixed] : source.statics) statics[name] = fixed.defaults;
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
    // A pass that names no shader for a stage draws with the one the
    // passes before it left there: passes run in turn, and one only sets
    // what it names.
    const Assignment *vertexBefore = nullptr, *pixelBefore = nullptr;
    for (const Pass& written : t.passes) {
      Pass p = written;
      const Assignment *vertex = nullptr, *pixel = nullptr;
      for (const Assignment& a : written.states) {
        if (sameNoCase(a.state, "VertexShader")) vertex = &a;
        if (sameNoCase(a.state, "PixelShader")) pixel = &a;
      }
      if (!vertex && vertexBefore) p.states.insert(p.states.begin(), *vertexBefore);
      if (!pixel && pixelBefore) p.states.insert(p.states.begin(), *pixelBefore);
      if (vertex) vertexBefore = vertex;
      if (pixel) pixelBefore = pixel;
      PassData pd;
      pd.name = p.name;
      // A shader chosen by a parameter: a variant of the pass for each.
      const ShaderVariable* chosen = nullptr;
      for (const Assignment& a : p.states) {
        ShaderReference ref;
        if ((sameNoCase(a.state, "VertexShader") || sameNoCase(a.state, "PixelShader")) &&
            shaderReference(a.value, source, ref) && ref.param.size())
          chosen = ref.variable;
      }
      if (chosen) {
        ShaderReference ref;
        for (const Assignment& a : p.states)
          if (shaderReference(a.value, source, ref) && ref.param.size()) break;
        pd.selector = paramIndex(ref.param, ParamKind::Value);
        if (pd.selector == size_t(-1)) {
          errors += file + ": error: pass '" + p.name + "' chooses its shader by '" + ref.param +
                    "', which is no parameter\n";
          return false;
        }
        for (size_t e = 0; e < chosen->elements.size(); ++e) {
          PassData variant;
          variant.name = p.name;
          if (!buildPass(source, p, file, linkable, int(e), variant, errors)) return false;
          pd.variants.push_back(std::move(variant));
        }
        if (pd.variants.empty()) {
          errors += file + ": error: pass '" + p.name + "' chooses from no shaders\n";
          return false;
        }
        // What Begin saves: the states of the variants are the same.
        pd.states = pd.variants[0].states;
        pd.textures = pd.variants[0].textures;
        pd.samplers = pd.variants[0].samplers;
      } else if (!buildPass(source, p, file, linkable, -1, pd, errors)) {
        return false;
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
  savedStates.clear();
  savedTextures.clear();
  if (!(flags & D3DXFX_DONOTSAVESTATE)) {
    auto save = [&](const StateInfo& state, DWORD index) {
      if (state.target == StateTarget::Sampler && (flags & D3DXFX_DONOTSAVESAMPLERSTATE)) return;
      for (const SavedState& s : savedStates)
        if (s.state == &state && s.index == index) return;
      savedStates.push_back(saveState(device, state, index));
    };
    auto saveTexture = [&](DWORD unit) {
      for (auto& t : savedTextures)
        if (t.first == unit) return;
      IDirect3DBaseTexture9* texture = nullptr;
      device->GetTexture(unit, &texture);  // the reference is ours until End
      savedTextures.push_back({unit, texture});
    };
    for (const PassData& p : current->passes) {
      for (const StateAssign& a : p.states) {
        // A light the pass changes goes back with its enable.
        if (a.state->target == StateTarget::Light) save(*findPassState("LightEnable"), a.index);
        save(*a.state, a.index);
      }
      for (const TextureAssign& t : p.textures) saveTexture(t.unit);
      for (const SamplerBinding& b : p.samplers) {
        for (const Assignment& a : params[b.param].decl.samplerStates) {
          if (sameNoCase(a.state, "Texture")) {
            saveTexture(b.unit);
          } else if (const StateInfo* s = findSamplerState(a.state)) {
            save(*s, b.unit);
          }
        }
      }
    }
  }
  if (passes) *passes = UINT(current->passes.size());
  return D3D_OK;
}

void Effect::applySampler(SamplerBinding& b, bool start) {
  if (!b.read) {
    b.read = true;
    for (const Assignment& a : params[b.param].decl.samplerStates) {
      SamplerBinding::State state;
      if (sameNoCase(a.state, "Texture")) {
        state.param = paramIndex(reference(a.value), ParamKind::Texture);
      } else if ((state.state = findSamplerState(a.state))) {
        if (!parseStateValue(a.value, state.state->values, state.value)) continue;
        if (!state.value.param.empty()) {
          state.param = paramIndex(state.value.param, ParamKind::Value);
          if (state.param == size_t(-1)) continue;
        }
      } else {
        continue;
      }
      b.states.push_back(std::move(state));
    }
  }
  for (SamplerBinding::State& s : b.states) {
    const uint64_t version = s.param == size_t(-1) ? 0 : params[s.param].version;
    // After the start, only what follows a parameter that changed.
    if (!start && (version == s.seen || (s.state && s.param == size_t(-1)))) continue;
    s.seen = version;
    if (!s.state)
      device->SetTexture(b.unit, s.param == size_t(-1) ? nullptr : params[s.param].texture);
    else if (s.param == size_t(-1))
      applyState(device, *s.state, b.unit, s.value);
    else
      applyState(device, *s.state, b.unit, paramValue(s.param, s.value.element, s.state->values));
  }
}

void Effect::uploadPass(PassData& p, bool start) {
  // Textures and samplers: what follows parameters changed since.
  for (TextureAssign& t : p.textures) {
    const uint64_t version = t.param < params.size() ? params[t.param].version : 0;
    if (!start && version == t.seen) continue;
    t.seen = version;
    device->SetTexture(t.unit, t.param < params.size() ? params[t.param].texture : nullptr);
  }
  for (SamplerBinding& b : p.samplers) applySampler(b, start);
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
  if (p.alphaTest >= 0) uploadAlphaTest(p.program, p.alphaTest, p.alphaTestValue, start);
}

void Effect::uploadAlphaTest(GLuint program, GLint at, float last[4], bool force) {
  DWORD enabled = 0, function = D3DCMP_ALWAYS, reference = 0;
  device->GetRenderState(D3DRS_ALPHATESTENABLE, &enabled);
  device->GetRenderState(D3DRS_ALPHAFUNC, &function);
  device->GetRenderState(D3DRS_ALPHAREF, &reference);
  float test[4] = {enabled ? 1.0f : 0.0f, float(function), float(reference & 0xff), 0.0f};
  if (force || std::memcmp(test, last, sizeof test) != 0) {
    std::memcpy(last, test, sizeof test);
    glProgramUniform4fv(program, at, 1, test);
  }
}

void Effect::prepare(GLuint program) {
  if (!inPass || !inPass->shader) return;
  PassData& p = *inPass;
  auto found = p.linked.find(program);
  if (found == p.linked.end()) {
    PassData::Linked l;
    for (const auto& [name, unit] : p.samplerUnits) {
      GLint location = uniformLocation(program, name);
      if (location >= 0) glProgramUniform1i(program, location, GLint(unit));
    }
    const d3dx_hlsl::CompiledStage& stage = stages[size_t(p.shaderIsVertex ? p.vertex : p.pixel)];
    locateParams(program, stage, params, l.params);
    l.alphaTest = glGetUniformLocation(program, "fx_alphaTest");
    l.halfPixel = glGetUniformLocation(program, "fx_halfPixel");
    found = p.linked.emplace(program, l).first;
  }
  PassData::Linked& l = found->second;
  uploadParams(program, l.params, params);
  if (l.alphaTest >= 0) uploadAlphaTest(program, l.alphaTest, l.alphaTestValue, false);
  if (l.halfPixel >= 0) {
    D3DVIEWPORT9 vp{};
    device->GetViewport(&vp);
    const float shift = 2.0f * (0.5f - 1.0f / 256.0f);
    float half[2] = {vp.Width ? shift / float(vp.Width) : 0.0f,
                     vp.Height ? -shift / float(vp.Height) : 0.0f};
    if (std::memcmp(half, l.halfPixelValue, sizeof half) != 0) {
      std::memcpy(l.halfPixelValue, half, sizeof half);
      glProgramUniform2fv(program, l.halfPixel, 1, half);
    }
  }
}

HRESULT Effect::BeginPass(UINT pass) {
  if (!begun || inPass || pass >= current->passes.size()) return D3DERR_INVALIDCALL;
  PassData& outer = current->passes[pass];
  PassData* chosen = &outer;
  if (!outer.variants.empty()) {
    const std::vector<float>& v = params[outer.selector].values;
    long index = v.empty() ? 0 : std::lround(v[0]);
    chosen = &outer.variants[size_t(std::clamp<long>(index, 0, long(outer.variants.size()) - 1))];
  }
  PassData& p = *chosen;
  inPass = &p;
  // Programs the device made for the pass are found again (it may have
  // dropped some since).
  p.linked.clear();
  for (StateAssign& a : p.states) applyPassState(a);
  uploadPass(p, true);
  d3d9_gl::setProgram(device, p.program);
  d3d9_gl::setShader(device, p.shader, p.shaderIsVertex, p.shader ? &Effect::prepareThunk : nullptr,
                     this);
  programLeftOn = p.program != 0 || p.shader != 0;
  return D3D_OK;
}

void Effect::applyPassState(StateAssign& a) {
  StateValue value = a.value;
  if (a.param != size_t(-1))
    value = paramValue(a.param, a.value.element, a.state->values);
  else if (!a.expression.empty())
    evaluateState(a.expression, a.state->values, value);  // else the value it had
  applyState(device, *a.state, a.index, value);
  a.usesVersion = usesVersion(a);
}

HRESULT Effect::CommitChanges() {
  if (!inPass) return D3DERR_INVALIDCALL;
  // States that follow parameters changed since: only those, so that what
  // the application set itself since the pass began stays.
  for (StateAssign& a : inPass->states)
    if (!a.uses.empty() && usesVersion(a) != a.usesVersion) applyPassState(a);
  uploadPass(*inPass, false);
  return D3D_OK;
}

HRESULT Effect::End() {
  if (!begun) return D3DERR_INVALIDCALL;
  begun = false;
  inPass = nullptr;
  if (!(beginFlags & (D3DXFX_DONOTSAVESTATE | D3DXFX_DONOTSAVESHADERSTATE))) {
    d3d9_gl::setProgram(device, 0);
    d3d9_gl::setShader(device, 0, false, nullptr, nullptr);
    programLeftOn = false;
  }
  // In reverse, so that a light goes back before its enable.
  for (auto s = savedStates.rbegin(); s != savedStates.rend(); ++s) restoreState(device, *s);
  for (auto& t : savedTextures) {
    device->SetTexture(t.first, t.second);
    if (t.second) t.second->Release();
  }
  savedStates.clear();
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
  if (errorsOut && !errors.empty()) *errorsOut = makeBuffer(errors);  // the warnings
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
