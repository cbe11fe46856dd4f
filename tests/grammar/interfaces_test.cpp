// The generated visitor and listener: dispatch by context class, overriding
// operations by name, rule indices of the alternative classes.
#include <gtest/gtest.h>

#include "KorBaseListener.h"
#include "KorBaseVisitor.h"
#include "grammar_test_util.h"

namespace {

using kortest::Parse;

// Overrides a few operations by name, as the evaluator does; any operation
// missing from the generated interface fails to compile here.
class SumVisitor : public KorBaseVisitor {
public:
  int visited = 0;
  antlrcpp::Any visitIntExpr(KorParser::IntExprContext* ctx) override {
    ++visited;
    return std::stoi(ctx->INT_VALUE()->getText());
  }
  antlrcpp::Any visitAddExpr(KorParser::AddExprContext* ctx) override {
    int l = visit(ctx->expr(0)).as<int>();
    int r = visit(ctx->expr(1)).as<int>();
    return l + r;
  }
  antlrcpp::Any visitMultExpr(KorParser::MultExprContext* ctx) override {
    return visit(ctx->expr(0)).as<int>() * visit(ctx->expr(1)).as<int>();
  }
  antlrcpp::Any visitParenthesesExpr(KorParser::ParenthesesExprContext* ctx) override {
    return visit(ctx->expr());
  }
  // a sample of the remaining operations, to pin their names and signatures
  antlrcpp::Any visitNotinExpr(KorParser::NotinExprContext* c) override { return visitChildren(c); }
  antlrcpp::Any visitRowStrExpr(KorParser::RowStrExprContext* c) override { return visitChildren(c); }
  antlrcpp::Any visitAssignAutoAdd(KorParser::AssignAutoAddContext* c) override { return visitChildren(c); }
  antlrcpp::Any visitForwalk(KorParser::ForwalkContext* c) override { return visitChildren(c); }
  antlrcpp::Any visitHs_print(KorParser::Hs_printContext*) { return 0; }  // not virtual: no own accept
  antlrcpp::Any visitFormat_string(KorParser::Format_stringContext* c) override { return visitChildren(c); }
  antlrcpp::Any visitIf(KorParser::IfContext* c) override { return visitChildren(c); }
  antlrcpp::Any visitBreak(KorParser::BreakContext* c) override { return visitChildren(c); }
  antlrcpp::Any visitUnknown(KorParser::UnknownContext* c) override { return visitChildren(c); }
};

// Records the order of a few enter/exit calls.
class TraceListener : public KorBaseListener {
public:
  std::vector<std::string> trace;
  void enterFunction(KorParser::FunctionContext* c) override { trace.push_back("+fn " + c->VARNAME()->getText()); }
  void exitFunction(KorParser::FunctionContext*) override { trace.push_back("-fn"); }
  void enterDefglobal(KorParser::DefglobalContext*) override { trace.push_back("+global"); }
  void enterDeclareStruct(KorParser::DeclareStructContext* c) override { trace.push_back("+struct " + c->VARNAME()->getText()); }
  void enterNoRetCallFun(KorParser::NoRetCallFunContext*) override { trace.push_back("+call"); }
  void exitAddExpr(KorParser::AddExprContext*) override { trace.push_back("-add"); }
  void enterForState(KorParser::ForStateContext*) override { trace.push_back("+for"); }
  void enterWhileState(KorParser::WhileStateContext*) override {}
  void enterReturnCallFun(KorParser::ReturnCallFunContext*) override {}
  void enterAssignVar(KorParser::AssignVarContext*) override {}
  void enterKorFlag(KorParser::KorFlagContext*) override {}
  void enterUnknown(KorParser::UnknownContext*) override {}
  void enterEveryRule(antlr4::ParserRuleContext*) override { ++rules; }
  int rules = 0;
};

TEST(Interfaces, VisitorDispatchesByClass) {
  Parse p("1 + 2 * (3 + 4)");
  auto* e = p.parser.expr();
  ASSERT_EQ(p.errorCount(), 0u);
  SumVisitor v;
  EXPECT_EQ(v.visit(e).as<int>(), 15);
  EXPECT_EQ(v.visited, 4);

  // the plain base visitor walks the whole subtree and returns the result of
  // the last child visited, which for terminals is empty
  KorBaseVisitor base;
  EXPECT_TRUE(e->accept(&base).isNull());
}

TEST(Interfaces, ListenerWalkOrder) {
  Parse p("global { jiegou P { zs x; } }\nhanshu f() { g(1 + 2); xun (;k;) pass; }");
  auto* prog = p.parser.program();
  ASSERT_EQ(p.errorCount(), 0u);
  TraceListener l;
  antlr4::tree::ParseTreeWalker::DEFAULT.walk(&l, prog);
  EXPECT_EQ(l.trace, (std::vector<std::string>{"+global", "+struct P", "+fn f", "+call", "-add", "+for", "-fn"}));
  EXPECT_GT(l.rules, 10);
}

TEST(Interfaces, RuleIndicesOfAlternatives) {
  const char* exprs[] = {"(a)",  "Kor::UTF8", "a++",    "-a",     "~a",     "a*b",    "a/b",
                         "\"%d\" % 1", "a%b", "a+b", "a-b", "a<b", "a<=b", "a>b",
                         "a>=b", "a==b", "a!=b", "a&b", "a^b", "a|b", "a not in b",
                         "a in b", "!a", "a and b", "a or b", "1", "1.5",
                         "\"s\"", "r\"s\"", "zhen", "'c'", "a.b", "f()"};
  std::set<std::string> classes;
  for (const char* text : exprs) {
    Parse p(text);
    auto* e = p.parser.expr();
    EXPECT_EQ(p.errorCount(), 0u) << text;
    EXPECT_TRUE(p.atEnd()) << text;
    EXPECT_EQ(e->getRuleIndex(), 25u) << text;
    classes.insert(typeid(*e).name());
  }
  // each text reached a different alternative class: all 33 are covered
  EXPECT_EQ(classes.size(), 33u);

  Parse a("x = 1;");
  auto* st = a.parser.statement();
  auto* one = dynamic_cast<KorParser::AssignContext*>(st->children[0])->assginNoEnd()->assignOne(0);
  EXPECT_NE(dynamic_cast<KorParser::AssignVarContext*>(one), nullptr);
  EXPECT_EQ(one->getRuleIndex(), 13u);

  Parse w("xun a, b, c in wj.walk(p) { }");
  auto* f = w.parser.for_();
  EXPECT_NE(dynamic_cast<KorParser::ForwalkContext*>(f), nullptr);
  EXPECT_EQ(f->getRuleIndex(), 58u);

  Parse d("dy << 1;");
  auto* h = d.parser.hs_print();
  EXPECT_NE(dynamic_cast<KorParser::OutputExprContext*>(h), nullptr);
  EXPECT_EQ(h->getRuleIndex(), 23u);
}

TEST(Interfaces, ForeignVisitorGetsChildren) {
  // a visitor that is not a KorVisitor is accepted and gets visitChildren
  struct Counting : antlr4::tree::AbstractParseTreeVisitor {
    int terminals = 0;
    antlrcpp::Any visitTerminal(antlr4::tree::TerminalNode*) override { return ++terminals; }
  };
  Parse p("a + b");
  auto* e = p.parser.expr();
  Counting c;
  e->accept(&c);
  EXPECT_EQ(c.terminals, 3);
}

}  // namespace
