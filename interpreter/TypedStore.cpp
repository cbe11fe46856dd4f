// The typed stores: the conversion rules of declared types for real.
//
// One core routine (storeCore) knows every accepted pair of destination and
// source type; the three public stores differ in where the destination lives
// (a variable record or a cell), in how they report refusals, and in whether
// the source is moved (stores) or copied first (loadFromRecord).
#include "TypedStore.h"

#include "MessageFormat.h"

#include "runtime/errors.h"
#include "runtime/file_names.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"

#include "antlr4-runtime.h"

#include <QDateTime>
#include <QFileInfo>

#include <climits>
#include <cmath>
#include <cstdint>
#include <iostream>

namespace {

enum StoreMode { MODE_RECORD, MODE_CELL, MODE_LOAD };

// ---- message helpers (error paths only) ----

int lineOf(antlr4::ParserRuleContext* ctx) { return ctx != nullptr ? lineOfContext(ctx) : -1; }

QString textOf(antlr4::ParserRuleContext* ctx) {
  return ctx != nullptr ? QString::fromStdString(ctx->getText()) : QString();
}

void printLine(const QString& text) { std::cout << text.toUtf8().constData() << std::endl; }

// A fixed text followed directly by the variable's name.
void printWithName(const char* utf8, const QByteArray* name) {
  std::cout << utf8;
  if (name != nullptr) std::cout.write(name->constData(), name->size());
  std::cout << std::endl;
}

[[noreturn]] void raiseDivideByZero(antlr4::ParserRuleContext* ctx) {
  raiseScriptError(
      fillMessage(QStringLiteral("错误：行号 %1 语句 %2 除数不能为0！"), lineOf(ctx), textOf(ctx)));
}

[[noreturn]] void raiseDivideOverflow(antlr4::ParserRuleContext* ctx, qint64 value) {
  raiseScriptError(
      fillMessage(QStringLiteral("错误：行号 %1 语句 %2 整数除法溢出，%3 除以 -1 超出取值范围！"),
                  lineOf(ctx), textOf(ctx), value));
}

// ---- arithmetic of the compound operators ----

int32_t combine32(int32_t cur, int32_t v, int op, antlr4::ParserRuleContext* ctx) {
  switch (op) {
    case 1:
      return int32_t(uint32_t(cur) * uint32_t(v));
    case 2:
      if (v == 0) raiseDivideByZero(ctx);
      if (cur == INT32_MIN && v == -1) raiseDivideOverflow(ctx, cur);
      return cur / v;
    case 3:
      return int32_t(uint32_t(cur) + uint32_t(v));
    case 4:
      return int32_t(uint32_t(cur) - uint32_t(v));
    default:
      return v;
  }
}

int64_t combine64(int64_t cur, int64_t v, int op, antlr4::ParserRuleContext* ctx) {
  switch (op) {
    case 1:
      return int64_t(uint64_t(cur) * uint64_t(v));
    case 2:
      if (v == 0) raiseDivideByZero(ctx);
      if (cur == INT64_MIN && v == -1) raiseDivideOverflow(ctx, cur);
      return cur / v;
    case 3:
      return int64_t(uint64_t(cur) + uint64_t(v));
    case 4:
      return int64_t(uint64_t(cur) - uint64_t(v));
    default:
      return v;
  }
}

double combineDouble(double cur, double v, int op) {
  switch (op) {
    case 1:
      return cur * v;
    case 2:
      return cur / v;
    case 3:
      return cur + v;
    case 4:
      return cur - v;
    default:
      return v;
  }
}

// Doubles outside the target range (and NaN) give the most negative value,
// as the processor's truncating conversion does.
int32_t doubleToInt32(double d) {
  if (d >= -2147483648.0 && d < 2147483648.0) return int32_t(d);
  return INT32_MIN;
}

int64_t doubleToInt64(double d) {
  if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return int64_t(d);
  return INT64_MIN;
}

// Integer destination combined with a floored decimal: "=" stores the floored
// value, the other operators work in double and truncate toward zero.
double combineFloored(double cur, double floored, int op, antlr4::ParserRuleContext* ctx) {
  if (op == 2 && floored == 0.0) raiseDivideByZero(ctx);
  return std::trunc(combineDouble(cur, floored, op));
}

// Refusal of "*/", "/=" and "-=" on strings and structs.
int refuseOperator(const char* utf8, bool messages, const QByteArray* name) {
  if (messages) printWithName(utf8, name);
  return -100;
}

// The one table of accepted pairs. dtype/dp are the destination's type and
// payload (a record's kind and payload, or a cell's). Returns the pair code;
// below 0 the pair is refused and src is untouched. On success every owned or
// shared payload of src has moved or been released, and src's payload is null.
int storeCore(int32_t& dtype, ValuePayload& dp, ExprValue& src, int op, bool messages,
              StoreMode mode, const QByteArray* name, antlr4::ParserRuleContext* ctx) {
  const int32_t st = src.type;
  switch (dtype) {
    case VT_INT: {
      int32_t v;
      int code;
      switch (st) {
        case VT_INT:
          code = 0;
          v = src.payload.i32;
          break;
        case VT_LONG: {
          code = 4;
          const int64_t l = src.payload.i64;
          if (messages) {
            if (mode == MODE_RECORD) {
              if (l < INT32_MIN || l > INT32_MAX) {
                printLine(fillMessage(
                    QStringLiteral("警告：长整数变量值 %1 "
                                   "赋值给整数类型变量%2，精度可能丢失，请注意检查值域范围!"),
                    l, name != nullptr ? utf8ToString(*name) : QString()));
              }
            } else {
              printLine(QStringLiteral("警告：长整数赋值给整数类型，可能丢失精度"));
            }
          }
          if (op == 2) {
            // the current value, sign-extended, divided by the full long
            const int64_t cur = dp.i32;
            if (l == 0) raiseDivideByZero(ctx);
            if (cur == INT32_MIN && l == -1) raiseDivideOverflow(ctx, cur);
            dp.i32 = int32_t(uint32_t(uint64_t(cur / l)));
            return code;
          }
          v = int32_t(uint32_t(uint64_t(l)));
          break;
        }
        case VT_DOUBLE: {
          const double f = std::floor(src.payload.d);
          if (op == 0) {
            dp.i64 = 0;
            dp.i32 = doubleToInt32(f);
          } else {
            dp.i32 = doubleToInt32(combineFloored(double(dp.i32), f, op, ctx));
          }
          return 9;
        }
        case VT_CHAR:
          code = 19;
          v = int32_t(int8_t(src.payload.c));
          break;
        case VT_WCHAR:
          code = 24;
          v = int32_t(src.payload.u16);
          break;
        case VT_BYTES:
          if (messages) printLine(QStringLiteral("不能把字符串赋值给整数类型"));
          return -96;
        default:
          return -100;
      }
      if (op == 0) {
        dp.i64 = 0;
        dp.i32 = v;
      } else {
        dp.i32 = combine32(dp.i32, v, op, ctx);
      }
      return code;
    }

    case VT_LONG: {
      int64_t v;
      int code;
      switch (st) {
        case VT_INT:
          code = 1;
          v = src.payload.i32;
          break;
        case VT_LONG:
          code = 3;
          v = src.payload.i64;
          break;
        case VT_DOUBLE: {
          const double f = std::floor(src.payload.d);
          if (op == 0)
            dp.i64 = doubleToInt64(f);
          else
            dp.i64 = doubleToInt64(combineFloored(double(dp.i64), f, op, ctx));
          if (messages) printWithName("小数赋值给长整数类型，可能丢失精度", name);
          return 10;
        }
        case VT_CHAR:
          code = 20;
          v = int64_t(int8_t(src.payload.c));
          break;
        case VT_WCHAR:
          code = 21;
          v = int64_t(src.payload.u16);
          break;
        case VT_BYTES:
          if (messages) printLine(QStringLiteral("不能把字符串赋值给长整数类型"));
          return -95;
        default:
          return -100;
      }
      dp.i64 = op == 0 ? v : combine64(dp.i64, v, op, ctx);
      return code;
    }

    case VT_DOUBLE: {
      double v;
      int code;
      switch (st) {
        case VT_INT:
          code = 2;
          v = src.payload.i32;
          break;
        case VT_LONG:
          code = 5;
          v = double(src.payload.i64);
          break;
        case VT_DOUBLE:
          code = 8;
          v = src.payload.d;
          break;
        case VT_BYTES:
          if (messages) printLine(QStringLiteral("不能把字符串赋值给小数类型"));
          return -94;
        default:
          return -100;
      }
      dp.d = combineDouble(dp.d, v, op);
      return code;
    }

    case VT_BOOL:
      if (st != VT_BOOL) return -100;
      dp.i64 = 0;
      dp.b = src.payload.b;
      return 16;

    case VT_CHAR:
      if (st == VT_CHAR) {
        dp.i64 = 0;
        dp.c = src.payload.c;
        return 17;
      }
      if (st == VT_INT) {
        const int32_t v = src.payload.i32;
        if (op == 0 && v >= 0 && v <= 255) {
          dp.i64 = 0;
          dp.c = char(uint8_t(v));
          return 6;
        }
        if (messages) printLine(QStringLiteral("整数给字符变量赋值，整数范围必须是0-255 "));
      }
      return -100;

    case VT_WCHAR:
      switch (st) {
        case VT_WCHAR:
          dp.i64 = 0;
          dp.u16 = src.payload.u16;
          return 25;
        case VT_CHAR:
          dp.i64 = 0;
          dp.u16 = uint16_t(int16_t(int8_t(src.payload.c)));
          return 22;
        case VT_INT: {
          const int32_t v = src.payload.i32;
          if (op == 0 && v >= 0 && v <= 65535) {
            dp.i64 = 0;
            dp.u16 = uint16_t(v);
            return 7;
          }
          if (messages) printLine(QStringLiteral("整数给U16字符变量赋值，整数范围必须是0-65535 "));
          return -100;
        }
        default:
          return -100;
      }

    case VT_BYTES:
      switch (st) {
        case VT_CHAR:
          if (op != 0 && op != 3)
            return refuseOperator("字符串变量无法进行-= *= /=操作！", messages, name);
          if (dp.bytes == nullptr) {
            dp.bytes = newByteString(1, src.payload.c);
          } else {
            if (op == 0) dp.bytes->clear();
            dp.bytes->append(src.payload.c);
          }
          return 18;
        case VT_BYTES: {
          QByteArray* s = src.payload.bytes;
          if (op != 0 && op != 3) {
            if (mode == MODE_RECORD)
              return refuseOperator("字符串变量无法进行-= *= /=操作！", messages, name);
            // a cell keeps its bytes; the source is consumed
            if (s != dp.bytes) deleteByteString(s);
            src.payload.bytes = nullptr;
            return 11;
          }
          if (s == dp.bytes) {  // the very same object: nothing moves
            if (op == 3 && s != nullptr) s->append(QByteArray(*s));
          } else if (op == 0 || dp.bytes == nullptr) {
            deleteByteString(dp.bytes);
            dp.bytes = s;
          } else {
            if (s != nullptr) dp.bytes->append(*s);
            deleteByteString(s);
          }
          src.payload.bytes = nullptr;
          return 11;
        }
        case VT_INT:
          if (messages) printLine(QStringLiteral("错误:不能把整数值赋值给字符串类型"));
          return -99;
        case VT_LONG:
          if (messages) printLine(QStringLiteral("不能把长整数值赋值给字符串类型"));
          return -98;
        case VT_DOUBLE:
          if (messages) printLine(QStringLiteral("不能把小数值赋值给字符串类型"));
          return -97;
        default:
          return -100;
      }

    case VT_STRING: {
      int code;
      switch (st) {
        case VT_CHAR:
          code = 23;
          break;
        case VT_WCHAR:
          code = 26;
          break;
        case VT_BYTES:
          code = 12;
          break;
        case VT_STRING:
          code = 14;
          break;
        default:
          return -100;
      }
      if (op != 0 && op != 3)
        return refuseOperator("U16字符串变量无法进行-= *= /=操作！", messages, name);
      if (st == VT_STRING) {
        QString* s = src.payload.str;
        if (s == dp.str) {
          if (op == 3 && s != nullptr) s->append(QString(*s));
        } else if (op == 0 || dp.str == nullptr) {
          deleteText(dp.str);
          dp.str = s;
        } else {
          if (s != nullptr) dp.str->append(*s);
          deleteText(s);
        }
        src.payload.str = nullptr;
        return code;
      }
      if (dp.str == nullptr)
        dp.str = newText();
      else if (op == 0)
        dp.str->clear();
      if (st == VT_CHAR) {
        dp.str->append(QChar::fromLatin1(src.payload.c));
      } else if (st == VT_WCHAR) {
        dp.str->append(QChar(src.payload.u16));
      } else {
        if (src.payload.bytes != nullptr) dp.str->append(utf8ToString(*src.payload.bytes));
        deleteByteString(src.payload.bytes);
        src.payload.bytes = nullptr;
      }
      return code;
    }

    case VT_STRUCT:
      if (st != VT_STRUCT) return -100;
      if (op != 0) return refuseOperator("结构体变量无法进行-= *= /=操作！", messages, name);
      if (src.payload.st != dp.st) {
        releasePayload(VT_STRUCT, dp);
        dp.st = src.payload.st;
      }
      src.payload.st = nullptr;
      return 27;

    case VT_STRUCT_DESC:
      if (st != VT_STRUCT_DESC) return -100;
      if (src.payload.names != dp.names) {
        releasePayload(VT_STRUCT_DESC, dp);
        dp.names = src.payload.names;
      }
      src.payload.names = nullptr;
      return 28;

    case VT_LIST:
    case VT_DICT:
    case VT_FILE:
    case VT_EXCEL: {
      if (dtype == VT_FILE && st == VT_BYTES && mode == MODE_CELL) {
        // a path: a file value that is not opened yet
        const QString path =
            src.payload.bytes != nullptr ? pathFromBytes(*src.payload.bytes) : QString();
        FileValue* file = new FileValue;
        file->info = new QFileInfo(path);
        addSharedRef(file);
        releasePayload(VT_FILE, dp);
        dp.file = file;
        deleteByteString(src.payload.bytes);
        src.payload.bytes = nullptr;
        return 13;
      }
      if (st != dtype) return -100;
      if (op != 0 && mode == MODE_LOAD) return -100;
      // A shared payload: dropping the old holder first is right even when
      // both are the same list (the source carries a holder of its own).
      releasePayload(dtype, dp);
      dp.ptr = src.payload.ptr;
      src.payload.ptr = nullptr;
      return dtype == VT_LIST ? 29 : dtype == VT_DICT ? 30 : dtype == VT_FILE ? 31 : 34;
    }

    case VT_TIME:
      if (st != VT_TIME) return -100;
      if (src.payload.time != dp.time) {
        releasePayload(VT_TIME, dp);
        dp.time = src.payload.time;
      }
      src.payload.time = nullptr;
      return 32;

    case VT_FUNC:
    case VT_FUNC_VAR:
    case VT_FUNC2: {
      if (st != VT_FUNC && st != VT_FUNC_VAR && st != VT_FUNC2) return -100;
      int code = 33;
      if (src.payload.ptr != dp.ptr) releasePayload(dtype, dp);
      if (st == VT_FUNC2 && dtype != VT_FUNC2) {
        if (dtype == VT_FUNC) code = 36;
        dtype = VT_FUNC2;
      } else if (dtype == VT_FUNC2 && st != VT_FUNC2) {
        dtype = VT_FUNC;  // the payload is a one-name record now
      }
      dp.ptr = src.payload.ptr;
      src.payload.ptr = nullptr;
      return code;
    }

    case VT_EMPTY:
      if (mode == MODE_RECORD) return -100;
      // a fresh cell without a type takes the value as it is
      dtype = st;
      dp = src.payload;
      if (st >= VT_STRUCT_DESC) src.payload.i64 = 0;
      return 0;

    default:
      return -100;
  }
}

// Copy of a variable's value for loadFromRecord: owned payloads duplicated,
// shared ones with one more holder.
ExprValue copyOfRecord(const ScopeRecord* rec) {
  ExprValue c = rec->asValue();
  switch (rec->kind) {
    case VT_STRUCT_DESC:
      if (c.payload.names != nullptr) c.payload.names = new ByteStringList(*c.payload.names);
      return c;
    case VT_FUNC:
    case VT_FUNC_VAR:
      if (c.payload.fn != nullptr) c.payload.fn = new FunctionName(*c.payload.fn);
      return c;
    case VT_FUNC2:
      if (c.payload.fn2 != nullptr) c.payload.fn2 = new FunctionName2(*c.payload.fn2);
      return c;
    case VT_STRUCT:
    case VT_BYTES:
    case VT_STRING:
    case VT_LIST:
    case VT_DICT:
    case VT_FILE:
    case VT_TIME:
    case VT_EXCEL:
      return copyValue(c, false);
    default:
      return c;
  }
}

// Code of the same-type pair of the inline types 0..5.
constexpr int kSameTypeCode[] = {0, 3, 8, 16, 17, 25};

}  // namespace

int assignOpCode(const std::string& op) {
  switch (op.empty() ? '=' : op[0]) {
    case '*':
      return 1;
    case '/':
      return 2;
    case '+':
      return 3;
    case '-':
      return 4;
    default:
      return 0;
  }
}

int storeToRecord(ScopeRecord* dst, ExprValue* src, antlr4::ParserRuleContext* ctx, bool messages,
                  int op) {
  const int code =
      storeCore(dst->kind, dst->payload, *src, op, messages, MODE_RECORD, &dst->name.bytes(), ctx);
  if (code < 0 && messages) {
    const ExprValue var = dst->asValue();
    printLine(fillMessage(
        QStringLiteral(
            "错误：行号 %1 语句 %2 变量 %3 的类型是 %4 , 其赋值类型是 %5， 二者无法匹配！请检查。"),
        lineOf(ctx), textOf(ctx), dst->name.toQString(), typeDescription(dst->kind, &var),
        typeDescription(src->type, src)));
  }
  return code;
}

int storeToCell(ExprValue* dst, ExprValue* src, antlr4::ParserRuleContext* ctx, bool messages,
                int op) {
  const int code = storeCore(dst->type, dst->payload, *src, op, messages, MODE_CELL, nullptr, ctx);
  if (code < 0) {
    raiseScriptError(
        fillMessage(QStringLiteral("错误：行号 %1 语句 %2 变量的类型和其赋值无法匹配！请检查。"),
                    lineOf(ctx), textOf(ctx)));
  }
  return code;
}

int loadFromRecord(ExprValue* dst, ScopeRecord* src, antlr4::ParserRuleContext* ctx, bool messages,
                   int op) {
  const int32_t kind = src->kind;
  if (dst->type == VT_EMPTY) {
    dst->type = kind;
    dst->payload.i64 = 0;
  }
  if (op == 0 && dst->type == kind && (kind == VT_BYTES || kind == VT_STRING) &&
      dst->payload.ptr == nullptr) {
    // the common read of a string: a new handle sharing the text
    if (kind == VT_BYTES) {
      if (src->payload.bytes != nullptr) dst->payload.bytes = newByteString(*src->payload.bytes);
      return 11;
    }
    if (src->payload.str != nullptr) dst->payload.str = newText(*src->payload.str);
    return 14;
  }
  if (op == 0 && dst->type == kind && kind >= VT_INT && kind <= VT_WCHAR) {
    dst->payload = src->payload;  // the common read of a number or character
    return kSameTypeCode[kind];
  }
  ExprValue tmp = copyOfRecord(src);
  const int code =
      storeCore(dst->type, dst->payload, tmp, op, messages, MODE_LOAD, &src->name.bytes(), ctx);
  if (code < 0) {
    freeValue(tmp);
    const ExprValue var = src->asValue();
    raiseScriptError(fillMessage(
        QStringLiteral(
            "错误：行号 %1 语句 %2 无法使用 %3 类型给表达式赋值，类型不匹配或表达式错误 !"),
        lineOf(ctx), textOf(ctx), typeDescription(kind, &var)));
  }
  return code;
}

int structMemberIndexOf(const QByteArray& structTypeName, const QByteArray& memberName,
                        antlr4::ParserRuleContext* ctx) {
  const ScopeRecord* desc = findGlobal(structTypeName, ctx, true);
  if (desc == nullptr || desc->kind != VT_STRUCT_DESC || desc->payload.names == nullptr) return -1;
  const ByteStringList& names = *desc->payload.names;
  const int n = names.size() / 2;
  for (int i = 0; i < n; ++i) {
    if (names.at(i) == memberName) return i;
  }
  return -1;
}

int structMemberIndexIn(const StructValue* st, const QByteArray& memberName,
                        antlr4::ParserRuleContext* ctx) {
  const ByteStringList& layout = st->layout;
  if (layout.isEmpty()) return structMemberIndexOf(st->typeName, memberName, ctx);
  const int n = layout.size() / 2;
  for (int i = 0; i < n; ++i) {
    if (layout.at(i) == memberName) return i;
  }
  return -1;
}

void failSelfContainingStore(int line, const QString& text, const QString& name) {
  raiseScriptError(fillMessage(
      QStringLiteral("错误：行号 %1 语句 %2 不能把包含 %3 自身的值存入其元素中，这会形成循环引用！"),
      line, text, name));
}
