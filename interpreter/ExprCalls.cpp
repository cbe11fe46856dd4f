// User function calls and returns.
//
// A call evaluates its arguments in the caller's scope, pushes a function
// frame, a block marker and the parameters, and runs the body block. Values
// come back through the return slot of the nearest frame: `fanhui` fills the
// callee's own frame slot, the call moves that list into its caller's slot
// (or straight into the targets of `a, b := f()`), and the expression that
// made the call takes it from there.
//
// Deep recursion is bounded: the number of active script calls is limited,
// and the remaining machine stack is checked as well, so that a runaway
// recursion ends with a script error instead of overflowing the stack.
#include "ExprVisitor.h"

#include <QString>

#include <iostream>
#include <stdexcept>
#include <unordered_map>

#include "CallSupport.h"
#include "FlowSupport.h"
#include "TypedStore.h"
#include "runtime/errors.h"
#include "runtime/run_state.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/type_words.h"
#include "runtime/value.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"

#if defined(__linux__)
#include <pthread.h>
#endif

using namespace callsupport;

// ---------------------------------------------------------------------------
// Per-run caches, the active call stack and the return channel.
// ---------------------------------------------------------------------------
namespace {

struct PtrHash {
  size_t operator()(const void* p) const noexcept {
    uint64_t x = uint64_t(reinterpret_cast<uintptr_t>(p));
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return size_t(x);
  }
};

std::unordered_map<const void*, CallSite, PtrHash> g_sites;
std::unordered_map<QByteArray, FunctionInfo, NameHash> g_functions;
int g_activeCalls = 0;

struct ActiveFrame {
  ScopeRecord* frame;
  FunctionInfo* info;
};
std::vector<ActiveFrame> g_frames;  // the script calls in progress, innermost last
ReturnList* g_topSlot = nullptr;    // return slot while no frame exists at all
std::vector<ReturnList*> g_listPool;

// Most script call levels allowed at once. One level of a script call costs
// a few hundred bytes of machine stack in an optimised build and a few
// kilobytes under AddressSanitizer; the limit keeps the deepest recursion
// well inside the default 8 MB stack in both.
constexpr size_t kMaxCallDepth = 1500;
// Machine stack kept free below the deepest call: room for the statements of
// one call level, a built-in method and the error path.
constexpr size_t kStackReserve = 512 * 1024;

// Lowest usable stack address of the running thread (0 when unknown).
thread_local uintptr_t tl_stackLimit = 0;
thread_local bool tl_stackKnown = false;

void findStackLimit() {
  tl_stackKnown = true;
  tl_stackLimit = 0;
#if defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size > 2 * kStackReserve)
      tl_stackLimit = reinterpret_cast<uintptr_t>(addr) + kStackReserve;
    pthread_attr_destroy(&attr);
  }
#endif
}

void dropCaches() {
  g_sites.clear();
  g_functions.clear();
  g_frames.clear();
  // A list left here belongs to an earlier run whose tables are gone.
  g_topSlot = nullptr;
}

// Releases a record taken from the pool (payload freed, record recycled).
inline void dropRecord(ScopeRecord* rec) {
  releaseScopeRecord(rec);
  returnScopeRecord(rec);
}

// The entry of a call in progress; it leaves with the frame, or when the
// call ends by an error.
struct FrameEntry {
  bool active = true;
  FrameEntry(ScopeRecord* frame, FunctionInfo* info) { g_frames.push_back({frame, info}); }
  void leave() {
    if (!active) return;
    g_frames.pop_back();
    active = false;
  }
  ~FrameEntry() { leave(); }
};

}  // namespace

namespace callsupport {

ActiveCallScope::ActiveCallScope() {
  if (g_activeCalls == 0) dropCaches();
  ++g_activeCalls;
}

ActiveCallScope::~ActiveCallScope() { --g_activeCalls; }

CallSite& callSite(KorParser::RealCallFunContext* call) {
  auto it = g_sites.find(call);
  if (it != g_sites.end()) return it->second;
  CallSite& s = g_sites[call];
  s.line = int32_t(call->getStart() ? call->getStart()->getLine() : 0);
  for (antlr4::tree::ParseTree* child : call->children) {
    if (auto* m = dynamic_cast<KorParser::MemberFunAccessContext*>(child)) {
      s.member = m;
    } else if (auto* a = dynamic_cast<KorParser::ArgumentListContext*>(child)) {
      s.args = a;
    } else if (auto* c = dynamic_cast<KorParser::MultiCallFunContext*>(child)) {
      s.chain.push_back(c);
      s.chainNames.push_back(
          c->VARNAME() ? QByteArray::fromStdString(c->VARNAME()->getText()) : QByteArray());
    }
  }
  QByteArray head;
  if (s.member) {
    if (s.member->VARNAME()) s.name = QByteArray::fromStdString(s.member->VARNAME()->getText());
    if (s.member->funobj()) s.receiverText = QByteArray::fromStdString(s.member->funobj()->getText());
    head = QByteArray::fromStdString(s.member->getText());
  } else if (call->VARNAME()) {
    s.name = QByteArray::fromStdString(call->VARNAME()->getText());
    head = s.name;
  }
  s.hash = fnv1a(s.name);
  if (!s.chain.empty()) {
    s.calledPartText = head;
    if (s.args)
      s.calledPartText += '(' + QByteArray::fromStdString(s.args->getText()) + ')';
    else
      s.calledPartText += "()";
  }
  return s;
}

FunctionInfo* functionInfo(const QByteArray& name) {
  auto it = g_functions.find(name);
  if (it != g_functions.end()) {
    FunctionInfo& info = it->second;
    // A struct parameter type declared after an early call is looked up again.
    for (size_t i = 0; i < info.paramTypes.size(); ++i)
      if (info.paramTypes[i] < 0) info.paramTypes[i] = typeCodeOfKeyword(info.paramWords[i]);
    return &info;
  }
  FunctionRecord* rec = findFunction(name);
  if (!rec) return nullptr;
  FunctionInfo& info = g_functions[name];
  info.record = rec;
  info.name = name;
  info.body = dynamic_cast<KorParser::BlockContext*>(rec->context);
  if (rec->parameters && !rec->parameters->isEmpty()) {
    info.hasParams = true;
    const int n = rec->parameters->size() / 2;
    for (int i = 0; i < n; ++i) {
      info.paramNames.emplace_back(rec->parameters->at(i));
      info.paramWords.push_back(rec->parameters->at(n + i));
      info.paramTypes.push_back(typeCodeOfKeyword(rec->parameters->at(n + i)));
    }
  }
  if (rec->returnTypes && !rec->returnTypes->isEmpty()) {
    info.hasReturns = true;
    for (const QByteArray& w : *rec->returnTypes) {
      info.returnWords.emplace_back(w);
      info.returnTypes.push_back(typeCodeOfKeyword(w));
    }
  }
  info.isEntry = name == "hs_rukou";
  return &info;
}

ScopeRecord* nearestFrame() {
  if (!g_frames.empty()) return g_frames.back().frame;
  if (!scopeStackExists()) return nullptr;
  const ScopeStack* st = scopeStack();
  for (auto it = st->rbegin(); it != st->rend(); ++it)
    if ((*it)->kind == SK_FUNCTION) return *it;
  return nullptr;
}

const FunctionInfo* currentFunctionInfo() {
  if (!g_frames.empty()) return g_frames.back().info;
  ScopeRecord* frame = nearestFrame();
  if (!frame) return nullptr;
  return functionInfo(frame->name.bytes());
}

ReturnList* callerReturnSlot() {
  ScopeRecord* frame = nearestFrame();
  return frame ? frame->returnSlot : g_topSlot;
}

void setCallerReturn(ReturnList* list) {
  ScopeRecord* frame = nearestFrame();
  ReturnList*& slot = frame ? frame->returnSlot : g_topSlot;
  if (slot && slot != list) releaseReturnList(slot);
  slot = list;
}

ReturnList* takeCallerReturn() {
  ScopeRecord* frame = nearestFrame();
  ReturnList*& slot = frame ? frame->returnSlot : g_topSlot;
  ReturnList* list = slot;
  slot = nullptr;
  return list;
}

ReturnList* newReturnList() {
  if (g_listPool.empty()) return new ReturnList();
  ReturnList* list = g_listPool.back();
  g_listPool.pop_back();
  return list;
}

void releaseReturnList(ReturnList* list) {
  if (!list) return;
  for (ScopeRecord* rec : *list) dropRecord(rec);
  list->clear();
  g_listPool.push_back(list);
}

void recycleReturnList(ReturnList* list) {
  if (!list) return;
  list->clear();
  g_listPool.push_back(list);
}

ScopeRecord* recordFromValue(ExprValue& value, const HashedName* name) {
  ScopeRecord* rec = takeScopeRecord();
  if (name) rec->name = *name;
  rec->kind = value.type;
  rec->payload = value.payload;
  rec->returnSlot = nullptr;
  value.payload.i64 = 0;
  return rec;
}

}  // namespace callsupport

// ---------------------------------------------------------------------------
// Helpers of the call path.
// ---------------------------------------------------------------------------
namespace {

using flow::evalRightvar;

// Argument contexts of an argument list, in order.
template <typename F>
void forEachArgument(KorParser::ArgumentListContext* args, F&& f) {
  if (!args) return;
  int i = 0;
  for (antlr4::tree::ParseTree* child : args->children)
    if (!child->children.empty()) f(i++, static_cast<KorParser::ArgumentContext*>(child));
}

int argumentCount(KorParser::ArgumentListContext* args) {
  if (!args) return 0;
  int n = 0;
  for (antlr4::tree::ParseTree* child : args->children)
    if (!child->children.empty()) ++n;
  return n;
}

// Stores a value into a fresh record of a declared type: same types move the
// payload, `kong` leaves a file, time or workbook empty, everything else goes
// through the typed store. Returns the store's code (negative: refused).
int storeDeclared(ScopeRecord* rec, ExprValue& val, int32_t declared, const QByteArray& word,
                  antlr4::ParserRuleContext* ctx) {
  rec->kind = declared;
  rec->payload.i64 = 0;
  if (val.type == declared) {
    if (declared == VT_STRUCT && structTypeName(val) != word) return -100;
    rec->payload = val.payload;
    val.payload.i64 = 0;
    return 0;
  }
  if (val.type == VT_EMPTY &&
      (declared == VT_FILE || declared == VT_TIME || declared == VT_EXCEL))
    return 0;
  if (val.type == VT_EMPTY || declared < 0) return -100;
  return storeToRecord(rec, &val, ctx, true, 0);
}

QString declaredDescription(int32_t code, const QByteArray& word) {
  if (code == VT_STRUCT) return QStringLiteral("结构类型 %1").arg(QString::fromUtf8(word));
  if (code < 0) return QString::fromUtf8(word);
  return typeDescription(code);
}

// Records of the arguments prepared before the frame exists; given back to
// the pool when the call fails before they reach the scope stack.
struct PreparedArgs {
  ScopeRecord* local[8];
  std::vector<ScopeRecord*> more;
  int count = 0;
  bool handedOver = false;

  void add(ScopeRecord* rec) {
    if (count < 8)
      local[count] = rec;
    else
      more.push_back(rec);
    ++count;
  }
  ScopeRecord* at(int i) const { return i < 8 ? local[i] : more[size_t(i - 8)]; }
  ~PreparedArgs() {
    if (handedOver) return;
    for (int i = 0; i < count; ++i) dropRecord(at(i));
  }
};

// Releases a return list unless it has been handed on.
struct ListGuard {
  ReturnList* list;
  explicit ListGuard(ReturnList* l) : list(l) {}
  ReturnList* release() {
    ReturnList* l = list;
    list = nullptr;
    return l;
  }
  ~ListGuard() { releaseReturnList(list); }
};

// Guards the recursion depth and the machine stack before a new frame.
void checkCallDepth(antlr4::ParserRuleContext* call, const QByteArray& name) {
  if (!tl_stackKnown) findStackLimit();
  const bool stackLow =
      tl_stackLimit != 0 && reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < tl_stackLimit;
  if (g_frames.size() < kMaxCallDepth && !stackLow) return;
  if (stackLow && g_frames.size() < kMaxCallDepth)
    raiseScriptError(
        QStringLiteral("错误：行号 %1 函数 %2 递归调用层数过深（已达 %3 层，栈空间不足），终止执行！")
            .arg(scopedLineOfContext(call))
            .arg(qbytes(name))
            .arg(g_frames.size()));
  raiseScriptError(QStringLiteral("错误：行号 %1 函数 %2 递归调用层数过深（超过 %3 层），终止执行！")
                       .arg(scopedLineOfContext(call))
                       .arg(qbytes(name))
                       .arg(kMaxCallDepth));
}

// The target list of a multiple-assignment statement, or null.
KorParser::Fun_retContext* funRetOf(antlr4::ParserRuleContext* stmt) {
  if (!stmt) return nullptr;
  auto* with = dynamic_cast<KorParser::WithRetCallFunContext*>(stmt);
  return with ? with->fun_ret() : nullptr;
}

// Text of a return target: "_" or the variable reference as written.
inline bool isSkipTarget(KorParser::Ret_idContext* target) { return target->korvar() == nullptr; }

QByteArray targetText(KorParser::Ret_idContext* target) {
  return QByteArray::fromStdString(target->getText());
}

// The call itself: checks and binds the arguments, runs the body, and hands
// the returned values on.
void invokeFunction(ExprVisitor& v, antlr4::ParserRuleContext* call,
                    antlr4::ParserRuleContext* stmt, const QByteArray& name, FunctionInfo* info,
                    KorParser::ArgumentListContext* args, int flags) {
  const bool valuePath = (flags & (CALL_VALUE | CALL_CHAINED)) != 0;
  if (!info || !info->body) {
    if (valuePath) std::cout << "调用函数失败 函数名称 " << name.constData() << std::endl;
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 无法找到函数 %3 的定义, 变量%3 函数没有定义 ！是否把变量写错为函数调用？")
            .arg(scopedLineOfContext(call))
            .arg(qtext(call), qbytes(name)));
  }

  // Argument count.
  const int argc = argumentCount(args);
  const int paramc = int(info->paramNames.size());
  if (info->hasParams != (args != nullptr))
    raiseScriptError(QStringLiteral("调用函数 %1 的参数和其定义无法匹配！").arg(qbytes(name)));
  if (argc != paramc)
    raiseScriptError(
        QStringLiteral("行号 %1 语句 %2 函数 %3 调用的参数个数和函数定义无法匹配；%3 至多需要 %4 个参数，却给了%5个参数")
            .arg(scopedLineOfContext(call))
            .arg(qtext(call), qbytes(name))
            .arg(paramc)
            .arg(argc));

  // Binding, in the caller's scope.
  PreparedArgs prepared;
  forEachArgument(args, [&](int i, KorParser::ArgumentContext* arg) {
    antlr4::tree::ParseTree* rv = arg->children.empty() ? nullptr : arg->children[0];
    if (!rv)
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 函数 %3 不能使用函数或回调函数 %4做参数！")
                           .arg(scopedLineOfContext(call))
                           .arg(qtext(call), qbytes(name), qtext(arg)));
    ExprValue val = evalRightvar(v, rv);
    const int32_t declared = info->paramTypes[size_t(i)];
    ScopeRecord* rec = takeScopeRecord();
    setRecordName(rec, info->paramNames[size_t(i)]);
    rec->returnSlot = nullptr;
    rec->kind = VT_EMPTY;
    rec->payload.i64 = 0;
    prepared.add(rec);
    if (declared == VT_FUNC) {
      if (val.type != VT_FUNC) {
        freeValue(val);
        raiseScriptError(
            QStringLiteral("行号 %1 语句 %2 调用函数 %3 第 %4 个参数 %5不是回调函数，和函数定义形式 %6 无法匹配！")
                .arg(scopedLineOfContext(call))
                .arg(qtext(call), qbytes(name))
                .arg(i + 1)
                .arg(qtext(arg), qbytes(info->record->definitionText)));
      }
      rec->kind = VT_FUNC_VAR;
      rec->payload = val.payload;
      val.payload.i64 = 0;
      return;
    }
    const int32_t valueType = val.type;
    const int code = storeDeclared(rec, val, declared, info->paramWords[size_t(i)], call);
    freeValue(val);
    if (code < 0) {
      if (valuePath)
        raiseScriptError(QStringLiteral("函数 %1 调用的第 %2 个参数 %3 类型无法匹配参数值！")
                             .arg(qbytes(name))
                             .arg(i + 1)
                             .arg(qtext(arg)));
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 调用的参数 %3 类型无法匹配形参类型！函数 %4 第 %5 个参数申明需要 %6, 给定实参值却是 %7")
              .arg(scopedLineOfContext(call))
              .arg(qtext(call), qtext(arg), qbytes(name))
              .arg(i + 1)
              .arg(declaredDescription(declared, info->paramWords[size_t(i)]),
                   valueType == VT_STRUCT ? QStringLiteral("结构类型") : typeDescription(valueType)));
    }
  });

  // Value path: who takes the values, and the targets of `a, b := f()`.
  int32_t callMode = 0;
  KorParser::Fun_retContext* targets = nullptr;
  if (valuePath) {
    const bool chained = (flags & CALL_CHAINED) != 0;
    KorParser::Fun_retContext* fr = chained ? nullptr : funRetOf(stmt);
    if (stmt && !chained && fr) {
      if (!info->hasReturns)
        raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 没有返回值，不能接收该函数返回值 ！")
                             .arg(scopedLineOfContext(call))
                             .arg(qtext(stmt), qbytes(name)));
      callMode = kCallModeTakesReturn;
      targets = fr;
      const std::vector<KorParser::Ret_idContext*> ids = fr->ret_id();
      const bool define = fr->FUN_RET_AUTO_DEF() != nullptr;
      if (!define) {
        for (KorParser::Ret_idContext* id : ids) {
          if (isSkipTarget(id)) continue;
          KorParser::KorvarContext* kv = id->korvar();
          QByteArray var = kv->VARNAME() ? QByteArray::fromStdString(kv->VARNAME()->getText())
                                         : QByteArray();
          if (!lookupVariable(var, fnv1a(var)))
            raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 变量 %3 参数未定义 ")
                                 .arg(scopedLineOfContext(call))
                                 .arg(qtext(stmt), qtext(id)));
        }
        if (ids.size() > info->returnTypes.size())
          raiseScriptError(QStringLiteral("错误：函数中 %1 语句 %2 函数 %3 返回值个数与函数定义形式不匹配 ！")
                               .arg(currentFunctionQName(), qtext(stmt), qbytes(name)));
      } else {
        if (ids.size() != info->returnTypes.size())
          raiseScriptError(QStringLiteral("错误：函数中 %1 语句 %2 函数 %3 返回值个数与函数定义形式不匹配 ！")
                               .arg(currentFunctionQName(), qtext(stmt), qbytes(name)));
        for (size_t k = 0; k < ids.size(); ++k) {
          KorParser::Ret_idContext* id = ids[k];
          if (isSkipTarget(id)) continue;
          const QByteArray text = targetText(id);
          if (findInCurrentBlock(text))
            raiseScriptError(
                QStringLiteral("错误：函数 %1 语句 %2 变量 %3 已经在当前作用域中存在，不能重复使用 := 符号自动创建该变量 ")
                    .arg(currentFunctionQName(), qtext(stmt), qbytes(text)));
          ScopeRecord* nv = pushScopeRecord(info->returnTypes[k]);
          nv->name = text;
          nv->payload.i64 = 0;
          nv->returnSlot = nullptr;
        }
      }
    } else if (stmt && !chained) {
      callMode = 0;
    } else {
      if (!info->hasReturns)
        raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 没有返回值，不能接收该函数返回值 ！")
                             .arg(scopedLineOfContext(call))
                             .arg(qtext(call), qbytes(name)));
      callMode = kCallModeTakesReturn;
    }
  }

  // The frame, the body's block marker and the parameters.
  checkCallDepth(call, name);
  ScopeRecord* frame = pushScopeRecord(SK_FUNCTION);
  setRecordName(frame, info->name);
  frame->returnSlot = nullptr;
  const antlr4::Token* start = call->getStart();
  frame->setFrame(callMode, start ? int32_t(start->getLine()) : 0);
  FrameEntry entry(frame, info);
  pushScopeRecord(SK_BLOCK);
  if (prepared.count > 0) {
    ScopeStack* st = scopeStack();
    for (int i = 0; i < prepared.count; ++i) st->push_back(prepared.at(i));
    prepared.handedOver = true;
  }
  pushStatus(LS_FUNC_BODY);
  v.visitBlock(info->body);

  if (statusTop() != LS_RETURN) {
    if (info->hasReturns && !info->isEntry) {
      if (!valuePath)
        raiseScriptError(QStringLiteral("错误：行号%1 语句%2 %3 值没有返回值,该函数定义形式需要返回值 ！")
                             .arg(scopedLineOfContext(call))
                             .arg(qtext(call), qbytes(name)));
      raiseScriptError(QStringLiteral("错误：行号 %1 函数 %2 体没有返回值,该函数形式需要返回值 ！")
                           .arg(scopedLineOfContext(call))
                           .arg(qbytes(name)));
    }
    releaseReturnList(frame->returnSlot);
    frame->returnSlot = nullptr;
    popFunctionScope();
    return;
  }
  popStatus();

  ReturnList* list = frame->returnSlot;
  frame->returnSlot = nullptr;
  if (!valuePath || callMode != kCallModeTakesReturn) {
    releaseReturnList(list);
    popFunctionScope();
    return;
  }
  popFunctionScope();
  // The frame is gone; from here on the caller's frame is the nearest.
  entry.leave();

  if (!list) {
    if (!stmt) {
      setCallerReturn(nullptr);
      return;
    }
    raiseScriptError(QStringLiteral("错误：函数 %1 调用时缺少返回值，运行异常，请检查！").arg(qbytes(name)));
  }
  if (!targets) {
    setCallerReturn(list);
    return;
  }

  // `a, b := f()` / `a, b = f()`: each value goes to its target in turn.
  ListGuard guard(list);
  const std::vector<KorParser::Ret_idContext*> ids = targets->ret_id();
  for (size_t k = 0; k < ids.size() && k < list->size(); ++k) {
    if (isSkipTarget(ids[k])) continue;
    ScopeRecord* rec = (*list)[k];
    ExprValue cell = rec->asValue();
    rec->payload.i64 = 0;
    try {
      v.evalVariable(ids[k]->korvar(), false, &cell, 0);
    } catch (...) {
      freeValue(cell);
      throw;
    }
    freeValue(cell);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The call forms.
// ---------------------------------------------------------------------------

antlrcpp::Any ExprVisitor::evalCallExpr(KorParser::RealCallFunContext* call,
                                        antlr4::ParserRuleContext* stmt, int flags) {
  ActiveCallScope active;
  CallSite& site = callSite(call);
  if (!site.chain.empty()) flags |= CALL_CHAINED;

  if (site.member) {
    callMemberFunction(call, stmt, flags);
  } else {
    ScopeRecord* var = lookupVariable(site.name, site.hash);
    if (!var) var = findVariable(site.name, site.hash, call);  // raises for unknown names
    if (var->kind == VT_FUNC_VAR) {
      // A call through a callback parameter: the marker tells the call-stack
      // dump which function the name stood for.
      const QByteArray target = var->payload.fn ? var->payload.fn->name : QByteArray();
      ScopeRecord* marker = pushScopeRecord(SK_CALL_VALUE);
      marker->name = QByteArray::number(site.line) + '@' + site.name;
      marker->payload.fn = new FunctionName{target};
      invokeFunction(*this, call, stmt, target, functionInfo(target), site.args, flags);
      removeScopeRecord(marker);
    } else {
      if (!site.target) site.target = functionInfo(site.name);
      invokeFunction(*this, call, stmt, site.name, site.target, site.args, flags);
    }
  }

  if (site.chain.empty()) return 0;

  // Chained calls: each method runs on the first value of the call before it.
  const int32_t line = scopedLineOfContext(call);
  auto chainText = [&](size_t from, size_t to) {
    QString s;
    for (size_t j = from; j < to; ++j) s += qtext(site.chain[j]);
    return s;
  };
  auto stmtText = [&]() { return qtext(stmt ? stmt : static_cast<antlr4::ParserRuleContext*>(call)); };

  ReturnList* list = takeCallerReturn();
  if (!list || list->empty()) {
    recycleReturnList(list);
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 函数 %3 没有返回值，其返回值无法做表达式进一步求解后操作！")
                         .arg(line)
                         .arg(qtext(call),
                              site.member ? qtext(site.member) : qbytes(site.name)));
  }
  ScopeRecord* kept = list->front();
  list->erase(list->begin());
  releaseReturnList(list);
  struct KeptGuard {
    ScopeRecord* rec;
    ~KeptGuard() {
      if (rec) dropRecord(rec);
    }
  } keptGuard{kept};

  if (!typeHasMethods(kept->kind))
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用部分 %3 的返回值无法继续调用后续方法 %4")
                         .arg(line)
                         .arg(qtext(call), qbytes(site.calledPartText),
                              chainText(0, site.chain.size())));

  ScopeRecord* marker = pushScopeRecord(SK_CALL_VALUE);
  marker->name = QByteArray::number(line) + "@链式执行";
  marker->payload.fn = new FunctionName{QByteArray::fromStdString(call->getText())};
  const QByteArray linePrefix = QByteArray::number(line) + '@';

  for (size_t j = 0; j < site.chain.size(); ++j) {
    const bool last = j + 1 == site.chain.size();
    marker->name = linePrefix + site.chainNames[j];
    ExprValue recv;
    recv.owner = &site.calledPartText;
    recv.type = keptGuard.rec->kind;
    recv.payload = keptGuard.rec->payload;
    sharedRefOfValue(recv);
    callBuiltinCall(*this, call, stmt, recv, site.chainNames[j], site.chain[j]->argumentList(),
                    flags | (last ? CALL_LAST_CHAINED : 0));
    dropRecord(keptGuard.rec);
    keptGuard.rec = nullptr;
    if (last) break;

    ReturnList* next = takeCallerReturn();
    if (!next || next->empty()) {
      recycleReturnList(next);
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用部分 %3 没有返回值，无法继续调用后续 %4！")
                           .arg(line)
                           .arg(stmtText(),
                                qbytes(site.calledPartText) + chainText(0, j + 1),
                                chainText(j + 1, site.chain.size())));
    }
    keptGuard.rec = next->front();
    next->erase(next->begin());
    releaseReturnList(next);
    if (!typeHasMethods(keptGuard.rec->kind))
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用部分 %3 的返回值是 %4 无法继续调用后续方法 %5")
                           .arg(line)
                           .arg(stmtText(),
                                qbytes(site.calledPartText) + chainText(0, j + 1),
                                typeDescription(keptGuard.rec->kind),
                                chainText(j + 1, site.chain.size())));
  }
  removeScopeRecord(marker);
  return 0;
}

antlrcpp::Any ExprVisitor::callUserFunctionByName(KorParser::RealCallFunContext* call,
                                                  antlr4::ParserRuleContext* stmt, int flags) {
  ActiveCallScope active;
  CallSite& site = callSite(call);
  if (!site.target) site.target = functionInfo(site.name);
  invokeFunction(*this, call, stmt, site.name, site.target, site.args, flags);
  return 0;
}

antlrcpp::Any ExprVisitor::invokeUserFunction(antlr4::ParserRuleContext* call,
                                              antlr4::ParserRuleContext* stmt,
                                              const std::string& name,
                                              KorParser::ArgumentListContext* args, int flags) {
  ActiveCallScope active;
  const QByteArray n = QByteArray::fromStdString(name);
  invokeFunction(*this, call, stmt, n, functionInfo(n), args, flags);
  return 0;
}

antlrcpp::Any ExprVisitor::visitNoRetCallFun(KorParser::NoRetCallFunContext* ctx) {
  evalCallExpr(ctx->realCallFun(), nullptr, CALL_STATEMENT);
  return 0;
}

antlrcpp::Any ExprVisitor::visitWithRetCallFun(KorParser::WithRetCallFunContext* ctx) {
  evalCallExpr(ctx->realCallFun(), ctx, CALL_VALUE);
  return 0;
}

ExprValue evalCallValue(ExprVisitor& v, KorParser::CallFunExprContext* ctx) {
  // callFunExpr: realCallFun, its only child.
  KorParser::RealCallFunContext* call =
      flow::ruleOf(ctx->children.empty() ? nullptr : ctx->children[0]) == KorParser::RuleRealCallFun
          ? static_cast<KorParser::RealCallFunContext*>(ctx->children[0])
          : ctx->realCallFun();
  v.evalCallExpr(call, nullptr, CALL_VALUE);
  ReturnList* list = takeCallerReturn();
  if (!list || list->empty()) {
    recycleReturnList(list);
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 调用函数部分 %3 无返回值，其返回值无法做表达式进一步操作，比如打印输出或给其它变量赋值等！")
            .arg(lineOfContext(ctx))
            .arg(qtext(ctx), qtext(call)));
  }
  // Only the first value is used in an expression; it moves out of its record.
  ScopeRecord* first = list->front();
  ExprValue value;
  value.type = first->kind;
  value.payload = first->payload;
  first->payload.i64 = 0;
  releaseReturnList(list);
  return value;
}

antlrcpp::Any ExprVisitor::visitCallFunExpr(KorParser::CallFunExprContext* ctx) {
  return evalCallValue(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitReturnCallFun(KorParser::ReturnCallFunContext* ctx) {
  ActiveCallScope active;
  KorParser::RealCallFunContext* call = ctx->realCallFun();
  ScopeRecord* frame = nearestFrame();
  const FunctionInfo* current = currentFunctionInfo();
  if (!frame) throw std::runtime_error("函数调用关系链紊乱");

  if (frame->callMode() != kCallModeTakesReturn) {
    if (!current || !current->hasReturns)
      std::cout << QStringLiteral("警告：行号 %1 语句 %2 函数%3 定义没有返回参数，代码中却使用了fanhui 语句，将丢弃返回值！")
                       .arg(lineOfContext(ctx))
                       .arg(qtext(ctx), qbytes(frame->name.bytes()))
                       .toStdString()
                << std::endl;
    evalCallExpr(call, nullptr, CALL_STATEMENT);
    pushStatus(LS_RETURN);
    return 0;
  }

  CallSite& site = callSite(call);
  if (site.chain.empty() && !site.member && current) {
    const QString curName = qbytes(current->name.bytes());
    ScopeRecord* var = lookupVariable(site.name, site.hash);
    const bool viaCallback = var && var->kind == VT_FUNC_VAR;
    const QByteArray target =
        viaCallback ? (var->payload.fn ? var->payload.fn->name : QByteArray()) : site.name;
    const FunctionInfo* callee = functionInfo(target);
    if (!callee) {
      if (viaCallback)
        raiseScriptError(QStringLiteral("错误：找不到函数 %1 函数 %2 语句 %3 ！")
                             .arg(qbytes(target), curName, qtext(ctx)));
      raiseScriptError(QStringLiteral("错误：行号 %1 找不到函数 %2 函数 %3 语句 %4 ！")
                           .arg(scopedLineOfContext(call))
                           .arg(qbytes(target), curName, qtext(ctx)));
    }
    const bool formDiffers =
        callee->hasReturns != current->hasReturns ||
        (callee->hasReturns && callee->returnTypes.size() != current->returnTypes.size());
    if (formDiffers) {
      if (viaCallback)
        raiseScriptError(
            QStringLiteral("错误：行号 %1 函数 %2 语句 %3 ，回调函数 %4 调用的函数%5 的返回值形式不能匹配函数 %2 的定义形式 ！")
                .arg(scopedLineOfContext(call))
                .arg(curName, qtext(ctx), qbytes(site.name), qbytes(target)));
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 ，函数%3的返回值形式不能匹配函数 %4 的定义形式 ！")
                           .arg(scopedLineOfContext(call))
                           .arg(qtext(ctx), qbytes(target), curName));
    }
    for (size_t k = 0; k < callee->returnTypes.size(); ++k) {
      ExprValue probe;
      probe.type = callee->returnTypes[k];
      if (convertForAssign(current->returnTypes[k], callee->returnTypes[k], true, false, probe) >= 0)
        continue;
      if (viaCallback)
        raiseScriptError(
            QStringLiteral("错误：行号 %1 函数 %2 语句 %3 ，回调函数 %4 调用的函数%5 的返回值类型，不能匹配函数 %2 的定义类型 ！")
                .arg(scopedLineOfContext(call))
                .arg(curName, qtext(ctx), qbytes(site.name), qbytes(target)));
      raiseScriptError(QStringLiteral("错误：函数 %1 语句 %2 ，函数%3的返回值类型，不能匹配函数 %1 的定义类型 ！")
                           .arg(curName, qtext(ctx), qbytes(target)));
    }
  }

  // The callee's values land in this frame's slot and are this function's return.
  evalCallExpr(call, nullptr, CALL_VALUE);
  pushStatus(LS_RETURN);
  return 0;
}

antlrcpp::Any ExprVisitor::visitRetCode(KorParser::RetCodeContext* ctx) {
  ActiveCallScope active;
  const FunctionInfo* info = currentFunctionInfo();
  ScopeRecord* frame = nearestFrame();
  if (!info || !frame) throw std::runtime_error("函数调用关系链紊乱");

  // rightvar children: FANHUI_KEY rightvar (',' rightvar)* ';'
  antlr4::tree::ParseTree* values[8];
  std::vector<antlr4::tree::ParseTree*> moreValues;
  size_t n = 0;
  for (antlr4::tree::ParseTree* child : ctx->children) {
    if (child->children.empty()) continue;
    if (n < 8)
      values[n] = child;
    else
      moreValues.push_back(child);
    ++n;
  }
  auto valueAt = [&](size_t i) { return i < 8 ? values[i] : moreValues[i - 8]; };

  if (n == 0) {
    if (info->hasReturns)
      raiseScriptError(QStringLiteral("错误：函数 %1 语句 %2 实际返回的值和函数定义形式不匹配！")
                           .arg(qbytes(info->name.bytes()), qtext(ctx)));
    releaseReturnList(frame->returnSlot);
    frame->returnSlot = nullptr;
    pushStatus(LS_RETURN);
    return 0;
  }
  if (!info->hasReturns)
    raiseScriptError(QStringLiteral("错误：函数 %1 没有定义返回值,函数实际返回的值和函数定义形式不匹配！")
                         .arg(qbytes(info->name.bytes())));
  if (n != info->returnTypes.size())
    raiseScriptError(QStringLiteral("错误：函数 %1 中语句 %2 实际返回的值和函数定义形式不匹配！")
                         .arg(qbytes(info->name.bytes()), qtext(ctx)));

  const bool keep = frame->callMode() == kCallModeTakesReturn;
  ListGuard guard(keep ? newReturnList() : nullptr);
  for (size_t i = 0; i < n; ++i) {
    ExprValue val = evalRightvar(*this, valueAt(i));
    ScopeRecord* rec = takeScopeRecord();
    setRecordName(rec, info->returnWords[i]);
    rec->returnSlot = nullptr;
    const int code =
        storeDeclared(rec, val, info->returnTypes[i], info->returnWords[i].bytes(), ctx);
    if (code < 0) {
      const QString shown = valueToText(val);
      freeValue(val);
      dropRecord(rec);
      raiseScriptError(QStringLiteral("函数 %1 返回的参数值 %2 与 函数定义中的变量 %3 类型不匹配！")
                           .arg(qbytes(info->name.bytes()), shown,
                                qbytes(info->returnWords[i].bytes())));
    }
    freeValue(val);
    if (keep)
      guard.list->push_back(rec);
    else
      dropRecord(rec);
  }
  ReturnList* list = guard.release();
  if (frame->returnSlot && frame->returnSlot != list) releaseReturnList(frame->returnSlot);
  frame->returnSlot = list;
  pushStatus(LS_RETURN);
  return 0;
}

antlrcpp::Any ExprVisitor::visitFunction(KorParser::FunctionContext*) {
  // Definitions are registered by the pre-pass; a body runs only through a call.
  return 0;
}

antlrcpp::Any ExprVisitor::visitArgument(KorParser::ArgumentContext*) {
  // Arguments are evaluated by the call that binds them.
  return 0;
}
