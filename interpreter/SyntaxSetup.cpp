#include "SyntaxSetup.h"

#include "KorLexer.h"
#include "KorParser.h"
#include "runtime/errors.h"

namespace {
// Interim listener: ends the parse at the first error with its line.
class FirstErrorListener : public antlr4::BaseErrorListener {
 public:
  void syntaxError(antlr4::Recognizer*, antlr4::Token*, size_t line, size_t,
                   const std::string& msg, std::exception_ptr) override {
    raiseScriptError(QStringLiteral("错误：行号 %1 %2").arg(line).arg(QString::fromStdString(msg)));
  }
};
}  // namespace

std::unique_ptr<antlr4::ANTLRErrorListener> installScriptSyntaxReporting(
    KorLexer* lexer, KorParser* parser, antlr4::CommonTokenStream*, QByteArray*) {
  auto listener = std::make_unique<FirstErrorListener>();
  lexer->removeErrorListeners();
  lexer->addErrorListener(listener.get());
  parser->removeErrorListeners();
  parser->addErrorListener(listener.get());
  return listener;
}

std::unique_ptr<antlr4::ANTLRErrorListener> installAuxSyntaxReporting(
    KorParser* parser, antlr4::CommonTokenStream*) {
  auto listener = std::make_unique<FirstErrorListener>();
  parser->removeErrorListeners();
  parser->addErrorListener(listener.get());
  return listener;
}
