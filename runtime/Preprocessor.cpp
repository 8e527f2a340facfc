// The scriplet preprocessor. It knows nothing of the script language: it works
// on bytes, line by line, and finds its keywords anywhere in a line (comments
// and string literals included).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "runtime/ScriptHost.h"

namespace {

const char kAssertKeyword[] = "TQ_ASSERT(";
constexpr size_t kAssertLength = sizeof kAssertKeyword - 1;
const char kExternKeyword[] = "extern ";
constexpr size_t kExternLength = sizeof kExternKeyword - 1;

// A signed decimal read the way "%d" reads it: leading white space skipped,
// stopping at the first byte that cannot continue it, 0 when there is none.
// Values beyond the 32-bit range are held at its ends.
int32_t readInt(const std::string& text) {
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

// The text of a string literal that holds the bytes of text: backslashes and
// double quotes are escaped, so a scriplet name with a folder part reaches the
// script as it is.
std::string literalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// An assertion line becomes one call of testDebug that names the scriplet and
// the source line; the whole line is replaced.
void rewriteAssertion(std::string& line, const std::string& name, int lineNumber) {
  size_t pos = line.find(kAssertKeyword);
  if (pos == std::string::npos || pos == 0 || line[pos - 1] == '/') return;
  size_t begin = pos + kAssertLength;
  size_t close = line.rfind(')');
  std::string arguments = close == std::string::npos || close < begin
                              ? line.substr(begin)
                              : line.substr(begin, close - begin);
  line = "testDebug(" + arguments + ",\"" + literalText(name) + "\"," + std::to_string(lineNumber) +
         ");\r\n";
}

// "A:0,B:5,C:9" into its pairs; false when an item has no ":".
bool readEnumList(const std::string& list, ExternVar& record) {
  std::string last;
  size_t start = 0;
  while (true) {
    size_t comma = list.find(',', start);
    std::string item =
        list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t colon = item.find(':');
    if (colon == std::string::npos) return false;
    last = item.substr(0, colon);
    record.enumValues[last] = readInt(item.substr(colon + 1));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  record.value = last;
  return true;
}

// "extern TYPE NAME = VALUE;" becomes the plain global "TYPE NAME;" (an "int"
// for an enum) plus a record of the scriplet. The rewritten line has no line
// end, so the next source line continues it.
bool rewriteExtern(std::string& line, Scriplet& scriplet, std::string& error) {
  if (line.compare(0, kExternLength, kExternKeyword) != 0) return true;
  std::string rest = line.substr(kExternLength);
  size_t eq = rest.find('=');
  if (eq == std::string::npos) {
    error = "Syntax error on extern statement.  Need default value";
    return false;
  }
  std::string decl = rest.substr(0, eq);
  size_t sp = decl.find(' ');
  if (sp == std::string::npos) {
    error = "Syntax error on extern statement.  No type/name";
    return false;
  }
  std::string type = decl.substr(0, sp);
  std::string name = decl.substr(sp + 1);
  if (!name.empty() && name.back() == ' ') name.pop_back();
  std::string valueText = rest.substr(eq + 1);
  if (!valueText.empty() && valueText.front() == ' ') valueText.erase(0, 1);
  size_t semi = valueText.find(';');
  if (semi == std::string::npos) {
    error = "Syntax error on extern statement.  Missing semicolon";
    return false;
  }
  std::string value = valueText.substr(0, semi);
  if (!value.empty() && value.back() == 'f') value.pop_back();

  ExternVar record(name, type, value);
  if (type == "enum") {
    if (!readEnumList(value, record)) {
      error = "Syntax error in extern enum statement";
      return false;
    }
    line = "int " + name + ";";
  } else {
    line = decl + ";";
  }
  scriplet.externs.push_back(std::move(record));
  return true;
}

// The first "@" of a line and the identifier after it become the pair of
// literals (scriplet name, identifier) that callback-taking functions expect.
void rewriteReference(std::string& line, const std::string& name) {
  size_t at = line.find('@');
  if (at == std::string::npos) return;
  size_t end = at + 1;
  while (end < line.size()) {
    unsigned char c = static_cast<unsigned char>(line[end]);
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_')) break;
    ++end;
  }
  std::string identifier = line.substr(at + 1, end - at - 1);
  line = line.substr(0, at) + "\"" + literalText(name) + "\",\"" + identifier + "\"" +
         line.substr(end);
}

// Trace calls: the opening brace of a top-level block records the scriplet's
// name, every line inside records its number, the closing brace clears both.
void insertTrace(std::string& line, const std::string& name, int lineNumber, int& depth) {
  bool prefixed = false;
  if (line.find('}') != std::string::npos) {
    --depth;
    if (depth == 0) {
      line = "traceScriptEnd();  " + line;
      prefixed = true;
    }
  }
  if (!prefixed && depth != 0) line = "traceScript(" + std::to_string(lineNumber) + ");  " + line;
  if (line.find('{') != std::string::npos) {
    if (depth == 0) {
      if (line.size() >= 2) line.resize(line.size() - 2);
      line += "traceScriptInit(\"" + literalText(name) + "\");\n";
    }
    ++depth;
  }
}

}  // namespace

int ScriptHost::preprocess(const std::string& name, std::string& text, Scriplet& scriplet,
                           std::string& error) {
  std::string output;
  int lineNumber = 1;
  int depth = 0;
  size_t start = 0;
  while (true) {
    size_t feed = text.find('\n', start);
    bool last = feed == std::string::npos;
    std::string line = text.substr(start, last ? std::string::npos : feed + 1 - start);

    if (assertEnabled) rewriteAssertion(line, name, lineNumber);
    if (!rewriteExtern(line, scriplet, error)) return 1;
    rewriteReference(line, name);
    if (traceEnabled) insertTrace(line, name, lineNumber, depth);
    output += line;

    if (last) break;
    start = feed + 1;
    ++lineNumber;
  }
  text = std::move(output);
  return error.empty() ? 0 : 1;
}
