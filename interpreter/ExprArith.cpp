// Arithmetic: + - * / % and unary minus.
//
// Each binary operator evaluates its left operand, then its right one, as the
// parse tree groups them, applies its same-type rule when both types are
// equal and its mixed-pair table otherwise. Same-type pairs without a rule
// give the empty value. Integer arithmetic wraps in the width of the result.
#include "ExprOperands.h"

#include "runtime/errors.h"
#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace {

// Both codes in one key; unsigned so that the empty type -1 shifts safely.
constexpr uint32_t pairKey(int32_t a, int32_t b) { return (uint32_t(a) << 16) | (uint32_t(b) & 0xffffu); }

// ---- wrapping integer arithmetic ----
inline int32_t add32(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
inline int32_t sub32(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }
inline int32_t mul32(int32_t a, int32_t b) { return int32_t(uint32_t(a) * uint32_t(b)); }
inline int64_t add64(int64_t a, int64_t b) { return int64_t(uint64_t(a) + uint64_t(b)); }
inline int64_t sub64(int64_t a, int64_t b) { return int64_t(uint64_t(a) - uint64_t(b)); }
inline int64_t mul64(int64_t a, int64_t b) { return int64_t(uint64_t(a) * uint64_t(b)); }

inline int64_t i32(const ExprValue& v) { return int64_t(v.payload.i32); }
inline double dbl(const ExprValue& v) {
  switch (v.type) {
    case VT_INT: return double(v.payload.i32);
    case VT_LONG: return double(v.payload.i64);
    default: return v.payload.d;
  }
}

QString lineOf(antlr4::ParserRuleContext* ctx) { return QString::number(lineOfContext(ctx)); }
QString textOf(antlr4::ParserRuleContext* ctx) { return QString::fromStdString(ctx->getText()); }

// The operand values are released before any error leaves the handler.
void releaseBoth(ExprValue& a, ExprValue& b) {
  freeValue(a);
  freeValue(b);
}

// Type errors of + * / % are thrown directly, without the console colour of
// raiseScriptError.
[[noreturn]] void throwPlain(const QString& message) {
  throw std::runtime_error(message.toUtf8().toStdString());
}

[[noreturn]] void divideByZero(antlr4::ParserRuleContext* ctx, ExprValue& a, ExprValue& b) {
  releaseBoth(a, b);
  raiseScriptError(QStringLiteral("错误: 行号 %1 语句 %2 除数表达式值是0，发生除0错误，请检查 ！")
                       .arg(lineOf(ctx), textOf(ctx)));
}

[[noreturn]] void remainderByZero(antlr4::ParserRuleContext* ctx, ExprValue& a, ExprValue& b) {
  releaseBoth(a, b);
  raiseScriptError(QStringLiteral("错误: 行号 %1 语句 %2 余数表达式值是0，发生除0错误，请检查 ！")
                       .arg(lineOf(ctx), textOf(ctx)));
}

// The smallest integer divided by -1 does not fit the result type.
[[noreturn]] void divisionOverflow(antlr4::ParserRuleContext* ctx, const QString& dividend,
                                   const char* typeWord) {
  raiseScriptError(
      QStringLiteral("错误: 行号 %1 语句 %2 整数除法溢出，%3 除以 -1 的结果超出 %4 类型的范围，请检查 ！")
          .arg(lineOf(ctx), textOf(ctx), dividend, QString::fromLatin1(typeWord)));
}

ExprValue byteStringOf(QByteArray* bytes) {
  ExprValue r;
  r.type = VT_BYTES;
  r.payload.bytes = bytes;
  return r;
}

}  // namespace

ExprValue applyAdd(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) {
  if (a.type == b.type) {
    switch (a.type) {
      case VT_INT: return makeIntValue(add32(a.payload.i32, b.payload.i32));
      case VT_LONG: return makeLongValue(add64(a.payload.i64, b.payload.i64));
      case VT_DOUBLE: return makeDoubleValue(a.payload.d + b.payload.d);
      case VT_BYTES: {
        QByteArray* left = a.payload.bytes;
        if (left == nullptr) {
          left = b.payload.bytes;
          b.payload.bytes = nullptr;
        } else if (b.payload.bytes != nullptr) {
          left->append(*b.payload.bytes);
        }
        freeValue(b);
        return byteStringOf(left);
      }
      default:
        releaseBoth(a, b);
        return ExprValue();
    }
  }
  switch (pairKey(a.type, b.type)) {
    case pairKey(VT_INT, VT_LONG): return makeLongValue(add64(i32(a), b.payload.i64));
    case pairKey(VT_LONG, VT_INT): return makeLongValue(add64(a.payload.i64, i32(b)));
    case pairKey(VT_INT, VT_DOUBLE):
    case pairKey(VT_LONG, VT_DOUBLE):
      return makeDoubleValue(dbl(a) + b.payload.d);
    case pairKey(VT_DOUBLE, VT_INT):
    case pairKey(VT_DOUBLE, VT_LONG):
      return makeDoubleValue(a.payload.d + dbl(b));
    case pairKey(VT_CHAR, VT_INT):
      return makeCharValue(char(uint8_t(uint8_t(a.payload.c) + uint8_t(b.payload.i32))));
    case pairKey(VT_WCHAR, VT_INT):
      return makeWCharValue(uint16_t(a.payload.u16 + uint16_t(b.payload.i32)));
    case pairKey(VT_CHAR, VT_BYTES): {
      QByteArray* right = b.payload.bytes;
      if (right == nullptr) right = newByteString();
      right->prepend(a.payload.c);
      return byteStringOf(right);
    }
    case pairKey(VT_BYTES, VT_CHAR): {
      QByteArray* left = a.payload.bytes;
      if (left == nullptr) left = newByteString();
      left->append(b.payload.c);
      return byteStringOf(left);
    }
    default:
      releaseBoth(a, b);
      throwPlain(
          QStringLiteral("错误:行号 %1 语句 %2 表达式无法做加法！请检查含有不能做加法的组合，比如字符串+数字。")
              .arg(lineOf(ctx), textOf(ctx)));
  }
}

ExprValue applySub(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) {
  if (a.type == b.type) {
    switch (a.type) {
      case VT_INT: return makeIntValue(sub32(a.payload.i32, b.payload.i32));
      case VT_LONG: return makeLongValue(sub64(a.payload.i64, b.payload.i64));
      case VT_DOUBLE: return makeDoubleValue(a.payload.d - b.payload.d);
      case VT_CHAR:
        return makeIntValue(int32_t(int8_t(a.payload.c)) - int32_t(int8_t(b.payload.c)));
      case VT_WCHAR: return makeIntValue(int32_t(a.payload.u16) - int32_t(b.payload.u16));
      case VT_BYTES: break;  // refused below
      default:
        releaseBoth(a, b);
        return ExprValue();
    }
  } else {
    switch (pairKey(a.type, b.type)) {
      case pairKey(VT_INT, VT_LONG):
        return makeIntValue(sub32(a.payload.i32, int32_t(uint32_t(uint64_t(b.payload.i64)))));
      case pairKey(VT_LONG, VT_INT): return makeLongValue(sub64(a.payload.i64, i32(b)));
      case pairKey(VT_INT, VT_DOUBLE):
      case pairKey(VT_LONG, VT_DOUBLE):
        return makeDoubleValue(dbl(a) - b.payload.d);
      case pairKey(VT_DOUBLE, VT_INT):
      case pairKey(VT_DOUBLE, VT_LONG):
        return makeDoubleValue(a.payload.d - dbl(b));
      case pairKey(VT_CHAR, VT_INT):
        return makeCharValue(char(uint8_t(uint8_t(a.payload.c) - uint8_t(b.payload.i32))));
      case pairKey(VT_WCHAR, VT_INT):
        return makeWCharValue(uint16_t(a.payload.u16 - uint16_t(b.payload.i32)));
      default:
        break;
    }
  }
  releaseBoth(a, b);
  raiseScriptError(
      QStringLiteral("错误:行号 %1 语句 %2 表达式无法做减法！请检查含有不能做减法的组合，比如字符串-数字。")
          .arg(lineOf(ctx), textOf(ctx)));
}

ExprValue applyMult(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) {
  if (a.type == b.type) {
    switch (a.type) {
      case VT_INT: return makeIntValue(mul32(a.payload.i32, b.payload.i32));
      case VT_LONG: return makeLongValue(mul64(a.payload.i64, b.payload.i64));
      case VT_DOUBLE: return makeDoubleValue(a.payload.d * b.payload.d);
      case VT_BYTES:
        releaseBoth(a, b);
        throwPlain(QStringLiteral("错误语句 %1 字符串无法做乘法！").arg(textOf(ctx)));
      default:
        releaseBoth(a, b);
        return ExprValue();
    }
  }
  switch (pairKey(a.type, b.type)) {
    case pairKey(VT_INT, VT_LONG): return makeLongValue(mul64(i32(a), b.payload.i64));
    case pairKey(VT_LONG, VT_INT): return makeLongValue(mul64(a.payload.i64, i32(b)));
    case pairKey(VT_INT, VT_DOUBLE):
    case pairKey(VT_LONG, VT_DOUBLE):
      return makeDoubleValue(dbl(a) * b.payload.d);
    case pairKey(VT_DOUBLE, VT_INT):
    case pairKey(VT_DOUBLE, VT_LONG):
      return makeDoubleValue(a.payload.d * dbl(b));
    default:
      releaseBoth(a, b);
      throwPlain(QStringLiteral("错误语句 %1 表达式无法做乘法！请检查含有不能做乘法的语句，比如字符串。")
                     .arg(textOf(ctx)));
  }
}

ExprValue applyDiv(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) {
  if (a.type == b.type) {
    switch (a.type) {
      case VT_INT: {
        int32_t x = a.payload.i32, y = b.payload.i32;
        if (y == 0) divideByZero(ctx, a, b);
        if (y == -1 && x == std::numeric_limits<int32_t>::min())
          divisionOverflow(ctx, QString::number(x), "zs");
        return makeIntValue(x / y);
      }
      case VT_LONG: {
        int64_t x = a.payload.i64, y = b.payload.i64;
        if (y == 0) divideByZero(ctx, a, b);
        if (y == -1 && x == std::numeric_limits<int64_t>::min())
          divisionOverflow(ctx, QString::number(x), "czs");
        return makeLongValue(x / y);
      }
      case VT_DOUBLE: return makeDoubleValue(a.payload.d / b.payload.d);
      case VT_BYTES:
        releaseBoth(a, b);
        throwPlain(QStringLiteral("错误:行号 %1 语句 %2 字符串无法做除法！").arg(lineOf(ctx), textOf(ctx)));
      default:
        releaseBoth(a, b);
        return ExprValue();
    }
  }
  switch (pairKey(a.type, b.type)) {
    case pairKey(VT_INT, VT_LONG): {
      // in 64 bits (a 32-bit dividend cannot overflow there), kept in 32 bits
      if (b.payload.i64 == 0) divideByZero(ctx, a, b);
      return makeIntValue(int32_t(uint32_t(uint64_t(i32(a) / b.payload.i64))));
    }
    case pairKey(VT_LONG, VT_INT): {
      int64_t x = a.payload.i64, y = i32(b);
      if (y == 0) divideByZero(ctx, a, b);
      if (y == -1 && x == std::numeric_limits<int64_t>::min())
        divisionOverflow(ctx, QString::number(x), "czs");
      return makeLongValue(x / y);
    }
    case pairKey(VT_INT, VT_DOUBLE):
    case pairKey(VT_LONG, VT_DOUBLE):
      return makeDoubleValue(dbl(a) / b.payload.d);
    case pairKey(VT_DOUBLE, VT_INT):
    case pairKey(VT_DOUBLE, VT_LONG):
      if ((b.type == VT_INT ? i32(b) : b.payload.i64) == 0) divideByZero(ctx, a, b);
      return makeDoubleValue(a.payload.d / dbl(b));
    default:
      releaseBoth(a, b);
      throwPlain(QStringLiteral("错误语句 %1 表达式无法做除法！请检查含有不能做除法的语句，比如字符串。")
                     .arg(textOf(ctx)));
  }
}

ExprValue applyRemainder(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) {
  // x % -1 is 0 for every x; asking the machine for it traps on the smallest
  // integer, so that divisor is answered here.
  if (a.type == b.type) {
    switch (a.type) {
      case VT_INT: {
        int32_t y = b.payload.i32;
        if (y == 0) remainderByZero(ctx, a, b);
        return makeIntValue(y == -1 ? 0 : a.payload.i32 % y);
      }
      case VT_LONG: {
        int64_t y = b.payload.i64;
        if (y == 0) remainderByZero(ctx, a, b);
        return makeLongValue(y == -1 ? 0 : a.payload.i64 % y);
      }
      case VT_DOUBLE:
        raiseScriptError(
            QStringLiteral("错误: 行号 %1 语句 %2 余数求值时余数值只能是整数，不能是小数")
                .arg(lineOf(ctx), textOf(ctx)));
      case VT_BYTES:
        releaseBoth(a, b);
        throwPlain(QStringLiteral("错误:行号 %1 语句 %2 字符串无法做除法！").arg(lineOf(ctx), textOf(ctx)));
      default:
        releaseBoth(a, b);
        return ExprValue();
    }
  }
  switch (pairKey(a.type, b.type)) {
    case pairKey(VT_INT, VT_LONG): {
      int64_t y = b.payload.i64;
      if (y == 0) remainderByZero(ctx, a, b);
      return makeIntValue(int32_t(uint32_t(uint64_t(y == -1 ? 0 : i32(a) % y))));
    }
    case pairKey(VT_LONG, VT_INT): {
      int64_t y = i32(b);
      if (y == 0) remainderByZero(ctx, a, b);
      return makeLongValue(y == -1 ? 0 : a.payload.i64 % y);
    }
    case pairKey(VT_INT, VT_DOUBLE):
    case pairKey(VT_LONG, VT_DOUBLE):
      raiseScriptError(QStringLiteral("错误: 行号 %1 语句 %2 余数求值时余数值只能是整数，不能是小数")
                           .arg(lineOf(ctx), textOf(ctx)));
    case pairKey(VT_DOUBLE, VT_INT):
    case pairKey(VT_DOUBLE, VT_LONG):
      raiseScriptError(
          QStringLiteral("错误: 行号 %1 语句 %2 余数求值时被余数值只能是整数，不能是小数")
              .arg(lineOf(ctx), textOf(ctx)));
    default:
      releaseBoth(a, b);
      throwPlain(QStringLiteral("错误语句 %1 表达式无法做余法！请检查含有不能做余法的语句，比如字符串。")
                     .arg(textOf(ctx)));
  }
}

ExprValue evalNegation(ExprVisitor& v, KorParser::NegationExprContext* ctx) {
  auto* atom = static_cast<KorParser::AtomContext*>(ctx->children[1]);
  if (atom->korvar() == nullptr) {
    // a number literal: computed once, then served from the value cache
    if (const ExprValue* cached = cachedValue(ctx)) return *cached;
    ExprValue n;
    if (antlr4::tree::TerminalNode* intToken = atom->INT_VALUE()) {
      n = parseIntLiteral(intToken->getText());
      if (n.type == VT_INT)
        n.payload.i32 = int32_t(0u - uint32_t(n.payload.i32));
      else
        n.payload.i64 = int64_t(0ull - uint64_t(n.payload.i64));
    } else {
      n = parseDecimalLiteral(atom->FLOAT_VALUE()->getText());
      n.payload.d = -n.payload.d;
    }
    rememberValue(ctx, n);
    return n;
  }

  ExprValue value = readVariable(v, atom->korvar(), true);
  switch (value.type) {
    case VT_INT: return makeIntValue(sub32(0, value.payload.i32));
    case VT_LONG: return makeLongValue(sub64(0, value.payload.i64));
    case VT_DOUBLE: return makeDoubleValue(0.0 - value.payload.d);
    default:
      releaseReference(value);
      return ExprValue();
  }
}

antlrcpp::Any ExprVisitor::visitAddExpr(KorParser::AddExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitSubExpr(KorParser::SubExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitMultExpr(KorParser::MultExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitDivExpr(KorParser::DivExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitRemainderExpr(KorParser::RemainderExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitNegationExpr(KorParser::NegationExprContext* ctx) {
  return evalNegation(*this, ctx);
}
