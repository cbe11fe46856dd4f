// Lexer decisions: which rule wins where several match, the literal forms,
// the named constants and what stays in the token stream.
#include <gtest/gtest.h>

#include "grammar_test_util.h"

namespace {

using kortest::lex;
using kortest::Report;
using kortest::visibleTypes;
using T = std::vector<size_t>;

// The single token `text` lexes to, or 0 when it is not exactly one token.
size_t single(const std::string& text) {
  std::vector<Report> errors;
  auto toks = lex(text, &errors);
  if (toks.size() != 1 || !errors.empty() || toks[0].text != text) return 0;
  return toks[0].type;
}

TEST(Lexer, KeywordsAgainstNames) {
  // a keyword wins a tie with VARNAME; a longer name wins over a keyword
  EXPECT_EQ(single("hs"), KorLexer::HUIDIAO);
  EXPECT_EQ(single("hs_dayin"), KorLexer::DA_YIN_KEY);
  EXPECT_EQ(single("hs_rukou"), KorLexer::VARNAME);
  EXPECT_EQ(single("in"), KorLexer::IN);
  EXPECT_EQ(single("int"), KorLexer::VARNAME);
  EXPECT_EQ(single("zs"), KorLexer::TYPE_ID);
  EXPECT_EQ(single("zsf"), KorLexer::ZIF_KEY);
  EXPECT_EQ(single("zfc"), KorLexer::TYPE_ID);
  EXPECT_EQ(single("kzf"), KorLexer::TYPE_ID);
  for (const char* w : {"dy", "dyh", "print", "println"}) EXPECT_EQ(single(w), KorLexer::DA_YIN_KEY) << w;
  EXPECT_EQ(single("kor"), KorLexer::PACK_NAME);
  EXPECT_EQ(single("hux"), KorLexer::PACK_NAME);
  EXPECT_EQ(single("kong"), KorLexer::EMPTY_VALUE);
  EXPECT_EQ(single("u16"), KorLexer::U16STRING_FLAG);
  EXPECT_EQ(single("_"), KorLexer::T__27);
  EXPECT_EQ(single("_x"), KorLexer::VARNAME);
  EXPECT_EQ(single("quanju_dingyi"), KorLexer::GLOBAL);
  EXPECT_EQ(single("global"), KorLexer::GLOBAL);
  EXPECT_EQ(single("globals"), KorLexer::VARNAME);
  EXPECT_EQ(single("and"), KorLexer::AND);
  EXPECT_EQ(single("not"), KorLexer::NOT);
  EXPECT_EQ(single("while"), KorLexer::T__28);
  EXPECT_EQ(single("tuichu"), KorLexer::T__30);
  EXPECT_EQ(single("continue"), KorLexer::T__33);
  // case-sensitive
  EXPECT_EQ(single("True"), KorLexer::VARNAME);
  EXPECT_EQ(single("true"), KorLexer::BOOL_VALUE);
  EXPECT_EQ(single("ZS"), KorLexer::VARNAME);
}

TEST(Lexer, PassAndWalkAreSingleTokens) {
  EXPECT_EQ(visibleTypes("pass;"), T{KorLexer::T__3});
  auto spaced = lex("pass ;");
  ASSERT_EQ(spaced.size(), 3u);
  EXPECT_EQ(spaced[0].type, KorLexer::VARNAME);
  EXPECT_EQ(spaced[1].type, KorLexer::WS);
  EXPECT_EQ(spaced[2].type, KorLexer::T__2);

  EXPECT_EQ(single("wj.walk"), KorLexer::T__29);
  EXPECT_EQ(visibleTypes("wj.open"), (T{KorLexer::TYPE_ID, KorLexer::T__26, KorLexer::VARNAME}));
  EXPECT_EQ(visibleTypes("wj.walker"), (T{KorLexer::T__29, KorLexer::VARNAME}));
}

TEST(Lexer, StructKeywordNeedsOneBlank) {
  auto one = lex("jiegou Point");
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].type, KorLexer::JIEGOU_SPACE);
  EXPECT_EQ(one[0].text, "jiegou ");
  EXPECT_EQ(visibleTypes("struct Point"), (T{KorLexer::JIEGOU_SPACE, KorLexer::VARNAME}));

  auto tab = lex("jiegou\tPoint");
  ASSERT_EQ(tab.size(), 3u);
  EXPECT_EQ(tab[0].type, KorLexer::JIEGOU_KEY);
  EXPECT_EQ(tab[1].type, KorLexer::WS);
  EXPECT_EQ(tab[2].type, KorLexer::VARNAME);
  EXPECT_EQ(visibleTypes("jiegou\nPoint"), (T{KorLexer::JIEGOU_KEY, KorLexer::VARNAME}));
  EXPECT_EQ(single("struct"), KorLexer::JIEGOU_KEY);

  auto two = lex("jiegou  Point");
  ASSERT_EQ(two.size(), 3u);
  EXPECT_EQ(two[0].type, KorLexer::JIEGOU_SPACE);
  EXPECT_EQ(two[1].type, KorLexer::WS);
  EXPECT_EQ(two[1].text, " ");
}

TEST(Lexer, Numbers) {
  for (const char* n : {"0", "7", "42", "12", "0x1F", "0XaB"}) EXPECT_EQ(single(n), KorLexer::INT_VALUE) << n;
  for (const char* n : {"1.5", "0.25", "1.", "10.0"}) EXPECT_EQ(single(n), KorLexer::FLOAT_VALUE) << n;
  EXPECT_EQ(visibleTypes("0."), (T{KorLexer::INT_VALUE, KorLexer::T__26}));
  EXPECT_EQ(visibleTypes(".5"), (T{KorLexer::T__26, KorLexer::INT_VALUE}));
  // digits, capitals and underscores longer than any number or name
  for (const char* n : {"007", "0123", "1A", "9_X"}) EXPECT_EQ(single(n), KorLexer::STKEY) << n;
  EXPECT_EQ(single("ABC"), KorLexer::VARNAME);
  EXPECT_EQ(single("A_1"), KorLexer::VARNAME);
  // no exponent form
  EXPECT_EQ(visibleTypes("1e5"), (T{KorLexer::INT_VALUE, KorLexer::VARNAME}));
  // lowercase hex digits after a decimal start make a number and a name
  EXPECT_EQ(visibleTypes("1a"), (T{KorLexer::INT_VALUE, KorLexer::VARNAME}));
  // a lone digit is never DIGIT
  for (const auto& t : lex("0 1 2 3 4 5 6 7 8 9")) EXPECT_NE(t.type, KorLexer::DIGIT);
}

TEST(Lexer, CharactersAndStrings) {
  EXPECT_EQ(single("'a'"), KorLexer::CHAR_VALUE);
  EXPECT_EQ(single("'\\n'"), KorLexer::CHAR_VALUE);
  EXPECT_EQ(single("'\\''"), KorLexer::CHAR_VALUE);
  EXPECT_EQ(single("'ab'"), KorLexer::STRING_VALUE);
  EXPECT_EQ(single("''"), KorLexer::STRING_VALUE);
  EXPECT_EQ(single("\"\""), KorLexer::STRING_VALUE);
  EXPECT_EQ(single("u16'a'"), KorLexer::STRING_VALUE);
  EXPECT_EQ(single("u16\"ab\""), KorLexer::STRING_VALUE);
  EXPECT_EQ(visibleTypes("u16 \"ab\""), (T{KorLexer::U16STRING_FLAG, KorLexer::STRING_VALUE}));
  // escapes stay in the text; a tab is allowed; an escaped line break continues
  EXPECT_EQ(single("\"a\\\"b\\\\\""), KorLexer::STRING_VALUE);
  EXPECT_EQ(single("\"a\tb\""), KorLexer::STRING_VALUE);
  EXPECT_EQ(single("\"a\\\nb\""), KorLexer::STRING_VALUE);
  EXPECT_EQ(single("\"汉字\""), KorLexer::STRING_VALUE);

  // an unescaped line break, carriage return or backspace ends nothing: error
  for (const char* bad : {"\"a\nb\"", "\"a\rb\"", "\"a\bb\""}) {
    std::vector<Report> errors;
    lex(bad, &errors);
    EXPECT_FALSE(errors.empty()) << bad;
  }
}

TEST(Lexer, RawStrings) {
  // lowercase r forms: no escapes, a trailing backslash is plain text
  EXPECT_EQ(single("r\"C:\\dir\\\""), KorLexer::RAW_STRING_VALUE);
  EXPECT_EQ(single("r'C:\\dir\\'"), KorLexer::RAW_STRING_VALUE);
  EXPECT_EQ(single("r\"two\nlines\""), KorLexer::RAW_STRING_VALUE);

  // the same text without the r never closes: error at the opening quote
  std::vector<Report> errors;
  lex("x = \"C:\\dir\\\"", &errors);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0].line, 1u);
  EXPECT_EQ(errors[0].column, 4u);

  // the R"( form ends at the first )" even when a later one could close it
  auto toks = lex("R\"(a)\" b)\"");
  ASSERT_GE(toks.size(), 2u);
  EXPECT_EQ(toks[0].type, KorLexer::RAW_STRING_VALUE);
  EXPECT_EQ(toks[0].text, "R\"(a)\"");
  EXPECT_EQ(single("R\"(x \" ) y\n)\""), KorLexer::RAW_STRING_VALUE);
}

TEST(Lexer, NamedConstants) {
  const char* all[52] = {
      "Kor::UTF16-LE", "Kor::UTF16-BE", "Kor::UTF-8", "Kor::UTF8", "Kor::GB18030", "Kor::GBK",
      "Kor::EUC-JP", "Kor::Shift-JIS", "Kor::EUC-KR", "Kor::KOI8-R", "Kor::TSCII",
      "Kor::TIS-620", "Kor::Big5", "Kor::IBM866", "Kor::line", "Kor::fun", "Kor::CaseSens",
      "Kor::NoCaseSens", "Kor::Base64Encode", "Kor::Base64UrlEncode", "Kor::KeepTrailingEquals",
      "Kor::OmitTrailingEquals", "Kor::IgnoreDecodeErrors", "Kor::AbortOnDecodeErrors",
      "Kor::AllDirs", "Kor::Files", "Kor::NoFilter", "Kor::NoSymLinks", "Kor::NoDotAndDotDot",
      "Kor::Readable", "Kor::Writable", "Kor::Executable", "Kor::Modified", "Kor::Hidden",
      "Kor::System", "Kor::BottomUp", "Kor::Name", "Kor::Time", "Kor::Size", "Kor::Type",
      "Kor::DirsFirst", "Kor::DirsLast", "Kor::IgnoreCase", "Kor::Reversed", "Reg::NoPattern",
      "Reg::CaseInsensitive", "Reg::DotMatchesEverything", "Reg::Multiline",
      "Reg::ExtendedPatternSyntax", "Reg::InvertedGreediness", "Reg::DontCapture",
      "Reg::UseUnicodeProperties"};
  for (const char* c : all) EXPECT_EQ(single(c), KorLexer::KOR_STATIC_FLAG) << c;

  // a word not in the list falls back to the longest successful match
  auto toks = lex("Kor::Utf8");
  ASSERT_EQ(toks.size(), 4u);
  EXPECT_EQ(toks[0].type, KorLexer::VARNAME);
  EXPECT_EQ(toks[0].text, "Kor");
  EXPECT_EQ(toks[1].type, KorLexer::FUN_RET_AUTO_DEF);
  EXPECT_EQ(toks[2].type, KorLexer::FUN_RET_AUTO_DEF);
  EXPECT_EQ(toks[3].type, KorLexer::VARNAME);
  EXPECT_EQ(toks[3].text, "Utf8");
  EXPECT_NE(single("Kor::utf8"), KorLexer::KOR_STATIC_FLAG);
  EXPECT_EQ(visibleTypes("Kor:: UTF8"),
            (T{KorLexer::VARNAME, KorLexer::FUN_RET_AUTO_DEF, KorLexer::FUN_RET_AUTO_DEF, KorLexer::VARNAME}));
  EXPECT_EQ(visibleTypes("Kor::UTF8x"), (T{KorLexer::KOR_STATIC_FLAG, KorLexer::VARNAME}));
}

TEST(Lexer, Operators) {
  EXPECT_EQ(visibleTypes("&& &"), (T{KorLexer::AND, KorLexer::LOG_AND}));
  EXPECT_EQ(visibleTypes("|| |"), (T{KorLexer::OR, KorLexer::LOG_OR}));
  EXPECT_EQ(visibleTypes("!= !"), (T{KorLexer::T__23, KorLexer::NOT}));
  EXPECT_EQ(visibleTypes("<<="), (T{KorLexer::T__13, KorLexer::T__5}));
  EXPECT_EQ(visibleTypes("a--b"), (T{KorLexer::VARNAME, KorLexer::AUTO_ADD_SUB, KorLexer::VARNAME}));
  EXPECT_EQ(visibleTypes("x */ y"), (T{KorLexer::VARNAME, KorLexer::T__7, KorLexer::VARNAME}));
  EXPECT_EQ(visibleTypes("x *= y"), (T{KorLexer::VARNAME, KorLexer::T__15, KorLexer::T__5, KorLexer::VARNAME}));
  EXPECT_EQ(visibleTypes("~ ^ : % <= >= =="),
            (T{KorLexer::LOG_REV, KorLexer::LOG_XOR, KorLexer::FUN_RET_AUTO_DEF, KorLexer::T__10,
               KorLexer::T__19, KorLexer::T__21, KorLexer::T__22}));
}

TEST(Lexer, FullWidthPunctuation) {
  EXPECT_EQ(single("，"), KorLexer::CHINESE_SYMBOL);
  EXPECT_EQ(single("（"), KorLexer::CHINESE_SYMBOL);
  EXPECT_EQ(single("（（"), KorLexer::CHINESE_SYMBOL);
  EXPECT_EQ(single("；）。、"), KorLexer::CHINESE_SYMBOL);
  EXPECT_EQ(single("\u3000"), KorLexer::CHINESE_SYMBOL);  // full-width blank
  EXPECT_EQ(visibleTypes("f（a）；"),
            (T{KorLexer::VARNAME, KorLexer::CHINESE_SYMBOL, KorLexer::VARNAME, KorLexer::CHINESE_SYMBOL}));
}

TEST(Lexer, UnmatchedCharactersAreReported) {
  // ideographs outside strings, stray symbols, a lone backslash, form feed
  for (const char* bad : {"汉", "#", "$", "?", "\\", "\f"}) {
    std::vector<Report> errors;
    auto toks = lex(std::string("a ") + bad + " b", &errors);
    SCOPED_TRACE(bad);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 1u);
    EXPECT_EQ(errors[0].column, 2u);
    // the lexer drops the code point and goes on
    EXPECT_EQ(toks.back().text, "b");
  }
  // the reported position is where the failed token began
  std::vector<Report> errors;
  lex("x\n  y = 'abc\n", &errors);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].line, 2u);
  EXPECT_EQ(errors[0].column, 6u);
}

TEST(Lexer, HiddenTokensStayInTheStream) {
  auto toks = lex("a // x\r\nb");
  ASSERT_EQ(toks.size(), 5u);
  EXPECT_EQ(toks[1].type, KorLexer::WS);
  EXPECT_EQ(toks[2].type, KorLexer::LINE_COMMENT);
  EXPECT_EQ(toks[2].text, "// x");  // the CR goes to the following blanks
  EXPECT_EQ(toks[3].type, KorLexer::WS);
  EXPECT_EQ(toks[3].text, "\r\n");
  for (size_t i = 1; i <= 3; ++i) EXPECT_EQ(toks[i].channel, antlr4::Token::HIDDEN_CHANNEL);

  auto block = lex("a/*b*/c");
  ASSERT_EQ(block.size(), 3u);
  EXPECT_EQ(block[1].type, KorLexer::COMMENT);
  EXPECT_EQ(block[1].channel, antlr4::Token::HIDDEN_CHANNEL);
  EXPECT_EQ(block[1].text, "/*b*/");
  EXPECT_EQ(visibleTypes("a /* unclosed"),
            (T{KorLexer::VARNAME, KorLexer::T__16, KorLexer::T__15, KorLexer::VARNAME}));

  // the stream's text rebuilds the source exactly, blanks and comments included
  const std::string src = "zs a = 1; // one\n\t/* two\n three */ dy(a);\r\n";
  kortest::Parse p(src);
  p.tokens.fill();
  EXPECT_EQ(p.tokens.getText(), src);
  EXPECT_EQ(p.tokens.getText(antlr4::misc::Interval(size_t(3), size_t(9))), " = 1; // one");
}

}  // namespace
