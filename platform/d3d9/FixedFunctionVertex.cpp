// The fixed-function vertex stage written as a GLSL vertex shader.
#include "platform/d3d9/FixedFunction.h"

#include <GL/glext.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/d3d9/FixedFunctionText.h"

namespace d3d9 {

using namespace shader_text;

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

bool projectsInOne(const ProgramKey& k) {
  if (k.position == kPositionRHW || k.blendMatrices != 1) return false;
  if (k.lighting && (k.pointLights || k.spotLights || (k.specularAdd && k.localViewer)))
    return false;
  if (k.fog == 1 && k.vertexFog) return false;
  if (k.points && k.pointScale) return false;
  for (int i = 0; i < k.stageCount; ++i) {
    int g = k.coord[i].generate;
    if (coordWidth(k, i) && (g == 2 || g == 3 || g == 4)) return false;
  }
  return true;
}

namespace {

std::string swizzle(int width) { return std::string(".xyzw").substr(0, size_t(width) + 1); }

// The direction L towards point or spot light j and its attenuation att
// (the spot's cone included), as GLSL statements.
std::string pointOrSpotLight(const std::string& j, int type) {
  std::string s =
      "    vec3 d = u_lightPosition[" + j +
      "].xyz - eye.xyz;\n"
      "    float dist = length(d);\n"
      "    vec3 L = dist > 0.0 ? d / dist : vec3(0.0, 0.0, -1.0);\n"
      "    vec4 A = u_lightAttenuation[" +
      j +
      "];\n"
      "    float att = dist > A.w ? 0.0 : 1.0 / max(A.x + A.y * dist + A.z * dist * dist, 1e-20);\n";
  if (type == D3DLIGHT_SPOT)
    s += "    vec4 S = u_lightSpot[" + j +
         "];\n"
         "    float rho = dot(-L, u_lightDirection[" +
         j +
         "].xyz);\n"
         "    float spot = rho > S.x ? 1.0 : (rho <= S.y ? 0.0 : "
         "pow(max((rho - S.y) / max(S.x - S.y, 1e-20), 0.0), S.z));\n"
         "    att *= spot;\n";
  return s;
}

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
  s += "uniform vec4 u_worldViewNormal[" + n(7 * k.blendMatrices) +
       "];\n"
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
    s += "uniform vec4 u_litColour[" + n(1 + lights) +
         "];\nuniform vec4 u_materialSpecular;\n"
         "uniform float u_materialPower;\n";
    if (lights) {
      std::string count = "[" + n(lights) + "]";
      s += "uniform vec4 u_litSpecular" + count + ", u_litAmbient" + count + ", u_lightPosition" +
           count + ", u_lightDirection" + count + ", u_lightAttenuation" + count + ", u_lightSpot" +
           count + ";\n";
    }
  } else if (k.lighting) {
    s += "uniform vec4 u_materialDiffuse, u_materialAmbient, u_materialSpecular, "
         "u_materialEmissive;\nuniform float u_materialPower;\nuniform vec4 u_globalAmbient;\n";
    if (lights) {
      std::string count = "[" + n(lights) + "]";
      s += "uniform vec4 u_lightDiffuse" + count + ", u_lightSpecular" + count +
           ", u_lightAmbient" + count + ", u_lightPosition" + count + ", u_lightDirection" + count +
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
    if ((k.stage[i].texture || k.shaderCoords) && (g == 1 || g == 3 || g == 4))
      unitNormalNeeded = true;
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
        s += "  weights[" + n(i) + "] = a_weights." + c[i] + ";\n  last -= a_weights." + c[i] +
             ";\n";
      }
      s += "  weights[" + n(k.blendMatrices - 1) + "] = last;\n";
      s += "  vec4 eye = vec4(0.0);\n  vec3 normal = vec3(0.0);\n";
      s += "  for (int i = 0; i < " + n(k.blendMatrices) +
           "; ++i) {\n"
           "    eye += weights[i] * (worldView(i) * p);\n"
           "    normal += weights[i] * (normalMatrix(i) * n);\n  }\n";
    } else if (projectsInOne(k)) {
      // Nothing else wants the eye-space position: the first matrix takes
      // the vertex all the way (one product per vertex instead of two).
      s += "  vec3 normal = normalMatrix(0) * n;\n";
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
    s += projectsInOne(k) ? "  gl_Position = worldView(0) * p;\n"
                          : "  gl_Position = u_projection * eye;\n";
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
        s += "    vec3 L = -u_lightDirection[" + j +
             "].xyz;\n"
             "    float NdotL = max(dot(normal, L), 0.0);\n"
             "    colour += NdotL * u_litColour[" +
             n(1 + i) + "].rgb;\n";
      } else {
        s += pointOrSpotLight(j, type);
        s += "    float NdotL = max(dot(normal, L), 0.0);\n"
             "    colour += att * (u_litAmbient[" +
             j + "].rgb + NdotL * u_litColour[" + n(1 + i) + "].rgb);\n";
      }
      if (k.specularAdd)
        s += std::string(
                 "    if (NdotL > 0.0) {\n"
                 "      vec3 H = normalize(L + toViewer);\n"
                 "      float NdotH = max(dot(normal, H), 0.0);\n"
                 "      specular += ") +
             (type == D3DLIGHT_DIRECTIONAL ? "" : "att * ") +
             "pow(NdotH, u_materialPower) * u_litSpecular[" + j + "].rgb;\n    }\n";
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
        s += pointOrSpotLight(j, type);
      }
      s += "    float NdotL = max(dot(normal, L), 0.0);\n"
           "    ambient += att * u_lightAmbient[" +
           j +
           "].rgb;\n"
           "    diffuse += att * NdotL * u_lightDiffuse[" +
           j + "].rgb;\n";
      if (k.specularAdd)
        s += "    if (NdotL > 0.0) {\n"
             "      vec3 H = normalize(L + toViewer);\n"
             "      float NdotH = max(dot(normal, H), 0.0);\n"
             "      specular += att * pow(NdotH, u_materialPower) * u_lightSpecular[" +
             j +
             "].rgb;\n"
             "    }\n";
      s += "  }\n";
    };
    for (int i = 0; i < k.directionalLights; ++i) lightBody(index++, D3DLIGHT_DIRECTIONAL);
    for (int i = 0; i < k.pointLights; ++i) lightBody(index++, D3DLIGHT_POINT);
    for (int i = 0; i < k.spotLights; ++i) lightBody(index++, D3DLIGHT_SPOT);
    s +=
        "  v_diffuse = clamp(vec4(me.rgb + ma.rgb * ambient + md.rgb * diffuse, md.a), 0.0, 1.0);\n";
    if (specularOut) s += "  v_specular = clamp(vec4(ms.rgb * specular, ms.a), 0.0, 1.0);\n";
  } else {
    s += "  v_diffuse = diffuseIn;\n";
    if (specularOut) s += "  v_specular = specularIn;\n";
  }

  if (k.fog == 1) {
    if (k.vertexFog) {
      s += std::string("  float fogDistance = ") + (k.rangeFog ? "length(eye.xyz)" : "abs(eye.z)") +
           ";\n";
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
             "    " +
             out + " = vec4(r.x / m + 0.5, -r.y / m + 0.5, 0.0, 1.0);\n  }\n";
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
            s += "  " + out + " = " + (declared == 4 ? a : "vec4(" + a + fill[declared] + ")") +
                 ";\n";
            break;
          }
        }
      }
    }
    if (c.count) s += "  t = u_textureMatrix[" + n(i) + "] * t;\n";
    s += "  v_tex" + n(i) + " = t" + swizzle(width) + ";\n  }\n";
  }

  if (k.points) {
    s +=
        std::string("  float size = ") + (k.hasPointSize ? "a_pointSize" : "u_pointSize.x") + ";\n";
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

}  // namespace d3d9
