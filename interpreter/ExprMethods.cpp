// Built-in and member method calls: the bridge between the evaluator and the
// method registry.
//
// For one call the bridge gathers in a BuiltinCall the argument cells (first
// first, plus the default of a left-out optional last argument), the receiver
// cell and the method name as written; the handler appends its results. The
// bridge then hands the results to the caller (return slot or the targets of
// `a, b := x.m()`) and releases every cell of the call, also when it fails.
#include "ExprVisitor.h"

#include <QString>

#include "CallSupport.h"
#include "Compiled.h"
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

namespace {

QString textOf(antlr4::tree::ParseTree* ctx) { return qtext(ctx); }

// Evaluated argument values, side by side: the first few in place (made as
// they are added), all of them in `more` once there are more.
struct ArgValues {
  static constexpr int kLocal = 6;
  alignas(ExprValue) unsigned char raw[sizeof(ExprValue) * kLocal];
  std::vector<ExprValue> more;
  int count = 0;

  ExprValue* local() { return reinterpret_cast<ExprValue*>(raw); }
  ExprValue& add() {
    if (count < kLocal) return *new (local() + count++) ExprValue();
    if (count == kLocal) more.assign(local(), local() + kLocal);
    ++count;
    more.emplace_back();
    return more.back();
  }
  ExprValue* data() { return count <= kLocal ? local() : more.data(); }
  ExprValue& at(int i) { return data()[i]; }
  void releaseAll() {
    for (int i = 0; i < count; ++i) freeValue(at(i));
    count = 0;
    more.clear();
  }
};

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

// The first value of the last call made under CALL_DIRECT.
ExprValue directValue;
bool directValueSet = false;

// Releases every cell of the call in the order they were gathered: the
// arguments, then the receiver (which only drops the shared reference it
// holds), then the results.
void releaseCall(ArgValues& argv, ExprValue& receiver, BuiltinCall& frame) {
  argv.releaseAll();
  releaseSharedValue(receiver);
  frame.releaseResults();
}

// Whether the targets are defined (`a, b := x.m()`): the children are
// ret_id (',' ret_id)* ':='? '=', so the one before the last is a token
// exactly when it is ':='.
bool definesTargets(KorParser::Fun_retContext* targets) {
  const std::vector<antlr4::tree::ParseTree*>& ch = targets->children;
  return ch.size() >= 2 && ch[ch.size() - 2]->children.empty();
}

// The handler's results for the targets of `a, b := x.m()` / `a, b = x.m()`.
void assignResults(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt,
                   const QByteArray& name, KorParser::Fun_retContext* targets, BuiltinCall& frame) {
  const size_t resultCount = size_t(frame.resultCount);
  size_t idCount = 0;
  for (antlr4::tree::ParseTree* child : targets->children)
    if (!child->children.empty()) ++idCount;
  if (idCount != resultCount)
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 函数 %3 返回值个数与函数定义形式不匹配 ！"),
        scopedLineOfContext(call), textOf(call), qbytes(name)));
  const bool define = definesTargets(targets);
  size_t k = 0;
  for (antlr4::tree::ParseTree* child : targets->children) {
    if (child->children.empty()) continue;
    auto* id = static_cast<KorParser::Ret_idContext*>(child);
    ExprValue* cell = &frame.result(int(k++));
    KorParser::KorvarContext* kv = retIdVariable(id);
    if (!kv) continue;  // "_"
    if (!define) {
      // The whole variable is assigned; a suffix on the target is not applied.
      // A refused value leaves its message and the next target is served.
      const CachedName& var = cachedNameOf(kv);
      storeToRecord(findVariable(var.name, var.hash, stmt), cell, stmt, true, 0);
    } else {
      const QByteArray text = QByteArray::fromStdString(id->getText());
      if (findInCurrentBlock(text))
        raiseScriptError(fillMessage(
            QStringLiteral("错误：行号 %1 语句 %2 变量 %3 已经在当前作用域中存在，不能重复使用 := "
                           "符号自动创建该变量 "),
            scopedLineOfContext(call), textOf(stmt), qbytes(text)));
      HashedName hn(text);
      scopeStack()->push_back(recordFromValue(*cell, &hn));
    }
  }
}

// Gathers the call, lets the registry check and convert the arguments,
// invokes the handler and delivers its results.
KOR_NOINLINE void invokeWithOperands(antlr4::ParserRuleContext* call,
                                                  antlr4::ParserRuleContext* stmt,
                                                  BuiltinMethod* method, const QByteArray& name,
                                                  ArgValues& argv, bool addDefault,
                                                  int32_t defaultArg, ExprValue& receiver,
                                                  int flags) {
  if (addDefault) argv.add() = makeIntValue(defaultArg);
  BuiltinCall frame;
  frame.args = argv.data();
  frame.argc = argv.count;
  frame.receiver = &receiver;
  frame.name = &name;

  try {
    {
      BuiltinCallScope current(&frame);
      checkBuiltinArgs(call, name, method);
      invokeBuiltinMethod(method, call);
    }

    const int resultCount = frame.resultCount;
    // Values are taken by an expression, a multiple assignment or a chained
    // call, but not by the last call of a chain that stands as a statement.
    const bool takes = (flags & (CALL_VALUE | CALL_CHAINED)) != 0 &&
                       (flags & (CALL_LAST_CHAINED | CALL_STATEMENT)) !=
                           (CALL_LAST_CHAINED | CALL_STATEMENT);
    const bool chainedNotLast = (flags & CALL_CHAINED) && !(flags & CALL_LAST_CHAINED);

    if (resultCount > 0 && takes) {
      if ((flags & CALL_DIRECT) && !stmt && !chainedNotLast) {
        // the expression takes the first value; the others go with the call
        ExprValue& first = frame.result(0);
        directValue = first;
        directValue.owner = nullptr;
        directValueSet = true;
        first.payload.i64 = 0;
      } else if (!stmt || chainedNotLast) {
        ReturnList* list = newReturnList();
        for (int i = 0; i < resultCount; ++i) list->push_back(recordFromValue(frame.result(i), nullptr));
        setCallerReturn(list);
      } else if (KorParser::Fun_retContext* targets = withRetTargets(stmt)) {
        assignResults(call, stmt, name, targets, frame);
      }
      // A statement without targets drops the results.
    } else if (resultCount == 0 && takes) {
      KorParser::Fun_retContext* targets = withRetTargets(stmt);
      if (chainedNotLast) failNoResult(call, stmt, name, 0, nullptr);
      if (targets) failNoResult(call, stmt, name, 1, targets);
      if (flags & CALL_VALUE) failNoResult(call, stmt, name, 2, nullptr);
    }
  } catch (...) {
    releaseCall(argv, receiver, frame);
    throw;
  }
  releaseCall(argv, receiver, frame);
}

}  // namespace

namespace callsupport {

void callBuiltinCall(ExprVisitor& v, antlr4::ParserRuleContext* call,
                     antlr4::ParserRuleContext* stmt, ExprValue receiver, const QByteArray& name,
                     KorParser::ArgumentListContext* args, int flags,
                     const std::vector<cx::Node*>* argNodes) {
  ArgValues argv;
  BuiltinMethod* method = nullptr;
  int32_t defaultArg = 0;
  bool addDefault = false;
  try {
    method = resolveBuiltinMethod(receiver, name, call);
    int n = 0;
    if (args)
      for (antlr4::tree::ParseTree* child : args->children)
        if (!child->children.empty()) ++n;
    checkArgCount(call, name, method, args != nullptr, n, &addDefault, &defaultArg);

    // Arguments, left to right (`kong` stays an empty cell).
    if (args) {
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
    // A written optional last argument must be an integer.
    const std::vector<int32_t>* L = method->argTypes;
    if (L && L->size() >= 2 && L->back() == BA_OPTIONAL_LAST && n == int(L->size()) - 1) {
      const int32_t t = argv.at(n - 1).type;
      if (t != VT_INT && t != VT_LONG) failOptionalType(call, name);
    }
  } catch (...) {
    argv.releaseAll();
    releaseSharedValue(receiver);
    throw;
  }
  invokeWithOperands(call, stmt, method, name, argv, addDefault, defaultArg, receiver, flags);
}

bool takeDirectMethodValue(ExprValue& out) {
  if (!directValueSet) return false;
  directValueSet = false;
  out = directValue;
  return true;
}

void callMemberCall(ExprVisitor& v, KorParser::RealCallFunContext* call, CallSite& site,
                    antlr4::ParserRuleContext* stmt, int flags) {
  KorParser::KorvarContext* path = site.receiverPath;
  ExprValue receiver;
  if (path) {
    // By reference: the method acts on the variable's own value.
    if (path->children.size() == 1) {
      if (!site.receiverNode) site.receiverNode = cx::compileName(path);
      receiver = readVariableAt(v, path, cx::findNamed(site.receiverNode, path), true);
    } else {
      receiver = readVariable(v, path, true);
    }
  } else {
    receiver.type = VT_TYPE_NAME;
    receiver.payload.i64 = 0;
    receiver.payload.i32 = typeCodeOfKeyword(site.receiverText);
  }
  receiver.owner = &site.receiverText;
  if (!site.argsCompiled) flow::compileArguments(v, site);
  callBuiltinCall(v, call, stmt, receiver, site.name, site.args, flags,
                  site.argNodes.empty() ? nullptr : &site.argNodes);
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
