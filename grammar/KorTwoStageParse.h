// Parsing a script in two stages.
//
// SLL prediction (conflicts resolved to the first alternative, without the
// costly full-context prediction) gives this grammar's trees everywhere but
// at the choice among the primary alternatives of expr, where a variable
// followed by "(" can, with SLL's global follow sets, also be an `if`
// condition followed by a parenthesised statement (so a call with arguments
// inside an expression would be taken for a variable), and at the decisions
// of korvar, where ".m" after a variable can also be a member (so `x.m(1)`
// would lose its method). The first stage therefore predicts those decisions
// with LL and every other one with SLL, and gives up at the first syntax
// error; the second stage parses again
// from the start with full LL everywhere and the caller's error reporting.
// When the first stage succeeds its tree is the LL tree: a choice that is
// viable for the whole input is also LL's choice.
#pragma once

#include "KorParser.h"

// The parser's simulator for the two stages: in the first stage LL at the
// primary decision of expr and in korvar, SLL elsewhere; in the second full LL
// everywhere. It shares the ATN, the DFA cache and the
// prediction-context cache of the generated simulator it replaces.
class KorStagedPredictor : public antlr4::atn::ParserATNSimulator {
 public:
  // Replaces the parser's simulator (the parser deletes the old one now and
  // this one with itself).
  static KorStagedPredictor* install(KorParser& parser);

  void setFirstStage(bool on) { firstStage_ = on; }

  size_t adaptivePredict(antlr4::TokenStream* input, size_t decision,
                         antlr4::ParserRuleContext* outerContext) override;

 private:
  KorStagedPredictor(KorParser& parser, antlr4::atn::ParserATNSimulator& base);
  bool firstStage_ = true;
};

// Stage 1: mixed prediction with the bailing strategy and no listeners.
// Returns the tree, or null when the stage gives up; the parser is then
// reset to the start of the input with full LL prediction, ready for stage 2
// (the caller installs its own error strategy and listeners).
KorParser::ProgramContext* parseProgramFirstStage(KorParser& parser);
