#include "KorScriptParse.h"

#include "KorTwoStageParse.h"
#include "stack_bounds.h"

namespace {

// Records the lexer's first error and the index its token would have had.
class LexerErrorRecord : public antlr4::BaseErrorListener {
 public:
  explicit LexerErrorRecord(antlr4::BufferedTokenStream& tokens) : tokens_(tokens) {}
  void syntaxError(antlr4::Recognizer*, antlr4::Token*, size_t line, size_t column,
                   const std::string& msg, std::exception_ptr) override {
    if (recorded) return;
    recorded = true;
    this->line = line;
    this->column = column;
    message = msg;
    tokenIndex = tokens_.size();
  }

  bool recorded = false;
  size_t line = 0, column = 0, tokenIndex = 0;
  std::string message;

 private:
  antlr4::BufferedTokenStream& tokens_;
};

// Reports the recorded lexer error once the parser consumes a token after it.
class LexerErrorAtConsume : public antlr4::tree::ParseTreeListener {
 public:
  LexerErrorAtConsume(LexerErrorRecord& record, KorErrListener& listener, antlr4::Lexer& lexer)
      : record_(record), listener_(listener), lexer_(lexer) {}
  void report() {
    if (record_.recorded)
      listener_.syntaxError(&lexer_, nullptr, record_.line, record_.column, record_.message,
                            nullptr);
  }
  void visitTerminal(antlr4::tree::TerminalNode* node) override { check(node); }
  void visitErrorNode(antlr4::tree::ErrorNode* node) override { check(node); }
  void enterEveryRule(antlr4::ParserRuleContext*) override {}
  void exitEveryRule(antlr4::ParserRuleContext*) override {}

 private:
  void check(antlr4::tree::TerminalNode* node) {
    if (record_.recorded && node->getSymbol()->getTokenIndex() >= record_.tokenIndex) report();
  }
  LexerErrorRecord& record_;
  KorErrListener& listener_;
  antlr4::Lexer& lexer_;
};

// The parser's error listener: a syntax error at or after the token that
// followed a lexer error reports the lexer error, which came first.
class ParseErrorAfterLexerError : public antlr4::BaseErrorListener {
 public:
  ParseErrorAfterLexerError(LexerErrorRecord& record, LexerErrorAtConsume& lexerReport,
                            KorErrListener& listener)
      : record_(record), lexerReport_(lexerReport), listener_(listener) {}
  void syntaxError(antlr4::Recognizer* recognizer, antlr4::Token* offending, size_t line,
                   size_t column, const std::string& msg, std::exception_ptr e) override {
    if (record_.recorded && (offending == nullptr || offending->getTokenIndex() >= record_.tokenIndex))
      lexerReport_.report();
    listener_.syntaxError(recognizer, offending, line, column, msg, e);
  }

 private:
  LexerErrorRecord& record_;
  LexerErrorAtConsume& lexerReport_;
  KorErrListener& listener_;
};

}  // namespace

KorParser::ProgramContext* parseScriptProgram(KorParser& parser, ChineseKorLexer& lexer,
                                              KorDepthCheckedTokenStream& tokens,
                                              KorErrListener& listener) {
  LexerErrorRecord lexerError(tokens);
  LexerErrorAtConsume atConsume(lexerError, listener, lexer);
  ParseErrorAfterLexerError parseErrors(lexerError, atConsume, listener);
  lexer.removeErrorListeners();
  lexer.addErrorListener(&lexerError);
  noteThreadStack();
  KorStagedPredictor::install(parser)->setStackLimit(korStackLimit);
  parser.addParseListener(&atConsume);
  // later reads of the stream (reports quoting statements) report to the
  // listener directly
  struct Detach {
    KorParser& parser;
    LexerErrorAtConsume& atConsume;
    ChineseKorLexer& lexer;
    KorErrListener& listener;
    ~Detach() {
      parser.removeParseListener(&atConsume);
      lexer.removeErrorListeners();
      lexer.addErrorListener(&listener);
    }
  } detach{parser, atConsume, lexer, listener};
  KorParser::ProgramContext* tree = nullptr;
  try {
    tree = parseProgramFirstStage(parser);
    if (tree == nullptr) {
      installSyntaxReporting(parser, &parseErrors);
      tree = parser.program();
    }
  } catch (const KorNestingTooDeep& e) {
    listener.syntaxError(&parser, nullptr, e.line, e.column, e.message(), nullptr);
  }
  atConsume.report();
  return tree;
}
