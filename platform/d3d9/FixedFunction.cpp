#include "platform/d3d9/FixedFunction.h"

#include "platform/d3d9/VertexInput.h"

#include <GL/glext.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/d3d9/FixedFunctionText.h"
#include "platform/d3d9/GLInterop.h"
#include "platform/win32/LogSink.h"

namespace d3d9 {

using namespace shader_text;
namespace {

bool usesArg0(DWORD op) { return op == D3DTOP_MULTIPLYADD || op == D3DTOP_LERP; }
bool usesArg1(DWORD op) { return op != D3DTOP_SELECTARG2; }
bool usesArg2(DWORD op) { return op != D3DTOP_SELECTARG1 && op != D3DTOP_PREMODULATE; }
bool validOp(DWORD op) { return op >= D3DTOP_DISABLE && op <= D3DTOP_LERP; }

bool argIsTexture(uint8_t arg) { return (arg & D3DTA_SELECTMASK) == D3DTA_TEXTURE; }

}  // namespace

bool ProgramKey::operator==(const ProgramKey& other) const {
  return std::memcmp(this, &other, sizeof *this) == 0;
}

size_t ProgramKeyHash::operator()(const ProgramKey& key) const {
  // FNV-1a over the key eight bytes at a time (a key is looked up whenever
  // the settings move), the bytes past the last whole eight after them.
  const auto* bytes = reinterpret_cast<const uint8_t*>(&key);
  uint64_t hash = 1469598103934665603ull;
  size_t i = 0;
  for (; i + 8 <= sizeof key; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    hash ^= word;
    hash *= 1099511628211ull;
  }
  for (; i < sizeof key; ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211ull;
  }
  // The product's high bits depend on all of a word, its low bits only on
  // the low bits: fold them together.
  return size_t(hash ^ (hash >> 29));
}

namespace {

// Where stage `ss`'s texture coordinate comes from.
StageCoordKey coordKey(const DWORD* ss, bool rhw) {
  StageCoordKey c{};
  DWORD index = ss[D3DTSS_TEXCOORDINDEX];
  c.set = uint8_t(std::min<DWORD>(index & 0xffff, 7));
  if (rhw) return c;
  DWORD generate = (index >> 16) & 0xffff;
  c.generate = uint8_t(generate <= 4 ? generate : 0);
  DWORD flags = ss[D3DTSS_TEXTURETRANSFORMFLAGS];
  c.count = uint8_t(std::min<DWORD>(flags & 0xff, 4));
  c.projected = (flags & D3DTTFF_PROJECTED) && c.count > 1;
  return c;
}

}  // namespace

ProgramKey makeProgramKey(const DeviceState& s, const VertexInput& input,
                          const TextureKind textureKinds[D3DMAX_TEXTURE_STAGES], bool points) {
  ProgramKey k;
  std::memset(&k, 0, sizeof k);
  const DWORD* rs = s.renderStates;

  k.position = input.position;
  bool rhw = k.position == kPositionRHW;
  k.vertexWeights = uint8_t(std::min<int>(input.weights, 3));
  k.blendMatrices = 1;
  DWORD blend = rs[D3DRS_VERTEXBLEND];
  if (!rhw && blend >= D3DVBF_1WEIGHTS && blend <= D3DVBF_3WEIGHTS)
    k.blendMatrices = uint8_t(std::min<int>(int(blend), k.vertexWeights) + 1);

  k.hasNormal = !rhw && input.normal;
  k.hasPointSize = input.pointSize;
  k.hasDiffuse = input.diffuse;
  k.hasSpecular = input.specular;
  for (int i = 0; i < 8; ++i) k.texCoordSize[i] = input.texCoordSize[i];

  k.lighting = !rhw && rs[D3DRS_LIGHTING];
  bool specularOn = rs[D3DRS_SPECULARENABLE] != 0;
  if (k.lighting) {
    size_t active = std::min<size_t>(s.activeLights.size(), D3DMAX_ACTIVE_LIGHTS);
    for (size_t i = 0; i < active; ++i) {
      switch (s.lights.at(s.activeLights[i]).light.Type) {
        case D3DLIGHT_DIRECTIONAL:
          k.directionalLights++;
          break;
        case D3DLIGHT_POINT:
          k.pointLights++;
          break;
        default:
          k.spotLights++;
          break;
      }
    }
    k.localViewer = specularOn && rs[D3DRS_LOCALVIEWER];
    k.normalizeNormals = k.hasNormal && rs[D3DRS_NORMALIZENORMALS];
    auto source = [&](D3DRENDERSTATETYPE id) -> uint8_t {
      if (!rs[D3DRS_COLORVERTEX]) return kFromMaterial;
      if (rs[id] == D3DMCS_COLOR1 && k.hasDiffuse) return kFromDiffuse;
      if (rs[id] == D3DMCS_COLOR2 && k.hasSpecular) return kFromSpecular;
      return kFromMaterial;
    };
    k.diffuseSource = source(D3DRS_DIFFUSEMATERIALSOURCE);
    k.ambientSource = source(D3DRS_AMBIENTMATERIALSOURCE);
    k.specularSource = specularOn ? source(D3DRS_SPECULARMATERIALSOURCE) : 0;
    k.emissiveSource = source(D3DRS_EMISSIVEMATERIALSOURCE);
  }

  if (rs[D3DRS_FOGENABLE]) {
    DWORD table = rs[D3DRS_FOGTABLEMODE], vertex = rs[D3DRS_FOGVERTEXMODE];
    if (table >= D3DFOG_EXP && table <= D3DFOG_LINEAR) {
      k.fog = 2;
      k.tableFog = uint8_t(table);
      // Perspective projections fog on eye depth, others on z.
      const D3DMATRIX& p = s.projection;
      k.fogFromW = !(p._14 == 0.0f && p._24 == 0.0f && p._34 == 0.0f && p._44 == 1.0f);
    } else if (rhw) {
      k.fog = 1;  // the factor comes in the specular colour's alpha
    } else if (vertex >= D3DFOG_EXP && vertex <= D3DFOG_LINEAR) {
      k.fog = 1;
      k.vertexFog = uint8_t(vertex);
      k.rangeFog = rs[D3DRS_RANGEFOGENABLE] != 0;
    }
  }
  k.pointScale = !rhw && rs[D3DRS_POINTSCALEENABLE];
  k.clipPlanes = rhw ? 0 : uint8_t(rs[D3DRS_CLIPPLANEENABLE] & 0x3f);

  int stage = 0;
  for (; stage < D3DMAX_TEXTURE_STAGES; ++stage) {
    const DWORD* ss = s.stageStates[stage];
    DWORD colorOp = ss[D3DTSS_COLOROP];
    if (colorOp == D3DTOP_DISABLE || !validOp(colorOp)) break;
    StageKey& st = k.stage[stage];
    st.colorOp = uint8_t(colorOp);
    DWORD alphaOp = ss[D3DTSS_ALPHAOP];
    st.alphaOp = uint8_t(validOp(alphaOp) ? alphaOp : D3DTOP_DISABLE);
    auto arg = [&](D3DTEXTURESTAGESTATETYPE id) { return uint8_t(ss[id] & 0x3f); };
    if (usesArg0(colorOp)) st.colorArg[0] = arg(D3DTSS_COLORARG0);
    if (usesArg1(colorOp)) st.colorArg[1] = arg(D3DTSS_COLORARG1);
    if (usesArg2(colorOp)) st.colorArg[2] = arg(D3DTSS_COLORARG2);
    if (st.alphaOp != D3DTOP_DISABLE) {
      if (usesArg0(alphaOp)) st.alphaArg[0] = arg(D3DTSS_ALPHAARG0);
      if (usesArg1(alphaOp)) st.alphaArg[1] = arg(D3DTSS_ALPHAARG1);
      if (usesArg2(alphaOp)) st.alphaArg[2] = arg(D3DTSS_ALPHAARG2);
    }
    st.resultTemp = (ss[D3DTSS_RESULTARG] & D3DTA_SELECTMASK) == D3DTA_TEMP;
    bool sampled = colorOp == D3DTOP_BLENDTEXTUREALPHA || colorOp == D3DTOP_BLENDTEXTUREALPHAPM ||
                   alphaOp == D3DTOP_BLENDTEXTUREALPHA || alphaOp == D3DTOP_BLENDTEXTUREALPHAPM;
    // Arguments an operation does not read stay zero (D3DTA_DIFFUSE), so
    // only those it reads can ask for the texture.
    for (int a = 0; a < 3; ++a)
      sampled = sampled || argIsTexture(st.colorArg[a]) || argIsTexture(st.alphaArg[a]);
    if (sampled) st.texture = textureKinds[stage];
    if (st.texture != kTextureNone) k.coord[stage] = coordKey(ss, rhw);
  }
  k.stageCount = uint8_t(stage);
  k.specularAdd = specularOn && (k.lighting || k.hasSpecular);
  if (rs[D3DRS_ALPHATESTENABLE]) {
    DWORD func = rs[D3DRS_ALPHAFUNC];
    if (func >= D3DCMP_NEVER && func < D3DCMP_ALWAYS) k.alphaFunc = uint8_t(func);
  }
  k.flat = rs[D3DRS_SHADEMODE] == D3DSHADE_FLAT;
  k.points = points;
  k.pointSprite = points && rs[D3DRS_POINTSPRITEENABLE] != 0;
  return k;
}

ProgramKey makeShaderVertexKey(const DeviceState& s, const VertexInput& input, bool points) {
  const TextureKind none[D3DMAX_TEXTURE_STAGES] = {};
  ProgramKey k = makeProgramKey(s, input, none, points);
  // Only what the vertex stage computes stays in the key.
  k.shaderCoords = 1;
  k.stageCount = D3DMAX_TEXTURE_STAGES;
  for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) {
    k.stage[i] = {};
    k.coord[i] = coordKey(s.stageStates[i], k.position == kPositionRHW);
  }
  k.specularAdd = 0;
  if (k.fog != 1) k.fog = 0;
  k.tableFog = k.fogFromW = 0;
  k.alphaFunc = 0;
  k.flat = 0;
  k.pointSprite = 0;
  return k;
}

ProgramKey makeShaderFragmentKey(const DeviceState& s, const VertexInput& input,
                                 const TextureKind textureKinds[D3DMAX_TEXTURE_STAGES],
                                 bool points) {
  ProgramKey k = makeProgramKey(s, input, textureKinds, points);
  // Only what the fragment stage computes stays in the key.
  ProgramKey f;
  std::memset(&f, 0, sizeof f);
  f.shaderCoords = 1;
  f.stageCount = k.stageCount;
  std::memcpy(f.stage, k.stage, sizeof f.stage);
  for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) {
    f.coord[i].projected = k.coord[i].projected;
    f.coord[i].count = k.coord[i].projected ? k.coord[i].count : 0;
  }
  f.fog = k.fog;
  f.tableFog = k.tableFog;
  f.fogFromW = k.fogFromW;
  f.alphaFunc = k.alphaFunc;
  f.points = k.points;
  f.pointSprite = k.pointSprite;
  return f;
}

// ---------------------------------------------------------------------------
// Program cache

ProgramCache::~ProgramCache() { clear(); }

void ProgramCache::clear() {
  for (auto& entry : programs)
    if (entry.second && entry.second->name) glDeleteProgram(entry.second->name);
  programs.clear();
  for (auto& forShader : withShader)
    for (auto& entry : forShader.second)
      if (entry.second && entry.second->name) glDeleteProgram(entry.second->name);
  withShader.clear();
}

Program* ProgramCache::get(const ProgramKey& key) {
  auto found = programs.find(key);
  if (found != programs.end()) return found->second.get();
  auto& slot = programs[key];
  std::string log;
  std::string vs = vertexShaderSource(key), fs = fragmentShaderSource(key);
  GLuint vertex = d3d9_gl::compileShader(GL_VERTEX_SHADER, vs, log);
  GLuint fragment = vertex ? d3d9_gl::compileShader(GL_FRAGMENT_SHADER, fs, log) : 0;
  if (!vertex || !fragment) {
    if (vertex) glDeleteShader(vertex);
    platformLog(("fixed-function shader refused: " + log).c_str());
    return nullptr;  // the empty slot keeps us from trying again
  }
  GLuint program = d3d9_gl::linkShaders(vertex, fragment, log);
  if (!program) {
    platformLog(("fixed-function program refused: " + log).c_str());
    return nullptr;
  }
  slot = made(key, program);
  return slot.get();
}

Program* ProgramCache::getWithShader(const ProgramKey& key, GLuint shader, bool shaderIsVertex) {
  auto& forFragment = withShader[shader];
  auto found = forFragment.find(key);
  if (found != forFragment.end()) return found->second.get();
  if (forFragment.size() >= 256) {  // states that wander without end
    for (auto& entry : forFragment)
      if (entry.second) glDeleteProgram(entry.second->name);
    forFragment.clear();
  }
  auto& slot = forFragment[key];
  std::string log;
  GLuint ours = shaderIsVertex
                    ? d3d9_gl::compileShader(GL_FRAGMENT_SHADER, fragmentShaderSource(key), log)
                    : d3d9_gl::compileShader(GL_VERTEX_SHADER, vertexShaderSource(key), log);
  if (!ours) {
    platformLog(("fixed-function shader refused: " + log).c_str());
    return nullptr;
  }
  // The caller's shader stays theirs: attached, linked, not deleted.
  GLuint program = glCreateProgram();
  glAttachShader(program, ours);
  glAttachShader(program, shader);
  glLinkProgram(program);
  glDetachShader(program, ours);
  glDetachShader(program, shader);
  glDeleteShader(ours);
  GLint ok = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    char buffer[2048] = {};
    glGetProgramInfoLog(program, sizeof buffer - 1, nullptr, buffer);
    platformLog(
        (std::string("fixed-function stage does not link with a shader of the caller's: ") + buffer)
            .c_str());
    glDeleteProgram(program);
    return nullptr;
  }
  slot = made(key, program);
  return slot.get();
}

void ProgramCache::forgetShader(GLuint shader) {
  auto found = withShader.find(shader);
  if (found == withShader.end()) return;
  for (auto& entry : found->second)
    if (entry.second) glDeleteProgram(entry.second->name);
  withShader.erase(found);
}

std::unique_ptr<Program> ProgramCache::made(const ProgramKey& key, GLuint program) {
  auto p = std::make_unique<Program>();
  p->name = program;
  p->blendMatrices = key.blendMatrices;
  p->lights = key.directionalLights + key.pointLights + key.spotLights;
  p->lit = key.lighting != 0;
  p->normals = usesNormals(key);
  p->projected = projectsInOne(key);
  ProgramUniforms& u = p->uniforms;
  auto at = [&](const char* name) { return glGetUniformLocation(program, name); };
  u.worldView = at("u_worldViewNormal");
  u.projection = at("u_projection");
  u.world = at("u_world");
  u.viewport = at("u_viewport");
  u.depthRange = at("u_depthRange");
  u.materialDiffuse = at("u_materialDiffuse");
  u.materialAmbient = at("u_materialAmbient");
  u.materialSpecular = at("u_materialSpecular");
  u.materialEmissive = at("u_materialEmissive");
  u.materialPower = at("u_materialPower");
  u.globalAmbient = at("u_globalAmbient");
  u.litColour = at("u_litColour");
  u.litSpecular = at("u_litSpecular");
  u.litAmbient = at("u_litAmbient");
  u.lightDiffuse = at("u_lightDiffuse");
  u.lightSpecular = at("u_lightSpecular");
  u.lightAmbient = at("u_lightAmbient");
  u.lightPosition = at("u_lightPosition");
  u.lightDirection = at("u_lightDirection");
  u.lightAttenuation = at("u_lightAttenuation");
  u.lightSpot = at("u_lightSpot");
  u.fog = at("u_fog");
  u.fogColor = at("u_fogColor");
  u.textureFactor = at("u_textureFactor");
  u.stageConstant = at("u_stageConstant");
  u.textureMatrix = at("u_textureMatrix");
  u.alphaRef = at("u_alphaRef");
  u.pointSize = at("u_pointSize");
  u.pointScale = at("u_pointScale");
  u.clipPlane = at("u_clipPlane");
  // Samplers are fixed to the unit of their stage.
  for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) {
    GLint location = at(("u_sampler" + std::to_string(i)).c_str());
    if (location >= 0) glProgramUniform1i(program, location, i);
  }
  return p;
}

}  // namespace d3d9
