#include "platform/d3d9/FixedFunction.h"

#include "platform/d3d9/VertexInput.h"

#include <GL/glext.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/d3d9/GLInterop.h"
#include "platform/win32/LogSink.h"

namespace d3d9 {

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
  // FNV-1a over the key's bytes.
  const auto* bytes = reinterpret_cast<const uint8_t*>(&key);
  uint64_t hash = 1469598103934665603ull;
  for (size_t i = 0; i < sizeof key; ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211ull;
  }
  return size_t(hash);
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
                                 const TextureKind textureKinds[D3DMAX_TEXTURE_STAGES], bool points) {
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
// Vertex shader

namespace {

std::string n(int value) { return std::to_string(value); }

const char* kCommonHeader = "#version 330 core\n";

}  // namespace

bool usesNormals(const ProgramKey& k) {
  if (!k.hasNormal) return false;
  if (k.lighting) return true;
  for (int i = 0; i < k.stageCount; ++i) {
    int g = k.coord[i].generate;
    if (k.stage[i].texture && (g == 1 || g == 3 || g == 4)) return true;
  }
  return false;
}

bool litFromMaterial(const ProgramKey& k) {
  return k.lighting && k.diffuseSource == kFromMaterial && k.ambientSource == kFromMaterial &&
         k.emissiveSource == kFromMaterial && k.specularSource == kFromMaterial;
}

namespace {

// Whether the fragment stage receives the specular colour. SPECULARENABLE
// governs the stages' D3DTA_SPECULAR argument too: off, it reads as black.
bool needsSpecular(const ProgramKey& k) { return k.specularAdd || k.shaderCoords; }

// Components of stage i's texture coordinate between the stages: as many
// as the lookup needs (0 when point sprites supply them).
int coordWidth(const ProgramKey& k, int i) {
  if (k.shaderCoords) return 4;
  if (!k.stage[i].texture || k.pointSprite) return 0;
  if (k.coord[i].projected) return 4;
  return k.stage[i].texture == kTextureCube ? 3 : 2;
}

std::string vecType(int width) { return width == 1 ? "float" : "vec" + std::to_string(width); }

std::string swizzle(int width) { return std::string(".xyzw").substr(0, size_t(width) + 1); }

std::string materialColour(uint8_t source, const char* material) {
  switch (source) {
    case kFromDiffuse:
      return "diffuseIn";
    case kFromSpecular:
      return "specularIn";
    default:
      return material;
  }
}

}  // namespace

std::string vertexShaderSource(const ProgramKey& k) {
  std::string s = kCommonHeader;
  const char* flat = k.flat ? "flat " : "";
  // Attributes are declared with the components the vertices hold, which
  // spares the vertex fetch its filling in.
  bool fourComponents = k.position == kPositionRHW || k.position == kPositionXYZW;
  s += std::string("layout(location = 0) in ") + (fourComponents ? "vec4" : "vec3") +
       " a_position;\n";
  if (k.blendMatrices > 1) s += "layout(location = 1) in vec4 a_weights;\n";
  if (k.hasNormal) s += "layout(location = 3) in vec3 a_normal;\n";
  if (k.hasPointSize) s += "layout(location = 4) in float a_pointSize;\n";
  if (k.hasDiffuse) s += "layout(location = 5) in vec4 a_diffuse;\n";
  if (k.hasSpecular) s += "layout(location = 6) in vec4 a_specular;\n";
  for (int i = 0; i < 8; ++i)
    if (k.texCoordSize[i])
      s += "layout(location = " + n(kAttrTexCoord0 + i) + ") in " + vecType(k.texCoordSize[i]) +
           " a_tex" + n(i) + ";\n";
  // Per blend matrix seven rows: the world-view matrix, then the normal
  // matrix, in one array so that a change is one upload.
  s += "uniform vec4 u_worldViewNormal[" + n(7 * k.blendMatrices) + "];\n"
       "mat4 worldView(int i) {\n"
       "  return mat4(u_worldViewNormal[7 * i], u_worldViewNormal[7 * i + 1], "
       "u_worldViewNormal[7 * i + 2], u_worldViewNormal[7 * i + 3]);\n}\n"
       "mat3 normalMatrix(int i) {\n"
       "  return mat3(u_worldViewNormal[7 * i + 4].xyz, u_worldViewNormal[7 * i + 5].xyz, "
       "u_worldViewNormal[7 * i + 6].xyz);\n}\n"
       "uniform mat4 u_projection;\n"
       "uniform mat4 u_world;\nuniform vec4 u_viewport;\nuniform vec2 u_depthRange;\n";
  int lights = k.directionalLights + k.pointLights + k.spotLights;
  bool fromMaterial = litFromMaterial(k);
  if (fromMaterial) {
    // Every colour from the material: what does not vary per vertex comes
    // ready made, the lights' colours multiplied by the material's. Entry 0
    // of u_litColour holds emissive + ambient x (global ambient + the
    // directional lights' ambient) and the material's diffuse alpha, entry
    // 1 + j light j's diffuse colour, so that a new material is one upload.
    s += "uniform vec4 u_litColour[" + n(1 + lights) + "];\nuniform vec4 u_materialSpecular;\n"
         "uniform float u_materialPower;\n";
    if (lights) {
      std::string count = "[" + n(lights) + "]";
      s += "uniform vec4 u_litSpecular" + count + ", u_litAmbient" +
           count + ", u_lightPosition" + count + ", u_lightDirection" + count +
           ", u_lightAttenuation" + count + ", u_lightSpot" + count + ";\n";
    }
  } else if (k.lighting) {
    s += "uniform vec4 u_materialDiffuse, u_materialAmbient, u_materialSpecular, "
         "u_materialEmissive;\nuniform float u_materialPower;\nuniform vec4 u_globalAmbient;\n";
    if (lights) {
      std::string count = "[" + n(lights) + "]";
      s += "uniform vec4 u_lightDiffuse" + count + ", u_lightSpecular" + count + ", u_lightAmbient" +
           count + ", u_lightPosition" + count + ", u_lightDirection" + count +
           ", u_lightAttenuation" + count + ", u_lightSpot" + count + ";\n";
    }
  }
  if (k.vertexFog) s += "uniform vec4 u_fog;\n";
  s += "uniform vec4 u_pointSize;\nuniform vec4 u_pointScale;\n";
  if (k.clipPlanes) s += "uniform vec4 u_clipPlane[6];\n";
  bool anyTransform = false;
  for (int i = 0; i < k.stageCount; ++i) anyTransform = anyTransform || k.coord[i].count;
  if (anyTransform) s += "uniform mat4 u_textureMatrix[8];\n";
  bool specularOut = needsSpecular(k);
  s += std::string(flat) + "out vec4 v_diffuse;\n";
  if (specularOut) s += std::string(flat) + "out vec4 v_specular;\n";
  if (k.fog == 1) s += "out float v_fog;\n";
  bool unitNormalNeeded = k.normalizeNormals;
  for (int i = 0; i < k.stageCount; ++i) {
    if (int width = coordWidth(k, i)) s += "out " + vecType(width) + " v_tex" + n(i) + ";\n";
    int g = k.coord[i].generate;
    if ((k.stage[i].texture || k.shaderCoords) && (g == 1 || g == 3 || g == 4)) unitNormalNeeded = true;
  }

  s += "void main() {\n";
  s += std::string("  vec4 diffuseIn = ") + (k.hasDiffuse ? "a_diffuse" : "vec4(1.0)") + ";\n";
  s += std::string("  vec4 specularIn = ") + (k.hasSpecular ? "a_specular" : "vec4(0.0)") + ";\n";
  if (k.position == kPositionRHW) {
    // Screen coordinates: Direct3D samples pixel centres at whole numbers,
    // GL at halves. The shift is one sub-pixel step short of half a pixel,
    // so that edges on whole numbers never tie with GL's centres and
    // Direct3D's top-left rule decides (GL's own would pick bottom-left
    // with this origin).
    s += "  float w = a_position.w > 0.0 ? 1.0 / a_position.w : 1.0;\n"
         "  const float shift = 0.5 - 1.0 / 256.0;\n"
         "  vec2 ndc = vec2((a_position.x + shift - u_viewport.x) / u_viewport.z * 2.0 - 1.0,\n"
         "                  1.0 - (a_position.y + shift - u_viewport.y) / u_viewport.w * 2.0);\n"
         "  float range = u_depthRange.y - u_depthRange.x;\n"
         "  float z = range > 0.0 ? (a_position.z - u_depthRange.x) / range : a_position.z;\n"
         "  gl_Position = vec4(ndc * w, z * w, w);\n"
         "  vec3 normal = vec3(0.0);\n  vec4 eye = vec4(0.0, 0.0, 0.0, 1.0);\n";
  } else {
    s += k.position == kPositionXYZW ? "  vec4 p = a_position;\n"
                                     : "  vec4 p = vec4(a_position.xyz, 1.0);\n";
    s += std::string("  vec3 n = ") + (k.hasNormal ? "a_normal" : "vec3(0.0)") + ";\n";
    if (k.blendMatrices > 1) {
      s += "  float weights[4];\n  float last = 1.0;\n";
      for (int i = 0; i + 1 < k.blendMatrices; ++i) {
        const char* c = "xyzw";
        s += "  weights[" + n(i) + "] = a_weights." + c[i] + ";\n  last -= a_weights." + c[i] + ";\n";
      }
      s += "  weights[" + n(k.blendMatrices - 1) + "] = last;\n";
      s += "  vec4 eye = vec4(0.0);\n  vec3 normal = vec3(0.0);\n";
      s += "  for (int i = 0; i < " + n(k.blendMatrices) + "; ++i) {\n"
           "    eye += weights[i] * (worldView(i) * p);\n"
           "    normal += weights[i] * (normalMatrix(i) * n);\n  }\n";
    } else {
      s += "  vec4 eye = worldView(0) * p;\n  vec3 normal = normalMatrix(0) * n;\n";
    }
    if (unitNormalNeeded) {
      // Generated coordinates always use a unit normal; lighting only when
      // asked to.
      s += "  float normalLength = length(normal);\n"
           "  vec3 unitNormal = normalLength > 0.0 ? normal / normalLength : normal;\n";
      if (k.normalizeNormals) s += "  normal = unitNormal;\n";
    }
    // (The projection holds the half-pixel shift to Direct3D's pixel centres.)
    s += "  gl_Position = u_projection * eye;\n";
  }

  if (fromMaterial) {
    s += "  vec3 colour = u_litColour[0].rgb;\n  vec3 specular = vec3(0.0);\n";
    if (k.specularAdd)
      s += std::string("  vec3 toViewer = ") +
           (k.localViewer ? "normalize(-eye.xyz)" : "vec3(0.0, 0.0, -1.0)") + ";\n";
    auto lightBody = [&](int i, int type) {
      std::string j = n(i);
      s += "  {\n";
      if (type == D3DLIGHT_DIRECTIONAL) {
        s += "    vec3 L = -u_lightDirection[" + j + "].xyz;\n"
             "    float NdotL = max(dot(normal, L), 0.0);\n"
             "    colour += NdotL * u_litColour[" + n(1 + i) + "].rgb;\n";
      } else {
        s += "    vec3 d = u_lightPosition[" + j + "].xyz - eye.xyz;\n"
             "    float dist = length(d);\n"
             "    vec3 L = dist > 0.0 ? d / dist : vec3(0.0, 0.0, -1.0);\n"
             "    vec4 A = u_lightAttenuation[" + j + "];\n"
             "    float att = dist > A.w ? 0.0 : 1.0 / max(A.x + A.y * dist + A.z * dist * dist, 1e-20);\n";
        if (type == D3DLIGHT_SPOT)
          s += "    vec4 S = u_lightSpot[" + j + "];\n"
               "    float rho = dot(-L, u_lightDirection[" + j + "].xyz);\n"
               "    float spot = rho > S.x ? 1.0 : (rho <= S.y ? 0.0 : "
               "pow(max((rho - S.y) / max(S.x - S.y, 1e-20), 0.0), S.z));\n"
               "    att *= spot;\n";
        s += "    float NdotL = max(dot(normal, L), 0.0);\n"
             "    colour += att * (u_litAmbient[" + j + "].rgb + NdotL * u_litColour[" + n(1 + i) + "].rgb);\n";
      }
      if (k.specularAdd)
        s += std::string("    if (NdotL > 0.0) {\n"
                         "      vec3 H = normalize(L + toViewer);\n"
                         "      float NdotH = max(dot(normal, H), 0.0);\n"
                         "      specular += ") +
             (type == D3DLIGHT_DIRECTIONAL ? "" : "att * ") + "pow(NdotH, u_materialPower) * u_litSpecular[" +
             j + "].rgb;\n    }\n";
      s += "  }\n";
    };
    int index = 0;
    for (int i = 0; i < k.directionalLights; ++i) lightBody(index++, D3DLIGHT_DIRECTIONAL);
    for (int i = 0; i < k.pointLights; ++i) lightBody(index++, D3DLIGHT_POINT);
    for (int i = 0; i < k.spotLights; ++i) lightBody(index++, D3DLIGHT_SPOT);
    s += "  v_diffuse = clamp(vec4(colour, u_litColour[0].a), 0.0, 1.0);\n";
    if (specularOut) s += "  v_specular = clamp(vec4(specular, u_materialSpecular.a), 0.0, 1.0);\n";
  } else if (k.lighting) {
    s += "  vec4 md = " + materialColour(k.diffuseSource, "u_materialDiffuse") + ";\n";
    s += "  vec4 ma = " + materialColour(k.ambientSource, "u_materialAmbient") + ";\n";
    s += "  vec4 ms = " + materialColour(k.specularSource, "u_materialSpecular") + ";\n";
    s += "  vec4 me = " + materialColour(k.emissiveSource, "u_materialEmissive") + ";\n";
    s += "  vec3 ambient = u_globalAmbient.rgb;\n  vec3 diffuse = vec3(0.0);\n"
         "  vec3 specular = vec3(0.0);\n";
    if (k.specularAdd)
      s += std::string("  vec3 toViewer = ") +
           (k.localViewer ? "normalize(-eye.xyz)" : "vec3(0.0, 0.0, -1.0)") + ";\n";
    int index = 0;
    auto lightBody = [&](int i, int type) {
      std::string j = n(i);
      s += "  {\n";
      if (type == D3DLIGHT_DIRECTIONAL) {
        s += "    vec3 L = -u_lightDirection[" + j + "].xyz;\n    float att = 1.0;\n";
      } else {
        s += "    vec3 d = u_lightPosition[" + j + "].xyz - eye.xyz;\n"
             "    float dist = length(d);\n"
             "    vec3 L = dist > 0.0 ? d / dist : vec3(0.0, 0.0, -1.0);\n"
             "    vec4 A = u_lightAttenuation[" + j + "];\n"
             "    float att = dist > A.w ? 0.0 : 1.0 / max(A.x + A.y * dist + A.z * dist * dist, 1e-20);\n";
        if (type == D3DLIGHT_SPOT)
          s += "    vec4 S = u_lightSpot[" + j + "];\n"
               "    float rho = dot(-L, u_lightDirection[" + j + "].xyz);\n"
               "    float spot = rho > S.x ? 1.0 : (rho <= S.y ? 0.0 : "
               "pow(max((rho - S.y) / max(S.x - S.y, 1e-20), 0.0), S.z));\n"
               "    att *= spot;\n";
      }
      s += "    float NdotL = max(dot(normal, L), 0.0);\n"
           "    ambient += att * u_lightAmbient[" + j + "].rgb;\n"
           "    diffuse += att * NdotL * u_lightDiffuse[" + j + "].rgb;\n";
      if (k.specularAdd)
        s += "    if (NdotL > 0.0) {\n"
             "      vec3 H = normalize(L + toViewer);\n"
             "      float NdotH = max(dot(normal, H), 0.0);\n"
             "      specular += att * pow(NdotH, u_materialPower) * u_lightSpecular[" + j + "].rgb;\n"
             "    }\n";
      s += "  }\n";
    };
    for (int i = 0; i < k.directionalLights; ++i) lightBody(index++, D3DLIGHT_DIRECTIONAL);
    for (int i = 0; i < k.pointLights; ++i) lightBody(index++, D3DLIGHT_POINT);
    for (int i = 0; i < k.spotLights; ++i) lightBody(index++, D3DLIGHT_SPOT);
    s += "  v_diffuse = clamp(vec4(me.rgb + ma.rgb * ambient + md.rgb * diffuse, md.a), 0.0, 1.0);\n";
    if (specularOut) s += "  v_specular = clamp(vec4(ms.rgb * specular, ms.a), 0.0, 1.0);\n";
  } else {
    s += "  v_diffuse = diffuseIn;\n";
    if (specularOut) s += "  v_specular = specularIn;\n";
  }

  if (k.fog == 1) {
    if (k.vertexFog) {
      s += std::string("  float fogDistance = ") + (k.rangeFog ? "length(eye.xyz)" : "abs(eye.z)") + ";\n";
      switch (k.vertexFog) {
        case D3DFOG_LINEAR:
          s += "  float fogFactor = (u_fog.y - fogDistance) / (u_fog.y - u_fog.x);\n";
          break;
        case D3DFOG_EXP:
          s += "  float fogFactor = exp(-fogDistance * u_fog.z);\n";
          break;
        default:
          s += "  float fogFactor = exp(-(fogDistance * u_fog.z) * (fogDistance * u_fog.z));\n";
          break;
      }
      s += "  v_fog = clamp(fogFactor, 0.0, 1.0);\n";
    } else {
      s += std::string("  v_fog = ") + (k.hasSpecular ? "a_specular.a" : "1.0") + ";\n";
    }
  }

  for (int i = 0; i < k.stageCount; ++i) {
    int width = coordWidth(k, i);
    if (!width) continue;
    const StageCoordKey& c = k.coord[i];
    s += "  {\n  vec4 t;\n";
    std::string out = "t";
    switch (c.generate) {
      case 1:
        s += "  " + out + " = vec4(unitNormal, 1.0);\n";
        break;
      case 2:
        s += "  " + out + " = vec4(eye.xyz, 1.0);\n";
        break;
      case 3:
        s += "  " + out + " = vec4(reflect(normalize(eye.xyz), unitNormal), 1.0);\n";
        break;
      case 4:
        s += "  {\n    vec3 r = reflect(normalize(eye.xyz), unitNormal);\n"
             "    float m = 2.0 * sqrt(r.x * r.x + r.y * r.y + (r.z - 1.0) * (r.z - 1.0));\n"
             "    " + out + " = vec4(r.x / m + 0.5, -r.y / m + 0.5, 0.0, 1.0);\n  }\n";
        break;
      default: {
        // Missing components are filled so that the texture transform's
        // translation row lines up with the coordinate's size. Untransformed,
        // they read as GL fills the attribute (0, and 1 for w), so that a 1D
        // coordinate samples at v = 0.
        int declared = k.texCoordSize[c.set];
        int size = !c.count && declared ? 4 : declared;
        std::string a = "a_tex" + n(c.set);
        switch (size) {
          case 0:
            s += "  " + out + " = vec4(0.0, 0.0, 0.0, 1.0);\n";
            break;
          case 1:
            s += "  " + out + " = vec4(" + a + ", 1.0, 0.0, 0.0);\n";
            break;
          case 2:
            s += "  " + out + " = vec4(" + a + ".xy, 1.0, 0.0);\n";
            break;
          case 3:
            s += "  " + out + " = vec4(" + a + ".xyz, 1.0);\n";
            break;
          default: {
            // As GL fills a shorter attribute: 0 for y and z, 1 for w.
            const char* fill[] = {"", ", 0.0, 0.0, 1.0", ", 0.0, 1.0", ", 1.0", ""};
            s += "  " + out + " = " + (declared == 4 ? a : "vec4(" + a + fill[declared] + ")") + ";\n";
            break;
          }
        }
      }
    }
    if (c.count) s += "  t = u_textureMatrix[" + n(i) + "] * t;\n";
    s += "  v_tex" + n(i) + " = t" + swizzle(width) + ";\n  }\n";
  }

  if (k.points) {
    s += std::string("  float size = ") + (k.hasPointSize ? "a_pointSize" : "u_pointSize.x") + ";\n";
    if (k.pointScale)
      s += "  float pd = length(eye.xyz);\n"
           "  size = u_pointScale.w * size * sqrt(1.0 / max(u_pointScale.x + u_pointScale.y * pd + "
           "u_pointScale.z * pd * pd, 1e-20));\n";
    s += "  gl_PointSize = clamp(size, u_pointSize.y, u_pointSize.z);\n";
  }
  if (k.clipPlanes) {
    s += "  vec4 worldPosition = u_world * p;\n";
    for (int i = 0; i < 6; ++i)
      if (k.clipPlanes & (1 << i))
        s += "  gl_ClipDistance[" + n(i) + "] = dot(u_clipPlane[" + n(i) + "], worldPosition);\n";
  }
  s += "}\n";
  return s;
}

// ---------------------------------------------------------------------------
// Fragment shader

namespace {

// The value of an argument as a vec4 expression.
std::string argument(uint8_t arg, int stage) {
  std::string v;
  switch (arg & D3DTA_SELECTMASK) {
    case D3DTA_DIFFUSE:
      v = "diffuse";
      break;
    case D3DTA_CURRENT:
      v = "current";
      break;
    case D3DTA_TEXTURE:
      v = "tex";
      break;
    case D3DTA_TFACTOR:
      v = "u_textureFactor";
      break;
    case D3DTA_SPECULAR:
      v = "specular";
      break;
    case D3DTA_TEMP:
      v = "temp";
      break;
    case D3DTA_CONSTANT:
      v = "u_stageConstant[" + std::to_string(stage) + "]";
      break;
    default:
      v = "vec4(0.0)";
      break;
  }
  if (arg & D3DTA_ALPHAREPLICATE) v = v + ".aaaa";
  if (arg & D3DTA_COMPLEMENT) v = "(vec4(1.0) - " + v + ")";
  return v;
}

// One operation on the arguments a0, a1, a2 (each of type T, with the full
// vec4 values c1, c2 for the operations that mix colour and alpha).
std::string operation(DWORD op, bool colour) {
  const char* one = colour ? "vec3(1.0)" : "1.0";
  std::string o = one;
  switch (op) {
    case D3DTOP_SELECTARG1:
    case D3DTOP_PREMODULATE:
      return "a1";
    case D3DTOP_SELECTARG2:
      return "a2";
    case D3DTOP_MODULATE:
      return "a1 * a2";
    case D3DTOP_MODULATE2X:
      return "a1 * a2 * 2.0";
    case D3DTOP_MODULATE4X:
      return "a1 * a2 * 4.0";
    case D3DTOP_ADD:
      return "a1 + a2";
    case D3DTOP_ADDSIGNED:
      return "a1 + a2 - 0.5";
    case D3DTOP_ADDSIGNED2X:
      return "(a1 + a2 - 0.5) * 2.0";
    case D3DTOP_SUBTRACT:
      return "a1 - a2";
    case D3DTOP_ADDSMOOTH:
      return "a1 + a2 - a1 * a2";
    case D3DTOP_BLENDDIFFUSEALPHA:
      return "mix(a2, a1, diffuse.a)";
    case D3DTOP_BLENDTEXTUREALPHA:
      return "mix(a2, a1, tex.a)";
    case D3DTOP_BLENDFACTORALPHA:
      return "mix(a2, a1, u_textureFactor.a)";
    case D3DTOP_BLENDTEXTUREALPHAPM:
      return "a1 + a2 * (1.0 - tex.a)";
    case D3DTOP_BLENDCURRENTALPHA:
      return "mix(a2, a1, current.a)";
    case D3DTOP_MODULATEALPHA_ADDCOLOR:
      return colour ? "a1 + c1.a * a2" : "a1 * a2";
    case D3DTOP_MODULATECOLOR_ADDALPHA:
      return colour ? "a1 * a2 + c1.a" : "a1 * a2";
    case D3DTOP_MODULATEINVALPHA_ADDCOLOR:
      return colour ? "(1.0 - c1.a) * a2 + a1" : "a1 * a2";
    case D3DTOP_MODULATEINVCOLOR_ADDALPHA:
      return colour ? "(vec3(1.0) - a1) * a2 + c1.a" : "a1 * a2";
    case D3DTOP_DOTPRODUCT3:
      return colour ? "vec3(clamp(dot(c1.rgb * 2.0 - 1.0, c2.rgb * 2.0 - 1.0), 0.0, 1.0))"
                    : "clamp(dot(c1.rgb * 2.0 - 1.0, c2.rgb * 2.0 - 1.0), 0.0, 1.0)";
    case D3DTOP_MULTIPLYADD:
      return "a0 + a1 * a2";
    case D3DTOP_LERP:
      return "mix(a2, a1, a0)";
    default:  // the bump-mapping operations pass the current value on
      return colour ? "current.rgb" : "current.a";
  }
}

// Whether an operation on arguments in 0..1 gives a result in 0..1.
bool staysInRange(DWORD op) {
  switch (op) {
    case D3DTOP_SELECTARG1:
    case D3DTOP_SELECTARG2:
    case D3DTOP_PREMODULATE:
    case D3DTOP_MODULATE:
    case D3DTOP_ADDSMOOTH:
    case D3DTOP_BLENDDIFFUSEALPHA:
    case D3DTOP_BLENDTEXTUREALPHA:
    case D3DTOP_BLENDFACTORALPHA:
    case D3DTOP_BLENDCURRENTALPHA:
    case D3DTOP_DOTPRODUCT3:
    case D3DTOP_LERP:
      return true;
    default:
      return false;
  }
}

const char* compare(DWORD func) {
  switch (func) {
    case D3DCMP_NEVER:
      return "false";
    case D3DCMP_LESS:
      return "a8 < ref";
    case D3DCMP_EQUAL:
      return "a8 == ref";
    case D3DCMP_LESSEQUAL:
      return "a8 <= ref";
    case D3DCMP_GREATER:
      return "a8 > ref";
    case D3DCMP_NOTEQUAL:
      return "a8 != ref";
    case D3DCMP_GREATEREQUAL:
      return "a8 >= ref";
    default:
      return "true";
  }
}

}  // namespace

std::string fragmentShaderSource(const ProgramKey& k) {
  std::string s = kCommonHeader;
  const char* flat = k.flat ? "flat " : "";
  bool specularIn = needsSpecular(k);
  s += std::string(flat) + "in vec4 v_diffuse;\n";
  if (specularIn) s += std::string(flat) + "in vec4 v_specular;\n";
  if (k.fog == 1) s += "in float v_fog;\n";
  for (int i = 0; i < k.stageCount; ++i) {
    if (!k.stage[i].texture) continue;
    if (int width = coordWidth(k, i)) s += "in " + vecType(width) + " v_tex" + n(i) + ";\n";
    s += std::string("uniform ") + (k.stage[i].texture == kTextureCube ? "samplerCube" : "sampler2D") +
         " u_sampler" + n(i) + ";\n";
  }
  s += "uniform vec4 u_textureFactor;\nuniform vec4 u_stageConstant[8];\nuniform vec4 u_fog;\n"
       "uniform vec4 u_fogColor;\nuniform float u_alphaRef;\n"
       "layout(location = 0) out vec4 o_colour;\n";
  s += std::string("void main() {\n  vec4 diffuse = v_diffuse;\n  vec4 specular = ") +
       (specularIn ? "v_specular" : "vec4(0.0)") + ";\n"
       "  vec4 current = diffuse;\n  vec4 temp = vec4(0.0);\n  vec4 tex = vec4(1.0);\n";
  for (int i = 0; i < k.stageCount; ++i) {
    const StageKey& st = k.stage[i];
    const StageCoordKey& c = k.coord[i];
    s += "  {\n";
    if (st.texture) {
      std::string coord = "v_tex" + n(i);
      bool cube = st.texture == kTextureCube;
      if (k.pointSprite) {
        // GL puts the sprite's t = 0 at the top in its own window
        // coordinates, which the upper-left origin of our targets turns
        // upside down; Direct3D has v = 0 at the top on screen.
        coord = cube ? "vec3(gl_PointCoord.x, 1.0 - gl_PointCoord.y, 0.0)"
                     : "vec2(gl_PointCoord.x, 1.0 - gl_PointCoord.y)";
      } else if (c.projected) {
        const char* comp = "xyzw";
        std::string divisor = coord + "." + comp[c.count - 1];
        coord = cube ? coord + ".xyz / " + divisor : coord + ".xy / " + divisor;
      } else if (k.shaderCoords) {
        coord += cube ? ".xyz" : ".xy";  // a vec4 between the stages
      }
      s += "    tex = texture(u_sampler" + n(i) + ", " + coord + ");\n";
    } else {
      s += "    tex = vec4(1.0);\n";
    }
    s += "    vec4 c1 = " + argument(st.colorArg[1], i) + ";\n";
    s += "    vec4 c2 = " + argument(st.colorArg[2], i) + ";\n";
    s += "    vec3 a0 = " + argument(st.colorArg[0], i) + ".rgb;\n";
    s += "    vec3 a1 = c1.rgb;\n    vec3 a2 = c2.rgb;\n";
    s += "    vec3 colour = " + operation(st.colorOp, true) + ";\n";
    if (st.colorOp == D3DTOP_DOTPRODUCT3) {
      s += "    float alpha = colour.r;\n";  // the dot product goes to alpha too
    } else if (st.alphaOp == D3DTOP_DISABLE) {
      s += "    float alpha = current.a;\n";
    } else {
      s += "    {\n";
      s += "      vec4 c1 = " + argument(st.alphaArg[1], i) + ";\n";
      s += "      vec4 c2 = " + argument(st.alphaArg[2], i) + ";\n";
      s += "      float a0 = " + argument(st.alphaArg[0], i) + ".a;\n";
      s += "      float a1 = c1.a;\n      float a2 = c2.a;\n";
      s += "      alphaResult = " + operation(st.alphaOp, false) + ";\n";
      s += "    }\n    float alpha = alphaResult;\n";
    }
    // Every argument lies in 0..1 (colours, factors and the normalised
    // formats of every texture and target), so that only operations that
    // can leave that range need the clamp.
    bool bounded = staysInRange(st.colorOp) &&
                   (st.colorOp == D3DTOP_DOTPRODUCT3 || st.alphaOp == D3DTOP_DISABLE ||
                    staysInRange(st.alphaOp));
    s += std::string("    ") + (st.resultTemp ? "temp" : "current") +
         (bounded ? " = vec4(colour, alpha);\n" : " = clamp(vec4(colour, alpha), 0.0, 1.0);\n");
    s += "  }\n";
  }
  if (k.specularAdd) s += "  current.rgb = min(current.rgb + specular.rgb, vec3(1.0));\n";
  if (k.fog == 1) {
    s += "  current.rgb = mix(u_fogColor.rgb, current.rgb, clamp(v_fog, 0.0, 1.0));\n";
  } else if (k.fog == 2) {
    s += std::string("  float fogDistance = ") +
         (k.fogFromW ? "1.0 / gl_FragCoord.w" : "gl_FragCoord.z") + ";\n";
    switch (k.tableFog) {
      case D3DFOG_LINEAR:
        s += "  float fogFactor = (u_fog.y - fogDistance) / (u_fog.y - u_fog.x);\n";
        break;
      case D3DFOG_EXP:
        s += "  float fogFactor = exp(-fogDistance * u_fog.z);\n";
        break;
      default:
        s += "  float fogFactor = exp(-(fogDistance * u_fog.z) * (fogDistance * u_fog.z));\n";
        break;
    }
    s += "  current.rgb = mix(u_fogColor.rgb, current.rgb, clamp(fogFactor, 0.0, 1.0));\n";
  }
  if (k.alphaFunc) {
    s += "  int a8 = int(floor(current.a * 255.0 + 0.5));\n  int ref = int(u_alphaRef);\n";
    s += std::string("  if (!(") + compare(k.alphaFunc) + ")) discard;\n";
  }
  s += "  o_colour = current;\n}\n";
  // The alpha result variable is declared once, before the stages.
  size_t body = s.find("void main() {\n") + std::strlen("void main() {\n");
  s.insert(body, "  float alphaResult = 0.0;\n");
  return s;
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
  GLuint ours = shaderIsVertex ? d3d9_gl::compileShader(GL_FRAGMENT_SHADER, fragmentShaderSource(key), log)
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
    platformLog((std::string("fixed-function stage does not link with a shader of the caller's: ") + buffer).c_str());
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
