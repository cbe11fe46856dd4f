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
#include "Compiled.h"
#include "FlowSupport.h"
#include "StackGuard.h"
#include "TypedStore.h"
#include "runtime/errors.h"
#include "runtime/run_state.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/stack_bounds.h"
#include "runtime/type_words.h"
#include "runtime/value.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"

#include <algorithm>


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

struct ActiveFrame {
  ScopeRecord* frame = nullptr;
  FunctionInfo* info = nullptr;
  // The caller takes the one declared value at once (a call inside an
  // expression): `fanhui` leaves the value here instead of a return list.
  bool direct = false;
  bool hasValue = false;
  ExprValue value;
};
// The script calls in progress, innermost last. The entries' storage stays
// when calls end, so that entering a call is a few stores; a plain call
// (callPlain) leaves its frame and marker records with its depth for the next
// call there.
class FrameStack {
 public:
  ~FrameStack() { dropSpares(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ActiveFrame& back() { return store_[size_ - 1]; }
  ActiveFrame& operator[](size_t i) { return store_[i]; }
  // A new innermost entry without a value (the value is read only while
  // hasValue is set).
  KOR_ALWAYS_INLINE void push(ScopeRecord* frame, FunctionInfo* info, bool direct) {
    if (size_ == cap_) grow();
    ActiveFrame& entry = store_[size_++];
    entry.frame = frame;
    entry.info = info;
    entry.direct = direct;
    entry.hasValue = false;
  }
  void pop_back() { --size_; }
  void clear() {
    size_ = cap_ = 0;
    store_.clear();
    dropSpares();
  }
  // Frame and marker records for a call entering at the next depth: the ones
  // the last plain call there left, or records from the pool.
  KOR_ALWAYS_INLINE void takeRecords(ScopeRecord*& frame, ScopeRecord*& marker) {
    if (size_ < cap_ && spares_[size_].frame != nullptr) {
      Spare& spare = spares_[size_];
      frame = spare.frame;
      marker = spare.marker;
      spare.frame = spare.marker = nullptr;
      return;
    }
    frame = takeScopeRecord();
    marker = takeScopeRecord();
  }
  // Keeps the records of a call that has left (its entry popped, its records
  // off the scope stack) for the next call at its depth.
  KOR_ALWAYS_INLINE void keepRecords(ScopeRecord* frame, ScopeRecord* marker) {
    Spare& spare = spares_[size_];
    if (spare.frame != nullptr) {
      returnScopeRecord(marker);
      returnScopeRecord(frame);
      return;
    }
    spare.frame = frame;
    spare.marker = marker;
  }

 private:
  struct Spare {
    ScopeRecord* frame = nullptr;
    ScopeRecord* marker = nullptr;
  };
  KOR_NOINLINE void grow() {
    cap_ += 64;
    store_.resize(cap_);
    spares_.resize(cap_);
  }
  void dropSpares() {
    for (Spare& spare : spares_) {
      RecyclePool<ScopeRecord>::destroy(spare.frame);
      RecyclePool<ScopeRecord>::destroy(spare.marker);
    }
    spares_.clear();
  }
  std::vector<ActiveFrame> store_;
  std::vector<Spare> spares_;  // one per entry of store_
  size_t size_ = 0;
  size_t cap_ = 0;  // entries in store_ and spares_
};
FrameStack g_frames;
// The value of the direct call that just ended, until the expression takes it.
bool g_hasResult = false;
ExprValue g_result;
// Set once a callback parameter has been bound in this run: before that no
// variable can hold a callback, so a call's name needs no local search.
bool g_callbacksBound = false;

// Removes the innermost call entry (a value it still holds is released).
inline void popFrameEntry() {
  ActiveFrame& top = g_frames.back();
  if (top.hasValue) freeValue(top.value);
  g_frames.pop_back();
}
ReturnList* g_topSlot = nullptr;    // return slot while no frame exists at all
// Free return lists, kept for reuse; freed when the process ends.
struct ReturnListPool {
  std::vector<ReturnList*> lists;
  ~ReturnListPool() {
    for (ReturnList* list : lists) delete list;
  }
  bool empty() const { return lists.empty(); }
  ReturnList* back() const { return lists.back(); }
  void pop_back() { lists.pop_back(); }
  void push_back(ReturnList* list) { lists.push_back(list); }
} g_listPool;

// Most script call levels allowed at once. One level of a plain recursive
// call costs about 1 KB of machine stack in an optimised build and 4 to 8 KB
// under AddressSanitizer; 1000 levels stay well inside the default 8 MB
// stack in both. Deeper recursion through heavier statements is caught by the
// machine-stack check (runtime/stack_bounds.h).
constexpr size_t kMaxCallDepth = 1000;
void dropCaches() {
  g_sites.clear();
  g_functions.clear();
  g_frames.clear();
  g_hasResult = false;
  g_result = ExprValue();
  directMethodValueSet = false;
  g_callbacksBound = false;
  // A list left here belongs to an earlier run whose tables are gone.
  g_topSlot = nullptr;
}

// Releases a record taken from the pool (payload freed, record recycled).
KOR_NOINLINE void dropRecord(ScopeRecord* rec) {
  releaseScopeRecord(rec);
  returnScopeRecord(rec);
}

// The entry of a call in progress; it leaves with the frame, or when the
// call ends by an error.
struct FrameEntry {
  bool active = true;
  // Takes over an entry pushed before.
  FrameEntry(ScopeRecord*, FunctionInfo*, bool) {}
  void leave() {
    if (!active) return;
    popFrameEntry();
    active = false;
  }
  ~FrameEntry() { leave(); }
};

}  // namespace

namespace callsupport {

void resetCallCaches() { dropCaches(); }

CallSite& callSite(KorParser::RealCallFunContext* call) {
  auto it = g_sites.find(call);
  if (it != g_sites.end()) return it->second;
  CallSite& s = g_sites[call];
  s.call = call;
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
    if (KorParser::FunobjContext* funobj = s.member->funobj()) {
      s.receiverText = QByteArray::fromStdString(funobj->getText());
      s.receiverPath = funobj->korvar();
    }
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
      if (info.paramTypes[i] < 0) info.paramTypes[i] = typeCodeOfSignatureWord(info.paramWords[i]);
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
      info.paramTypes.push_back(typeCodeOfSignatureWord(rec->parameters->at(n + i)));
    }
  }
  if (rec->returnTypes && !rec->returnTypes->isEmpty()) {
    info.hasReturns = true;
    for (const QByteArray& w : *rec->returnTypes) {
      info.returnWords.emplace_back(w);
      info.returnTypes.push_back(typeCodeOfSignatureWord(w));
    }
  }
  info.isEntry = name == "hs_rukou";
  return &info;
}

KOR_NOINLINE ScopeRecord* nearestFrame() {
  if (!g_frames.empty()) return g_frames.back().frame;
  if (!scopeStackExists()) return nullptr;
  const ScopeStack* st = scopeStack();
  for (auto it = st->rbegin(); it != st->rend(); ++it)
    if ((*it)->kind == SK_FUNCTION) return *it;
  return nullptr;
}

KOR_NOINLINE const FunctionInfo* currentFunctionInfo() {
  if (!g_frames.empty()) return g_frames.back().info;
  ScopeRecord* frame = nearestFrame();
  if (!frame) return nullptr;
  return functionInfo(frame->name.bytes());
}

KOR_NOINLINE ReturnList* callerReturnSlot() {
  ScopeRecord* frame = nearestFrame();
  return frame ? frame->returnSlot : g_topSlot;
}

KOR_NOINLINE void setCallerReturn(ReturnList* list) {
  ScopeRecord* frame = nearestFrame();
  ReturnList*& slot = frame ? frame->returnSlot : g_topSlot;
  if (slot && slot != list) releaseReturnList(slot);
  slot = list;
}

KOR_NOINLINE ReturnList* takeCallerReturn() {
  ScopeRecord* frame = nearestFrame();
  ReturnList*& slot = frame ? frame->returnSlot : g_topSlot;
  ReturnList* list = slot;
  slot = nullptr;
  return list;
}

KOR_NOINLINE ReturnList* newReturnList() {
  if (g_listPool.empty()) return new ReturnList();
  ReturnList* list = g_listPool.back();
  g_listPool.pop_back();
  return list;
}

KOR_NOINLINE void releaseReturnList(ReturnList* list) {
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
// Helpers of the call path. Recursion in a script nests these frames once per
// call level, so the hot ones stay small: messages are built in separate
// cold functions, and argument binding and result delivery run in helpers
// whose frames are gone while the body runs.
// ---------------------------------------------------------------------------
namespace {

using flow::evalRightvar;

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
KOR_NOINLINE int storeConverted(ScopeRecord* rec, ExprValue& val, int32_t declared, const QByteArray& word,
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

// The same; a value of the declared type (not a struct) moves here directly.
inline int storeDeclared(ScopeRecord* rec, ExprValue& val, int32_t declared, const QByteArray& word,
                         antlr4::ParserRuleContext* ctx) {
  if (val.type == declared && declared != VT_STRUCT) {
    rec->kind = declared;
    rec->payload = val.payload;
    val.payload.i64 = 0;
    return 0;
  }
  return storeConverted(rec, val, declared, word, ctx);
}

QString declaredDescription(int32_t code, const QByteArray& word) {
  if (code == VT_STRUCT) return QStringLiteral("结构类型 %1").arg(QString::fromUtf8(word));
  if (code < 0) return QString::fromUtf8(word);
  return typeDescription(code);
}

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

inline int callLine(antlr4::ParserRuleContext* call) { return scopedLineOfContext(call); }

// ---- error paths ----

KOR_FAIL void failMissingFunction(antlr4::ParserRuleContext* call, const QByteArray& name,
                                  bool valuePath) {
  if (valuePath) std::cout << "调用函数失败 函数名称 " << name.constData() << std::endl;
  raiseScriptError(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 无法找到函数 %3 的定义, "
                                              "变量%3 函数没有定义 ！是否把变量写错为函数调用？"),
                               callLine(call), qtext(call), qbytes(name)));
}

KOR_FAIL void failParamShape(const QByteArray& name) {
  raiseScriptError(QStringLiteral("调用函数 %1 的参数和其定义无法匹配！").arg(qbytes(name)));
}

KOR_FAIL void failParamCount(antlr4::ParserRuleContext* call, const QByteArray& name, int paramc,
                             int argc) {
  raiseScriptError(
      fillMessage(QStringLiteral("行号 %1 语句 %2 函数 %3 调用的参数个数和函数定义无法匹配；%3 "
                                 "至多需要 %4 个参数，却给了%5个参数"),
                  callLine(call), qtext(call), qbytes(name), paramc, argc));
}

KOR_FAIL void failArgumentForm(antlr4::ParserRuleContext* call, const QByteArray& name,
                               antlr4::tree::ParseTree* arg) {
  raiseScriptError(
      fillMessage(QStringLiteral("错误：行号 %1 语句 %2 函数 %3 不能使用函数或回调函数 %4做参数！"),
                  callLine(call), qtext(call), qbytes(name), qtext(arg)));
}

KOR_FAIL void failNotCallback(antlr4::ParserRuleContext* call, const QByteArray& name, int i,
                              antlr4::tree::ParseTree* arg, const FunctionInfo* info) {
  raiseScriptError(fillMessage(
      QStringLiteral(
          "行号 %1 语句 %2 调用函数 %3 第 %4 个参数 %5不是回调函数，和函数定义形式 %6 无法匹配！"),
      callLine(call), qtext(call), qbytes(name), i + 1, qtext(arg),
      qbytes(info->record->definitionText)));
}

KOR_FAIL void failParamType(antlr4::ParserRuleContext* call, const QByteArray& name, int i,
                            antlr4::tree::ParseTree* arg, const FunctionInfo* info,
                            int32_t valueType, bool valuePath) {
  if (valuePath)
    raiseScriptError(
        fillMessage(QStringLiteral("函数 %1 调用的第 %2 个参数 %3 类型无法匹配参数值！"),
                    qbytes(name), i + 1, qtext(arg)));
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 语句 %2 调用的参数 %3 类型无法匹配形参类型！函数 %4 第 %5 "
                     "个参数申明需要 %6, 给定实参值却是 %7"),
      callLine(call), qtext(call), qtext(arg), qbytes(name), i + 1,
      declaredDescription(info->paramTypes[size_t(i)], info->paramWords[size_t(i)]),
      valueType == VT_STRUCT ? QStringLiteral("结构类型") : typeDescription(valueType)));
}

KOR_FAIL void failNoReturnValues(antlr4::ParserRuleContext* call,
                                 antlr4::ParserRuleContext* shown, const QByteArray& name) {
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 没有返回值，不能接收该函数返回值 ！"),
      callLine(call), qtext(shown), qbytes(name)));
}

KOR_FAIL void failMissingReturn(antlr4::ParserRuleContext* call, const QByteArray& name,
                                bool valuePath) {
  if (!valuePath)
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号%1 语句%2 %3 值没有返回值,该函数定义形式需要返回值 ！"),
        callLine(call), qtext(call), qbytes(name)));
  raiseScriptError(
      fillMessage(QStringLiteral("错误：行号 %1 函数 %2 体没有返回值,该函数形式需要返回值 ！"),
                  callLine(call), qbytes(name)));
}

KOR_FAIL void failCallerMissesValues(const QByteArray& name) {
  raiseScriptError(QStringLiteral("错误：函数 %1 调用时缺少返回值，运行异常，请检查！").arg(qbytes(name)));
}

KOR_FAIL void failCallDepth(antlr4::ParserRuleContext* call, const QByteArray& name, bool stackLow) {
  if (stackLow)
    raiseScriptError(fillMessage(
        QStringLiteral(
            "错误：行号 %1 函数 %2 递归调用层数过深（已达 %3 层，栈空间不足），终止执行！"),
        callLine(call), qbytes(name), g_frames.size()));
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 函数 %2 递归调用层数过深（超过 %3 层），终止执行！"),
      callLine(call), qbytes(name), kMaxCallDepth));
}

// Whether a new frame would pass the recursion depth or the machine stack's
// limit (stackLow: the stack's). Inlined, so that the caller's frame address
// is the one checked; the frame address is always on the machine stack (a
// local's address may not be, under AddressSanitizer).
KOR_ALWAYS_INLINE bool callTooDeep(bool& stackLow) {
  noteThreadStack();
  stackLow = stackBelowLimit(KOR_STACK_HERE());
  return g_frames.size() >= kMaxCallDepth || stackLow;
}

// Guards the recursion depth and the machine stack before a new frame.
KOR_ALWAYS_INLINE void checkCallDepth(antlr4::ParserRuleContext* call, const QByteArray& name) {
  bool stackLow;
  if (callTooDeep(stackLow)) failCallDepth(call, name, stackLow && g_frames.size() < kMaxCallDepth);
}

// The nearest variable of that name among the current function's own
// (the records above the nearest function frame), or null.
inline ScopeRecord* findLocal(const QByteArray& name, uint64_t hash) {
  if (!scopeStackExists()) return nullptr;
  const ScopeStack& st = *scopeStack();
  for (size_t i = st.size(); i-- > 0;) {
    ScopeRecord* r = st[i];
    if (r->kind < 100) {
      if (r->name.equals(name, hash)) return r;
    } else if (r->kind == SK_FUNCTION) {
      break;
    }
  }
  return nullptr;
}

// The target list of a multiple-assignment statement, or null.
KorParser::Fun_retContext* funRetOf(antlr4::ParserRuleContext* stmt) { return withRetTargets(stmt); }

inline bool isSkipTarget(KorParser::Ret_idContext* target) { return retIdVariable(target) == nullptr; }

// Parameter records of the calls being set up, innermost last: a call's
// arguments are bound (and may make calls of their own) before its frame
// exists, then its records move onto the scope stack.
std::vector<ScopeRecord*> g_pendingParams;

void dropPending(size_t from) {
  for (size_t i = from; i < g_pendingParams.size(); ++i) dropRecord(g_pendingParams[i]);
  g_pendingParams.resize(from);
}

// The i-th argument of a list (error messages only).
antlr4::tree::ParseTree* argumentAt(KorParser::ArgumentListContext* args, int i) {
  for (antlr4::tree::ParseTree* arg : args->children) {
    if (arg->children.empty()) continue;  // ','
    if (i-- == 0) return arg;
  }
  return nullptr;
}

// A record for the i-th parameter, named; its kind and payload are set by
// the binding that follows (moveArgument, or storeConverted first thing).
KOR_ALWAYS_INLINE ScopeRecord* takeNamedParamRecord(const FunctionInfo* info, size_t i) {
  ScopeRecord* rec = takeScopeRecord();
  setRecordName(rec, info->paramNames[i]);
  rec->returnSlot = nullptr;
  return rec;
}

// The same, holding nothing yet.
inline ScopeRecord* takeParamRecord(const FunctionInfo* info, size_t i) {
  ScopeRecord* rec = takeNamedParamRecord(info, i);
  rec->kind = VT_EMPTY;
  rec->payload.i64 = 0;
  return rec;
}

// An argument of another type than the declared one, through the typed store
// (the value is released); a value that does not fit fails the call.
KOR_NOINLINE void storeArgumentConverted(ScopeRecord* rec, ExprValue& val, const FunctionInfo* info,
                                         int i, antlr4::ParserRuleContext* call,
                                         const QByteArray& name,
                                         KorParser::ArgumentListContext* args, bool valuePath) {
  const int32_t valueType = val.type;
  const int code =
      storeConverted(rec, val, info->paramTypes[size_t(i)], info->paramWords[size_t(i)], call);
  freeValue(val);
  if (code < 0)
    failParamType(call, name, i, argumentAt(args, i), info, valueType, valuePath);
}

// A value of the declared type (not a struct) moves into its parameter
// record, leaving nothing to release; false for any other value.
KOR_ALWAYS_INLINE bool moveArgument(ScopeRecord* rec, const ExprValue& val, int32_t declared) {
  if (val.type != declared || declared == VT_STRUCT) return false;
  rec->kind = declared;
  rec->payload = val.payload;
  return true;
}

// Binds the value of the i-th argument (not a callback parameter's) to its
// record.
inline void storeArgument(ScopeRecord* rec, ExprValue& val, const FunctionInfo* info, int i,
                          antlr4::ParserRuleContext* call, const QByteArray& name,
                          KorParser::ArgumentListContext* args, bool valuePath) {
  if (!moveArgument(rec, val, info->paramTypes[size_t(i)]))
    storeArgumentConverted(rec, val, info, i, call, name, args, valuePath);
}

// Evaluates the arguments in the caller's scope and prepares one parameter
// record per argument on the pending list.
KOR_NOINLINE void bindArguments(ExprVisitor& v, antlr4::ParserRuleContext* call,
                                             const QByteArray& name, const FunctionInfo* info,
                                             KorParser::ArgumentListContext* args,
                                             bool valuePath,
                                             const std::vector<cx::Node*>* argNodes) {
  const size_t start = g_pendingParams.size();
  try {
    int i = 0;
    for (antlr4::tree::ParseTree* arg : args->children) {
      if (arg->children.empty()) continue;  // ','
      antlr4::tree::ParseTree* rv = arg->children[0];
      if (!rv) failArgumentForm(call, name, arg);
      cx::Node* node = argNodes ? (*argNodes)[size_t(i)] : nullptr;
      ExprValue val = node ? cx::eval(v, node) : evalRightvar(v, rv);
      ScopeRecord* rec = takeParamRecord(info, size_t(i));
      g_pendingParams.push_back(rec);
      if (info->paramTypes[size_t(i)] == VT_FUNC) {
        // A callback parameter takes a function value and holds it as a callback.
        g_callbacksBound = true;
        if (val.type != VT_FUNC) {
          freeValue(val);
          failNotCallback(call, name, i, arg, info);
        }
        rec->kind = VT_FUNC_VAR;
        rec->payload = val.payload;
        val.payload.i64 = 0;
      } else {
        storeArgument(rec, val, info, i, call, name, args, valuePath);
      }
      ++i;
    }
  } catch (...) {
    dropPending(start);
    throw;
  }
}

// The value path's receivers: checks the targets of `a, b := f()` and
// `a, b = f()` and creates the new variables of `:=`. Returns the call mode.
// Reads the targets of a statement.
void readTargets(KorParser::Fun_retContext* fr, antlr4::ParserRuleContext* stmt,
                 ReceiverTargets& out) {
  out.stmt = stmt;
  retIdsOf(fr, out.ids);
  out.autoDefine = fr->FUN_RET_AUTO_DEF() != nullptr;
  out.texts.assign(out.ids.size(), HashedName());
  for (size_t k = 0; k < out.ids.size(); ++k) {
    KorParser::Ret_idContext* id = out.ids[k];
    if (!isSkipTarget(id) && out.autoDefine) out.texts[k] = QByteArray::fromStdString(id->getText());
  }
}

KOR_NOINLINE int32_t prepareReceivers(antlr4::ParserRuleContext* call,
                                                   antlr4::ParserRuleContext* stmt,
                                                   const QByteArray& name,
                                                   const FunctionInfo* info, int flags,
                                                   KorParser::Fun_retContext** targetsOut,
                                                   CallSite* site,
                                                   const ReceiverTargets** targetsRead) {
  const bool chained = (flags & CALL_CHAINED) != 0;
  KorParser::Fun_retContext* fr = chained ? nullptr : funRetOf(stmt);
  *targetsOut = nullptr;
  if (stmt && !chained && !fr) return 0;  // a statement that takes nothing
  if (!fr) {
    if (!info->hasReturns) failNoReturnValues(call, call, name);
    return kCallModeTakesReturn;
  }
  if (!info->hasReturns) failNoReturnValues(call, stmt, name);
  *targetsOut = fr;
  thread_local ReceiverTargets scratch;
  ReceiverTargets* rt = site ? &site->receivers : &scratch;
  if (!site || rt->stmt != stmt) readTargets(fr, stmt, *rt);
  // the targets stay valid until the call ends only when the site keeps them
  *targetsRead = site ? rt : nullptr;
  const std::vector<KorParser::Ret_idContext*>& ids = rt->ids;
  if (!rt->autoDefine) {
    // (the targets' variables were checked before the arguments ran)
    if (ids.size() > info->returnTypes.size())
      raiseScriptError(QStringLiteral("错误：函数中 %1 语句 %2 函数 %3 返回值个数与函数定义形式不匹配 ！")
                           .arg(currentFunctionQName(), qtext(stmt), qbytes(name)));
    return kCallModeTakesReturn;
  }
  if (ids.size() != info->returnTypes.size())
    raiseScriptError(QStringLiteral("错误：函数中 %1 语句 %2 函数 %3 返回值个数与函数定义形式不匹配 ！")
                         .arg(currentFunctionQName(), qtext(stmt), qbytes(name)));
  for (size_t k = 0; k < ids.size(); ++k) {
    if (isSkipTarget(ids[k])) continue;
    const HashedName& text = rt->texts[k];
    if (findInCurrentBlock(text))
      raiseScriptError(
          QStringLiteral("错误：函数 %1 语句 %2 变量 %3 已经在当前作用域中存在，不能重复使用 := 符号自动创建该变量 ")
              .arg(currentFunctionQName(), qtext(stmt), qbytes(text)));
    ScopeRecord* nv = pushScopeRecord(info->returnTypes[k]);
    setRecordName(nv, text);
    nv->payload.i64 = 0;
    nv->returnSlot = nullptr;
  }
  return kCallModeTakesReturn;
}

// `a, b := f()` / `a, b = f()`: each returned value goes to its target in
// turn (a variable, an element or a member); surplus values are dropped.
KOR_NOINLINE void assignTargets(ExprVisitor& v, KorParser::Fun_retContext* targets,
                                             ReturnList* list, const ReceiverTargets* read) {
  ListGuard guard(list);
  std::vector<KorParser::Ret_idContext*> own;
  if (!read) retIdsOf(targets, own);
  const std::vector<KorParser::Ret_idContext*>& ids = read ? read->ids : own;
  for (size_t k = 0; k < ids.size() && k < list->size(); ++k) {
    if (isSkipTarget(ids[k])) continue;
    ScopeRecord* rec = (*list)[k];
    ExprValue cell = rec->asValue();
    rec->payload.i64 = 0;
    try {
      storeCallResult(v, static_cast<antlr4::ParserRuleContext*>(targets->parent), k,
                      retIdVariable(ids[k]), &cell);
    } catch (...) {
      freeValue(cell);
      throw;
    }
    freeValue(cell);
  }
}

// What a call keeps between entering the callee and leaving it.
struct CallState {
  ScopeRecord* frame;
  int32_t callMode;
  KorParser::Fun_retContext* targets;
  CallSite* site;                       // null when the call has none
  const ReceiverTargets* read = nullptr;  // the targets, kept by the site
};

// Pushes a call's frame (with its entry among the calls in progress) and the
// body's block marker; the parameters go on top of them. Returns the frame's
// place on the scope stack.
KOR_ALWAYS_INLINE size_t pushFrame(ScopeRecord* frame, ScopeRecord* marker, FunctionInfo* info,
                                   int32_t callMode, int32_t line, bool direct) {
  ScopeStack* stack = scopeStack();
  const size_t at = stack->size();
  frame->kind = SK_FUNCTION;
  stack->push_back(frame);
  setRecordName(frame, info->name);
  frame->returnSlot = nullptr;
  frame->setFrame(callMode, line);
  g_frames.push(frame, info, direct);
  // the body's block marker (the body runs without one of its own)
  marker->kind = SK_BLOCK;
  stack->push_back(marker);
  return at;
}

// Checks and binds the arguments, prepares the receivers of the values,
// pushes the frame, the body's block marker and the parameters.
KOR_NOINLINE void enterFunction(ExprVisitor& v, antlr4::ParserRuleContext* call,
                                             antlr4::ParserRuleContext* stmt,
                                             const QByteArray& name, FunctionInfo* info,
                                             KorParser::ArgumentListContext* args, int flags,
                                             CallState& st,
                                             const std::vector<cx::Node*>* argNodes) {
  const bool valuePath = (flags & (CALL_VALUE | CALL_CHAINED)) != 0;
  if (!info || !info->body) failMissingFunction(call, name, valuePath);
  if (info->hasParams != (args != nullptr)) failParamShape(name);
  if (args) {
    const int argc = argNodes ? int(argNodes->size()) : argumentCount(args);
    if (argc != int(info->paramNames.size()))
      failParamCount(call, name, int(info->paramNames.size()), argc);
  }

  // The frame and block records are taken before the parameters', so that
  // the records a call gives back (parameters, block, frame) come back to the
  // same roles in the next call and keep their names.
  ScopeRecord* frame = takeScopeRecord();
  ScopeRecord* marker = takeScopeRecord();
  const size_t pending = g_pendingParams.size();
  try {
    if (args) bindArguments(v, call, name, info, args, valuePath, argNodes);
  } catch (...) {
    returnScopeRecord(marker);
    returnScopeRecord(frame);
    throw;
  }

  st.callMode = 0;
  st.targets = nullptr;
  try {
    // a call inside an expression hands its values to the caller's slot
    if (valuePath)
      st.callMode = stmt == nullptr && info->hasReturns
                        ? kCallModeTakesReturn
                        : prepareReceivers(call, stmt, name, info, flags, &st.targets, st.site,
                                           &st.read);
    checkCallDepth(call, name);
  } catch (...) {
    dropPending(pending);
    returnScopeRecord(marker);
    returnScopeRecord(frame);
    throw;
  }

  int32_t line;
  if (st.site != nullptr) {
    line = st.site->line;  // the same call's line, kept by its site
  } else {
    const antlr4::Token* start = call->getStart();
    line = start ? int32_t(start->getLine()) : 0;
  }
  st.frame = frame;
  // an expression takes the one value at once
  const bool direct = (flags & (CALL_DIRECT | CALL_CHAINED)) == CALL_DIRECT && stmt == nullptr &&
                      st.callMode == kCallModeTakesReturn && info->returnTypes.size() == 1;
  pushFrame(frame, marker, info, st.callMode, line, direct);
  if (g_pendingParams.size() > pending) {
    ScopeStack* stack = scopeStack();
    for (size_t k = pending; k < g_pendingParams.size(); ++k) stack->push_back(g_pendingParams[k]);
    g_pendingParams.resize(pending);
  }
}

KOR_FAIL void failInterrupted() {
  raiseScriptError(QStringLiteral("用户中断脚本继续执行,终止执行 ..."));
}

// The statements of a function body, in the block the call has pushed; the
// stop request is checked on entry, as for every block.
KOR_ALWAYS_INLINE void runBody(ExprVisitor& v, const cx::Stmt* body) {
  if (abortRequested.load(std::memory_order_relaxed)) failInterrupted();
  for (const cx::Stmt* s : body->list) {
    const int32_t top = statusTop();
    if (top == LS_RETURN || top == LS_BREAK || top == LS_CONTINUE) break;
    s->run(v, s);
  }
}

// The body of a call whose frame has been pushed (compiled on the first
// call); an error leaves the scope stack as it is, for the call-stack dump.
KOR_ALWAYS_INLINE void runFunctionBody(ExprVisitor& v, FunctionInfo* info) {
  try {
    if (!info->compiledBody) info->compiledBody = cx::compileBlock(v, info->body);
    runBody(v, info->compiledBody);
  } catch (...) {
    popFrameEntry();
    throw;
  }
}

// After the body: checks that a value-returning function returned, removes
// the frame and hands the values on (caller's slot or the statement's
// targets).
KOR_NOINLINE void leaveFunction(ExprVisitor& v, antlr4::ParserRuleContext* call,
                                             antlr4::ParserRuleContext* stmt,
                                             const QByteArray& name, FunctionInfo* info,
                                             int flags, CallState& st) {
  FrameEntry entry(st.frame, info, /*adopt=*/true);
  // the body's block first, as at the end of any block
  popBlockScope();
  ScopeRecord* frame = st.frame;
  ActiveFrame& top = g_frames.back();
  if (top.hasValue && statusTop() == LS_RETURN) {
    // A direct call: the value goes straight to the expression.
    popStatus();
    ReturnList* stale = frame->returnSlot;
    frame->returnSlot = nullptr;
    popFunctionScope();
    if (stale) releaseReturnList(stale);
    g_result = top.value;
    top.hasValue = false;
    entry.leave();
    g_hasResult = true;
    return;
  }
  const bool valuePath = (flags & (CALL_VALUE | CALL_CHAINED)) != 0;
  if (statusTop() != LS_RETURN) {
    if (info->hasReturns && !info->isEntry) failMissingReturn(call, name, valuePath);
    releaseReturnList(frame->returnSlot);
    frame->returnSlot = nullptr;
    popFunctionScope();
    return;
  }
  popStatus();

  ReturnList* list = frame->returnSlot;
  frame->returnSlot = nullptr;
  popFunctionScope();
  // The frame is gone; from here on the caller's frame is the nearest.
  entry.leave();
  if (!valuePath || st.callMode != kCallModeTakesReturn) {
    releaseReturnList(list);
    return;
  }
  if (!list) {
    // `fanhui;` in a function that declares nothing.
    if (stmt) failCallerMissesValues(name);
    setCallerReturn(nullptr);
    return;
  }
  if (st.targets)
    assignTargets(v, st.targets, list, st.read);
  else
    setCallerReturn(list);
}

// The call itself: the caller's frame holds only the call state while the
// body runs.
void invokeFunction(ExprVisitor& v, antlr4::ParserRuleContext* call,
                    antlr4::ParserRuleContext* stmt, const QByteArray& name, FunctionInfo* info,
                    KorParser::ArgumentListContext* args, int flags,
                    const std::vector<cx::Node*>* argNodes = nullptr,
                    CallSite* site = nullptr) {
  CallState st;
  st.site = site;
  enterFunction(v, call, stmt, name, info, args, flags, st, argNodes);
  runFunctionBody(v, info);
  leaveFunction(v, call, stmt, name, info, flags, st);
}

// A call through a callback parameter: the marker tells the call-stack dump
// which function the name stood for.
KOR_NOINLINE void callThroughValue(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                                antlr4::ParserRuleContext* stmt,
                                                CallSite& site, ScopeRecord* var, int flags) {
  const QByteArray target = var->payload.fn ? var->payload.fn->name : QByteArray();
  if (site.valueMarkerName.isEmpty())
    site.valueMarkerName = QByteArray::number(site.line) + '@' + site.name;
  ScopeRecord* marker = pushScopeRecord(SK_CALL_VALUE);
  marker->name = site.valueMarkerName;
  marker->payload.fn = new FunctionName{target};
  invokeFunction(v, call, stmt, target, functionInfo(target), site.args, flags, nullptr, &site);
  removeScopeRecord(marker);
}

// `fanhui f(...)` in a function whose caller takes values: the callee's
// return form must fit the current function's before the call is made.
KOR_NOINLINE void checkForwardedForm(antlr4::ParserRuleContext* ctx,
                                                  KorParser::RealCallFunContext* call,
                                                  const CallSite& site,
                                                  const FunctionInfo* current) {
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
    raiseScriptError(fillMessage(QStringLiteral("错误：行号 %1 找不到函数 %2 函数 %3 语句 %4 ！"),
                                 callLine(call), qbytes(target), curName, qtext(ctx)));
  }
  const bool formDiffers =
      callee->hasReturns != current->hasReturns ||
      (callee->hasReturns && callee->returnTypes.size() != current->returnTypes.size());
  if (formDiffers) {
    if (viaCallback)
      raiseScriptError(
          fillMessage(QStringLiteral("错误：行号 %1 函数 %2 语句 %3 ，回调函数 %4 调用的函数%5 "
                                     "的返回值形式不能匹配函数 %2 的定义形式 ！"),
                      callLine(call), curName, qtext(ctx), qbytes(site.name), qbytes(target)));
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 ，函数%3的返回值形式不能匹配函数 %4 的定义形式 ！"),
        callLine(call), qtext(ctx), qbytes(target), curName));
  }
  for (size_t k = 0; k < callee->returnTypes.size(); ++k) {
    ExprValue probe;
    probe.type = callee->returnTypes[k];
    if (convertForAssign(current->returnTypes[k], callee->returnTypes[k], true, false, probe) >= 0)
      continue;
    if (viaCallback)
      raiseScriptError(
          fillMessage(QStringLiteral("错误：行号 %1 函数 %2 语句 %3 ，回调函数 %4 调用的函数%5 "
                                     "的返回值类型，不能匹配函数 %2 的定义类型 ！"),
                      callLine(call), curName, qtext(ctx), qbytes(site.name), qbytes(target)));
    raiseScriptError(QStringLiteral("错误：函数 %1 语句 %2 ，函数%3的返回值类型，不能匹配函数 %1 的定义类型 ！")
                         .arg(curName, qtext(ctx), qbytes(target)));
  }
}

KOR_FAIL void failReturnForm(antlr4::ParserRuleContext* ctx, const FunctionInfo* info, int kind) {
  const QString fn = qbytes(info->name.bytes());
  if (kind == 0)
    raiseScriptError(QStringLiteral("错误：函数 %1 语句 %2 实际返回的值和函数定义形式不匹配！")
                         .arg(fn, qtext(ctx)));
  if (kind == 1)
    raiseScriptError(QStringLiteral("错误：函数 %1 没有定义返回值,函数实际返回的值和函数定义形式不匹配！")
                         .arg(fn));
  raiseScriptError(QStringLiteral("错误：函数 %1 中语句 %2 实际返回的值和函数定义形式不匹配！")
                       .arg(fn, qtext(ctx)));
}

KOR_FAIL void failReturnType(const FunctionInfo* info, size_t i, ExprValue& val, ScopeRecord* rec) {
  const QString shown = valueToText(val);
  freeValue(val);
  dropRecord(rec);
  raiseScriptError(QStringLiteral("函数 %1 返回的参数值 %2 与 函数定义中的变量 %3 类型不匹配！")
                       .arg(qbytes(info->name.bytes()), shown, qbytes(info->returnWords[i].bytes())));
}

KOR_FAIL void failNoValue(KorParser::CallFunExprContext* ctx, KorParser::RealCallFunContext* call) {
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 语句 %2 调用函数部分 %3 "
                     "无返回值，其返回值无法做表达式进一步操作，比如打印输出或给其它变量赋值等！"),
      lineOfContext(ctx), qtext(ctx), qtext(call)));
}

KOR_FAIL void failFrameChain() {
  throw std::runtime_error("函数调用关系链紊乱");
}

}  // namespace

// ---------------------------------------------------------------------------
// The call forms.
// ---------------------------------------------------------------------------

namespace flow {

void execCallAt(ExprVisitor& v, KorParser::RealCallFunContext* call, CallSite& site,
                antlr4::ParserRuleContext* stmt, int flags);

void execCall(ExprVisitor& v, KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt,
              int flags) {
  execCallAt(v, call, callSite(call), stmt, flags);
}

// The argument expressions of a site, compiled.
KOR_NOINLINE void compileArguments(ExprVisitor& v, CallSite& site) {
  site.argsCompiled = true;
  compileArgumentList(v, site.args, site.argNodes);
}

void compileArgumentList(ExprVisitor& v, KorParser::ArgumentListContext* args,
                         std::vector<cx::Node*>& out) {
  if (!args) return;
  for (antlr4::tree::ParseTree* arg : args->children) {
    if (arg->children.empty()) continue;  // ','
    antlr4::tree::ParseTree* rv = arg->children[0];
    antlr4::tree::ParseTree* inner = rv && !rv->children.empty() ? rv->children[0] : nullptr;
    out.push_back(inner && ruleOf(inner) == KorParser::RuleExpr
                      ? cx::compileExpr(v, static_cast<KorParser::ExprContext*>(inner))
                      : nullptr);
  }
}

namespace {
KOR_NOINLINE void execCallGeneral(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                  CallSite& site, antlr4::ParserRuleContext* stmt, int flags) {
  if (!site.chain.empty()) flags |= CALL_CHAINED;

  if (site.member) {
    // the first chained call takes the first value straight from the bridge
    callMemberCall(v, call, site, stmt, site.chain.empty() ? flags : flags | CALL_CHAIN_DIRECT);
  } else {
    // Only a callback parameter (kind 17) hides a function of the same
    // name; no global is of that kind, so when the function exists the
    // current function's own variables decide.
    if (!site.target) site.target = functionInfo(site.name);
    ScopeRecord* var = site.target ? (g_callbacksBound ? findLocal(site.name, site.hash) : nullptr)
                                   : findVariable(site.name, site.hash, call);  // raises
    if (var && var->kind == VT_FUNC_VAR)
      callThroughValue(v, call, stmt, site, var, flags);
    else {
      if (!site.argsCompiled) compileArguments(v, site);
      invokeFunction(v, call, stmt, site.name, site.target, site.args, flags,
                     site.argNodes.empty() ? nullptr : &site.argNodes, &site);
    }
  }
  if (!site.chain.empty()) callsupport::runChain(v, call, stmt, site, flags);
}
}  // namespace

void execCallAt(ExprVisitor& v, KorParser::RealCallFunContext* call, CallSite& site,
                antlr4::ParserRuleContext* stmt, int flags) {
  // a built-in method call without a chain goes straight to the bridge
  if (site.member && site.chain.empty()) return callMemberCall(v, call, site, stmt, flags);
  execCallGeneral(v, call, site, stmt, flags);
}

}  // namespace flow

antlrcpp::Any ExprVisitor::evalCallExpr(KorParser::RealCallFunContext* call,
                                        antlr4::ParserRuleContext* stmt, int flags) {
  flow::execCall(*this, call, stmt, flags);
  return 0;
}

antlrcpp::Any ExprVisitor::callUserFunctionByName(KorParser::RealCallFunContext* call,
                                                  antlr4::ParserRuleContext* stmt, int flags) {
  CallSite& site = callSite(call);
  if (!site.target) site.target = functionInfo(site.name);
  invokeFunction(*this, call, stmt, site.name, site.target, site.args, flags);
  return 0;
}

antlrcpp::Any ExprVisitor::invokeUserFunction(antlr4::ParserRuleContext* call,
                                              antlr4::ParserRuleContext* stmt,
                                              const std::string& name,
                                              KorParser::ArgumentListContext* args, int flags) {
  const QByteArray n = QByteArray::fromStdString(name);
  invokeFunction(*this, call, stmt, n, functionInfo(n), args, flags);
  return 0;
}

antlrcpp::Any ExprVisitor::visitNoRetCallFun(KorParser::NoRetCallFunContext* ctx) {
  flow::execCall(*this, ctx->realCallFun(), nullptr, CALL_STATEMENT);
  return 0;
}

antlrcpp::Any ExprVisitor::visitWithRetCallFun(KorParser::WithRetCallFunContext* ctx) {
  CallSite* site = nullptr;
  flow::execWithRetCall(*this, ctx, site);
  return 0;
}

namespace {

// Key stores of finished statements, kept for the next ones with their room.
std::vector<std::unique_ptr<CheckedTargets::Keys>> g_spareKeys;

// Keeps what a statement's check found on top while its call runs.
class CheckedTargetsScope {
 public:
  CheckedTargetsScope(antlr4::ParserRuleContext* stmt, size_t targets) {
    t_.stmt = stmt;
    t_.count = targets;
    if (targets > CheckedTargets::kInline) t_.more.reset(new ScopeRecord*[targets]);
    t_.outer = checkedTargetsTop;
    checkedTargetsTop = &t_;
  }
  ~CheckedTargetsScope() {
    checkedTargetsTop = t_.outer;
    if (t_.keys) {
      for (ExprValue& key : t_.keys->values) freeValue(key);
      t_.keys->values.clear();
      g_spareKeys.push_back(std::move(t_.keys));
    }
  }
  // The key store of a statement with element or member targets.
  CheckedTargets::Keys& keys() {
    if (g_spareKeys.empty()) {
      t_.keys.reset(new CheckedTargets::Keys);
    } else {
      t_.keys = std::move(g_spareKeys.back());
      g_spareKeys.pop_back();
    }
    t_.keys->first.assign(t_.count, -1);
    return *t_.keys;
  }
  CheckedTargetsScope(const CheckedTargetsScope&) = delete;
  CheckedTargetsScope& operator=(const CheckedTargetsScope&) = delete;
  CheckedTargets& found() { return t_; }

 private:
  CheckedTargets t_;
};

// The call of a `fun_ret realCallFun ';'` statement.
KorParser::RealCallFunContext* statementCall(KorParser::WithRetCallFunContext* ctx) {
  return ctx->children.size() > 1 && flow::ruleOf(ctx->children[1]) == KorParser::RuleRealCallFun
             ? static_cast<KorParser::RealCallFunContext*>(ctx->children[1])
             : ctx->realCallFun();
}

// Reads the statement's targets for the checks (once per statement).
KOR_NOINLINE const TargetChecks& readTargetChecks(KorParser::WithRetCallFunContext* ctx,
                                                  CallSite& site) {
  TargetChecks& tc = site.checks;
  tc.stmt = nullptr;
  KorParser::Fun_retContext* targets = funRetOf(ctx);
  tc.defines = targets != nullptr && targets->FUN_RET_AUTO_DEF() != nullptr;
  // a script function called by name or through a callback hands its values
  // to the targets itself; a method (also the last of a chain) through the bridge
  tc.scriptCall = site.member == nullptr && site.chain.empty();
  tc.anyPath = false;
  tc.namesFound = false;
  tc.ids.clear();
  if (targets) retIdsOf(targets, tc.ids);
  tc.targets.assign(tc.ids.size(), TargetChecks::Target());
  for (size_t k = 0; k < tc.ids.size(); ++k) {
    TargetChecks::Target& t = tc.targets[k];
    t.var = retIdVariable(tc.ids[k]);
    if (!t.var) continue;
    t.path = t.var->children.size() > 1;
    if (tc.defines) {
      t.text = QByteArray::fromStdString(tc.ids[k]->getText());
    } else {
      t.name = cx::compileName(t.var);
      tc.anyPath = tc.anyPath || t.path;
    }
  }
  tc.stmt = ctx;
  return tc;
}

// The refusals of the checks.
KOR_FAIL void failNewTarget(KorParser::WithRetCallFunContext* ctx, const CallSite& site,
                            const TargetChecks& tc, size_t k) {
  const TargetChecks::Target& t = tc.targets[k];
  if (t.path)
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 接收变量 %3 是元素或结构体成员，不能使用 := "
                       "符号自动创建，请先定义变量再用 = 号赋值 ！"),
        callLine(site.call), qtext(ctx), qtext(t.var)));
  if (tc.scriptCall)
    raiseScriptError(
        QStringLiteral("错误：函数 %1 语句 %2 变量 %3 已经在当前作用域中存在，不能重复使用 := 符号自动创建该变量 ")
            .arg(currentFunctionQName(), qtext(ctx), qbytes(t.text)));
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 语句 %2 变量 %3 已经在当前作用域中存在，不能重复使用 := "
                     "符号自动创建该变量 "),
      callLine(site.call), qtext(ctx), qbytes(t.text)));
}
KOR_FAIL void failMissingTarget(KorParser::WithRetCallFunContext* ctx, const CallSite& site,
                                const TargetChecks& tc, size_t k) {
  const TargetChecks::Target& t = tc.targets[k];
  if (tc.scriptCall)
    raiseScriptError(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 变量 %3 参数未定义 "),
                                 callLine(site.call), qtext(ctx), qtext(tc.ids[k])));
  cx::failNamed(t.name, t.path ? static_cast<antlr4::ParserRuleContext*>(t.var) : ctx);
}

// `a, b := f()`: each target is a plain name not yet defined in the block.
void checkNewTargets(KorParser::WithRetCallFunContext* ctx, const CallSite& site,
                     const TargetChecks& tc) {
  for (size_t k = 0; k < tc.targets.size(); ++k) {
    const TargetChecks::Target& t = tc.targets[k];
    if (t.var && (t.path || definedInCurrentBlock(t.text))) failNewTarget(ctx, site, tc, k);
  }
}

// `a, b = f()` with plain names: each target's variable exists. Which
// names a statement sees does not change from one run of it to the next
// (definitions are block-scoped and run in order), so once they were all
// found they are not looked for again before the call.
KOR_NOINLINE void checkPlainTargets(KorParser::WithRetCallFunContext* ctx, CallSite& site) {
  TargetChecks& tc = site.checks;
  const size_t n = tc.targets.size();
  const TargetChecks::Target* t = tc.targets.data();
  for (size_t k = 0; k < n; ++k, ++t)
    if (t->var && !cx::lookupNamed(t->name)) failMissingTarget(ctx, site, tc, k);
  tc.namesFound = true;
}

// `a, b = f()` with an element or member target: each target's variable
// exists (its record kept in `scope`) and an element or member target leads
// to a place (its index and key values kept too).
void checkTargets(ExprVisitor& v, KorParser::WithRetCallFunContext* ctx, const CallSite& site,
                  const TargetChecks& tc, CheckedTargetsScope& scope) {
  CheckedTargets& found = scope.found();
  const size_t n = found.count;
  scope.keys();
  const TargetChecks::Target* t = tc.targets.data();
  for (size_t k = 0; k < n; ++k, ++t) {
    ScopeRecord* rec = nullptr;
    if (t->var) {
      rec = cx::lookupNamed(t->name);
      if (!rec) failMissingTarget(ctx, site, tc, k);
      if (t->path) {
        CheckedTargets::Keys& keys = *found.keys;
        keys.first[k] = int32_t(keys.values.size());
        checkStoreTarget(v, t->var, rec, keys.values);
      }
    }
    found.rec(k) = rec;
  }
}

// The call of the statement once its targets are checked.
KOR_ALWAYS_INLINE void runWithRetCall(ExprVisitor& v, KorParser::WithRetCallFunContext* ctx,
                                      CallSite& site) {
  if (site.quick > 0 && quickMemberTargets(v, site, ctx)) return;
  flow::execCallAt(v, site.call, site, ctx, CALL_VALUE);
}

// The same with element or member targets: what the check finds stays with
// the statement while the call runs.
KOR_NOINLINE void runWithCheckedPaths(ExprVisitor& v, KorParser::WithRetCallFunContext* ctx,
                                      CallSite& site, const TargetChecks& tc) {
  CheckedTargetsScope scope(ctx, tc.targets.size());
  checkTargets(v, ctx, site, tc, scope);
  runWithRetCall(v, ctx, site);
}

}  // namespace

CheckedTargets* callsupport::checkedTargetsTop = nullptr;

void callsupport::storeCallResult(ExprVisitor& v, antlr4::ParserRuleContext* stmt, size_t k,
                                  KorParser::KorvarContext* target, ExprValue* value) {
  const CheckedTarget found = checkedTarget(stmt, k);
  storeAtTarget(v, target, found.rec, found.keys, value);
}

void flow::execWithRetCall(ExprVisitor& v, KorParser::WithRetCallFunContext* ctx,
                           CallSite*& site) {
  if (!site) site = &callSite(statementCall(ctx));
  const TargetChecks& tc = site->checks.stmt == ctx ? site->checks : readTargetChecks(ctx, *site);
  if (tc.anyPath) {
    runWithCheckedPaths(v, ctx, *site, tc);
    return;
  }
  if (tc.defines)
    checkNewTargets(ctx, *site, tc);
  else if (!tc.namesFound)
    checkPlainTargets(ctx, *site);
  runWithRetCall(v, ctx, *site);
}

namespace {

// The first value of a finished call, moved out of its return record.
KOR_NOINLINE ExprValue takeCallValue(KorParser::CallFunExprContext* ctx,
                                                  KorParser::RealCallFunContext* call) {
  if (g_hasResult) {
    g_hasResult = false;
    return g_result;
  }
  ExprValue direct;
  if (takeDirectMethodValue(direct)) return direct;
  ReturnList* list = takeCallerReturn();
  if (!list || list->empty()) {
    recycleReturnList(list);
    failNoValue(ctx, call);
  }
  // Only the first value is used in an expression.
  ScopeRecord* first = list->front();
  ExprValue value;
  value.type = first->kind;
  value.payload = first->payload;
  first->payload.i64 = 0;
  releaseReturnList(list);
  return value;
}

}  // namespace

namespace {

// callFunExpr: realCallFun, its only child.
KOR_ALWAYS_INLINE KorParser::RealCallFunContext* callOf(KorParser::CallFunExprContext* ctx) {
  return flow::ruleOf(ctx->children.empty() ? nullptr : ctx->children[0]) == KorParser::RuleRealCallFun
             ? static_cast<KorParser::RealCallFunContext*>(ctx->children[0])
             : ctx->realCallFun();
}

}  // namespace

ExprValue evalCallValue(ExprVisitor& v, KorParser::CallFunExprContext* ctx) {
  return evalCallValueAt(v, ctx, callSite(callOf(ctx)));
}

namespace {

// The value of a call used as an expression once it has run: a built-in
// method's, left by the bridge, or the function's.
inline ExprValue finishCallValue(KorParser::CallFunExprContext* ctx,
                                 KorParser::RealCallFunContext* call) {
  ExprValue direct;
  if (!g_hasResult && takeDirectMethodValue(direct)) return direct;
  return takeCallValue(ctx, call);
}

// Most parameters a plain call binds (in records kept on its own frame).
constexpr size_t kPlainParams = 4;

// Whether the calls of a site may take the plain path: a script function
// called by name whose form fits the call (the general path reports every
// mismatch), every argument an expression, no callback parameter, and for a
// call inside an expression one declared value.
KOR_NOINLINE bool plainCallFits(ExprVisitor& v, CallSite& site, bool forValue) {
  if (site.member || !site.chain.empty()) return false;
  if (!site.target) site.target = functionInfo(site.name);
  const FunctionInfo* info = site.target;
  if (!info || !info->body || info->hasParams != (site.args != nullptr)) return false;
  if (forValue && (!info->hasReturns || info->returnTypes.size() != 1)) return false;
  if (!site.argsCompiled) flow::compileArguments(v, site);
  const size_t argc = site.argNodes.size();
  if (argc != info->paramNames.size() || argc > kPlainParams ||
      (site.args != nullptr) != (argc > 0))
    return false;
  for (const cx::Node* node : site.argNodes)
    if (!node) return false;
  for (int32_t type : info->paramTypes)
    if (type == VT_FUNC) return false;
  return true;
}

// The end of a plain call whose body returned its value directly: the body's
// block and the frame leave as at the end of any call, and the value is the
// call's. False for every other end, which the general path finishes (the
// body's variables may have left already, as they would there).
KOR_ALWAYS_INLINE bool leaveDirect(ScopeRecord* frame, ScopeRecord* marker, size_t at,
                                   ExprValue& out) {
  ActiveFrame& top = g_frames.back();
  StatusStack* status = scope_state::statusStack;
  if (!top.hasValue || status == nullptr || status->empty() || status->back().code != LS_RETURN)
    return false;
  ScopeStack& st = *scope_state::scopeStack;
  size_t n = st.size();
  if (n < at + 2 || st[at] != frame || st[at + 1] != marker) return false;
  // the body's block, as at the end of any block: its variables, then the
  // marker (another record above it: the general path)
  for (; n > at + 2; --n) {
    ScopeRecord* r = st[n - 1];
    if (r->kind >= 100) return false;
    st.pop_back();
    releaseScopeRecord(r);
    returnScopeRecord(r);
  }
  st.pop_back();  // the marker
  status->pop_back();
  ReturnList* stale = frame->returnSlot;
  frame->returnSlot = nullptr;
  st.pop_back();  // the frame
  if (stale) releaseReturnList(stale);
  out = top.value;
  top.hasValue = false;
  g_frames.pop_back();
  // neither holds anything to release
  g_frames.keepRecords(frame, marker);
  g_hasResult = false;
  return true;
}

// The end of a plain statement call (a call that takes no values), when the
// body returned or the function may end without a value: as leaveFunction's.
// False, with nothing done, for every other end.
inline bool leaveStatement(ScopeRecord* frame, ScopeRecord* marker, size_t at,
                           const FunctionInfo* info) {
  StatusStack* status = scope_state::statusStack;
  const bool returned = status != nullptr && !status->empty() && status->back().code == LS_RETURN;
  if (!returned && info->hasReturns && !info->isEntry) return false;  // its message
  if (g_frames.back().hasValue) return false;
  ScopeStack& st = *scope_state::scopeStack;
  size_t n = st.size();
  if (n < at + 2 || st[at] != frame || st[at + 1] != marker) return false;
  size_t m = n;
  while (m > at + 2 && st[m - 1]->kind < 100) --m;
  if (m != at + 2) return false;
  // the body's block, as at the end of any block: its variables, then the marker
  for (; n > at + 2; --n) {
    ScopeRecord* r = st[n - 1];
    st.pop_back();
    releaseScopeRecord(r);
    returnScopeRecord(r);
  }
  st.pop_back();  // the marker
  ReturnList* list = frame->returnSlot;
  frame->returnSlot = nullptr;
  if (!returned) {
    releaseReturnList(list);
    st.pop_back();  // the frame
    g_frames.pop_back();
  } else {
    status->pop_back();
    st.pop_back();  // the frame
    g_frames.pop_back();
    releaseReturnList(list);
  }
  // neither holds anything to release
  g_frames.keepRecords(frame, marker);
  return true;
}

// The call of a plain call's messages: the call expression's call, or the
// call itself.
inline KorParser::RealCallFunContext* plainCallOf(KorParser::CallFunExprContext* ctx) {
  return callOf(ctx);
}
inline KorParser::RealCallFunContext* plainCallOf(KorParser::RealCallFunContext* call) {
  return call;
}

// The general path's steps for a plain call's argument of another type, and
// for a plain call too deep.
template <class Ctx>
KOR_NOINLINE void convertPlainArgument(ScopeRecord* rec, ExprValue& val, size_t i, Ctx* ctx,
                                       CallSite& site, bool valuePath) {
  storeArgumentConverted(rec, val, site.target, int(i), plainCallOf(ctx), site.name, site.args,
                         valuePath);
}
template <class Ctx>
KOR_FAIL void failPlainDepth(Ctx* ctx, CallSite& site, bool stackLow) {
  failCallDepth(plainCallOf(ctx), site.name, stackLow && g_frames.size() < kMaxCallDepth);
}

// The end of a plain call that leaveDirect or leaveStatement does not take:
// the general path's.
KOR_NOINLINE void leavePlainValue(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                  CallSite& site, ScopeRecord* frame) {
  CallState st{frame, kCallModeTakesReturn, nullptr, &site};
  leaveFunction(v, call, nullptr, site.name, site.target, CALL_VALUE | CALL_DIRECT, st);
}
KOR_NOINLINE ExprValue leavePlain(ExprVisitor& v, KorParser::CallFunExprContext* ctx,
                                  CallSite& site, ScopeRecord* frame) {
  KorParser::RealCallFunContext* call = callOf(ctx);
  leavePlainValue(v, call, site, frame);
  return finishCallValue(ctx, call);
}
KOR_NOINLINE void leavePlainStatement(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                      CallSite& site, ScopeRecord* frame) {
  CallState st{frame, 0, nullptr, &site};
  leaveFunction(v, call, nullptr, site.name, site.target, CALL_STATEMENT, st);
}

// The steps of enterFunction for a plain call: the parameters bound straight
// from their compiled arguments, the frame (its entry direct for a call
// inside an expression), marker and parameters pushed. Returns the frame's
// place on the scope stack.
template <bool kValue, class Ctx>
KOR_ALWAYS_INLINE size_t enterPlain(ExprVisitor& v, Ctx* ctx, CallSite& site, ScopeRecord*& frame,
                                    ScopeRecord*& marker) {
  FunctionInfo* info = site.target;
  const size_t argc = site.argNodes.size();
  g_frames.takeRecords(frame, marker);
  ScopeRecord* params[kPlainParams];
  size_t taken = 0;
  try {
    for (size_t i = 0; i < argc; ++i) {
      ExprValue val = cx::eval(v, site.argNodes[i]);
      ScopeRecord* rec = takeNamedParamRecord(info, i);
      params[taken++] = rec;
      if (!moveArgument(rec, val, info->paramTypes[i]))
        convertPlainArgument(rec, val, i, ctx, site, kValue);
    }
    bool stackLow;
    if (callTooDeep(stackLow)) failPlainDepth(ctx, site, stackLow);
  } catch (...) {
    for (size_t k = 0; k < taken; ++k) dropRecord(params[k]);
    returnScopeRecord(marker);
    returnScopeRecord(frame);
    throw;
  }
  const size_t at =
      pushFrame(frame, marker, info, kValue ? kCallModeTakesReturn : 0, site.line, kValue);
  ScopeStack& stack = *scope_state::scopeStack;
  for (size_t k = 0; k < taken; ++k) stack.push_back(params[k]);
  return at;
}

// A plain call inside an expression: enterFunction, invokeFunction and
// leaveFunction for a call that takes the one value at once.
ExprValue callPlain(ExprVisitor& v, KorParser::CallFunExprContext* ctx, CallSite& site) {
  ScopeRecord* frame;
  ScopeRecord* marker;
  const size_t at = enterPlain<true>(v, ctx, site, frame, marker);
  runFunctionBody(v, site.target);
  ExprValue out;
  if (leaveDirect(frame, marker, at, out)) return out;
  return leavePlain(v, ctx, site, frame);
}

// `fanhui f(...);` as a plain call whose value the current call's caller
// takes at once: true with the value; false when the general path has ended
// the call (its value left as there).
KOR_NOINLINE bool forwardPlain(ExprVisitor& v, KorParser::RealCallFunContext* call, CallSite& site,
                               ExprValue& out) {
  ScopeRecord* frame;
  ScopeRecord* marker;
  const size_t at = enterPlain<true>(v, call, site, frame, marker);
  runFunctionBody(v, site.target);
  if (leaveDirect(frame, marker, at, out)) return true;
  leavePlainValue(v, call, site, frame);
  return false;
}

// A plain call statement `f(...);`.
KOR_NOINLINE void callPlainStatement(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                     CallSite& site) {
  ScopeRecord* frame;
  ScopeRecord* marker;
  const size_t at = enterPlain<false>(v, call, site, frame, marker);
  runFunctionBody(v, site.target);
  if (!leaveStatement(frame, marker, at, site.target)) leavePlainStatement(v, call, site, frame);
}

}  // namespace

void flow::choosePlainCall(cx::Node* n) {
  CallSite& site = callSite(callOf(static_cast<KorParser::CallFunExprContext*>(n->ctx)));
  n->site = &site;
  if (!site.member && site.chain.empty()) n->eval = evalPlainCall;
}

ExprValue flow::evalPlainCall(ExprVisitor& v, cx::Node* n) {
  auto* ctx = static_cast<KorParser::CallFunExprContext*>(n->ctx);
  CallSite& site = *n->site;
  if (site.plain < 0) site.plain = plainCallFits(v, site, true) ? 1 : 0;
  // a callback parameter may stand for the name: the general path looks
  if (site.plain > 0 && !g_callbacksBound) return callPlain(v, ctx, site);
  return evalCallValueAt(v, ctx, site);
}

ExprValue callsupport::evalCallValueAt(ExprVisitor& v, KorParser::CallFunExprContext* ctx,
                                       CallSite& site) {
  KorParser::RealCallFunContext* call = callOf(ctx);
  flow::execCallAt(v, call, site, nullptr, CALL_VALUE | CALL_DIRECT);
  return finishCallValue(ctx, call);
}

namespace {
// A call statement of a function by name (a script function, or a callback).
KOR_NOINLINE void execNamedCallStatement(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                         CallSite& site) {
  if (site.plain < 0) site.plain = plainCallFits(v, site, false) ? 1 : 0;
  // a callback parameter may stand for the name: the general path looks
  if (site.plain > 0 && !g_callbacksBound) return callPlainStatement(v, call, site);
  flow::execCallAt(v, call, site, nullptr, CALL_STATEMENT);
}
}  // namespace

void callsupport::execCallStatementAt(ExprVisitor& v, KorParser::RealCallFunContext* call,
                                      CallSite& site) {
  if (!site.member) return execNamedCallStatement(v, call, site);
  flow::execCallAt(v, call, site, nullptr, CALL_STATEMENT);
}

antlrcpp::Any ExprVisitor::visitCallFunExpr(KorParser::CallFunExprContext* ctx) {
  return evalCallValue(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitReturnCallFun(KorParser::ReturnCallFunContext* ctx) {
  CallSite* site = nullptr;
  flow::execReturnCall(*this, ctx, site);
  return 0;
}

void flow::execReturnCall(ExprVisitor& v, KorParser::ReturnCallFunContext* ctx, CallSite*& sitep) {
  // returnCallFun: FANHUI_KEY realCallFun ';'
  KorParser::RealCallFunContext* call =
      ctx->children.size() > 1 && ruleOf(ctx->children[1]) == KorParser::RuleRealCallFun
          ? static_cast<KorParser::RealCallFunContext*>(ctx->children[1])
          : ctx->realCallFun();
  if (!sitep) sitep = &callSite(call);
  CallSite& site = *sitep;
  ScopeRecord* frame = nearestFrame();
  if (!frame) failFrameChain();
  const FunctionInfo* current = currentFunctionInfo();

  if (frame->callMode() != kCallModeTakesReturn) {
    if (!current || !current->hasReturns)
      std::cout << fillMessage(QStringLiteral(
                                   "警告：行号 %1 语句 %2 函数%3 "
                                   "定义没有返回参数，代码中却使用了fanhui 语句，将丢弃返回值！"),
                               lineOfContext(ctx), qtext(ctx), qbytes(frame->name.bytes()))
                       .toStdString()
                << std::endl;
    flow::execCallAt(v, call, site, nullptr, CALL_STATEMENT);
    pushStatus(LS_RETURN);
    return;
  }

  const bool plain = site.chain.empty() && !site.member;
  if (plain && current) {
    // The check depends only on the two functions while no callback can
    // stand for the name.
    if (g_callbacksBound || site.forwardFits != current) {
      checkForwardedForm(ctx, call, site, current);
      if (!g_callbacksBound) site.forwardFits = current;
    }
  }

  // The callee's values land in this frame's slot and are this function's
  // return; when this call's caller takes the one value at once, the
  // callee's value passes on the same way, unchanged.
  const size_t depth = g_frames.size();
  const bool direct = plain && depth > 0 && g_frames.back().direct;
  if (direct && site.plain < 0) site.plain = plainCallFits(v, site, true) ? 1 : 0;
  ExprValue forwarded;
  bool hasForwarded = false;
  if (direct && site.plain > 0 && !g_callbacksBound)
    hasForwarded = forwardPlain(v, call, site, forwarded);
  else
    flow::execCallAt(v, call, site, nullptr, direct ? CALL_VALUE | CALL_DIRECT : CALL_VALUE);
  if (hasForwarded || g_hasResult) {
    if (!hasForwarded) forwarded = g_result;
    g_hasResult = false;
    ActiveFrame& entry = g_frames[depth - 1];
    if (entry.hasValue) freeValue(entry.value);
    entry.value = forwarded;
    entry.hasValue = true;
    if (frame->returnSlot) {
      releaseReturnList(frame->returnSlot);
      frame->returnSlot = nullptr;
    }
  }
  pushStatus(LS_RETURN);
}

antlrcpp::Any ExprVisitor::visitRetCode(KorParser::RetCodeContext* ctx) {
  flow::execRetCode(*this, ctx);
  return 0;
}

namespace {

ScopeRecord* storeReturned(ExprValue& val, const FunctionInfo* info, size_t i,
                           KorParser::RetCodeContext* ctx);

// One returned value: evaluated and stored into a record of the declared type.
KOR_NOINLINE ScopeRecord* returnRecord(ExprVisitor& v, antlr4::tree::ParseTree* value,
                                                    const FunctionInfo* info, size_t i,
                                                    KorParser::RetCodeContext* ctx,
                                                    cx::Node* node) {
  ExprValue val = node ? cx::eval(v, node) : evalRightvar(v, value);
  return storeReturned(val, info, i, ctx);
}

// A returned value stored into a record of the declared type.
KOR_NOINLINE ScopeRecord* storeReturned(ExprValue& val, const FunctionInfo* info, size_t i,
                                        KorParser::RetCodeContext* ctx) {
  // A return record is named with the declared type word; the name only
  // shows in the typed store's messages, so it is set only for a store that
  // converts.
  ScopeRecord* rec = takeScopeRecord();
  if (val.type != info->returnTypes[i]) setRecordName(rec, info->returnWords[i]);
  rec->returnSlot = nullptr;
  if (storeDeclared(rec, val, info->returnTypes[i], info->returnWords[i].bytes(), ctx) < 0)
    failReturnType(info, i, val, rec);
  freeValue(val);
  return rec;
}

// `fanhui a, b;`: the values in the declared types; kept in the frame's slot
// when the caller takes them, otherwise checked and dropped.
KOR_NOINLINE void returnValues(ExprVisitor& v, KorParser::RetCodeContext* ctx,
                                            const FunctionInfo* info, ScopeRecord* frame,
                                            const std::vector<cx::Node*>* values) {
  ReturnList* list =
      frame->callMode() == kCallModeTakesReturn ? newReturnList() : nullptr;
  try {
    size_t i = 0;
    for (antlr4::tree::ParseTree* child : ctx->children) {
      if (child->children.empty()) continue;
      cx::Node* node = values ? (*values)[i] : nullptr;
      ScopeRecord* rec = returnRecord(v, child, info, i, ctx, node);
      ++i;
      if (list)
        list->push_back(rec);
      else
        dropRecord(rec);
    }
  } catch (...) {
    releaseReturnList(list);
    throw;
  }
  if (frame->returnSlot && frame->returnSlot != list) releaseReturnList(frame->returnSlot);
  frame->returnSlot = list;
}

}  // namespace

namespace {

// `fanhui x;` of a call whose caller takes the one value at once: the value,
// in the declared type, waits in the call's entry.
KOR_ALWAYS_INLINE void returnDirect(ExprVisitor& v, KorParser::RetCodeContext* ctx,
                                    cx::Node* node) {
  const size_t depth = g_frames.size();
  const FunctionInfo* info = g_frames.back().info;
  ExprValue val = cx::eval(v, node);
  const int32_t declared = info->returnTypes[0];
  if (val.type != declared || declared == VT_STRUCT) {
    ScopeRecord* rec = storeReturned(val, info, 0, ctx);  // releases val
    val = rec->asValue();
    rec->payload.i64 = 0;
    returnScopeRecord(rec);
  }
  val.owner = nullptr;
  ActiveFrame& entry = g_frames[depth - 1];  // the value may have made calls
  if (entry.hasValue) freeValue(entry.value);
  entry.value = val;
  entry.hasValue = true;
  ScopeRecord* frame = entry.frame;
  if (frame->returnSlot) {
    releaseReturnList(frame->returnSlot);
    frame->returnSlot = nullptr;
  }
  pushStatus(LS_RETURN);
}

}  // namespace

namespace {
KOR_NOINLINE void returnGeneral(ExprVisitor& v, KorParser::RetCodeContext* ctx,
                                const std::vector<cx::Node*>* values);
}  // namespace

// The one value's node of a `fanhui x;` whose caller takes the value at once,
// or null.
KOR_ALWAYS_INLINE cx::Node* directReturnNode(const std::vector<cx::Node*>* values) {
  if (g_frames.empty() || !g_frames.back().direct || !values || values->size() != 1)
    return nullptr;
  return (*values)[0];
}

void flow::execRetCode(ExprVisitor& v, KorParser::RetCodeContext* ctx,
                       const std::vector<cx::Node*>* values) {
  if (cx::Node* node = directReturnNode(values))
    returnDirect(v, ctx, node);
  else
    returnGeneral(v, ctx, values);
}

void flow::runReturnStatement(ExprVisitor& v, const cx::Stmt* s) {
  auto* ctx = static_cast<KorParser::RetCodeContext*>(s->ctx);
  if (cx::Node* node = directReturnNode(&s->conds))
    returnDirect(v, ctx, node);
  else
    returnGeneral(v, ctx, &s->conds);
}

namespace {
// `fanhui` of every other kind: the values through the frame's return slot.
void returnGeneral(ExprVisitor& v, KorParser::RetCodeContext* ctx,
                   const std::vector<cx::Node*>* values) {
  const FunctionInfo* info = currentFunctionInfo();
  ScopeRecord* frame = nearestFrame();
  if (!info || !frame) failFrameChain();

  // retCode: FANHUI_KEY rightvar (',' rightvar)* ';' | FANHUI_KEY ';'
  size_t n = 0;
  for (antlr4::tree::ParseTree* child : ctx->children)
    if (!child->children.empty()) ++n;

  if (n == 0) {
    if (info->hasReturns) failReturnForm(ctx, info, 0);
    releaseReturnList(frame->returnSlot);
    frame->returnSlot = nullptr;
  } else {
    if (!info->hasReturns) failReturnForm(ctx, info, 1);
    if (n != info->returnTypes.size()) failReturnForm(ctx, info, 2);
    returnValues(v, ctx, info, frame, values);
  }
  pushStatus(LS_RETURN);
}
}  // namespace

antlrcpp::Any ExprVisitor::visitFunction(KorParser::FunctionContext*) {
  // Definitions are registered by the pre-pass; a body runs only through a call.
  return 0;
}

antlrcpp::Any ExprVisitor::visitArgument(KorParser::ArgumentContext*) {
  // Arguments are evaluated by the call that binds them.
  return 0;
}

void failStackExhausted(antlr4::tree::ParseTree* node) {
  auto* ctx = dynamic_cast<antlr4::ParserRuleContext*>(node);
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 表达式或语句嵌套过深（栈空间不足），终止执行！"),
      ctx ? scopedLineOfContext(ctx) : 0));
}
