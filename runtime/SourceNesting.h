// A bound on how deeply a scriplet's text nests, checked before the script
// compiler sees it. The compiler parses and compiles nested constructs by
// recursion, so the machine stack it needs grows with the nesting; a text
// that passes this check compiles within the stack the host gives it.
#pragma once

#include <cstddef>
#include <string>

// The deepest nesting a scriplet may have. Real scriplets stay below a few
// dozen levels.
constexpr int kMaxSourceNesting = 1000;

struct NestingReport {
  bool tooDeep = false;
  int row = 0;     // of the token that went past the bound, numbered from 1
  int column = 0;  // likewise
};

// Scans the text as script tokens (comments and string literals are
// skipped) and measures its nesting: each open bracket of any kind, each
// control keyword whose statement has not ended, and each operator of an
// expression that the compiler takes apart by recursion (assignment,
// conditional, template brackets) counts one level; four links of an
// else-if chain count one. The
// count errs on the high side; a text deeper than `limit` is reported with
// the position where it went past.
NestingReport measureSourceNesting(const std::string& text, int limit = kMaxSourceNesting);
