// Small helpers shared by the byte-string, string and character libraries:
// message texts with the call's line and statement, result cells, and
// reading integer and text arguments.
#pragma once

#include "BuiltinRegistry.h"

#include "runtime/errors.h"
#include "runtime/source_text.h"
#include "runtime/value_ops.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstring>
#include <algorithm>
#include <initializer_list>
#include <iostream>
#include <limits>
#include <utility>

#include "ParserRuleContext.h"

namespace textlib {

// Longest text a library result may reach; anything beyond would overflow
// the containers' int sizes.
constexpr int64_t kMaxTextLength = 0x7fffff00;

inline int lineOf(antlr4::ParserRuleContext* ctx) { return scopedLineOfContext(ctx); }

inline QString statementOf(antlr4::ParserRuleContext* ctx) {
  return ctx ? QString::fromStdString(ctx->getText()) : QString();
}

// Fills %1 .. %9 of a UTF-8 template in one pass (fillPlaceholders).
inline QString fillMessage(const char* utf8Template, std::initializer_list<QString> args) {
  return fillPlaceholders(QString::fromUtf8(utf8Template), args);
}

// Message whose %1 is the call's line and %2 the statement; the further
// texts fill %3, %4, ...
inline QString callMessage(const char* utf8Template, antlr4::ParserRuleContext* ctx,
                           std::initializer_list<QString> more = {}) {
  QString a[9];
  a[0] = QString::number(lineOf(ctx));
  a[1] = statementOf(ctx);
  size_t k = 2;
  for (const QString& m : more) {
    if (k < 9) a[k++] = m;
  }
  switch (k) {
    case 2: return fillMessage(utf8Template, {a[0], a[1]});
    case 3: return fillMessage(utf8Template, {a[0], a[1], a[2]});
    case 4: return fillMessage(utf8Template, {a[0], a[1], a[2], a[3]});
    case 5: return fillMessage(utf8Template, {a[0], a[1], a[2], a[3], a[4]});
    case 6: return fillMessage(utf8Template, {a[0], a[1], a[2], a[3], a[4], a[5]});
    case 7: return fillMessage(utf8Template, {a[0], a[1], a[2], a[3], a[4], a[5], a[6]});
    default: return fillMessage(utf8Template, {a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]});
  }
}

[[noreturn]] inline void raise(const QString& message) { raiseScriptError(message); }

// A warning: one line on the standard output, the run goes on.
inline void warn(const QString& message) {
  const QByteArray text = message.toUtf8();
  std::cout.write(text.constData(), text.size());
  std::cout << std::endl;
}

// A warning on the standard error stream.
inline void warnToErr(const QString& message) {
  const QByteArray text = message.toUtf8();
  std::cerr.write(text.constData(), text.size());
  std::cerr << std::endl;
}

inline QString callName() { return QString::fromUtf8(builtinCallName()); }

// ---- results ----
inline void pushEmpty() { pushBuiltinResult(ExprValue()); }
inline void pushInt(int32_t v) { pushBuiltinResult(makeIntValue(v)); }
inline void pushLong(int64_t v) { pushBuiltinResult(makeLongValue(v)); }
inline void pushDouble(double v) { pushBuiltinResult(makeDoubleValue(v)); }
inline void pushBool(bool v) { pushBuiltinResult(makeBoolValue(v)); }
inline void pushChar(char v) { pushBuiltinResult(makeCharValue(v)); }
inline void pushWChar(uint16_t v) { pushBuiltinResult(makeWCharValue(v)); }

// The new byte string takes over the bytes (no copy of the data).
inline void pushBytes(QByteArray&& bytes) {
  ExprValue v;
  v.type = VT_BYTES;
  v.payload.bytes = newByteString(std::move(bytes));
  pushBuiltinResult(v);
}

inline void pushString(QString&& text) {
  ExprValue v;
  v.type = VT_STRING;
  v.payload.str = newText(std::move(text));
  pushBuiltinResult(v);
}

// A result of the receiver's own text kind, and one unit of it (a zf for a
// byte, a kzf for a 16-bit unit): the text methods below serve both kinds.
inline void pushTextResult(QByteArray&& bytes) { pushBytes(std::move(bytes)); }
inline void pushTextResult(QString&& text) { pushString(std::move(text)); }
inline void pushUnit(char c) { pushChar(c); }
inline void pushUnit(QChar c) { pushWChar(c.unicode()); }

// A fresh pooled element cell for a result list.
inline ExprValue* newElementCell(int32_t type) {
  ExprValue* cell = takeValueCell();
  cell->owner = nullptr;
  cell->type = type;
  cell->payload.i64 = 0;
  return cell;
}

// ---- arguments ----
inline bool isInteger(const ExprValue* c) { return c->type == VT_INT || c->type == VT_LONG; }

// A long value as an int: beyond the int range it stays at the nearest end
// (never its low 32 bits), so a huge index or count is still out of range
// and a huge length still reaches the end.
inline int32_t saturatedInt(int64_t v) {
  return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : int32_t(v);
}

// Integer value of an argument: a zs as it is, a czs saturated to the int
// range; characters give their code, a decimal is cut toward zero
// (saturating), anything else 0.
inline int32_t argInt(const ExprValue* c) {
  switch (c->type) {
    case VT_INT: return c->payload.i32;
    case VT_LONG: return saturatedInt(c->payload.i64);
    case VT_CHAR: return static_cast<signed char>(c->payload.c);
    case VT_WCHAR: return c->payload.u16;
    case VT_BOOL: return c->payload.b;
    case VT_DOUBLE: return cutDecimal<int32_t>(c->payload.d);
    default: return 0;
  }
}

// The same read as 64 bits.
inline int64_t argLong(const ExprValue* c) {
  switch (c->type) {
    case VT_INT: return c->payload.i32;
    case VT_LONG: return c->payload.i64;
    case VT_DOUBLE: return cutDecimal<int64_t>(c->payload.d);
    default: return argInt(c);
  }
}

// A case flag argument: 1 is case-sensitive, anything else not.
inline Qt::CaseSensitivity caseOf(const ExprValue* c) {
  return argInt(c) == 1 ? Qt::CaseSensitive : Qt::CaseInsensitive;
}

// "错误：行号 %1 语句 %2 调用函数 %3 的参数只能整数类型，请检查！" unless the
// argument is a zs or czs.
inline void requireInteger(const ExprValue* c, antlr4::ParserRuleContext* ctx) {
  if (isInteger(c)) return;
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 的参数只能整数类型，请检查！", ctx,
                    {callName()}));
}

// Raises when a result would grow beyond the longest possible text.
inline void requireLength(int64_t length, antlr4::ParserRuleContext* ctx) {
  if (length <= kMaxTextLength) return;
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 的结果长度 %4 超过字符串的最大长度，请检查！",
                    ctx, {callName(), QString::number(length)}));
}

// Base of a number-to-text conversion: 2 to 36, else an error (a base
// outside that range has no digits).
inline void requireBase(int base, antlr4::ParserRuleContext* ctx) {
  if (base >= 2 && base <= 36) return;
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 的进制参数 %4 无效，进制只能是2到36！", ctx,
                    {callName(), QString::number(base)}));
}

// Precision of a decimal-to-text conversion; absurd values are refused
// before the formatter tries to build a text of that many digits.
inline void requirePrecision(int precision, antlr4::ParserRuleContext* ctx) {
  if (precision <= 10000) return;
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 的精度参数 %4 过大，精度最大为10000！", ctx,
                    {callName(), QString::number(precision)}));
}

// Unit i of a text as a code (a byte read unsigned).
inline unsigned textUnit(const QByteArray& s, int i) {
  return static_cast<unsigned char>(s.constData()[i]);
}
inline unsigned textUnit(const QString& s, int i) { return s.constData()[i].unicode(); }

// A text of plain decimal digits (an optional '-', then 1 to 18 digits and
// nothing else) read directly; false for any other text, which Qt reads.
template <class Text>
bool plainDecimal(const Text& s, int64_t& out) {
  const int n = s.size();
  int i = n > 0 && textUnit(s, 0) == '-' ? 1 : 0;
  if (n - i < 1 || n - i > 18) return false;
  const bool negative = i == 1;
  int64_t v = 0;
  for (; i < n; ++i) {
    const unsigned d = textUnit(s, i) - '0';
    if (d > 9) return false;
    v = v * 10 + int64_t(d);
  }
  out = negative ? -v : v;
  return true;
}

// toInt's plain case (what a direct form takes): base 10 given as an int and
// a plain decimal in the int range; false for anything else.
template <class Text>
bool plainTextInt(const Text& s, const ExprValue& base, int32_t& out) {
  if (base.type != VT_INT || base.payload.i32 != 10) return false;
  int64_t plain = 0;
  if (!plainDecimal(s, plain) || plain < INT32_MIN || plain > INT32_MAX) return false;
  out = int32_t(plain);
  return true;
}

// toInt / toLongLong (with a base argument), toDouble, toFloat of a byte
// string or a string: the number, 0 with a warning when the text is not one.
enum class TextNumber { Int, Long, Double, Float };
template <class Text>
void pushTextNumber(TextNumber kind, const Text& s, antlr4::ParserRuleContext* ctx) {
  bool ok = false;
  const char* what = nullptr;
  switch (kind) {
    case TextNumber::Int:
    case TextNumber::Long: {
      const ExprValue* base = builtinArg(0);
      if (!isInteger(base)) {
        if (kind == TextNumber::Int) pushInt(0); else pushLong(0);
        return;
      }
      const int b = argInt(base);
      int64_t plain = 0;
      if (b == 10 && plainDecimal(s, plain)) {
        if (kind == TextNumber::Long) return pushLong(plain);
        if (plain >= INT32_MIN && plain <= INT32_MAX) return pushInt(int32_t(plain));
      }
      if (kind == TextNumber::Int) {
        const int v = s.toInt(&ok, b);
        pushInt(ok ? v : 0);
        what = "警告：行 %1 语句 %2 toInt 转换失败";
      } else {
        const qlonglong v = s.toLongLong(&ok, b);
        pushLong(ok ? v : 0);
        what = "警告：行 %1 语句 %2 toLongLong 转换失败";
      }
      break;
    }
    case TextNumber::Double: {
      const double v = s.toDouble(&ok);
      pushDouble(ok ? v : 0.0);
      what = "警告：行 %1 语句 %2 toDouble 转换失败";
      break;
    }
    case TextNumber::Float: {
      const float v = s.toFloat(&ok);
      pushDouble(ok ? double(v) : 0.0);
      what = "警告：行 %1 语句 %2 toFloat 转换失败";
      break;
    }
  }
  if (!ok) warn(callMessage(what, ctx));
}

// ---- methods shared by byte strings and strings ----
// `Text` is QByteArray or QString; `self` is null for a kong receiver, `s`
// then an empty text.

[[noreturn]] inline void raiseEmptyReceiver(antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行 %1 语句 %2 %3 获取字符失败，当前字符串是空字符串！", ctx, {callName()}));
}

[[noreturn]] inline void raiseReplaceForms(antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行号 %1 语句 %2 参数格式错误。replace 函数有5种形式，均无法匹配！", ctx));
}

[[noreturn]] inline void raiseEmptySeparator(antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 split 的分割字符串参数是空字符串，请检查！", ctx));
}

[[noreturn]] inline void raiseSeparatorType(antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 split 的参数只能字符或字符串，请检查！", ctx));
}

// The static forms: true when called on the type name `type`. Called on a
// value the result is empty (false); on another type name `wrongTypeName`
// is raised (%1 line, %2 function, %3 statement, %4 the name given, %5 the
// method).
inline bool isStaticCall(int32_t type, const char* wrongTypeName, antlr4::ParserRuleContext* ctx) {
  const ExprValue* r = builtinReceiver();
  if (r->type != VT_TYPE_NAME) {
    pushEmpty();
    return false;
  }
  if (r->payload.i32 == type) return true;
  const QString given = r->owner != nullptr ? QString::fromUtf8(*r->owner)
                                            : QString::fromUtf8(typeKeyword(r->payload.i32));
  raise(fillMessage(wrongTypeName, {QString::number(lineOf(ctx)), currentFunctionQName(),
                                    statementOf(ctx), given, callName()}));
}

// number / setNum, five forms by argument count and types: (integer),
// (decimal), (integer, base), (decimal, format) and (decimal, format,
// precision).
template <class Text>
void pushNumberText(antlr4::ParserRuleContext* ctx) {
  const int n = builtinArgCount();
  if (n < 1 || n > 3) {
    raise(callMessage("错误：行号 %1 语句 %2 参数格式错误。setNum 函数有5种形式，均无法匹配！", ctx));
  }
  const ExprValue* v = builtinArg(0);
  auto formatChar = [](const ExprValue* c, char& f) {
    if (c->type == VT_CHAR) f = c->payload.c;
    else if (c->type == VT_WCHAR && c->payload.u16 < 0x80) f = char(c->payload.u16);
    else return false;
    return true;
  };
  if (n == 1) {
    if (isInteger(v)) return pushTextResult(Text::number(qlonglong(argLong(v))));
    if (v->type == VT_DOUBLE) return pushTextResult(Text::number(v->payload.d, 'g', 6));
    return pushEmpty();
  }
  const ExprValue* second = builtinArg(1);
  char f = 'g';
  if (n == 2) {
    if (isInteger(v) && second->type == VT_INT) {
      requireBase(second->payload.i32, ctx);
      return pushTextResult(Text::number(qlonglong(argLong(v)), second->payload.i32));
    }
    if (v->type == VT_DOUBLE && formatChar(second, f))
      return pushTextResult(Text::number(v->payload.d, f, 6));
    return pushEmpty();
  }
  const ExprValue* third = builtinArg(2);
  if (v->type == VT_DOUBLE && formatChar(second, f) && third->type == VT_INT) {
    requirePrecision(third->payload.i32, ctx);
    return pushTextResult(Text::number(v->payload.d, f, third->payload.i32));
  }
  pushEmpty();
}

// at(pos): the unit at pos; a position outside the text raises.
template <class Text>
void pushAt(const Text& s, antlr4::ParserRuleContext* ctx) {
  const ExprValue* a = builtinArg(0);
  requireInteger(a, ctx);
  const int64_t pos = argLong(a);
  if (pos < 0 || pos > s.size() - 1) {
    raise(callMessage(
        "错误：行 %1 语句 %2 at 获取位置字符失败，位置值 %3 超过当前字符串长度 %4 (下标从0开始计算)！",
        ctx, {QString::number(qlonglong(pos)), QString::number(s.size())}));
  }
  pushUnit(s.at(int(pos)));
}

// back / front: the last or first unit; an empty text raises.
template <class Text>
void pushEndUnit(bool back, const Text& s, antlr4::ParserRuleContext* ctx) {
  if (s.isEmpty()) raiseEmptyReceiver(ctx);
  pushUnit(s.at(back ? s.size() - 1 : 0));
}

// chop(n); in place.
template <class Text>
void chopText(Text* self, antlr4::ParserRuleContext* ctx) {
  const ExprValue* a = builtinArg(0);
  requireInteger(a, ctx);
  if (self != nullptr) self->chop(argInt(a));
}

// chopped(n): the text without its last n units; n outside the text raises.
template <class Text>
void pushChopped(const Text& s, antlr4::ParserRuleContext* ctx) {
  const ExprValue* a = builtinArg(0);
  requireInteger(a, ctx);
  const int64_t n = argLong(a);
  if (n < 0 || n > s.size()) {
    raise(callMessage(
        "错误：行 %1 语句 %2 chopped 尾巴字符失败，长度值 %3 超过当前字符串长度 %4 (下标从0开始计算)！",
        ctx, {QString::number(qlonglong(n)), QString::number(s.size())}));
  }
  pushTextResult(s.left(s.size() - int(n)));
}

// left(n) / right(n).
template <class Text>
void pushLeftRight(bool left, const Text& s, antlr4::ParserRuleContext* ctx) {
  const ExprValue* a = builtinArg(0);
  requireInteger(a, ctx);
  const int n = argInt(a);
  pushTextResult(left ? s.left(n) : s.right(n));
}

// leftJustified / rightJustified(width, fill, truncate).
template <class Text, class Unit>
void pushJustified(bool left, const Text& s, Unit fill, antlr4::ParserRuleContext* ctx) {
  requireLength(argLong(builtinArg(0)), ctx);
  const int width = argInt(builtinArg(0));
  const bool truncate = argLong(builtinArg(2)) != 0;
  // a width below the size is handled here: Qt's own padding arithmetic
  // overflows for widths near the smallest int
  if (width <= s.size()) return pushTextResult(truncate ? s.left(std::max(width, 0)) : Text(s));
  pushTextResult(left ? s.leftJustified(width, fill, truncate) : s.rightJustified(width, fill, truncate));
}

// remove(pos, length) and truncate(pos); in place.
template <class Text>
void removeRange(Text* self) {
  const int pos = argInt(builtinArg(0));
  const int len = argInt(builtinArg(1));
  if (self != nullptr && pos >= 0 && len > 0) self->remove(pos, len);
}

template <class Text>
void truncateText(Text* self) {
  const int pos = argInt(builtinArg(0));
  if (self != nullptr && pos >= 0) self->truncate(pos);
}

// setPosChar's position: inside the text, else a warning and false.
inline bool positionInText(int64_t pos, int size, antlr4::ParserRuleContext* ctx) {
  if (pos >= 0 && pos <= size - 1) return true;
  warn(callMessage(
      "警告：行 %1 语句 %2 setPosChar 设置失败，pos位置值 %3 超过当前字符串长度 %4 (下标从0开始计算)！",
      ctx, {QString::number(qlonglong(pos)), QString::number(size)}));
  return false;
}

// Where lastIndexOf(needle, from) finds an empty needle: at the start
// position itself, a negative one counted from the end with -1 the end (so
// the default finds it after the last unit, as indexOf from 0 finds it
// before the first); -1 outside the text.
inline int emptyNeedleLastIndex(int size, int from) {
  const int64_t at = from < 0 ? int64_t(size) + 1 + from : from;
  return at >= 0 && at <= size ? int(at) : -1;
}

// Replaces every occurrence of a needle of beforeSize units by the afterSize
// units at `after`, in place. The occurrences are found left to right without
// overlapping by next(from) (the first one at or after from, or -1); an empty
// needle is found before every unit and at the end, as Qt's replace finds it.
// The result is built in one pass into a new text of its exact size, so the
// cost is linear in the sizes of the text and the result whatever the two
// lengths; a result beyond the longest possible text raises. `after` may lie
// in the text itself: the text changes only at the end.
template <class Text, class Unit, class Next>
void replaceEvery(Text& self, int beforeSize, const Unit* after, int afterSize, Next next,
                  antlr4::ParserRuleContext* ctx) {
  const int n = self.size();
  int64_t count = 0;
  if (beforeSize == 0) {
    count = int64_t(n) + 1;
  } else {
    for (int at = next(0); at >= 0; at = next(at + beforeSize)) ++count;
  }
  if (count == 0) return;
  const int64_t size = int64_t(n) + count * (int64_t(afterSize) - beforeSize);
  requireLength(size, ctx);
  Text out(int(size), Qt::Uninitialized);
  Unit* o = out.data();
  const Unit* in = self.constData();
  auto put = [&o](const Unit* p, int k) {
    if (k > 0) std::memcpy(static_cast<void*>(o), p, size_t(k) * sizeof(Unit));
    o += k;
  };
  if (beforeSize == 0) {
    for (int i = 0; i < n; ++i) {
      put(after, afterSize);
      *o++ = in[i];
    }
    put(after, afterSize);
  } else {
    int from = 0;
    for (int at = next(0); at >= 0; at = next(from)) {
      put(in + from, at - from);
      put(after, afterSize);
      from = at + beforeSize;
    }
    put(in + from, n - from);
  }
  self = std::move(out);
}

// Every unit c replaced by the text `after`; in place (see replaceEvery).
template <class Text, class Unit>
void replaceUnitEvery(Text& self, Unit c, const Text& after, antlr4::ParserRuleContext* ctx) {
  const Text& s = self;
  replaceEvery(self, 1, after.constData(), after.size(), [&](int from) { return s.indexOf(c, from); },
               ctx);
}

// replace(pos, length, after [, afterLength]); in place. Positions outside
// the text and negative lengths change nothing.
template <class Text>
void replaceRange(Text& self, const Text& after, antlr4::ParserRuleContext* ctx) {
  const int p = argInt(builtinArg(0));
  int l = argInt(builtinArg(1));
  int alen = builtinArgCount() == 4 ? argInt(builtinArg(3)) : after.size();
  if (p < 0 || p > self.size() || l < 0) return;
  l = std::min(l, self.size() - p);
  alen = std::max(0, std::min(alen, after.size()));
  requireLength(int64_t(self.size()) - l + alen, ctx);
  self.replace(p, l, after.constData(), alen);
}

inline const QByteArray& emptyBytes() {
  static const QByteArray empty;
  return empty;
}

inline const QString& emptyString() {
  static const QString empty;
  return empty;
}

}  // namespace textlib
