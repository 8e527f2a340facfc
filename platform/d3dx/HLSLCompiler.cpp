#include "platform/d3dx/HLSLCompiler.h"

#include <GL/gl.h>
#include <GL/glext.h>
#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/SPIRV/GlslangToSpv.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "platform/d3d9/GLInterop.h"
#include "platform/d3dx/HLSLInternal.h"
#include "platform/win32/HelperProcess.h"

namespace d3dx_hlsl {

namespace {

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

namespace {

bool nameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Globals declared static whose initial value calls a function of the file
// ("static float4x4 bias = makeBias(amount);") are given that value at the
// start of `entry` instead: the front end cannot take such an initialiser
// (it reports a recursion or fails outright). Brace lists and arrays are
// left as they are; the text keeps its lines.
std::string staticCallInitialisers(const std::string& text, const std::string& entry) {
  if (text.find("static") == std::string::npos) return text;
  // The functions the file defines, and where the entry's body opens.
  std::set<std::string> functions;
  size_t entryBody = std::string::npos;
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '}') --depth;
    if (c != '{') continue;
    if (depth++ != 0) continue;
    size_t k = i;
    while (k > 0 && std::isspace(static_cast<unsigned char>(text[k - 1]))) --k;
    // A semantic after the parameters: ") : COLOR {".
    size_t w = k;
    while (w > 0 && nameChar(text[w - 1])) --w;
    if (w < k) {
      size_t colon = w;
      while (colon > 0 && std::isspace(static_cast<unsigned char>(text[colon - 1]))) --colon;
      if (colon > 0 && text[colon - 1] == ':') {
        k = colon - 1;
        while (k > 0 && std::isspace(static_cast<unsigned char>(text[k - 1]))) --k;
      }
    }
    if (k == 0 || text[k - 1] != ')') continue;
    int parens = 0;
    size_t open = k - 1;
    for (;; --open) {
      if (text[open] == ')') ++parens;
      if (text[open] == '(' && --parens == 0) break;
      if (open == 0) break;
    }
    if (parens != 0) continue;
    size_t e = open;
    while (e > 0 && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    size_t b = e;
    while (b > 0 && nameChar(text[b - 1])) --b;
    if (b == e) continue;
    const std::string name = text.substr(b, e - b);
    functions.insert(name);
    if (name == entry && entryBody == std::string::npos) entryBody = i + 1;
  }
  if (entryBody == std::string::npos || functions.empty()) return text;
  std::string out = text, assignments;
  depth = 0;
  // Globals after the entry cannot be what it reads: they lose the value.
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '{') ++depth;
    if (c == '}') --depth;
    if (depth != 0 || text.compare(i, 6, "static") != 0 || (i > 0 && nameChar(text[i - 1])) ||
        (i + 6 < text.size() && nameChar(text[i + 6])))
      continue;
    size_t semi = text.find(';', i), eq = text.find('=', i);
    if (semi == std::string::npos || eq == std::string::npos || eq > semi) continue;
    const std::string head = text.substr(i, eq - i);
    size_t firstValue = eq + 1;
    while (firstValue < semi && std::isspace(static_cast<unsigned char>(text[firstValue])))
      ++firstValue;
    if (head.find_first_of("[(,{") != std::string::npos || firstValue >= semi ||
        text[firstValue] == '{')
      continue;
    const std::string value = text.substr(eq + 1, semi - eq - 1);
    bool calls = false;
    for (size_t k = 0; k < value.size() && !calls; ++k) {
      if (!nameChar(value[k]) || (k > 0 && nameChar(value[k - 1]))) continue;
      size_t j = k;
      while (j < value.size() && nameChar(value[j])) ++j;
      size_t after = j;
      while (after < value.size() && std::isspace(static_cast<unsigned char>(value[after])))
        ++after;
      calls =
          after < value.size() && value[after] == '(' && functions.count(value.substr(k, j - k));
    }
    if (!calls) continue;
    size_t ne = eq;
    while (ne > i && std::isspace(static_cast<unsigned char>(text[ne - 1]))) --ne;
    size_t nb = ne;
    while (nb > i && nameChar(text[nb - 1])) --nb;
    if (nb == ne) continue;
    // The declaration keeps its place without the value (nor "const", since
    // the value is now assigned); the assignment goes to the entry.
    for (size_t k = i; k < nb; ++k)
      if (text.compare(k, 5, "const") == 0 && !nameChar(text[k - 1]) && !nameChar(text[k + 5]))
        out.replace(k, 5, "     ");
    for (size_t k = eq; k < semi; ++k)
      if (out[k] != '\n') out[k] = ' ';
    std::string line = text.substr(nb, ne - nb) + " =" + value + ";";
    for (char& ch : line)
      if (ch == '\n' || ch == '\r') ch = ' ';
    if (i < entryBody) assignments += " " + line;
    i = semi;
  }
  out.insert(entryBody, assignments);
  return out;
}

}  // namespace

// The whole translation, HLSL to GLSL, in this process.
bool translate(const std::string& source, const std::string& entry, Stage stage,
               const std::string& fileName, CompiledStage& out, std::string& errors) {
  out = {};
  out.stage = stage;
  // Calls of the intrinsics we give our own versions of, unless the file
  // defines a function of that name itself.
  std::string text = source;
  for (const char* intrinsic : {"noise", "lit"})
    if (text.find(intrinsic) != std::string::npos && !definesFunction(text, intrinsic))
      text = renameCalls(text, intrinsic, std::string("fx_") + intrinsic);
  text = staticCallInitialisers(text, entry);
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
  if (!tokens.empty() &&
      (tokens.back() == "in" || tokens.back() == "out" || tokens.back() == "inout")) {
    errors += fileName + ": error: unexpected end of file after '" + tokens.back() + "'\n";
    return false;
  }

  EShLanguage language = stage == Stage::Vertex ? EShLangVertex : EShLangFragment;
  const EShMessages messages =
      EShMessages(EShMsgReadHlsl | EShMsgSpvRules | EShMsgVulkanRules | EShMsgHlslDX9Compatible);
  std::unique_ptr<glslang::TShader> shader;
  // A call that passes a vector for a scalar parameter finds no function
  // in the front end; the function is then given overloads that take
  // vectors (scalarArgumentOverloads) and the text is read again, once for
  // each function so named (for at most 16 of them, so that a file of
  // many such calls still fails in time).
  std::set<std::string> widened;
  for (;;) {
    shader = std::make_unique<glslang::TShader>(language);
    const char* strings[] = {text.c_str()};
    const int lengths[] = {int(text.size())};
    const char* names[] = {fileName.c_str()};
    shader->setStringsWithLengthsAndNames(strings, lengths, names, 1);
    shader->setEntryPoint(entry.c_str());
    shader->setEnvInput(glslang::EShSourceHlsl, language, glslang::EShClientVulkan, 100);
    shader->setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_0);
    shader->setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_0);
    shader->setEnvTargetHlslFunctionality1();
    shader->setAutoMapBindings(true);
    shader->setAutoMapLocations(true);
    if (shader->parse(GetDefaultResources(), 100, false, messages)) break;
    const std::string log = shader->getInfoLog();
    const std::string unmatched = "' : no matching overloaded function found";
    const size_t at = log.find(unmatched);
    const size_t from = at == std::string::npos ? at : log.rfind('\'', at - 1);
    const std::string function =
        from == std::string::npos ? std::string() : log.substr(from + 1, at - from - 1);
    std::string retried;
    if (!function.empty() && widened.size() < 16 && widened.insert(function).second)
      retried = scalarArgumentOverloads(text, function);
    if (retried.empty() || retried == text) {
      errors += formatLog(log);
      if (errors.empty()) errors = fileName + ": error: the shader does not compile\n";
      return false;
    }
    text = retried;
  }
  glslang::TProgram program;
  program.addShader(shader.get());
  if (!program.link(messages) || !program.mapIO()) {
    std::string log = program.getInfoLog();
    if (log.find("Entry point not found") != std::string::npos)
      errors += fileName + ": error: entry point '" + entry + "' not found\n";
    else if (std::string formatted = formatLog(log);
             formatted.find(": error: ") != std::string::npos)
      errors += formatted;
    else  // the linker's own words name no file and no kind
      errors += fileName + ": error: '" + entry + "' does not link" +
                (formatted.empty() ? "" : ": " + formatted.substr(0, formatted.find('\n'))) + "\n";
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
  // HLSL's % and fmod() keep the sign of the dividend (fmod(-0.75, 0.5) is
  // -0.25), as C's do; the front end writes them as the floored modulo
  // that keeps the divisor's. Every float modulo here comes from HLSL, so
  // each becomes the remainder of a truncated division.
  constexpr unsigned kOpFRem = 140, kOpFMod = 141;
  for (size_t at = 5; at < spirv.size();) {
    const unsigned words = spirv[at] >> 16;
    if ((spirv[at] & 0xffffu) == kOpFMod) spirv[at] = (words << 16) | kOpFRem;
    if (words == 0) break;
    at += words;
  }
  if (!spirvToGlsl(spirv, stage, out, errors)) {
    errors = fileName + ": error: " + errors;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Malformed text can crash the HLSL front end itself, and a crash there must
// fail the compile, not end the program: the translation runs in a helper
// process (platform/win32/HelperProcess.h), a copy of the helpers' origin
// with the front end warmed up there once. It translates, writes its answer
// to its socket, and does nothing else: no GL, no SDL, no logging.

std::atomic<int> timeLimitMs{10000};
std::atomic<void (*)()> childHook{nullptr};

// The answer on the socket: a byte for success, then strings as a 32-bit
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
  putCount(data, out.memberUniforms.size());
  for (const std::string& m : out.memberUniforms) putText(data, m);
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
  explicit AnswerReader(const std::string& data, size_t from = 1) : data_(data), at_(from) {}
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
  size_t at_;  // after the success byte, unless told
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
  out.memberUniforms.resize(std::min<size_t>(n, data.size()));
  for (std::string& m : out.memberUniforms)
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

// Both ends are sockets: a worker that has gone makes the send fail.
bool writeAll(int fd, const std::string& data) {
  return helper_process::sendAll(fd, data.data(), data.size());
}

// Reads `want` bytes of the worker's answer; false when the time limit
// passes first or the socket fails or closes before.
bool readAnswer(int fd, std::string& data, size_t want, bool* timedOut = nullptr) {
  data.resize(want);
  return helper_process::readAll(fd, data.data(), want, timeLimitMs.load(), timedOut);
}

// The front end builds its tables of built-in functions for each stage on
// the first compile and keeps them, which is most of the cost of a small
// shader: a text of our own, known to compile, builds them once.
void warmUp() {
  static std::once_flag once;
  std::call_once(once, [] {
    glslang::InitializeProcess();
    CompiledStage warm;
    std::string ignored;
    translate("float4 f() : COLOR { return 0; }", "f", Stage::Vertex, "", warm, ignored);
    translate("float4 f() : COLOR { return 0; }", "f", Stage::Pixel, "", warm, ignored);
  });
}

// A request: the stage as one byte, the test hook to run first (a function's
// address: the worker is a copy of this program), then the source, the entry
// point and the file name as texts; the whole framed by its 32-bit length.
// The answer is framed the same way around encode()'s bytes.
std::string frame(const std::string& body) {
  std::string data;
  putCount(data, body.size());
  return data + body;
}

bool readFrame(int fd, std::string& body) {
  uint32_t length = 0;
  if (!helper_process::readAll(fd, reinterpret_cast<char*>(&length), sizeof length, -1))
    return false;
  body.resize(length);
  return helper_process::readAll(fd, body.data(), length, -1);
}

// The worker: answers requests until its socket closes, then returns (and
// the helper leaves).
void serve(int fd) {
  std::string request;
  while (readFrame(fd, request)) {
    bool ok = false;
    CompiledStage out;
    std::string errors;
    void (*hook)() = nullptr;
    if (request.size() > sizeof hook) {
      std::memcpy(&hook, request.data() + 1, sizeof hook);
      if (hook) hook();
      const Stage stage = request[0] == 'p' ? Stage::Pixel : Stage::Vertex;
      AnswerReader in(request, 1 + sizeof hook);
      std::string source, entry, fileName;
      if (in.text(source) && in.text(entry) && in.text(fileName))
        ok = translate(source, entry, stage, fileName, out, errors);
    }
    if (!writeAll(fd, frame(encode(ok, out, errors)))) return;
  }
}

// The worker as this process sees it: a helper, which ends by itself when
// its socket closes. The origin warms the front end up once; every worker,
// the replacement for one that crashed too, starts with it warm.
const helper_process::Kind kWorker{warmUp, serve};
std::mutex workerMutex;
helper_process::Process worker;

void stopWorker() { helper_process::stop(worker); }

bool startWorker() { return helper_process::start(worker, kWorker, timeLimitMs.load()); }

}  // namespace

void startCompiler() {
  std::lock_guard<std::mutex> lock(workerMutex);
  if (worker.fd < 0) startWorker();
}

bool compileInProcess(const std::string& source, const std::string& entry, Stage stage,
                      const std::string& fileName, CompiledStage& out, std::string& errors) {
  warmUp();
  out = {};
  out.stage = stage;
  return translate(source, entry, stage, fileName, out, errors);
}

bool compile(const std::string& source, const std::string& entry, Stage stage,
             const std::string& fileName, CompiledStage& out, std::string& errors) {
  out = {};
  out.stage = stage;
  auto failed = [&](const char* what) {
    errors += fileName + ": error: " + what + "\n";
    return false;
  };
  std::lock_guard<std::mutex> lock(workerMutex);
  if (worker.fd < 0 && !startWorker()) return failed("the shader compiler could not be started");
  std::string request(1, stage == Stage::Pixel ? 'p' : 'v');
  void (*hook)() = childHook.load();
  request.append(reinterpret_cast<const char*>(&hook), sizeof hook);
  putText(request, source);
  putText(request, entry);
  putText(request, fileName);
  bool sent = writeAll(worker.fd, frame(request));
  if (!sent) {
    // The worker went away between compiles (killed, or out of memory):
    // nothing was asked of it yet, so a fresh one gets the request.
    stopWorker();
    sent = startWorker() && writeAll(worker.fd, frame(request));
  }
  // The answer's length, then its bytes, each within the time limit.
  std::string head, data;
  bool hung = false;
  bool answered = sent && readAnswer(worker.fd, head, sizeof(uint32_t), &hung);
  if (answered) {
    uint32_t length = 0;
    std::memcpy(&length, head.data(), sizeof length);
    answered = readAnswer(worker.fd, data, length, &hung);
  }
  bool ok = false;
  CompiledStage answer;
  std::string messages;
  if (!answered || !decode(data, ok, answer, messages)) {
    // Whatever became of it, this worker is done, and a fresh one is ready
    // for the next compile.
    stopWorker();
    startWorker();
    return failed(hung ? "the shader compiler did not finish in time on this text"
                       : "the shader compiler failed on this text");
  }
  errors += messages;
  if (!ok) return false;
  answer.stage = stage;
  out = std::move(answer);
  return true;
}

void setChildHookForTesting(void (*hook)()) { childHook = hook; }

int workerProcessForTesting() {
  std::lock_guard<std::mutex> lock(workerMutex);
  return worker.fd < 0 ? -1 : int(worker.pid);
}

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
