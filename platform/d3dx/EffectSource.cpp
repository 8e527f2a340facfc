#include "platform/d3dx/EffectSource.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace d3dx_fx {

namespace {

struct Token {
  std::string text;
  size_t begin, end;  // byte range in the source
  int line;
  int file = 0;  // index into the names "#line" lines gave, 0 the file itself
};

bool identStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool identChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Comments become blanks (newlines kept) so that token positions in the
// cleaned text are those of the source.
std::string blankComments(const std::string& s) {
  std::string out = s;
  size_t i = 0;
  while (i < out.size()) {
    if (out[i] == '"') {
      for (++i; i < out.size() && out[i] != '"' && out[i] != '\n'; ++i)
        if (out[i] == '\\') ++i;
      ++i;
    } else if (out.compare(i, 2, "//") == 0) {
      while (i < out.size() && out[i] != '\n') out[i++] = ' ';
    } else if (out.compare(i, 2, "/*") == 0) {
      size_t end = out.find("*/", i + 2);
      end = end == std::string::npos ? out.size() : end + 2;
      for (; i < end; ++i)
        if (out[i] != '\n') out[i] = ' ';
    } else {
      ++i;
    }
  }
  return out;
}

std::vector<Token> tokenize(const std::string& s, std::vector<std::string>& files) {
  std::vector<Token> tokens;
  int line = 1, file = 0;
  size_t i = 0;
  bool lineStart = true;
  while (i < s.size()) {
    char c = s[i];
    if (c == '\n') {
      ++line;
      ++i;
      lineStart = true;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    if (c == '#' && lineStart) {  // preprocessor lines are the compiler's
      size_t b = i;
      while (i < s.size() && s[i] != '\n') ++i;
      // #line N "name": where the text that follows comes from.
      std::string text = s.substr(b + 1, i - b - 1);
      size_t k = text.find_first_not_of(" \t");
      if (k != std::string::npos && text.compare(k, 4, "line") == 0) {
        char* end = nullptr;
        long n = std::strtol(text.c_str() + k + 4, &end, 10);
        if (end != text.c_str() + k + 4 && n > 0 && n < (1 << 30)) {
          line = int(n) - 1;
          size_t q = text.find('"');
          size_t q2 = q == std::string::npos ? q : text.rfind('"');
          if (q2 != std::string::npos && q2 > q) {
            std::string name;
            for (size_t j = q + 1; j < q2; ++j) {
              if (text[j] == '\\' && j + 1 < q2) ++j;
              name += text[j];
            }
            auto at = std::find(files.begin(), files.end(), name);
            file = int(at - files.begin());
            if (at == files.end()) files.push_back(name);
          }
        }
      }
      continue;
    }
    lineStart = false;
    size_t b = i;
    if (identStart(c)) {
      while (i < s.size() && identChar(s[i])) ++i;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < s.size() &&
                std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      while (i < s.size() &&
             (identChar(s[i]) || s[i] == '.' ||
              ((s[i] == '+' || s[i] == '-') && (s[i - 1] == 'e' || s[i - 1] == 'E'))))
        ++i;
    } else if (c == '"') {
      for (++i; i < s.size() && s[i] != '"' && s[i] != '\n'; ++i)
        if (s[i] == '\\') ++i;
      if (i < s.size() && s[i] == '"') ++i;
    } else {
      ++i;
    }
    tokens.push_back({s.substr(b, i - b), b, i, line, file});
  }
  return tokens;
}

bool equalNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool typeShape(const std::string& t, Param& p) {
  auto shape = [&](const char* base, ValueType type) {
    size_t n = std::strlen(base);
    if (t.compare(0, n, base) != 0) return false;
    std::string rest = t.substr(n);
    p.type = type;
    if (rest.empty()) return true;
    if (rest.size() == 1 && rest[0] >= '1' && rest[0] <= '4') {
      p.cols = rest[0] - '0';
      return true;
    }
    if (rest.size() == 3 && rest[1] == 'x' && rest[0] >= '1' && rest[0] <= '4' && rest[2] >= '1' &&
        rest[2] <= '4') {
      p.rows = rest[0] - '0';
      p.cols = rest[2] - '0';
      return true;
    }
    return false;
  };
  if (t == "matrix") {
    p.rows = p.cols = 4;
    return true;
  }
  if (t == "vector") {
    p.cols = 4;
    return true;
  }
  return shape("float", ValueType::Float) || shape("half", ValueType::Float) ||
         shape("double", ValueType::Float) || shape("int", ValueType::Int) ||
         shape("uint", ValueType::Int) || shape("bool", ValueType::Bool);
}

}  // namespace

bool evaluateExpression(const std::vector<std::string>& tokens, size_t begin, size_t end,
                        const std::function<const std::vector<float>*(const std::string&)>& named,
                        std::vector<float>& result) {
  size_t k = begin;
  int depth = 0;
  bool good = true;
  using Value = std::vector<float>;
  std::function<Value()> conditional, sum, product, unary, postfix, primary;
  auto failed = [&]() -> Value {
    good = false;
    return {};
  };
  auto list = [&](const char* close, std::vector<Value>& items) {
    while (good && k < end && tokens[k] != close) {
      items.push_back(conditional());
      if (k < end && tokens[k] == ",")
        ++k;
      else
        break;
    }
    if (good && k < end && tokens[k] == close)
      ++k;
    else
      good = false;
  };
  auto flat = [](const std::vector<Value>& items) {
    Value v;
    for (const Value& item : items) v.insert(v.end(), item.begin(), item.end());
    return v;
  };
  // Component by component; a one-component side is used for every one.
  auto combine = [&](const Value& a, const Value& b, const std::function<float(float, float)>& f) {
    if (a.empty() || b.empty() || (a.size() != b.size() && a.size() != 1 && b.size() != 1))
      return failed();
    Value v(std::max(a.size(), b.size()));
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = f(a[a.size() == 1 ? 0 : i], b[b.size() == 1 ? 0 : i]);
    return v;
  };
  auto call = [&](const std::string& name, const std::vector<Value>& a) -> Value {
    static const std::map<std::string, float (*)(float)> one = {
        {"sqrt", [](float x) { return std::sqrt(x); }},
        {"rsqrt", [](float x) { return 1.0f / std::sqrt(x); }},
        {"sin", [](float x) { return std::sin(x); }},
        {"cos", [](float x) { return std::cos(x); }},
        {"tan", [](float x) { return std::tan(x); }},
        {"abs", [](float x) { return std::fabs(x); }},
        {"exp", [](float x) { return std::exp(x); }},
        {"log", [](float x) { return std::log(x); }},
        {"floor", [](float x) { return std::floor(x); }},
        {"ceil", [](float x) { return std::ceil(x); }},
        {"frac", [](float x) { return x - std::floor(x); }},
        {"saturate", [](float x) { return std::min(1.0f, std::max(0.0f, x)); }},
        {"radians", [](float x) { return x * 0.017453292519943295f; }},
        {"degrees", [](float x) { return x * 57.29577951308232f; }}};
    static const std::map<std::string, float (*)(float, float)> two = {
        {"pow", [](float x, float y) { return std::pow(x, y); }},
        {"min", [](float x, float y) { return std::min(x, y); }},
        {"max", [](float x, float y) { return std::max(x, y); }},
        {"atan2", [](float x, float y) { return std::atan2(x, y); }},
        {"fmod", [](float x, float y) { return std::fmod(x, y); }}};
    if (auto f = one.find(name); f != one.end() && a.size() == 1) {
      Value v = a[0];
      for (float& x : v) x = f->second(x);
      return v;
    }
    if (auto f = two.find(name); f != two.end() && a.size() == 2)
      return combine(a[0], a[1], f->second);
    if ((name == "dot" || name == "cross") && a.size() == 2 && a[0].size() == a[1].size()) {
      if (name == "cross") {
        if (a[0].size() != 3) return failed();
        const Value& x = a[0];
        const Value& y = a[1];
        return {x[1] * y[2] - x[2] * y[1], x[2] * y[0] - x[0] * y[2], x[0] * y[1] - x[1] * y[0]};
      }
      float d = 0;
      for (size_t i = 0; i < a[0].size(); ++i) d += a[0][i] * a[1][i];
      return {d};
    }
    if ((name == "length" || name == "normalize") && a.size() == 1) {
      float d = 0;
      for (float x : a[0]) d += x * x;
      d = std::sqrt(d);
      if (name == "length") return {d};
      if (d == 0) return failed();
      Value v = a[0];
      for (float& x : v) x /= d;
      return v;
    }
    if (name == "lerp" && a.size() == 3) {
      Value d = combine(a[1], a[0], [](float x, float y) { return x - y; });
      if (!good) return {};
      d = combine(d, a[2], [](float x, float y) { return x * y; });
      if (!good) return {};
      return combine(a[0], d, [](float x, float y) { return x + y; });
    }
    if (name == "clamp" && a.size() == 3) {
      Value v = combine(a[0], a[1], [](float x, float y) { return std::max(x, y); });
      if (!good) return {};
      return combine(v, a[2], [](float x, float y) { return std::min(x, y); });
    }
    return failed();
  };
  // How deep the brackets and signs nest, not how long the list is.
  struct Nest {
    int& d;
    explicit Nest(int& depth) : d(depth) { ++d; }
    ~Nest() { --d; }
  };
  primary = [&]() -> Value {
    Nest nest(depth);
    if (k >= end || depth > 200) return failed();
    const std::string& t = tokens[k];
    if (std::isdigit(static_cast<unsigned char>(t[0])) || t[0] == '.') {
      ++k;
      const bool hex = t.size() > 1 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
      return {hex ? float(std::strtoul(t.c_str(), nullptr, 16)) : std::strtof(t.c_str(), nullptr)};
    }
    if (t == "true" || t == "false") {
      ++k;
      return {t == "true" ? 1.0f : 0.0f};
    }
    if (t == "{") {
      ++k;
      std::vector<Value> items;
      list("}", items);
      return good ? flat(items) : Value{};
    }
    if (t == "(") {
      ++k;
      Param shape;
      if (k + 1 < end && typeShape(tokens[k], shape) && tokens[k + 1] == ")") {
        // A cast: "(float4)0" fills every component.
        k += 2;
        Value v = unary();
        if (!good) return {};
        if (v.size() == 1) v.assign(size_t(shape.rows * shape.cols), v[0]);
        return v;
      }
      // "(a, b)": the comma operator, whose value is the last one's.
      Value v = conditional();
      while (good && k < end && tokens[k] == ",") {
        ++k;
        v = conditional();
      }
      if (k < end && tokens[k] == ")")
        ++k;
      else
        good = false;
      return v;
    }
    if (!identStart(t[0])) return failed();
    ++k;
    if (k < end && tokens[k] == "(") {
      ++k;
      std::vector<Value> items;
      list(")", items);
      if (!good) return {};
      Param shape;
      if (typeShape(t, shape)) {
        Value v = flat(items);
        if (v.size() == 1) v.assign(size_t(shape.rows * shape.cols), v[0]);
        return v;
      }
      return call(t, items);
    }
    const std::vector<float>* known = named(t);
    if (!known) return failed();
    return *known;
  };
  postfix = [&]() -> Value {
    Value v = primary();
    while (good && k + 1 < end && tokens[k] == "." && !v.empty() && v.size() <= 4) {
      const std::string& swizzle = tokens[k + 1];
      Value picked;
      for (char c : swizzle) {
        const char* names = std::strchr("xyzw", c) ? "xyzw" : "rgba";
        const char* found = std::strchr(names, c);
        size_t index = found ? size_t(found - names) : 4;
        if (index >= 4 || (index >= v.size() && v.size() != 1)) return failed();
        picked.push_back(v[v.size() == 1 ? 0 : index]);
      }
      if (picked.empty()) return failed();
      v = picked;
      k += 2;
    }
    return v;
  };
  unary = [&]() -> Value {
    if (k < end && tokens[k] == "!" && !(k + 1 < end && tokens[k + 1] == "=")) {
      ++k;
      Nest nest(depth);
      if (depth > 200) return failed();
      Value v = unary();
      for (float& x : v) x = x == 0 ? 1.0f : 0.0f;
      return v;
    }
    if (k < end && (tokens[k] == "-" || tokens[k] == "+")) {
      bool minus = tokens[k++] == "-";
      Nest nest(depth);
      if (depth > 200) return failed();
      Value v = unary();
      if (minus)
        for (float& x : v) x = -x;
      return v;
    }
    return postfix();
  };
  product = [&]() -> Value {
    Value v = unary();
    while (good && k < end && (tokens[k] == "*" || tokens[k] == "/" || tokens[k] == "%")) {
      const char op = tokens[k++][0];
      Value w = unary();
      if (!good) break;
      v = combine(v, w, [op](float x, float y) {
        return op == '*' ? x * y : op == '/' ? x / y : std::fmod(x, y);
      });
    }
    return v;
  };
  sum = [&]() -> Value {
    Value v = product();
    while (good && k < end && (tokens[k] == "+" || tokens[k] == "-")) {
      bool plus = tokens[k++] == "+";
      Value w = product();
      if (!good) break;
      v = combine(v, w, [plus](float x, float y) { return plus ? x + y : x - y; });
    }
    return v;
  };
  // Operators of two characters come as two tokens ("<" "=").
  auto pair = [&](const char* op) {
    return k + 1 < end && tokens[k] == std::string(1, op[0]) &&
           tokens[k + 1] == std::string(1, op[1]);
  };
  // Comparisons and logic give 1 or 0, component by component.
  std::function<Value()> relation = [&]() -> Value {
    Value v = sum();
    while (good && k < end) {
      int op;
      if (pair("<=") || pair(">=")) {
        op = tokens[k][0] == '<' ? 2 : 3;
        k += 2;
      } else if ((tokens[k] == "<" || tokens[k] == ">") && !pair("<<") && !pair(">>")) {
        op = tokens[k][0] == '<' ? 0 : 1;
        k += 1;
      } else {
        break;
      }
      Value w = sum();
      if (!good) break;
      v = combine(v, w, [op](float x, float y) {
        return float(op == 0 ? x < y : op == 1 ? x > y : op == 2 ? x <= y : x >= y);
      });
    }
    return v;
  };
  std::function<Value()> equality = [&]() -> Value {
    Value v = relation();
    while (good && (pair("==") || pair("!="))) {
      const bool same = tokens[k][0] == '=';
      k += 2;
      Value w = relation();
      if (!good) break;
      v = combine(v, w, [same](float x, float y) { return float((x == y) == same); });
    }
    return v;
  };
  std::function<Value()> both = [&]() -> Value {
    Value v = equality();
    while (good && pair("&&")) {
      k += 2;
      Value w = equality();
      if (!good) break;
      v = combine(v, w, [](float x, float y) { return float(x != 0 && y != 0); });
    }
    return v;
  };
  std::function<Value()> either = [&]() -> Value {
    Value v = both();
    while (good && pair("||")) {
      k += 2;
      Value w = both();
      if (!good) break;
      v = combine(v, w, [](float x, float y) { return float(x != 0 || y != 0); });
    }
    return v;
  };
  conditional = [&]() -> Value {
    Nest nest(depth);
    if (depth > 200) return failed();
    Value test = either();
    if (!good || k >= end || tokens[k] != "?") return test;
    ++k;
    Value yes = conditional();
    if (!good || k >= end || tokens[k] != ":") return failed();
    ++k;
    Value no = conditional();
    if (!good || test.empty() || yes.empty() || no.empty()) return failed();
    // A vector test picks component by component.
    size_t n = std::max({test.size(), yes.size(), no.size()});
    if ((test.size() != 1 && test.size() != n) || (yes.size() != 1 && yes.size() != n) ||
        (no.size() != 1 && no.size() != n))
      return failed();
    Value v(n);
    for (size_t i = 0; i < n; ++i)
      v[i] = test[test.size() == 1 ? 0 : i] != 0 ? yes[yes.size() == 1 ? 0 : i]
                                                 : no[no.size() == 1 ? 0 : i];
    return v;
  };
  Value v = conditional();
  if (!good || k != end || v.empty()) return false;
  for (float x : v)
    if (!std::isfinite(x)) return false;
  result = v;
  return true;
}

namespace {

class Parser {
 public:
  Parser(const std::string& text, const std::string& file, EffectSource& out, std::string& errors)
      : clean(blankComments(text)),
        files{file},
        tokens(tokenize(clean, files)),
        out(out),
        errors(errors) {
    out.hlsl = clean;
  }

  bool run() {
    while (pos < tokens.size() && ok) {
      const std::string& t = tokens[pos].text;
      if (equalNoCase(t, "technique") || equalNoCase(t, "technique9")) {
        technique();
      } else if (equalNoCase(t, "technique10") || equalNoCase(t, "technique11") ||
                 equalNoCase(t, "fxgroup")) {
        // Techniques of later Direct3D versions, alone or in an fxgroup of
        // them: not ours to draw, and not the compiler's to read.
        const Token& first = at(pos);
        size_t open = pos;
        while (open < tokens.size() && at(open).text != "{") ++open;
        size_t end = skipGroup(open, "{", "}");
        if (!ok) break;
        if (at(end).text == ";") ++end;
        blank(first.begin, at(end - 1).end);
        // An fxgroup is named in the message by the first technique in it.
        Token named = first;
        for (size_t k = open; k < end && equalNoCase(t, "fxgroup"); ++k)
          if (equalNoCase(at(k).text, "technique10") || equalNoCase(at(k).text, "technique11")) {
            named = at(k);
            break;
          }
        pos = end;
        ++laterTechniques;
        if (!laterFirst.line) laterFirst = named;
      } else {
        statement();
      }
    }
    if (ok && out.techniques.empty() && laterTechniques)
      fail(laterFirst, "the effect has only " + laterFirst.text +
                           " techniques, which are for later Direct3D versions");
    if (ok) writableGlobals();
    return ok;
  }

 private:
  const Token& at(size_t i) const {
    static const Token end{"", 0, 0, 0};
    return i < tokens.size() ? tokens[i] : end;
  }
  void fail(const Token& where, const std::string& text) {
    if (ok)
      errors +=
          files[size_t(where.file)] + "(" + std::to_string(where.line) + "): error: " + text + "\n";
    ok = false;
  }
  void blank(size_t begin, size_t end) {
    for (size_t i = begin; i < end && i < out.hlsl.size(); ++i)
      if (out.hlsl[i] != '\n') out.hlsl[i] = ' ';
  }
  // From an opening bracket to the token after its match.
  size_t skipGroup(size_t i, const char* open, const char* close) {
    int depth = 0;
    for (; i < tokens.size(); ++i) {
      if (tokens[i].text == open) ++depth;
      if (tokens[i].text == close && --depth == 0) return i + 1;
    }
    fail(at(i - 1), std::string("missing '") + close + "'");
    return tokens.size();
  }
  bool expect(const char* text) {
    if (pos >= tokens.size()) {
      fail(tokens.empty() ? Token{"", 0, 0, 1, 0} : tokens.back(),
           std::string("unexpected end of file, expected '") + text + "'");
      return false;
    }
    if (at(pos).text != text) {
      fail(at(pos), std::string("expected '") + text + "' near '" + at(pos).text + "'");
      return false;
    }
    ++pos;
    return true;
  }

  // "<" annotations ">" after a name: the compiler does not know them.
  void skipAnnotations() {
    if (at(pos).text != "<") return;
    size_t b = at(pos).begin;
    size_t e = skipGroup(pos, "<", ">");
    blank(b, at(e - 1).end);
    pos = e;
  }

  std::vector<Assignment> assignments(size_t end) {
    std::vector<Assignment> list;
    while (pos < end && ok) {
      Assignment a;
      const Token& first = at(pos);
      a.line = first.line;
      a.file = files[size_t(first.file)];
      a.state = at(pos).text;
      if (!identStart(a.state.empty() ? ' ' : a.state[0])) {
        fail(first, "state name expected near '" + a.state + "'");
        break;
      }
      ++pos;
      if (at(pos).text == "[") {
        long index = std::strtol(at(pos + 1).text.c_str(), nullptr, 0);
        if (index < 0 || index > 15) {
          fail(first, "invalid index for " + a.state);
          break;
        }
        a.index = int(index);
        pos += 2;
        if (!expect("]")) break;
      }
      if (!expect("=")) break;
      int depth = 0;
      while (pos < end && (depth > 0 || at(pos).text != ";")) {
        const std::string& t = at(pos).text;
        if (t == "{" || t == "(") ++depth;
        if (t == "}" || t == ")") --depth;
        a.value.push_back(t);
        ++pos;
      }
      if (!expect(";")) break;
      list.push_back(a);
    }
    return list;
  }

  void technique() {
    size_t begin = at(pos).begin;
    ++pos;
    Technique t;
    if (identStart(at(pos).text.empty() ? ' ' : at(pos).text[0])) t.name = at(pos++).text;
    skipAnnotations();
    if (!expect("{")) return;
    while (ok && pos < tokens.size() && at(pos).text != "}") {
      if (!equalNoCase(at(pos).text, "pass")) {
        fail(at(pos), "'pass' expected near '" + at(pos).text + "'");
        return;
      }
      ++pos;
      Pass p;
      if (at(pos).text != "{" && at(pos).text != "<") p.name = at(pos++).text;
      skipAnnotations();
      size_t open = pos;
      if (!expect("{")) return;
      size_t close = skipGroup(open, "{", "}") - 1;
      if (!ok) return;
      p.states = assignments(close);
      pos = close + 1;
      t.passes.push_back(p);
    }
    if (!expect("}")) return;
    if (at(pos).text == ";") ++pos;
    blank(begin, at(pos - 1).end);
    out.techniques.push_back(t);
  }

  // Functions may assign to a parameter (only "const" ones are read-only
  // in them); the compiler takes globals as read-only, so a parameter that
  // a function body writes is declared under the name fx_in_<name> and
  // copied into a static of its own name, which the functions then use.
  // (The GLSL keeps the parameter's own name for it, see SpirvToGlsl.)
  void writableGlobals() {
    std::map<std::string, const Global*> byName;
    for (const Global& g : globals) byName[at(g.nameToken).text] = &g;
    std::map<size_t, const Global*> written;  // by name token, to keep order
    auto assignment = [&](size_t j) {
      const std::string& t = at(j).text;
      const std::string& next = at(j + 1).text;
      if (t == "=") return next != "=";
      if (next == "=" && at(j + 1).begin == at(j).end)
        return t == "+" || t == "-" || t == "*" || t == "/" || t == "%";
      return (t == "+" || t == "-") && next == t && at(j + 1).begin == at(j).end;
    };
    for (const auto& [open, close] : bodies)
      for (size_t k = open + 1; k < close; ++k) {
        auto g = byName.find(at(k).text);
        if (g == byName.end() || at(k - 1).text == ".") continue;
        bool writes =
            (at(k - 1).text == "+" || at(k - 1).text == "-") && at(k - 2).text == at(k - 1).text;
        size_t j = k + 1;
        while (j < close) {
          if (at(j).text == "." && identStart(at(j + 1).text.empty() ? ' ' : at(j + 1).text[0])) {
            j += 2;
          } else if (at(j).text == "[") {
            int depth = 0;
            for (; j < close; ++j) {
              if (at(j).text == "[") ++depth;
              if (at(j).text == "]" && --depth == 0) break;
            }
            ++j;
          } else {
            break;
          }
        }
        if (writes || (j < close && assignment(j))) written[g->second->nameToken] = g->second;
      }
    for (const auto& [token, g] : written) {
      const Token& n = at(token);
      edits.push_back({n.begin, n.end - n.begin, "fx_in_" + n.text});
      edits.push_back({at(g->end).end, 0,
                       " static " + g->type + " " + n.text +
                           (g->elements ? "[" + std::to_string(g->elements) + "]" : "") +
                           " = fx_in_" + n.text + ";"});
    }
    // Edits from the end, so the offsets before them still hold.
    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit& a, const Edit& b) { return a.at > b.at; });
    for (const Edit& e : edits) out.hlsl.replace(e.at, e.erase, e.text);
  }

  // "vector<float, 3>" and "matrix<int, 2, 3>" from the type word at `k`:
  // the shape in `p` and the position after the '>', or `k` unchanged when
  // no such list follows.
  size_t templateShape(size_t k, Param& p) {
    const std::string& t = at(k).text;
    if ((t != "vector" && t != "matrix") || at(k + 1).text != "<") return k;
    Param scalar;
    if (!typeShape(at(k + 2).text, scalar) || scalar.rows != 1 || scalar.cols != 1) return k;
    std::vector<int> sizes;
    size_t i = k + 3;
    while (at(i).text == "," && at(i + 1).text.size() == 1 && at(i + 1).text[0] >= '1' &&
           at(i + 1).text[0] <= '4') {
      sizes.push_back(at(i + 1).text[0] - '0');
      i += 2;
    }
    if (at(i).text != ">" || sizes.size() != (t == "vector" ? 1u : 2u)) return k;
    p.type = scalar.type;
    p.rows = t == "vector" ? 1 : sizes[0];
    p.cols = sizes.back();
    return i + 1;
  }

  // "struct Name { float4 a; float b[2]; Other c; };": the members, for
  // parameters of the type. A member of another kind (a texture, a type
  // not known) leaves the type out: such parameters stay the compiler's.
  void structDefinition(size_t nameToken, size_t open) {
    size_t save = pos;
    size_t close = skipGroup(open, "{", "}") - 1;
    pos = save;
    if (!ok) return;
    std::vector<Member> members;
    size_t k = open + 1;
    while (k < close) {
      Member shape;
      const std::string& type = at(k).text;
      Param p;
      if (size_t after = templateShape(k, p); after != k) {
        shape.leaf = p;
        k = after - 1;
      } else if (typeShape(type, p)) {
        shape.leaf = p;
      } else if (structs.count(type)) {
        shape.type = type;
      } else {
        return;
      }
      for (++k; k < close;) {
        Member m = shape;
        if (!identStart(at(k).text.empty() ? ' ' : at(k).text[0])) return;
        m.name = at(k++).text;
        if (at(k).text == "[") {
          size_t end = k + 1;
          while (end < close && at(end).text != "]") ++end;
          long n = arraySize(k + 1, end);
          if (n < 1 || n > 4096) return;
          m.elements = int(n);
          k = end + 1;
        }
        while (k < close && at(k).text != "," && at(k).text != ";") ++k;  // semantics
        members.push_back(m);
        if (at(k).text == ",") {
          ++k;
          continue;
        }
        ++k;
        break;
      }
    }
    if (!members.empty()) structs[at(nameToken).text] = members;
  }

  // The parameters of one `type` value named `name`: a Struct entry, then
  // its members in order, elements of arrays one by one. False past a
  // bound on their number.
  bool structParams(const std::string& name, const std::string& type, const std::string& semantic,
                    int depth) {
    if (depth > 8 || out.params.size() > 8192) return false;
    Param s;
    s.name = name;
    s.semantic = semantic;
    s.kind = ParamKind::Struct;
    s.rows = s.cols = 0;
    out.params.push_back(s);
    for (const Member& m : structs[type]) {
      const std::string full = name + "." + m.name;
      if (m.type.empty()) {
        Param leaf = m.leaf;
        leaf.name = full;
        leaf.elements = m.elements;
        leaf.defaults.assign(leaf.size(), 0.0f);
        out.params.push_back(leaf);
        continue;
      }
      if (!m.elements) {
        if (!structParams(full, m.type, "", depth + 1)) return false;
        continue;
      }
      Param array = s;
      array.name = full;
      array.semantic.clear();
      out.params.push_back(array);
      for (int e = 0; e < m.elements; ++e)
        if (!structParams(full + "[" + std::to_string(e) + "]", m.type, "", depth + 1))
          return false;
    }
    return true;
  }

  // A declaration of struct type `type` from the name at `i`: its
  // parameters (none for a static one), a value spread over the members
  // in order, and the initialiser blanked for the compiler.
  void structDeclaration(size_t i, size_t end, const std::string& type, bool isStatic) {
    while (i < end && ok) {
      size_t stop = i;
      for (int depth = 0; stop < end; ++stop) {
        const std::string& t = at(stop).text;
        if (t == "(" || t == "{" || t == "[") ++depth;
        if (t == ")" || t == "}" || t == "]") --depth;
        if (t == "<" && depth == 0) {
          stop = skipGroup(stop, "<", ">") - 1;
          continue;
        }
        if (t == "," && depth == 0) break;
      }
      if (!identStart(at(i).text.empty() ? ' ' : at(i).text[0])) return;
      const std::string name = at(i++).text;
      int elements = 0;
      if (at(i).text == "[") {
        size_t close = i + 1;
        while (close < stop && at(close).text != "]") ++close;
        long n = arraySize(i + 1, close);
        if (n < 1 || n > 4096) {
          fail(at(i), "invalid array size for '" + name + "'");
          return;
        }
        elements = int(n);
        i = close + 1;
      }
      std::string semantic;
      while (i < stop && at(i).text == ":") {
        if (at(i + 1).text != "register" && at(i + 1).text != "packoffset")
          semantic = at(i + 1).text;
        i += 2;
        if (at(i).text == "(") {
          size_t save = pos;
          pos = i;
          i = skipGroup(i, "(", ")");
          pos = save;
        }
      }
      while (i < stop && at(i).text != "=") ++i;  // annotations
      if (!isStatic) {
        const size_t first = out.params.size();
        bool fits = true;
        if (!elements) {
          fits = structParams(name, type, semantic, 0);
        } else {
          Param array;
          array.name = name;
          array.semantic = semantic;
          array.kind = ParamKind::Struct;
          array.rows = array.cols = 0;
          out.params.push_back(array);
          for (int e = 0; e < elements && fits; ++e)
            fits = structParams(name + "[" + std::to_string(e) + "]", type, "", 0);
        }
        if (!fits) {
          fail(at(i - 1), "'" + name + "' has too many members");
          return;
        }
        std::vector<float> value;
        if (i < stop && at(i).text == "=" && evaluate(i + 1, stop, value)) {
          size_t total = 0;
          for (size_t k = first; k < out.params.size(); ++k)
            if (out.params[k].kind == ParamKind::Value) total += out.params[k].size();
          if (value.size() == total) {
            size_t next = 0;
            for (size_t k = first; k < out.params.size(); ++k)
              for (float& x : out.params[k].defaults) x = value[next++];
          }
        }
        if (i < stop) blank(at(i).begin, at(stop - 1).end);
      }
      if (stop >= end || at(stop).text != ",") return;
      i = stop + 1;
    }
  }

  // A declaration, function or type at file level.
  void statement() {
    if (at(pos).text == "struct" && at(pos + 2).text == "{") structDefinition(pos + 1, pos + 2);
    size_t first = pos;
    bool sawAssign = false, sawParen = false;
    size_t i = pos;
    for (; i < tokens.size(); ++i) {
      const std::string& t = tokens[i].text;
      if (t == "=") sawAssign = true;
      // "float4 c : register(c4);" is a declaration, not a prototype.
      if (t == "(" && !sawAssign && i > pos &&
          (tokens[i - 1].text == "register" || tokens[i - 1].text == "packoffset")) {
        i = skipGroup(i, "(", ")") - 1;
        continue;
      }
      if (t == "(") sawParen = true;
      if (t == ";") break;
      // Annotations after a name or semantic: they hold ';' of their own.
      if (t == "<" && !sawAssign && !sawParen && i > pos && identStart(tokens[i - 1].text[0])) {
        i = skipGroup(i, "<", ">") - 1;
        continue;
      }
      if (t == "{" && !sawAssign) {  // function body, struct, cbuffer
        pos = skipGroup(i, "{", "}");
        for (size_t k = i + 1; k + 1 < pos; ++k)
          if (at(k).text == "asm" && at(k + 1).text == "{") {
            fail(at(k), "shader assembly (asm { ... }) is not supported; write the shader in HLSL");
            return;
          }
        bodies.push_back({i, pos});
        if (at(pos).text == ";") ++pos;
        return;
      }
      if (t == "{") i = skipGroup(i, "{", "}") - 1;
    }
    size_t end = i;  // the ';'
    pos = end + 1;
    if (sawParen && !sawAssign) return;  // a prototype
    declaration(first, end);
  }

  // The size between "[" and "]": numbers and integer constants of the
  // file with + - * / and brackets; 0 when it is none of that.
  long arraySize(size_t begin, size_t end) {
    size_t k = begin;
    bool good = true;
    std::function<long()> sum, product, term;
    int depth = 0;
    term = [&]() -> long {
      if (k >= end || ++depth > 200) return good = false, 0;
      const std::string& t = at(k++).text;
      if (t == "(") {
        long v = sum();
        if (k < end && at(k).text == ")")
          ++k;
        else
          good = false;
        return v;
      }
      if (t == "-") return -term();
      if (std::isdigit(static_cast<unsigned char>(t[0]))) return std::strtol(t.c_str(), nullptr, 0);
      auto c = constants.find(t);
      if (c == constants.end()) return good = false, 0;
      return c->second;
    };
    product = [&]() -> long {
      long v = term();
      while (good && k < end && (at(k).text == "*" || at(k).text == "/")) {
        bool times = at(k++).text == "*";
        long w = term();
        if (std::labs(v) > 65536 || std::labs(w) > 65536 || (!times && w == 0))
          return good = false, 0;
        v = times ? v * w : v / w;
      }
      return v;
    };
    sum = [&]() -> long {
      long v = product();
      while (good && k < end && (at(k).text == "+" || at(k).text == "-")) {
        bool plus = at(k++).text == "+";
        long w = product();
        if (std::labs(v) > 65536 || std::labs(w) > 65536) return good = false, 0;
        v = plus ? v + w : v - w;
      }
      return v;
    };
    long v = sum();
    return good && k == end ? v : 0;
  }

  // The value of a constant initialiser between `begin` and `end`: numbers,
  // true and false, + - * / and brackets, constructors and casts
  // ("float3(1, 2, 3)", "(float4)0", "{...}"), swizzles, the common
  // intrinsics, and names of values declared before. Components come out
  // flat, as the declaration lists them; false for anything else.
  bool evaluate(size_t begin, size_t end, std::vector<float>& result) {
    if (end < begin) return false;
    std::vector<std::string> texts;
    texts.reserve(end - begin);
    for (size_t k = begin; k < end; ++k) texts.push_back(at(k).text);
    return evaluateExpression(
        texts, 0, texts.size(),
        [this](const std::string& name) -> const std::vector<float>* {
          auto known = values.find(name);
          return known == values.end() ? nullptr : &known->second;
        },
        result);
  }

  void declaration(size_t first, size_t end) {
    size_t i = first;
    bool isStatic = false, isConst = false;
    std::vector<size_t> constWords;
    static const char* modifiers[] = {"uniform",  "static",    "const",        "extern", "shared",
                                      "volatile", "row_major", "column_major", "precise"};
    for (bool more = true; more && i < end;) {
      more = false;
      for (const char* m : modifiers)
        if (at(i).text == m) {
          isStatic = isStatic || at(i).text == "static";
          isConst = isConst || at(i).text == "const";
          if (at(i).text == "const") constWords.push_back(i);
          ++i;
          more = true;
        }
    }
    if (i + 1 >= end) return;
    Param p;
    // The names kept from Direct3D 8 effects stand for these types.
    static const std::map<std::string, std::string> kOldTypes = {{"DWORD", "int"},
                                                                 {"FLOAT", "float"},
                                                                 {"VECTOR", "vector"},
                                                                 {"MATRIX", "matrix"},
                                                                 {"STRING", "string"}};
    auto old = kOldTypes.find(at(i).text);
    std::string type = old != kOldTypes.end() ? old->second : at(i).text;
    std::string lower;
    for (char c : type) lower += char(std::tolower(static_cast<unsigned char>(c)));
    // Keywords in another case ("Matrix") are the keywords.
    if (lower == "matrix" || lower == "vector") type = lower;
    bool blankWhole = false;
    if (lower == "vertexshader" || lower == "pixelshader") {
      ShaderVariable v;
      v.vertex = lower == "vertexshader";
      v.name = at(i + 1).text;
      size_t k = i + 2;
      while (k < end && at(k).text != "=") ++k;
      if (k < end) {
        ++k;
        bool braces = at(k).text == "{";
        if (braces) ++k;
        std::vector<std::string> element;
        int depth = 0;
        for (; k < end; ++k) {
          const std::string& t = at(k).text;
          if (braces && depth == 0 && t == "}") break;
          if (t == "(" || t == "{") ++depth;
          if (t == ")" || t == "}") --depth;
          if (t == "," && depth == 0) {
            v.elements.push_back(element);
            element.clear();
            continue;
          }
          element.push_back(t);
        }
        if (!element.empty()) v.elements.push_back(element);
      }
      out.shaders.push_back(v);
      blank(at(first).begin, at(end).end);
      return;
    }
    if (lower.rfind("texture", 0) == 0) {
      p.kind = ParamKind::Texture;
      blankWhole = true;
    } else if (lower.rfind("sampler", 0) == 0) {
      p.kind = ParamKind::Sampler;
    } else if (type == "string") {
      p.kind = ParamKind::String;
      blankWhole = true;
    } else if (structs.count(type)) {
      structDeclaration(i + 1, end, type, isStatic);
      return;
    } else if (!typeShape(type, p)) {
      return;  // something the compiler judges
    }
    // A sampler or texture declared static is a parameter all the same.
    if (p.kind == ParamKind::Sampler || p.kind == ParamKind::Texture) isStatic = false;
    // "const" on a global that is not static only keeps the shaders from
    // writing it: it is a parameter the application sets. The compiler
    // would take it for a constant, of a value it is not given (values are
    // ours to set), so it goes; but for a whole number, which may size
    // arrays ("const int N = 4; float w[N];") and so keeps its value.
    if (p.kind == ParamKind::Value && !isStatic && !(p.type == ValueType::Int && p.size() == 1))
      for (size_t k : constWords) blank(at(k).begin, at(k).end);
    declType = at(i).text;
    declEnd = end;
    if (size_t after = templateShape(i, p); after != i) {
      // The compiler gets the shape as a type word of its own.
      declType = (p.type == ValueType::Int    ? "int"
                  : p.type == ValueType::Bool ? "bool"
                                              : "float") +
                 std::to_string(p.rows == 1 ? p.cols : p.rows) +
                 (p.rows == 1 ? "" : "x" + std::to_string(p.cols));
      i = after - 1;
    }
    ++i;
    // "float a, b[2] : B = {1, 2};": each name after the type is a
    // parameter of its own, with its own size, semantic and value.
    while (i < end && ok) {
      size_t next = declarator(i, end, p, blankWhole, isStatic, isConst);
      if (next >= end || at(next).text != ",") break;
      i = next + 1;
    }
    if (blankWhole) blank(at(first).begin, at(end).end);
  }

  // One name of a declaration from `i` with the type's shape in `shape`;
  // the position of the ',' after it or `end`.
  size_t declarator(size_t i, size_t end, const Param& shape, bool blankWhole, bool isStatic,
                    bool isConst) {
    Param p = shape;
    // Where this name's part ends: the next ',' outside brackets.
    size_t stop = i;
    bool sawAssign = false;
    for (int depth = 0; stop < end; ++stop) {
      const std::string& t = at(stop).text;
      if (t == "(" || t == "{" || t == "[") ++depth;
      if (t == ")" || t == "}" || t == "]") --depth;
      if (t == "=") sawAssign = true;
      if (t == "<" && depth == 0 && !sawAssign) {
        stop = skipGroup(stop, "<", ">") - 1;
        continue;
      }
      if (t == "," && depth == 0) break;
    }
    if (!identStart(at(i).text.empty() ? ' ' : at(i).text[0])) return end;
    const size_t nameToken = i;
    p.name = at(i++).text;
    size_t unsized = 0;  // the "]" of "name[]", sized by its initialiser
    if (at(i).text == "[" && at(i + 1).text == "]" && p.kind == ParamKind::Value) {
      unsized = i + 1;
      i += 2;
    } else if (at(i).text == "[") {
      // Direct3D 9 has a few hundred constant registers: a larger array is
      // a mistake, not something to allocate.
      size_t close = i + 1;
      while (close < stop && at(close).text != "]") ++close;
      // Without its "]" the size is the one word after "[" (the compiler
      // judges the rest).
      if (close >= stop) close = std::min(i + 2, stop);
      long elements = arraySize(i + 1, close);
      if (elements < 1 || elements > 4096) {
        fail(at(i), "invalid array size for '" + p.name + "'");
        return end;
      }
      p.elements = int(elements);
      i = close;
      if (at(i).text == "]") ++i;
    }
    while (i + 1 < stop && at(i).text == ":") {  // semantic or register
      if (at(i + 1).text != "register" && at(i + 1).text != "packoffset")
        p.semantic = at(i + 1).text;
      // A sampler bound to a unit of its own: "register(s2)" (a profile
      // may come first, "register(ps_3_0, s2)"; its last word decides).
      if (at(i + 1).text == "register" && p.kind == ParamKind::Sampler && at(i + 2).text == "(") {
        size_t close = i + 3;
        while (close < stop && at(close).text != ")") ++close;
        const std::string& word = at(close - 1).text;
        if (close < stop && word.size() >= 2 && (word[0] == 's' || word[0] == 'S') &&
            std::all_of(word.begin() + 1, word.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
            word.size() <= 3)
          p.samplerRegister = std::atoi(word.c_str() + 1);
      }
      i += 2;
      if (at(i).text == "(") {
        size_t save = pos;
        pos = i;
        i = skipGroup(i, "(", ")");
        pos = save;
      }
    }
    if (at(i).text == "<") {
      size_t save = pos;
      pos = i;
      skipAnnotations();
      i = pos;
      pos = save;
    }
    size_t initBegin = i;
    if (at(i).text == "=") {
      if (p.kind == ParamKind::Sampler) {
        // "= sampler_state { ... }"
        if (p.elements && at(i + 1).text == "{") {
          fail(at(i), "arrays of samplers ('" + p.name + "') are not supported");
          return end;
        }
        size_t open = i + 1;
        while (open < stop && at(open).text != "{") ++open;
        if (open < stop) {
          size_t save = pos;
          size_t close = skipGroup(open, "{", "}") - 1;
          pos = open + 1;
          p.samplerStates = assignments(close);
          pos = save;
          if (ok && close + 1 < stop) {
            fail(at(close + 1), "expected ';' after the sampler_state of '" + p.name + "' near '" +
                                    at(close + 1).text + "'");
            return end;
          }
        }
      } else if (p.kind == ParamKind::Value && evaluate(i + 1, stop, p.defaults)) {
        // "float3 k[] = {...}": as many elements as the value holds, and the
        // compiler told the number.
        const size_t each = size_t(p.rows * p.cols);
        if (unsized) {
          const size_t count = p.defaults.size() / each;
          if (count < 1 || count > 4096 || p.defaults.size() % each) {
            fail(at(unsized), "invalid array size for '" + p.name + "'");
            return end;
          }
          p.elements = int(count);
          edits.push_back({at(unsized).begin, 0, std::to_string(count)});
          unsized = 0;
        }
        // A constant expression, worked out as the compiler would; whole
        // numbers for int and bool.
        for (float& x : p.defaults)
          if (p.type == ValueType::Int)
            x = std::trunc(x);
          else if (p.type == ValueType::Bool)
            x = x != 0 ? 1.0f : 0.0f;
      } else if (p.kind == ParamKind::Value) {
        p.defaults.clear();
        for (size_t k = i + 1; k < stop; ++k) {
          std::string t = at(k).text;
          float sign = 1;
          if ((t == "-" || t == "+") && k + 1 < stop &&
              (std::isdigit(static_cast<unsigned char>(at(k + 1).text[0])) ||
               at(k + 1).text[0] == '.')) {
            sign = t == "-" ? -1.0f : 1.0f;
            t = at(++k).text;
          }
          if (t == "true")
            p.defaults.push_back(1);
          else if (t == "false")
            p.defaults.push_back(0);
          else if (std::isdigit(static_cast<unsigned char>(t[0])) || t[0] == '.')
            p.defaults.push_back(sign * std::strtof(t.c_str(), nullptr));
        }
      }
    }
    if (unsized) {
      fail(at(unsized), "invalid array size for '" + p.name + "'");
      return end;
    }
    // A constant whole number keeps its value for the compiler, which may
    // size arrays or count loops with it.
    const bool keptConstant =
        isConst && p.kind == ParamKind::Value && p.type == ValueType::Int && p.size() == 1;
    if (!blankWhole && initBegin < stop && !isStatic && !keptConstant) {
      // The compiler gets the declaration without its value: defaults are
      // ours to set.
      blank(at(initBegin).begin, at(stop - 1).end);
    }
    if (p.kind == ParamKind::Value && initBegin < stop && at(initBegin).text == "=") {
      // Later initialisers may name it.
      std::vector<float> value = p.defaults;
      if (value.size() == 1 && p.size() > 1) value.resize(p.size(), value[0]);
      if (value.size() == p.size()) {
        values[p.name] = value;
        if (isStatic) {
          out.statics[p.name] = p;
          out.statics[p.name].defaults = value;
        }
      }
    }
    if (isStatic || isConst) {
      // "static const int N = 4;": array sizes may name it.
      if (p.kind == ParamKind::Value && p.type == ValueType::Int && p.size() == 1 &&
          initBegin < stop && at(initBegin).text == "=") {
        long value = arraySize(initBegin + 1, stop);
        if (value || (initBegin + 2 == stop && at(initBegin + 1).text == "0"))
          constants[p.name] = value;
      }
      if (isStatic) return stop;
    }
    if (p.kind == ParamKind::Value) {
      if (p.defaults.size() == 1 && p.size() > 1) p.defaults.resize(p.size(), p.defaults[0]);
      p.defaults.resize(p.size(), 0.0f);
      if (!isConst) globals.push_back({nameToken, declEnd, declType, p.elements});
    }
    out.params.push_back(p);
    return stop;
  }

  std::string clean;
  std::vector<std::string> files;
  std::vector<Token> tokens;
  EffectSource& out;
  std::string& errors;
  size_t pos = 0;
  bool ok = true;
  std::map<std::string, long> constants;
  // Text the compiler is given beyond the source's, at source offsets
  // (made after the parse, from the end).
  struct Edit {
    size_t at, erase;
    std::string text;
  };
  std::vector<Edit> edits;
  std::map<std::string, std::vector<float>> values;
  // Value parameters that functions may write: where the name and the
  // declaration's ';' are, the type as written, the array size.
  struct Global {
    size_t nameToken, end;
    std::string type;
    int elements;
  };
  std::vector<Global> globals;
  // Struct types by name: their members, a value shape or another struct.
  struct Member {
    std::string name;
    Param leaf;        // the member's shape when it is a value
    std::string type;  // the struct type when it is one
    int elements = 0;
  };
  std::map<std::string, std::vector<Member>> structs;
  std::vector<std::pair<size_t, size_t>> bodies;  // function bodies, '{' to after '}'
  std::string declType;
  size_t declEnd = 0;
  int laterTechniques = 0;
  Token laterFirst{"", 0, 0, 0, 0};
};

}  // namespace

bool parseEffect(const std::string& text, const std::string& fileName, EffectSource& out,
                 std::string& errors) {
  out = {};
  return Parser(text, fileName, out, errors).run();
}

}  // namespace d3dx_fx
