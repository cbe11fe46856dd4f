// KorErrListener: the report of the main parse with the quoted line and
// marker, the punctuation hints, and the report of the other parses with the
// statement, the call stack and the rethrown exception.
#include <gtest/gtest.h>

#include <stdexcept>

#include "scope.h"
#include "syntax_test_util.h"

namespace {

using syntaxtest::CaptureStreams;

class MainParseReport : public ::testing::Test {
protected:
  void SetUp() override {
    parsePhase = 1;
    listener.source = &source;
  }
  void TearDown() override { parsePhase = 0; }

  // Reports (line, column, msg) and returns the text of the exception.
  std::string report(size_t line, size_t column, const std::string& msg) {
    try {
      listener.syntaxError(nullptr, nullptr, line, column, msg, nullptr);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    ADD_FAILURE() << "the report did not end the parse";
    return "";
  }

  QByteArray source;
  KorErrListener listener;
};

TEST_F(MainParseReport, QuotesLinesMarksColumnAndRaises) {
  source = "zs a = 1;\nzs b = 2；\nzs c;\n";
  const std::string msg = "输入字段没有合法的可选语法去匹配 'b = 2；'";
  CaptureStreams cap;
  EXPECT_EQ(report(2, 8, msg), msg);  // the recognizer's message, not the formatted one
  EXPECT_EQ(cap.out(), "zs a = 1;\nzs b = 2；\n     ^^^^\n");
  EXPECT_EQ(cap.err(),
            "错误：行号 2 错误语句 zs b = 2； \n" + msg + "\n\n"
            "错误：行号 2 附近语句 b = 2； 存在中文‘；’冒号，非法字符，请修改为英文冒号\n");
}

TEST_F(MainParseReport, MarkerHasUpToFourCaretsEndingUnderTheColumn) {
  source = "abcdefghijklmnop\nx\n";
  const std::pair<size_t, const char*> cases[] = {
      {0, "^"}, {1, "^^"}, {2, "^^^"}, {3, "^^^^"}, {4, " ^^^^"}, {10, "       ^^^^"}};
  for (const auto& c : cases) {
    CaptureStreams cap;
    report(1, c.first, "m");
    EXPECT_EQ(cap.out(), std::string("abcdefghijklmnop\n") + c.second + "\n") << c.first;
  }
}

TEST_F(MainParseReport, TabsShownAsBlanksButKeptInTheMessage) {
  source = "hanshu f() {\n\tzs\ta = 1\n}\n";
  CaptureStreams cap;
  report(2, 9, "m");
  EXPECT_EQ(cap.out(), "hanshu f() {\n zs a = 1\n      ^^^^\n");
  EXPECT_EQ(cap.err(), "错误：行号 2 错误语句 \tzs\ta = 1 \nm\n\n");
}

TEST_F(MainParseReport, ShortReportWithoutALineToQuote) {
  {
    // line 0
    source = "zs a;\n";
    CaptureStreams cap;
    report(0, 3, "m");
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "错误：行号 0 m\n\n");
  }
  {
    // the last line of a source without a final line feed
    source = "zs a;\nzs b";
    CaptureStreams cap;
    report(2, 4, "m");
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "错误：行号 2 m\n\n");
  }
  {
    // beyond the end
    source = "zs a;\n";
    CaptureStreams cap;
    report(7, 0, "m");
    EXPECT_EQ(cap.err(), "错误：行号 7 m\n\n");
  }
  {
    // with the final line feed the last line is quoted; line 1 has no previous line
    source = "zs b\n";
    CaptureStreams cap;
    report(1, 4, "m");
    EXPECT_EQ(cap.out(), "zs b\n ^^^^\n");
    EXPECT_EQ(cap.err(), "错误：行号 1 错误语句 zs b \nm\n\n");
  }
}

TEST_F(MainParseReport, PlaceholdersInsideTheQuotedTextStayLiteral) {
  source = "dy(\"%1 %2 %3\" % a)；\n";
  CaptureStreams cap;
  report(1, 18, "无法匹配的输入字段 '%3' 期望匹配 ';'");
  EXPECT_EQ(cap.err(), "错误：行号 1 错误语句 dy(\"%1 %2 %3\" % a)； \n无法匹配的输入字段 '%3' 期望匹配 ';'\n\n");
}

TEST_F(MainParseReport, LexerReportsComeWithoutToken) {
  source = "zs a = #;\n";
  CaptureStreams cap;
  EXPECT_EQ(report(1, 7, "词法识别错误在: '#'"), "词法识别错误在: '#'");
  EXPECT_EQ(cap.err(), "错误：行号 1 错误语句 zs a = #; \n词法识别错误在: '#'\n\n");  // no hint
}

// ---- punctuation hints ----

std::string hintsFor(const std::string& msg, int line = 3) {
  KorErrListener l;
  CaptureStreams cap;
  l.checkPunctuationHint(line, msg);
  EXPECT_EQ(cap.out(), "");
  return cap.err();
}

const std::string kHint1 = "丢失冒号';'语句结束符号\n";
const std::string kHint2 = "存在中文‘；’冒号，非法字符，请修改为英文冒号\n";
const std::string kHint3 = "存在中文‘，’逗号，非法字符，请修改为英文逗号\n";
const std::string kHint4 = "存在中文‘（’ 或 ‘）’ 括号，非法字符，请修改为英文括号\n";

TEST(PunctuationHint, MismatchedInputGivesAtMostOneHint) {
  EXPECT_EQ(hintsFor("无法匹配的输入字段 '；' 期望匹配 ';'"), "错误：行号 3 附近语句 ； " + kHint2);
  EXPECT_EQ(hintsFor("无法匹配的输入字段 '（' 期望匹配 ';'"), "错误：行号 3 附近语句 （ " + kHint4);
  EXPECT_EQ(hintsFor("无法匹配的输入字段 '）；' 期望匹配 ';'"), "错误：行号 3 附近语句 ）； " + kHint4);
  EXPECT_EQ(hintsFor("无法匹配的输入字段 '，' 期望匹配 ')'", 9), "错误：行号 9 附近语句 ， " + kHint3);
  EXPECT_EQ(hintsFor("mismatched input '；' expecting ';'"), "错误：行号 3 附近语句 ； " + kHint2);
  // only the first quoted text counts
  EXPECT_EQ(hintsFor("无法匹配的输入字段 'x' 期望匹配 {'；', '，'}"), "");
  EXPECT_EQ(hintsFor("无法匹配的输入字段 ';' 期望匹配 ')'"), "");
}

TEST(PunctuationHint, NoViableInputGivesUpToTwoHints) {
  const std::string nv = "输入字段没有合法的可选语法去匹配 ";
  EXPECT_EQ(hintsFor(nv + "'dy（'"), "错误：行号 3 附近语句 dy（ " + kHint4);
  EXPECT_EQ(hintsFor(nv + "'a = 1；'"), "错误：行号 3 附近语句 a = 1； " + kHint2);
  EXPECT_EQ(hintsFor(nv + "'f(a，'"), "错误：行号 3 附近语句 f(a， " + kHint3);
  // the input ran over a line end, and also ends in a full-width semicolon
  EXPECT_EQ(hintsFor(nv + "'a = 1\\n  b；'"),
            "错误：行号 3 附近语句 a = 1\\n  b； " + kHint1 + "错误：行号 3 附近语句 a = 1\\n  b； " + kHint2);
  // parentheses and a trailing comma
  EXPECT_EQ(hintsFor(nv + "' f（1，'"), "错误：行号 3 附近语句 f（1， " + kHint4 + "错误：行号 3 附近语句 f（1， " + kHint3);
  // a line end takes precedence over parentheses in the first test
  EXPECT_EQ(hintsFor(nv + "'（\\n'"), "错误：行号 3 附近语句 （\\n " + kHint1);
  EXPECT_EQ(hintsFor("no viable alternative at input 'a，'"), "错误：行号 3 附近语句 a， " + kHint3);
  EXPECT_EQ(hintsFor(nv + "'a = 1'"), "");
  EXPECT_EQ(hintsFor(nv + "<EOF>"), "");
}

TEST(PunctuationHint, OtherMessagesGiveNone) {
  EXPECT_EQ(hintsFor("缺少 ';' 在 '；'"), "");
  EXPECT_EQ(hintsFor("无关或多余的异常输入字段 '（' 期望匹配 ';'"), "");
  EXPECT_EQ(hintsFor("词法识别错误在: '；'"), "");
  EXPECT_EQ(hintsFor(""), "");
}

TEST(PunctuationHint, UnknownKindPrintsAnEmptyLine) {
  KorErrListener l;
  CaptureStreams cap;
  l.printPunctuationHint(0, 1, QStringLiteral("x"));
  l.printPunctuationHint(5, 1, QStringLiteral("x"));
  l.printPunctuationHint(1, 12, QString::fromUtf8("a %1 b"));
  EXPECT_EQ(cap.err(), "\n\n错误：行号 12 附近语句 a %1 b " + kHint1);
}

// ---- other parses: prelude and entry call ----

class OtherParseReport : public ::testing::Test {
protected:
  void SetUp() override {
    parsePhase = 2;
    korSyntaxReportCount = 0;
  }
  void TearDown() override {
    destroyScopeStack();
    destroyStatusStack();
    destroyFunctionTable();
  }
};

TEST_F(OtherParseReport, MissingTokenOfTheEntryCallEndsInBadException) {
  syntaxtest::ChineseParse p("hs_rukou()");
  KorErrListener listener;
  listener.tokens = &p.tokens;
  installSyntaxReporting(p.parser, &listener);
  CaptureStreams cap;
  EXPECT_THROW(p.parser.callFun(), std::bad_exception);
  EXPECT_EQ(cap.err(),
            "错误：行号 1 缺少 ';' 在 '<EOF>'\n"
            "语法错误在第 1 行 10列 字段 \"<EOF>\"\n缺少 ';' 在 '<EOF>' \n错误语句是hs_rukou()\n\n");
  EXPECT_EQ(cap.out(), "");  // no scope stack: the call stack is empty
  EXPECT_EQ(korSyntaxReportCount, 1);
}

TEST_F(OtherParseReport, StatementIsTheErrorLineFromTheTokenStream) {
  syntaxtest::ChineseParse p("quanju_dingyi {\n  zs a = 1;\n  zs b = （2）; // note\n  zs c;\n}");
  KorErrListener listener;
  listener.tokens = &p.tokens;
  installSyntaxReporting(p.parser, &listener);
  CaptureStreams cap;
  // the rethrown recognition exception is handled by the calling rule, which
  // resynchronises; the parse goes on
  EXPECT_NO_THROW(p.parser.defglobal());
  const std::string err = cap.err();
  EXPECT_EQ(err.find("错误：行号 3 输入字段没有合法的可选语法去匹配 'b = （'\n"), 0u) << err;
  // the tokens starting on the error line, blanks and comments included
  EXPECT_NE(err.find("语法错误在第 3 行 9列 字段 \"（\"\n输入字段没有合法的可选语法去匹配 'b = （' \n"
                     "错误语句是zs b = （2）; // note\n  \n\n"),
            std::string::npos)
      << err;
}

TEST_F(OtherParseReport, LaterReportsPrintOnlyTheCallStack) {
  KorErrListener listener;
  {
    CaptureStreams cap;
    EXPECT_THROW(listener.syntaxError(nullptr, nullptr, 1, 3, "m", nullptr), std::bad_exception);
    EXPECT_EQ(cap.err(), "错误：行号 1 m\n语法错误在第 1 行 3列 字段 \"\"\nm\n\n");
  }
  ScopeRecord* frame = pushScopeRecord(SK_FUNCTION);
  frame->name = "cmain";
  {
    CaptureStreams cap;
    EXPECT_THROW(listener.syntaxError(nullptr, nullptr, 2, 0, "m2", std::make_exception_ptr(std::logic_error("again"))),
                 std::logic_error);
    EXPECT_EQ(cap.err(), "");
    EXPECT_NE(cap.out().find(">>>> 调用堆栈如下"), std::string::npos);
    EXPECT_NE(cap.out().find("cmain\n"), std::string::npos);
  }
  EXPECT_EQ(korSyntaxReportCount, 2);
}

TEST_F(OtherParseReport, LinesCountFromTheCurrentFunction) {
  FunctionRecord* rec = registerFunction("f", QByteArray(), {}, {});
  rec->startLine = 10;
  ScopeRecord* frame = pushScopeRecord(SK_FUNCTION);
  frame->name = "f";
  KorErrListener listener;
  CaptureStreams cap;
  EXPECT_THROW(listener.syntaxError(nullptr, nullptr, 2, 5, "m", nullptr), std::bad_exception);
  EXPECT_EQ(cap.err().find("错误：行号 12 m\n语法错误在第 12 行 5列 字段 \"\"\nm\n\n"), 0u) << cap.err();
}

TEST_F(OtherParseReport, LinesCountFromTheGlobalBlockWhileItRuns) {
  FunctionRecord* rec = registerFunction("global", QByteArray(), {}, {});
  rec->startLine = 5;
  pushStatus(0);
  KorErrListener listener;
  CaptureStreams cap;
  EXPECT_THROW(listener.syntaxError(nullptr, nullptr, 2, 1, "m", nullptr), std::bad_exception);
  // no frame: the first report counts from 0, the full one from the block
  EXPECT_EQ(cap.err(), "错误：行号 2 m\n语法错误在第 6 行 1列 字段 \"\"\nm\n\n");
}

TEST_F(OtherParseReport, EndOfInputAloneOnItsLine) {
  syntaxtest::ChineseParse p("f(\n");
  KorErrListener listener;
  listener.tokens = &p.tokens;
  installSyntaxReporting(p.parser, &listener);
  CaptureStreams cap;
  // the mismatch is reported in realCallFun; callFun recovers from it
  EXPECT_NO_THROW(p.parser.callFun());
  // nothing to quote: the report without a statement
  const std::string err = cap.err();
  EXPECT_NE(err.find("语法错误在第 2 行 0列 字段 \"<EOF>\"\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("错误语句是"), std::string::npos) << err;
}

TEST_F(OtherParseReport, MainParseWithoutSourceTakesThisPath) {
  parsePhase = 1;
  KorErrListener listener;  // no source
  CaptureStreams cap;
  EXPECT_THROW(listener.syntaxError(nullptr, nullptr, 1, 0, "m", nullptr), std::bad_exception);
  EXPECT_EQ(cap.err().find("错误：行号 1 m\n"), 0u);
}

}  // namespace
