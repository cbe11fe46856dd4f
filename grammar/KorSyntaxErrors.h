// Chinese error texts of the korvel recognizers and the set-up of a parse's
// error reporting.
//
// Every parse of the interpreter (script, prelude, entry call) uses
//  - ChineseKorLexer in place of KorLexer: the same lexer, reporting
//    token-recognition errors as "词法识别错误在: '...'";
//  - ChineseErrorStrategy on its KorParser: the runtime's default error
//    strategy (same recovery, same listener arguments) with Chinese report
//    texts.
//
// Typical use by the run driver:
//
//   antlr4::ANTLRInputStream input(sourceText.toStdString());
//   ChineseKorLexer lexer(&input);
//   auto* tokens = new antlr4::CommonTokenStream(&lexer);
//   KorParser parser(tokens);
//   KorErrListener listener;
//   listener.tokens = tokens;
//   listener.source = &sourceText;               // main parse only
//   installSyntaxReporting(parser, &listener, &lexer);   // main parse
//   installSyntaxReporting(parser, &listener);           // prelude, entry call:
//                                                        // the lexer keeps the
//                                                        // console listener
#pragma once

#include <string>

#include "KorLexer.h"
#include "KorParser.h"
#include "antlr4-runtime.h"

// KorLexer with the Chinese token-recognition message. Reports go to the
// lexer's listeners with the line and column where the failed token began;
// recovery (dropping the code point) is the runtime's.
class ChineseKorLexer : public KorLexer {
public:
  explicit ChineseKorLexer(antlr4::CharStream* input) : KorLexer(input) {}

  void notifyListeners(const antlr4::LexerNoViableAltException& e) override;
  size_t getNumberOfSyntaxErrors() override { return KorLexer::getNumberOfSyntaxErrors() + reported_; }

private:
  size_t reported_ = 0;
};

// antlr4::DefaultErrorStrategy with Chinese report texts:
//   no viable alternative  "输入字段没有合法的可选语法去匹配 '<input>'"
//   input mismatch         "无法匹配的输入字段 '<token>' 期望匹配 <expected>"
//   failed predicate       "规则 <rule> <exception text>"
//   extraneous token       "无关或多余的异常输入字段 '<token>' 期望匹配 <expected>"
//   missing token          "缺少 <expected> 在 '<token>'"
// Only the first error is reported until the parser has resynchronised, as
// with the runtime's strategy.
class ChineseErrorStrategy : public antlr4::DefaultErrorStrategy {
protected:
  void reportNoViableAlternative(antlr4::Parser* recognizer, const antlr4::NoViableAltException& e) override;
  void reportInputMismatch(antlr4::Parser* recognizer, const antlr4::InputMismatchException& e) override;
  void reportFailedPredicate(antlr4::Parser* recognizer, const antlr4::FailedPredicateException& e) override;
  void reportUnwantedToken(antlr4::Parser* recognizer) override;
  void reportMissingToken(antlr4::Parser* recognizer) override;
};

// Gives `parser` a ChineseErrorStrategy. When `listener` is given it replaces
// the parser's error listeners; when `lexer` is given too, it replaces the
// lexer's listeners as well (otherwise the lexer keeps the runtime's console
// listener, which prints the Chinese lexer text to std::cerr).
void installSyntaxReporting(KorParser& parser, antlr4::ANTLRErrorListener* listener,
                            ChineseKorLexer* lexer = nullptr);
