#include <gtest/gtest.h>
#include "KorLexer.h"
#include "KorParser.h"

TEST(Lexer, Builds) {
  antlr4::ANTLRInputStream in("hanshu hs_rukou() { dy(1); }");
  KorLexer lexer(&in);
  antlr4::CommonTokenStream tokens(&lexer);
  KorParser parser(&tokens);
  auto* tree = parser.program();
  EXPECT_NE(tree, nullptr);
}
