// Filling the placeholders of a message text in one pass, so that a statement
// text that itself contains "%1" is never substituted again.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string>

namespace msgfmt {

inline QString toText(const QString& s) { return s; }
inline QString toText(const QByteArray& s) { return QString::fromUtf8(s); }
inline QString toText(const std::string& s) { return QString::fromStdString(s); }
inline QString toText(const char* s) { return QString::fromUtf8(s); }
inline QString toText(int v) { return QString::number(v); }
inline QString toText(long v) { return QString::number(v); }
inline QString toText(long long v) { return QString::number(v); }
inline QString toText(unsigned long v) { return QString::number(v); }
inline QString toText(unsigned long long v) { return QString::number(v); }

}  // namespace msgfmt

// fillMessage(pattern, a1, ..., an): %1 .. %n replaced by the texts of the
// arguments (1 to 9 arguments).
template <typename A>
QString fillMessage(const QString& pattern, const A& a) {
  return pattern.arg(msgfmt::toText(a));
}

template <typename A, typename B, typename... Rest>
QString fillMessage(const QString& pattern, const A& a, const B& b, const Rest&... rest) {
  return pattern.arg(msgfmt::toText(a), msgfmt::toText(b), msgfmt::toText(rest)...);
}

// The script line of a definition for messages. The global block is evaluated
// from the script's own parse, whose lines are already script lines; only a
// context of a separate parse (a block parsed on its own) is shifted by the
// global block's start line.
#include "antlr4-runtime.h"
#include "runtime/run_state.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"

#include <exception>

inline int32_t definitionLine(antlr4::ParserRuleContext* ctx) {
  antlr4::Token* start = ctx != nullptr ? ctx->getStart() : nullptr;
  if (start != nullptr && tokenStream != nullptr &&
      start->getTokenSource() == tokenStream->getTokenSource())
    return lineOfContext(ctx);
  return lineInGlobalBlock(ctx);
}

// The current function's name for a message; empty outside every function.
inline QString functionNameForMessage() {
  try {
    return currentFunctionQName();
  } catch (const std::exception&) {
    return QString();
  }
}
