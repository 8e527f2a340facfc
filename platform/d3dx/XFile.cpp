#include "platform/d3dx/XFile.h"

#include <zlib.h>

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace xfile {

namespace {

// Objects nest at most this deep; deeper data is refused rather than
// recursed into.
constexpr int kMaxDepth = 128;
// A compressed file may not announce more than this many bytes.
constexpr std::uint32_t kMaxInflated = 256u << 20;

enum class Kind { End, Error, Name, String, Number, Guid, OBrace, CBrace, Template, Other };

struct Token {
  Kind kind = Kind::End;
  std::string text;  // a name, a string, a GUID, or the word a text number was read from
  double value = 0;
};

// A GUID in its usual text form: lower case, 8-4-4-4-12 digits. False for
// anything else.
bool normalGuid(const std::string& text, std::string& out) {
  static const int kGroups[5] = {8, 4, 4, 4, 12};
  out.clear();
  std::size_t at = 0;
  for (int g = 0; g < 5; ++g) {
    if (g > 0) {
      if (at >= text.size() || text[at] != '-') return false;
      out += '-';
      ++at;
    }
    for (int i = 0; i < kGroups[g]; ++i, ++at) {
      if (at >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[at]))) return false;
      out += char(std::tolower(static_cast<unsigned char>(text[at])));
    }
  }
  return at == text.size();
}

// A word that some C runtimes print for a non-finite float: digits, an
// optional fraction, '#' and INF, IND, QNAN or SNAN, with a sign and
// trailing digits as they come ("-1.#IND00", "1.#QNAN0", "1.#INF000").
bool nonFiniteWord(const std::string& word, double& out) {
  const std::size_t hash = word.find('#');
  if (hash == std::string::npos || hash == 0) return false;
  std::size_t i = word[0] == '-' || word[0] == '+' ? 1 : 0;
  bool digits = false;
  for (; i < hash && std::isdigit(static_cast<unsigned char>(word[i])); ++i) digits = true;
  if (i < hash && word[i] == '.') ++i;
  if (!digits || i != hash) return false;
  const std::string rest = word.substr(hash + 1);
  std::size_t letters = 0;
  while (letters < rest.size() && std::isalpha(static_cast<unsigned char>(rest[letters])))
    ++letters;
  for (std::size_t j = letters; j < rest.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(rest[j]))) return false;
  const std::string kind = rest.substr(0, letters);
  const bool negative = word[0] == '-';
  if (kind == "INF")
    out = negative ? -HUGE_VAL : HUGE_VAL;
  else if (kind == "IND" || kind == "QNAN" || kind == "SNAN")
    out = std::nan("");
  else
    return false;
  return true;
}

std::uint16_t read16(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }
std::uint32_t read32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

class Lexer {
 public:
  Lexer(const unsigned char* data, std::size_t size, bool binary, bool doubles)
      : p_(data), end_(data + size), binary_(binary), doubles_(doubles) {}

  Token next() { return binary_ ? nextBinary() : nextText(); }
  const std::string& error() const { return error_; }

 private:
  Token fail(const char* message) {
    error_ = message;
    Token t;
    t.kind = Kind::Error;
    return t;
  }
  std::size_t left() const { return std::size_t(end_ - p_); }

  static bool isDelimiter(unsigned char c) {
    return c <= ' ' || c == '{' || c == '}' || c == '<' || c == '>' || c == ';' || c == ',' ||
           c == '"';
  }

  Token nextText() {
    for (;;) {
      while (p_ < end_ && *p_ <= ' ') ++p_;
      if (p_ == end_) return Token{};
      if (*p_ == '#' || (*p_ == '/' && left() >= 2 && p_[1] == '/')) {
        while (p_ < end_ && *p_ != '\n') ++p_;
        continue;
      }
      break;
    }
    Token t;
    const unsigned char c = *p_;
    if (c == '{' || c == '}') {
      ++p_;
      t.kind = c == '{' ? Kind::OBrace : Kind::CBrace;
      return t;
    }
    if (c == ';' || c == ',') {
      ++p_;
      t.kind = Kind::Other;
      return t;
    }
    if (c == '<') {  // a GUID: <xxxxxxxx-xxxx-...>
      const unsigned char* start = ++p_;
      while (p_ < end_ && *p_ != '>') ++p_;
      if (p_ == end_) return fail("unterminated GUID");
      std::string inside(reinterpret_cast<const char*>(start), std::size_t(p_ - start));
      ++p_;
      // Blanks inside the brackets are allowed; a malformed GUID is kept
      // as no GUID at all.
      inside.erase(std::remove_if(inside.begin(), inside.end(),
                                  [](char ch) { return static_cast<unsigned char>(ch) <= ' '; }),
                   inside.end());
      t.kind = normalGuid(inside, t.text) ? Kind::Guid : Kind::Other;
      return t;
    }
    if (c == '>') return fail("unexpected '>'");
    if (c == '"') {
      const unsigned char* start = ++p_;
      while (p_ < end_ && *p_ != '"') ++p_;
      if (p_ == end_) return fail("unterminated string");
      t.kind = Kind::String;
      t.text.assign(reinterpret_cast<const char*>(start), std::size_t(p_ - start));
      ++p_;
      return t;
    }
    const unsigned char* start = p_;
    while (p_ < end_ && !isDelimiter(*p_)) ++p_;
    t.text.assign(reinterpret_cast<const char*>(start), std::size_t(p_ - start));
    // A word that reads entirely as a number is one; anything else is a name.
    // The word stays with the number: an object may be named by digits.
    char* stop = nullptr;
    const double value = std::strtod(t.text.c_str(), &stop);
    if (!t.text.empty() && stop == t.text.c_str() + t.text.size() &&
        (std::isdigit(static_cast<unsigned char>(t.text[0])) || t.text[0] == '-' ||
         t.text[0] == '+' || t.text[0] == '.')) {
      t.kind = Kind::Number;
      t.value = value;
      return t;
    }
    if (nonFiniteWord(t.text, t.value)) {
      t.kind = Kind::Number;
      return t;
    }
    t.kind = t.text == "template" ? Kind::Template : Kind::Name;
    return t;
  }

  Token nextBinary() {
    Token t;
    if (listLeft_ > 0) {
      --listLeft_;
      t.kind = Kind::Number;
      if (listFloats_) {
        if (doubles_) {
          double d;
          std::memcpy(&d, p_, 8);
          t.value = d;
          p_ += 8;
        } else {
          float f;
          std::memcpy(&f, p_, 4);
          t.value = f;
          p_ += 4;
        }
      } else {
        t.value = read32(p_);
        p_ += 4;
      }
      return t;
    }
    if (left() == 0) return t;
    if (left() < 2) return fail("truncated token");
    const std::uint16_t id = read16(p_);
    p_ += 2;
    switch (id) {
      case 1:    // name
      case 2: {  // string
        if (left() < 4) return fail("truncated name");
        const std::uint32_t n = read32(p_);
        p_ += 4;
        if (n > left()) return fail("name runs past the end");
        t.text.assign(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        t.kind = id == 1 ? Kind::Name : Kind::String;
        if (id == 2 && left() >= 2 && (read16(p_) == 19 || read16(p_) == 20)) p_ += 2;
        if (id == 1 && t.text == "template") t.kind = Kind::Template;
        return t;
      }
      case 3:  // integer
        if (left() < 4) return fail("truncated integer");
        t.kind = Kind::Number;
        t.value = read32(p_);
        p_ += 4;
        return t;
      case 5: {  // GUID: a 32-bit, two 16-bit and eight 8-bit fields
        if (left() < 16) return fail("truncated GUID");
        char text[37];
        std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                      unsigned(read32(p_)), unsigned(read16(p_ + 4)), unsigned(read16(p_ + 6)),
                      unsigned(p_[8]), unsigned(p_[9]), unsigned(p_[10]), unsigned(p_[11]),
                      unsigned(p_[12]), unsigned(p_[13]), unsigned(p_[14]), unsigned(p_[15]));
        p_ += 16;
        t.kind = Kind::Guid;
        t.text = text;
        return t;
      }
      case 6:    // integer list
      case 7: {  // float list
        if (left() < 4) return fail("truncated list");
        const std::uint32_t n = read32(p_);
        p_ += 4;
        const std::size_t width = id == 6 ? 4 : doubles_ ? 8 : 4;
        if (n > left() / width) return fail("list runs past the end");
        listFloats_ = id == 7;
        listLeft_ = n;
        t.kind = Kind::Other;
        return t;
      }
      case 10:
        t.kind = Kind::OBrace;
        return t;
      case 11:
        t.kind = Kind::CBrace;
        return t;
      case 31:
        t.kind = Kind::Template;
        return t;
      default:
        if ((id >= 12 && id <= 20) || (id >= 40 && id <= 53)) {
          t.kind = Kind::Other;
          return t;
        }
        return fail("unknown binary token");
    }
  }

  const unsigned char* p_;
  const unsigned char* end_;
  bool binary_, doubles_;
  std::uint32_t listLeft_ = 0;
  bool listFloats_ = false;
  std::string error_;
};

class Parser {
 public:
  explicit Parser(Lexer& lexer) : lexer_(lexer) {}

  bool parseDocument(Document& out, std::string& error) {
    for (;;) {
      Token t = lexer_.next();
      switch (t.kind) {
        case Kind::End:
          return true;
        case Kind::Template:
          if (!skipTemplate()) return failed(error);
          break;
        case Kind::Name:
          out.objects.emplace_back();
          out.objects.back().type = std::move(t.text);
          if (!parseObject(out.objects.back(), 0)) return failed(error);
          break;
        case Kind::Other:
        case Kind::Guid:
          break;  // stray separators between objects
        case Kind::CBrace:
          // A closing brace that no object opened: hand-edited files and
          // some converters leave one after their last object. Nothing is
          // open, so skipping it cannot change what any object holds.
          break;
        case Kind::Error:
          return failed(error);
        default:
          error_ = "expected a data object";
          return failed(error);
      }
    }
  }

 private:
  bool failed(std::string& error) {
    error = !lexer_.error().empty() ? lexer_.error() : error_;
    return false;
  }

  bool skipTemplate() {
    int depth = 0;
    for (;;) {
      Token t = lexer_.next();
      if (t.kind == Kind::Error) return false;
      if (t.kind == Kind::End) return error("unterminated template");
      if (t.kind == Kind::OBrace) ++depth;
      if (t.kind == Kind::CBrace && --depth <= 0) return true;
    }
  }

  bool error(const char* message) {
    error_ = message;
    return false;
  }

  // A name, or a word of digits standing where a name may.
  static bool nameLike(const Token& t) {
    return t.kind == Kind::Name || (t.kind == Kind::Number && !t.text.empty());
  }

  // Reads from after the template name up to the closing brace. A GUID
  // first inside the braces is the object's own identifier; GUIDs anywhere
  // else are dropped.
  bool parseObject(Object& object, int depth) {
    if (depth > kMaxDepth) return error("objects nested too deeply");
    Token t = lexer_.next();
    if (nameLike(t)) {
      object.name = std::move(t.text);
      t = lexer_.next();
    }
    if (t.kind == Kind::Error) return false;
    if (t.kind != Kind::OBrace) return error("expected '{' after a template name");
    for (bool first = true;; first = false) {
      t = lexer_.next();
      switch (t.kind) {
        case Kind::Error:
          return false;
        case Kind::End:
          return error("unterminated data object");
        case Kind::CBrace:
          return true;
        case Kind::Number:
          object.numbers.push_back(t.value);
          break;
        case Kind::String:
          object.strings.push_back(std::move(t.text));
          break;
        case Kind::Name: {
          Object child;
          child.type = std::move(t.text);
          const bool ok = parseObject(child, depth + 1);
          object.children.push_back(std::move(child));
          if (!ok) return false;
          break;
        }
        case Kind::Guid:
          if (first) object.uuid = std::move(t.text);
          break;
        case Kind::OBrace: {  // a reference: { name }, { GUID } or { name GUID }
          Object reference;
          for (;;) {
            t = lexer_.next();
            if (t.kind == Kind::Error) return false;
            if (t.kind == Kind::CBrace) break;
            if (nameLike(t) && reference.name.empty())
              reference.name = std::move(t.text);
            else if (t.kind == Kind::Guid && reference.uuid.empty())
              reference.uuid = std::move(t.text);
            else if (t.kind != Kind::Other)
              return error("malformed reference");
          }
          object.children.push_back(std::move(reference));
          break;
        }
        case Kind::Template:
          return error("template inside a data object");
        case Kind::Other:
          break;
      }
    }
  }

  Lexer& lexer_;
  std::string error_;
};

// Compressed files: the announced size of the uncompressed file, then
// blocks of (uncompressed size, compressed size, "CK", raw deflate data);
// each block may refer back into the previous block's output.
bool inflateBlocks(const unsigned char* p, std::size_t size, std::vector<unsigned char>& out,
                   std::string& error) {
  if (size < 4) {
    error = "truncated compressed file";
    return false;
  }
  const std::uint32_t total = read32(p);
  if (total < 16 || total > kMaxInflated) {
    error = "implausible uncompressed size";
    return false;
  }
  const std::size_t wanted = total - 16;
  p += 4;
  size -= 4;
  out.clear();
  std::size_t previousStart = 0;
  while (size > 0 && out.size() < wanted) {
    if (size < 6) {
      error = "truncated compressed block";
      return false;
    }
    const std::uint16_t plainSize = read16(p);
    const std::uint16_t packedSize = read16(p + 2);
    if (packedSize < 2 || std::size_t(packedSize) > size - 4 || p[4] != 'C' || p[5] != 'K') {
      error = "malformed compressed block";
      return false;
    }
    if (plainSize > wanted - out.size()) {
      error = "compressed blocks exceed the announced size";
      return false;
    }
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
      error = "inflate failed";
      return false;
    }
    const std::size_t start = out.size();
    bool ok = true;
    if (start > previousStart) {
      const std::size_t dictionarySize = std::min<std::size_t>(start - previousStart, 32768);
      ok = inflateSetDictionary(&z, out.data() + start - dictionarySize, uInt(dictionarySize)) ==
           Z_OK;
    }
    out.resize(start + plainSize);
    z.next_in = const_cast<unsigned char*>(p + 6);
    z.avail_in = packedSize - 2u;
    z.next_out = out.data() + start;
    z.avail_out = plainSize;
    int result = ok ? inflate(&z, Z_FINISH) : Z_DATA_ERROR;
    // A block that fills its announced size is accepted even if the stream's
    // end marker comes later.
    ok = ok && (result == Z_STREAM_END || (result == Z_BUF_ERROR && z.avail_out == 0) ||
                (result == Z_OK && z.avail_out == 0));
    const std::size_t produced = plainSize - z.avail_out;
    inflateEnd(&z);
    if (!ok || produced != plainSize) {
      error = "corrupt compressed data";
      return false;
    }
    previousStart = start;
    p += 4 + packedSize;
    size -= 4 + std::size_t(packedSize);
  }
  if (out.size() != wanted) {
    error = "compressed data shorter than announced";
    return false;
  }
  return true;
}

// Files every object below `objects` under its name and identifier, depth
// first in file order.
void index(const std::vector<Object>& objects, Document& document) {
  for (const Object& o : objects) {
    if (!o.isReference()) {
      if (!o.name.empty()) document.byName[o.name].push_back(&o);
      if (!o.uuid.empty()) document.byUuid[o.uuid].push_back(&o);
    }
    index(o.children, document);
  }
}

// The first object filed under `key` that is of `type` (any when null).
const Object* firstOf(const std::unordered_map<std::string, std::vector<const Object*>>& filed,
                      const std::string& key, const char* type) {
  if (key.empty()) return nullptr;
  const auto found = filed.find(key);
  if (found == filed.end()) return nullptr;
  for (const Object* o : found->second)
    if (!type || strcasecmp(o->type.c_str(), type) == 0) return o;
  return nullptr;
}

}  // namespace

bool parse(const void* data, std::size_t size, Document& out, std::string& error) {
  out.objects.clear();
  out.byName.clear();
  out.byUuid.clear();
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (!bytes || size < 16 || std::memcmp(bytes, "xof ", 4) != 0) {
    error = "not an X file";
    return false;
  }
  const std::string format(reinterpret_cast<const char*>(bytes + 8), 4);
  const std::string floatSize(reinterpret_cast<const char*>(bytes + 12), 4);
  if (floatSize != "0032" && floatSize != "0064") {
    error = "unknown float size";
    return false;
  }
  bool binary;
  bool compressed = false;
  if (format == "txt ")
    binary = false;
  else if (format == "bin ")
    binary = true;
  else if (format == "tzip" || format == "bzip") {
    binary = format == "bzip";
    compressed = true;
  } else {
    error = "unknown X file format";
    return false;
  }
  std::vector<unsigned char> inflated;
  const unsigned char* body = bytes + 16;
  std::size_t bodySize = size - 16;
  if (compressed) {
    if (!inflateBlocks(body, bodySize, inflated, error)) return false;
    body = inflated.data();
    bodySize = inflated.size();
  }
  Lexer lexer(body, bodySize, binary, floatSize == "0064");
  Parser parser(lexer);
  const bool ok = parser.parseDocument(out, error);
  index(out.objects, out);
  return ok;
}

const Object* findNamed(const Document& document, const std::string& name) {
  return firstOf(document.byName, name, nullptr);
}

const Object* findNamed(const Document& document, const std::string& name, const char* type) {
  return firstOf(document.byName, name, type);
}

const Object* findReferenced(const Document& document, const Object& reference, const char* type) {
  const Object* found = firstOf(document.byName, reference.name, type);
  return found ? found : firstOf(document.byUuid, reference.uuid, type);
}

std::vector<const Object*> childrenOfType(const Document& document, const Object& parent,
                                          const std::string& type) {
  std::vector<const Object*> found;
  for (const Object& child : parent.children) {
    const Object* target =
        child.isReference() ? findReferenced(document, child, type.c_str()) : &child;
    if (target && target->type == type) found.push_back(target);
  }
  return found;
}

}  // namespace xfile
