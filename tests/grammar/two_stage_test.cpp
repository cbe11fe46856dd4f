// The run driver parses a script first with a fast stage (decisions taken
// from the next tokens where they settle them, LL prediction at the primary
// decision of expr and in korvar, SLL elsewhere, and a bailing error
// strategy), and falls back to full LL prediction only when
// that fails. This holds only if every tree the first stage produces is the
// tree the LL parse produces: checked here on every script of the repository,
// with a count of how many scripts the first stage handles on its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "KorLexer.h"
#include "KorParser.h"
#include "KorTwoStageParse.h"

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
    KorParser::ProgramContext* tree = parseProgramFirstStage(parser);
    return tree ? tree->toStringTree(&parser) : "";
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

TEST(TwoStageParse, FirstStageGivesUpOnSyntaxErrorsOnly) {
  EXPECT_EQ(parseTree("hanshu f() { zs a = ; }", true), "");
  EXPECT_NE(parseTree("hanshu f() { zs a = 1; }", true), "");
  // calls with arguments inside expressions, call statements, assignments of
  // calls and format prints are all handled by the first stage
  const char* calls =
      "hanshu f(zs a) (zs) {\n"
      "  lb items = [];\n"
      "  items.append(a * 2);\n"
      "  zs y = g(a - 1, items.size());\n"
      "  dyh(\"%1\" % y);\n"
      "  sf y (y);\n"
      "  zs n = items.size() + items[0][a[1]].m(2) + items[items[0]] + items[0]++;\n"
      "  sf items[0] (y);\n"
      "  fanhui f(a - 1) + 1;\n"
      "}\n";
  std::string first = parseTree(calls, true);
  EXPECT_NE(first, "");
  EXPECT_EQ(first, parseTree(calls, false));
}

// Statements where the first stage decides from the next tokens which
// alternative alone can match, or takes the first of alternatives that read
// the same tokens (assignment before a call taking results, call statement
// before expression statement, plain before struct assignment): its tree must
// be the LL tree.
TEST(TwoStageParse, TokenDecidedStatementsGiveTheLlTree) {
  const char* statements[] = {
      "x = a + b * c - d / e % f < g == h and i or j & k | l ^ m;",
      "sf x -1;", "sf x.m (y) dy(1);", "sf x.m (y);", "sf f (y) dy(2);", "sf (a) (b) + 1;",
      "sf x[1].m(2) (y);", "sf x.m { dy(1); }", "x = {1, 2};", "x = {a: 1};",
      "T v = {1, 2}, w = {3, 4};", "a, b = f();", "_, b = f();", "a: = f();", "x = f(1);",
      "a[1][2].b.c(2).d(3);", "zfc.x(1);", "kor.y(2) + 1;", "f(1).g(2);", "x[1][2] += 3;",
      "x.y++;", "x = a.b ++;", "x = a[1]++ + 1;", "x = not a in b + c;", "x = a ! in b;",
      "x = \"%1 %2\" % (x, y) + \"z\";", "dy(\"%1\" % (1, 2) + \"x\");", "dy(\"%1\" % x, 2);",
      "xun _, v in m { a; }", "xun _, v in m dy(v);", "xun _, v in T{1, 2} { dy(v); }",
      "xun (zs i = 0; i < 10; i++, j--) dy(i);", "sf a sf b c; qt d;", "fanhui f(1) + 1;",
      "a b = c, d = {1};", "x = y.z(1) + w.v(2) * u[3];",
      "xun a, b, c in wj.walk(\"x\") { dy(a); }",
  };
  for (const char* statement : statements) {
    const std::string script = std::string("hanshu f() {\n  ") + statement + "\n}\n";
    const std::string first = parseTree(script, true);
    EXPECT_NE(first, "") << statement;
    EXPECT_EQ(first, parseTree(script, false)) << statement;
  }
}
