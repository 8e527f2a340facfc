#include "runtime/SourceNesting.h"

#include <cstring>
#include <vector>

namespace {

bool identStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}
bool identChar(unsigned char c) { return identStart(c) || (c >= '0' && c <= '9'); }

// Keywords whose statement holds another statement: a chain of them without
// braces nests as deeply as a chain of blocks.
bool controlKeyword(const char* word, size_t length) {
  static const char* const kWords[] = {"if", "else", "for", "while", "do", "switch"};
  for (const char* w : kWords)
    if (std::strlen(w) == length && std::memcmp(w, word, length) == 0) return true;
  return false;
}

// What one bracket level holds: the open control keywords whose statement
// has not ended, and the recursive operators of the expression in progress.
struct Level {
  int control = 0;
  int expression = 0;
  int links = 0;  // of the else-if chain in progress
};

// The compiler takes one link of an else-if chain ("else if") with a few
// hundred bytes of stack, where a bracket takes kilobytes: this many links
// count one level. A generated chain of thousands of cases compiles.
constexpr int kLinksPerLevel = 4;

class Scanner {
 public:
  Scanner(const std::string& text, int limit) : text(text), limit(limit) { levels.emplace_back(); }

  NestingReport run() {
    while (position < text.size() && !report.tooDeep) step();
    return report;
  }

 private:
  enum class Last { Nothing, Operand, Operator };

  void step() {
    const unsigned char c = text[position];
    if (c == '\n') {
      ++row;
      lineStart = ++position;
      return;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++position;
      return;
    }
    if (c == '/' && next(1) == '/') {
      while (position < text.size() && text[position] != '\n') ++position;
      return;
    }
    if (c == '/' && next(1) == '*') {
      position += 2;
      while (position < text.size() && !(text[position] == '*' && next(1) == '/')) advanceOne();
      position += 2;
      return;
    }
    const size_t tokenStart = position;
    if (c == '"' || c == '\'') {
      stringLiteral();
      token(tokenStart, Last::Operand);
      return;
    }
    if (identStart(c)) {
      while (position < text.size() && identChar(text[position])) ++position;
      const bool control = controlKeyword(text.data() + tokenStart, position - tokenStart);
      const bool isElse = position - tokenStart == 4 && text.compare(tokenStart, 4, "else") == 0;
      const bool isIf = position - tokenStart == 2 && text.compare(tokenStart, 2, "if") == 0;
      const bool link = elsePending && isIf;
      takeElse(isIf, tokenStart);
      settle(isElse);
      if (isElse) {
        // Its level waits for the next token: before an "if" the two are
        // one link of a chain.
        elsePending = true;
        elseAt = {tokenStart, row, lineStart};
      } else if (control && !link) {
        raise(tokenStart, levels.back().control);
      }
      // "return" and "case" are followed by an expression, like an operator.
      const bool leadsExpression = text.compare(tokenStart, position - tokenStart, "return") == 0 ||
                                   text.compare(tokenStart, position - tokenStart, "case") == 0;
      last = control || leadsExpression ? Last::Operator : Last::Operand;
      return;
    }
    if (c >= '0' && c <= '9') {
      while (position < text.size() && (identChar(text[position]) || text[position] == '.'))
        ++position;
      token(tokenStart, Last::Operand);
      return;
    }
    punctuation(tokenStart, c);
  }

  void punctuation(size_t start, unsigned char c) {
    takeElse(false, start);
    settle(false);
    switch (c) {
      case '(':
      case '[':
      case '{':
        ++position;
        levels.emplace_back();
        raiseTo(start, total + 1);
        last = Last::Operator;
        return;
      case ')':
      case ']':
      case '}':
        ++position;
        if (levels.size() > 1) {
          total -= 1 + levels.back().control + levels.back().expression;
          levels.pop_back();
        }
        // A block closes the statement of the keywords before it, unless an
        // "else" continues it.
        if (c == '}') endPending = true;
        last = c == '}' ? Last::Operator : Last::Operand;
        return;
      case ';':
        ++position;
        clearExpression();
        endPending = true;
        last = Last::Operator;
        return;
      case ',':
        ++position;
        clearExpression();
        last = Last::Operator;
        return;
      default:
        break;
    }
    // The longest operator that starts here.
    static const char* const kOperators[] = {
        ">>>=", "<<=", ">>=", ">>>", "**=", "!is", "==", "!=", "<=", ">=", "+=", "-=", "*=", "/=",
        "%=",   "&=",  "|=",  "^=",  "&&",  "||",  "^^", "++", "--", "<<", ">>", "**", "::"};
    size_t length = 1;
    for (const char* op : kOperators) {
      const size_t n = std::strlen(op);
      if (text.compare(position, n, op) == 0) {
        length = n;
        break;
      }
    }
    const std::string op = text.substr(position, length);
    position += length;
    const bool prefixPlace = last != Last::Operand;
    bool recursive = false;
    // Prefix operators and chains of binary operators are taken in loops.
    if (op == "?" || op == "<") recursive = true;
    // Assignments, plain and compound, take their right side by recursion.
    if (op.back() == '=' && op != "==" && op != "!=" && op != "<=" && op != ">=") recursive = true;
    if (recursive) raise(start, levels.back().expression);
    last = (op == "++" || op == "--") && !prefixPlace ? Last::Operand : Last::Operator;
  }

  void stringLiteral() {
    const char quote = text[position];
    if (quote == '"' && text.compare(position, 3, "\"\"\"") == 0) {
      position += 3;
      while (position < text.size() && text.compare(position, 3, "\"\"\"") != 0) advanceOne();
      position += 3;
      return;
    }
    ++position;
    while (position < text.size() && text[position] != quote) {
      if (text[position] == '\\') ++position;
      advanceOne();
    }
    ++position;
  }

  // Steps over one byte inside a comment or literal, keeping the row count.
  void advanceOne() {
    if (position < text.size() && text[position] == '\n') {
      ++row;
      lineStart = position + 1;
    }
    ++position;
  }

  char next(size_t ahead) const {
    return position + ahead < text.size() ? text[position + ahead] : '\0';
  }

  void token(size_t start, Last kind) {
    takeElse(false, start);
    settle(false);
    last = kind;
  }

  // The level of an "else" met just before: its own, or, when an "if"
  // follows, a share of one for the link of a chain.
  void takeElse(bool beforeIf, size_t ifStart) {
    if (!elsePending) return;
    elsePending = false;
    Level& level = levels.back();
    if (!beforeIf)
      raise(elseAt, level.control);  // where the "else" stands, perhaps lines above
    else if (level.links++ % kLinksPerLevel == 0)
      raise(ifStart, level.control);
  }

  // A statement ended at the last ";" or "}": its keywords close now, unless
  // the token that follows is an "else".
  void settle(bool isElse) {
    if (!endPending) return;
    endPending = false;
    if (isElse) return;
    total -= levels.back().control;
    levels.back().control = 0;
    levels.back().links = 0;
  }

  void clearExpression() {
    total -= levels.back().expression;
    levels.back().expression = 0;
  }

  // A place in the text: its offset, with the row and the row's start.
  struct Mark {
    size_t start;
    int row;
    size_t lineStart;
  };

  void raise(size_t start, int& counter) { raise({start, row, lineStart}, counter); }
  void raise(const Mark& at, int& counter) {
    ++counter;
    raiseTo(at, total + 1);
  }

  void raiseTo(size_t start, int newTotal) { raiseTo({start, row, lineStart}, newTotal); }
  void raiseTo(const Mark& at, int newTotal) {
    total = newTotal;
    if (total > limit && !report.tooDeep) {
      report.tooDeep = true;
      report.row = at.row;
      report.column = int(at.start - at.lineStart) + 1;
    }
  }

  const std::string& text;
  const int limit;
  size_t position = 0;
  size_t lineStart = 0;
  int row = 1;
  int total = 0;
  bool endPending = false;
  bool elsePending = false;
  Mark elseAt{0, 1, 0};
  Last last = Last::Nothing;
  std::vector<Level> levels;
  NestingReport report;
};

}  // namespace

NestingReport measureSourceNesting(const std::string& text, int limit) {
  return Scanner(text, limit).run();
}
