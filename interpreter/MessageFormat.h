// Helpers for the evaluator's messages (the one-pass fillMessage itself is in
// runtime/errors.h).
#pragma once

#include <QByteArray>
#include <QString>

#include "runtime/errors.h"

#include <cstdint>
#include <string>

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
