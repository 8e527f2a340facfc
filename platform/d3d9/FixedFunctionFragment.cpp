// The fixed-function texture stages, alpha test and fog written as a GLSL
// fragment shader.
#include "platform/d3d9/FixedFunction.h"

#include <GL/glext.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/d3d9/FixedFunctionText.h"

namespace d3d9 {

using namespace shader_text;

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
    s += std::string("uniform ") +
         (k.stage[i].texture == kTextureCube ? "samplerCube" : "sampler2D") + " u_sampler" + n(i) +
         ";\n";
  }
  s += "uniform vec4 u_textureFactor;\nuniform vec4 u_stageConstant[8];\nuniform vec4 u_fog;\n"
       "uniform vec4 u_fogColor;\nuniform float u_alphaRef;\n"
       "layout(location = 0) out vec4 o_colour;\n";
  s += std::string("void main() {\n  vec4 diffuse = v_diffuse;\n  vec4 specular = ") +
       (specularIn ? "v_specular" : "vec4(0.0)") +
       ";\n"
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
    bool bounded =
        staysInRange(st.colorOp) && (st.colorOp == D3DTOP_DOTPRODUCT3 ||
                                     st.alphaOp == D3DTOP_DISABLE || staysInRange(st.alphaOp));
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

}  // namespace d3d9
