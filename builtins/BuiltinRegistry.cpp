// The method registry: records, lazy registration of the libraries,
// resolution by receiver type, argument checking and the handler call.
#include "BuiltinRegistry.h"
#include "RegexNative.h"

#include "runtime/errors.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"

#include "ParserRuleContext.h"

namespace {
BuiltinMethodRegistry* registry = nullptr;

// Resolutions already made in this run, by method name and receiver kind.
// Resolution depends only on those and on which libraries are registered,
// and a library stays registered for the rest of the run, so a call site in
// a loop resolves once.
struct ResolvedKey {
  QByteArray name;
  int32_t type;
  int32_t detail;  // struct code for structs, the named code for type names
  bool operator==(const ResolvedKey& o) const {
    return type == o.type && detail == o.detail && name == o.name;
  }
};
struct ResolvedKeyHash {
  size_t operator()(const ResolvedKey& k) const noexcept {
    return size_t(fnv1a(k.name) ^ (uint64_t(uint32_t(k.type)) << 32) ^ uint32_t(k.detail));
  }
};
std::unordered_map<ResolvedKey, BuiltinMethod*, ResolvedKeyHash>* resolvedCache = nullptr;

// In front of that cache: the resolutions of call sites, direct-mapped by the
// address of the method name's bytes. A call site keeps its name, so its
// bytes stay where they are; an entry holds a copy of the name, which keeps
// those bytes alive and unchanged (a shared byte array is copied before it is
// written), so equal addresses mean the same name. The receiver's type and
// struct or named code are the guard.
struct SiteEntry {
  QByteArray name;
  int32_t type = 0;
  int32_t detail = 0;
  BuiltinMethod* method = nullptr;
};
constexpr size_t kSiteEntries = 512;
SiteEntry* siteCache = nullptr;

SiteEntry& siteEntryOf(const QByteArray& name, int32_t type) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(name.constData());
  return siteCache[((a >> 3) ^ (a >> 12) ^ uintptr_t(uint32_t(type) * 0x9E37u)) & (kSiteEntries - 1)];
}

ResolvedKey resolvedKeyOf(const ExprValue& receiver, const QByteArray& name) {
  return ResolvedKey{name, receiver.type, builtinReceiverDetail(receiver)};
}

BuiltinMethod* resolveUncached(const ExprValue& receiver, const QByteArray& name,
                               antlr4::ParserRuleContext* ctx);

QString contextText(antlr4::ParserRuleContext* ctx) {
  return ctx ? QString::fromStdString(ctx->getText()) : QString();
}

QString receiverText(const ExprValue& receiver) {
  return receiver.owner ? QString::fromUtf8(*receiver.owner) : QString();
}

BuiltinMethod* lookup(const QByteArray& name) {
  if (!registry) return nullptr;
  auto it = registry->find(name);
  return it == registry->end() ? nullptr : it->second;
}

[[noreturn]] void raiseNotFound(const ExprValue& receiver, const QByteArray& name, int32_t T,
                                antlr4::ParserRuleContext* ctx) {
  QString qname = QString::fromUtf8(name);
  if (ctx) {
    QString msg = fillMessage(
        QStringLiteral("错误：行号：%1 语句 %2 调用变量或表达式 %3 值是 %4 ，该类型没有函数 %5\n"
                       "调用对象的函数 %5不存在，请查看手册或检查拼写错误！"),
        lineOfContext(ctx), contextText(ctx), receiverText(receiver),
        typeDescription(receiver.type, &receiver), qname);
    if (receiver.type == VT_FUNC && receiver.payload.fn) {
      const QByteArray& fname = receiver.payload.fn->name;
      if (FunctionRecord* rec = findFunction(fname)) {
        msg += QStringLiteral("\n");
        msg += fillMessage(QStringLiteral("见函数 %1 的定义：行 %2 %3"), QString::fromUtf8(fname),
                           rec->startLine, QString::fromUtf8(rec->definitionText));
      }
    }
    raiseScriptError(msg);
  }
  raiseScriptError(QStringLiteral("错误：变量 %1 是 %2 ，该类型没有函数 %3")
                       .arg(receiverText(receiver), typeDescription(T), qname));
}

// The character methods are registered by the resolution itself.
void charLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

void registerCharLib() {
  if (BuiltinLibFlags[LIB_CHAR]) return;
  BuiltinLibFlags[LIB_CHAR] = 1;
  currentBuiltinHandler = charLibCall;
  currentBuiltinReceiver = VT_CHAR;
  registerBuiltinMethod(154, "num", {}, BF_MEMBER);
  registerBuiltinMethod(155, "hex", {}, BF_MEMBER);
}

// zf.num(): the byte taken unsigned; zf.hex(): the byte in base 16, lowercase,
// without a leading zero.
void charLibCall(BuiltinMethod* method, antlr4::ParserRuleContext*) {
  ExprValue* recv = builtinReceiver();
  unsigned int byte = static_cast<unsigned char>(recv->payload.c);
  if (method->id == 154) {
    pushBuiltinResult(makeIntValue(int32_t(byte)));
  } else {
    pushBuiltinResult(makeBytesValue(QByteArray::number(byte, 16)));
  }
}
}  // namespace

uint8_t BuiltinLibFlags[LIB_COUNT] = {};
BuiltinHandler currentBuiltinHandler = nullptr;
uint16_t currentBuiltinReceiver = 0;

BuiltinMethodRegistry* builtinRegistry() { return registry; }

namespace {
BuiltinArgShape argShapeOf(const std::vector<int32_t>& L) {
  if (L.empty()) return BS_NONE;
  const int32_t last = L.back();
  if (last == BA_RANGE) return L.size() >= 3 ? BS_RANGE : BS_CHECK;
  if (last == BA_OPTIONAL_LAST) return L.size() >= 2 ? BS_OPTIONAL : BS_CHECK;
  for (int32_t t : L)
    if (t < 0) return BS_CHECK;
  return BS_EXACT;
}
}  // namespace

BuiltinMethod* registerBuiltinMethod(uint16_t id, const QByteArray& name,
                                     const std::vector<int32_t>& argTypes, uint16_t flag) {
  if (!registry) {
    registry = new BuiltinMethodRegistry(8);
    registry->max_load_factor(1.0f);
  }
  auto* m = new BuiltinMethod;
  m->id = id;
  m->receiver = currentBuiltinReceiver;
  m->flag = flag;
  m->handler = currentBuiltinHandler;
  if (!argTypes.empty()) m->argTypes = new std::vector<int32_t>(argTypes);
  m->argShape = argShapeOf(argTypes);
  auto res = registry->emplace(name, m);
  if (!res.second) {
    // a name registered twice keeps its first record
    delete m->argTypes;
    delete m;
    return res.first->second;
  }
  return m;
}

void initBuiltinRegistry() {
  if (registry) return;
  registry = new BuiltinMethodRegistry(8);
  registry->max_load_factor(1.0f);
  registerSysLib();
}

void destroyBuiltinRegistry() {
  closeRunUndoGroups();
  releaseRegexCaches();
  delete resolvedCache;
  resolvedCache = nullptr;
  delete[] siteCache;
  siteCache = nullptr;
  if (!registry) return;
  for (auto& kv : *registry) {
    delete kv.second->argTypes;
    delete kv.second;
  }
  delete registry;
  registry = nullptr;
}

void resetBuiltinLibFlags() {
  for (auto& f : BuiltinLibFlags) f = 0;
}

int32_t findBuiltinMethod(const QByteArray& name, const ExprValue& receiver, BuiltinMethod** out) {
  BuiltinMethod* m = lookup(name);
  if (!m) return -2;
  int32_t T = receiver.type;
  if (T == VT_TYPE_NAME) {
    if (m->flag != BF_STATIC && m->flag != BF_ANY) return -1;
    T = receiver.payload.i32;
  }
  int32_t code = T == VT_STRUCT ? structTypeCode(receiver) : T;
  if (int32_t(m->receiver) != code && m->flag != BF_ANY) return -2;
  *out = m;
  return 1;
}

BuiltinMethod* resolveBuiltinMethod(const ExprValue& receiver, const QByteArray& name,
                                    antlr4::ParserRuleContext* ctx) {
  if (siteCache != nullptr) {
    const SiteEntry& e = siteEntryOf(name, receiver.type);
    if (e.method != nullptr && e.name.constData() == name.constData() && e.type == receiver.type &&
        e.detail == builtinReceiverDetail(receiver))
      return e.method;
  }
  if (!registry) initBuiltinRegistry();
  if (!resolvedCache) resolvedCache = new std::unordered_map<ResolvedKey, BuiltinMethod*, ResolvedKeyHash>();
  if (!siteCache) siteCache = new SiteEntry[kSiteEntries];
  ResolvedKey key = resolvedKeyOf(receiver, name);
  auto it = resolvedCache->find(key);
  BuiltinMethod* m;
  if (it != resolvedCache->end()) {
    m = it->second;
  } else {
    m = resolveUncached(receiver, name, ctx);
    resolvedCache->emplace(key, m);
  }
  SiteEntry& e = siteEntryOf(name, receiver.type);
  e.name = name;
  e.type = key.type;
  e.detail = key.detail;
  e.method = m;
  return m;
}

namespace {
BuiltinMethod* resolveUncached(const ExprValue& receiver, const QByteArray& name,
                               antlr4::ParserRuleContext* ctx) {
  int32_t T = receiver.type;
  if (T == VT_TYPE_NAME) {
    int32_t named = receiver.payload.i32;
    if (named == VT_FILE || named == VT_BYTES) {
      if (named == VT_FILE) registerFileLib(); else registerZfcLib();
      BuiltinMethod* m = lookup((named == VT_FILE ? QByteArray("wj::") : QByteArray("zfc::")) + name);
      if (m && (m->receiver == named || m->flag == BF_ANY)) return m;
    }
    T = named;
  }
  BuiltinMethod* found = nullptr;
  int32_t r = findBuiltinMethod(T == VT_STRING ? QByteArray("qstr_") + name : name, receiver, &found);
  if (r == 1) return found;
  if (r == -1 || T == VT_EMPTY) raiseNotFound(receiver, name, T, ctx);

  const char* prefix = "kor_";
  bool registered = false;
  auto reg = [&](int lib, void (*fn)()) {
    if (!BuiltinLibFlags[lib]) {
      fn();
      registered = true;
    }
  };
  switch (T) {
    case VT_CHAR: reg(LIB_CHAR, registerCharLib); prefix = "zf_"; break;
    case VT_WCHAR: reg(LIB_QCHR, registerQChrLib); prefix = "qchr_"; break;
    case VT_STRUCT: {
      int32_t code = structTypeCode(receiver);
      if (code == VT_XLWORKSHEET) { reg(LIB_EXCEL, registerExcelLib); prefix = "xws_"; }
      else if (code == VT_PHUXMAIN || code == VT_PEDIT) { reg(LIB_EDITOR, registerEditorLib); prefix = "hux_"; }
      else if (code == VT_REGEXP) { reg(LIB_REGEX, registerRegexLib); prefix = "reg_"; }
      else if (code == VT_REGMATCH || code == VT_REGMATCHITER) { reg(LIB_REGEX, registerRegexLib); prefix = "mat_"; }
      break;
    }
    case VT_BYTES: reg(LIB_ZFC, registerZfcLib); prefix = "zfc_"; break;
    case VT_STRING: reg(LIB_QSTR, registerQStrLib); prefix = "qstr_"; break;
    case VT_LIST: reg(LIB_LIST, registerListLib); prefix = "lb_"; break;
    case VT_DICT: reg(LIB_DICT, registerDictLib); prefix = "zd_"; break;
    case VT_FILE: reg(LIB_FILE, registerFileLib); prefix = "wj_"; break;
    case VT_TIME: reg(LIB_TIME, registerTimeLib); prefix = "sj_"; break;
    case VT_EXCEL: reg(LIB_EXCEL, registerExcelLib); prefix = "el_"; break;
    case VT_PKG_HUX: reg(LIB_EDITOR, registerEditorLib); prefix = "hux_"; break;
    default: break;
  }
  if (registered) {
    r = findBuiltinMethod(name, receiver, &found);
    if (r == 1) return found;
    if (r == -1) raiseNotFound(receiver, name, T, ctx);
  }
  r = findBuiltinMethod(QByteArray(prefix) + name, receiver, &found);
  if (r == 1) return found;
  raiseNotFound(receiver, name, T, ctx);
}
}  // namespace

namespace {
// The conversion table leaves numbers between the three numeric types to the
// caller; a handler reads its argument as the declared type, so an accepted
// number of another numeric type is rewritten here. A number beyond the int
// range where an int is declared is never cut to its low 32 bits: it stays a
// long, so the handler sees its real value (and refuses it as out of range,
// or reads it saturated, see textlib::argInt).

void widenNumber(int32_t expected, ExprValue& arg) {
  if (arg.type == expected || expected < VT_INT || expected > VT_DOUBLE) return;
  if (arg.type < VT_INT || arg.type > VT_DOUBLE) return;
  const double d = arg.type == VT_DOUBLE ? arg.payload.d : double(arg.asInt64());
  const int64_t i = arg.type == VT_DOUBLE ? cutDecimal<int64_t>(d) : arg.asInt64();
  switch (expected) {
    case VT_INT:
      if (i < INT32_MIN || i > INT32_MAX)
        arg = makeLongValue(i);
      else
        arg = makeIntValue(int32_t(i));
      break;
    case VT_LONG: arg = makeLongValue(i); break;
    default: arg = makeDoubleValue(d); break;
  }
}

// A zfc for a declared string that the method decodes itself.
bool keptAsGiven(const BuiltinMethod* method, int32_t expected, const ExprValue& arg) {
  return method->takesBytesAsString && expected == VT_STRING && arg.type == VT_BYTES;
}
}  // namespace

void checkBuiltinArgs(antlr4::ParserRuleContext* ctx, const QByteArray& name, BuiltinMethod* method) {
  BuiltinCall* call = currentBuiltinCallRecord;
  const int n = call->argc;
  const std::vector<int32_t>* L = method->argTypes;
  auto line = [&] { return lineOfContext(ctx); };
  auto countError = [&]() {
    raiseScriptError(
        fillMessage(QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 参数个数无法匹配"), line(),
                    contextText(ctx), QString::fromUtf8(name)));
  };
  if (!L) {
    if (n != 0) countError();
    return;
  }
  if (!L->empty() && L->back() == BA_RANGE) {
    int mn = L->size() > 0 ? (*L)[0] : 0;
    int mx = L->size() > 1 ? (*L)[1] : 0;
    if (n >= mn && n <= mx) return;
    raiseScriptError(fillMessage(
        QStringLiteral(
            "错误：行号 %1 语句 %2 调用函数 %3 参数个数错误，没有可以匹配该调用形式的参数个数！"),
        line(), contextText(ctx), QString::fromUtf8(name)));
  }
  if (int(L->size()) == n) {
    for (int i = 0; i < n; ++i) {
      ExprValue* arg = &call->args[i];
      int32_t expected = (*L)[size_t(i)];
      if (arg->type == expected && sameTypeNeedsNothing(expected)) continue;
      if (keptAsGiven(method, expected, *arg)) continue;
      int32_t r = expected < 0 ? -100 : convertForAssign(expected, arg->type, false, true, *arg);
      if (r < 0) {
        raiseScriptError(
            fillMessage(QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 第 %4 个参数无法匹配，第 "
                                       "%4 个参数需要是%5, 给定参数是%6！"),
                        line(), contextText(ctx), QString::fromUtf8(name), i + 1,
                        typeDescription(expected), typeDescription(arg->type, arg)));
      }
      widenNumber(expected, *arg);
    }
    return;
  }
  if (int(L->size()) == n + 1 && L->back() == BA_OPTIONAL_LAST) {
    for (int i = 0; i < n - 1; ++i) {
      ExprValue* arg = &call->args[i];
      int32_t expected = (*L)[size_t(i)];
      if (keptAsGiven(method, expected, *arg)) continue;
      int32_t r = expected < 0 ? -100 : convertForAssign(expected, arg->type, false, true, *arg);
      if (r < 0) {
        raiseScriptError(
            fillMessage(QStringLiteral("错误：函数 %1 语句 %2 调用函数 %3 第 %4 个参数无法匹配！"),
                        currentFunctionQName(), contextText(ctx), QString::fromUtf8(name), i + 1));
      }
      widenNumber(expected, *arg);
    }
    return;
  }
  countError();
}

void invokeBuiltinMethod(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  method->handler(method, ctx);
}

BuiltinCall* currentBuiltinCallRecord = nullptr;

void BuiltinCall::addMoreResult(const ExprValue& value) {
  if (!moreResults) moreResults = new std::vector<ExprValue>();
  moreResults->emplace_back();
  ExprValue* cell = &moreResults->back();
  ++resultCount;
  cell->owner = nullptr;
  cell->type = value.type;
  cell->payload = value.payload;
}

void BuiltinCall::releaseResults(int from) {
  for (int i = from; i < resultCount; ++i) freeValue(result(i));
  resultCount = 0;
  if (moreResults) moreResults->clear();
}

void BuiltinCall::dropMoreResults() {
  delete moreResults;
  moreResults = nullptr;
}

QByteArray builtinCallName() {
  const BuiltinCall* call = currentBuiltinCallRecord;
  return call != nullptr && call->name != nullptr ? *call->name : QByteArray();
}
