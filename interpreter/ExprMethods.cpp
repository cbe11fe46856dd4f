// Built-in and member method calls: the bridge between the evaluator and the
// method registry.
//
// For one call the bridge gathers in a BuiltinCall the argument cells (first
// first, plus the default of a left-out optional last argument), the receiver
// cell and the method name as written; the handler appends its results. The
// bridge then hands the results to the caller (the expression's direct value,
// the return slot or the targets of `a, b := x.m()`) and releases every cell
// of the call, also when it fails. Each call site keeps what its first call
// resolved (MethodSite), guarded by the receiver's type; any other receiver
// goes through the general resolution again.
#include "ExprVisitor.h"

#include <QString>

#include "CallSupport.h"
#include "Compiled.h"
#include "ExprOperands.h"
#include "FlowSupport.h"
#include "TypedStore.h"
#include "builtins/BuiltinRegistry.h"
#include "runtime/errors.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/type_words.h"
#include "runtime/value.h"
#include "runtime/value_ops.h"

using namespace callsupport;

bool flow::partRunsCode(antlr4::tree::ParseTree* part, bool anyEffect) {
  if (!part) return false;
  std::vector<antlr4::tree::ParseTree*> pending{part};
  while (!pending.empty()) {
    antlr4::tree::ParseTree* node = pending.back();
    pending.pop_back();
    if (dynamic_cast<KorParser::RealCallFunContext*>(node) != nullptr && !node->children.empty() &&
        (anyEffect || node->children[0]->children.empty()))
      return true;
    if (anyEffect && dynamic_cast<KorParser::KorAutoAddSubContext*>(node) != nullptr) return true;
    for (antlr4::tree::ParseTree* child : node->children) pending.push_back(child);
  }
  return false;
}

namespace {

QString textOf(antlr4::tree::ParseTree* ctx) { return qtext(ctx); }

// Evaluated argument values, side by side: the first few in place (made as
// they are added), all of them in `more` once there are more.
struct ArgValues {
  static constexpr int kLocal = 6;
  alignas(ExprValue) unsigned char raw[sizeof(ExprValue) * kLocal];
  std::vector<ExprValue>* more = nullptr;  // made on the first value past kLocal
  int count = 0;
  // The first value is a variable's own (borrowed, not released here).
  bool firstBorrowed = false;

  ArgValues() = default;
  ~ArgValues() { delete more; }
  ArgValues(const ArgValues&) = delete;
  ArgValues& operator=(const ArgValues&) = delete;

  ExprValue* local() { return reinterpret_cast<ExprValue*>(raw); }
  ExprValue& add() {
    if (count < kLocal) return *new (local() + count++) ExprValue();
    return addMore();
  }
  KOR_NOINLINE ExprValue& addMore() {
    if (!more) more = new std::vector<ExprValue>();
    if (count == kLocal) more->assign(local(), local() + kLocal);
    ++count;
    more->emplace_back();
    return more->back();
  }
  ExprValue* data() { return count <= kLocal ? local() : more->data(); }
  ExprValue& at(int i) { return data()[i]; }
  // Releases every value (numbers, booleans and characters own nothing).
  void releaseAll() {
    ExprValue* a = data();
    for (int i = firstBorrowed ? 1 : 0; i < count; ++i)
      if (uint32_t(a[i].type) > uint32_t(VT_WCHAR)) freeValue(a[i]);
    count = 0;
    firstBorrowed = false;
    if (more) more->clear();
  }
  // A borrowed first value becomes a copy of its own.
  void ownFirst() {
    if (!firstBorrowed) return;
    at(0) = copyValue(at(0), false);
    firstBorrowed = false;
  }
};

// The single argument of a method that only reads it: a plain variable
// holding a zfc is handed over as the variable's own value (nothing else
// runs before the handler); every other argument is evaluated.
// Returns whether the value in `out` is borrowed.
KOR_ALWAYS_INLINE bool readOnlyArgument(ExprVisitor& v, cx::Node* node, ExprValue& out) {
  if (node->eval == cx::evVarPlain) {
    ScopeRecord* rec = cx::findNamed(node, node->var);
    if (rec->kind == VT_BYTES && rec->payload.bytes != nullptr) {
      out = rec->asValue();
      return true;
    }
  }
  out = cx::eval(v, node);
  return false;
}
inline void addReadOnlyArgument(ExprVisitor& v, cx::Node* node, ArgValues& argv) {
  argv.firstBorrowed = readOnlyArgument(v, node, argv.add());
}

// Releases argument cells (a borrowed first one stays its variable's).
KOR_ALWAYS_INLINE void releaseCells(ExprValue* a, int n, bool firstBorrowed) {
  for (int i = firstBorrowed ? 1 : 0; i < n; ++i)
    if (uint32_t(a[i].type) > uint32_t(VT_WCHAR)) freeValue(a[i]);
}

// ---- error paths ----

KOR_FAIL void failCount(antlr4::ParserRuleContext* call, const QByteArray& name, int form,
                        int a, int b, int n) {
  const int line = scopedLineOfContext(call);
  switch (form) {
    case 0:
      raiseScriptError(
          fillMessage(QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数和其定义无法匹配！函数 "
                                     "%3 最多需要 %4个参数! 这里却给了 %5 个参数"),
                      line, textOf(call), qbytes(name), 0, n));
    case 1:
      raiseScriptError(
          fillMessage(QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数和其定义无法匹配！%3 "
                                     "可接受 %4 个函数！\n调用却给了 %5 个参数！"),
                      line, textOf(call), qbytes(name), QString::number(a), 0));
    case 2:
      raiseScriptError(fillMessage(
          QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数个数和其定义无法匹配！函数%3 "
                         "可接收 %4-%5 个参数！这里却给了 %6 个参数！"),
          line, textOf(call), qbytes(name), a, b, n));
    default:
      raiseScriptError(fillMessage(
          QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数个数和其定义无法匹配！函数%3 "
                         "最多接收 %4 个参数！这里却给了 %5 个参数！"),
          line, textOf(call), qbytes(name), a, n));
  }
}

KOR_FAIL void failArgumentForm(antlr4::ParserRuleContext* call, const QByteArray& name,
                               antlr4::tree::ParseTree* arg) {
  raiseScriptError(
      fillMessage(QStringLiteral("错误：行号 %1 语句 %2 函数 %3 不能使用函数或回调函数 %4做参数！"),
                  scopedLineOfContext(call), textOf(call), qbytes(name), textOf(arg)));
}

KOR_FAIL void failOptionalType(antlr4::ParserRuleContext* call, const QByteArray& name) {
  raiseScriptError(
      fillMessage(QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数类型和其定义无法匹配！"),
                  scopedLineOfContext(call), textOf(call), qbytes(name)));
}

KOR_FAIL void failNoResult(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt,
                           const QByteArray& name, int form, KorParser::Fun_retContext* targets) {
  const int line = scopedLineOfContext(call);
  if (form == 0)
    raiseScriptError(fillMessage(
        QStringLiteral("错误： 行 %1 语句 %2 函数 %3 没有返回值，无法继续后续的链式调用，请检查！"),
        line, textOf(stmt ? stmt : call), qbytes(name)));
  if (form == 1)
    raiseScriptError(fillMessage(
        QStringLiteral("错误： 行 %1 语句 %2 函数 %3 没有返回值，无法给变量 %4 进行赋值，请检查！"),
        line, textOf(stmt), qbytes(name), textOf(targets)));
  raiseScriptError(fillMessage(
      QStringLiteral("错误： 行 %1 语句 %2 函数 %3 没有返回值，而该调用函数却需要返回值，请检查！"),
      line, textOf(call), qbytes(name)));
}

// The number of written arguments against the method's list. For an
// optional last argument, returns through `addDefault` whether its default
// goes in its place.
KOR_NOINLINE void checkArgCount(antlr4::ParserRuleContext* call,
                                             const QByteArray& name, const BuiltinMethod* method,
                                             bool written, int n, bool* addDefault,
                                             int32_t* defaultArg) {
  const std::vector<int32_t>* L = method->argTypes;
  *addDefault = false;
  if (!L || L->empty()) {
    if (n > 0) failCount(call, name, 0, 0, 0, n);
    return;
  }
  const int32_t last = L->back();
  if (!written) {
    if (last != BA_OPTIONAL_LAST && last != BA_RANGE) failCount(call, name, 1, int(L->size()), 0, 0);
  } else if (last == BA_OPTIONAL_LAST) {
    const int k = int(L->size()) - 1;
    if (n != k && n != k - 1) failCount(call, name, 3, k, 0, n);
  } else if (last == BA_RANGE) {
    const int lo = L->size() >= 3 ? (*L)[0] : 0;
    const int hi = L->size() >= 3 ? (*L)[1] : 0;
    if (n < lo || n > hi) failCount(call, name, 2, lo, hi, n);
  } else if (n != int(L->size())) {
    failCount(call, name, 3, int(L->size()), 0, n);
  }
  // [T1, ..., D, -100] with the last argument left out: D goes in its place.
  if (last == BA_OPTIONAL_LAST && L->size() >= 2 && n == int(L->size()) - 2) {
    *addDefault = true;
    *defaultArg = (*L)[L->size() - 2];
  }
}


// The receivers of which the call may hold a share (the others' release
// does nothing).
inline bool sharesHeld(int32_t type) {
  return type == VT_LIST || type == VT_DICT || type == VT_FILE || type == VT_EXCEL;
}

// Releases every cell of the call in the order they were gathered: the
// arguments, then the receiver (which only drops the shared reference it
// holds, if it holds one), then the results from `firstResult` on.
KOR_ALWAYS_INLINE void releaseCall(ArgValues& argv, ExprValue& receiver, bool holds, BuiltinCall& frame,
                        int firstResult) {
  if (argv.count > 0) argv.releaseAll();
  if (holds && sharesHeld(receiver.type)) releaseSharedValue(receiver);
  if (frame.resultCount > firstResult) frame.releaseResults(firstResult);
}

// Whether the targets are defined (`a, b := x.m()`): the children are
// ret_id (',' ret_id)* ':='? '=', so the one before the last is a token
// exactly when it is ':='.
bool definesTargets(KorParser::Fun_retContext* targets) {
  const std::vector<antlr4::tree::ParseTree*>& ch = targets->children;
  return ch.size() >= 2 && ch[ch.size() - 2]->children.empty();
}

// Values are taken by an expression, a multiple assignment or a chained
// call, but not by the last call of a chain that stands as a statement.
KOR_ALWAYS_INLINE bool valuesTaken(int flags) {
  return (flags & (CALL_VALUE | CALL_CHAINED)) != 0 &&
         (flags & (CALL_LAST_CHAINED | CALL_STATEMENT)) != (CALL_LAST_CHAINED | CALL_STATEMENT);
}
KOR_ALWAYS_INLINE bool chainedNotLast(int flags) {
  return (flags & CALL_CHAINED) && !(flags & CALL_LAST_CHAINED);
}
// An expression, or a chained call before the last, taking the first value
// at once (the others go with the call).
KOR_ALWAYS_INLINE bool firstTakenAtOnce(int flags, antlr4::ParserRuleContext* stmt) {
  return valuesTaken(flags) && (chainedNotLast(flags) ? (flags & CALL_CHAIN_DIRECT) != 0
                                                      : (flags & CALL_DIRECT) != 0 && stmt == nullptr);
}

// Reads the targets of a statement into the site (once per statement).
KOR_NOINLINE void readMethodTargets(KorParser::Fun_retContext* targets,
                                    antlr4::ParserRuleContext* stmt, MethodSite& site) {
  site.targetsStmt = nullptr;
  site.defines = definesTargets(targets);
  site.targetVars.clear();
  site.targetNames.clear();
  site.targetNodes.clear();
  for (antlr4::tree::ParseTree* child : targets->children) {
    if (child->children.empty()) continue;
    auto* id = static_cast<KorParser::Ret_idContext*>(child);
    KorParser::KorvarContext* kv = retIdVariable(id);
    site.targetVars.push_back(kv);
    if (kv && site.defines)
      site.targetNames.emplace_back(QByteArray::fromStdString(id->getText()));
    else
      site.targetNames.emplace_back();
    // a plain name's lookup; an element or member is stored through its path
    site.targetNodes.push_back(kv && !site.defines && kv->children.size() == 1 ? cx::compileName(kv)
                                                                              : nullptr);
  }
  site.targetsStmt = stmt;
}

// A result for an element or member target (`a[i], n = x.m()`), stored as a
// script function's results are: at the place checked before the call, the
// value converted to the place's type, a refused value ending the run. The
// cell is consumed.
KOR_NOINLINE void storeResultAtPath(antlr4::ParserRuleContext* stmt, size_t k,
                                    KorParser::KorvarContext* target, ExprValue* cell) {
  ExprVisitor v;  // (the evaluator keeps no state of its own)
  storeCallResult(v, stmt, k, target, cell);
}

// The handler's results for the targets of `a, b := x.m()` / `a, b = x.m()`
// (`targets` may be null when the site has read them for this statement).
// `resultAt(k)` gives the k-th of `count` results; each one a target takes
// is moved out of its cell.
template <class Results>
void assignResults(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt,
                   const QByteArray& name, KorParser::Fun_retContext* targets, int count,
                   Results resultAt, MethodSite& site) {
  if (site.targetsStmt != stmt) readMethodTargets(targets, stmt, site);
  const size_t idCount = site.targetVars.size();
  if (idCount != size_t(count))
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 函数 %3 返回值个数与函数定义形式不匹配 ！"),
        scopedLineOfContext(call), textOf(call), qbytes(name)));
  for (size_t k = 0; k < idCount; ++k) {
    ExprValue* cell = &resultAt(int(k));
    if (!site.targetVars[k]) continue;  // "_"
    if (!site.defines) {
      cx::Node* plain = site.targetNodes[k];
      if (!plain) {
        storeResultAtPath(stmt, k, site.targetVars[k], cell);
        continue;
      }
      // a value that does not fit the variable ends the run, as a script
      // function's does
      ScopeRecord* rec = checkedTarget(stmt, k).rec;
      if (!rec) rec = cx::findNamed(plain, stmt);
      if (!storeOwnType(rec, *cell) && storeToRecord(rec, cell, stmt, true, 0) < 0)
        failRefusedStore(site.targetVars[k], rec, *cell);
    } else {
      const HashedName& text = site.targetNames[k];
      if (definedInCurrentBlock(text))
        raiseScriptError(fillMessage(
            QStringLiteral("错误：行号 %1 语句 %2 变量 %3 已经在当前作用域中存在，不能重复使用 := "
                           "符号自动创建该变量 "),
            scopedLineOfContext(call), textOf(stmt), qbytes(text)));
      scopeStack()->push_back(recordFromValue(*cell, &text));
    }
  }
}

// Hands the results to the caller. Returns the first result still to be
// released.
int deliverResults(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt,
                   const QByteArray& name, BuiltinCall& frame, int flags, MethodSite& site) {
  const int resultCount = frame.resultCount;
  if (!valuesTaken(flags)) return 0;
  // (a first value taken at once never comes here: the callers take it)
  const bool notLast = chainedNotLast(flags);
  if (resultCount > 0) {
    if (!stmt || notLast) {
      ReturnList* list = newReturnList();
      for (int i = 0; i < resultCount; ++i) list->push_back(recordFromValue(frame.result(i), nullptr));
      setCallerReturn(list);
      return resultCount;
    }
    // the targets read for this statement before, or those of a new one
    auto resultAt = [&frame](int k) -> ExprValue& { return frame.result(k); };
    if (stmt == site.targetsStmt)
      assignResults(call, stmt, name, nullptr, resultCount, resultAt, site);
    else if (KorParser::Fun_retContext* targets = withRetTargets(stmt))
      assignResults(call, stmt, name, targets, resultCount, resultAt, site);
    // A statement without targets drops the results.
    return 0;
  }
  KorParser::Fun_retContext* targets = withRetTargets(stmt);
  if (notLast) failNoResult(call, stmt, name, 0, nullptr);
  if (targets) failNoResult(call, stmt, name, 1, targets);
  if (flags & CALL_VALUE) failNoResult(call, stmt, name, 2, nullptr);
  return 0;
}

// A direct form's results (or none) handed over as deliverResults hands a
// handler's: straight to the statement's targets read before, else in a
// frame of its own; released once delivered.
KOR_NOINLINE void deliverDirectResult(antlr4::ParserRuleContext* call,
                                      antlr4::ParserRuleContext* stmt, const QByteArray& name,
                                      int flags, MethodSite& site, ExprValue* results,
                                      int count) {
  // results for the statement's targets read before go straight to them
  if (valuesTaken(flags) && count > 0 && stmt != nullptr && stmt == site.targetsStmt &&
      !chainedNotLast(flags)) {
    try {
      assignResults(call, stmt, name, nullptr, count,
                    [results](int k) -> ExprValue& { return results[k]; }, site);
    } catch (...) {
      for (int i = 0; i < count; ++i) freeValue(results[i]);
      throw;
    }
    for (int i = 0; i < count; ++i) freeValue(results[i]);
    return;
  }
  BuiltinCall frame;
  for (int i = 0; i < count; ++i) frame.addResult(results[i]);
  int firstResult = 0;
  try {
    firstResult = deliverResults(call, stmt, name, frame, flags, site);
  } catch (...) {
    frame.releaseResults(0);
    throw;
  }
  if (frame.resultCount > firstResult) frame.releaseResults(firstResult);
}

// Receivers that the method uses in place without holding them: an argument
// that assigns their variable releases them.
inline bool receiverHeldByVariableOnly(int32_t type) {
  return type == VT_STRUCT || type == VT_BYTES || type == VT_STRING || type == VT_TIME;
}

// Receivers whose plain variable lends the method its own value: the shared
// ones (list, dict, file, workbook) and those used in place.
inline bool receiverLent(int32_t type) {
  return sharesHeld(type) || receiverHeldByVariableOnly(type);
}

// The general resolution of a call: the method for the receiver, the count
// check and what the site keeps of them (which follow from the method, as
// the site's arguments are fixed).
KOR_NOINLINE void resolveCall(antlr4::ParserRuleContext* call, const ExprValue& receiver,
                              const QByteArray& name, KorParser::ArgumentListContext* args,
                              MethodSite& site) {
  site.method = nullptr;
  site.directArgs = kDirectUnknown;
  BuiltinMethod* method = resolveBuiltinMethod(receiver, name, call);
  int n = 0;
  if (args)
    for (antlr4::tree::ParseTree* child : args->children)
      if (!child->children.empty()) ++n;
  bool addDefault = false;
  int32_t defaultArg = 0;
  checkArgCount(call, name, method, args != nullptr, n, &addDefault, &defaultArg);
  const std::vector<int32_t>* L = method->argTypes;
  site.addDefault = addDefault;
  site.defaultArg = defaultArg;
  site.optionalWritten =
      L && L->size() >= 2 && L->back() == BA_OPTIONAL_LAST && n == int(L->size()) - 1;
  site.type = receiver.type;
  site.detail = builtinReceiverDetail(receiver);
  site.method = method;
}

// Evaluates the arguments, left to right (`kong` stays an empty cell).
KOR_NOINLINE void evalArguments(ExprVisitor& v, antlr4::ParserRuleContext* call, const QByteArray& name,
                   KorParser::ArgumentListContext* args, const std::vector<cx::Node*>* argNodes,
                   ArgValues& argv) {
  size_t k = 0;
  for (antlr4::tree::ParseTree* child : args->children) {
    if (child->children.empty()) continue;
    cx::Node* node = argNodes && k < argNodes->size() ? (*argNodes)[k] : nullptr;
    ++k;
    antlr4::tree::ParseTree* rv = child->children[0];
    if (!rv || rv->children.empty()) failArgumentForm(call, name, child);
    antlr4::tree::ParseTree* inner = rv->children[0];
    ExprValue& slot = argv.add();
    if (node)
      slot = cx::eval(v, node);
    else if (!inner->children.empty())
      slot = flow::evalNode(v, inner);
  }
}

KOR_ALWAYS_INLINE void finishBuiltinCall(antlr4::ParserRuleContext* call,
                                         antlr4::ParserRuleContext* stmt, ExprValue& receiver,
                                         const QByteArray& name, int flags, MethodSite& ms,
                                         bool holds, ArgValues& argv, ExprValue* direct);

// The arguments a quick call hands the method's direct form straight from
// their compiled expressions (see MethodSite::directArgs): the written ones,
// all compiled, at most kDirectArgs with the default; kDirectNone when the
// method has no direct form or the call does not fit. A written optional
// last argument is handed over too: a direct form takes only an integer
// there, and the bridge checks anything it leaves.
constexpr int kDirectArgs = 2;
KOR_NOINLINE int8_t directArgCount(const MethodSite& ms, KorParser::ArgumentListContext* args,
                                   const std::vector<cx::Node*>* argNodes) {
  if (!ms.method->direct) return kDirectNone;
  int n = 0;
  if (args)
    for (antlr4::tree::ParseTree* child : args->children)
      if (!child->children.empty()) ++n;
  if (n > 0 && (!ms.argsCompiled || int(argNodes->size()) != n)) return kDirectNone;
  if (n + (ms.addDefault ? 1 : 0) > kDirectArgs) return kDirectNone;
  return int8_t(n);
}

// The bridge proper (callBuiltinCall), made part of its two callers.
//
// `quick`: the caller has checked the receiver against the site's resolution
// (so the site has run before and knows its arguments). `direct`: where the
// first value goes when the expression takes it at once; null for
// directMethodValue.
KOR_ALWAYS_INLINE void runBuiltinCall(ExprVisitor& v, antlr4::ParserRuleContext* call,
                                      antlr4::ParserRuleContext* stmt, ExprValue& receiver,
                                      const QByteArray& name, KorParser::ArgumentListContext* args,
                                      int flags, const std::vector<cx::Node*>* argNodes,
                                      MethodSite& ms, bool holds, ScopeRecord* readLate,
                                      KorParser::KorvarContext* latePath = nullptr,
                                      bool quick = false, ExprValue* direct = nullptr) {
  ArgValues argv;
  BuiltinMethod* method = ms.method;
  try {
    if (!quick &&
        (!method || ms.type != receiver.type || ms.detail != builtinReceiverDetail(receiver))) {
      resolveCall(call, receiver, name, args, ms);
      method = ms.method;
    }
    if (!quick && !ms.argsKnown) {
      ms.argsCompiled = args && argNodes && !argNodes->empty();
      if (ms.argsCompiled)
        for (cx::Node* node : *argNodes)
          if (!node) ms.argsCompiled = false;
      ms.argsKnown = true;
    }
    if (ms.argsCompiled) {
      if (method->readsArgsOnly && argNodes->size() == 1)
        addReadOnlyArgument(v, argNodes->front(), argv);
      else
        for (cx::Node* node : *argNodes) argv.add() = cx::eval(v, node);
    } else if (args) {
      evalArguments(v, call, name, args, argNodes, argv);
    }
    if (readLate) {
      receiver.type = readLate->kind;
      receiver.payload = readLate->payload;
    } else if (latePath) {
      const ExprValue fresh = readVariable(v, latePath, true);
      receiver.type = fresh.type;
      receiver.payload = fresh.payload;
    }
    // The same call reached again while the arguments ran (through a script
    // function) may have resolved the site for another receiver: the site is
    // resolved for this one again.
    if (ms.method != method ||
        ((readLate || latePath) &&
         (ms.type != receiver.type || ms.detail != builtinReceiverDetail(receiver)))) {
      resolveCall(call, receiver, name, args, ms);
      method = ms.method;
      if (!method->readsArgsOnly) argv.ownFirst();
    }
    if (ms.directArgs == kDirectUnknown) ms.directArgs = directArgCount(ms, args, argNodes);
  } catch (...) {
    argv.releaseAll();
    if (holds) releaseSharedValue(receiver);
    throw;
  }
  finishBuiltinCall(call, stmt, receiver, name, flags, ms, holds, argv, direct);
}

// The direct form's first result handed to the caller as the handler's
// would be: true when taken at once by the expression (or chain); a second
// result then goes with the call.
KOR_ALWAYS_INLINE bool takeDirectResult(int flags, antlr4::ParserRuleContext* stmt, int r,
                                        ExprValue* result, ExprValue* direct) {
  if (r > 0 && firstTakenAtOnce(flags, stmt)) {
    ExprValue& taken = direct ? *direct : directMethodValue;
    taken = result[0];
    taken.owner = nullptr;
    if (!direct) directMethodValueSet = true;
    if (r > 1) freeValue(result[1]);
    return true;
  }
  return false;
}

// Whether the call needs deliverDirectResult: a result not taken at once, or
// none where one is wanted.
KOR_ALWAYS_INLINE bool directNeedsDelivery(int flags, int r) {
  return r > 0 || valuesTaken(flags);
}

// The rest of a call once its arguments are in `argv`: the optional
// argument's check and default, then the direct form or the handler, the
// results' delivery and the release of every cell.
KOR_ALWAYS_INLINE void finishBuiltinCall(antlr4::ParserRuleContext* call,
                                         antlr4::ParserRuleContext* stmt, ExprValue& receiver,
                                         const QByteArray& name, int flags, MethodSite& ms,
                                         bool holds, ArgValues& argv, ExprValue* direct) {
  BuiltinMethod* method = ms.method;
  // A written optional last argument must be an integer.
  if (ms.optionalWritten) {
    const int32_t t = argv.at(argv.count - 1).type;
    if (t != VT_INT && t != VT_LONG) {
      argv.releaseAll();
      if (holds) releaseSharedValue(receiver);
      failOptionalType(call, name);
    }
  }

  if (ms.addDefault) argv.add() = makeIntValue(ms.defaultArg);
  // The method's direct form, when it has one and takes the call: its
  // results go where the handler's would go.
  if (method->direct) {
    DirectResults results;
    ExprValue* result = results.cells();
    const int r = method->direct(receiver, argv.data(), argv.count, result);
    if (r >= 0) {
      if (!takeDirectResult(flags, stmt, r, result, direct) && directNeedsDelivery(flags, r)) {
        try {
          deliverDirectResult(call, stmt, name, flags, ms, result, r);
        } catch (...) {
          if (argv.count > 0) argv.releaseAll();
          if (holds && sharesHeld(receiver.type)) releaseSharedValue(receiver);
          throw;
        }
      }
      if (argv.count > 0) argv.releaseAll();
      if (holds && sharesHeld(receiver.type)) releaseSharedValue(receiver);
      return;
    }
  }
  BuiltinCall frame;
  frame.args = argv.data();
  frame.argc = argv.count;
  frame.receiver = &receiver;
  frame.name = &name;
  int firstResult = 0;
  try {
    {
      BuiltinCallScope current(&frame);
      if (!builtinArgsReady(method, frame.args, frame.argc)) {
        argv.ownFirst();  // the check may convert the arguments in place
        checkBuiltinArgs(call, name, method);
      }
      method->handler(method, call);
    }
    if (frame.resultCount > 0 && firstTakenAtOnce(flags, stmt)) {
      ExprValue& taken = direct ? *direct : directMethodValue;
      taken = frame.result(0);
      taken.owner = nullptr;
      if (!direct) directMethodValueSet = true;
      firstResult = 1;
    } else {
      firstResult = deliverResults(call, stmt, name, frame, flags, ms);
    }
  } catch (...) {
    releaseCall(argv, receiver, holds, frame, 0);
    throw;
  }
  releaseCall(argv, receiver, holds, frame, firstResult);
}

// ---- chained calls ----

// The first value of the call before a chained call: left by a built-in
// call, or in the return slot (the others are released). False when there
// is none.
bool takeChainValue(ExprValue& out) {
  if (takeDirectMethodValue(out)) return true;
  ReturnList* list = takeCallerReturn();
  if (!list || list->empty()) {
    recycleReturnList(list);
    return false;
  }
  ScopeRecord* first = list->front();
  out = ExprValue();
  out.type = first->kind;
  out.payload = first->payload;
  first->payload.i64 = 0;
  releaseReturnList(list);
  return true;
}

// The value the next method of a chain runs on, owned by the chain until
// that call ends.
struct ChainValue {
  ExprValue value;
  bool set = false;
  ~ChainValue() {
    if (set) freeValue(value);
  }
};

// The texts of chained calls [from, to) as written.
QString chainText(const CallSite& site, size_t from, size_t to) {
  QString s;
  for (size_t j = from; j < to; ++j) s += qtext(site.chain[j]);
  return s;
}
QString chainStatementText(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt) {
  return qtext(stmt ? stmt : call);
}

KOR_FAIL void failChainNoValue(KorParser::RealCallFunContext* call, const CallSite& site) {
  raiseScriptError(fillMessage(
      QStringLiteral(
          "错误：行号 %1 语句 %2 函数 %3 没有返回值，其返回值无法做表达式进一步求解后操作！"),
      scopedLineOfContext(call), qtext(call),
      site.member ? qtext(site.member) : qbytes(site.name)));
}
KOR_FAIL void failChainNoMethods(KorParser::RealCallFunContext* call, const CallSite& site) {
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 语句 %2 调用部分 %3 的返回值无法继续调用后续方法 %4"),
      scopedLineOfContext(call), qtext(call), qbytes(site.calledPartText),
      chainText(site, 0, site.chain.size())));
}
KOR_FAIL void failChainStepNoMethods(KorParser::RealCallFunContext* call,
                                     antlr4::ParserRuleContext* stmt, const CallSite& site,
                                     size_t j, int32_t type) {
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 语句 %2 调用部分 %3 的返回值是 %4 无法继续调用后续方法 %5"),
      scopedLineOfContext(call), chainStatementText(call, stmt),
      qbytes(site.calledPartText) + chainText(site, 0, j + 1), typeDescription(type),
      chainText(site, j + 1, site.chain.size())));
}

// What the chain's first run works out: the markers' names, the call's text
// and each chained call's arguments, compiled.
KOR_NOINLINE void prepareChain(ExprVisitor& v, KorParser::RealCallFunContext* call,
                               CallSite& site) {
  const QByteArray linePrefix = QByteArray::number(scopedLineOfContext(call)) + '@';
  site.chainMarkerName = linePrefix + "链式执行";
  for (const QByteArray& method : site.chainNames)
    site.chainMarkerNames.push_back(linePrefix + method);
  site.callText = QByteArray::fromStdString(call->getText());
  site.chainMethods.resize(site.chain.size());
  for (size_t j = 0; j < site.chain.size(); ++j) {
    MethodSite& ms = site.chainMethods[j];
    ms.chainArgs = chainedArguments(site.chain[j]);
    flow::compileArgumentList(v, ms.chainArgs, ms.chainArgNodes);
  }
}

// The call-stack dump shows the chained call being made: a marker at this
// place of the scope stack. It is put there only when an error leaves the
// chain; the stack below it does not change while the chain runs, so the
// dump is the same as with a marker kept throughout.
KOR_NOINLINE void placeChainMarker(const CallSite& site, size_t j, size_t markerAt) {
  ScopeStack& st = *scopeStack();
  ScopeRecord* marker = pushScopeRecord(SK_CALL_VALUE);
  marker->name = site.chainMarkerNames[j];
  marker->payload.fn = new FunctionName{site.callText};
  if (markerAt < st.size() - 1) {
    st.pop_back();
    // a marker, not a variable: no name's lookups are affected (records
    // above it move, which a kept lookup notices by their place)
    static_cast<std::vector<ScopeRecord*>&>(st).insert(st.begin() + long(markerAt), marker);
  }
}

// Chained calls: each method runs on the first value of the call before it
// (`kept`, set); the last one's values stay in the return slot (or go to the
// statement's targets); `direct`, when given, takes the first value that an
// expression takes at once. `flags` are the call's, with CALL_CHAINED.
//
// A chained call before the last always leaves a first value: the bridge
// raises its own message when there is none.
KOR_ALWAYS_INLINE void runChainFrom(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                    antlr4::ParserRuleContext* stmt, CallSite& site, int flags,
                                    ChainValue& kept, ExprValue* direct = nullptr) {
  if (!typeHasMethods(kept.value.type)) failChainNoMethods(call, site);
  if (site.chainMarkerNames.empty()) prepareChain(v, call, site);
  const size_t markerAt = scopeStack()->size();
  const size_t n = site.chain.size();
  size_t j = 0;
  try {
    for (;; ++j) {
      MethodSite& ms = site.chainMethods[j];
      ExprValue recv;
      recv.owner = &site.calledPartText;
      recv.type = kept.value.type;
      recv.payload = kept.value.payload;
      // A method without written arguments whose direct form takes the call
      // (the chain holds its receiver meanwhile).
      if (ms.directArgs == 0 && ms.method != nullptr && ms.type == recv.type &&
          ms.detail == builtinReceiverDetail(recv)) {
        ExprValue dflt[1];
        if (ms.addDefault) dflt[0] = makeIntValue(ms.defaultArg);
        DirectResults results;
        ExprValue* result = results.cells();
        const int r = ms.method->direct(recv, dflt, ms.addDefault ? 1 : 0, result);
        if (r >= 0) {
          const bool last = j + 1 == n;
          const int stepFlags = last ? flags | CALL_LAST_CHAINED : flags | CALL_CHAIN_DIRECT;
          ExprValue next;
          if (!takeDirectResult(stepFlags, stmt, r, result, last ? direct : &next) &&
              directNeedsDelivery(stepFlags, r))
            deliverDirectResult(call, stmt, site.chainNames[j], stepFlags, ms, result, r);
          kept.set = false;
          freeValue(kept.value);
          if (last) break;
          kept.value = next;
          kept.set = true;
          if (!typeHasMethods(kept.value.type))
            failChainStepNoMethods(call, stmt, site, j, kept.value.type);
          continue;
        }
      }
      sharedRefOfValue(recv);
      const std::vector<cx::Node*>* argNodes =
          ms.chainArgNodes.empty() ? nullptr : &ms.chainArgNodes;
      if (j + 1 == n) {
        runBuiltinCall(v, call, stmt, recv, site.chainNames[j], ms.chainArgs,
                       flags | CALL_LAST_CHAINED, argNodes, ms, true, nullptr, nullptr, false,
                       direct);
        kept.set = false;
        freeValue(kept.value);
        break;
      }
      ExprValue next;
      runBuiltinCall(v, call, stmt, recv, site.chainNames[j], ms.chainArgs,
                     flags | CALL_CHAIN_DIRECT, argNodes, ms, true, nullptr, nullptr, false, &next);
      kept.set = false;
      freeValue(kept.value);
      kept.value = next;
      kept.set = true;
      if (!typeHasMethods(kept.value.type))
        failChainStepNoMethods(call, stmt, site, j, kept.value.type);
    }
  } catch (...) {
    placeChainMarker(site, j, markerAt);
    throw;
  }
}

}  // namespace

namespace callsupport {

void callBuiltinCall(ExprVisitor& v, antlr4::ParserRuleContext* call,
                     antlr4::ParserRuleContext* stmt, ExprValue receiver, const QByteArray& name,
                     KorParser::ArgumentListContext* args, int flags,
                     const std::vector<cx::Node*>* argNodes, MethodSite* site, bool holds,
                     ScopeRecord* readLate) {
  if (site) return runBuiltinCall(v, call, stmt, receiver, name, args, flags, argNodes, *site, holds, readLate);
  // a call without a site of its own resolves every time
  MethodSite once;
  runBuiltinCall(v, call, stmt, receiver, name, args, flags, argNodes, once, holds, readLate);
}

// The first value of the last call made under CALL_DIRECT.
ExprValue directMethodValue;
bool directMethodValueSet = false;

void callMemberCall(ExprVisitor& v, KorParser::RealCallFunContext* call, CallSite& site,
                    antlr4::ParserRuleContext* stmt, int flags) {
  KorParser::KorvarContext* path = site.receiverPath;
  MethodSite& ms = site.method;
  ExprValue receiver;
  bool holds = true;
  ScopeRecord* readLate = nullptr;
  KorParser::KorvarContext* latePath = nullptr;
  if (path) {
    // By reference: the method acts on the variable's own value.
    if (path->children.size() == 1) {
      if (!site.receiverNode) {
        site.receiverNode = cx::compileName(path);
        ms.argsRunCode = flow::partRunsCode(site.args, false);
      }
      ScopeRecord* rec = cx::findNamed(site.receiverNode, path);
      if (!receiverLent(rec->kind)) {
        receiver = readVariableAt(v, path, rec, true);
      } else {
        // The method acts on the variable's own value; the variable keeps
        // it alive while the call runs (the quick form below takes exactly
        // this case) unless an argument runs script code, which may assign
        // the variable.
        receiver = rec->asValue();
        if (receiverHeldByVariableOnly(rec->kind)) {
          // Assigning the variable releases its value: the method then
          // takes the value the variable holds once the arguments have run.
          if (ms.argsRunCode) readLate = rec;
        } else {
          // A shared value: the call holds a share of it meanwhile.
          holds = ms.argsRunCode;
          if (holds) sharedRefOfValue(receiver);
        }
      }
    } else {
      if (ms.pathRunsCode < 0) {
        ms.argsRunCode = flow::partRunsCode(site.args, false);
        ms.pathRunsCode = flow::partRunsCode(path, true) ? 1 : 0;
      }
      receiver = readVariable(v, path, true);
      // An element or member used in place, as above: read again after the
      // arguments, unless reading it runs code itself.
      if (ms.argsRunCode && ms.pathRunsCode == 0 && receiverHeldByVariableOnly(receiver.type))
        latePath = path;
    }
  } else {
    if (ms.typeCode < 0) ms.typeCode = typeCodeOfKeyword(site.receiverText);
    receiver.type = VT_TYPE_NAME;
    receiver.payload.i64 = 0;
    receiver.payload.i32 = ms.typeCode;
  }
  receiver.owner = &site.receiverText;
  if (!site.argsCompiled) flow::compileArguments(v, site);
  if (site.quick < 0)
    site.quick = site.receiverNode != nullptr && !ms.argsRunCode;  // a plain name
  runBuiltinCall(v, call, stmt, receiver, site.name, site.args, flags,
                 site.argNodes.empty() ? nullptr : &site.argNodes, ms, holds, readLate, latePath);
}

namespace {

// The quick form's general call: the bridge as the general path runs it.
template <int Flags>
KOR_NOINLINE void quickGeneral(ExprVisitor& v, CallSite& site, antlr4::ParserRuleContext* stmt,
                               ExprValue& receiver, ExprValue* direct) {
  runBuiltinCall(v, site.call, stmt, receiver, site.name, site.args, Flags,
                 site.argNodes.empty() ? nullptr : &site.argNodes, site.method, false, nullptr,
                 nullptr, true, direct);
}

// What quickDirect leaves to the bridge: the delivery of a result not taken
// at once, or, when the direct form did not take the call, the whole rest of
// the call with the arguments already evaluated (`n` with the default).
template <int Flags>
KOR_NOINLINE void quickDirectRest(CallSite& site, antlr4::ParserRuleContext* stmt,
                                  ExprValue& receiver, ExprValue* a, int n, bool borrowed, int r,
                                  ExprValue* result, ExprValue* direct) {
  MethodSite& ms = site.method;
  if (r >= 0) {
    try {
      deliverDirectResult(site.call, stmt, site.name, Flags, ms, result, r);
    } catch (...) {
      releaseCells(a, n, borrowed);
      throw;
    }
    releaseCells(a, n, borrowed);
    return;
  }
  ArgValues argv;
  const int written = ms.addDefault ? n - 1 : n;
  for (int i = 0; i < written; ++i) argv.add() = a[i];
  argv.firstBorrowed = borrowed;
  finishBuiltinCall(site.call, stmt, receiver, site.name, Flags, ms, false, argv, direct);
}

// quickDirect's arguments (without the default) handed to the bridge once
// the site has been resolved for the receiver again.
template <int Flags>
KOR_NOINLINE void quickDirectResolved(CallSite& site, antlr4::ParserRuleContext* stmt,
                                      ExprValue& receiver, ExprValue* a, int n, bool borrowed,
                                      ExprValue* direct) {
  ArgValues argv;
  for (int i = 0; i < n; ++i) argv.add() = a[i];
  argv.firstBorrowed = borrowed;
  try {
    resolveCall(site.call, receiver, site.name, site.args, site.method);
    if (!site.method.method->readsArgsOnly) argv.ownFirst();
  } catch (...) {
    argv.releaseAll();
    throw;
  }
  finishBuiltinCall(site.call, stmt, receiver, site.name, Flags, site.method, false, argv, direct);
}

// The quick form of a call whose method has a direct form: the arguments
// evaluated from their compiled expressions into cells of its own and handed
// to it; what it does not take goes on as the bridge would.
template <int Flags>
KOR_ALWAYS_INLINE void quickDirect(ExprVisitor& v, CallSite& site, antlr4::ParserRuleContext* stmt,
                                   ExprValue& receiver, ExprValue* direct) {
  MethodSite& ms = site.method;
  const BuiltinMethod* method = ms.method;
  const int written = ms.directArgs;
  // each cell is written before it is read
  alignas(ExprValue) unsigned char cells[sizeof(ExprValue) * kDirectArgs];
  ExprValue* a = reinterpret_cast<ExprValue*>(cells);
  int n = 0;
  bool borrowed = false;
  if (written > 0) {
    cx::Node* const* nodes = site.argNodes.data();
    if (written == 1 && method->readsArgsOnly) {
      borrowed = readOnlyArgument(v, nodes[0], a[0]);
      n = 1;
    } else {
      a[0] = cx::eval(v, nodes[0]);
      n = 1;
      if (written > 1) {
        try {
          a[1] = cx::eval(v, nodes[1]);
        } catch (...) {
          releaseCells(a, 1, false);
          throw;
        }
        n = 2;
      }
    }
  }
  // The same call reached again while the arguments ran may have resolved
  // the site for another receiver: the bridge resolves it for this one.
  if (ms.method != method) {
    quickDirectResolved<Flags>(site, stmt, receiver, a, n, borrowed, direct);
    return;
  }
  if (ms.addDefault) a[n++] = makeIntValue(ms.defaultArg);
  DirectResults results;
  ExprValue* result = results.cells();
  const int r = method->direct(receiver, a, n, result);
  if (r >= 0 && (takeDirectResult(Flags, stmt, r, result, direct) || !directNeedsDelivery(Flags, r))) {
    static_assert(kDirectArgs == 2, "the cells are released one by one");
    if (n > 0 && !borrowed && uint32_t(a[0].type) > uint32_t(VT_WCHAR)) freeValue(a[0]);
    if (n > 1 && uint32_t(a[1].type) > uint32_t(VT_WCHAR)) freeValue(a[1]);
    return;
  }
  quickDirectRest<Flags>(site, stmt, receiver, a, n, borrowed, r, result, direct);
}

// The quick form: the general path's own case of a lent receiver whose
// variable keeps it alive (no argument runs script code), taken while the
// receiver has the type the site was resolved for.
template <int Flags>
KOR_ALWAYS_INLINE bool quickMemberCall(ExprVisitor& v, CallSite& site,
                                       antlr4::ParserRuleContext* stmt,
                                       ExprValue* direct = nullptr) {
  MethodSite& ms = site.method;
  const ScopeRecord* rec = cx::lookupNamed(site.receiverNode);
  if (rec == nullptr || rec->kind != ms.type || ms.method == nullptr || !receiverLent(rec->kind))
    return false;
  ExprValue receiver = rec->asValue();
  if (ms.detail != builtinReceiverDetail(receiver)) return false;
  receiver.owner = &site.receiverText;
  if (ms.directArgs >= 0)
    quickDirect<Flags>(v, site, stmt, receiver, direct);
  else
    quickGeneral<Flags>(v, site, stmt, receiver, direct);
  return true;
}

// A chain whose first call takes the quick form: the first call leaves its
// value for the chain, which runs as runChain does. `Flags` are the call's.
template <int Flags>
KOR_ALWAYS_INLINE bool quickChain(ExprVisitor& v, CallSite& site, antlr4::ParserRuleContext* stmt,
                                  ExprValue* direct = nullptr) {
  ChainValue kept;
  if (!quickMemberCall<Flags | CALL_CHAINED | CALL_CHAIN_DIRECT>(v, site, stmt, &kept.value))
    return false;
  kept.set = true;
  runChainFrom(v, site.call, stmt, site, Flags | CALL_CHAINED, kept, direct);
  return true;
}

}  // namespace

void runChain(ExprVisitor& v, KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt,
              CallSite& site, int flags) {
  ChainValue kept;
  if (!takeChainValue(kept.value)) failChainNoValue(call, site);
  kept.set = true;
  runChainFrom(v, call, stmt, site, flags, kept);
}

ExprValue evQuickMember(ExprVisitor& v, cx::Node* n) {
  ExprValue out;
  if (quickMemberCall<CALL_VALUE | CALL_DIRECT>(v, *n->site, nullptr, &out)) return out;
  return evalCallValueAt(v, static_cast<KorParser::CallFunExprContext*>(n->ctx), *n->site);
}

ExprValue evQuickChain(ExprVisitor& v, cx::Node* n) {
  ExprValue out;
  if (quickChain<CALL_VALUE | CALL_DIRECT>(v, *n->site, nullptr, &out)) return out;
  return evalCallValueAt(v, static_cast<KorParser::CallFunExprContext*>(n->ctx), *n->site);
}

namespace {
// A chain as a statement, apart from the plain call's form.
KOR_NOINLINE bool quickChainStatement(ExprVisitor& v, CallSite& site) {
  return quickChain<CALL_STATEMENT>(v, site, nullptr);
}
}  // namespace

bool quickMemberStatement(ExprVisitor& v, CallSite& site) {
  if (site.chain.empty()) return quickMemberCall<CALL_STATEMENT>(v, site, nullptr);
  return quickChainStatement(v, site);
}

bool quickMemberTargets(ExprVisitor& v, CallSite& site, antlr4::ParserRuleContext* stmt) {
  if (site.chain.empty()) return quickMemberCall<CALL_VALUE>(v, site, stmt);
  return quickChain<CALL_VALUE>(v, site, stmt);
}

}  // namespace callsupport

antlrcpp::Any ExprVisitor::callMemberFunction(KorParser::RealCallFunContext* call,
                                              antlr4::ParserRuleContext* stmt, int flags) {
  callMemberCall(*this, call, callSite(call), stmt, flags);
  return 0;
}

antlrcpp::Any ExprVisitor::callBuiltinMethod(antlr4::ParserRuleContext* call,
                                             antlr4::ParserRuleContext* stmt, ExprValue receiver,
                                             const std::string& name,
                                             KorParser::ArgumentListContext* args, int flags) {
  callBuiltinCall(*this, call, stmt, receiver, QByteArray::fromStdString(name), args, flags);
  return 0;
}
