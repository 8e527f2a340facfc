// SPIR-V to GLSL through SPIRV-Cross: the globals in one uniform struct,
// inputs and outputs named and placed as the device's programs expect them.
#include <spirv_cross/spirv_cross_c.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/d3dx/HLSLInternal.h"

namespace d3dx_hlsl {

namespace {

// "texcoord" -> "TEXCOORD0": upper case, index 0 when it has none.
std::string normalSemantic(const char* semantic) {
  std::string s = semantic ? semantic : "";
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  if (s.empty() || !std::isdigit(static_cast<unsigned char>(s.back()))) s += '0';
  return s;
}

int semanticIndex(const std::string& s, const std::string& prefix) {
  if (s.compare(0, prefix.size(), prefix) != 0) return -1;
  std::string digits = s.substr(prefix.size());
  if (digits.empty()) return -1;
  for (char c : digits)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  return std::stoi(digits);
}

// Attribute locations of the device's vertex formats.
int attributeLocation(const std::string& s) {
  if (s == "POSITION0" || s == "SV_POSITION0" || s == "POSITIONT0") return 0;
  if (s == "BLENDWEIGHT0") return 1;
  if (s == "BLENDINDICES0") return 2;
  if (s == "NORMAL0") return 3;
  if (s == "PSIZE0") return 4;
  if (s == "COLOR0") return 5;
  if (s == "COLOR1") return 6;
  int t = semanticIndex(s, "TEXCOORD");
  if (t >= 0 && t < 8) return 7 + t;
  return -1;
}

std::string replaceWord(const std::string& s, const std::string& from, const std::string& to);

// A stage input or output that is an array ("float2 t[2] : TEXCOORD1" as
// a function's parameter): one varying for each element, named after its
// register, between the stages, and the array a global of the stage.
struct SplitArray {
  std::string name;  // the array's varying, that of its first element
  std::string type;  // the elements'
  std::vector<std::string> elements;
  bool input = false;
};

std::string glslType(spvc_compiler compiler, spvc_type_id typeId) {
  spvc_type type = spvc_compiler_get_type_handle(compiler, typeId);
  unsigned size = spvc_type_get_vector_size(type);
  std::string prefix;
  switch (spvc_type_get_basetype(type)) {
    case SPVC_BASETYPE_INT32:
      prefix = size == 1 ? "int" : "ivec";
      break;
    case SPVC_BASETYPE_UINT32:
      prefix = size == 1 ? "uint" : "uvec";
      break;
    case SPVC_BASETYPE_BOOLEAN:
      prefix = size == 1 ? "bool" : "bvec";
      break;
    default:
      prefix = size == 1 ? "float" : "vec";
      break;
  }
  return size == 1 ? prefix : prefix + std::to_string(size);
}

}  // namespace

bool spirvToGlsl(const std::vector<unsigned>& spirv, Stage stage, CompiledStage& out,
                 std::string& errors) {
  spvc_context context = nullptr;
  if (spvc_context_create(&context) != SPVC_SUCCESS) return false;
  struct Release {
    spvc_context c;
    ~Release() { spvc_context_destroy(c); }
  } release{context};
  spvc_parsed_ir ir = nullptr;
  spvc_compiler compiler = nullptr;
  if (spvc_context_parse_spirv(context, spirv.data(), spirv.size(), &ir) != SPVC_SUCCESS ||
      spvc_context_create_compiler(context, SPVC_BACKEND_GLSL, ir, SPVC_CAPTURE_MODE_TAKE_OWNERSHIP,
                                   &compiler) != SPVC_SUCCESS) {
    errors += std::string(spvc_context_get_last_error_string(context)) + "\n";
    return false;
  }
  spvc_compiler_options options = nullptr;
  spvc_compiler_create_compiler_options(compiler, &options);
  spvc_compiler_options_set_uint(options, SPVC_COMPILER_OPTION_GLSL_VERSION, 330);
  spvc_compiler_options_set_bool(options, SPVC_COMPILER_OPTION_GLSL_ES, SPVC_FALSE);
  spvc_compiler_options_set_bool(options, SPVC_COMPILER_OPTION_GLSL_ENABLE_420PACK_EXTENSION,
                                 SPVC_FALSE);
  spvc_compiler_options_set_bool(
      options, SPVC_COMPILER_OPTION_GLSL_EMIT_UNIFORM_BUFFER_AS_PLAIN_UNIFORMS, SPVC_TRUE);
  spvc_compiler_install_compiler_options(compiler, options);

  spvc_resources resources = nullptr;
  spvc_compiler_create_shader_resources(compiler, &resources);
  const spvc_reflected_resource* list = nullptr;
  size_t count = 0;
  bool vertex = stage == Stage::Vertex;

  spvc_type_id blockType = 0;
  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_UNIFORM_BUFFER, &list,
                                            &count);
  for (size_t i = 0; i < count; ++i) {
    // Only the globals block: HLSL constant buffers are not part of the
    // effect-file language.
    out.block = vertex ? "fxv" : "fxp";
    blockType = list[i].base_type_id;
    spvc_compiler_set_name(compiler, list[i].id, out.block.c_str());
    spvc_compiler_set_name(compiler, list[i].base_type_id,
                           vertex ? "FxVertexGlobals" : "FxPixelGlobals");
    spvc_type type = spvc_compiler_get_type_handle(compiler, list[i].base_type_id);
    unsigned members = spvc_type_get_num_member_types(type);
    for (unsigned m = 0; m < members; ++m) {
      std::string name = spvc_compiler_get_member_name(compiler, list[i].base_type_id, m);
      // A parameter that the shader writes is declared fx_in_<name> and
      // copied into a variable of its own name (see EffectSource); the
      // uniform keeps the parameter's name.
      if (name.rfind("fx_in_", 0) == 0) {
        name.erase(0, 6);
        spvc_compiler_set_member_name(compiler, list[i].base_type_id, m, name.c_str());
      }
      out.members.push_back(name);
    }
    break;
  }

  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_SAMPLED_IMAGE, &list,
                                            &count);
  for (size_t i = 0; i < count; ++i) {
    spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationBinding);
    out.samplers.push_back(spvc_compiler_get_name(compiler, list[i].id));
  }

  std::vector<Varying> systemInputs;
  // An array with a semantic ("float2 t[3] : TEXCOORD0") takes one
  // register for each element, counting on from the semantic's: the front
  // end gives each element a variable of its own ("i.t[1]"), all with the
  // array's semantic, which the element's index then moves on.
  auto semanticOf = [&](spvc_variable_id id) {
    std::string semantic = normalSemantic(
        spvc_compiler_get_decoration_string(compiler, id, SpvDecorationUserSemantic));
    const std::string name = spvc_compiler_get_name(compiler, id);
    const size_t open = name.rfind('[');
    if (name.empty() || name.back() != ']' || open == std::string::npos || open + 2 >= name.size())
      return semantic;
    const std::string element = name.substr(open + 1, name.size() - open - 2);
    if (element.size() > 2 || !std::all_of(element.begin(), element.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        }))
      return semantic;
    size_t digits = semantic.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(semantic[digits - 1]))) --digits;
    if (digits == semantic.size() || semantic.size() - digits > 2) return semantic;
    return semantic.substr(0, digits) +
           std::to_string(std::stoi(semantic.substr(digits)) + std::stoi(element));
  };
  std::vector<SplitArray> arrays;
  // The array's elements' varyings when `id` is one, else empty.
  auto elementsOf = [&](spvc_type_id typeId, const std::string& semantic,
                        bool input) -> std::vector<std::string> {
    spvc_type type = spvc_compiler_get_type_handle(compiler, typeId);
    if (spvc_type_get_num_array_dimensions(type) != 1) return {};
    const unsigned n = spvc_type_get_array_dimension(type, 0);
    size_t digits = semantic.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(semantic[digits - 1]))) --digits;
    if (n < 1 || n > 16 || digits == semantic.size() || semantic.size() - digits > 2) return {};
    const int first = std::stoi(semantic.substr(digits));
    SplitArray a;
    a.name = "v_" + semantic;
    a.type = glslType(compiler, typeId);
    a.input = input;
    for (unsigned k = 0; k < n; ++k)
      a.elements.push_back("v_" + semantic.substr(0, digits) + std::to_string(first + int(k)));
    arrays.push_back(a);
    return a.elements;
  };
  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_STAGE_INPUT, &list,
                                            &count);
  for (size_t i = 0; i < count; ++i) {
    std::string semantic = semanticOf(list[i].id);
    if (vertex) {
      // Named by semantic, the device feeds each input its element of
      // the vertex format (FVF or declaration); those of the FVF set also
      // sit at their fixed locations.
      int location = attributeLocation(semantic);
      if (location >= 0)
        spvc_compiler_set_decoration(compiler, list[i].id, SpvDecorationLocation,
                                     unsigned(location));
      else
        spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationLocation);
      spvc_compiler_set_name(compiler, list[i].id, ("a_" + semantic).c_str());
    } else if (semantic == "VPOS0" || semantic == "VFACE0" || semantic == "FX_VPOS0" ||
               semantic == "FX_VFACE0") {
      // The pixel's own position and facing: GL's built-ins, given to the
      // function in Direct3D's terms after the compile (see below).
      std::string name = semantic.find("VPOS") != std::string::npos ? "fx_vpos" : "fx_vface";
      spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationLocation);
      spvc_compiler_set_name(compiler, list[i].id, name.c_str());
      systemInputs.push_back({name, glslType(compiler, list[i].type_id)});
    } else {
      std::string name = "v_" + semantic;
      spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationLocation);
      spvc_compiler_set_name(compiler, list[i].id, name.c_str());
      const std::vector<std::string> elements = elementsOf(list[i].type_id, semantic, true);
      for (const std::string& element : elements)
        out.inputs.push_back({element, glslType(compiler, list[i].type_id)});
      if (elements.empty()) out.inputs.push_back({name, glslType(compiler, list[i].type_id)});
    }
  }
  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_STAGE_OUTPUT, &list,
                                            &count);
  for (size_t i = 0; i < count; ++i) {
    std::string semantic = semanticOf(list[i].id);
    if (vertex) {
      spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationLocation);
      spvc_compiler_set_name(compiler, list[i].id, ("v_" + semantic).c_str());
      elementsOf(list[i].type_id, semantic, false);
    } else {
      int target = semanticIndex(semantic, "COLOR");
      if (target < 0) target = semanticIndex(semantic, "SV_TARGET");
      if (target < 0 || target > 3) {
        errors += "pixel output semantic " + semantic + " is not supported\n";
        return false;
      }
      // Render target n; the first is the one the alpha test reads.
      spvc_compiler_set_decoration(compiler, list[i].id, SpvDecorationLocation, unsigned(target));
      spvc_compiler_set_name(compiler, list[i].id,
                             target ? ("fx_color" + std::to_string(target)).c_str() : "fx_color");
    }
  }

  const char* text = nullptr;
  if (spvc_compiler_compile(compiler, &text) != SPVC_SUCCESS) {
    errors += std::string(spvc_context_get_last_error_string(context)) + "\n";
    return false;
  }
  out.glsl = text;
  for (const SplitArray& a : arrays) {
    const std::string global = "fx_array_" + a.name.substr(2);
    const std::string qualifier = a.input ? "in " : "out ";
    const std::string declaration =
        qualifier + a.type + " " + global + "[" + std::to_string(a.elements.size()) + "];";
    std::string glsl = replaceWord(out.glsl, a.name, global);
    size_t at = glsl.find(declaration);
    const size_t main = glsl.find("void main()");
    const size_t body = main == std::string::npos ? main : glsl.find('{', main);
    const size_t end = glsl.rfind('}');
    if (at == std::string::npos || body == std::string::npos || end == std::string::npos ||
        end < body)
      continue;
    std::string varyings = a.type + " " + global + "[" + std::to_string(a.elements.size()) + "];";
    std::string copies;
    for (size_t k = 0; k < a.elements.size(); ++k) {
      varyings += "\n" + qualifier + a.type + " " + a.elements[k] + ";";
      const std::string element = global + "[" + std::to_string(k) + "]";
      copies += "\n    " +
                (a.input ? element + " = " + a.elements[k] : a.elements[k] + " = " + element) + ";";
    }
    if (a.input) {
      glsl.insert(body + 1, copies);
    } else {
      glsl.insert(end, copies.substr(1) + "\n");
    }
    glsl.replace(at, declaration.size(), varyings);
    out.glsl = glsl;
  }
  // A stage input or output of a struct without members (an HLSL function
  // taking an empty struct) carries nothing; the translation gives the
  // struct an int member, which an input may not have unqualified, so such
  // a variable becomes a plain global.
  for (size_t at = out.glsl.find("\n    int empty_struct_member;\n};"); at != std::string::npos;
       at = out.glsl.find("\n    int empty_struct_member;\n};", at + 1)) {
    size_t head = out.glsl.rfind("struct ", at);
    if (head == std::string::npos) continue;
    size_t nameEnd = out.glsl.find_first_of(" \n{", head + 7);
    const std::string type = out.glsl.substr(head + 7, nameEnd - head - 7);
    for (const char* qualifier : {"\nin ", "\nout "}) {
      const std::string declaration = qualifier + type + " ";
      for (size_t d; (d = out.glsl.find(declaration)) != std::string::npos;)
        out.glsl.erase(d + 1, std::strlen(qualifier) - 1);
    }
    out.inputs.erase(std::remove_if(out.inputs.begin(), out.inputs.end(),
                                    [&](const Varying& v) { return v.type == type; }),
                     out.inputs.end());
  }
  // The members' names as the GLSL has them: the compile changes those
  // that GLSL keeps for itself.
  if (blockType) {
    for (unsigned m = 0; m < out.members.size(); ++m)
      out.memberUniforms.push_back(spvc_compiler_get_member_name(compiler, blockType, m));
  }
  for (const Varying& v : systemInputs) {
    // "in vec2 fx_vpos;" becomes a global that main sets first: the pixel's
    // position with the top-left pixel at (0, 0) (the device draws with the
    // top row first), or +1 for a front face and -1 for a back face.
    size_t at = out.glsl.find("in " + v.type + " " + v.name + ";");
    if (at == std::string::npos) continue;
    out.glsl.erase(at, 3);
    std::string value = v.name == "fx_vpos" ? "vec4(gl_FragCoord.xy - vec2(0.5), 0.0, 0.0)"
                                            : "vec4(gl_FrontFacing ? 1.0 : -1.0)";
    if (v.type == "float")
      value += ".x";
    else if (v.type == "vec2")
      value += ".xy";
    else if (v.type == "vec3")
      value += ".xyz";
    size_t body = out.glsl.find('{', out.glsl.find("void main()"));
    out.glsl.insert(body + 1, "\n    " + v.name + " = " + value + ";");
  }
  if (!vertex) {
    // The device's alpha test applies after the pixel shader: enabled,
    // D3DCMP function and reference (0..255), set before each draw.
    size_t end = out.glsl.rfind('}');
    out.glsl.insert(
        end,
        "    if (fx_alphaTest.x > 0.5) {\n"
        "        int a8 = int(floor(clamp(fx_color.a, 0.0, 1.0) * 255.0 + 0.5));\n"
        "        int ref = int(fx_alphaTest.z);\n"
        "        int f = int(fx_alphaTest.y);\n"
        "        bool pass = f == 1 ? false : f == 2 ? a8 < ref : f == 3 ? a8 == ref :\n"
        "            f == 4 ? a8 <= ref : f == 5 ? a8 > ref : f == 6 ? a8 != ref :\n"
        "            f == 7 ? a8 >= ref : true;\n"
        "        if (!pass) discard;\n"
        "    }\n");
    size_t main = out.glsl.find("void main()");
    out.glsl.insert(main, "uniform vec4 fx_alphaTest;\n\n");
  }
  if (vertex) {
    // Direct3D puts pixel centres on whole numbers, GL on halves: move the
    // geometry as the device's own programs do (u_halfPixel, set per draw).
    size_t end = out.glsl.rfind('}');
    out.glsl.insert(end, "    gl_Position.xy += fx_halfPixel * gl_Position.w;\n");
    size_t main = out.glsl.find("void main()");
    out.glsl.insert(main, "uniform vec2 fx_halfPixel;\n\n");
  }
  return true;
}

}  // namespace d3dx_hlsl

namespace d3dx_hlsl {

namespace {

bool glslNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Components of a GLSL float type: 1 for float, n for vecn; 0 for others.
int components(const std::string& type) {
  if (type == "float") return 1;
  if (type.size() == 4 && type.compare(0, 3, "vec") == 0 && type[3] >= '2' && type[3] <= '4')
    return type[3] - '0';
  return 0;
}

// `value` of type `from` as type `to`: cut down, or filled up with 0 and
// a last 1 (what Direct3D 9 reads from components nobody wrote).
std::string converted(const std::string& value, const std::string& from, const std::string& to) {
  int a = components(from), b = components(to);
  if (!a || !b || a == b) return a == b ? value : to + "(0.0)";
  if (b < a) return value + std::string(".xyzw").substr(0, size_t(b) + 1);
  std::string out = to + "(" + value;
  for (int i = a; i < b; ++i) out += i == 3 ? ", 1.0" : ", 0.0";
  return out + ")";
}

std::string replaceWord(const std::string& s, const std::string& from, const std::string& to) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (s.compare(i, from.size(), from) == 0 && (i == 0 || !glslNameChar(s[i - 1])) &&
        (i + from.size() >= s.size() || !glslNameChar(s[i + from.size()]))) {
      out += to;
      i += from.size();
    } else {
      out += s[i++];
    }
  }
  return out;
}

}  // namespace

std::vector<Varying> declaredOutputs(const std::string& glsl) {
  std::vector<Varying> out;
  size_t at = 0;
  while ((at = glsl.find("\nout ", at)) != std::string::npos) {
    size_t end = glsl.find(';', at);
    if (end == std::string::npos) break;
    std::string decl = glsl.substr(at + 5, end - at - 5);
    size_t space = decl.find(' ');
    if (space != std::string::npos && decl.find(' ', space + 1) == std::string::npos)
      out.push_back({decl.substr(space + 1), decl.substr(0, space)});
    at = end;
  }
  return out;
}

std::string rewireInputs(const std::string& glsl, const std::vector<Varying>& inputs,
                         const std::vector<Varying>& provided,
                         const std::vector<std::pair<std::string, std::string>>& sources) {
  std::string text = glsl;
  std::string declarations, assignments;
  std::vector<std::string> declared;
  for (const Varying& in : inputs) {
    std::string sourceName = in.name;
    for (const auto& [name, source] : sources)
      if (name == in.name) sourceName = source;
    const Varying* from = nullptr;
    for (const Varying& p : provided)
      if (p.name == sourceName) from = &p;
    if (from && from->name == in.name && from->type == in.type) continue;
    const std::string declaration = "in " + in.type + " " + in.name + ";";
    if (text.find(declaration) == std::string::npos) continue;
    // The input becomes a global the main function fills first.
    const std::string global = "fx_in_" + in.name;
    text = replaceWord(text, in.name, global);
    const std::string old = "in " + in.type + " " + global + ";";
    text.replace(text.find(old), old.size(), in.type + " " + global + ";");
    if (from && std::find(declared.begin(), declared.end(), from->name) == declared.end()) {
      declared.push_back(from->name);
      declarations += "in " + from->type + " " + from->name + ";\n";
    }
    assignments +=
        "\n    " + global + " = " +
        (from ? converted(from->name, from->type, in.type) : converted("", "", in.type)) + ";";
  }
  if (assignments.empty()) return text;
  size_t main = text.find("void main()");
  if (main == std::string::npos) return text;
  text.insert(main, declarations + "\n");
  size_t body = text.find('{', text.find("void main()"));
  text.insert(body + 1, assignments);
  return text;
}

std::string toFixedFunctionOutputs(const std::string& glsl) {
  std::string text = glsl;
  struct Target {
    std::string name, type, fallback;
  };
  std::vector<Target> targets = {{"v_diffuse", "vec4", "vec4(1.0)"},
                                 {"v_specular", "vec4", "vec4(0.0)"},
                                 {"v_fog", "float", "1.0"}};
  for (int i = 0; i < 8; ++i)
    targets.push_back({"v_tex" + std::to_string(i), "vec4", "vec4(0.0, 0.0, 0.0, 1.0)"});
  auto targetOf = [](const std::string& name) -> std::string {
    if (name == "v_COLOR0") return "v_diffuse";
    if (name == "v_COLOR1") return "v_specular";
    if (name == "v_FOG0") return "v_fog";
    if (name.compare(0, 10, "v_TEXCOORD") == 0 && name.size() == 11 && name[10] >= '0' &&
        name[10] <= '7')
      return "v_tex" + name.substr(10);
    return "";
  };
  std::string assignments;
  for (const Varying& out : declaredOutputs(glsl)) {
    if (out.name.compare(0, 2, "v_") != 0) continue;
    // The output becomes a global, copied to what the fixed-function
    // stage reads at the end.
    const std::string global = "fx_out_" + out.name.substr(2);
    text = replaceWord(text, out.name, global);
    const std::string old = "out " + out.type + " " + global + ";";
    size_t at = text.find(old);
    if (at != std::string::npos) text.replace(at, old.size(), out.type + " " + global + ";");
    std::string target = targetOf(out.name);
    for (Target& t : targets)
      if (t.name == target) t.fallback = converted(global, out.type, t.type);
  }
  std::string declarations;
  for (const Target& t : targets) {
    declarations += "out " + t.type + " " + t.name + ";\n";
    assignments += "    " + t.name + " = " + t.fallback + ";\n";
  }
  size_t main = text.find("void main()");
  if (main == std::string::npos) return text;
  text.insert(main, declarations + "\n");
  size_t end = text.rfind('}');
  text.insert(end, assignments);
  return text;
}

}  // namespace d3dx_hlsl
