// The time library: methods of sj values over QDateTime (current time,
// parsing, arithmetic, differences, setters, conversions, fixed date and
// time texts) and the static sleeps.
//
// Member methods read the receiver's own QDateTime (the variable's payload,
// so the setters change the variable); arithmetic and conversions return new
// times. Results that would leave the span a QDateTime counts in reliably
// (its milliseconds since the epoch are a 64-bit number) are refused with a
// message instead of handing back a wrapped-around date.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include "runtime/scope.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QThread>
#include <QTime>

#include <cstdint>

void timeLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

namespace {

enum TimeMethodId : uint16_t {
  SJ_CURRENT_DATE_TIME = 73,
  SJ_NOW = 74,
  SJ_ADD_DAYS = 75,
  SJ_ADD_MSECS = 76,
  SJ_ADD_MONTHS = 77,
  SJ_ADD_SECS = 78,
  SJ_ADD_YEARS = 79,
  SJ_DATE = 80,
  SJ_DAYS_TO = 81,
  SJ_IS_VALID = 82,
  SJ_IS_NULL = 83,
  SJ_MSECS_TO = 84,
  SJ_OFFSET_FROM_UTC = 85,
  SJ_SECS_TO = 86,
  SJ_SET_DATE = 87,
  SJ_SET_MSECS_SINCE_EPOCH = 88,
  SJ_SET_OFFSET_FROM_UTC = 89,
  SJ_SET_SECS_SINCE_EPOCH = 90,
  SJ_SET_TIME = 91,
  SJ_TIME = 92,
  SJ_TO_LOCAL_TIME = 93,
  SJ_TO_MSECS_SINCE_EPOCH = 94,
  SJ_TO_OFFSET_FROM_UTC = 95,
  SJ_TO_SECS_SINCE_EPOCH = 96,
  SJ_TO_STRING = 97,
  SJ_GET_DATE_STRING = 98,
  SJ_GET_TIME_STRING = 99,
  SJ_TO_UTC = 100,
  SJ_FROM_STRING = 101,
  SJ_MSLEEP = 102,
  SJ_SLEEP = 103
};

const QString kDateFormat = QStringLiteral("yyyy-MM-dd");
const QString kTimeFormat = QStringLiteral("hh:mm:ss");

// The span of times the library produces: 100 million years either side of
// the epoch, well inside what a QDateTime's 64-bit milliseconds can hold and
// below the month counts at which Qt's own month sum overflows.
constexpr int64_t kMaxYear = 100000000;
constexpr int64_t kMaxEpochMSecs = kMaxYear * 31557600000LL;  // 365.25 days a year
constexpr int64_t kMSecsPerDay = 86400000;
// UTC offsets QDateTime shifts by correctly: it counts an offset in
// milliseconds in an int, which wraps beyond this many seconds.
constexpr int32_t kMaxUtcOffset = INT32_MAX / 1000;

// ---- messages ------------------------------------------------------------

QString receiverName() {
  const ExprValue* r = builtinReceiver();
  if (r->owner != nullptr) return QString::fromUtf8(*r->owner);
  return QString::fromUtf8(typeKeyword(r->type, r));
}

// Messages whose %2 is the current function and %3 the statement; the
// further texts fill %4 and %5.
QString functionMessage(const char* utf8Template, antlr4::ParserRuleContext* ctx,
                        const QString& fourth = QString(), const QString& fifth = QString()) {
  return fillMessage(utf8Template, {QString::number(lineOf(ctx)), currentFunctionQName(),
                                    statementOf(ctx), fourth, fifth});
}

[[noreturn]] void raiseNotTime(antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行号 %1 语句 %2 变量 %3 不是有效的时间类型或是 kong 时间文件！", ctx,
                    {receiverName()}));
}

[[noreturn]] void raiseNotInteger(antlr4::ParserRuleContext* ctx) {
  raise(callMessage(
      "错误：行号 %1 语句 %2 变量 %3 调用成员函数 %4 第 %5 个参数类型错误，参数需要是整数类型！", ctx,
      {receiverName(), callName(), QStringLiteral("1")}));
}

[[noreturn]] void raiseNotTypeName(antlr4::ParserRuleContext* ctx) {
  raise(functionMessage(
      "错误：行号 %1 函数 %2 语句 %3 类名 %4 调用全局函数 %5 错误，时间类型名只能是 sj ！", ctx,
      receiverName(), callName()));
}

[[noreturn]] void raiseEmptyArgument(antlr4::ParserRuleContext* ctx) {
  raise(functionMessage(
      "错误：行号 %1 函数 %2 语句 %3 参数是 kong 时间类型或者是无效值，无法进行操作！", ctx));
}

[[noreturn]] void raiseDateText(antlr4::ParserRuleContext* ctx) {
  raise(functionMessage(
      "错误：行号 %1 函数 %2 语句 %3 调用 %4 函数参数必须是格式 yyyy-MM-dd 格式字符串，不能是空字符串、其它格式、或非法比如2024-22-32(月份或天数范围越界等)！",
      ctx, receiverName()));
}

[[noreturn]] void raiseTimeText(antlr4::ParserRuleContext* ctx) {
  raise(functionMessage(
      "错误：行号 %1 函数 %2 语句 %3 调用 %4 函数参数必须是格式 hh:mm:ss 格式字符串，不能是空字符串、其它格式、或非法比如23-61-60(分钟或秒钟范围越界等)！",
      ctx, receiverName()));
}

[[noreturn]] void raiseFormatText(antlr4::ParserRuleContext* ctx) {
  raise(functionMessage(
      "错误：行号 %1 函数 %2 语句 %3 时间格式参数必须是字符串，且满足格式规则", ctx));
}

[[noreturn]] void raiseBadValue(antlr4::ParserRuleContext* ctx) {
  raise(functionMessage(
      "错误：行号 %1 函数 %2 语句 %3 错误的时间格式或时间值！时间字符串必须是有效的时间，比如2025-02-32 或 25:61:00 类似格式均是非法时间！(月份、天数、时钟、分钟值越界等)",
      ctx));
}

[[noreturn]] void raiseOutOfRange(int64_t value, antlr4::ParserRuleContext* ctx) {
  raise(callMessage(
      "错误：行号 %1 语句 %2 变量 %3 调用成员函数 %4 参数 %5 超出时间类型能表示的范围(公元前后一亿年以内)！",
      ctx, {receiverName(), callName(), QString::number(qlonglong(value))}));
}

[[noreturn]] void raiseBadOffset(int64_t value, antlr4::ParserRuleContext* ctx) {
  raise(callMessage(
      "错误：行号 %1 语句 %2 变量 %3 调用成员函数 %4 参数 %5 不是有效的UTC偏移秒数，范围是 %6 到 %7！",
      ctx, {receiverName(), callName(), QString::number(qlonglong(value)),
            QString::number(-kMaxUtcOffset), QString::number(kMaxUtcOffset)}));
}

// ---- results -------------------------------------------------------------

void pushTime(const QDateTime& t) { pushBuiltinResult(makeTimeValue(t)); }

void pushText(const QString& text) { pushBytes(text.toUtf8()); }

// ---- arguments -----------------------------------------------------------

// The integer argument of the arithmetic and setter methods.
int64_t integerArg(antlr4::ParserRuleContext* ctx) {
  const ExprValue* a = builtinArg(0);
  if (!isInteger(a)) raiseNotInteger(ctx);
  return argLong(a);
}

// The other time of daysTo, msecsTo and secsTo.
const QDateTime& otherTime(antlr4::ParserRuleContext* ctx) {
  const ExprValue* a = builtinArg(0);
  if (a->type != VT_TIME || a->payload.time == nullptr || a->payload.time->isNull())
    raiseEmptyArgument(ctx);
  return *a->payload.time;
}

// A byte-string argument's text, or null when the argument carries none.
const QByteArray* bytesArg(int i) {
  const ExprValue* a = builtinArg(i);
  return a->type == VT_BYTES ? a->payload.bytes : nullptr;
}

bool isSum(int64_t a, int64_t b, int64_t* out) { return !__builtin_add_overflow(a, b, out); }

bool inSpan(int64_t msecs) { return msecs >= -kMaxEpochMSecs && msecs <= kMaxEpochMSecs; }

// ---- arithmetic ----------------------------------------------------------

QDateTime addDays(const QDateTime& t, int64_t days, antlr4::ParserRuleContext* ctx) {
  // days and the shifted instant both stay inside the span; a time without a
  // valid date shifts to nothing in Qt and needs no check
  if (t.isValid()) {
    int64_t delta = 0;
    int64_t shifted = 0;
    if (__builtin_mul_overflow(days, kMSecsPerDay, &delta) ||
        !isSum(t.toMSecsSinceEpoch(), delta, &shifted) || !inSpan(shifted))
      raiseOutOfRange(days, ctx);
  }
  return t.addDays(days);
}

QDateTime addMSecs(const QDateTime& t, int64_t msecs, int64_t shown,
                   antlr4::ParserRuleContext* ctx) {
  if (t.isValid()) {
    int64_t shifted = 0;
    if (!isSum(t.toMSecsSinceEpoch(), msecs, &shifted) || !inSpan(shifted))
      raiseOutOfRange(shown, ctx);
  }
  return t.addMSecs(msecs);
}

QDateTime addSecs(const QDateTime& t, int64_t secs, antlr4::ParserRuleContext* ctx) {
  int64_t msecs = 0;
  if (__builtin_mul_overflow(secs, int64_t(1000), &msecs)) raiseOutOfRange(secs, ctx);
  return addMSecs(t, msecs, secs, ctx);
}

// Months and years move the calendar year; the target year must stay in
// the span (Qt's own month and year sums overflow far beyond it).
QDateTime addMonths(const QDateTime& t, int64_t months, antlr4::ParserRuleContext* ctx) {
  if (t.isValid()) {
    const int64_t year = int64_t(t.date().year()) + months / 12;
    if (year < -kMaxYear + 1 || year > kMaxYear - 1) raiseOutOfRange(months, ctx);
  }
  return t.addMonths(int(months));
}

QDateTime addYears(const QDateTime& t, int64_t years, antlr4::ParserRuleContext* ctx) {
  if (t.isValid()) {
    const int64_t year = int64_t(t.date().year()) + years;
    if (year < -kMaxYear + 1 || year > kMaxYear - 1) raiseOutOfRange(years, ctx);
  }
  return t.addYears(int(years));
}

int32_t offsetArg(antlr4::ParserRuleContext* ctx) {
  const int64_t offset = integerArg(ctx);
  if (offset < -kMaxUtcOffset || offset > kMaxUtcOffset) raiseBadOffset(offset, ctx);
  return int32_t(offset);
}

// ---- setters -------------------------------------------------------------

const QRegularExpression& datePattern() {
  static const QRegularExpression re(
      QStringLiteral("^\\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])$"));
  return re;
}

const QRegularExpression& timePattern() {
  static const QRegularExpression re(
      QStringLiteral("^([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9])$"));
  return re;
}

void setDate(QDateTime& self, antlr4::ParserRuleContext* ctx) {
  const QByteArray* text = bytesArg(0);
  if (text == nullptr) raiseDateText(ctx);
  const QString s = utf8ToString(*text).trimmed();
  if (!datePattern().match(s).hasMatch()) raiseDateText(ctx);
  const QDate date = QDate::fromString(s, kDateFormat);
  if (!date.isValid()) raiseBadValue(ctx);
  self.setDate(date);
}

void setTime(QDateTime& self, antlr4::ParserRuleContext* ctx) {
  const QByteArray* text = bytesArg(0);
  if (text == nullptr) raiseTimeText(ctx);
  const QString s = utf8ToString(*text).trimmed();
  if (!timePattern().match(s).hasMatch()) raiseTimeText(ctx);
  const QTime time = QTime::fromString(s, kTimeFormat);
  if (!time.isValid()) raiseBadValue(ctx);
  self.setTime(time);
}

// ---- static methods ------------------------------------------------------

// Static methods belong to the type name sj; on a time value they fail.
void requireTypeName(antlr4::ParserRuleContext* ctx) {
  const ExprValue* r = builtinReceiver();
  if (r->type != VT_TYPE_NAME || r->payload.i32 != VT_TIME) raiseNotTypeName(ctx);
}

void fromString(antlr4::ParserRuleContext* ctx) {
  const QByteArray* text = bytesArg(0);
  const QByteArray* format = bytesArg(1);
  if (text == nullptr || format == nullptr) raiseFormatText(ctx);
  const QDateTime t = QDateTime::fromString(utf8ToString(*text), utf8ToString(*format));
  // a text that does not fit the format gives the empty time
  pushTime(t.isValid() ? t : QDateTime());
}

void sleepFor(bool seconds) {
  const ExprValue* a = builtinArg(0);
  if (!isInteger(a)) return;
  const int64_t n = argLong(a);
  if (n <= 0) return;
  if (seconds)
    QThread::sleep(static_cast<unsigned long>(n));
  else
    QThread::msleep(static_cast<unsigned long>(n));
}

bool isStatic(uint16_t id) {
  return id == SJ_CURRENT_DATE_TIME || id == SJ_NOW || id == SJ_FROM_STRING || id == SJ_MSLEEP ||
         id == SJ_SLEEP;
}

}  // namespace

void timeLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  const uint16_t id = method->id;
  if (isStatic(id)) {
    requireTypeName(ctx);
    switch (id) {
      case SJ_CURRENT_DATE_TIME:
      case SJ_NOW:
        return pushTime(QDateTime::currentDateTime());
      case SJ_FROM_STRING:
        return fromString(ctx);
      case SJ_MSLEEP:
        return sleepFor(false);
      default:
        return sleepFor(true);
    }
  }

  ExprValue* recv = builtinReceiver();
  if (recv->type != VT_TIME || recv->payload.time == nullptr) raiseNotTime(ctx);
  QDateTime& self = *recv->payload.time;

  // an empty time answers isNull and isValid; any other member, a setter
  // included, has nothing to work on
  if (self.isNull() && id != SJ_IS_NULL && id != SJ_IS_VALID) raiseNotTime(ctx);

  switch (id) {
    // ---- arithmetic: new times ----
    case SJ_ADD_DAYS:
      return pushTime(addDays(self, integerArg(ctx), ctx));
    case SJ_ADD_MSECS: {
      const int64_t msecs = integerArg(ctx);
      return pushTime(addMSecs(self, msecs, msecs, ctx));
    }
    case SJ_ADD_MONTHS:
      return pushTime(addMonths(self, integerArg(ctx), ctx));
    case SJ_ADD_SECS:
      return pushTime(addSecs(self, integerArg(ctx), ctx));
    case SJ_ADD_YEARS:
      return pushTime(addYears(self, integerArg(ctx), ctx));

    // ---- differences ----
    case SJ_DAYS_TO:
      return pushLong(self.daysTo(otherTime(ctx)));
    case SJ_MSECS_TO:
      return pushLong(self.msecsTo(otherTime(ctx)));
    case SJ_SECS_TO:
      return pushLong(self.secsTo(otherTime(ctx)));

    // ---- queries ----
    case SJ_IS_VALID:
      return pushBool(self.isValid());
    case SJ_IS_NULL:
      return pushBool(self.isNull());
    case SJ_OFFSET_FROM_UTC:
      return pushInt(self.offsetFromUtc());
    case SJ_TO_MSECS_SINCE_EPOCH:
      return pushLong(self.toMSecsSinceEpoch());
    case SJ_TO_SECS_SINCE_EPOCH:
      return pushLong(self.toSecsSinceEpoch());

    // ---- setters: in place ----
    case SJ_SET_DATE:
      return setDate(self, ctx);
    case SJ_SET_TIME:
      return setTime(self, ctx);
    case SJ_SET_MSECS_SINCE_EPOCH: {
      const int64_t msecs = integerArg(ctx);
      if (!inSpan(msecs)) raiseOutOfRange(msecs, ctx);
      self.setMSecsSinceEpoch(msecs);
      return;
    }
    case SJ_SET_SECS_SINCE_EPOCH: {
      const int64_t secs = integerArg(ctx);
      if (secs < -kMaxEpochMSecs / 1000 || secs > kMaxEpochMSecs / 1000)
        raiseOutOfRange(secs, ctx);
      self.setSecsSinceEpoch(secs);
      return;
    }
    case SJ_SET_OFFSET_FROM_UTC:
      self.setOffsetFromUtc(offsetArg(ctx));
      return;

    // ---- conversions: new times ----
    case SJ_TO_LOCAL_TIME:
      return pushTime(self.toLocalTime());
    case SJ_TO_UTC:
      return pushTime(self.toUTC());
    case SJ_TO_OFFSET_FROM_UTC:
      return pushTime(self.toOffsetFromUtc(offsetArg(ctx)));

    // ---- texts ----
    case SJ_DATE:
      return pushText(self.date().toString(kDateFormat));
    case SJ_TIME:
      return pushText(self.time().toString(kTimeFormat));
    case SJ_GET_DATE_STRING:
      return pushText(self.toString(kDateFormat));
    case SJ_GET_TIME_STRING:
      return pushText(self.toString(kTimeFormat));
    case SJ_TO_STRING: {
      const QByteArray* format = bytesArg(0);
      if (format == nullptr) raiseFormatText(ctx);
      return pushText(self.toString(utf8ToString(*format).trimmed()));
    }
    default:
      return;
  }
}

void registerTimeLib() {
  if (BuiltinLibFlags[LIB_TIME]) return;
  BuiltinLibFlags[LIB_TIME] = 1;
  currentBuiltinHandler = timeLibCall;
  currentBuiltinReceiver = VT_TIME;
  registerBuiltinMethod(SJ_CURRENT_DATE_TIME, QByteArrayLiteral("currentDateTime"), {}, BF_STATIC);
  registerBuiltinMethod(SJ_NOW, QByteArrayLiteral("now"), {}, BF_STATIC);
  registerBuiltinMethod(SJ_ADD_DAYS, QByteArrayLiteral("addDays"), {VT_LONG}, BF_MEMBER);
  registerBuiltinMethod(SJ_ADD_MSECS, QByteArrayLiteral("addMSecs"), {VT_LONG}, BF_MEMBER);
  registerBuiltinMethod(SJ_ADD_MONTHS, QByteArrayLiteral("addMonths"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(SJ_ADD_SECS, QByteArrayLiteral("addSecs"), {VT_LONG}, BF_MEMBER);
  registerBuiltinMethod(SJ_ADD_YEARS, QByteArrayLiteral("addYears"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(SJ_DATE, QByteArrayLiteral("date"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_DAYS_TO, QByteArrayLiteral("daysTo"), {VT_TIME}, BF_MEMBER);
  registerBuiltinMethod(SJ_IS_VALID, QByteArrayLiteral("sj_isValid"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_IS_NULL, QByteArrayLiteral("isNull"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_MSECS_TO, QByteArrayLiteral("msecsTo"), {VT_TIME}, BF_MEMBER);
  registerBuiltinMethod(SJ_OFFSET_FROM_UTC, QByteArrayLiteral("offsetFromUtc"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_SECS_TO, QByteArrayLiteral("secsTo"), {VT_TIME}, BF_MEMBER);
  registerBuiltinMethod(SJ_SET_DATE, QByteArrayLiteral("setDate"), {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(SJ_SET_MSECS_SINCE_EPOCH, QByteArrayLiteral("setMSecsSinceEpoch"), {VT_LONG}, BF_MEMBER);
  registerBuiltinMethod(SJ_SET_OFFSET_FROM_UTC, QByteArrayLiteral("setOffsetFromUtc"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(SJ_SET_SECS_SINCE_EPOCH, QByteArrayLiteral("setSecsSinceEpoch"), {VT_LONG}, BF_MEMBER);
  registerBuiltinMethod(SJ_SET_TIME, QByteArrayLiteral("setTime"), {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(SJ_TIME, QByteArrayLiteral("time"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_TO_LOCAL_TIME, QByteArrayLiteral("toLocalTime"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_TO_MSECS_SINCE_EPOCH, QByteArrayLiteral("toMSecsSinceEpoch"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_TO_OFFSET_FROM_UTC, QByteArrayLiteral("toOffsetFromUtc"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(SJ_TO_SECS_SINCE_EPOCH, QByteArrayLiteral("toSecsSinceEpoch"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_TO_STRING, QByteArrayLiteral("sj_toString"), {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(SJ_GET_DATE_STRING, QByteArrayLiteral("getDateString"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_GET_TIME_STRING, QByteArrayLiteral("getTimeString"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_TO_UTC, QByteArrayLiteral("toUTC"), {}, BF_MEMBER);
  registerBuiltinMethod(SJ_FROM_STRING, QByteArrayLiteral("fromString"), {VT_BYTES, VT_BYTES}, BF_STATIC);
  registerBuiltinMethod(SJ_MSLEEP, QByteArrayLiteral("msleep"), {VT_INT}, BF_STATIC);
  registerBuiltinMethod(SJ_SLEEP, QByteArrayLiteral("sleep"), {VT_INT}, BF_STATIC);
}
