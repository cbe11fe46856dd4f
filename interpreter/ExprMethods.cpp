// Built-in and member method calls: the bridge between the evaluator and the
// method registry.
//
// For one call the bridge pushes onto the OperandStack the argument cells
// (first first, plus the default of a left-out optional last argument), the
// receiver cell and a byte-string cell with the method name as written; the
// handler appends its results. The bridge then hands the results to the
// caller (return slot or the targets of `a, b := x.m()`) and clears every
// cell it pushed, also when the call fails.
#include "ExprVisitor.h"

#include <QString>

#include "CallSupport.h"
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

// Gives back every cell pushed from `base` on: the receiver only drops the
// shared reference it holds, the others are released.
void clearOperands(OperandStack* ops, size_t base, size_t receiverIndex) {
  for (size_t i = base; i < ops->size(); ++i) {
    ExprValue* cell = (*ops)[i];
    if (i == receiverIndex)
      releaseSharedValue(*cell);
    else
      freeValue(*cell);
    returnValueCell(cell);
  }
  ops->resize(base);
}

// Evaluated argument values, released when the call fails before they reach
// the OperandStack.
struct ArgValues {
  ExprValue local[8];
  std::vector<ExprValue> more;
  int count = 0;

  ExprValue& add() {
    ++count;
    if (count <= 8) return local[count - 1];
    more.emplace_back();
    return more.back();
  }
  ExprValue& at(int i) { return i < 8 ? local[i] : more[size_t(i - 8)]; }
  void releaseAll() {
    for (int i = 0; i < count; ++i) freeValue(at(i));
    count = 0;
    more.clear();
  }
};

QString textOf(antlr4::tree::ParseTree* ctx) { return qtext(ctx); }

}  // namespace

namespace callsupport {

void callBuiltinCall(ExprVisitor& v, antlr4::ParserRuleContext* call,
                     antlr4::ParserRuleContext* stmt, ExprValue receiver, const QByteArray& name,
                     KorParser::ArgumentListContext* args, int flags) {
  ArgValues argv;
  BuiltinMethod* method = nullptr;
  int32_t defaultArg = 0;
  bool addDefault = false;
  try {
    method = resolveBuiltinMethod(receiver, name, call);
    const std::vector<int32_t>* L = method->argTypes;

    int n = 0;
    if (args)
      for (antlr4::tree::ParseTree* child : args->children)
        if (!child->children.empty()) ++n;

    // Argument count against the method's list.
    const int line = scopedLineOfContext(call);
    const int32_t lastEntry = (L && !L->empty()) ? L->back() : 0;
    if (!L || L->empty()) {
      if (n > 0)
        raiseScriptError(
            QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数和其定义无法匹配！函数 %3 最多需要 %4个参数! 这里却给了 %5 个参数")
                .arg(line)
                .arg(textOf(call), qbytes(name))
                .arg(0)
                .arg(n));
    } else if (!args) {
      if (lastEntry != BA_OPTIONAL_LAST && lastEntry != BA_RANGE)
        raiseScriptError(
            QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数和其定义无法匹配！%3 可接受 %4 个函数！\n调用却给了 %5 个参数！")
                .arg(line)
                .arg(textOf(call), qbytes(name), QString::number(L->size()))
                .arg(0));
    } else if (lastEntry == BA_OPTIONAL_LAST) {
      const int k = int(L->size()) - 1;
      if (n != k && n != k - 1)
        raiseScriptError(
            QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数个数和其定义无法匹配！函数%3 最多接收 %4 个参数！这里却给了 %5 个参数！")
                .arg(line)
                .arg(textOf(call), qbytes(name))
                .arg(k)
                .arg(n));
    } else if (lastEntry == BA_RANGE) {
      const int lo = L->size() >= 3 ? (*L)[0] : 0;
      const int hi = L->size() >= 3 ? (*L)[1] : 0;
      if (n < lo || n > hi)
        raiseScriptError(
            QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数个数和其定义无法匹配！函数%3 可接收 %4-%5 个参数！这里却给了 %6 个参数！")
                .arg(line)
                .arg(textOf(call), qbytes(name))
                .arg(lo)
                .arg(hi)
                .arg(n));
    } else if (n != int(L->size())) {
      raiseScriptError(
          QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数个数和其定义无法匹配！函数%3 最多接收 %4 个参数！这里却给了 %5 个参数！")
              .arg(line)
              .arg(textOf(call), qbytes(name))
              .arg(int(L->size()))
              .arg(n));
    }

    // Arguments, left to right.
    if (args) {
      for (antlr4::tree::ParseTree* child : args->children) {
        if (child->children.empty()) continue;
        antlr4::tree::ParseTree* rv = child->children[0];
        if (!rv || rv->children.empty())
          raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 函数 %3 不能使用函数或回调函数 %4做参数！")
                               .arg(line)
                               .arg(textOf(call), qbytes(name), textOf(child)));
        antlr4::tree::ParseTree* inner = rv->children[0];
        ExprValue& slot = argv.add();
        if (!inner->children.empty()) slot = flow::evalNode(v, inner);  // `kong` stays empty
      }
    }

    // Optional last argument: its default, or a check of the written one.
    if (L && lastEntry == BA_OPTIONAL_LAST && L->size() >= 2) {
      const int k = int(L->size()) - 1;
      if (n == k - 1) {
        addDefault = true;
        defaultArg = (*L)[size_t(k - 1)];
      } else if (n == k) {
        const int32_t t = argv.at(k - 1).type;
        if (t != VT_INT && t != VT_LONG)
          raiseScriptError(QStringLiteral("错误：行 %1 语句 %2 调用函数 %3 的参数类型和其定义无法匹配！")
                               .arg(line)
                               .arg(textOf(call), qbytes(name)));
      }
    }
  } catch (...) {
    argv.releaseAll();
    releaseSharedValue(receiver);
    throw;
  }

  // Operands: arguments, default, receiver, method name.
  OperandStack* ops = operandStack();
  const size_t base = ops->size();
  for (int i = 0; i < argv.count; ++i) ops->push_back(moveValueToPool(argv.at(i)));
  argv.count = 0;
  if (addDefault) {
    ExprValue* d = takeValueCell();
    d->owner = nullptr;
    d->type = VT_INT;
    d->payload.i64 = 0;
    d->payload.i32 = defaultArg;
    ops->push_back(d);
  }
  const size_t receiverIndex = ops->size();
  ops->push_back(moveValueToPool(receiver));
  ExprValue* nameCell = takeValueCell();
  nameCell->owner = nullptr;
  nameCell->type = VT_BYTES;
  nameCell->payload.bytes = new QByteArray(name);
  ops->push_back(nameCell);
  const size_t resultStart = ops->size();

  try {
    checkBuiltinArgs(call, name, method);
    invokeBuiltinMethod(method, call);

    const size_t resultCount = ops->size() - resultStart;
    const bool takes = (flags & (CALL_VALUE | CALL_CHAINED)) != 0 &&
                       (flags & (CALL_LAST_CHAINED | CALL_STATEMENT)) !=
                           (CALL_LAST_CHAINED | CALL_STATEMENT);
    const bool chainedNotLast = (flags & CALL_CHAINED) && !(flags & CALL_LAST_CHAINED);
    KorParser::Fun_retContext* targets = nullptr;
    if (stmt)
      if (auto* with = dynamic_cast<KorParser::WithRetCallFunContext*>(stmt))
        targets = with->fun_ret();

    if (resultCount > 0 && takes) {
      if (!stmt || chainedNotLast) {
        ReturnList* list = newReturnList();
        for (size_t i = resultStart; i < ops->size(); ++i)
          list->push_back(recordFromValue(*(*ops)[i], nullptr));
        setCallerReturn(list);
      } else if (targets) {
        const std::vector<KorParser::Ret_idContext*> ids = targets->ret_id();
        if (ids.size() != resultCount)
          raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 函数 %3 返回值个数与函数定义形式不匹配 ！")
                               .arg(scopedLineOfContext(call))
                               .arg(textOf(call), qbytes(name)));
        const bool define = targets->FUN_RET_AUTO_DEF() != nullptr;
        for (size_t k = 0; k < ids.size(); ++k) {
          KorParser::Ret_idContext* id = ids[k];
          KorParser::KorvarContext* kv = id->korvar();
          if (!kv) continue;  // "_"
          ExprValue* cell = (*ops)[resultStart + k];
          if (!define) {
            // The whole variable is assigned; a suffix on the target is not applied.
            const QByteArray var =
                kv->VARNAME() ? QByteArray::fromStdString(kv->VARNAME()->getText()) : QByteArray();
            ScopeRecord* rec = findVariable(var, stmt);
            storeToRecord(rec, cell, stmt, true, 0);
          } else {
            const QByteArray text = QByteArray::fromStdString(id->getText());
            if (findInCurrentBlock(text))
              raiseScriptError(
                  QStringLiteral("错误：行号 %1 语句 %2 变量 %3 已经在当前作用域中存在，不能重复使用 := 符号自动创建该变量 ")
                      .arg(scopedLineOfContext(call))
                      .arg(textOf(stmt), qbytes(text)));
            HashedName hn(text);
            ScopeRecord* rec = recordFromValue(*cell, &hn);
            scopeStack()->push_back(rec);
          }
        }
      }
      // A statement without targets drops the results.
    } else if (resultCount == 0 && takes) {
      if (chainedNotLast)
        raiseScriptError(QStringLiteral("错误： 行 %1 语句 %2 函数 %3 没有返回值，无法继续后续的链式调用，请检查！")
                             .arg(scopedLineOfContext(call))
                             .arg(textOf(stmt ? stmt : call), qbytes(name)));
      if (targets)
        raiseScriptError(QStringLiteral("错误： 行 %1 语句 %2 函数 %3 没有返回值，无法给变量 %4 进行赋值，请检查！")
                             .arg(scopedLineOfContext(call))
                             .arg(textOf(stmt), qbytes(name), textOf(targets)));
      if (flags & CALL_VALUE)
        raiseScriptError(QStringLiteral("错误： 行 %1 语句 %2 函数 %3 没有返回值，而该调用函数却需要返回值，请检查！")
                             .arg(scopedLineOfContext(call))
                             .arg(textOf(call), qbytes(name)));
    }
  } catch (...) {
    clearOperands(ops, base, receiverIndex);
    throw;
  }
  clearOperands(ops, base, receiverIndex);
}

}  // namespace callsupport

antlrcpp::Any ExprVisitor::callMemberFunction(KorParser::RealCallFunContext* call,
                                              antlr4::ParserRuleContext* stmt, int flags) {
  ActiveCallScope active;
  CallSite& site = callSite(call);
  KorParser::FunobjContext* funobj = site.member ? site.member->funobj() : nullptr;
  KorParser::KorvarContext* path = funobj ? funobj->korvar() : nullptr;
  ExprValue receiver;
  if (path) {
    // By reference: the method acts on the variable's own value.
    receiver = evalVariable(path, true, nullptr, 0).as<ExprValue>();
  } else {
    receiver.type = VT_TYPE_NAME;
    receiver.payload.i64 = 0;
    receiver.payload.i32 = typeCodeOfKeyword(site.receiverText);
  }
  receiver.owner = &site.receiverText;
  callBuiltinCall(*this, call, stmt, receiver, site.name, site.args, flags);
  return 0;
}

antlrcpp::Any ExprVisitor::callBuiltinMethod(antlr4::ParserRuleContext* call,
                                             antlr4::ParserRuleContext* stmt, ExprValue receiver,
                                             const std::string& name,
                                             KorParser::ArgumentListContext* args, int flags) {
  ActiveCallScope active;
  callBuiltinCall(*this, call, stmt, receiver, QByteArray::fromStdString(name), args, flags);
  return 0;
}
