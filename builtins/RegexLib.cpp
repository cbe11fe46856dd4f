// The regular-expression library: methods of the prelude structs RegExp
// (a QRegularExpression: the pattern and its options), RegMatch (a
// RegexMatch) and RegMatchIter (a RegexIterator); the matching itself is in
// RegexEngine.cpp.
//
// Each struct value keeps its object in the native slot of its StructValue;
// the receiver is the variable's own value, so setPattern, setPatternOptions
// and an iterator's next act in place. Matching builds new RegMatch /
// RegMatchIter values. An engine that gives up is an error naming the
// pattern and the reason.
#include "BuiltinRegistry.h"
#include "RegexNative.h"
#include "TextLibCommon.h"

#include <QRegularExpression>

#include <algorithm>
#include <any>
#include <cstdint>

void regexLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

namespace {

enum RegexMethodId : uint16_t {
  REG_MATCH = 269,
  REG_GLOBAL_MATCH = 270,
  REG_CAPTURE_COUNT = 271,
  REG_ERROR_STRING = 272,
  REG_IS_VALID = 273,
  REG_SET_PATTERN_OPTIONS = 274,
  REG_SET_PATTERN = 275,
  MAT_CAPTURED = 276,
  MAT_CAPTURED_START = 277,
  MAT_CAPTURED_END = 278,
  MAT_CAPTURED_LENGTH = 279,
  MAT_HAS_MATCH = 280,
  MAT_IS_VALID = 281,
  MAT_CAPTURED_TEXTS = 282,
  MAT_LAST_CAPTURED_INDEX = 283,
  ITER_HAS_NEXT = 284,
  ITER_NEXT = 285,
  ITER_PEEK_NEXT = 286
};

// The receiver's native object of the expected kind. An empty slot, another
// kind or a missing struct throws std::bad_any_cast (reported by the run
// driver as a standard exception).
template <typename T>
T& nativeOf(ExprValue* recv) {
  if (recv->type != VT_STRUCT || recv->payload.st == nullptr) throw std::bad_any_cast();
  return std::any_cast<T&>(recv->payload.st->native);
}

// The receiver's native object of the expected kind, or null (what a direct
// form leaves to the handler).
template <typename T>
T* nativeIf(const ExprValue& recv) {
  if (recv.type != VT_STRUCT || recv.payload.st == nullptr) return nullptr;
  return std::any_cast<T>(&recv.payload.st->native);
}

// A new struct value (no members) owning a native object.
template <typename T>
ExprValue nativeValue(const T& object, const QByteArray& typeName, int32_t code) {
  auto* sv = new StructValue();
  sv->native = object;
  sv->typeName = typeName;
  sv->builtinCode = code;
  ExprValue v;
  v.type = VT_STRUCT;
  v.payload.st = sv;
  return v;
}

ExprValue matchValue(const RegexMatch& m) {
  return nativeValue(m, QByteArrayLiteral("RegMatch"), VT_REGMATCH);
}

void pushMatch(const RegexMatch& m) { pushBuiltinResult(matchValue(m)); }

void pushIterator(const RegexIterator& it) {
  pushBuiltinResult(nativeValue(it, QByteArrayLiteral("RegMatchIter"), VT_REGMATCHITER));
}

// "the pattern could not be matched": the pattern and the engine's reason.
[[noreturn]] void raiseEngineFailure(const QString& pattern, const QString& reason,
                                     antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行号 %1 语句 %2 正则表达式 %3 匹配失败：%4，无法给出匹配结果！", ctx,
                    {pattern, reason}));
}

// ---- arguments -----------------------------------------------------------

// The subject: a string as it is, a zfc decoded into `decoded` (see
// regexSubjectOf).
const QString& subjectArg(int i, QString& decoded) {
  const ExprValue* a = builtinArg(i);
  if (a->type == VT_STRING && a->payload.str != nullptr) return *a->payload.str;
  if (a->type != VT_BYTES || a->payload.bytes == nullptr) return emptyString();
  decoded = regexSubjectOf(*a->payload.bytes);
  return decoded;
}

// An offset or group number: a zs, or a czs kept inside the int range.
int intArg(int i) { return argInt(builtinArg(i)); }

// ---- RegExp --------------------------------------------------------------

void setPattern(QRegularExpression& re, antlr4::ParserRuleContext* ctx) {
  const ExprValue* a = builtinArg(0);
  if (a->type == VT_BYTES) {
    re.setPattern(a->payload.bytes != nullptr ? utf8ToString(*a->payload.bytes) : QString());
  } else if (a->type == VT_STRING) {
    re.setPattern(a->payload.str != nullptr ? *a->payload.str : QString());
  } else {
    raise(callMessage("错误：行号 %1 语句 %2 函数setPattern 参数需要字符串类型", ctx));
  }
}

void matchOnce(const QRegularExpression& re, antlr4::ParserRuleContext* ctx) {
  QString failure, decoded;
  const RegexMatch m = regexMatch(re, subjectArg(0, decoded), intArg(1), failure);
  if (!failure.isEmpty()) raiseEngineFailure(re.pattern(), failure, ctx);
  pushMatch(m);
}

void matchAll(const QRegularExpression& re, antlr4::ParserRuleContext* ctx) {
  QString failure, decoded;
  const RegexIterator it = regexGlobalMatch(re, subjectArg(0, decoded), intArg(1), failure);
  if (!failure.isEmpty()) raiseEngineFailure(re.pattern(), failure, ctx);
  pushIterator(it);
}

void regExpCall(uint16_t id, QRegularExpression& re, antlr4::ParserRuleContext* ctx) {
  switch (id) {
    case REG_MATCH:
      return matchOnce(re, ctx);
    case REG_GLOBAL_MATCH:
      return matchAll(re, ctx);
    case REG_CAPTURE_COUNT:
      return pushInt(re.captureCount());
    case REG_ERROR_STRING:
      return pushBytes(re.errorString().toUtf8());
    case REG_IS_VALID:
      return pushBool(re.isValid());
    case REG_SET_PATTERN_OPTIONS:
      re.setPatternOptions(QRegularExpression::PatternOptions(argInt(builtinArg(0))));
      return;
    case REG_SET_PATTERN:
      return setPattern(re, ctx);
    default:
      return;
  }
}

// ---- RegMatch ------------------------------------------------------------

// Group 0, then every group of the pattern in order (a group that took no
// part gives an empty text); no texts without a match.
void pushCapturedTexts(const RegexMatch& m) {
  ExprValue listValue = makeListValue();
  if (m.hasMatch()) {
    ValueList* list = listValue.payload.list;
    const int groups = std::max(m.captureCount(), m.lastCapturedIndex());
    list->reserve(size_t(groups) + 1);
    for (int i = 0; i <= groups; ++i) {
      ExprValue* cell = newElementCell(VT_STRING);
      cell->payload.str = newText(m.captured(i));
      list->push_back(cell);
    }
  }
  pushBuiltinResult(listValue);
}

void regMatchCall(uint16_t id, const RegexMatch& m) {
  switch (id) {
    case MAT_CAPTURED:
      return pushString(m.captured(intArg(0)));
    case MAT_CAPTURED_START:
      return pushInt(m.capturedStart(intArg(0)));
    case MAT_CAPTURED_END:
      return pushInt(m.capturedEnd(intArg(0)));
    case MAT_CAPTURED_LENGTH:
      return pushInt(m.capturedLength(intArg(0)));
    case MAT_HAS_MATCH:
      return pushBool(m.hasMatch());
    case MAT_IS_VALID:
      return pushBool(m.isValid());
    case MAT_CAPTURED_TEXTS:
      return pushCapturedTexts(m);
    case MAT_LAST_CAPTURED_INDEX:
      return pushInt(m.lastCapturedIndex());
    default:
      return;
  }
}

// ---- RegMatchIter --------------------------------------------------------

void iteratorCall(uint16_t id, RegexIterator& it, antlr4::ParserRuleContext* ctx) {
  if (!it.pendingFailure.isEmpty()) raiseEngineFailure(it.failedPattern, it.pendingFailure, ctx);
  if (id == ITER_HAS_NEXT) return pushBool(it.next.hasMatch());
  if (!it.next.hasMatch()) {
    // past the last match: a match without a match (not valid for an
    // iterator of an invalid pattern)
    return pushMatch(it.valid ? RegexMatch() : invalidMatch());
  }
  if (id == ITER_NEXT) return pushMatch(regexTakeNext(it));
  return pushMatch(it.next);
}

// ---- direct forms (see BuiltinDirect): the handler's plain cases ---------

int capturedDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  const auto* m = nativeIf<RegexMatch>(recv);
  if (m == nullptr || argc != 1 || args[0].type != VT_INT) return -1;
  out->type = VT_STRING;
  out->payload.str = newText(m->captured(args[0].payload.i32));
  return 1;
}

int hasNextDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  const auto* it = nativeIf<RegexIterator>(recv);
  if (it == nullptr || argc != 0 || !it->pendingFailure.isEmpty()) return -1;
  *out = makeBoolValue(it->next.hasMatch());
  return 1;
}

// next while there is a next match.
int nextDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  auto* it = nativeIf<RegexIterator>(recv);
  if (it == nullptr || argc != 0 || !it->pendingFailure.isEmpty() || !it->next.hasMatch()) return -1;
  *out = matchValue(regexTakeNext(*it));
  return 1;
}

}  // namespace

void regexLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  const uint16_t id = method->id;
  if (id <= REG_SET_PATTERN) return regExpCall(id, nativeOf<QRegularExpression>(recv), ctx);
  if (id <= MAT_LAST_CAPTURED_INDEX) return regMatchCall(id, nativeOf<RegexMatch>(recv));
  iteratorCall(id, nativeOf<RegexIterator>(recv), ctx);
}

void registerRegexLib() {
  if (BuiltinLibFlags[LIB_REGEX]) return;
  BuiltinLibFlags[LIB_REGEX] = 1;
  const int32_t R = BA_RANGE;
  const int32_t O = BA_OPTIONAL_LAST;
  currentBuiltinHandler = regexLibCall;
  currentBuiltinReceiver = VT_REGEXP;
  // a zfc subject is decoded by the library, once for a long text matched
  // again and again
  registerBuiltinMethod(REG_MATCH, QByteArrayLiteral("match"), {VT_STRING, 0, O}, BF_MEMBER)
      ->takesBytesAsString = true;
  registerBuiltinMethod(REG_GLOBAL_MATCH, QByteArrayLiteral("globalMatch"), {VT_STRING, 0, O},
                        BF_MEMBER)
      ->takesBytesAsString = true;
  registerBuiltinMethod(REG_CAPTURE_COUNT, QByteArrayLiteral("captureCount"), {}, BF_MEMBER);
  registerBuiltinMethod(REG_ERROR_STRING, QByteArrayLiteral("errorString"), {}, BF_MEMBER);
  registerBuiltinMethod(REG_SET_PATTERN_OPTIONS, QByteArrayLiteral("setPatternOptions"), {VT_INT},
                        BF_MEMBER);
  registerBuiltinMethod(REG_SET_PATTERN, QByteArrayLiteral("setPattern"), {1, 1, R}, BF_MEMBER);
  registerBuiltinMethod(REG_IS_VALID, QByteArrayLiteral("reg_isValid"), {}, BF_MEMBER);
  currentBuiltinReceiver = VT_REGMATCH;
  registerBuiltinMethod(MAT_CAPTURED, QByteArrayLiteral("captured"), {0, O}, BF_MEMBER)->direct =
      capturedDirect;
  registerBuiltinMethod(MAT_CAPTURED_START, QByteArrayLiteral("capturedStart"), {0, O}, BF_MEMBER);
  registerBuiltinMethod(MAT_CAPTURED_END, QByteArrayLiteral("capturedEnd"), {0, O}, BF_MEMBER);
  registerBuiltinMethod(MAT_CAPTURED_LENGTH, QByteArrayLiteral("capturedLength"), {0, O},
                        BF_MEMBER);
  registerBuiltinMethod(MAT_HAS_MATCH, QByteArrayLiteral("hasMatch"), {}, BF_MEMBER);
  registerBuiltinMethod(MAT_IS_VALID, QByteArrayLiteral("mat_isValid"), {}, BF_MEMBER);
  registerBuiltinMethod(MAT_CAPTURED_TEXTS, QByteArrayLiteral("capturedTexts"), {}, BF_MEMBER);
  registerBuiltinMethod(MAT_LAST_CAPTURED_INDEX, QByteArrayLiteral("lastCapturedIndex"), {},
                        BF_MEMBER);
  currentBuiltinReceiver = VT_REGMATCHITER;
  registerBuiltinMethod(ITER_HAS_NEXT, QByteArrayLiteral("hasNext"), {}, BF_MEMBER)->direct =
      hasNextDirect;
  registerBuiltinMethod(ITER_NEXT, QByteArrayLiteral("next"), {}, BF_MEMBER)->direct = nextDirect;
  registerBuiltinMethod(ITER_PEEK_NEXT, QByteArrayLiteral("peekNext"), {}, BF_MEMBER);
}
