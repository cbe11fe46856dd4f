// Operand evaluation shared by the variable, operator and printing code.
//
// Expressions inside loops are the hot path of every script: i < n, i + 1,
// s + "x", a[i]. They run as compiled nodes (Compiled.h); evalExprFast is
// the entry from code that holds a context rather than a node.
#pragma once

#include "ExprVisitor.h"

#include "runtime/source_text.h"
#include "runtime/value.h"
#include "runtime/value_ops.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <typeinfo>
#include <vector>

namespace cx {
struct Node;
}  // namespace cx

// Value of an expression through its compiled node.
ExprValue evalExprFast(ExprVisitor& v, KorParser::ExprContext* e);

// Name of a VARNAME-led context (korvar, stMemVar) with its FNV-1a hash,
// cached per context.
struct CachedName {
  QByteArray name;
  uint64_t hash = 0;
  // korvar contexts only: 0 not known yet, 1 the index expressions call
  // nothing and use no ++/--, 2 they may run code
  mutable uint8_t indexKind = 0;
  // korvar contexts only: the first index expression's node, once compiled
  mutable cx::Node* firstIndex = nullptr;
  // whether the name is a reserved word: 0 not known yet, 1 no, 2 yes
  mutable uint8_t reservedKind = 0;
  bool reserved() const {
    if (reservedKind == 0) reservedKind = isReservedWord(name) ? 2 : 1;
    return reservedKind == 2;
  }
};
const CachedName& cachedNameOf(antlr4::ParserRuleContext* ctx);

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
// A store target found as a store finds it, without storing: the variable
// (its record `rec`, found by the caller), its index and key values
// (evaluated once, in order, and appended to `keys`) and the place they lead
// to; every refusal that does not depend on the value is raised.
void checkStoreTarget(ExprVisitor& v, KorParser::KorvarContext* target, ScopeRecord* rec,
                      std::vector<ExprValue>& keys);
// Raises the refusal of a value (released) that does not fit the variable
// `rec` that the target names (the typed store has printed its mismatch).
[[noreturn]] void failRefusedStore(KorParser::KorvarContext* target, ScopeRecord* rec,
                                   ExprValue& value);
// Stores `value` (released) at the target with op. `rec` is the target's
// variable record, or null to find it now; `keys` are its index and key
// values from checkStoreTarget, or null to evaluate them now.
void storeAtTarget(ExprVisitor& v, KorParser::KorvarContext* target, ScopeRecord* rec,
                   const ExprValue* keys, ExprValue* value, int op = 0);
// Releases a value read by reference: gives back the holder count that the
// read raised for lists, dicts, files and workbooks (freeing the payload when
// it was the last holder); other payloads are borrowed and stay with their
// owner.
inline void releaseReference(ExprValue& cell);
// ExprArith.cpp
ExprValue evalNegation(ExprVisitor& v, KorParser::NegationExprContext* ctx);
// ExprLogic.cpp
ExprValue evalBitNot(ExprVisitor& v, KorParser::LogRevExprContext* ctx);
ExprValue evalMembership(ExprVisitor& v, antlr4::ParserRuleContext* ctx,
                         KorParser::RightvarContext* container, bool negate);
// The operators proper, applied to evaluated operands (both are consumed);
// compare op: 0 ==, 1 !=, 2 <, 3 <=, 4 >, 5 >=; bitwise op: '&', '|', '^'.
ExprValue applyAdd(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx);
ExprValue applySub(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx);
ExprValue applyMult(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx);
ExprValue applyDiv(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx);
ExprValue applyRemainder(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx);
ExprValue applyCompare(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx, int op);
ExprValue applyAnd(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx);
ExprValue applyOr(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx);
ExprValue applyBitwise(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx, char op);
// not: the operand is consumed
ExprValue applyNot(ExprValue a, antlr4::ParserRuleContext* ctx);
// ExprVariable.cpp: a read of a reference whose variable record is found.
ExprValue readVariableAt(ExprVisitor& v, KorParser::KorvarContext* ctx, ScopeRecord* rec,
                         bool byReference);
// ExprPrint.cpp
ExprValue evalFmtString(ExprVisitor& v, KorParser::FmtStringContext* ctx);
// ExprCalls.cpp: a call used as an expression (its first return value)
ExprValue evalCallValue(ExprVisitor& v, KorParser::CallFunExprContext* ctx);

// Frees the payload of an owned operand when a throw leaves the scope early.
class OperandGuard {
 public:
  explicit OperandGuard(ExprValue& cell) : cell_(&cell) {}
  ~OperandGuard() {
    if (cell_ != nullptr) freeValue(*cell_);
  }
  void release() { cell_ = nullptr; }
  OperandGuard(const OperandGuard&) = delete;
  OperandGuard& operator=(const OperandGuard&) = delete;

 private:
  ExprValue* cell_;
};

inline void releaseReference(ExprValue& cell) { releaseSharedValue(cell); }

// A struct literal `T{a, b}` (ExprDefine.cpp).
ExprValue evalStructLiteral(ExprVisitor& v, KorParser::StRightVarContext* ctx);
// Forgets what the struct literals kept (the run driver's reset at run start).
void resetStructLiterals();

// The argument list of a chained call `.m(...)`, or null: found by its
// exact class, without the generated accessor's casts.
inline KorParser::ArgumentListContext* chainedArguments(KorParser::MultiCallFunContext* call) {
  for (antlr4::tree::ParseTree* child : call->children)
    if (typeid(*child) == typeid(KorParser::ArgumentListContext))
      return static_cast<KorParser::ArgumentListContext*>(child);
  return nullptr;
}
