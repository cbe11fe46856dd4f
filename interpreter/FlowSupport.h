// Statement and operand dispatch shared by blocks, loops and calls.
//
// Statements run in loops and function bodies are the hot path, and a
// recursive script nests the frames of blocks, branches and calls once per
// call level. So the common statement kinds are run directly by functions
// that return nothing (no antlrcpp::Any on the way), with the same effect as
// visiting the statement; everything else goes through the visitor.
#pragma once

#include "ExprOperands.h"
#include "ExprVisitor.h"

#include "runtime/value.h"
#include "runtime/scope.h"
#include "runtime/value_ops.h"

#include <vector>

namespace cx {
struct Node;
struct Stmt;
}  // namespace cx
namespace callsupport {
struct CallSite;
}  // namespace callsupport

// Keeps a function out of line (a small frame on the recursive path), keeps
// a small hot one inline, and marks the error paths as cold.
#if defined(_MSC_VER)
#include <intrin.h>
#define KOR_NOINLINE __declspec(noinline)
#define KOR_ALWAYS_INLINE __forceinline
#define KOR_COLD __declspec(noinline)
#define KOR_FRAME_ADDRESS() _AddressOfReturnAddress()
#else
#define KOR_NOINLINE __attribute__((noinline))
#define KOR_ALWAYS_INLINE inline __attribute__((always_inline))
#define KOR_COLD __attribute__((noinline, cold))
#define KOR_FRAME_ADDRESS() __builtin_frame_address(0)
#endif
// An error path: never returns.
#define KOR_FAIL [[noreturn]] KOR_COLD

namespace flow {

// Rule index of a parse-tree node; -1 for a token (or a childless node).
inline int ruleOf(antlr4::tree::ParseTree* node) {
  if (!node || node->children.empty()) return -1;
  return int(static_cast<antlr4::RuleContext*>(node)->getRuleIndex());
}

// Whether a part of the tree contains a call of a script function (a plain
// call `f(...)`; member calls are built-in methods, which run no script
// code), or, with `anyEffect`, any call or ++/-- at all (ExprMethods.cpp).
bool partRunsCode(antlr4::tree::ParseTree* part, bool anyEffect);

}  // namespace flow

// The assignment statement (ExprAssign.cpp) and the typed definition
// (ExprDefine.cpp) without their visit results.
void execAssignVar(ExprVisitor& v, KorParser::AssignVarContext* ctx);
// An assignment worked out ahead: the target's name, the operator
// (0 =, 1 *=, 2 /=, 3 +=, 4 -=), whether it initialises a typed definition
// and, when compiled, the right side and the target's index expressions.
struct AssignPlan {
  const CachedName* name = nullptr;
  int op = 0;
  bool initialiser = false;
  cx::Node* right = nullptr;
  cx::Node* target = nullptr;  // a plain target variable, when compiled
  cx::Node* base = nullptr;    // the variable of a target with indexes or a member, when compiled
  // target[i]...[j]: compiled one by one on their first evaluation (as an
  // expression is) when the plan is compiled
  bool compiled = false;
  bool keyed = false;  // compiled, the right side an expression, the target v[k]
  // A target with indexes: whether the right side may call a script function
  // (which may change any global variable) or, wider, may make any call or
  // ++/-- (a built-in method may change a container); not known: may.
  bool rightRunsScript = true;
  bool rightCalls = true;
  mutable std::vector<cx::Node*> indexes;
  // `s = s + a + ...` with a plain target that is the leftmost operand and
  // operands after it that run no code: those operands, compiled (empty for
  // every other assignment). A zfc target is appended to in place.
  std::vector<cx::Node*> appended;
};
AssignPlan planAssignment(ExprVisitor& v, KorParser::AssignVarContext* ctx, bool compileRight);
void execAssignPlanned(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan);
// A compiled assignment statement (not a definition's initialiser).
void execAssignCompiled(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan);
// The same for a plain target whose right side is an integer tree
// (cx::Node::arith): computed in integers when it can.
void execAssignInteger(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan);
// The same for a plan with `appended` operands.
void execAssignAppend(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan);
// The same for a plan that is keyed (v[k] = expression).
void execAssignKeyed(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan);
// The store of an assignment whose plain target record is found (or, for a
// local definition, pushed) and whose right side is evaluated already (the
// value is taken over): the general store with all its conversions and
// messages.
void execAssignPrepared(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan,
                        ScopeRecord* rec, const ExprValue& value);

// Whether a variable of that name is defined in the innermost block (the
// duplicate check of a local definition, with the name's hash known).
inline bool definedInBlockOf(const ScopeStack& st, const HashedName& name) {
  for (size_t i = st.size(); i-- > 0;) {
    const ScopeRecord* r = st[i];
    if (r->kind == SK_BLOCK) break;
    if (r->kind < 100 && r->name.equals(name.bytes(), name.hash())) return true;
  }
  return false;
}
// The same on the scope stack (none: false).
inline bool definedInCurrentBlock(const HashedName& name) {
  const ScopeStack* st = scope_state::scopeStack;
  return st != nullptr && definedInBlockOf(*st, name);
}

// The declared types whose variable takes a value of its own type by moving
// the payload in.
inline bool movesOwnType(int32_t code) {
  // the inline numbers and characters, then zfc, string, lb and zd
  return uint32_t(code) <= uint32_t(VT_WCHAR) || (code >= VT_BYTES && code <= VT_DICT);
}
// The bytes of the payload that a value of an own-moving type (movesOwnType)
// fills: its member's bytes set, the rest clear.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the payload masks take the members' bytes at the low end"
#endif
constexpr uint64_t payloadBytes(unsigned n) { return n >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1; }
constexpr uint64_t kOwnTypeMasks[VT_DICT + 1] = {
    payloadBytes(sizeof(int32_t)), payloadBytes(sizeof(int64_t)), payloadBytes(sizeof(double)),
    payloadBytes(sizeof(uint8_t)), payloadBytes(sizeof(char)),    payloadBytes(sizeof(uint16_t)),
    0, 0, 0,
    payloadBytes(sizeof(void*)),   payloadBytes(sizeof(void*)),   payloadBytes(sizeof(void*)),
    payloadBytes(sizeof(void*))};
// Moves the payload of a value of the record's own (own-moving) type into the
// record's empty payload; the value's payload is null afterwards.
KOR_ALWAYS_INLINE void moveOwnPayload(ScopeRecord* rec, ExprValue& value) {
  rec->payload.i64 = int64_t(uint64_t(value.payload.i64) & kOwnTypeMasks[rec->kind]);
  value.payload.i64 = 0;
}
// "=" of a value of the variable's own type (zs, czs, xs, bl, zf, kzf, zfc,
// string, lb, zd): what the typed store does for that pair, by releasing the
// old payload and moving the value's in. False, with nothing done, for every
// other pair (the caller takes the typed store).
inline bool storeOwnType(ScopeRecord* rec, ExprValue& value) {
  const int32_t code = rec->kind;
  if (value.type != code || !movesOwnType(code)) return false;
  // zfc and string keep a payload that is the value's own; lb and zd are
  // shared: the old holder goes first even when both are the same list (the
  // value carries a holder of its own)
  if (code >= VT_BYTES && (code >= VT_LIST || rec->payload.ptr != value.payload.ptr))
    releasePayload(code, rec->payload);
  moveOwnPayload(rec, value);
  return true;
}
// storeOwnType into a record whose payload is empty (one just pushed): there
// is nothing to release.
inline bool storeOwnTypeFresh(ScopeRecord* rec, ExprValue& value) {
  const int32_t code = rec->kind;
  if (value.type != code || !movesOwnType(code)) return false;
  moveOwnPayload(rec, value);
  return true;
}
void execDefvar(ExprVisitor& v, KorParser::DefvarContext* ctx);

namespace flow {

// ExprControl.cpp
// Runs the statement proper (the one child of a `statement`).
void runStatement(ExprVisitor& v, antlr4::tree::ParseTree* inner);
void execBlock(ExprVisitor& v, KorParser::BlockContext* ctx);
void execIf(ExprVisitor& v, KorParser::IfContext* ctx);
// Any node through the visitor, its result dropped.
void acceptNode(ExprVisitor& v, antlr4::tree::ParseTree* node);
// Value of any node through the visitor.
ExprValue visitValue(ExprVisitor& v, antlr4::tree::ParseTree* node);

// ExprCalls.cpp
// values: the compiled value expressions (an entry is null for a value that
// is not an expression), or null.
void execRetCode(ExprVisitor& v, KorParser::RetCodeContext* ctx,
                 const std::vector<cx::Node*>* values = nullptr);
// A compiled `fanhui` statement: the values through their compiled
// expressions (Stmt::conds).
void runReturnStatement(ExprVisitor& v, const cx::Stmt* s);
// `fanhui f(...);` (site: the call's site, found on the first run).
void execReturnCall(ExprVisitor& v, KorParser::ReturnCallFunContext* ctx,
                    callsupport::CallSite*& site);
// `a, b := f(...);` / `a, b = f(...);` (site as for execReturnCall).
void execWithRetCall(ExprVisitor& v, KorParser::WithRetCallFunContext* ctx,
                     callsupport::CallSite*& site);
// The handler of a call used as an expression (node of a callFunExpr): a
// script function called by name gets evalPlainCall; the node's site is set.
void choosePlainCall(cx::Node* n);
// A script function called by name for its one value: frame, arguments and
// value without the general path's layers, which it takes for every case
// the plain path does not fit.
ExprValue evalPlainCall(ExprVisitor& v, cx::Node* n);
// A call with its chained calls (evalCallExpr without the visit result).
void execCall(ExprVisitor& v, KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt,
              int flags);

// Value of an expression-like node (an expr, list, map or struct literal).
inline ExprValue evalNode(ExprVisitor& v, antlr4::tree::ParseTree* node) {
  if (ruleOf(node) == KorParser::RuleExpr)
    return evalExprFast(v, static_cast<KorParser::ExprContext*>(node));
  return visitValue(v, node);
}

// Value of a `rightvar` (argument, return value, loop collection); `kong`
// gives an empty cell.
inline ExprValue evalRightvar(ExprVisitor& v, antlr4::tree::ParseTree* rightvar) {
  antlr4::tree::ParseTree* inner = rightvar->children.empty() ? nullptr : rightvar->children[0];
  if (!inner || inner->children.empty()) return ExprValue();
  return evalNode(v, inner);
}

}  // namespace flow
