// The run driver parses a script first with SLL prediction and a bailing
// error strategy, and falls back to full LL prediction only when that fails.
// This holds only if every tree the SLL stage produces is the tree the LL
// parse produces: checked here on every script of the repository.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "KorLexer.h"
#include "KorParser.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Silent : public antlr4::BaseErrorListener {};

// Returns the tree text, or "" when the SLL stage gives up.
std::string parseTree(const std::string& text, bool sll) {
  antlr4::ANTLRInputStream in(text);
  KorLexer lexer(&in);
  Silent silent;
  lexer.removeErrorListeners();
  lexer.addErrorListener(&silent);
  antlr4::CommonTokenStream tokens(&lexer);
  KorParser parser(&tokens);
  parser.removeErrorListeners();
  parser.addErrorListener(&silent);
  if (sll) {
    parser.setErrorHandler(std::make_shared<antlr4::BailErrorStrategy>());
    parser.getInterpreter<antlr4::atn::ParserATNSimulator>()->setPredictionMode(
        antlr4::atn::PredictionMode::SLL);
    try {
      return parser.program()->toStringTree(&parser);
    } catch (antlr4::ParseCancellationException&) {
      return "";
    }
  }
  return parser.program()->toStringTree(&parser);
}

bool validUtf8(const std::string& s) {
  try {
    antlr4::ANTLRInputStream in(s);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

TEST(TwoStageParse, SllTreesEqualLlTreesOnEveryScript) {
  int compared = 0;
  for (const char* dir : {"tests/scripts", "examples", "bench"}) {
    fs::path root = fs::path(KOR_SOURCE_DIR) / dir;
    if (!fs::exists(root)) continue;
    for (auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.path().extension() != ".kor") continue;
      std::string text = readFile(entry.path());
      if (!validUtf8(text)) continue;  // other encodings are decoded before parsing
      std::string sll = parseTree(text, true);
      if (sll.empty()) continue;  // the LL stage takes over, nothing to compare
      EXPECT_EQ(sll, parseTree(text, false)) << entry.path();
      ++compared;
    }
  }
  EXPECT_GT(compared, 0);
}

TEST(TwoStageParse, SllGivesUpOnSyntaxErrors) {
  EXPECT_EQ(parseTree("hanshu f() { zs a = ; }", true), "");
  EXPECT_NE(parseTree("hanshu f() { zs a = 1; }", true), "");
}
