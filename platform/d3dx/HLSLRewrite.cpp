// The HLSL text as the front end gets it: functions of our own in place of
// ones it lacks, POSITION outputs as system values, and the reading of the
// tokens that refuses text known to crash it.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/d3dx/HLSLInternal.h"

namespace d3dx_hlsl {

// Functions the front end lacks or gets wrong, given under names of our own;
// calls in the source are renamed to them. noise() is gradient noise in
// -1..1: zero at whole-number points, smooth in between. texCUBEproj()
// divides by w before the lookup (the front end asks for a projective cube
// lookup, which the shading language does not have).
const char* const kPrelude =
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
    "float4 fx_texCUBEproj(samplerCUBE s, float4 t) { return texCUBE(s, t.xyz / t.w); }\n"
    // frexp: a mantissa of 0.5 up to 1 with the sign of x and the power of
    // two; both 0 for 0.
    "#define FX_FREXP(T) T fx_frexp(T x, out T e) { T a = abs(x);\\\n"
    "  e = a > 0.0 ? floor(log2(a)) + 1.0 : 0.0; return a > 0.0 ? x * exp2(-e) : 0.0; }\n"
    "FX_FREXP(float) FX_FREXP(float2) FX_FREXP(float3) FX_FREXP(float4)\n"
    "#line 1\n";

namespace {

bool identChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

}  // namespace

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

// Whether the ':' at `i` comes before a semantic rather than being the
// second half of a conditional ("a ? b : position"): a '?' since the
// statement began makes it the latter.
bool semanticColon(const std::string& s, size_t i) {
  if (s[i] != ':' || (i + 1 < s.size() && s[i + 1] == ':') || (i > 0 && s[i - 1] == ':'))
    return false;
  for (size_t k = i; k-- > 0;) {
    char c = s[k];
    if (c == ';' || c == '{' || c == '}') break;
    if (c == '?') return false;
  }
  return true;
}

// In a vertex stage a POSITION output is the clip-space position: say so
// in the terms the front end understands. (An input so named still reads
// attribute 0, see attributeLocation.)
std::string positionToSystemValue(const std::string& s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    if (semanticColon(s, i)) {
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

namespace {

struct Token {
  std::string text;
  size_t at;  // where it starts in the text
};

std::vector<Token> positionedTokens(const std::string& text) {
  std::vector<Token> tokens;
  bool lineStart = true;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      lineStart = true;
      ++i;
    } else if (std::isspace(c)) {
      ++i;
    } else if (lineStart && c == '#') {
      while (i < text.size() && text[i] != '\n')
        i += text[i] == '\\' && i + 1 < text.size() ? 2 : 1;
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
        while (end < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
          ++end;
      tokens.push_back({text.substr(i, end - i), i});
      i = end;
    }
  }
  return tokens;
}

}  // namespace

// The tokens of HLSL text: identifiers and numbers whole, everything else
// one character; comments, strings and preprocessor lines left out.
std::vector<std::string> hlslTokens(const std::string& text) {
  std::vector<std::string> tokens;
  for (Token& t : positionedTokens(text)) tokens.push_back(std::move(t.text));
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
  static const char* const kQualifiers[] = {"uniform",   "extern",       "const",
                                            "volatile",  "shared",       "groupshared",
                                            "row_major", "column_major", "precise"};
  std::map<std::string, std::string> declared;  // name -> type as written
  std::string found;
  // One statement of the top level or of a cbuffer: "type name[n] ..., name2;".
  auto declaration = [&](const std::vector<std::string>& st) {
    size_t k = 0;
    while (k < st.size() && std::find(std::begin(kQualifiers), std::end(kQualifiers), st[k]) !=
                                std::end(kQualifiers))
      ++k;
    if (k >= st.size() || !isName(st[k])) return;
    static const char* const kNotTypes[] = {"static",  "struct",    "typedef",     "cbuffer",
                                            "tbuffer", "technique", "technique10", "return"};
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
      if (!inBuffer && !statement.empty() &&
          (statement[0] == "cbuffer" || statement[0] == "tbuffer")) {
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

}  // namespace d3dx_hlsl

namespace d3dx_hlsl {

namespace {

bool wordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Replaces the whole word `from` (not part of a longer name) by `to`.
std::string replaceWordIn(const std::string& s, const std::string& from, const std::string& to) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (s.compare(i, from.size(), from) == 0 && (i == 0 || !wordChar(s[i - 1])) &&
        (i + from.size() >= s.size() || !wordChar(s[i + from.size()]))) {
      out += to;
      i += from.size();
    } else {
      out += s[i++];
    }
  }
  return out;
}

// Words that match the keyword `lower` in another case ("Matrix") written
// as the keyword: the compiler of Direct3D 9 effects took its keywords in
// any case.
std::string lowerKeywordIn(const std::string& s, const std::string& lower) {
  std::string out = s;
  for (size_t i = 0; i + lower.size() <= out.size(); ++i) {
    if ((i > 0 && wordChar(out[i - 1])) ||
        (i + lower.size() < out.size() && wordChar(out[i + lower.size()])))
      continue;
    bool same = true;
    for (size_t k = 0; k < lower.size() && same; ++k)
      same = std::tolower(static_cast<unsigned char>(out[i + k])) == lower[k];
    if (same) out.replace(i, lower.size(), lower);
  }
  return out;
}

// Semantics after ':' named `from` (any case, with or without a 0) as `to`.
std::string renameSemantic(const std::string& s, const std::string& from, const std::string& to) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    if (semanticColon(s, i)) {
      size_t k = i + 1;
      while (k < s.size() && std::isspace(static_cast<unsigned char>(s[k]))) ++k;
      size_t j = k;
      while (j < s.size() && wordChar(s[j])) ++j;
      std::string word = s.substr(k, j - k);
      for (char& c : word) c = char(std::toupper(static_cast<unsigned char>(c)));
      if (word == from || word == from + "0") {
        out += ": " + to;
        i = j;
        continue;
      }
    }
    out += s[i++];
  }
  return out;
}

// "const" and "static" on a sampler ("uniform const sampler s = ...;",
// also a parameter "const sampler2D s"): the front end crashes on a const
// sampler and cannot make a static one, and neither changes what a sampler
// is; both words are blanked, keeping the text's columns.
std::string samplerQualifiers(const std::string& s) {
  static const char* const kSamplers[] = {"sampler",   "sampler1D",   "sampler2D",
                                          "sampler3D", "samplerCUBE", "SamplerState"};
  static const char* const kQualifiers[] = {"const", "static", "uniform", "extern"};
  auto isOne = [](const std::string& word, const char* const* list, size_t n) {
    return std::find(list, list + n, word) != list + n;
  };
  std::string text = s;
  std::vector<std::pair<size_t, size_t>> pending;  // qualifiers before the next word
  for (size_t i = 0; i < text.size();) {
    if (!wordChar(text[i]) || (i > 0 && wordChar(text[i - 1]))) {
      if (!std::isspace(static_cast<unsigned char>(text[i]))) pending.clear();
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && wordChar(text[j])) ++j;
    const std::string word = text.substr(i, j - i);
    if (isOne(word, kQualifiers, std::size(kQualifiers))) {
      if (word == "const" || word == "static") pending.emplace_back(i, j - i);
    } else {
      if (isOne(word, kSamplers, std::size(kSamplers)))
        for (const auto& [at, length] : pending) text.replace(at, length, length, ' ');
      pending.clear();
    }
    i = j;
  }
  return text;
}

// Matrices of whole numbers or truth values ("int4x4"): the shading
// language has float matrices only, so they become float matrices of the
// same shape, which hold such values exactly; the effect gives them their
// values as floats.
std::string integerMatrices(const std::string& s) {
  std::string text = s;
  for (const char* scalar : {"int", "uint", "bool", "dword"}) {
    const size_t n = std::strlen(scalar);
    for (size_t at = text.find(scalar); at != std::string::npos; at = text.find(scalar, at + 1)) {
      if ((at > 0 && wordChar(text[at - 1])) || at + n + 3 > text.size()) continue;
      const char rows = text[at + n], x = text[at + n + 1], cols = text[at + n + 2];
      if (rows < '2' || rows > '4' || x != 'x' || cols < '1' || cols > '4' ||
          (at + n + 3 < text.size() && wordChar(text[at + n + 3])))
        continue;
      text.replace(at, n, "float");
    }
  }
  return text;
}

// Components of a scalar or vector type name: "float" 1, "half3" 3; 0 for
// anything else. `base` receives the scalar type.
int vectorSize(const std::string& type, std::string& base) {
  static const char* const kScalars[] = {"float", "half", "int", "uint", "bool", "double"};
  for (const char* scalar : kScalars) {
    size_t n = std::char_traits<char>::length(scalar);
    if (type.compare(0, n, scalar) != 0) continue;
    base = scalar;
    if (type.size() == n) return 1;
    if (type.size() == n + 1 && type[n] >= '1' && type[n] <= '4') return type[n] - '0';
  }
  return 0;
}

size_t skipSpace(const std::string& s, size_t i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

// "T a[N] = (T[N]) expression;" (a vector cast to an array) as
// "TN fx_castK = (TN)(expression); T a[N] = {fx_castK[0], ...};".
std::string arrayCasts(const std::string& s) {
  std::string text = s;
  int count = 0;
  size_t from = 0;
  while ((from = text.find('(', from)) != std::string::npos) {
    size_t i = skipSpace(text, from + 1), j = i;
    while (j < text.size() && wordChar(text[j])) ++j;
    std::string type = text.substr(i, j - i), base;
    size_t k = skipSpace(text, j);
    if (vectorSize(type, base) != 1 || k >= text.size() || text[k] != '[') {
      ++from;
      continue;
    }
    char* end = nullptr;
    long n = std::strtol(text.c_str() + k + 1, &end, 10);
    size_t close = skipSpace(text, size_t(end - text.c_str()));
    size_t paren =
        close < text.size() && text[close] == ']' ? skipSpace(text, close + 1) : text.size();
    size_t eq = from;
    while (eq > 0 && std::isspace(static_cast<unsigned char>(text[eq - 1]))) --eq;
    if (n < 1 || n > 4 || paren >= text.size() || text[paren] != ')' || eq == 0 ||
        text[eq - 1] != '=') {
      ++from;
      continue;
    }
    size_t semicolon = text.find(';', paren);
    size_t statement = text.find_last_of(";{}", eq - 1);
    if (semicolon == std::string::npos || statement == std::string::npos) break;
    const std::string name = "fx_cast" + std::to_string(++count);
    const std::string vector = base + std::to_string(n);
    std::string elements;
    for (long e = 0; e < n; ++e) elements += (e ? ", " : "") + name + "[" + std::to_string(e) + "]";
    const std::string expression = text.substr(paren + 1, semicolon - paren - 1);
    const std::string head = text.substr(statement + 1, eq - 1 - (statement + 1));
    const std::string replacement = " " + vector + " " + name + " = (" + vector + ")(" +
                                    expression + "); " + head + "= {" + elements + "};";
    text.replace(statement + 1, semicolon + 1 - (statement + 1), replacement);
    from = statement + 1 + replacement.size();
  }
  return text;
}

// "float4 a[2] = {0, 0, 0, 0, 0, 0, 0, 0};" (the components flat) as
// "float4 a[2] = {float4(0, 0, 0, 0), float4(0, 0, 0, 0)};".
std::string flatArrayInitialisers(const std::string& s) {
  std::string text = s;
  size_t from = 0;
  while ((from = text.find('{', from)) != std::string::npos) {
    size_t eq = from;
    while (eq > 0 && std::isspace(static_cast<unsigned char>(text[eq - 1]))) --eq;
    size_t close = text.find('}', from);
    if (eq == 0 || text[eq - 1] != '=' || close == std::string::npos ||
        text.find('{', from + 1) < close) {
      ++from;
      continue;
    }
    // The declaration before '=': "type name[N]".
    size_t bracketEnd = eq - 1;
    while (bracketEnd > 0 && std::isspace(static_cast<unsigned char>(text[bracketEnd - 1])))
      --bracketEnd;
    size_t bracketOpen = bracketEnd > 0 && text[bracketEnd - 1] == ']'
                             ? text.rfind('[', bracketEnd - 1)
                             : std::string::npos;
    if (bracketOpen == std::string::npos) {
      ++from;
      continue;
    }
    long n = std::strtol(text.c_str() + bracketOpen + 1, nullptr, 10);
    size_t nameEnd = bracketOpen;
    while (nameEnd > 0 && std::isspace(static_cast<unsigned char>(text[nameEnd - 1]))) --nameEnd;
    size_t nameBegin = nameEnd;
    while (nameBegin > 0 && wordChar(text[nameBegin - 1])) --nameBegin;
    size_t typeEnd = nameBegin;
    while (typeEnd > 0 && std::isspace(static_cast<unsigned char>(text[typeEnd - 1]))) --typeEnd;
    size_t typeBegin = typeEnd;
    while (typeBegin > 0 && wordChar(text[typeBegin - 1])) --typeBegin;
    std::string type = text.substr(typeBegin, typeEnd - typeBegin), base;
    int size = vectorSize(type, base);
    std::vector<std::string> items;
    std::string item;
    for (size_t i = from + 1; i < close; ++i) {
      if (text[i] == ',') {
        items.push_back(item);
        item.clear();
      } else {
        item += text[i];
      }
    }
    items.push_back(item);
    // A comma may end the list ("{1, 2, 3, 4,}").
    if (items.size() > 1 && items.back().find_first_not_of(" \t\r\n") == std::string::npos)
      items.pop_back();
    bool scalars = true;
    for (const std::string& it : items)
      scalars = scalars && it.find_first_of("()") == std::string::npos;
    if (size < 2 || n < 1 || !scalars || long(items.size()) != n * size) {
      from = close;
      continue;
    }
    std::string grouped = "{";
    for (long e = 0; e < n; ++e) {
      grouped += (e ? ", " : "") + type + "(";
      for (int c = 0; c < size; ++c) grouped += (c ? "," : "") + items[size_t(e * size + c)];
      grouped += ")";
    }
    grouped += "}";
    text.replace(from, close + 1 - from, grouped);
    from += grouped.size();
  }
  return text;
}

// Members of the structs the text declares, each as the type that builds
// it ("float3", "float", "float4x4"), with the number of components it
// takes; structs with members of other kinds (arrays, structs, samplers)
// are left out.
struct FlatMember {
  std::string type;
  int components;
};
std::map<std::string, std::vector<FlatMember>> flatStructs(const std::string& text) {
  std::map<std::string, std::vector<FlatMember>> structs;
  for (size_t at = text.find("struct"); at != std::string::npos; at = text.find("struct", at + 6)) {
    if ((at > 0 && wordChar(text[at - 1])) ||
        !std::isspace(static_cast<unsigned char>(text[at + 6])))
      continue;
    size_t i = skipSpace(text, at + 6), j = i;
    while (j < text.size() && wordChar(text[j])) ++j;
    const std::string name = text.substr(i, j - i);
    size_t open = skipSpace(text, j);
    if (name.empty() || open >= text.size() || text[open] != '{') continue;
    size_t close = text.find('}', open);
    if (close == std::string::npos) break;
    std::vector<FlatMember> members;
    bool plain = true;
    std::string body = text.substr(open + 1, close - open - 1);
    size_t from = 0;
    for (size_t semi; plain && (semi = body.find(';', from)) != std::string::npos;
         from = semi + 1) {
      std::string decl = body.substr(from, semi - from);
      if (decl.find_first_not_of(" \t\r\n") == std::string::npos) continue;
      size_t colon = decl.find(':');  // a semantic
      if (colon != std::string::npos) decl.erase(colon);
      size_t a = skipSpace(decl, 0), b = a;
      while (b < decl.size() && wordChar(decl[b])) ++b;
      std::string type = decl.substr(a, b - a), base;
      int components = vectorSize(type, base);
      if (!components) {
        // A matrix, "float3x3".
        for (const char* scalar : {"float", "half", "int", "double"}) {
          size_t n = std::strlen(scalar);
          if (type.size() == n + 3 && type.compare(0, n, scalar) == 0 && type[n + 1] == 'x' &&
              type[n] >= '1' && type[n] <= '4' && type[n + 2] >= '1' && type[n + 2] <= '4')
            components = (type[n] - '0') * (type[n + 2] - '0');
        }
      }
      std::string names = decl.substr(b);
      if (!components || names.find_first_of("[]()=<>") != std::string::npos) {
        plain = false;
        break;
      }
      // "float a, b;": a member for each name.
      size_t count = 1 + size_t(std::count(names.begin(), names.end(), ','));
      for (size_t k = 0; k < count; ++k) members.push_back({type, components});
    }
    if (plain && !members.empty()) structs[name] = members;
  }
  return structs;
}

// "S a[2] = {{1, 2, 3, 4}, {5, 6, 7, 8}};" for "struct S { float3 p; float
// w; };" (each struct's components flat, as Direct3D 9 takes them) as
// "S a[2] = {{float3(1, 2, 3), 4}, {float3(5, 6, 7), 8}};". Components are
// plain expressions (no vector constructors among them); a comma may end
// any list.
std::string flatStructInitialisers(const std::string& s) {
  const auto structs = flatStructs(s);
  if (structs.empty()) return s;
  std::string text = s;
  for (size_t from = 0; from < text.size(); ++from) {
    if (!wordChar(text[from]) || (from > 0 && wordChar(text[from - 1]))) continue;
    size_t j = from;
    while (j < text.size() && wordChar(text[j])) ++j;
    auto found = structs.find(text.substr(from, j - from));
    if (found == structs.end()) {
      from = j;
      continue;
    }
    // "S name[N] = {" or "S name = {".
    size_t k = skipSpace(text, j), nameEnd = k;
    while (nameEnd < text.size() && wordChar(text[nameEnd])) ++nameEnd;
    if (nameEnd == k) continue;
    size_t eq = skipSpace(text, nameEnd);
    long count = 1;
    bool array = false;
    if (eq < text.size() && text[eq] == '[') {
      size_t end = text.find(']', eq);
      if (end == std::string::npos) continue;
      char* stop = nullptr;
      count = std::strtol(text.c_str() + eq + 1, &stop, 10);
      if (skipSpace(text, size_t(stop - text.c_str())) != end) count = 0;
      array = true;
      eq = skipSpace(text, end + 1);
    }
    size_t open = eq < text.size() && text[eq] == '=' ? skipSpace(text, eq + 1) : text.size();
    if (open >= text.size() || text[open] != '{') continue;
    size_t close = open;
    int depth = 0;
    for (; close < text.size(); ++close) {
      if (text[close] == '{') ++depth;
      if (text[close] == '}' && --depth == 0) break;
      if (text[close] == ';') break;
    }
    if (close >= text.size() || text[close] != '}') continue;
    // The components, braces taken away, split at the commas outside brackets.
    std::vector<std::string> items;
    std::string item;
    int brackets = 0;
    bool plain = true;
    for (size_t i = open + 1; i < close && plain; ++i) {
      char c = text[i];
      if (c == '(') ++brackets;
      if (c == ')') --brackets;
      if ((c == ',' && brackets == 0) || c == '{' || c == '}') {
        if (item.find_first_not_of(" \t\r\n") != std::string::npos) items.push_back(item);
        item.clear();
        continue;
      }
      item += c;
    }
    if (item.find_first_not_of(" \t\r\n") != std::string::npos) items.push_back(item);
    for (const std::string& it : items)
      for (const char* scalar : {"float", "half", "int", "bool", "double"})
        for (size_t at = it.find(scalar); plain && at != std::string::npos;
             at = it.find(scalar, at + 1))
          if ((at == 0 || !wordChar(it[at - 1])) && at + std::strlen(scalar) < it.size() &&
              std::isdigit(static_cast<unsigned char>(it[at + std::strlen(scalar)])))
            plain = false;  // a vector or matrix constructor: not flat
    size_t perStruct = 0;
    for (const FlatMember& m : found->second) perStruct += size_t(m.components);
    if (array && count == 0 && perStruct && items.size() % perStruct == 0)
      count = long(items.size() / perStruct);
    // Compared by division: the product of a written size and the
    // components may not fit.
    if (!plain || count < 1 || !perStruct || items.size() % perStruct != 0 ||
        items.size() / perStruct != size_t(count)) {
      from = close;
      continue;
    }
    std::string grouped = "{";
    size_t next = 0;
    for (long e = 0; e < count; ++e) {
      if (array) grouped += e ? ", {" : "{";
      bool firstMember = true;
      for (const FlatMember& m : found->second) {
        grouped += firstMember ? "" : ", ";
        firstMember = false;
        if (m.components == 1) {
          grouped += items[next++];
          continue;
        }
        grouped += m.type + "(";
        for (int c = 0; c < m.components; ++c) grouped += (c ? "," : "") + items[next++];
        grouped += ")";
      }
      if (array) grouped += "}";
    }
    grouped += "}";
    // Keep the line count, for the compiler's line numbers.
    grouped += std::string(
        size_t(std::count(text.begin() + long(open), text.begin() + long(close), '\n')), '\n');
    text.replace(open, close + 1 - open, grouped);
    from = open + grouped.size();
  }
  return text;
}

// The type of local or global `name` as declared before `before`
// ("float2 a, b;"), or empty.
std::string declaredType(const std::string& text, const std::string& name, size_t before) {
  size_t at = before;
  while (at > 0) {
    at = text.rfind(name, at - 1);
    if (at == std::string::npos) return "";
    if ((at > 0 && wordChar(text[at - 1])) ||
        (at + name.size() < text.size() && wordChar(text[at + name.size()])))
      continue;
    // Back over "a, b, " to the type.
    size_t begin = text.find_last_of(";{}()", at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    std::string head = text.substr(begin, at - begin);
    size_t i = skipSpace(head, 0), j = i;
    while (j < head.size() && wordChar(head[j])) ++j;
    std::string type = head.substr(i, j - i), base;
    std::string rest = head.substr(j);
    bool names = true;
    for (char c : rest)
      names = names && (wordChar(c) || c == ',' || std::isspace(static_cast<unsigned char>(c)));
    if (vectorSize(type, base) && names && j > i &&
        (rest.empty() || std::isspace(static_cast<unsigned char>(rest[0]))))
      return type;
    if (at == 0) return "";
  }
  return "";
}

// "float4(a, b) = expression;" (a constructor assigned to) as
// "{ float4 fx_partsK = expression; a = fx_partsK.xy; b = fx_partsK.zw; }"
// when the parts' types are declared before it.
std::string constructorAssignments(const std::string& s) {
  std::string text = s;
  int count = 0;
  for (size_t from = 0; from < text.size(); ++from) {
    if (text[from] != ';' && text[from] != '{' && text[from] != '}') continue;
    size_t i = skipSpace(text, from + 1), j = i;
    while (j < text.size() && wordChar(text[j])) ++j;
    std::string type = text.substr(i, j - i), base;
    int size = vectorSize(type, base);
    size_t open = skipSpace(text, j);
    if (size < 2 || open >= text.size() || text[open] != '(') continue;
    size_t close = text.find(')', open);
    if (close == std::string::npos) continue;
    size_t eq = skipSpace(text, close + 1);
    if (eq + 1 >= text.size() || text[eq] != '=' || text[eq + 1] == '=') continue;
    std::vector<std::string> parts;
    std::string part;
    bool plain = true;
    for (size_t k = open + 1; k <= close; ++k) {
      char c = text[k];
      if (c == ',' || k == close) {
        size_t a = skipSpace(part, 0), b = part.find_last_not_of(" \t\r\n");
        part = b == std::string::npos ? "" : part.substr(a, b + 1 - a);
        for (char d : part) plain = plain && wordChar(d);
        parts.push_back(part);
        part.clear();
      } else {
        part += c;
      }
    }
    size_t semicolon = text.find(';', eq);
    if (!plain || parts.size() < 2 || semicolon == std::string::npos) continue;
    const std::string temp = "fx_parts" + std::to_string(++count);
    std::string assignments;
    int offset = 0;
    for (const std::string& p : parts) {
      std::string partType = declaredType(text, p, i), partBase;
      int n = vectorSize(partType, partBase);
      if (!n || offset + n > size) {
        offset = -1;
        break;
      }
      assignments += " " + p + " = " + temp + "." +
                     std::string("xyzw").substr(size_t(offset), size_t(n)) + ";";
      offset += n;
    }
    if (offset != size) continue;
    std::string replacement = "{ " + type + " " + temp + " = " +
                              text.substr(eq + 1, semicolon - eq - 1) + ";" + assignments + " }";
    text.replace(i, semicolon + 1 - i, replacement);
  }
  return text;
}

// The elements a matrix swizzle names after its '.': "_m02_m12" (from 0)
// or "_13_24" (from 1), each as its one-element swizzle; empty when the
// word is not one.
std::vector<std::string> matrixSwizzleParts(const std::string& word) {
  std::vector<std::string> parts;
  size_t i = 0;
  auto digit = [&](size_t k, char low, char high) {
    return k < word.size() && word[k] >= low && word[k] <= high;
  };
  while (i < word.size()) {
    if (word[i] != '_') return {};
    if (word.compare(i, 2, "_m") == 0 && digit(i + 2, '0', '3') && digit(i + 3, '0', '3')) {
      parts.push_back(word.substr(i, 4));
      i += 4;
    } else if (digit(i + 1, '1', '4') && digit(i + 2, '1', '4')) {
      parts.push_back(word.substr(i, 3));
      i += 3;
    } else {
      return {};
    }
  }
  return parts;
}

// "m._m02_m12_m22" (several elements of a matrix) as
// "float3(m._m02, m._m12, m._m22)": the front end reads a swizzle of more
// than one matrix element as a number. The matrix is a name, with members
// and indices ("a.b[i]"); a swizzle assigned to is left alone.
std::string matrixSwizzles(const std::string& s) {
  std::string text = s;
  for (size_t dot = text.find('.'); dot != std::string::npos; dot = text.find('.', dot + 1)) {
    size_t end = dot + 1;
    while (end < text.size() && wordChar(text[end])) ++end;
    const std::vector<std::string> parts = matrixSwizzleParts(text.substr(dot + 1, end - dot - 1));
    if (parts.size() < 2 || parts.size() > 4) continue;
    size_t after = skipSpace(text, end);
    if (after < text.size() && text[after] == '=' &&
        (after + 1 >= text.size() || text[after + 1] != '='))
      continue;
    if (after + 1 < text.size() && std::strchr("+-*/", text[after]) && text[after + 1] == '=')
      continue;
    // Back over the operand: names, '.' between them and [index] groups.
    size_t begin = dot;
    while (begin > 0) {
      char c = text[begin - 1];
      if (wordChar(c)) {
        while (begin > 0 && wordChar(text[begin - 1])) --begin;
      } else if (c == ']') {
        int depth = 0;
        size_t k = begin - 1;
        for (;; --k) {
          if (text[k] == ']') ++depth;
          if (text[k] == '[' && --depth == 0) break;
          if (k == 0) break;
        }
        if (depth != 0) break;
        begin = k;
        continue;
      } else {
        break;
      }
      if (begin > 0 && text[begin - 1] == '.') {
        --begin;
        continue;
      }
      break;
    }
    if (begin == dot ||
        !(std::isalpha(static_cast<unsigned char>(text[begin])) || text[begin] == '_'))
      continue;
    const std::string operand = text.substr(begin, dot - begin);
    std::string replacement = "float" + std::to_string(parts.size()) + "(";
    for (size_t k = 0; k < parts.size(); ++k)
      replacement += (k ? ", " : "") + operand + "." + parts[k];
    replacement += ")";
    text.replace(begin, end - begin, replacement);
    dot = begin + replacement.size() - 1;
  }
  return text;
}

// A function of the file as its tokens lie: its name, the ')' that ends
// its parameters and the '}' that ends its body.
struct FunctionTokens {
  size_t name, close, end;
};

// The definitions of functions named `name` at the top level of `tokens`
// (prototypes left out), in the order of the text.
std::vector<FunctionTokens> definitionsOf(const std::vector<Token>& tokens,
                                          const std::string& name) {
  std::vector<FunctionTokens> found;
  int depth = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i].text;
    if (t == "{") ++depth;
    if (t == "}") --depth;
    if (depth != 0 || t != name || i == 0 || i + 1 >= tokens.size() || tokens[i + 1].text != "(" ||
        !identChar(tokens[i - 1].text[0]))
      continue;
    size_t j = i + 2;
    for (int open = 1; j < tokens.size(); ++j) {
      const std::string& u = tokens[j].text;
      if (u == "(" || u == "[" || u == "{") ++open;
      if ((u == ")" || u == "]" || u == "}") && --open == 0) break;
    }
    size_t k = j + 1;
    if (k + 1 < tokens.size() && tokens[k].text == ":") k += 2;  // the result's semantic
    if (k >= tokens.size() || tokens[k].text != "{") continue;   // a prototype
    size_t m = k + 1;
    for (int open = 1; m < tokens.size() && open > 0; ++m) {
      if (tokens[m].text == "{") ++open;
      if (tokens[m].text == "}") --open;
    }
    found.push_back({i, j, m - 1});
    i = m - 1;
    depth = 0;
  }
  return found;
}

}  // namespace

// Whether `text` defines a function `name` of its own ("float noise(float2
// p) { ... }" at the top level): the file's function then answers the
// calls, not ours of that name.
bool definesFunction(const std::string& text, const std::string& name) {
  if (text.find(name) == std::string::npos) return false;
  return !definitionsOf(positionedTokens(text), name).empty();
}

// Overloads of the functions named `name` that `text` defines taking a
// vector where the function takes a scalar, and passing its first component
// on: the compiler of Direct3D 9 cut such an argument down (with a warning),
// the front end finds no function for the call. One overload for each vector
// size, with vectors of that size for every scalar parameter read in; each
// goes on the line where its function ends, so that lines keep their
// numbers. The text comes back unchanged when no such function is defined.
std::string scalarArgumentOverloads(const std::string& text, const std::string& name) {
  static const char* const kScalars[] = {"float", "half", "double", "int", "uint", "bool"};
  static const char* const kQualifiers[] = {
      "in",      "out",    "inout",    "uniform",         "const",
      "precise", "linear", "centroid", "nointerpolation", "noperspective"};
  struct Param {
    std::string declaration;  // as written, without semantic and default
    std::string type, name;
    bool uniform = false, written = false, widen = false;
  };
  struct Definition {
    size_t end = 0;  // just after its closing brace
    std::string result;
    std::vector<Param> params;
  };
  const std::vector<Token> tokens = positionedTokens(text);
  std::vector<Definition> definitions;
  for (const FunctionTokens& f : definitionsOf(tokens, name)) {
    // The parameters, each as its tokens, up to the ')'.
    std::vector<std::vector<size_t>> params(1);
    int open = 1;
    for (size_t j = f.name + 2; j < f.close; ++j) {
      const std::string& u = tokens[j].text;
      if (u == "(" || u == "[" || u == "{") ++open;
      if (u == ")" || u == "]" || u == "}") --open;
      if (open == 1 && u == ",")
        params.emplace_back();
      else
        params.back().push_back(j);
    }
    Definition d;
    d.end = tokens[f.end].at + 1;
    d.result = tokens[f.name - 1].text;
    if (params.size() == 1 && params[0].empty()) params.clear();
    for (const std::vector<size_t>& p : params) {
      Param param;
      std::vector<std::string> words;
      size_t last = p.empty() ? 0 : p.front();
      bool array = false;
      for (size_t at : p) {
        const std::string& u = tokens[at].text;
        if (u == ":" || u == "=") break;
        last = at;
        if (u == "[") array = true;
        if (!identChar(u[0])) continue;
        bool qualifier = false;
        for (const char* q : kQualifiers) qualifier = qualifier || u == q;
        if (u == "out" || u == "inout") param.written = true;
        if (u == "uniform") param.uniform = true;
        if (!qualifier) words.push_back(u);
      }
      if (p.empty() || words.size() < 2) return text;
      param.declaration = text.substr(
          tokens[p.front()].at, tokens[last].at + tokens[last].text.size() - tokens[p.front()].at);
      param.type = words[0];
      param.name = words[1];
      for (const char* scalar : kScalars) param.widen = param.widen || words[0] == scalar;
      param.widen = param.widen && !array && !param.written && words.size() == 2;
      d.params.push_back(param);
    }
    definitions.push_back(d);
  }
  // The parameter types of each function, to add no overload twice.
  std::vector<std::vector<std::string>> signatures;
  for (const Definition& d : definitions) {
    std::vector<std::string> types;
    for (const Param& p : d.params) types.push_back((p.written ? "out " : "") + p.type);
    signatures.push_back(types);
  }
  std::string out = text;
  for (size_t n = definitions.size(); n-- > 0;) {
    const Definition& d = definitions[n];
    std::string added;
    for (int size = 2; size <= 4; ++size) {
      std::string params, args;
      std::vector<std::string> types;
      bool widened = false;
      for (const Param& p : d.params) {
        if (!params.empty()) params += ", ", args += ", ";
        if (p.widen) {
          const std::string type = p.type + std::to_string(size);
          params += (p.uniform ? "uniform " : "") + type + " " + p.name;
          args += p.name + ".x";
          types.push_back(type);
          widened = true;
        } else {
          params += p.declaration;
          args += p.name;
          types.push_back((p.written ? "out " : "") + p.type);
        }
      }
      if (!widened || std::find(signatures.begin(), signatures.end(), types) != signatures.end())
        continue;
      signatures.push_back(types);
      added += " " + d.result + " " + name + "(" + params + ") { " +
               (d.result == "void" ? "" : "return ") + name + "(" + args + "); }";
    }
    out.insert(d.end, added);
  }
  return out;
}

std::string rewriteEffectShader(const std::string& source, Stage stage) {
  std::string text =
      matrixSwizzles(constructorAssignments(flatArrayInitialisers(arrayCasts(source))));
  text = flatStructInitialisers(text);
  if (text.find("texCUBEproj") != std::string::npos && !definesFunction(text, "texCUBEproj"))
    text = renameCalls(text, "texCUBEproj", "fx_texCUBEproj");
  if (text.find("frexp") != std::string::npos && !definesFunction(text, "frexp"))
    text = renameCalls(text, "frexp", "fx_frexp");
  text = integerMatrices(text);
  // Types named as in Direct3D 8 effects.
  for (const auto& [from, to] : {std::pair{"DWORD", "int"}, std::pair{"FLOAT", "float"},
                                 std::pair{"VECTOR", "float4"}, std::pair{"MATRIX", "float4x4"}})
    if (text.find(from) != std::string::npos) text = replaceWordIn(text, from, to);
  text = lowerKeywordIn(lowerKeywordIn(text, "matrix"), "vector");
  text = samplerQualifiers(text);
  if (stage == Stage::Pixel) {
    // Declared with "in", the front end takes VPOS for the whole
    // four-component position and assigns it to a float2 unconverted;
    // as a semantic of our own it is a plain input, given its value after
    // the compile like VPOS itself.
    text = renameSemantic(text, "VPOS", "FX_VPOS");
    text = renameSemantic(text, "VFACE", "FX_VFACE");
    // The depth a pixel shader writes: the front end's name for it.
    text = renameSemantic(text, "DEPTH", "SV_Depth");
  }
  // "SamplerState s;" with tex2D(s, ...): a Direct3D 9 sampler written
  // with the later keyword. (With .Sample calls the file is of the later
  // syntax, and left to the compiler to refuse.)
  if (text.find("SamplerState") != std::string::npos &&
      text.find(".Sample(") == std::string::npos && text.find(".Sample (") == std::string::npos)
    text = replaceWordIn(text, "SamplerState", "sampler");
  return text;
}

}  // namespace d3dx_hlsl
