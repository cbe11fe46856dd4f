// The regular-expression library: methods of the prelude structs RegExp
// (a QRegularExpression), RegMatch (a QRegularExpressionMatch) and
// RegMatchIter (a QRegularExpressionMatchIterator).
//
// Each struct value keeps its Qt object in the native slot of its
// StructValue; the receiver is the variable's own value, so setPattern,
// setPatternOptions and an iterator's next act in place. Matching builds new
// RegMatch / RegMatchIter values that own copies of Qt's results.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QRegularExpressionMatchIterator>
#include <QtGlobal>

#include <algorithm>
#include <any>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// A new struct value (no members) owning a copy of a Qt result.
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

template <typename T>
void pushNative(const T& object, const QByteArray& typeName, int32_t code) {
  pushBuiltinResult(nativeValue(object, typeName, code));
}

ExprValue matchValue(const QRegularExpressionMatch& m) {
  return nativeValue(m, QByteArrayLiteral("RegMatch"), VT_REGMATCH);
}

void pushMatch(const QRegularExpressionMatch& m) { pushBuiltinResult(matchValue(m)); }

void pushIterator(const QRegularExpressionMatchIterator& it) {
  pushNative(it, QByteArrayLiteral("RegMatchIter"), VT_REGMATCHITER);
}

// Qt warns on the standard error stream when an invalid pattern is used for
// matching, and when an iterator at its end is stepped. The library reports
// neither: an invalid pattern yields a match (or iterator) that is not valid,
// and an iterator at its end yields a match without a match. The not-valid
// results are made once, with Qt's warning silenced while they are made.
void silentMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

template <typename F>
auto withoutQtWarnings(F make) -> decltype(make()) {
  const QtMessageHandler previous = qInstallMessageHandler(silentMessages);
  auto result = make();
  qInstallMessageHandler(previous);
  return result;
}

const QRegularExpression& invalidPattern() {
  static const QRegularExpression re(QStringLiteral("("));
  return re;
}

const QRegularExpressionMatch& invalidMatch() {
  static const QRegularExpressionMatch m =
      withoutQtWarnings([] { return invalidPattern().match(QString()); });
  return m;
}

const QRegularExpressionMatchIterator& invalidIterator() {
  static const QRegularExpressionMatchIterator it =
      withoutQtWarnings([] { return invalidPattern().globalMatch(QString()); });
  return it;
}

// ---- arguments -----------------------------------------------------------

const QString& stringArg(int i) {
  const ExprValue* a = builtinArg(i);
  if (a->type == VT_STRING && a->payload.str != nullptr) return *a->payload.str;
  return emptyString();
}

// An offset or group number: a zs, or a czs kept inside the int range.
int intArg(int i) {
  const int64_t v = argLong(builtinArg(i));
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return int(v);
}

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

// Whether the text has no UTF-16 surrogate unit (D800..DFFF) at all: such a
// text is valid UTF-16, and a search in it needs no validity check. The check
// PCRE makes otherwise walks the whole text one unit at a time before the
// first match of every search.
bool withoutSurrogates(const QString& text) {
  const auto* units = reinterpret_cast<const uint16_t*>(text.constData());
  const int n = text.size();
  int i = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi16(short(0xF800));
  const __m128i surrogate = _mm_set1_epi16(short(0xD800));
  auto surrogatesIn = [&](int at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + at));
    return _mm_cmpeq_epi16(_mm_and_si128(v, mask), surrogate);
  };
  for (; i + 32 <= n; i += 32) {
    const __m128i any = _mm_or_si128(_mm_or_si128(surrogatesIn(i), surrogatesIn(i + 8)),
                                     _mm_or_si128(surrogatesIn(i + 16), surrogatesIn(i + 24)));
    if (_mm_movemask_epi8(any) != 0) return false;
  }
  for (; i + 8 <= n; i += 8)
    if (_mm_movemask_epi8(surrogatesIn(i)) != 0) return false;
#endif
  for (; i < n; ++i)
    if ((units[i] & 0xF800) == 0xD800) return false;
  return true;
}

QRegularExpression::MatchOptions subjectOptions(const QString& text) {
  return withoutSurrogates(text) ? QRegularExpression::DontCheckSubjectStringMatchOption
                                 : QRegularExpression::NoMatchOption;
}

void regExpCall(uint16_t id, QRegularExpression& re, antlr4::ParserRuleContext* ctx) {
  switch (id) {
    case REG_MATCH:
      if (!re.isValid()) return pushMatch(invalidMatch());
      return pushMatch(re.match(stringArg(0), intArg(1), QRegularExpression::NormalMatch,
                                subjectOptions(stringArg(0))));
    case REG_GLOBAL_MATCH:
      if (!re.isValid()) return pushIterator(invalidIterator());
      return pushIterator(re.globalMatch(stringArg(0), intArg(1), QRegularExpression::NormalMatch,
                                         subjectOptions(stringArg(0))));
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
void pushCapturedTexts(const QRegularExpressionMatch& m) {
  ExprValue listValue = makeListValue();
  if (m.hasMatch()) {
    ValueList* list = listValue.payload.list;
    const int groups = std::max(m.regularExpression().captureCount(), m.lastCapturedIndex());
    list->reserve(size_t(groups) + 1);
    for (int i = 0; i <= groups; ++i) {
      ExprValue* cell = newElementCell(VT_STRING);
      cell->payload.str = newText(m.captured(i));
      list->push_back(cell);
    }
  }
  pushBuiltinResult(listValue);
}

// A group's text: its units copied straight from the subject (null when the
// group took no part, as captured gives).
QString capturedText(const QRegularExpressionMatch& m, int group) {
  const QStringRef units = m.capturedRef(group);
  if (units.isNull()) return QString();
  return copyToText(units.unicode(), units.size());
}

void regMatchCall(uint16_t id, const QRegularExpressionMatch& m) {
  switch (id) {
    case MAT_CAPTURED:
      return pushString(capturedText(m, intArg(0)));
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

void iteratorCall(uint16_t id, QRegularExpressionMatchIterator& it) {
  if (id == ITER_HAS_NEXT) return pushBool(it.hasNext());
  if (!it.hasNext()) {
    // past the last match: a match without a match (not valid for an
    // iterator of an invalid pattern)
    return pushMatch(it.isValid() ? QRegularExpressionMatch() : invalidMatch());
  }
  if (id == ITER_NEXT) return pushMatch(it.next());
  return pushMatch(it.peekNext());
}

// ---- direct forms (see BuiltinDirect): the handler's plain cases ---------

int capturedDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  const auto* m = nativeIf<QRegularExpressionMatch>(recv);
  if (m == nullptr || argc != 1 || args[0].type != VT_INT) return -1;
  out->type = VT_STRING;
  out->payload.str = newText(capturedText(*m, args[0].payload.i32));
  return 1;
}

int hasNextDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  const auto* it = nativeIf<QRegularExpressionMatchIterator>(recv);
  if (it == nullptr || argc != 0) return -1;
  *out = makeBoolValue(it->hasNext());
  return 1;
}

// next while there is a next match.
int nextDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  auto* it = nativeIf<QRegularExpressionMatchIterator>(recv);
  if (it == nullptr || argc != 0 || !it->hasNext()) return -1;
  *out = matchValue(it->next());
  return 1;
}

}  // namespace

void regexLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  const uint16_t id = method->id;
  if (id <= REG_SET_PATTERN) return regExpCall(id, nativeOf<QRegularExpression>(recv), ctx);
  if (id <= MAT_LAST_CAPTURED_INDEX)
    return regMatchCall(id, nativeOf<QRegularExpressionMatch>(recv));
  iteratorCall(id, nativeOf<QRegularExpressionMatchIterator>(recv));
}

void registerRegexLib() {
  if (BuiltinLibFlags[LIB_REGEX]) return;
  BuiltinLibFlags[LIB_REGEX] = 1;
  const int32_t R = BA_RANGE;
  const int32_t O = BA_OPTIONAL_LAST;
  currentBuiltinHandler = regexLibCall;
  currentBuiltinReceiver = VT_REGEXP;
  registerBuiltinMethod(REG_MATCH, QByteArrayLiteral("match"), {VT_STRING, 0, O}, BF_MEMBER);
  registerBuiltinMethod(REG_GLOBAL_MATCH, QByteArrayLiteral("globalMatch"), {VT_STRING, 0, O},
                        BF_MEMBER);
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
