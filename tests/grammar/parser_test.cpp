// Parser structure: operator precedence as tree shape, the choices between
// alternatives that the evaluator relies on, and where the parse stops.
#include <gtest/gtest.h>

#include "grammar_test_util.h"

namespace {

using kortest::Parse;
using kortest::shape;

// Parses `text` as one expression; empty string when it fails or leaves input.
std::string exprShape(const std::string& text) {
  Parse p(text);
  auto* e = p.parser.expr();
  if (p.errorCount() || !p.atEnd()) return "";
  return shape(e);
}

// Parses `text` as a whole script; returns the number of reports.
size_t programErrors(const std::string& text) {
  Parse p(text);
  p.parser.program();
  return p.errorCount();
}

// The one statement that `text` parses to (its single child).
template <typename Ctx>
Ctx* statementAs(Parse& p) {
  auto* s = p.parser.statement();
  if (p.errorCount() || s->children.size() != 1) return nullptr;
  return dynamic_cast<Ctx*>(s->children[0]);
}

TEST(Precedence, ArithmeticLevels) {
  // '*' binds tighter than '/', '+' tighter than '-'; own chains group left
  EXPECT_EQ(exprShape("a / b * c"), "(a / (b * c))");
  EXPECT_EQ(exprShape("a * b / c"), "((a * b) / c)");
  EXPECT_EQ(exprShape("a % b / c"), "(a % (b / c))");
  EXPECT_EQ(exprShape("a % b * c"), "(a % (b * c))");
  EXPECT_EQ(exprShape("a - b + c"), "(a - (b + c))");
  EXPECT_EQ(exprShape("a + b - c"), "((a + b) - c)");
  EXPECT_EQ(exprShape("a - b - c"), "((a - b) - c)");
  EXPECT_EQ(exprShape("a / b / c"), "((a / b) / c)");
  EXPECT_EQ(exprShape("a + b * c - d"), "((a + (b * c)) - d)");
  EXPECT_EQ(exprShape("(a - b) + c"), "((a - b) + c)");
  EXPECT_EQ(exprShape("a - (b - c)"), "(a - (b - c))");
}

TEST(Precedence, ComparisonsAndBitOperators) {
  EXPECT_EQ(exprShape("a != b == c"), "(a != (b == c))");
  EXPECT_EQ(exprShape("a <= b < c"), "(a <= (b < c))");
  EXPECT_EQ(exprShape("a < b + 1"), "(a < (b + 1))");
  EXPECT_EQ(exprShape("a == b & c"), "((a == b) & c)");
  EXPECT_EQ(exprShape("a | b ^ c & d"), "(a | (b ^ (c & d)))");
}

TEST(Precedence, LogicalAndMembership) {
  // prefix NOT takes its operand at its own level: comparisons bind first
  EXPECT_EQ(exprShape("!a == b"), "(! (a == b))");
  EXPECT_EQ(exprShape("not a and b"), "((not a) and b)");
  EXPECT_EQ(exprShape("!a in b"), "(! (a in b))");
  EXPECT_EQ(exprShape("a and b or c"), "((a and b) or c)");
  EXPECT_EQ(exprShape("a or b and c"), "(a or (b and c))");
  // the right side of in is a whole rightvar, starting again at level 0
  EXPECT_EQ(exprShape("x in y and z"), "(x in (y and z))");
  EXPECT_EQ(exprShape("x not in y or z"), "(x not in (y or z))");
  EXPECT_EQ(exprShape("x in [1, 2] and k in {1: 2}"), "((x in [1,2]) and (k in {1:2}))");
  EXPECT_EQ(exprShape("a + 1 in b"), "((a + 1) in b)");
}

TEST(Precedence, PrefixMinusAndReverseTakeOnlyAtoms) {
  for (const char* ok : {"-5", "-2.5", "-a", "-a[1]", "-p.x", "~a", "~a[i].m"}) {
    Parse p(ok);
    auto* e = p.parser.expr();
    EXPECT_EQ(p.errorCount(), 0u) << ok;
    EXPECT_TRUE(p.atEnd()) << ok;
    EXPECT_TRUE(dynamic_cast<KorParser::NegationExprContext*>(e) ||
                dynamic_cast<KorParser::LogRevExprContext*>(e))
        << ok;
  }
  EXPECT_EQ(exprShape("-a * b"), "(-a * b)");
  for (const char* bad : {"x = -(a + b);", "x = -f();", "x = ~(a);", "x = -'c';"})
    EXPECT_GT(programErrors(bad), 0u) << bad;
}

TEST(Choices, CallStatementsAndReturns) {
  {
    Parse p("f(x);");
    EXPECT_NE(statementAs<KorParser::NoRetCallFunContext>(p), nullptr);
  }
  {
    Parse p("fanhui f(x);");
    EXPECT_NE(statementAs<KorParser::ReturnCallFunContext>(p), nullptr);
  }
  {
    Parse p("return obj.m(1).n();");
    EXPECT_NE(statementAs<KorParser::ReturnCallFunContext>(p), nullptr);
  }
  {
    Parse p("fanhui f(x) + 1;");
    EXPECT_NE(statementAs<KorParser::RetCodeContext>(p), nullptr);
  }
  {
    Parse p("fanhui;");
    EXPECT_NE(statementAs<KorParser::RetCodeContext>(p), nullptr);
  }
  {
    Parse p("a, _ := f();");
    EXPECT_NE(statementAs<KorParser::WithRetCallFunContext>(p), nullptr);
  }
  {
    // a single target is a plain assignment, written before callFun
    Parse p("a = f();");
    EXPECT_NE(statementAs<KorParser::AssignContext>(p), nullptr);
  }
  {
    Parse p("f(x) + 1;");
    EXPECT_NE(statementAs<KorParser::SignalStateContext>(p), nullptr);
  }
  {
    Parse p("wj.open(p, 1);");
    auto* c = statementAs<KorParser::NoRetCallFunContext>(p);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(c->realCallFun()->memberFunAccess(), nullptr);
    EXPECT_NE(c->realCallFun()->memberFunAccess()->funobj()->TYPE_ID(), nullptr);
  }
}

TEST(Choices, EntryCallRule) {
  Parse a("f();");
  EXPECT_NE(dynamic_cast<KorParser::NoRetCallFunContext*>(a.parser.callFun()), nullptr);
  Parse b("fanhui f();");
  auto* ret = b.parser.callFun();
  EXPECT_NE(dynamic_cast<KorParser::ReturnCallFunContext*>(ret), nullptr);
  EXPECT_EQ(ret->getRuleIndex(), 48u);
  Parse c("fanhui hs_rukou(1, [\"a\", \"b\"]);");
  EXPECT_NE(dynamic_cast<KorParser::ReturnCallFunContext*>(c.parser.callFun()), nullptr);
  EXPECT_EQ(a.errorCount() + b.errorCount() + c.errorCount(), 0u);
}

TEST(Choices, FormatStringsAndPrints) {
  {
    // a string followed by '%' is a format; the single operand is a whole expr
    Parse p("\"%d\" % a + b");
    auto* e = dynamic_cast<KorParser::FmtStrExprContext*>(p.parser.expr());
    ASSERT_NE(e, nullptr);
    auto* part = e->fmtString()->printFormatPart();
    ASSERT_NE(part->singleExpr(), nullptr);
    EXPECT_NE(dynamic_cast<KorParser::AddExprContext*>(part->singleExpr()->expr()), nullptr);
    EXPECT_TRUE(p.atEnd());
  }
  {
    Parse p("\"%d\" % (a)");
    auto* e = dynamic_cast<KorParser::FmtStrExprContext*>(p.parser.expr());
    ASSERT_NE(e, nullptr);
    auto* part = e->fmtString()->printFormatPart();
    ASSERT_NE(part->singleExpr(), nullptr);
    EXPECT_NE(dynamic_cast<KorParser::ParenthesesExprContext*>(part->singleExpr()->expr()), nullptr);
  }
  {
    Parse p("\"%d %d\" % (a, b + 1)");
    auto* e = dynamic_cast<KorParser::FmtStrExprContext*>(p.parser.expr());
    ASSERT_NE(e, nullptr);
    ASSERT_NE(e->fmtString()->printFormatPart()->multiExpr(), nullptr);
    EXPECT_EQ(e->fmtString()->printFormatPart()->multiExpr()->expr().size(), 2u);
  }
  {
    Parse p("dy(\"%d\" % a);");
    EXPECT_NE(dynamic_cast<KorParser::FormatPrintExprContext*>(statementAs<KorParser::Hs_printContext>(p)), nullptr);
  }
  {
    Parse p("println(\"a\", b);");
    EXPECT_NE(dynamic_cast<KorParser::PrintExprContext*>(statementAs<KorParser::Hs_printContext>(p)), nullptr);
  }
  {
    Parse p("dy << a << \"b\";");
    auto* o = dynamic_cast<KorParser::OutputExprContext*>(statementAs<KorParser::Hs_printContext>(p));
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->expr().size(), 2u);
  }
}

TEST(Choices, PassDefinitionsAndStructs) {
  {
    Parse p("pass;");
    EXPECT_NE(statementAs<KorParser::PassContext>(p), nullptr);
  }
  {
    Parse p("pass ;");
    auto* s = statementAs<KorParser::SignalStateContext>(p);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(dynamic_cast<KorParser::VarExprContext*>(s->expr()), nullptr);
  }
  {
    Parse p("zs a, b, c;");
    auto* d = statementAs<KorParser::DefvarContext>(p);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->VARNAME().size(), 3u);
    EXPECT_EQ(d->assign(), nullptr);
  }
  {
    Parse p("zs a = 1, b = 2;");
    auto* d = statementAs<KorParser::DefvarContext>(p);
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->assign(), nullptr);
    EXPECT_EQ(d->assign()->assginNoEnd()->assignOne().size(), 2u);
  }
  {
    Parse p("Point p = {1, 2}, q;");
    EXPECT_NE(statementAs<KorParser::DefstvarContext>(p), nullptr);
  }
  {
    Parse p("lb a = [[1], Point{1, 2}];");
    EXPECT_NE(statementAs<KorParser::DefvarContext>(p), nullptr);
  }
  {
    Parse p("a */ 2;");
    auto* a = statementAs<KorParser::AssignContext>(p);
    ASSERT_NE(a, nullptr);
    auto* one = dynamic_cast<KorParser::AssignVarContext*>(a->assginNoEnd()->assignOne(0));
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->assignOp()->getText(), "*/");
  }
  EXPECT_GT(programErrors("lb a = [{1: 2}];"), 0u);
  EXPECT_GT(programErrors("lb a = [kong];"), 0u);
  EXPECT_EQ(programErrors("zd m = {1: [1], \"k\": {2: kong}};"), 0u);
  EXPECT_EQ(programErrors("jiegou P { zs x; xs y; };"), 0u);
  EXPECT_GT(programErrors("jiegou P { P x; }"), 0u);
  {
    // the keyword without its blank starts no top-level item: the parse stops
    Parse p("jiegou\tP { zs x; }");
    EXPECT_TRUE(p.parser.program()->declareStruct().empty());
    EXPECT_EQ(p.tokens.LT(1)->getType(), KorParser::JIEGOU_KEY);
  }
  EXPECT_EQ(programErrors("hanshu f(zs a, hs cb, Point p) (zs, Point) { fanhui a, p; }"), 0u);
  EXPECT_EQ(programErrors("hanshu f() () { }"), 0u);
  EXPECT_EQ(programErrors("quanju_dingyi { zs a = 1; jiegou P { zs x; } P p; };"), 0u);
}

TEST(Choices, ConditionalsAndLoops) {
  {
    Parse p("sf a x; zsf b y; qt z;");
    auto* i = statementAs<KorParser::IfContext>(p);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->zif().size(), 1u);
    EXPECT_NE(i->qt(), nullptr);
  }
  {
    // qt binds to the nearest open sf
    Parse p("sf a sf b x; qt y;");
    auto* outer = statementAs<KorParser::IfContext>(p);
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(outer->qt(), nullptr);
    auto* inner = dynamic_cast<KorParser::IfContext*>(outer->statement()->children[0]);
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(inner->qt(), nullptr);
  }
  {
    Parse p("xun (zs i = 0; i < 3; i++, j++) pass;");
    EXPECT_NE(dynamic_cast<KorParser::ForStateContext*>(statementAs<KorParser::ForContext>(p)), nullptr);
  }
  {
    Parse p("for (; k; ) { }");
    auto* f = dynamic_cast<KorParser::ForStateContext*>(statementAs<KorParser::ForContext>(p));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->forinc(), nullptr);
  }
  {
    Parse p("while i < 3 i++;");
    EXPECT_NE(dynamic_cast<KorParser::WhileStateContext*>(statementAs<KorParser::ForContext>(p)), nullptr);
  }
  {
    Parse p("xun _, v in [1, 2] dy(v);");
    EXPECT_NE(dynamic_cast<KorParser::ForInStateContext*>(statementAs<KorParser::ForContext>(p)), nullptr);
  }
  {
    Parse p("xun d, ds, fs in wj.walk(root, Kor::BottomUp) { }");
    auto* w = dynamic_cast<KorParser::ForwalkContext*>(statementAs<KorParser::ForContext>(p));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->getRuleIndex(), 58u);
    EXPECT_EQ(w->VARNAME().size(), 3u);
  }
  EXPECT_GT(programErrors("for (zs i = 0; ; i++) pass;"), 0u);   // condition required
  EXPECT_GT(programErrors("xun v in d pass;"), 0u);                // two loop variables
  EXPECT_GT(programErrors("xun d, f in wj.walk(p) { }"), 0u);      // walk needs three
  EXPECT_GT(programErrors("xun d, ds, fs in wj.walk(p) pass;"), 0u);  // walk body is a block
  EXPECT_GT(programErrors("xun (;;) { }"), 0u);
  EXPECT_EQ(programErrors("sf a { tuichu; jixu; break; continue; }"), 0u);
}

TEST(Choices, ForStepListNestsToTheRight) {
  Parse p("xun (zs i = 0; i < 3; i++, j++, k += 2) pass;");
  auto* f = dynamic_cast<KorParser::ForStateContext*>(statementAs<KorParser::ForContext>(p));
  ASSERT_NE(f, nullptr);
  auto* outer = f->forinc();
  ASSERT_EQ(outer->children.size(), 3u);
  ASSERT_EQ(outer->forinc().size(), 2u);
  EXPECT_EQ(outer->children[1]->getText(), ",");
  auto* first = outer->forinc(0);
  EXPECT_NE(first->korAutoAddSub(), nullptr);
  EXPECT_EQ(first->getText(), "i++");
  auto* rest = outer->forinc(1);
  ASSERT_EQ(rest->forinc().size(), 2u);
  EXPECT_NE(rest->forinc(0)->korAutoAddSub(), nullptr);
  EXPECT_NE(rest->forinc(1)->assginNoEnd(), nullptr);
  EXPECT_EQ(rest->forinc(1)->getText(), "k+=2");
}

TEST(Program, TopLevelItemsAndSilentStop) {
  {
    Parse p("quanju_dingyi { zs g = 1; }\nhanshu hs_rukou() { dy(g); }\n，\nzs x = 1;");
    auto* prog = p.parser.program();
    EXPECT_EQ(p.errorCount(), 0u);
    EXPECT_TRUE(p.atEnd());
    EXPECT_NE(prog->defglobal(0), nullptr);
    EXPECT_EQ(prog->function().size(), 1u);
    EXPECT_EQ(prog->CHINESE_SYMBOL().size(), 1u);
    EXPECT_EQ(prog->statement().size(), 1u);
  }
  {
    // a stray closing brace ends the loop without a report
    Parse p("hanshu f() { }\n}\nhanshu g() { }");
    auto* prog = p.parser.program();
    EXPECT_EQ(p.errorCount(), 0u);
    EXPECT_EQ(prog->function().size(), 1u);
    EXPECT_EQ(p.tokens.LT(1)->getText(), "}");
  }
  {
    // the same for the prelude rule after its block, and the entry call
    Parse p("global { zs a; }; zs b;");
    p.parser.defglobal();
    EXPECT_EQ(p.errorCount(), 0u);
    EXPECT_EQ(p.tokens.LT(1)->getText(), "zs");
    Parse c("f(); g();");
    c.parser.callFun();
    EXPECT_EQ(c.errorCount(), 0u);
    EXPECT_EQ(c.tokens.LT(1)->getText(), "g");
  }
  {
    // full-width punctuation inside a statement is an error
    EXPECT_GT(programErrors("hanshu f() { dy（1）； }"), 0u);
    EXPECT_GT(programErrors("zs a = 1；"), 0u);
  }
}

TEST(Program, ErrorsRecoverAndKeepPartialTrees) {
  Parse p("hanshu f() { zs a = ; dy(1); }");
  auto* prog = p.parser.program();
  EXPECT_EQ(p.parseErrors.reports.size(), 1u);
  ASSERT_EQ(prog->function().size(), 1u);
  // recovery keeps the rest of the function
  EXPECT_NE(prog->function(0)->block(), nullptr);
}

}  // namespace
