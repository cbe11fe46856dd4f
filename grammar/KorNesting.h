// Bounded nesting of a script, checked on its tokens as the parser reads
// them, before the parser recurses into them.
//
// The parser recurses once or more per level of
//  - brackets: ( ), [ ], { } (calls, lists, dicts, blocks, indexes);
//  - prefix constructs that nest without a bracket: `!`/`not`, `in` (its
//    right side may hold another `in`), a format string's `%`, and the
//    statements whose body may be another such statement without braces
//    (`sf`, `qt`, `while`, `xun`: `sf a sf b x;`, `qt sf ...` chains).
// It also bounds chains of format strings (kMaxFormatChain).
// KorDepthCheckedTokenStream counts those levels: a bracket level lasts until
// its closing bracket; the prefix levels opened inside one bracket level last
// until a `;` or `,` of that level or until the end of a braced block, except
// that the statement levels (`sf`, `qt`, `while`, `xun`) go on when `zsf` or
// `qt` follows the end (they continue the same statement), while the
// operator levels (`!`, `not`, `in`, `%`), which belong to an expression that
// has ended there, do not. The count is an estimate (an `in` or `%` may
// chain without nesting), generous for ordinary scripts; the parser's own
// stack check (KorStagedPredictor::setStackLimit) stops whatever the estimate
// misses.
#pragma once

#include <cstddef>
#include <exception>
#include <vector>

#include "antlr4-runtime.h"

// Most nesting levels a script may use.
constexpr size_t kMaxNestingDepth = 1000;
// Most format strings in one run of operands and operators, without a
// bracket, ',' or ';' between them ("%1" % "%1" % x is two): each more
// doubles the work of the parser's predictions, which see two readings (a
// format string, or a string and the remainder operator) of every one.
constexpr size_t kMaxFormatChain = 6;

// Thrown when the nesting limit or the parser's stack limit is reached, at
// the token where it happened (line from 1, column from 0).
class KorNestingTooDeep : public std::exception {
 public:
  enum Kind { Levels, Stack, FormatChain };
  KorNestingTooDeep(size_t line, size_t column, Kind kind) : line(line), column(column), kind(kind) {}
  const char* what() const noexcept override { return "nesting too deep"; }
  // The Chinese report (UTF-8).
  std::string message() const;

  size_t line;
  size_t column;
  Kind kind;  // the level count, the parser's stack check or a format chain
};

// A CommonTokenStream over a KorLexer that throws KorNestingTooDeep when a
// token fetched from the lexer nests deeper than `limit` levels.
class KorDepthCheckedTokenStream : public antlr4::CommonTokenStream {
 public:
  explicit KorDepthCheckedTokenStream(antlr4::TokenSource* source,
                                      size_t limit = kMaxNestingDepth);

 protected:
  size_t fetch(size_t n) override;

 private:
  struct Level {
    // prefix levels opened at this bracket level
    size_t statements = 0;  // sf, qt, while, xun
    size_t operators = 0;   // !, not, in, a format string's %
    size_t prefixes() const { return statements + operators; }
  };
  void count(antlr4::Token* token);

  size_t limit_;
  size_t depth_ = 0;              // bracket levels plus all prefix levels
  size_t counted_ = 0;            // tokens counted so far
  bool closePending_ = false;  // a ';', ',' or '}' ended the level's prefixes...
  bool resetAlways_ = false;   // ... even before `zsf`/`qt` (a ',')
  size_t lastType_ = 0;        // type of the last default-channel token
  size_t chain_ = 0;           // format strings since a bracket, ',' or ';'

  std::vector<Level> levels_{Level()};
  // token types of the punctuation, from the lexer's vocabulary
  size_t open_[3], close_[3], semi_, comma_, percent_, while_;
};
