#include "platform/d3dx/EffectPreprocessor.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>

#include "platform/file/FileSystem.h"

namespace d3dx_fx {

namespace {

constexpr int kMaxIncludeDepth = 32;
// Macro arguments within arguments, brackets within an #if expression.
constexpr int kMaxNesting = 200;
// A bound on the work one file may ask of the macro expander (a macro that
// doubles its text with every level would otherwise exhaust the memory).
constexpr size_t kMaxExpandedTokens = 500000;

bool identStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool identChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

enum class Kind { Ident, Number, String, Punct, Newline, Placemarker };

struct Tok {
  Kind kind = Kind::Punct;
  std::string text;
  bool space = false;  // whitespace before it
  int line = 0;        // physical line it starts on
  int lines = 1;       // Newline: the physical lines it ends (continuations, comments)
  bool paste = false;  // a "##" of a macro body
  // Macros not to expand again (names in the macro table, which does not
  // change while a text is expanded).
  std::shared_ptr<const std::vector<const std::string*>> hide;
};

using HideSet = std::vector<const std::string*>;

bool hidden(const Tok& t, const std::string* name) {
  return t.hide && std::find(t.hide->begin(), t.hide->end(), name) != t.hide->end();
}

void addHide(Tok& t, const std::shared_ptr<const HideSet>& more) {
  if (!more || more->empty() || t.hide == more) return;
  if (!t.hide) {
    t.hide = more;
    return;
  }
  auto merged = std::make_shared<HideSet>(*more);
  for (const std::string* n : *t.hide)
    if (std::find(merged->begin(), merged->end(), n) == merged->end()) merged->push_back(n);
  t.hide = merged;
}

// The text as tokens, newlines included; comments and line continuations
// are gone (their lines counted into the next newline).
std::vector<Tok> lex(const std::string& s) {
  std::vector<Tok> out;
  int line = 1, pendingLines = 0;
  bool space = false;
  size_t i = 0;
  // Skips any line continuations at i.
  auto splice = [&] {
    for (;;) {
      if (i + 1 < s.size() && s[i] == '\\' && s[i + 1] == '\n') {
        i += 2;
        ++pendingLines;
      } else if (i + 2 < s.size() && s[i] == '\\' && s[i + 1] == '\r' && s[i + 2] == '\n') {
        i += 3;
        ++pendingLines;
      } else {
        return;
      }
    }
  };
  auto push = [&](Kind kind, std::string text) {
    Tok t;
    t.kind = kind;
    t.text = std::move(text);
    t.space = space;
    t.line = line + pendingLines;
    out.push_back(std::move(t));
    space = false;
  };
  while (true) {
    splice();
    if (i >= s.size()) break;
    char c = s[i];
    if (c == '\n') {
      Tok t;
      t.kind = Kind::Newline;
      t.text = "\n";
      t.line = line + pendingLines;
      t.lines = 1 + pendingLines;
      out.push_back(t);
      line += 1 + pendingLines;
      pendingLines = 0;
      space = false;
      ++i;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      space = true;
      ++i;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      while (i < s.size() && s[i] != '\n') {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\n') {
          i += 2;  // a continued comment goes on on the next line
          ++pendingLines;
        } else {
          ++i;
        }
      }
      space = true;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      size_t end = s.find("*/", i + 2);
      end = end == std::string::npos ? s.size() : end + 2;
      pendingLines += int(std::count(s.begin() + long(i), s.begin() + long(end), '\n'));
      i = end;
      space = true;
    } else if (identStart(c)) {
      std::string text;
      while (i < s.size()) {
        splice();
        if (i < s.size() && identChar(s[i]))
          text += s[i++];
        else
          break;
      }
      push(Kind::Ident, text);
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < s.size() &&
                std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      std::string text;
      while (i < s.size()) {
        splice();
        if (i >= s.size()) break;
        char d = s[i];
        if (identChar(d) || d == '.' ||
            ((d == '+' || d == '-') && !text.empty() &&
             (text.back() == 'e' || text.back() == 'E') &&
             !(text.size() > 1 && (text[1] == 'x' || text[1] == 'X'))))
          text += s[i++];
        else
          break;
      }
      push(Kind::Number, text);
    } else if (c == '"' || c == '\'') {
      std::string text(1, c);
      ++i;
      while (i < s.size() && s[i] != c && s[i] != '\n') {
        if (s[i] == '\\' && i + 1 < s.size()) text += s[i++];
        text += s[i++];
      }
      if (i < s.size() && s[i] == c) text += s[i++];
      push(Kind::String, text);
    } else {
      static const char* const kLong[] = {
          "##", "<<=", ">>=", "&&", "||", "==", "!=", "<=", ">=", "<<", ">>", "++",
          "--", "+=",  "-=",  "*=", "/=", "%=", "&=", "|=", "^=", "::", "->"};
      std::string text(1, c);
      for (const char* op : kLong)
        if (s.compare(i, std::char_traits<char>::length(op), op) == 0 &&
            std::char_traits<char>::length(op) > text.size())
          text = op;
      i += text.size();
      push(Kind::Punct, text);
    }
  }
  Tok end;
  end.kind = Kind::Newline;
  end.text = "\n";
  end.line = line + pendingLines;
  end.lines = pendingLines;  // the text may not end with a newline
  out.push_back(end);
  return out;
}

bool mergesWith(char a, char b) {
  if (identChar(a) && identChar(b)) return true;
  static const std::string ops = "+-*/%<>=!&|^:.#";
  return ops.find(a) != std::string::npos && ops.find(b) != std::string::npos;
}

struct Macro {
  bool function = false;
  bool variadic = false;
  std::vector<std::string> params;
  std::vector<Tok> body;
};

class Preprocessor {
 public:
  Preprocessor(bool includes, std::string& out, std::string& errors)
      : includes(includes), out(out), errors(errors) {}

  void define(const std::string& name, const std::string& value) {
    Macro m;
    std::vector<Tok> body = lex(value);
    for (Tok& t : body)
      if (t.kind != Kind::Newline) m.body.push_back(t);
    if (!m.body.empty()) m.body[0].space = false;
    macros[name] = m;
  }

  bool file(const std::string& text, const std::string& name, int depth) {
    struct Opened {
      std::vector<std::string>& files;
      ~Opened() { files.pop_back(); }
    } opened{openFiles};
    openFiles.push_back(name);
    std::vector<Tok> tokens = lex(text);
    struct Cond {
      bool active, taken, sawElse;
    };
    std::vector<Cond> conds;
    auto active = [&] { return conds.empty() || conds.back().active; };
    std::vector<Tok> chunk;  // text lines waiting for expansion
    auto flush = [&] {
      if (chunk.empty()) return;
      std::deque<Tok> input(chunk.begin(), chunk.end());
      chunk.clear();
      std::vector<Tok> expanded;
      expand(input, expanded, name);
      emit(expanded);
    };
    size_t i = 0;
    while (i < tokens.size() && ok) {
      // One line.
      size_t end = i;
      while (tokens[end].kind != Kind::Newline) ++end;
      const Tok& newline = tokens[end];
      if (end > i && tokens[i].kind == Kind::Punct && tokens[i].text == "#") {
        flush();
        std::vector<Tok> line(tokens.begin() + long(i) + 1, tokens.begin() + long(end));
        const std::string directive = line.empty() ? "" : line[0].text;
        const int at = tokens[i].line;
        auto fail = [&](const std::string& text) { this->fail(name, at, text); };
        std::vector<Tok> rest(line.begin() + (line.empty() ? 0 : 1), line.end());
        bool lineDone = false;  // the directive wrote its own line ending
        if (directive == "if" || directive == "ifdef" || directive == "ifndef") {
          // In a skipped block the condition is not read, and no branch of
          // it is taken.
          const bool parent = active();
          bool value = false;
          if (parent) {
            if (directive == "if") {
              value = condition(rest, name, at);
            } else {
              if (rest.empty() || rest[0].kind != Kind::Ident)
                fail("#" + directive + " without a name");
              else
                value = (macros.count(rest[0].text) != 0) == (directive == "ifdef");
            }
          }
          conds.push_back({parent && value, !parent || value, false});
        } else if (directive == "elif") {
          if (conds.empty() || conds.back().sawElse) {
            fail("#elif without #if");
          } else if (!conds.back().taken) {
            conds.back().active = condition(rest, name, at);
            conds.back().taken = conds.back().active;
          } else {
            conds.back().active = false;
          }
        } else if (directive == "else") {
          if (conds.empty() || conds.back().sawElse) {
            fail("#else without #if");
          } else {
            Cond& c = conds.back();
            c.sawElse = true;
            c.active = !c.taken;
            c.taken = true;
          }
        } else if (directive == "endif") {
          if (conds.empty())
            fail("#endif without #if");
          else
            conds.pop_back();
        } else if (!active()) {
          // Anything else in a skipped block is not read.
        } else if (directive == "define") {
          defineFrom(rest, name, at);
        } else if (directive == "undef") {
          if (rest.empty() || rest[0].kind != Kind::Ident)
            fail("#undef without a name");
          else
            macros.erase(rest[0].text);
        } else if (directive == "include") {
          std::string target = includeName(rest, name);
          if (!ok) {
          } else if (target.empty()) {
            fail("#include expects \"file\" or <file>");
          } else if (!includes) {
            fail("cannot open include file '" + target + "': text from memory has no folder");
          } else if (depth >= kMaxIncludeDepth) {
            fail("#include nested too deeply");
          } else {
            std::string path = includePath(name, target);
            std::string content;
            bool found = readFile(path, content);
            // Not beside the including file: beside the files that include
            // that one, the nearest first, as the Direct3D 9 compiler
            // looked for them.
            for (size_t k = openFiles.size() - 1; !found && k-- > 0;) {
              path = includePath(openFiles[k], target);
              content.clear();
              found = readFile(path, content);
            }
            if (!found) {
              fail("cannot open include file '" + target + "'");
            } else if (std::find(once.begin(), once.end(), path) != once.end()) {
              // "#pragma once" and seen already.
            } else {
              out += "#line 1 \"" + quoted(path) + "\"\n";
              if (!file(skipBom(content), path, depth + 1)) return false;
              if (!out.empty() && out.back() != '\n') out += '\n';
              out += "#line " + std::to_string(newline.line + newline.lines) + " \"" +
                     quoted(name) + "\"\n";
              lineDone = true;
            }
          }
        } else if (directive == "error") {
          std::string text;
          for (const Tok& t : rest) text += (text.empty() || !t.space ? "" : " ") + t.text;
          fail("#error " + text);
        } else if (directive == "pragma" && rest.size() == 1 && rest[0].text == "once") {
          once.push_back(name);
        } else if (directive == "pragma" || directive == "line") {
          // For the compiler.
          out += "#" + directive;
          for (const Tok& t : rest) out += " " + t.text;
        } else if (directive == "warning" || directive.empty()) {
        } else {
          fail("unknown preprocessor directive '#" + directive + "'");
        }
        if (!lineDone) out.append(size_t(newline.lines), '\n');
      } else if (active()) {
        chunk.insert(chunk.end(), tokens.begin() + long(i), tokens.begin() + long(end) + 1);
      } else {
        out.append(size_t(newline.lines), '\n');
      }
      i = end + 1;
    }
    flush();
    if (ok && !conds.empty()) this->fail(name, tokens.back().line, "#if without #endif");
    return ok;
  }

  bool ok = true;

 private:
  void fail(const std::string& file, int line, const std::string& text) {
    if (ok) errors += file + "(" + std::to_string(line) + "): error: " + text + "\n";
    ok = false;
  }

  static std::string quoted(const std::string& s) {
    std::string q;
    for (char c : s) {
      if (c == '"' || c == '\\') q += '\\';
      q += c;
    }
    return q;
  }

  static std::string skipBom(const std::string& s) {
    return s.compare(0, 3, "\xEF\xBB\xBF") == 0 ? s.substr(3) : s;
  }

  static bool readFile(const std::string& path, std::string& text) {
    FILE* f = openFile(path.c_str(), "rb");
    if (!f) return false;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
    // As the compiler would read it: up to a NUL byte.
    text.resize(std::min(text.size(), std::char_traits<char>::length(text.c_str())));
    return true;
  }

  // "name" relative to the folder of `including`, found in any case.
  static std::string includePath(const std::string& including, const std::string& target) {
    std::string name = nativePath(target);
    std::string base = nativePath(including);
    size_t slash = base.rfind('/');
    std::string path = name.size() && name[0] == '/' ? name
                       : slash == std::string::npos  ? name
                                                     : base.substr(0, slash + 1) + name;
    return findFileAnyCase(path);
  }

  std::string includeName(std::vector<Tok> rest, const std::string& file) {
    if (!rest.empty() && rest[0].kind == Kind::Ident) {  // #include MACRO
      std::deque<Tok> input(rest.begin(), rest.end());
      rest.clear();
      expand(input, rest, file);
    }
    if (rest.empty()) return "";
    if (rest[0].kind == Kind::String && rest[0].text.size() >= 2 && rest[0].text[0] == '"')
      return rest[0].text.substr(1, rest[0].text.size() - 2);
    if (rest[0].text == "<") {
      std::string name;
      for (size_t k = 1; k < rest.size() && rest[k].text != ">"; ++k)
        name += (rest[k].space && !name.empty() ? " " : "") + rest[k].text;
      return name;
    }
    return "";
  }

  void defineFrom(const std::vector<Tok>& rest, const std::string& file, int line) {
    if (rest.empty() || rest[0].kind != Kind::Ident) {
      fail(file, line, "#define without a name");
      return;
    }
    Macro m;
    size_t k = 1;
    if (k < rest.size() && rest[k].text == "(" && !rest[k].space) {
      m.function = true;
      ++k;
      bool closed = false;
      while (k < rest.size()) {
        const Tok& t = rest[k++];
        if (t.text == ")") {
          closed = true;
          break;
        }
        if (t.text == ",") continue;
        if (t.text == "...") {
          m.variadic = true;
          m.params.push_back("__VA_ARGS__");
        } else if (t.text == "." && k + 1 < rest.size() && rest[k].text == "." &&
                   rest[k + 1].text == ".") {
          m.variadic = true;
          m.params.push_back("__VA_ARGS__");
          k += 2;
        } else if (t.kind == Kind::Ident) {
          m.params.push_back(t.text);
        } else {
          fail(file, line, "invalid parameter list for macro '" + rest[0].text + "'");
          return;
        }
      }
      if (!closed) {
        fail(file, line, "missing ')' in the parameters of macro '" + rest[0].text + "'");
        return;
      }
    }
    m.body.assign(rest.begin() + long(k), rest.end());
    for (Tok& t : m.body) t.paste = t.text == "##";
    if (!m.body.empty()) m.body[0].space = false;
    macros[rest[0].text] = std::move(m);
  }

  // Macro expansion of `input` into `result`, rescanning what a macro gives.
  void expand(std::deque<Tok>& input, std::vector<Tok>& result, const std::string& file) {
    // Arguments are expanded by a call of their own: bound how deep.
    struct Depth {
      int& d;
      explicit Depth(int& d) : d(++d) {}
      ~Depth() { --d; }
    } depth(expandDepth);
    if (expandDepth > kMaxNesting) {
      fail(file, input.empty() ? 0 : input.front().line, "macro arguments nested too deeply");
      return;
    }
    while (!input.empty() && ok) {
      Tok t = std::move(input.front());
      input.pop_front();
      if (++work > kMaxExpandedTokens) {
        fail(file, t.line, "macro expansion too large");
        return;
      }
      auto found = t.kind == Kind::Ident ? macros.find(t.text) : macros.end();
      if (found == macros.end() || hidden(t, &found->first)) {
        result.push_back(std::move(t));
        continue;
      }
      const Macro& m = found->second;
      auto hide = std::make_shared<HideSet>();
      if (t.hide) *hide = *t.hide;
      hide->push_back(&found->first);
      std::vector<Tok> replacement;
      std::vector<Tok> newlines;  // newlines inside the arguments, kept
      if (!m.function) {
        replacement = m.body;
      } else {
        size_t k = 0;
        while (k < input.size() && input[k].kind == Kind::Newline) ++k;
        if (k >= input.size() || input[k].text != "(") {
          result.push_back(std::move(t));
          continue;
        }
        for (size_t n = 0; n < k; ++n) newlines.push_back(input[n]);
        input.erase(input.begin(), input.begin() + long(k) + 1);
        std::vector<std::vector<Tok>> args(1);
        int depth = 0;
        bool closed = false;
        bool afterNewline = false;
        while (!input.empty()) {
          Tok a = std::move(input.front());
          input.pop_front();
          if (a.kind == Kind::Newline) {
            newlines.push_back(a);
            afterNewline = true;
            continue;
          }
          if (afterNewline) a.space = true;
          afterNewline = false;
          if (a.text == "(") ++depth;
          if (a.text == ")" && depth-- == 0) {
            closed = true;
            break;
          }
          if (a.text == "," && depth == 0 && !(m.variadic && args.size() == m.params.size())) {
            args.emplace_back();
            continue;
          }
          args.back().push_back(std::move(a));
        }
        if (!closed) {
          fail(file, t.line, "unterminated arguments of macro '" + t.text + "'");
          return;
        }
        if (m.params.empty() && args.size() == 1 && args[0].empty()) args.clear();
        if (m.variadic && args.size() + 1 == m.params.size()) args.emplace_back();
        if (args.size() != m.params.size()) {
          fail(file, t.line,
               "macro '" + t.text + "' takes " + std::to_string(m.params.size()) +
                   " arguments, not " + std::to_string(args.size()));
          return;
        }
        replacement = substitute(m, args, file);
        if (!ok) return;
      }
      paste(replacement);
      for (Tok& r : replacement) {
        addHide(r, hide);
        r.line = t.line;
      }
      if (!replacement.empty()) replacement[0].space = t.space;
      input.insert(input.begin(), newlines.begin(), newlines.end());
      input.insert(input.begin(), replacement.begin(), replacement.end());
    }
  }

  std::vector<Tok> substitute(const Macro& m, const std::vector<std::vector<Tok>>& args,
                              const std::string& file) {
    auto param = [&](const Tok& t) -> int {
      if (t.kind != Kind::Ident) return -1;
      for (size_t p = 0; p < m.params.size(); ++p)
        if (m.params[p] == t.text) return int(p);
      return -1;
    };
    std::vector<Tok> r;
    const std::vector<Tok>& body = m.body;
    for (size_t i = 0; i < body.size(); ++i) {
      const Tok& t = body[i];
      if (t.text == "#" && i + 1 < body.size() && param(body[i + 1]) >= 0) {
        std::string text;
        for (const Tok& a : args[size_t(param(body[i + 1]))]) {
          if (!text.empty() && a.space) text += ' ';
          for (char c : a.text) {
            if (a.kind == Kind::String && (c == '"' || c == '\\')) text += '\\';
            text += c;
          }
        }
        Tok s;
        s.kind = Kind::String;
        s.text = "\"" + text + "\"";
        s.space = t.space;
        r.push_back(s);
        ++i;
        continue;
      }
      int p = param(t);
      if (p < 0) {
        r.push_back(t);
        continue;
      }
      bool pasted = (i > 0 && body[i - 1].paste) || (i + 1 < body.size() && body[i + 1].paste);
      std::vector<Tok> arg;
      if (pasted) {
        arg = args[size_t(p)];
      } else {
        std::deque<Tok> input(args[size_t(p)].begin(), args[size_t(p)].end());
        expand(input, arg, file);
      }
      if (arg.empty()) {
        Tok mark;
        mark.kind = Kind::Placemarker;
        mark.space = t.space;
        r.push_back(mark);
      } else {
        arg[0].space = t.space;
        for (Tok& a : arg) a.paste = false;
        r.insert(r.end(), arg.begin(), arg.end());
      }
    }
    return r;
  }

  // Joins the tokens around each "##" of the body.
  static void paste(std::vector<Tok>& r) {
    for (size_t i = 0; i < r.size(); ++i) {
      if (!r[i].paste) continue;
      if (i == 0 || i + 1 >= r.size()) {
        r.erase(r.begin() + long(i));
        --i;
        continue;
      }
      Tok& left = r[i - 1];
      const Tok& right = r[i + 1];
      if (left.kind == Kind::Placemarker) {
        bool space = left.space;
        left = right;
        left.space = space;
      } else if (right.kind != Kind::Placemarker) {
        left.text += right.text;
        if (identStart(left.text[0])) left.kind = Kind::Ident;
        left.hide.reset();
      }
      r.erase(r.begin() + long(i), r.begin() + long(i) + 2);
      --i;
    }
    r.erase(std::remove_if(r.begin(), r.end(),
                           [](const Tok& t) { return t.kind == Kind::Placemarker; }),
            r.end());
  }

  void emit(const std::vector<Tok>& tokens) {
    bool lineStart = out.empty() || out.back() == '\n';
    for (const Tok& t : tokens) {
      if (t.kind == Kind::Newline) {
        out.append(size_t(t.lines), '\n');
        lineStart = true;
        continue;
      }
      if (t.kind == Kind::Placemarker) continue;
      if (!lineStart &&
          (t.space || (!out.empty() && !t.text.empty() && mergesWith(out.back(), t.text[0]))))
        out += ' ';
      out += t.text;
      lineStart = false;
    }
  }

  // #if and #elif: the expression after "defined" and the macros are
  // replaced; names left over count as 0.
  bool condition(const std::vector<Tok>& tokens, const std::string& file, int line) {
    std::deque<Tok> input;
    for (size_t k = 0; k < tokens.size(); ++k) {
      if (tokens[k].kind == Kind::Ident && tokens[k].text == "defined") {
        std::string name;
        if (k + 1 < tokens.size() && tokens[k + 1].kind == Kind::Ident) {
          name = tokens[++k].text;
        } else if (k + 3 < tokens.size() && tokens[k + 1].text == "(" &&
                   tokens[k + 2].kind == Kind::Ident && tokens[k + 3].text == ")") {
          name = tokens[k + 2].text;
          k += 3;
        } else {
          fail(file, line, "'defined' without a name");
          return false;
        }
        Tok n;
        n.kind = Kind::Number;
        n.text = macros.count(name) ? "1" : "0";
        input.push_back(n);
      } else {
        input.push_back(tokens[k]);
      }
    }
    std::vector<Tok> expanded;
    expand(input, expanded, file);
    if (!ok) return false;
    values.clear();
    for (size_t k = 0; k < expanded.size(); ++k) {
      const Tok& t = expanded[k];
      if (t.kind != Kind::Ident) {
        values.push_back(t.text);
        continue;
      }
      values.push_back(t.text == "true" ? "1" : "0");
      // "name(...)" with no such macro: the call reads as 0, as the name
      // alone would, and the compile goes on with a warning.
      if (k + 1 < expanded.size() && expanded[k + 1].text == "(") {
        int depth = 0;
        for (++k; k < expanded.size(); ++k) {
          if (expanded[k].text == "(") ++depth;
          if (expanded[k].text == ")" && --depth == 0) break;
        }
        errors += file + "(" + std::to_string(line) + "): warning: '" + t.text +
                  "' is not a macro; its call reads as 0\n";
      }
    }
    at = 0;
    bool good = true;
    long long v = ternary(good);
    if (!good || at != values.size()) {
      fail(file, line, "invalid expression in #if");
      return false;
    }
    return v != 0;
  }

  // The #if expression, C's operators and precedence.
  const std::string& peek() const {
    static const std::string none;
    return at < values.size() ? values[at] : none;
  }
  bool take(const char* op) {
    if (peek() != op) return false;
    ++at;
    return true;
  }
  // One level deeper for as long as it lives.
  struct Depth {
    int& d;
    explicit Depth(int& d) : d(++d) {}
    ~Depth() { --d; }
  };
  long long ternary(bool& good) {
    const Depth depth(evalDepth);
    if (evalDepth > kMaxNesting) {
      good = false;
      return 0;
    }
    long long c = binary(0, good);
    if (take("?")) {
      long long a = ternary(good);
      if (!take(":")) good = false;
      long long b = ternary(good);
      return c ? a : b;
    }
    return c;
  }
  long long binary(int level, bool& good) {
    static const std::vector<std::vector<std::string>> levels = {{"||"},
                                                                 {"&&"},
                                                                 {"|"},
                                                                 {"^"},
                                                                 {"&"},
                                                                 {"==", "!="},
                                                                 {"<", ">", "<=", ">="},
                                                                 {"<<", ">>"},
                                                                 {"+", "-"},
                                                                 {"*", "/", "%"}};
    if (level == int(levels.size())) return unary(good);
    long long v = binary(level + 1, good);
    for (;;) {
      std::string op;
      for (const std::string& o : levels[size_t(level)])
        if (peek() == o) op = o;
      if (op.empty() || !good) return v;
      ++at;
      long long w = binary(level + 1, good);
      if (op == "||")
        v = v || w;
      else if (op == "&&")
        v = v && w;
      else if (op == "|")
        v |= w;
      else if (op == "^")
        v ^= w;
      else if (op == "&")
        v &= w;
      else if (op == "==")
        v = v == w;
      else if (op == "!=")
        v = v != w;
      else if (op == "<")
        v = v < w;
      else if (op == ">")
        v = v > w;
      else if (op == "<=")
        v = v <= w;
      else if (op == ">=")
        v = v >= w;
      else if (op == "<<")
        v = w >= 0 && w < 63 ? (long long)((unsigned long long)v << w) : 0;
      else if (op == ">>")
        v = w >= 0 && w < 63 ? v >> w : 0;
      else if (op == "+")
        v = (long long)((unsigned long long)v + (unsigned long long)w);
      else if (op == "-")
        v = (long long)((unsigned long long)v - (unsigned long long)w);
      else if (op == "*")
        v = (long long)((unsigned long long)v * (unsigned long long)w);
      else if (w == 0)
        good = false;
      else if (op == "/")
        v = (v == LLONG_MIN && w == -1) ? v : v / w;
      else
        v = (v == LLONG_MIN && w == -1) ? 0 : v % w;
    }
  }
  long long unary(bool& good) {
    const Depth depth(evalDepth);
    if (evalDepth > kMaxNesting) {
      good = false;
      return 0;
    }
    if (take("!")) return !unary(good);
    if (take("-")) return (long long)(0ull - (unsigned long long)unary(good));
    if (take("+")) return unary(good);
    if (take("~")) return ~unary(good);
    if (take("(")) {
      long long v = ternary(good);
      if (!take(")")) good = false;
      return v;
    }
    const std::string& t = peek();
    if (t.empty() || !std::isdigit(static_cast<unsigned char>(t[0]))) {
      good = false;
      return 0;
    }
    ++at;
    if (t.find('.') != std::string::npos) return (long long)std::strtod(t.c_str(), nullptr);
    return (long long)std::strtoull(t.c_str(), nullptr, 0);
  }

  bool includes;
  std::string& out;
  std::string& errors;
  std::map<std::string, Macro> macros;
  std::vector<std::string> once;       // files that asked to be read once
  std::vector<std::string> openFiles;  // the file being read and those including it
  size_t work = 0;
  int expandDepth = 0, evalDepth = 0;
  std::vector<std::string> values;
  size_t at = 0;
};

}  // namespace

bool preprocessEffect(const PreprocessInput& in, std::string& out, std::string& errors) {
  out.clear();
  Preprocessor p(in.includes, out, errors);
  for (const auto& [name, value] : in.defines) p.define(name, value);
  std::string text = in.text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? in.text.substr(3) : in.text;
  return p.file(text, in.fileName, 0);
}

}  // namespace d3dx_fx
