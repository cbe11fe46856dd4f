// Token numbering, vocabulary, rule names and the shape of the generated
// recognizers. Other parts of the system (accessors, error texts, the
// evaluator's dispatch) depend on these numbers, so they are pinned here.
#include <gtest/gtest.h>

#include "grammar_test_util.h"

namespace {

const char* const kLiterals[34] = {
    "'{'", "'}'", "';'", "'pass;'", "','", "'='", "'/='", "'*/'", "'+='", "'-='", "'%'", "'('",
    "')'", "'<<'", "'-'", "'*'", "'/'", "'+'", "'<'", "'<='", "'>'", "'>='", "'=='", "'!='",
    "'['", "']'", "'.'", "'_'", "'while'", "'wj.walk'", "'tuichu'", "'break'", "'jixu'",
    "'continue'"};

const char* const kNamed[39] = {
    "GLOBAL", "JIEGOU_SPACE", "JIEGOU_KEY", "AUTO_ADD_SUB", "EMPTY_VALUE", "AND", "OR", "NOT",
    "IN", "LOG_REV", "LOG_AND", "LOG_OR", "LOG_XOR", "DA_YIN_KEY", "HANSHU", "FANHUI_KEY",
    "HUIDIAO", "FUN_RET_AUTO_DEF", "IF_KEY", "ZIF_KEY", "QT_KEY", "FOR_KEY", "TYPE_ID",
    "BOOL_VALUE", "PACK_NAME", "KOR_STATIC_FLAG", "U16STRING_FLAG", "VARNAME", "INT_VALUE",
    "FLOAT_VALUE", "CHAR_VALUE", "STRING_VALUE", "RAW_STRING_VALUE", "WS", "LINE_COMMENT",
    "COMMENT", "CHINESE_SYMBOL", "STKEY", "DIGIT"};

// named tokens whose rule is a single literal, with that literal
const std::map<size_t, std::string> kNamedLiterals = {
    {39, "'kong'"}, {43, "'in'"}, {44, "'~'"}, {45, "'&'"}, {46, "'|'"},
    {47, "'^'"},    {51, "'hs'"}, {52, "':'"}, {61, "'u16'"}};

const char* const kParserRules[68] = {
    "program", "defglobal", "globalstate", "block", "statement", "signalState", "pass",
    "defvar", "declareStruct", "defstvar", "onest", "assign", "assginNoEnd", "assignOne",
    "rightvar", "stRightVar", "assignStOne", "stFromExpr", "assignOp", "printFormatPart",
    "singleExpr", "multiExpr", "fmtString", "hs_print", "korAutoAddSub", "expr", "list",
    "element", "map", "mapelement", "mapkey", "atom", "revVar", "korvar", "listMapVar",
    "listindex", "structMem", "structMemVar", "stMemVar", "memberFunAccess", "funobj",
    "function", "defFunRet", "funretArg", "retCode", "defArgumentList", "defArgument",
    "format_string", "callFun", "realCallFun", "multiCallFun", "fun_ret", "ret_id",
    "argumentList", "argument", "if", "zif", "qt", "for", "forinvar", "forinit", "forinc",
    "break", "continue", "struct_body", "struct_var", "korFlag", "unknown"};

struct Recognizers {
  antlr4::ANTLRInputStream in{""};
  KorLexer lexer{&in};
  antlr4::CommonTokenStream tokens{&lexer};
  KorParser parser{&tokens};
};

TEST(Vocabulary, TokenTypeConstants) {
  // the implicit literal tokens are 1..34 in order, the named rules 35..73
  const size_t lits[] = {KorLexer::T__0,  KorLexer::T__1,  KorLexer::T__2,  KorLexer::T__3,
                         KorLexer::T__4,  KorLexer::T__5,  KorLexer::T__6,  KorLexer::T__7,
                         KorLexer::T__8,  KorLexer::T__9,  KorLexer::T__10, KorLexer::T__11,
                         KorLexer::T__12, KorLexer::T__13, KorLexer::T__14, KorLexer::T__15,
                         KorLexer::T__16, KorLexer::T__17, KorLexer::T__18, KorLexer::T__19,
                         KorLexer::T__20, KorLexer::T__21, KorLexer::T__22, KorLexer::T__23,
                         KorLexer::T__24, KorLexer::T__25, KorLexer::T__26, KorLexer::T__27,
                         KorLexer::T__28, KorLexer::T__29, KorLexer::T__30, KorLexer::T__31,
                         KorLexer::T__32, KorLexer::T__33};
  for (size_t i = 0; i < 34; ++i) EXPECT_EQ(lits[i], i + 1);

  EXPECT_EQ(KorLexer::GLOBAL, 35u);
  EXPECT_EQ(KorLexer::JIEGOU_SPACE, 36u);
  EXPECT_EQ(KorLexer::JIEGOU_KEY, 37u);
  EXPECT_EQ(KorLexer::AUTO_ADD_SUB, 38u);
  EXPECT_EQ(KorLexer::EMPTY_VALUE, 39u);
  EXPECT_EQ(KorLexer::AND, 40u);
  EXPECT_EQ(KorLexer::OR, 41u);
  EXPECT_EQ(KorLexer::NOT, 42u);
  EXPECT_EQ(KorLexer::IN, 43u);
  EXPECT_EQ(KorLexer::LOG_REV, 44u);
  EXPECT_EQ(KorLexer::LOG_AND, 45u);
  EXPECT_EQ(KorLexer::LOG_OR, 46u);
  EXPECT_EQ(KorLexer::LOG_XOR, 47u);
  EXPECT_EQ(KorLexer::DA_YIN_KEY, 48u);
  EXPECT_EQ(KorLexer::HANSHU, 49u);
  EXPECT_EQ(KorLexer::FANHUI_KEY, 50u);
  EXPECT_EQ(KorLexer::HUIDIAO, 51u);
  EXPECT_EQ(KorLexer::FUN_RET_AUTO_DEF, 52u);
  EXPECT_EQ(KorLexer::IF_KEY, 53u);
  EXPECT_EQ(KorLexer::ZIF_KEY, 54u);
  EXPECT_EQ(KorLexer::QT_KEY, 55u);
  EXPECT_EQ(KorLexer::FOR_KEY, 56u);
  EXPECT_EQ(KorLexer::TYPE_ID, 57u);
  EXPECT_EQ(KorLexer::BOOL_VALUE, 58u);
  EXPECT_EQ(KorLexer::PACK_NAME, 59u);
  EXPECT_EQ(KorLexer::KOR_STATIC_FLAG, 60u);
  EXPECT_EQ(KorLexer::U16STRING_FLAG, 61u);
  EXPECT_EQ(KorLexer::VARNAME, 62u);
  EXPECT_EQ(KorLexer::INT_VALUE, 63u);
  EXPECT_EQ(KorLexer::FLOAT_VALUE, 64u);
  EXPECT_EQ(KorLexer::CHAR_VALUE, 65u);
  EXPECT_EQ(KorLexer::STRING_VALUE, 66u);
  EXPECT_EQ(KorLexer::RAW_STRING_VALUE, 67u);
  EXPECT_EQ(KorLexer::WS, 68u);
  EXPECT_EQ(KorLexer::LINE_COMMENT, 69u);
  EXPECT_EQ(KorLexer::COMMENT, 70u);
  EXPECT_EQ(KorLexer::CHINESE_SYMBOL, 71u);
  EXPECT_EQ(KorLexer::STKEY, 72u);
  EXPECT_EQ(KorLexer::DIGIT, 73u);
  // the parser carries the same numbers
  EXPECT_EQ(KorParser::T__33, 34u);
  EXPECT_EQ(KorParser::VARNAME, 62u);
  EXPECT_EQ(KorParser::DIGIT, 73u);
}

TEST(Vocabulary, LiteralSymbolicAndDisplayNames) {
  Recognizers r;
  for (antlr4::Recognizer* rec : {static_cast<antlr4::Recognizer*>(&r.lexer),
                                  static_cast<antlr4::Recognizer*>(&r.parser)}) {
    const antlr4::dfa::Vocabulary& v = rec->getVocabulary();
    EXPECT_EQ(v.getMaxTokenType(), 73u);
    for (size_t t = 1; t <= 34; ++t) {
      SCOPED_TRACE(t);
      EXPECT_EQ(v.getLiteralName(t), kLiterals[t - 1]);
      EXPECT_EQ(v.getSymbolicName(t), "");
      EXPECT_EQ(v.getDisplayName(t), kLiterals[t - 1]);
    }
    for (size_t t = 35; t <= 73; ++t) {
      SCOPED_TRACE(t);
      EXPECT_EQ(v.getSymbolicName(t), kNamed[t - 35]);
      auto lit = kNamedLiterals.find(t);
      if (lit != kNamedLiterals.end()) {
        EXPECT_EQ(v.getLiteralName(t), lit->second);
        EXPECT_EQ(v.getDisplayName(t), lit->second);
      } else {
        EXPECT_EQ(v.getLiteralName(t), "");
        EXPECT_EQ(v.getDisplayName(t), kNamed[t - 35]);
      }
    }
    // nothing beyond the last type, and the literal table stops at 'u16'
    EXPECT_EQ(v.getLiteralName(62), "");
    EXPECT_EQ(v.getSymbolicName(74), "");
    EXPECT_EQ(v.getDisplayName(antlr4::Token::EOF), "EOF");
  }
}

TEST(Vocabulary, LexerRulesChannelsAndModes) {
  Recognizers r;
  const auto& rules = r.lexer.getRuleNames();
  ASSERT_EQ(rules.size(), 74u);
  for (size_t i = 0; i < 34; ++i) EXPECT_EQ(rules[i], "T__" + std::to_string(i));
  for (size_t i = 0; i < 37; ++i) EXPECT_EQ(rules[34 + i], kNamed[i]);  // GLOBAL..CHINESE_SYMBOL
  EXPECT_EQ(rules[71], "ID");  // the fragment sits between CHINESE_SYMBOL and STKEY
  EXPECT_EQ(rules[72], "STKEY");
  EXPECT_EQ(rules[73], "DIGIT");

  EXPECT_EQ(r.lexer.getChannelNames(), (std::vector<std::string>{"DEFAULT_TOKEN_CHANNEL", "HIDDEN"}));
  EXPECT_EQ(r.lexer.getModeNames(), (std::vector<std::string>{"DEFAULT_MODE"}));
  EXPECT_EQ(r.lexer.getGrammarFileName(), "Kor.g4");
  EXPECT_EQ(r.lexer.getATN().getNumberOfDecisions(), 45u);
}

TEST(Vocabulary, ParserRulesAndIndices) {
  Recognizers r;
  const auto& rules = r.parser.getRuleNames();
  ASSERT_EQ(rules.size(), 68u);
  for (size_t i = 0; i < 68; ++i) EXPECT_EQ(rules[i], kParserRules[i]) << i;

  // a sample of the rule-index constants across the table
  EXPECT_EQ(KorParser::RuleProgram, 0u);
  EXPECT_EQ(KorParser::RuleDefglobal, 1u);
  EXPECT_EQ(KorParser::RuleAssginNoEnd, 12u);
  EXPECT_EQ(KorParser::RuleHs_print, 23u);
  EXPECT_EQ(KorParser::RuleExpr, 25u);
  EXPECT_EQ(KorParser::RuleListMapVar, 34u);
  EXPECT_EQ(KorParser::RuleFunction, 41u);
  EXPECT_EQ(KorParser::RuleFormat_string, 47u);
  EXPECT_EQ(KorParser::RuleCallFun, 48u);
  EXPECT_EQ(KorParser::RuleIf, 55u);
  EXPECT_EQ(KorParser::RuleFor, 58u);
  EXPECT_EQ(KorParser::RuleForinc, 61u);
  EXPECT_EQ(KorParser::RuleKorFlag, 66u);
  EXPECT_EQ(KorParser::RuleUnknown, 67u);

  EXPECT_EQ(r.parser.getGrammarFileName(), "Kor.g4");
  const antlr4::atn::ATN& atn = r.parser.getATN();
  EXPECT_EQ(atn.states.size(), 768u);
  EXPECT_EQ(atn.ruleToStartState.size(), 68u);
  EXPECT_EQ(atn.getNumberOfDecisions(), 67u);
  EXPECT_EQ(atn.maxTokenType, 73u);
}

TEST(Vocabulary, ParsersShareTheirTables) {
  Recognizers a, b;
  EXPECT_EQ(&a.parser.getATN(), &b.parser.getATN());
  EXPECT_EQ(&a.lexer.getATN(), &b.lexer.getATN());
  EXPECT_EQ(&a.parser.getVocabulary(), &b.parser.getVocabulary());
}

}  // namespace
