// Quote-aware command-line splitting: blanks, quoted words, glued quotes,
// empty and blank words (dropped unquoted, kept quoted), and the
// unpaired-quote errors with and without a call context.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "KorLexer.h"
#include "KorParser.h"
#include "builtins/CommandLine.h"
#include "runtime/file_names.h"
#include "runtime/scope.h"

namespace {

QStringList split(const char* utf8) { return splitCommandLine(QByteArray(utf8), nullptr); }

QStringList words(std::initializer_list<const char*> list) {
  QStringList out;
  for (const char* w : list) out << QString::fromUtf8(w);
  return out;
}

TEST(SplitCommandLine, BlanksSeparateWordsAndRunsOfBlanksGiveNoEmptyWords) {
  EXPECT_EQ(split("ls -l /tmp"), words({"ls", "-l", "/tmp"}));
  EXPECT_EQ(split("  a   b  "), words({"a", "b"}));
  EXPECT_EQ(split(""), QStringList());
  EXPECT_EQ(split("    "), QStringList());
}

TEST(SplitCommandLine, OnlyTheBlankSeparatesAndBlankWordsAreDropped) {
  // a tab is part of a word; a word that is only a tab is blank and dropped
  EXPECT_EQ(split("a\tb c"), words({"a\tb", "c"}));
  EXPECT_EQ(split("a \t b"), words({"a", "b"}));
}

TEST(SplitCommandLine, QuotedPartsAreOneWordWithoutTheirQuotes) {
  EXPECT_EQ(split("cp \"my file.txt\" 'other dir/'"), words({"cp", "my file.txt", "other dir/"}));
  EXPECT_EQ(split("打开 \"我的 文件.txt\""), words({"打开", "我的 文件.txt"}));
  // the blanks inside quotes are kept: words are not trimmed
  EXPECT_EQ(split("echo \" padded \""), words({"echo", " padded "}));
  // every byte is kept, also a byte-order mark and bytes that are no UTF-8
  EXPECT_EQ(pathToBytes(split("touch '\xEF\xBB\xBF" "a b\xE6' \xC4\xE3").join('|')),
            QByteArray("touch|\xEF\xBB\xBF" "a b\xE6|\xC4\xE3"));
}

TEST(SplitCommandLine, WordsGluedToQuotesAreSeparateWords) {
  EXPECT_EQ(split("ab\"c d\"ef"), words({"ab", "c d", "ef"}));
  EXPECT_EQ(split("\"a\"\"b\""), words({"a", "b"}));
  EXPECT_EQ(split("x'1'y'2'z"), words({"x", "1", "y", "2", "z"}));
}

TEST(SplitCommandLine, QuotesOfTheOtherKindStayInsideAQuotedWord) {
  EXPECT_EQ(split("echo 'say \"hi\"'"), words({"echo", "say \"hi\""}));
  EXPECT_EQ(split("echo \"it''s\""), words({"echo", "it''s"}));
}

TEST(SplitCommandLine, EmptyAndBlankQuotedWordsAreArguments) {
  EXPECT_EQ(split("a \"\" b ''"), words({"a", "", "b", ""}));
  EXPECT_EQ(split("a \"   \" b"), words({"a", "   ", "b"}));
  EXPECT_EQ(split("grep -c '' f"), words({"grep", "-c", "", "f"}));
  EXPECT_EQ(split("cut -d ' ' -f 2"), words({"cut", "-d", " ", "-f", "2"}));
  EXPECT_EQ(split("''"), words({""}));
}

TEST(SplitCommandLine, BackslashIsNoEscape) {
  // \" is an ordinary backslash followed by a quote
  EXPECT_EQ(split("a\\\"b\\\""), words({"a\\", "b\\"}));
}

TEST(SplitCommandLine, UnpairedQuoteWithoutContextIsPrintedAndGivesNoWords) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(split("echo it's"), QStringList());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "错误：命令行 echo it's 格式错误，使用 ' 转义部分未能配对，是否漏写 ' ?");

  testing::internal::CaptureStdout();
  EXPECT_EQ(split("say \"hi"), QStringList());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "错误：命令行 say \"hi 格式错误，使用 \" 转义部分未能配对，是否漏写 \" ? ");

  // single quotes are tested first, also when the double quotes are unpaired too
  testing::internal::CaptureStdout();
  EXPECT_EQ(split("'a \"b"), QStringList());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "错误：命令行 'a \"b 格式错误，使用 ' 转义部分未能配对，是否漏写 ' ?");

  // a placeholder-like text in the line stays as it is
  testing::internal::CaptureStdout();
  EXPECT_EQ(split("%1 '%2"), QStringList());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "错误：命令行 %1 '%2 格式错误，使用 ' 转义部分未能配对，是否漏写 ' ?");
}

// A parsed statement to serve as the call context (line 2).
struct CallContext {
  antlr4::ANTLRInputStream input{"\nkor.exec(c);"};
  KorLexer lexer{&input};
  antlr4::CommonTokenStream tokens{&lexer};
  KorParser parser{&tokens};
  antlr4::ParserRuleContext* ctx = parser.statement();
};

std::string raisedBy(const char* line, antlr4::ParserRuleContext* ctx) {
  try {
    splitCommandLine(QByteArray(line), ctx);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST(SplitCommandLine, UnpairedQuoteWithContextIsRaised) {
  scopeStack();  // messages take their line from the context once a run has a scope stack
  CallContext call;
  EXPECT_EQ(raisedBy("echo it's", call.ctx),
            "错误：行号 2 语句 kor.exec(c); 命令行 echo it's 格式错误，使用 ' 转义部分未能配对，是否漏写 ' ?");
  EXPECT_EQ(raisedBy("a\"", call.ctx),
            "错误：行号 2 语句 kor.exec(c); 命令行 a\" 格式错误，使用 \" 转义部分未能配对，是否漏写 \" ? ");
  // paired quotes with a context split as usual
  EXPECT_EQ(splitCommandLine("x 'y z'", call.ctx), words({"x", "y z"}));
  destroyScopeStack();
}

}  // namespace
