// Shared by the fuzz targets.
#pragma once

#include "KorLexer.h"
#include "KorParser.h"
#include "antlr4-runtime.h"

// The recognizers' prediction caches (DFA states, prediction contexts) are
// shared by all parses of the process and grow with every new input shape;
// a long campaign drops them now and then to stay within its memory limit.
inline void dropPredictionCachesEvery(size_t runs) {
  static size_t count = 0;
  if (++count % runs != 0) return;
  antlr4::ANTLRInputStream input("");
  KorLexer lexer(&input);
  antlr4::CommonTokenStream tokens(&lexer);
  KorParser parser(&tokens);
  auto* simulator = parser.getInterpreter<antlr4::atn::ParserATNSimulator>();
  simulator->clearDFA();
  simulator->getSharedContextCache().clear();
  lexer.getInterpreter<antlr4::atn::LexerATNSimulator>()->clearDFA();
}
