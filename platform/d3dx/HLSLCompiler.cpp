#include "platform/d3dx/HLSLCompiler.h"

#include <GL/gl.h>
#include <GL/glext.h>
#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/SPIRV/GlslangToSpv.h>
#include <spirv_cross/spirv_cross_c.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/d3d9/GLInterop.h"

namespace d3dx_hlsl {

namespace {

// Functions the front end lacks or gets wrong, given under names of our own;
// calls in the source are renamed to them. noise() is gradient noise in
// -1..1: zero at whole-number points, smooth in between.
const char* kPrelude =
    "float fx_hash(float3 p) {\n"
    "  p = frac(p * 0.3183099 + 0.1); p *= 17.0;\n"
    "  return frac(p.x * p.y * p.z * (p.x + p.y + p.z));\n}\n"
    "float3 fx_gradient(float3 c) {\n"
    "  return float3(fx_hash(c), fx_hash(c + 19.19), fx_hash(c + 47.47)) * 2.0 - 1.0;\n}\n"
    "float fx_corner(float3 i, float3 f, float3 o) { return dot(fx_gradient(i + o), f - o); }\n"
    "float fx_noise3(float3 p) {\n"
    "  float3 i = floor(p); float3 f = frac(p);\n"
    "  float3 u = f * f * f * (f * (f * 6.0 - 15.0) + 10.0);\n"
    "  float a = lerp(fx_corner(i, f, float3(0, 0, 0)), fx_corner(i, f, float3(1, 0, 0)), u.x);\n"
    "  float b = lerp(fx_corner(i, f, float3(0, 1, 0)), fx_corner(i, f, float3(1, 1, 0)), u.x);\n"
    "  float c = lerp(fx_corner(i, f, float3(0, 0, 1)), fx_corner(i, f, float3(1, 0, 1)), u.x);\n"
    "  float d = lerp(fx_corner(i, f, float3(0, 1, 1)), fx_corner(i, f, float3(1, 1, 1)), u.x);\n"
    "  return clamp(lerp(lerp(a, b, u.y), lerp(c, d, u.y), u.z), -1.0, 1.0);\n}\n"
    "float fx_noise(float x) { return fx_noise3(float3(x, 0, 0)); }\n"
    "float fx_noise(float2 x) { return fx_noise3(float3(x, 0)); }\n"
    "float fx_noise(float3 x) { return fx_noise3(x); }\n"
    "float fx_noise(float4 x) { return fx_noise3(x.xyz + x.w * 0.61803); }\n"
    "float4 fx_lit(float nl, float nh, float m) {\n"
    "  return float4(1.0, max(nl, 0.0), (nl < 0.0 || nh < 0.0) ? 0.0 : pow(max(nh, 0.0), m), 1.0);\n"
    "}\n"
    "#line 1\n";

bool identChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Renames calls of `from` (not member calls, not longer identifiers).
std::string renameCalls(const std::string& s, const std::string& from, const std::string& to) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    if (identChar(s[i]) && (i == 0 || !identChar(s[i - 1]))) {
      size_t j = i;
      while (j < s.size() && identChar(s[j])) ++j;
      std::string word = s.substr(i, j - i);
      size_t k = j;
      while (k < s.size() && std::isspace(static_cast<unsigned char>(s[k]))) ++k;
      size_t before = i;
      while (before > 0 && std::isspace(static_cast<unsigned char>(s[before - 1]))) --before;
      bool member = before > 0 && s[before - 1] == '.';
      out += (word == from && k < s.size() && s[k] == '(' && !member) ? to : word;
      i = j;
    } else {
      out += s[i++];
    }
  }
  return out;
}

// In a vertex stage a POSITION output is the clip-space position: say so
// in the terms the front end understands. (An input so named still reads
// attribute 0, see attributeLocation.)
std::string positionToSystemValue(const std::string& s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ':' && (i + 1 >= s.size() || s[i + 1] != ':') && (i == 0 || s[i - 1] != ':')) {
      size_t k = i + 1;
      while (k < s.size() && std::isspace(static_cast<unsigned char>(s[k]))) ++k;
      size_t j = k;
      while (j < s.size() && identChar(s[j])) ++j;
      std::string word = s.substr(k, j - k);
      for (char& c : word) c = char(std::toupper(static_cast<unsigned char>(c)));
      if (word == "POSITION" || word == "POSITION0") {
        out += ": SV_Position";
        i = j;
        continue;
      }
    }
    out += s[i++];
  }
  return out;
}

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

// The tokens of HLSL text: identifiers and numbers whole, everything else
// one character; comments, strings and preprocessor lines left out.
std::vector<std::string> hlslTokens(const std::string& text) {
  std::vector<std::string> tokens;
  bool lineStart = true;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      lineStart = true;
      ++i;
    } else if (std::isspace(c)) {
      ++i;
    } else if (lineStart && c == '#') {
      while (i < text.size() && text[i] != '\n') i += text[i] == '\\' && i + 1 < text.size() ? 2 : 1;
    } else if (text.compare(i, 2, "//") == 0) {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (text.compare(i, 2, "/*") == 0) {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 2;
    } else if (c == '"') {
      for (++i; i < text.size() && text[i] != '"' && text[i] != '\n'; ++i)
        if (text[i] == '\\') ++i;
      ++i;
    } else {
      lineStart = false;
      size_t end = i + 1;
      if (std::isalnum(c) || c == '_')
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) ++end;
      tokens.push_back(text.substr(i, end - i));
      i = end;
    }
  }
  return tokens;
}

// The HLSL front end crashes on a shader-wide variable declared a second
// time with another type ("bool r; float r;", also through a cbuffer member
// or an array size). The declarations at the top level and in cbuffers are
// read here, and a name that comes back with another type is refused before
// the compiler sees it. Preprocessor lines are skipped, so a type hidden in
// a macro is compared as written.
std::string redeclaredGlobal(const std::vector<std::string>& tokens) {
  auto isName = [](const std::string& t) {
    return !t.empty() && (std::isalpha(static_cast<unsigned char>(t[0])) || t[0] == '_');
  };
  static const char* const kQualifiers[] = {"uniform", "extern", "const", "volatile", "shared",
                                            "groupshared", "row_major", "column_major", "precise"};
  std::map<std::string, std::string> declared;  // name -> type as written
  std::string found;
  // One statement of the top level or of a cbuffer: "type name[n] ..., name2;".
  auto declaration = [&](const std::vector<std::string>& st) {
    size_t k = 0;
    while (k < st.size() && std::find(std::begin(kQualifiers), std::end(kQualifiers), st[k]) != std::end(kQualifiers)) ++k;
    if (k >= st.size() || !isName(st[k])) return;
    static const char* const kNotTypes[] = {"static", "struct", "typedef", "cbuffer", "tbuffer",
                                            "technique", "technique10", "return"};
    for (const char* word : kNotTypes)
      if (st[k] == word) return;
    std::string type = st[k++];
    if (k < st.size() && st[k] == "<") {  // vector<float, 4>
      int angle = 0;
      for (; k < st.size(); ++k) {
        type += st[k];
        if (st[k] == "<") ++angle;
        if (st[k] == ">" && --angle == 0) break;
      }
      ++k;
    }
    while (k < st.size() && found.empty()) {
      if (!isName(st[k])) return;
      const std::string name = st[k++];
      if (k < st.size() && st[k] == "(") return;  // a function
      std::string signature = type;
      while (k < st.size() && st[k] == "[") {
        for (; k < st.size() && st[k] != "]"; ++k) signature += st[k];
        signature += "]";
        ++k;
      }
      auto [at, fresh] = declared.emplace(name, signature);
      if (!fresh && at->second != signature) found = name;
      // To the next declarator of the statement.
      int nesting = 0;
      for (; k < st.size(); ++k) {
        if (st[k] == "(" || st[k] == "[") ++nesting;
        if (st[k] == ")" || st[k] == "]") --nesting;
        if (st[k] == "," && nesting == 0) break;
      }
      ++k;
    }
  };
  std::vector<std::string> statement;
  bool inBuffer = false;  // between the braces of a cbuffer or tbuffer
  for (size_t i = 0; i < tokens.size() && found.empty(); ++i) {
    const std::string& t = tokens[i];
    if (t == ";") {
      declaration(statement);
      statement.clear();
    } else if (t == "{") {
      if (!inBuffer && !statement.empty() && (statement[0] == "cbuffer" || statement[0] == "tbuffer")) {
        inBuffer = true;
        statement.clear();
        continue;
      }
      // A body or an initialiser: skipped whole.
      int depth = 0;
      for (; i < tokens.size(); ++i) {
        if (tokens[i] == "{") ++depth;
        if (tokens[i] == "}" && --depth == 0) break;
      }
      // After a function's body the statement ends; its header may still
      // hold a declaration whose ";" is missing ("float r float4 f() {}").
      if (std::find(statement.begin(), statement.end(), "(") != statement.end()) {
        declaration(statement);
        statement.clear();
      } else if (!statement.empty() && statement[0] == "struct") {
        statement.clear();
      }
    } else if (t == "}" && inBuffer) {
      inBuffer = false;
      statement.clear();
    } else {
      statement.push_back(t);
    }
  }
  if (found.empty()) declaration(statement);  // the last one may lack its ";"
  return found;
}

// glslang's "ERROR: name:12: text" lines as "name(12): error: text".
std::string formatLog(const std::string& log) {
  std::istringstream in(log);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::string kind = "error";
    std::string rest = line;
    if (rest.rfind("ERROR: ", 0) == 0) {
      rest = rest.substr(7);
    } else if (rest.rfind("WARNING: ", 0) == 0) {
      kind = "warning";
      rest = rest.substr(9);
    }
    // "name:12: text"
    size_t c1 = rest.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : rest.find(':', c1 + 1);
    bool located = c2 != std::string::npos && c2 > c1 + 1;
    for (size_t i = c1 + 1; located && i < c2; ++i)
      located = std::isdigit(static_cast<unsigned char>(rest[i]));
    if (located) {
      std::string text = rest.substr(c2 + 1);
      while (!text.empty() && text[0] == ' ') text.erase(0, 1);
      out += rest.substr(0, c1) + "(" + rest.substr(c1 + 1, c2 - c1 - 1) + "): " + kind + ": " +
             text + "\n";
    } else if (rest.find("compilation errors") == std::string::npos &&
               rest.find("No code generated") == std::string::npos) {
      out += rest + "\n";
    }
  }
  return out;
}

std::string glslType(spvc_compiler compiler, spvc_type_id typeId) {
  spvc_type type = spvc_compiler_get_type_handle(compiler, typeId);
  unsigned size = spvc_type_get_vector_size(type);
  std::string prefix;
  switch (spvc_type_get_basetype(type)) {
    case SPVC_BASETYPE_INT32: prefix = size == 1 ? "int" : "ivec"; break;
    case SPVC_BASETYPE_UINT32: prefix = size == 1 ? "uint" : "uvec"; break;
    case SPVC_BASETYPE_BOOLEAN: prefix = size == 1 ? "bool" : "bvec"; break;
    default: prefix = size == 1 ? "float" : "vec"; break;
  }
  return size == 1 ? prefix : prefix + std::to_string(size);
}

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
      spvc_context_create_compiler(context, SPVC_BACKEND_GLSL, ir,
                                   SPVC_CAPTURE_MODE_TAKE_OWNERSHIP, &compiler) != SPVC_SUCCESS) {
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

  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_UNIFORM_BUFFER, &list,
                                            &count);
  for (size_t i = 0; i < count; ++i) {
    // Only the globals block: HLSL constant buffers are not part of the
    // effect-file language.
    out.block = vertex ? "fxv" : "fxp";
    spvc_compiler_set_name(compiler, list[i].id, out.block.c_str());
    spvc_compiler_set_name(compiler, list[i].base_type_id, vertex ? "FxVertexGlobals" : "FxPixelGlobals");
    spvc_type type = spvc_compiler_get_type_handle(compiler, list[i].base_type_id);
    unsigned members = spvc_type_get_num_member_types(type);
    for (unsigned m = 0; m < members; ++m)
      out.members.push_back(spvc_compiler_get_member_name(compiler, list[i].base_type_id, m));
    break;
  }

  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_SAMPLED_IMAGE, &list,
                                            &count);
  for (size_t i = 0; i < count; ++i) {
    spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationBinding);
    out.samplers.push_back(spvc_compiler_get_name(compiler, list[i].id));
  }

  std::vector<Varying> systemInputs;
  auto semanticOf = [&](spvc_variable_id id) {
    return normalSemantic(spvc_compiler_get_decoration_string(compiler, id, SpvDecorationUserSemantic));
  };
  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_STAGE_INPUT, &list, &count);
  for (size_t i = 0; i < count; ++i) {
    std::string semantic = semanticOf(list[i].id);
    if (vertex) {
      int location = attributeLocation(semantic);
      if (location < 0) {
        errors += "vertex input semantic " + semantic + " is not supported\n";
        return false;
      }
      spvc_compiler_set_decoration(compiler, list[i].id, SpvDecorationLocation, unsigned(location));
      spvc_compiler_set_name(compiler, list[i].id, ("a_" + semantic).c_str());
    } else if (semantic == "VPOS0" || semantic == "VFACE0") {
      // The pixel's own position and facing: GL's built-ins, given to the
      // function in Direct3D's terms after the compile (see below).
      std::string name = semantic == "VPOS0" ? "fx_vpos" : "fx_vface";
      spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationLocation);
      spvc_compiler_set_name(compiler, list[i].id, name.c_str());
      systemInputs.push_back({name, glslType(compiler, list[i].type_id)});
    } else {
      std::string name = "v_" + semantic;
      spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationLocation);
      spvc_compiler_set_name(compiler, list[i].id, name.c_str());
      out.inputs.push_back({name, glslType(compiler, list[i].type_id)});
    }
  }
  spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_STAGE_OUTPUT, &list, &count);
  for (size_t i = 0; i < count; ++i) {
    std::string semantic = semanticOf(list[i].id);
    if (vertex) {
      spvc_compiler_unset_decoration(compiler, list[i].id, SpvDecorationLocation);
      spvc_compiler_set_name(compiler, list[i].id, ("v_" + semantic).c_str());
    } else {
      int target = semanticIndex(semantic, "COLOR");
      if (target < 0) target = semanticIndex(semantic, "SV_TARGET");
      if (target != 0) {
        errors += "pixel output semantic " + semantic + " is not supported\n";
        return false;
      }
      spvc_compiler_set_decoration(compiler, list[i].id, SpvDecorationLocation, 0);
      spvc_compiler_set_name(compiler, list[i].id, "fx_color");
    }
  }

  const char* text = nullptr;
  if (spvc_compiler_compile(compiler, &text) != SPVC_SUCCESS) {
    errors += std::string(spvc_context_get_last_error_string(context)) + "\n";
    return false;
  }
  out.glsl = text;
  for (const Varying& v : systemInputs) {
    // "in vec2 fx_vpos;" becomes a global that main sets first: the pixel's
    // position with the top-left pixel at (0, 0) (the device draws with the
    // top row first), or +1 for a front face and -1 for a back face.
    size_t at = out.glsl.find("in " + v.type + " " + v.name + ";");
    if (at == std::string::npos) continue;
    out.glsl.erase(at, 3);
    std::string value = v.name == "fx_vpos" ? "vec4(gl_FragCoord.xy - vec2(0.5), 0.0, 0.0)"
                                            : "vec4(gl_FrontFacing ? 1.0 : -1.0)";
    if (v.type == "float") value += ".x";
    else if (v.type == "vec2") value += ".xy";
    else if (v.type == "vec3") value += ".xyz";
    size_t body = out.glsl.find('{', out.glsl.find("void main()"));
    out.glsl.insert(body + 1, "\n    " + v.name + " = " + value + ";");
  }
  if (!vertex) {
    // The device's alpha test applies after the pixel shader: enabled,
    // D3DCMP function and reference (0..255), set before each draw.
    size_t end = out.glsl.rfind('}');
    out.glsl.insert(end,
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

// The whole translation, HLSL to GLSL, in this process.
bool translate(const std::string& source, const std::string& entry, Stage stage,
               const std::string& fileName, CompiledStage& out, std::string& errors) {
  out = {};
  out.stage = stage;
  std::string text = renameCalls(renameCalls(source, "noise", "fx_noise"), "lit", "fx_lit");
  if (stage == Stage::Vertex) text = positionToSystemValue(text);
  text = kPrelude + text;

  // Kinds of text that crash the HLSL front end are refused here.
  const std::vector<std::string> tokens = hlslTokens(source);
  const std::string redeclared = redeclaredGlobal(tokens);
  if (!redeclared.empty()) {
    errors += fileName + ": error: '" + redeclared + "' is declared again with another type\n";
    return false;
  }
  // Brackets that do not pair up ("float y[1y"): the front end can take the
  // broken declaration for a second one of another type.
  std::string open;
  for (const std::string& t : tokens) {
    if (t == "(" || t == "[" || t == "{") open += t;
    if (t == ")" || t == "]" || t == "}") {
      const char expected = t == ")" ? '(' : t == "]" ? '[' : '{';
      if (open.empty() || open.back() != expected) {
        open = t;
        break;
      }
      open.pop_back();
    }
  }
  if (!open.empty()) {
    errors += fileName + ": error: unbalanced '" + open.substr(open.size() - 1) + "'\n";
    return false;
  }
  // A parameter qualifier as the very last word: the front end reads on
  // past the end of the text.
  if (!tokens.empty() && (tokens.back() == "in" || tokens.back() == "out" || tokens.back() == "inout")) {
    errors += fileName + ": error: unexpected end of file after '" + tokens.back() + "'\n";
    return false;
  }

  EShLanguage language = stage == Stage::Vertex ? EShLangVertex : EShLangFragment;
  glslang::TShader shader(language);
  const char* strings[] = {text.c_str()};
  const int lengths[] = {int(text.size())};
  const char* names[] = {fileName.c_str()};
  shader.setStringsWithLengthsAndNames(strings, lengths, names, 1);
  shader.setEntryPoint(entry.c_str());
  shader.setEnvInput(glslang::EShSourceHlsl, language, glslang::EShClientVulkan, 100);
  shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_0);
  shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_0);
  shader.setEnvTargetHlslFunctionality1();
  shader.setAutoMapBindings(true);
  shader.setAutoMapLocations(true);
  EShMessages messages = EShMessages(EShMsgReadHlsl | EShMsgSpvRules | EShMsgVulkanRules |
                                     EShMsgHlslDX9Compatible);
  if (!shader.parse(GetDefaultResources(), 100, false, messages)) {
    errors += formatLog(shader.getInfoLog());
    if (errors.empty()) errors = fileName + ": error: the shader does not compile\n";
    return false;
  }
  glslang::TProgram program;
  program.addShader(&shader);
  if (!program.link(messages) || !program.mapIO()) {
    std::string log = program.getInfoLog();
    if (log.find("Entry point not found") != std::string::npos)
      errors += fileName + ": error: entry point '" + entry + "' not found\n";
    else
      errors += formatLog(log);
    if (errors.empty()) errors = fileName + ": error: '" + entry + "' does not link\n";
    return false;
  }
  glslang::TIntermediate* intermediate = program.getIntermediate(language);
  if (!intermediate) {
    errors += fileName + ": error: entry point " + entry + " not found\n";
    return false;
  }
  std::vector<unsigned> spirv;
  glslang::SpvOptions spvOptions;
  spvOptions.disableOptimizer = true;
  glslang::GlslangToSpv(*intermediate, spirv, &spvOptions);
  if (!spirvToGlsl(spirv, stage, out, errors)) {
    errors = fileName + ": error: " + errors;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Malformed text can crash the HLSL front end itself, and a crash there must
// fail the compile, not end the program: the translation runs in a child
// process. The child translates, writes its answer to a pipe and leaves with
// _exit (no atexit handlers, no static destructors, no leak check). It does
// nothing else: the parent's other threads (audio, GL workers) are not in
// it, and whatever they held at the fork stays held, so no GL, no SDL, no
// logging there.

std::atomic<int> timeLimitMs{10000};
std::atomic<void (*)()> childHook{nullptr};

// The answer on the pipe: a byte for success, then strings as a 32-bit
// length and their bytes, then an end mark, so that a cut answer is known.
const char kEndMark[] = "end";

void putCount(std::string& data, size_t n) {
  const uint32_t v = uint32_t(n);
  data.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void putText(std::string& data, const std::string& text) {
  putCount(data, text.size());
  data += text;
}

std::string encode(bool ok, const CompiledStage& out, const std::string& errors) {
  std::string data(1, ok ? '1' : '0');
  putText(data, errors);
  putText(data, out.glsl);
  putText(data, out.block);
  putCount(data, out.members.size());
  for (const std::string& m : out.members) putText(data, m);
  putCount(data, out.samplers.size());
  for (const std::string& s : out.samplers) putText(data, s);
  putCount(data, out.inputs.size());
  for (const Varying& v : out.inputs) {
    putText(data, v.name);
    putText(data, v.type);
  }
  putText(data, kEndMark);
  return data;
}

class AnswerReader {
 public:
  explicit AnswerReader(const std::string& data) : data_(data) {}
  bool count(size_t& n) {
    uint32_t v = 0;
    if (data_.size() - at_ < sizeof v) return false;
    std::memcpy(&v, data_.data() + at_, sizeof v);
    at_ += sizeof v;
    n = v;
    return true;
  }
  bool text(std::string& out) {
    size_t n = 0;
    if (!count(n) || data_.size() - at_ < n) return false;
    out.assign(data_, at_, n);
    at_ += n;
    return true;
  }
  bool atEnd() const { return at_ == data_.size(); }

 private:
  const std::string& data_;
  size_t at_ = 1;  // after the success byte
};

bool decode(const std::string& data, bool& ok, CompiledStage& out, std::string& errors) {
  if (data.empty() || (data[0] != '0' && data[0] != '1')) return false;
  ok = data[0] == '1';
  AnswerReader in(data);
  size_t n = 0;
  if (!in.text(errors) || !in.text(out.glsl) || !in.text(out.block) || !in.count(n)) return false;
  out.members.resize(std::min<size_t>(n, data.size()));
  for (std::string& m : out.members)
    if (!in.text(m)) return false;
  if (!in.count(n)) return false;
  out.samplers.resize(std::min<size_t>(n, data.size()));
  for (std::string& s : out.samplers)
    if (!in.text(s)) return false;
  if (!in.count(n)) return false;
  out.inputs.resize(std::min<size_t>(n, data.size()));
  for (Varying& v : out.inputs)
    if (!in.text(v.name) || !in.text(v.type)) return false;
  std::string end;
  return in.text(end) && end == kEndMark && in.atEnd();
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

[[noreturn]] void runChild(int fd, const std::string& source, const std::string& entry, Stage stage,
                           const std::string& fileName) {
  if (void (*hook)() = childHook.load()) hook();
  CompiledStage out;
  std::string errors;
  const bool ok = translate(source, entry, stage, fileName, out, errors);
  _exit(writeAll(fd, encode(ok, out, errors)) ? 0 : 1);
}

// Reads the child's answer to its end; false when the time limit passes
// first or the pipe fails.
bool readAnswer(int fd, std::string& data) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeLimitMs.load());
  char buffer[16384];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(buffer, size_t(n));
  }
}

}  // namespace

bool compile(const std::string& source, const std::string& entry, Stage stage,
             const std::string& fileName, CompiledStage& out, std::string& errors) {
  // Once in the parent, so that every child starts with it done: the
  // front end builds its tables of built-in functions for each stage on
  // the first compile and keeps them, which is most of the cost of a small
  // shader. A text of our own, known to compile, builds them here.
  static std::once_flag once;
  std::call_once(once, [] {
    glslang::InitializeProcess();
    CompiledStage warm;
    std::string ignored;
    translate("float4 f() : COLOR { return 0; }", "f", Stage::Vertex, "", warm, ignored);
    translate("float4 f() : COLOR { return 0; }", "f", Stage::Pixel, "", warm, ignored);
  });

  out = {};
  out.stage = stage;
  auto failed = [&](const char* what) {
    errors += fileName + ": error: " + what + "\n";
    return false;
  };
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return failed("the shader compiler could not be started");
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return failed("the shader compiler could not be started");
  }
  if (pid == 0) {
    close(fds[0]);
    runChild(fds[1], source, entry, stage, fileName);
  }
  close(fds[1]);
  std::string data;
  const bool answered = readAnswer(fds[0], data);
  close(fds[0]);
  if (!answered) kill(pid, SIGKILL);
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (!answered) return failed("the shader compiler did not finish in time on this text");
  // Without a status (children reaped elsewhere) a whole answer is trusted.
  const bool clean = waited == pid ? WIFEXITED(status) && WEXITSTATUS(status) == 0 : errno == ECHILD;
  bool ok = false;
  CompiledStage answer;
  std::string messages;
  if (!clean || !decode(data, ok, answer, messages)) return failed("the shader compiler failed on this text");
  errors += messages;
  if (!ok) return false;
  answer.stage = stage;
  out = std::move(answer);
  return true;
}

void setChildHookForTesting(void (*hook)()) { childHook = hook; }

void setTimeLimitForTesting(int milliseconds) { timeLimitMs = milliseconds; }

unsigned linkProgram(const std::string& vertex, const std::string& fragment, std::string& errors) {
  std::string log;
  GLuint vs = d3d9_gl::compileShader(GL_VERTEX_SHADER, vertex, log);
  GLuint fs = vs ? d3d9_gl::compileShader(GL_FRAGMENT_SHADER, fragment, log) : 0;
  if (!vs || !fs) {
    if (vs) glDeleteShader(vs);
    errors += log;
    return 0;
  }
  GLuint program = d3d9_gl::linkShaders(vs, fs, log);
  if (!program) errors += log;
  return program;
}

}  // namespace d3dx_hlsl
