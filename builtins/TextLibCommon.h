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
#include <initializer_list>
#include <iostream>
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

// Fills %1 .. %9 of a UTF-8 template in one pass, so a placeholder that
// appears inside an inserted text (a statement holding "%1") stays as it is.
inline QString fillMessage(const char* utf8Template, std::initializer_list<QString> args) {
  const QString tpl = QString::fromUtf8(utf8Template);
  QString out;
  out.reserve(tpl.size() + 64);
  const int n = tpl.size();
  for (int i = 0; i < n; ++i) {
    const QChar ch = tpl.at(i);
    if (ch == QLatin1Char('%') && i + 1 < n) {
      const int d = tpl.at(i + 1).unicode() - '0';
      if (d >= 1 && d <= 9 && size_t(d) <= args.size()) {
        out += *(args.begin() + (d - 1));
        ++i;
        continue;
      }
    }
    out += ch;
  }
  return out;
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
    default: return fillMessage(utf8Template, {a[0], a[1], a[2], a[3], a[4], a[5]});
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
  v.payload.bytes = new QByteArray(std::move(bytes));
  pushBuiltinResult(v);
}

inline void pushString(QString&& text) {
  ExprValue v;
  v.type = VT_STRING;
  v.payload.str = new QString(std::move(text));
  pushBuiltinResult(v);
}

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

// Integer value of an argument: a zs as it is, a czs by its low 32 bits;
// characters give their code, a decimal is cut toward zero (saturating),
// anything else 0.
inline int32_t argInt(const ExprValue* c) {
  switch (c->type) {
    case VT_INT: return c->payload.i32;
    case VT_LONG: return int32_t(uint32_t(uint64_t(c->payload.i64)));
    case VT_CHAR: return static_cast<signed char>(c->payload.c);
    case VT_WCHAR: return c->payload.u16;
    case VT_BOOL: return c->payload.b;
    case VT_DOUBLE: {
      const double d = c->payload.d;
      if (!(d == d)) return 0;
      if (d >= 2147483647.0) return INT32_MAX;
      if (d <= -2147483648.0) return INT32_MIN;
      return int32_t(d);
    }
    default: return 0;
  }
}

// The same read as 64 bits.
inline int64_t argLong(const ExprValue* c) {
  switch (c->type) {
    case VT_INT: return c->payload.i32;
    case VT_LONG: return c->payload.i64;
    case VT_DOUBLE: {
      const double d = c->payload.d;
      if (!(d == d)) return 0;
      if (d >= 9.2233720368547758e18) return INT64_MAX;
      if (d <= -9.2233720368547758e18) return INT64_MIN;
      return int64_t(d);
    }
    default: return argInt(c);
  }
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

// The receiver's byte string, or an empty one for a null payload.
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

inline const QByteArray& emptyBytes() {
  static const QByteArray empty;
  return empty;
}

inline const QString& emptyString() {
  static const QString empty;
  return empty;
}

}  // namespace textlib
