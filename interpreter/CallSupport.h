// Internal helpers shared by the user-function calls (ExprCalls.cpp) and the
// built-in method bridge (ExprMethods.cpp): the return channel between a call
// and its caller, pooled return lists, and per-run caches of call sites and
// function descriptions so that the hot call path does no string work.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "KorParser.h"
#include "runtime/scope.h"
#include "runtime/value.h"

struct FunctionRecord;
struct CachedName;
struct BuiltinMethod;
class ExprVisitor;
namespace cx {
struct Node;
struct Stmt;
}  // namespace cx

namespace callsupport {

// What a script function looks like to the call machinery, worked out once
// per run from its FunctionRecord.
struct FunctionInfo {
  FunctionRecord* record = nullptr;
  HashedName name;
  KorParser::BlockContext* body = nullptr;
  bool hasParams = false;
  std::vector<HashedName> paramNames;
  std::vector<QByteArray> paramWords;  // type words as declared
  std::vector<int32_t> paramTypes;     // ValueType codes (-1 unknown word)
  bool hasReturns = false;
  std::vector<HashedName> returnWords;  // declared return type words (record names)
  std::vector<int32_t> returnTypes;
  bool isEntry = false;  // "hs_rukou": may end without fanhui
  const cx::Stmt* compiledBody = nullptr;  // the body, compiled on the first call
};

// The targets of `a, b := f()` / `a, b = f()`, read once per statement.
struct ReceiverTargets {
  antlr4::ParserRuleContext* stmt = nullptr;  // the statement they were read from
  bool autoDefine = false;                    // `:=`
  std::vector<KorParser::Ret_idContext*> ids;
  std::vector<HashedName> texts;          // `:=`: the new variables' names
};

// The targets of a multiple-assignment statement as they are checked before
// its call, read once per statement.
struct TargetChecks {
  struct Target {
    KorParser::KorvarContext* var = nullptr;  // null for "_"
    cx::Node* name = nullptr;  // `=`: the variable's lookup (of a path: its variable)
    bool path = false;         // written with [] or `.`
    HashedName text;           // `:=`: the new variable's name
  };
  antlr4::ParserRuleContext* stmt = nullptr;  // the statement they were read from
  bool defines = false;                       // `:=`
  bool scriptCall = false;  // the values come from a script function (its messages)
  bool anyPath = false;     // `=` with a target written with [] or `.`
  bool namesFound = false;  // `=`: every target's variable was found once
  std::vector<KorParser::Ret_idContext*> ids;
  std::vector<Target> targets;
};

// What the check of a multiple assignment's targets found, kept while its
// call runs (the innermost statement's on top): each target's variable
// record and, for an element or member target, its index and key values.
struct CheckedTargets {
  static constexpr size_t kInline = 4;
  // the index and key values of the element and member targets
  struct Keys {
    std::vector<int32_t> first;  // per target: the position of its first key, or -1
    std::vector<ExprValue> values;
  };
  antlr4::ParserRuleContext* stmt = nullptr;
  CheckedTargets* outer = nullptr;
  size_t count = 0;
  ScopeRecord* recs[kInline];              // up to kInline targets (null for "_")
  std::unique_ptr<ScopeRecord*[]> more;    // more targets
  std::unique_ptr<Keys> keys;              // made for element and member targets
  ScopeRecord*& rec(size_t k) { return count <= kInline ? recs[k] : more[k]; }
};
extern CheckedTargets* checkedTargetsTop;

constexpr int8_t kDirectUnknown = -2;
constexpr int8_t kDirectNone = -1;

// A built-in method call (a member call or one call of a chain): what its
// first call resolved, reused while the receiver has the same type (and
// struct or named code). Resolution, the count check and every message stay
// with the general path, which fills this record when it succeeds.
struct MethodSite {
  BuiltinMethod* method = nullptr;  // null: nothing resolved yet
  int32_t type = 0;                 // the receiver it was resolved for
  int32_t detail = 0;
  bool addDefault = false;          // the default goes in for a left-out last argument
  int32_t defaultArg = 0;
  bool optionalWritten = false;     // a written optional last argument (must be an integer)
  // The arguments: every one compiled (argNodes), and whether one may run
  // script code (a plain call), which could assign the receiver's variable.
  bool argsKnown = false;
  bool argsCompiled = false;
  bool argsRunCode = true;
  // A receiver written with [] or `.`: whether reading it runs code (a call
  // or ++/-- in an index), -1 not known yet.
  int8_t pathRunsCode = -1;
  int32_t typeCode = -1;            // a type name receiver's code, once read
  // The quick form hands the method's direct form this many evaluated
  // arguments itself (kDirectNone: it does not; kDirectUnknown: not known
  // until the general path has run the call once more).
  int8_t directArgs = kDirectUnknown;
  // A chained call: its argument list and their compiled expressions.
  KorParser::ArgumentListContext* chainArgs = nullptr;
  std::vector<cx::Node*> chainArgNodes;
  // The targets of `a, b := x.m()` / `a, b = x.m()`, read once per statement.
  antlr4::ParserRuleContext* targetsStmt = nullptr;
  bool defines = false;                          // `:=`
  std::vector<KorParser::KorvarContext*> targetVars;  // null for "_"
  std::vector<HashedName> targetNames;           // `:=`: the new variables' names
  std::vector<cx::Node*> targetNodes;            // `=`: the targets' lookups
};

// One call expression (realCallFun), worked out on its first evaluation.
struct CallSite {
  KorParser::RealCallFunContext* call = nullptr;  // the call itself
  QByteArray name;  // VARNAME, or the method name of a member call
  uint64_t hash = 0;
  KorParser::ArgumentListContext* args = nullptr;
  KorParser::MemberFunAccessContext* member = nullptr;
  // member call: the receiver's variable path, null for a type or package name
  KorParser::KorvarContext* receiverPath = nullptr;
  std::vector<KorParser::MultiCallFunContext*> chain;
  std::vector<QByteArray> chainNames;  // method names of the chained calls
  FunctionInfo* target = nullptr;      // plain call: the function, found lazily
  QByteArray receiverText;             // member call: the funobj text
  QByteArray calledPartText;           // chained calls: owner text of the receivers
  int32_t line = 0;
  // Names of the call-stack markers ("line@name"), built on first use.
  QByteArray valueMarkerName;          // call through a callback
  QByteArray chainMarkerName;          // "line@链式执行"
  std::vector<QByteArray> chainMarkerNames;  // "line@method" per chained call
  QByteArray callText;                 // the whole call as written
  // The argument expressions, compiled on the first call (null: an argument
  // that is not an expression).
  bool argsCompiled = false;
  std::vector<cx::Node*> argNodes;
  // `fanhui f(...);`: the function whose return form this call was last found
  // to fit (checked again while callbacks may stand for the name).
  const FunctionInfo* forwardFits = nullptr;
  // Whether the calls of a call expression (flow::evalPlainCall) or a call
  // statement (execCallStatementAt) take the plain path, -1 while not decided.
  int8_t plain = -1;
  ReceiverTargets receivers;  // a call statement with targets
  TargetChecks checks;        // the same, as checked before the call
  cx::Node* receiverNode = nullptr;  // member call: a plain receiver name's lookup
  MethodSite method;                 // member call: the method's resolution
  // A member call on a plain variable whose arguments run no script code:
  // once the general path has run it, later calls take the quick form
  // (quickMember... / evQuick...), which falls back to the general path
  // whenever its guard does not hold. -1: not known yet.
  int8_t quick = -1;
  std::vector<MethodSite> chainMethods;  // chained calls: theirs
};

// The targets of a `a, b = f()` statement (a WithRetCallFun context: its
// first child is the fun_ret), or null for any other statement. Told apart
// by the exact class, which no other context derives from.
inline KorParser::Fun_retContext* withRetTargets(antlr4::ParserRuleContext* stmt) {
  if (!stmt || typeid(*stmt) != typeid(KorParser::WithRetCallFunContext) || stmt->children.empty())
    return nullptr;
  antlr4::tree::ParseTree* first = stmt->children[0];
  if (first->children.empty() ||
      static_cast<antlr4::RuleContext*>(first)->getRuleIndex() != KorParser::RuleFun_ret)
    return nullptr;
  return static_cast<KorParser::Fun_retContext*>(first);
}

// The targets of `a, b = f()` in order, read from the children without the
// generated accessors (which cast every child).
inline void retIdsOf(KorParser::Fun_retContext* targets, std::vector<KorParser::Ret_idContext*>& out) {
  out.clear();
  for (antlr4::tree::ParseTree* child : targets->children)
    if (!child->children.empty() &&
        static_cast<antlr4::RuleContext*>(child)->getRuleIndex() == KorParser::RuleRet_id)
      out.push_back(static_cast<KorParser::Ret_idContext*>(child));
}
// The variable path of a target, or null for "_".
inline KorParser::KorvarContext* retIdVariable(KorParser::Ret_idContext* id) {
  antlr4::tree::ParseTree* first = id->children.empty() ? nullptr : id->children[0];
  if (!first || first->children.empty()) return nullptr;  // the token "_"
  return static_cast<KorParser::KorvarContext*>(first);
}

// What was found for target k of the multiple assignment `stmt` when its
// targets were checked before the call: the variable's record and an
// element or member target's index and key values (null: not checked, find
// and evaluate them now).
struct CheckedTarget {
  ScopeRecord* rec = nullptr;
  const ExprValue* keys = nullptr;
};
inline CheckedTarget checkedTarget(antlr4::ParserRuleContext* stmt, size_t k) {
  CheckedTarget found;
  CheckedTargets* top = checkedTargetsTop;
  if (top == nullptr || top->stmt != stmt || k >= top->count) return found;
  found.rec = top->rec(k);
  if (top->keys && top->keys->first[k] >= 0)
    found.keys = top->keys->values.data() + top->keys->first[k];
  return found;
}
// Stores a value (released) that a call gives target k of the statement
// `stmt`, at the place checked before the call.
void storeCallResult(ExprVisitor& v, antlr4::ParserRuleContext* stmt, size_t k,
                     KorParser::KorvarContext* target, ExprValue* value);

// Call-site entry of a call context (created on first use).
CallSite& callSite(KorParser::RealCallFunContext* call);
// A call used as an expression, its site already found: its first value.
ExprValue evalCallValueAt(ExprVisitor& v, KorParser::CallFunExprContext* ctx, CallSite& site);
// The chained calls of a site, run on the first value of the call before
// them (ExprMethods.cpp); `flags` include CALL_CHAINED.
void runChain(ExprVisitor& v, KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt,
              CallSite& site, int flags);
// The call of a statement `f(...);` with its site already found.
void execCallStatementAt(ExprVisitor& v, KorParser::RealCallFunContext* call, CallSite& site);
// Function description by name; null when no such function is registered.
FunctionInfo* functionInfo(const QByteArray& name);

// Forgets the call-site and function caches of the previous run. The run
// driver calls it when a run starts, before any parse tree of the run exists.
void resetCallCaches();

// The nearest function frame: the innermost script call, or the frame found
// on the scope stack (the run driver's wrapper), or null at the top level.
ScopeRecord* nearestFrame();
// Declared return types of the current function (null when it declares none).
const FunctionInfo* currentFunctionInfo();

// The return slot of the nearest frame (a slot of its own at the top level).
ReturnList* callerReturnSlot();
// Stores a list in that slot; a list already there is released first.
void setCallerReturn(ReturnList* list);
// Takes the list out of that slot (the slot is cleared).
ReturnList* takeCallerReturn();

// Pooled return lists.
ReturnList* newReturnList();
// Releases every record (payload freed, record recycled) and recycles the list.
void releaseReturnList(ReturnList* list);
// Recycles an empty list (its records have been taken over).
void recycleReturnList(ReturnList* list);

// A fresh pooled record holding the value: kind = the value's type, payload
// moved out of the value.
ScopeRecord* recordFromValue(ExprValue& value, const HashedName* name);

// The built-in method bridge (ExprMethods.cpp) with the method name already
// in bytes: resolves, checks, pushes the operands, invokes, delivers results.
// `site` (optional) keeps the resolution for the next call; `holds` tells
// whether the receiver holds a shared reference that the call releases;
// `readLate`, when given, is the variable whose value the method takes once
// the arguments have run (they may have assigned it).
void callBuiltinCall(ExprVisitor& v, antlr4::ParserRuleContext* call,
                     antlr4::ParserRuleContext* stmt, ExprValue receiver, const QByteArray& name,
                     KorParser::ArgumentListContext* args, int flags,
                     const std::vector<cx::Node*>* argNodes = nullptr, MethodSite* site = nullptr,
                     bool holds = true, ScopeRecord* readLate = nullptr);

// A member call `x.m(...)` (ExprMethods.cpp): builds the receiver and calls
// the bridge.
void callMemberCall(ExprVisitor& v, KorParser::RealCallFunContext* call, CallSite& site,
                    antlr4::ParserRuleContext* stmt, int flags);
// The quick forms of a member call whose site has `quick` set: the call as
// an expression (a node handler), as a statement `x.m(...);` and
// as `a, b = x.m(...);` / `a, b := x.m(...);` (`stmt`). Each runs the call
// as the general path would when the receiver variable holds a value of the
// type (and struct code) the site was resolved for, of a kind the method
// acts on in place; false, with nothing done, otherwise.
// The node handlers (n->site set): a call without and with a chain.
ExprValue evQuickMember(ExprVisitor& v, cx::Node* n);
ExprValue evQuickChain(ExprVisitor& v, cx::Node* n);
bool quickMemberStatement(ExprVisitor& v, CallSite& site);
bool quickMemberTargets(ExprVisitor& v, CallSite& site, antlr4::ParserRuleContext* stmt);

// The first value of the built-in call that just ran under CALL_DIRECT, moved
// out (its other values are released already); false when the call left its
// values in the return slot instead.
extern ExprValue directMethodValue;
extern bool directMethodValueSet;
inline bool takeDirectMethodValue(ExprValue& out) {
  if (!directMethodValueSet) return false;
  directMethodValueSet = false;
  out = directMethodValue;
  return true;
}

// Gives a pooled record a name; records reused for the same name keep it.
inline void setRecordName(ScopeRecord* rec, const HashedName& name) {
  if (!rec->name.bytes().isSharedWith(name.bytes())) rec->name = name;
}

// Message helpers (error paths only).
inline QString qtext(antlr4::tree::ParseTree* ctx) {
  return ctx ? QString::fromStdString(ctx->getText()) : QString();
}
inline QString qbytes(const QByteArray& b) { return utf8ToString(b); }

}  // namespace callsupport

namespace flow {
void compileArguments(ExprVisitor& v, callsupport::CallSite& site);
// The argument expressions of a list, compiled in order (null: an argument
// that is not an expression).
void compileArgumentList(ExprVisitor& v, KorParser::ArgumentListContext* args,
                         std::vector<cx::Node*>& out);
void execCallAt(ExprVisitor& v, KorParser::RealCallFunContext* call, callsupport::CallSite& site,
                antlr4::ParserRuleContext* stmt, int flags);
}  // namespace flow
