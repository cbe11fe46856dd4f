#include "KorSyntaxErrors.h"

void ChineseKorLexer::notifyListeners(const antlr4::LexerNoViableAltException&) {
  ++reported_;
  const std::string text =
      _input->getText(antlr4::misc::Interval(tokenStartCharIndex, _input->index()));
  const std::string msg = "词法识别错误在: '" + getErrorDisplay(text) + "'";
  getErrorListenerDispatch().syntaxError(this, nullptr, tokenStartLine, tokenStartCharPositionInLine,
                                         msg, std::current_exception());
}

void ChineseErrorStrategy::reportNoViableAlternative(antlr4::Parser* recognizer,
                                                     const antlr4::NoViableAltException& e) {
  antlr4::TokenStream* tokens = recognizer->getTokenStream();
  std::string input;
  if (tokens != nullptr) {
    if (e.getStartToken()->getType() == antlr4::Token::EOF)
      input = "<EOF>";
    else
      input = tokens->getText(e.getStartToken(), e.getOffendingToken());
  } else {
    input = "<unknown input>";
  }
  const std::string msg = "输入字段没有合法的可选语法去匹配 " + escapeWSAndQuote(input);
  recognizer->notifyErrorListeners(e.getOffendingToken(), msg, std::make_exception_ptr(e));
}

void ChineseErrorStrategy::reportInputMismatch(antlr4::Parser* recognizer,
                                               const antlr4::InputMismatchException& e) {
  const std::string msg = "无法匹配的输入字段 " + getTokenErrorDisplay(e.getOffendingToken()) +
                          " 期望匹配 " + e.getExpectedTokens().toString(recognizer->getVocabulary());
  recognizer->notifyErrorListeners(e.getOffendingToken(), msg, std::make_exception_ptr(e));
}

void ChineseErrorStrategy::reportFailedPredicate(antlr4::Parser* recognizer,
                                                 const antlr4::FailedPredicateException& e) {
  const std::string& ruleName = recognizer->getRuleNames()[recognizer->getContext()->getRuleIndex()];
  const std::string msg = "规则 " + ruleName + " " + e.what();
  recognizer->notifyErrorListeners(e.getOffendingToken(), msg, std::make_exception_ptr(e));
}

void ChineseErrorStrategy::reportUnwantedToken(antlr4::Parser* recognizer) {
  if (inErrorRecoveryMode(recognizer)) return;
  beginErrorCondition(recognizer);
  antlr4::Token* t = recognizer->getCurrentToken();
  const std::string msg = "无关或多余的异常输入字段 " + getTokenErrorDisplay(t) + " 期望匹配 " +
                          getExpectedTokens(recognizer).toString(recognizer->getVocabulary());
  recognizer->notifyErrorListeners(t, msg, nullptr);
}

void ChineseErrorStrategy::reportMissingToken(antlr4::Parser* recognizer) {
  if (inErrorRecoveryMode(recognizer)) return;
  beginErrorCondition(recognizer);
  antlr4::Token* t = recognizer->getCurrentToken();
  const std::string msg = "缺少 " + getExpectedTokens(recognizer).toString(recognizer->getVocabulary()) +
                          " 在 " + getTokenErrorDisplay(t);
  recognizer->notifyErrorListeners(t, msg, nullptr);
}

void installSyntaxReporting(KorParser& parser, antlr4::ANTLRErrorListener* listener,
                            ChineseKorLexer* lexer) {
  parser.setErrorHandler(std::make_shared<ChineseErrorStrategy>());
  if (listener == nullptr) return;
  parser.removeErrorListeners();
  parser.addErrorListener(listener);
  if (lexer != nullptr) {
    lexer->removeErrorListeners();
    lexer->addErrorListener(listener);
  }
}
