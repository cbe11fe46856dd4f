// Syntax-error listener of korvel parses.
//
// Reports a lexer or parser error in Chinese and ends the parse by throwing:
//  - main parse of a script (parsePhase == 1 and `source` set): quotes the
//    error line (and the one before it) on std::cout with a caret marker
//    under the error column, prints the report to std::cerr with hints for
//    full-width punctuation, then raises a script error (std::runtime_error);
//  - any other parse (the prelude, the entry call): prints a report of the
//    statement around the offending token and the call stack, then rethrows
//    the recognizer's exception (std::bad_exception when there is none). Only
//    the first such report of the process is printed in full; later ones
//    print the call stack only.
//
// Usually installed with installSyntaxReporting() (KorSyntaxErrors.h).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
#include <string>

#include "antlr4-runtime.h"

class KorErrListener : public antlr4::BaseErrorListener {
public:
  // The parse's token stream: rebuilds the statement around the offending
  // token. Not owned; may stay null.
  antlr4::CommonTokenStream* tokens = nullptr;
  // The whole script source (UTF-8) for quoting the error line; set only for
  // the main parse of a script. Not owned.
  QByteArray* source = nullptr;

  KorErrListener() = default;
  ~KorErrListener() override = default;

  // Never returns normally (see the class comment).
  void syntaxError(antlr4::Recognizer* recognizer, antlr4::Token* offendingSymbol, size_t line,
                   size_t charPositionInLine, const std::string& msg, std::exception_ptr e) override;

  // Prints the hints for full-width '（' '）' '；' '，' (and for a no-viable
  // input running over a line end) found in the text that `msg` quotes.
  void checkPunctuationHint(int line, const std::string& msg);
  // Prints hint `kind` (1 missing ';', 2 '；', 3 '，', 4 '（' or '）') with the
  // line and the quoted text to std::cerr, then a line break; any other kind
  // prints an empty line.
  void printPunctuationHint(int kind, int line, const QString& text);

private:
  [[noreturn]] void reportMainParse(size_t line, size_t column, const std::string& msg);
  [[noreturn]] void reportOtherParse(antlr4::Token* offendingSymbol, size_t line, size_t column,
                                     const std::string& msg, std::exception_ptr e);
};

// Number of reports made on the other-parse path in this process. Never
// reset by the interpreter, so only the first report of the process is
// printed in full.
extern int32_t korSyntaxReportCount;
