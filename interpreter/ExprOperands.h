// Operand evaluation shared by the variable, operator and printing code.
//
// Expressions inside loops are the hot path of every script: i < n, i + 1,
// s + "x", a[i]. Going through accept() and antlrcpp::Any costs a heap
// allocation and a dynamic_cast per node, so the operator handlers evaluate
// their operands with evalExprFast, which calls the common node kinds
// (variables, number literals, the arithmetic, comparison and logical
// operators) directly and falls back to the visitor for everything else.
#pragma once

#include "ExprVisitor.h"

#include "runtime/value.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

// Value of an expression; the same result as evalValue(e), without the
// antlrcpp::Any round trip for the common node kinds.
ExprValue evalExprFast(ExprVisitor& v, KorParser::ExprContext* e);

// Name of a VARNAME-led context (korvar, stMemVar) with its FNV-1a hash,
// cached per context.
struct CachedName {
  QByteArray name;
  uint64_t hash = 0;
  // korvar contexts only: 0 not known yet, 1 the index expressions call
  // nothing and use no ++/--, 2 they may run code
  mutable uint8_t indexKind = 0;
};
const CachedName& cachedNameOf(antlr4::ParserRuleContext* ctx);

// Inline literal values (integer, decimal, boolean, character literals),
// cached per context after their first evaluation through the visitor.
ExprValue cachedLiteral(ExprVisitor& v, KorParser::ExprContext* e);

// Value of a string or raw-string literal: a new payload sharing the bytes
// decoded at the literal's first evaluation.
ExprValue cachedStringLiteral(ExprVisitor& v, KorParser::ExprContext* e);

// Text of a format string literal (format_string context): quotes removed,
// escapes resolved, read as UTF-8; cached per context.
const QString& cachedFormatText(antlr4::ParserRuleContext* formatCtx);

// A value remembered for a context (inline types only), or null.
const ExprValue* cachedValue(antlr4::ParserRuleContext* ctx);
void rememberValue(antlr4::ParserRuleContext* ctx, const ExprValue& value);

// First byte of a token's text, cached per context (such as the sign of ++).
char cachedFirstByte(antlr4::ParserRuleContext* ctx, antlr4::Token* token);

// Forgets every cached name and literal. The run driver calls it when a run
// starts, before any parse tree of the run exists.
void resetExpressionCaches();

// ---- entry points of the handlers, returning the value cell directly ----
// ExprVariable.cpp
ExprValue readVariable(ExprVisitor& v, KorParser::KorvarContext* ctx, bool byReference);
ExprValue evalAutoAddSub(ExprVisitor& v, KorParser::KorAutoAddSubContext* ctx);
// Releases a value read by reference: gives back the holder count that the
// read raised for lists, dicts, files and workbooks (freeing the payload when
// it was the last holder); other payloads are borrowed and stay with their
// owner.
inline void releaseReference(ExprValue& cell);
// ExprArith.cpp
ExprValue evalAdd(ExprVisitor& v, KorParser::AddExprContext* ctx);
ExprValue evalSub(ExprVisitor& v, KorParser::SubExprContext* ctx);
ExprValue evalMult(ExprVisitor& v, KorParser::MultExprContext* ctx);
ExprValue evalDiv(ExprVisitor& v, KorParser::DivExprContext* ctx);
ExprValue evalRemainder(ExprVisitor& v, KorParser::RemainderExprContext* ctx);
ExprValue evalNegation(ExprVisitor& v, KorParser::NegationExprContext* ctx);
// ExprLogic.cpp; op: 0 ==, 1 !=, 2 <, 3 <=, 4 >, 5 >=
ExprValue evalCompare(ExprVisitor& v, antlr4::ParserRuleContext* ctx, int op);
ExprValue evalAnd(ExprVisitor& v, KorParser::AndExprContext* ctx);
ExprValue evalOr(ExprVisitor& v, KorParser::OrExprContext* ctx);
ExprValue evalNot(ExprVisitor& v, KorParser::NotExprContext* ctx);
// op: '&', '|', '^'
ExprValue evalBitwise(ExprVisitor& v, antlr4::ParserRuleContext* ctx, char op);
ExprValue evalBitNot(ExprVisitor& v, KorParser::LogRevExprContext* ctx);
ExprValue evalMembership(ExprVisitor& v, antlr4::ParserRuleContext* ctx,
                         KorParser::RightvarContext* container, bool negate);
// ExprPrint.cpp
ExprValue evalFmtString(ExprVisitor& v, KorParser::FmtStringContext* ctx);
// ExprCalls.cpp: a call used as an expression (its first return value)
ExprValue evalCallValue(ExprVisitor& v, KorParser::CallFunExprContext* ctx);

// Frees the payload of an owned operand when a throw leaves the scope early.
class OperandGuard {
 public:
  explicit OperandGuard(ExprValue& cell) : cell_(&cell) {}
  ~OperandGuard();
  void release() { cell_ = nullptr; }
  OperandGuard(const OperandGuard&) = delete;
  OperandGuard& operator=(const OperandGuard&) = delete;

 private:
  ExprValue* cell_;
};

// Left and right operand of a binary expression node (children 0 and 2),
// left first. The left value is released when the right one fails.
void evalOperandPair(ExprVisitor& v, antlr4::ParserRuleContext* ctx, ExprValue& left,
                     ExprValue& right);

#include "runtime/value_ops.h"

inline void releaseReference(ExprValue& cell) { releaseSharedValue(cell); }
