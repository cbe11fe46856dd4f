// Lexing and parsing as the run driver does it (parseScriptProgram): the
// nesting check, the two parse stages and the Chinese error listener, whose
// main-parse reports end the parse with a script error. Any input ends with a
// tree or a report.
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "KorParser.h"
#include "KorScriptParse.h"
#include "antlr4-runtime.h"
#include "runtime/run_state.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::ostringstream sink;

void parse(const std::string& text, QByteArray& source) {
  antlr4::ANTLRInputStream input(text);
  ChineseKorLexer lexer(&input);
  KorDepthCheckedTokenStream tokens(&lexer);
  KorParser parser(&tokens);
  KorErrListener listener;
  listener.tokens = &tokens;
  listener.source = &source;
  parseScriptProgram(parser, lexer, tokens, listener);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return -1;
  std::streambuf* out = std::cout.rdbuf(sink.rdbuf());
  std::streambuf* err = std::cerr.rdbuf(sink.rdbuf());
  QByteArray source(reinterpret_cast<const char*>(data), int(size));
  parsePhase = 1;
  try {
    parse(source.toStdString(), source);
  } catch (const std::exception&) {
    // a report (script error) or input that is not UTF-8
  }
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  sink.str(std::string());
  dropPredictionCachesEvery(1000);
  return 0;
}
