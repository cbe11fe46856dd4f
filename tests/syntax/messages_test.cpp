// The Chinese texts of the lexer and of the parser's error strategy: what
// reaches the listeners, and that recovery and listener arguments are the
// runtime's own.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "syntax_test_util.h"

namespace {

using syntaxtest::CaptureStreams;
using syntaxtest::ChineseParse;
using syntaxtest::RecordingListener;
using syntaxtest::Report;

enum class Rule { Program, Defglobal, CallFun };

void run(KorParser& p, Rule r) {
  switch (r) {
    case Rule::Program: p.program(); break;
    case Rule::Defglobal: p.defglobal(); break;
    case Rule::CallFun: p.callFun(); break;
  }
}

std::vector<Report> chineseReports(const std::string& text, Rule rule = Rule::Program) {
  ChineseParse p(text);
  RecordingListener rec;
  installSyntaxReporting(p.parser, &rec, &p.lexer);
  run(p.parser, rule);
  return rec.reports;
}

// The runtime's own lexer texts and strategy, for comparison.
std::vector<Report> runtimeReports(const std::string& text, Rule rule = Rule::Program) {
  antlr4::ANTLRInputStream input(text);
  KorLexer lexer(&input);
  antlr4::CommonTokenStream tokens(&lexer);
  KorParser parser(&tokens);
  RecordingListener rec;
  lexer.removeErrorListeners();
  lexer.addErrorListener(&rec);
  parser.removeErrorListeners();
  parser.addErrorListener(&rec);
  run(parser, rule);
  return rec.reports;
}

void replaceOnce(std::string& s, const std::string& from, const std::string& to, bool last = false) {
  size_t at = last ? s.rfind(from) : s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
}

// The Chinese form of a runtime message.
std::string translate(std::string m) {
  struct Form {
    const char* en;
    const char* zh;
    const char* enSep;
    const char* zhSep;
  };
  const Form forms[] = {
      {"no viable alternative at input ", "输入字段没有合法的可选语法去匹配 ", nullptr, nullptr},
      {"mismatched input ", "无法匹配的输入字段 ", " expecting ", " 期望匹配 "},
      {"extraneous input ", "无关或多余的异常输入字段 ", " expecting ", " 期望匹配 "},
      {"missing ", "缺少 ", " at ", " 在 "},
      {"token recognition error at: ", "词法识别错误在: ", nullptr, nullptr},
      {"rule ", "规则 ", nullptr, nullptr},
  };
  for (const Form& f : forms) {
    if (m.rfind(f.en, 0) != 0) continue;
    m.replace(0, std::strlen(f.en), f.zh);
    if (f.enSep) replaceOnce(m, f.enSep, f.zhSep, true);
    break;
  }
  return m;
}

TEST(ChineseTexts, SameReportsAsTheRuntimeInChinese) {
  const char* inputs[] = {
      "hanshu f() { dy（1）； }",
      "zs a = 1；",
      "hanshu f() { zs a = 1 }",
      "hanshu f() { zs a = 1;; }",
      "hanshu f() { a = (1 + ; }",
      "hanshu f() {\n  zs a = 1，b = 2;\n}",
      "hanshu f() { f(a，b); }",
      "hanshu f() { sf a == 1 { } qt（a）; }",
      "hanshu f() { sf }",
      "hanshu f() { xun (zs i = 0; i < 3; i++ { } }",
      "hanshu f() { x = -(a); y = 1 z; }",
      "jiegou P { P x; }",
      "hanshu f() { zs a = 1\n zs b = 2;\n}",
      "hanshu f() { zs a = 1\t\t}",
      "hanshu",
  };
  for (const char* text : inputs) {
    SCOPED_TRACE(text);
    auto zh = chineseReports(text);
    auto en = runtimeReports(text);
    ASSERT_FALSE(zh.empty());
    ASSERT_EQ(zh.size(), en.size());
    for (size_t i = 0; i < zh.size(); ++i) {
      EXPECT_EQ(zh[i].line, en[i].line);
      EXPECT_EQ(zh[i].column, en[i].column);
      EXPECT_EQ(zh[i].offending, en[i].offending);
      EXPECT_EQ(zh[i].hasException, en[i].hasException);
      EXPECT_EQ(zh[i].msg, translate(en[i].msg));
      EXPECT_EQ(zh[i].msg.find("expecting"), std::string::npos);
    }
  }
  // the entry-call and prelude rules too
  auto zh = chineseReports("hs_rukou()", Rule::CallFun);
  auto en = runtimeReports("hs_rukou()", Rule::CallFun);
  ASSERT_EQ(zh.size(), 1u);
  ASSERT_EQ(en.size(), 1u);
  EXPECT_EQ(zh[0].msg, translate(en[0].msg));
  zh = chineseReports("global { zs a = 1 }", Rule::Defglobal);
  en = runtimeReports("global { zs a = 1 }", Rule::Defglobal);
  ASSERT_EQ(zh.size(), en.size());
  EXPECT_EQ(zh[0].msg, translate(en[0].msg));
}

TEST(ChineseTexts, ParserMessages) {
  auto r = chineseReports("zs a = 1；");
  ASSERT_GE(r.size(), 1u);
  EXPECT_EQ(r[0].msg, "输入字段没有合法的可选语法去匹配 'a = 1；'");
  EXPECT_EQ(r[0].offending, "；");
  EXPECT_TRUE(r[0].hasException);

  r = chineseReports("hanshu f() { zs a = 1 }");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].msg, "缺少 ';' 在 '}'");
  EXPECT_FALSE(r[1].hasException);

  r = chineseReports("hanshu f() {\n  zs a = 1，b = 2;\n}");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].msg, "无法匹配的输入字段 '，' 期望匹配 ';'");
  EXPECT_EQ(r[1].line, 2u);
  EXPECT_EQ(r[1].column, 10u);

  r = chineseReports("hanshu f() { zs a = 1;; }");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].msg.rfind("无关或多余的异常输入字段 ';' 期望匹配 {'{', '}', 'pass;', ", 0), 0u) << r[0].msg;
  EXPECT_FALSE(r[0].hasException);

  // a line break inside the unparsable input is shown escaped
  r = chineseReports("hanshu f() { zs a = 1\n zs b = 2;\n}");
  ASSERT_GE(r.size(), 1u);
  EXPECT_EQ(r[0].msg, "输入字段没有合法的可选语法去匹配 'a = 1\\n zs'");

  // a decision that starts at the end of input
  r = chineseReports("hanshu f() { sf");
  ASSERT_GE(r.size(), 1u);
  EXPECT_NE(r[0].msg.find("'<EOF>'"), std::string::npos) << r[0].msg;

  r = chineseReports("hs_rukou()", Rule::CallFun);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].msg, "缺少 ';' 在 '<EOF>'");
}

TEST(ChineseTexts, LexerMessages) {
  auto r = chineseReports("hanshu f() { a # b; }");
  ASSERT_GE(r.size(), 1u);
  EXPECT_EQ(r[0].msg, "词法识别错误在: '#'");
  EXPECT_EQ(r[0].offending, "-");
  EXPECT_EQ(r[0].line, 1u);
  EXPECT_EQ(r[0].column, 15u);
  EXPECT_TRUE(r[0].hasException);

  // from the start of the failed token through the failing code point, with
  // line feed, carriage return and tab escaped
  r = chineseReports("x = 'ab\n");
  ASSERT_GE(r.size(), 1u);
  EXPECT_EQ(r[0].msg, "词法识别错误在: ''ab\\n'");
  EXPECT_EQ(r[0].column, 4u);
  r = chineseReports("\n  x = \"a\tb\r\n");
  ASSERT_GE(r.size(), 1u);
  EXPECT_EQ(r[0].msg, "词法识别错误在: '\"a\\tb\\r'");
  EXPECT_EQ(r[0].line, 2u);
  EXPECT_EQ(r[0].column, 6u);
  r = chineseReports("zs 汉 = 1;");
  ASSERT_GE(r.size(), 1u);
  EXPECT_EQ(r[0].msg, "词法识别错误在: '汉'");

  // the lexer drops the code point and goes on; its count includes the reports
  antlr4::ANTLRInputStream in("a # b $ c");
  ChineseKorLexer lexer(&in);
  RecordingListener rec;
  lexer.removeErrorListeners();
  lexer.addErrorListener(&rec);
  std::vector<std::string> texts;
  for (auto t = lexer.nextToken(); t->getType() != antlr4::Token::EOF; t = lexer.nextToken())
    if (t->getChannel() == 0) texts.push_back(t->getText());
  EXPECT_EQ(texts, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(rec.reports.size(), 2u);
  EXPECT_EQ(lexer.getNumberOfSyntaxErrors(), 2u);
}

TEST(ChineseTexts, ConsoleListenerOfTheOtherLexersPrintsThem) {
  // the prelude and entry-call lexers keep the runtime's console listener
  ChineseParse p("hs_rukou(#);");
  KorErrListener listener;
  listener.tokens = &p.tokens;
  installSyntaxReporting(p.parser, &listener);
  CaptureStreams cap;
  p.parser.callFun();
  EXPECT_EQ(cap.err(), "line 1:9 词法识别错误在: '#'\n");
}

TEST(MainParse, ReportEndsTheParseWithTheChineseMessage) {
  QByteArray source("hanshu f() {\n  zs a = 1；\n}\n");
  ChineseParse p(source.toStdString());
  KorErrListener listener;
  listener.tokens = &p.tokens;
  listener.source = &source;
  installSyntaxReporting(p.parser, &listener, &p.lexer);
  parsePhase = 1;
  CaptureStreams cap;
  std::string what;
  try {
    p.parser.program();
  } catch (const std::runtime_error& e) {
    what = e.what();
  }
  parsePhase = 0;
  const std::string msg = "输入字段没有合法的可选语法去匹配 'a = 1；'";
  EXPECT_EQ(what, msg);
  EXPECT_EQ(cap.out(), "hanshu f() {\n  zs a = 1；\n       ^^^^\n");
  EXPECT_EQ(cap.err(), "错误：行号 2 错误语句   zs a = 1； \n" + msg +
                           "\n\n错误：行号 2 附近语句 a = 1； 存在中文‘；’冒号，非法字符，请修改为英文冒号\n");
}

TEST(MainParse, LexerErrorEndsTheParse) {
  QByteArray source("hanshu f() {\n  zs a = 汉;\n}\n");
  ChineseParse p(source.toStdString());
  KorErrListener listener;
  listener.tokens = &p.tokens;
  listener.source = &source;
  installSyntaxReporting(p.parser, &listener, &p.lexer);
  parsePhase = 1;
  CaptureStreams cap;
  std::string what;
  try {
    p.parser.program();
  } catch (const std::runtime_error& e) {
    what = e.what();
  }
  parsePhase = 0;
  EXPECT_EQ(what, "词法识别错误在: '汉'");
  EXPECT_EQ(cap.out(), "hanshu f() {\n  zs a = 汉;\n      ^^^^\n");
  EXPECT_EQ(cap.err(), "错误：行号 2 错误语句   zs a = 汉; \n词法识别错误在: '汉'\n\n");
}

TEST(MainParse, CleanScriptReportsNothing) {
  QByteArray source("quanju_dingyi { zs g = 1; }\nhanshu hs_rukou() { dy(\"%d\" % g); }\n");
  ChineseParse p(source.toStdString());
  KorErrListener listener;
  listener.tokens = &p.tokens;
  listener.source = &source;
  installSyntaxReporting(p.parser, &listener, &p.lexer);
  parsePhase = 1;
  CaptureStreams cap;
  EXPECT_NO_THROW(p.parser.program());
  parsePhase = 0;
  EXPECT_EQ(cap.out() + cap.err(), "");
  EXPECT_NE(dynamic_cast<ChineseErrorStrategy*>(p.parser.getErrorHandler().get()), nullptr);
}

}  // namespace
