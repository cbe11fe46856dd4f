#include "value_compare.h"

#include "errors.h"
#include "value_dict.h"

#include <QDateTime>
#include <QFileInfo>
#include <QVarLengthArray>

#include <cstring>
#include <iostream>

namespace {

template <typename T>
int32_t threeWay(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int32_t compareDoubles(double a, double b) {
  if (a == b) return 0;
  return a > b ? 1 : -1;  // NaN on either side gives -1
}

void printLine(const QString& text) { std::cout << text.toUtf8().constData() << std::endl; }

const QByteArray& bytesOrEmpty(const QByteArray* p) {
  static const QByteArray empty;
  return p != nullptr ? *p : empty;
}

const QString& stringOrEmpty(const QString* p) {
  static const QString empty;
  return p != nullptr ? *p : empty;
}

}  // namespace

int32_t compareValues(const ExprValue& a, const ExprValue& b, bool warn) {
  const int32_t ta = a.type;
  const int32_t tb = b.type;
  switch (ta) {
    case VT_INT:
    case VT_LONG:
      if (tb == VT_INT && ta == VT_INT) return threeWay(a.payload.i32, b.payload.i32);
      if (tb == VT_INT || tb == VT_LONG) return threeWay(a.asInt64(), b.asInt64());
      if (tb == VT_DOUBLE) return compareDoubles(double(a.asInt64()), b.payload.d);
      break;
    case VT_DOUBLE:
      if (tb == VT_INT || tb == VT_LONG) return compareDoubles(a.payload.d, double(b.asInt64()));
      if (tb == VT_DOUBLE) return compareDoubles(a.payload.d, b.payload.d);
      break;
    case VT_BOOL:
      if (tb == VT_BOOL) return (a.payload.b != 0) == (b.payload.b != 0) ? 0 : 2;
      break;
    case VT_CHAR:
      if (tb == VT_CHAR) return threeWay(static_cast<signed char>(a.payload.c),
                                         static_cast<signed char>(b.payload.c));
      if (tb == VT_WCHAR) return threeWay(uint16_t(static_cast<unsigned char>(a.payload.c)),
                                          b.payload.u16);
      break;
    case VT_WCHAR:
      if (tb == VT_CHAR) return threeWay(a.payload.u16,
                                         uint16_t(static_cast<unsigned char>(b.payload.c)));
      if (tb == VT_WCHAR) return threeWay(a.payload.u16, b.payload.u16);
      break;
    case VT_BYTES:
      if (tb == VT_BYTES) {
        // a null byte string is the empty one
        const QByteArray& x = bytesOrEmpty(a.payload.bytes);
        const QByteArray& y = bytesOrEmpty(b.payload.bytes);
        if (x == y) return 0;
        return x > y ? 1 : -1;
      }
      break;
    case VT_STRING:
      if (tb == VT_STRING) {
        int r = QString::compare(stringOrEmpty(a.payload.str), stringOrEmpty(b.payload.str),
                                 Qt::CaseSensitive);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
      }
      break;
    case VT_TIME:
      if (tb == VT_TIME) {
        const QDateTime* x = a.payload.time;
        const QDateTime* y = b.payload.time;
        if (x == nullptr || y == nullptr) {
          if (x == nullptr && y == nullptr) return 0;
          return y == nullptr ? 1 : -1;
        }
        if (*x == *y) return 0;
        return *y < *x ? 1 : -1;
      }
      break;
    default:
      break;
  }
  if (warn) {
    const bool aInt = ta == VT_INT || ta == VT_LONG;
    const bool bInt = tb == VT_INT || tb == VT_LONG;
    if ((ta == VT_BYTES && bInt) || (aInt && tb == VT_BYTES)) {
      printLine(QStringLiteral("字符串和整数不能进行逻辑比对大小运算"));
    } else if ((ta == VT_BYTES && tb == VT_DOUBLE) || (ta == VT_DOUBLE && tb == VT_BYTES)) {
      printLine(QStringLiteral("字符串和小数不能进行逻辑比对大小运算"));
    } else {
      printLine(QStringLiteral("变量 %1 和表达式只 %2 不能进行类型对比")
                    .arg(valueToText(a), valueToText(b)));
    }
  }
  return -100;
}

// ---------------------------------------------------------------- dict keys

uint64_t hashOtherKey(const ExprValue& key) {
  unsigned char buf[8];
  switch (key.type) {
    case VT_INT:
    case VT_LONG:
      return hashIntegerKey(key.asInt64());
    case VT_CHAR:
      buf[0] = static_cast<unsigned char>(key.payload.c);
      buf[1] = buf[2] = buf[3] = 0;
      return fnv1a(buf, 4);
    case VT_WCHAR:
      buf[0] = static_cast<unsigned char>(key.payload.u16 & 0xff);
      buf[1] = static_cast<unsigned char>(key.payload.u16 >> 8);
      buf[2] = buf[3] = 0;
      return fnv1a(buf, 4);
    case VT_BYTES:
      if (key.payload.bytes != nullptr) return fnv1a(*key.payload.bytes);
      break;
    case VT_STRING:
      if (key.payload.str != nullptr) {
        uint64_t h = kFnvOffsetBasis;
        const QChar* p = key.payload.str->constData();
        const int n = key.payload.str->size();
        for (int i = 0; i < n; ++i) {
          const uint16_t u = p[i].unicode();
          h = (h ^ (u & 0xff)) * kFnvPrime;
          h = (h ^ (u >> 8)) * kFnvPrime;
        }
        return h;
      }
      break;
    default:
      break;
  }
  raiseScriptError(QStringLiteral(
      "错误：只有整数、字符、字符串能做字典的关键字,当前表达式类型不可做关键字！"));
}

bool keysEqualOther(const ExprValue& a, const ExprValue& b) {
  if (a.type != b.type) {
    const bool aInt = a.type == VT_INT || a.type == VT_LONG;
    const bool bInt = b.type == VT_INT || b.type == VT_LONG;
    return aInt && bInt && a.asInt64() == b.asInt64();
  }
  switch (a.type) {
    case VT_INT: return a.payload.i32 == b.payload.i32;
    case VT_LONG: return a.payload.i64 == b.payload.i64;
    case VT_CHAR: return a.payload.c == b.payload.c;
    case VT_WCHAR: return a.payload.u16 == b.payload.u16;
    case VT_BYTES: {
      if (a.payload.bytes == nullptr || b.payload.bytes == nullptr)
        return a.payload.bytes == b.payload.bytes;
      const QByteArray& x = *a.payload.bytes;
      const QByteArray& y = *b.payload.bytes;
      // copies of one value share their bytes
      return x.size() == y.size() &&
             (x.constData() == y.constData() || std::memcmp(x.constData(), y.constData(), size_t(x.size())) == 0);
    }
    case VT_STRING:
      if (a.payload.str == nullptr || b.payload.str == nullptr)
        return a.payload.str == b.payload.str;
      return *a.payload.str == *b.payload.str;
    default: return false;
  }
}

// ---------------------------------------------------------------- conversion

namespace {

void setInt(ExprValue& cell, int32_t v) {
  cell.type = VT_INT;
  cell.payload.i64 = 0;
  cell.payload.i32 = v;
}

void setLong(ExprValue& cell, int64_t v) {
  cell.type = VT_LONG;
  cell.payload.i64 = v;
}

void setUnit(ExprValue& cell, uint16_t v) {
  cell.type = VT_WCHAR;
  cell.payload.i64 = 0;
  cell.payload.u16 = v;
}

int32_t pairCode(int32_t declared, int32_t value) {
  switch (declared) {
    case VT_INT:
      switch (value) {
        case VT_INT: return 0;
        case VT_LONG: return 4;
        case VT_DOUBLE: return 9;
        case VT_CHAR: return 19;
        case VT_WCHAR: return 24;
        case VT_BYTES: return -96;
      }
      break;
    case VT_LONG:
      switch (value) {
        case VT_INT: return 1;
        case VT_LONG: return 3;
        case VT_DOUBLE: return 10;
        case VT_CHAR: return 20;
        case VT_WCHAR: return 21;
        case VT_BYTES: return -95;
      }
      break;
    case VT_DOUBLE:
      switch (value) {
        case VT_INT: return 2;
        case VT_LONG: return 5;
        case VT_DOUBLE: return 8;
        case VT_BYTES: return -94;
      }
      break;
    case VT_BOOL:
      if (value == VT_BOOL) return 16;
      break;
    case VT_CHAR:
      if (value == VT_CHAR) return 17;
      break;
    case VT_WCHAR:
      switch (value) {
        case VT_INT: return 7;
        case VT_CHAR: return 22;
        case VT_WCHAR: return 25;
      }
      break;
    case VT_STRUCT:
      if (value == VT_STRUCT) return 27;
      break;
    case VT_BYTES:
      switch (value) {
        case VT_INT: return -99;
        case VT_LONG: return -98;
        case VT_DOUBLE: return -97;
        case VT_CHAR: return 18;
        case VT_BYTES: return 11;
        case VT_STRING: return 15;
      }
      break;
    case VT_STRING:
      switch (value) {
        case VT_CHAR: return 23;
        case VT_WCHAR: return 26;
        case VT_BYTES: return 12;
        case VT_STRING: return 14;
      }
      break;
    case VT_LIST:
      if (value == VT_LIST) return 29;
      break;
    case VT_DICT:
      if (value == VT_DICT) return 30;
      break;
    case VT_FILE:
      if (value == VT_BYTES) return 13;
      if (value == VT_FILE) return 31;
      break;
    case VT_TIME:
      if (value == VT_TIME) return 32;
      break;
    case VT_FUNC:
      if (value == VT_FUNC) return 33;
      break;
    default:
      break;
  }
  return -100;
}

void convertCell(int32_t code, ExprValue& cell) {
  switch (code) {
    case 19: setInt(cell, static_cast<signed char>(cell.payload.c)); break;
    case 24: setInt(cell, cell.payload.u16); break;
    case 20: setLong(cell, static_cast<signed char>(cell.payload.c)); break;
    case 21: setLong(cell, cell.payload.u16); break;
    case 7: setUnit(cell, static_cast<uint16_t>(cell.payload.i32 & 0xffff)); break;
    case 22:
      setUnit(cell, static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(cell.payload.c))));
      break;
    case 18: {
      const char c = cell.payload.c;
      cell.type = VT_BYTES;
      cell.payload.bytes = newByteString(1, c);
      break;
    }
    case 15: {
      QString* s = cell.payload.str;
      cell.type = VT_BYTES;
      cell.payload.bytes = s != nullptr ? newByteString(s->toUtf8()) : nullptr;
      deleteText(s);
      break;
    }
    case 23: {
      const char c = cell.payload.c;
      cell.type = VT_STRING;
      cell.payload.str = newText(QChar::fromLatin1(c));
      break;
    }
    case 26: {
      const uint16_t u = cell.payload.u16;
      cell.type = VT_STRING;
      cell.payload.str = newText(QChar(u));
      break;
    }
    case 12: {
      QByteArray* b = cell.payload.bytes;
      cell.type = VT_STRING;
      cell.payload.str = b != nullptr ? newText(utf8ToString(*b)) : nullptr;
      deleteByteString(b);
      break;
    }
    default:
      break;
  }
}

}  // namespace

int32_t convertForAssign(int32_t declaredType, int32_t valueType, bool print, bool convert,
                         ExprValue& cell) {
  const int32_t code = pairCode(declaredType, valueType);
  if (code < 0) {
    if (print) printLine(QStringLiteral("变量的类型和其赋值无法匹配！请检查。"));
    return code;
  }
  // the conversion works on the cell's own payload, so it must be of the stated type
  if (convert && cell.type == valueType) convertCell(code, cell);
  return code;
}

// ---------------------------------------------------------------- display text

namespace {

bool holdsValues(int32_t type) { return type == VT_STRUCT || type == VT_LIST || type == VT_DICT; }

// Text of a value of any type but struct, list and dict.
void appendPlainText(QString& out, const ExprValue& cell) {
  const ValuePayload& p = cell.payload;
  switch (cell.type) {
    case VT_INT: out += QString::number(p.i32); break;
    case VT_LONG: out += QString::number(qlonglong(p.i64)); break;
    case VT_DOUBLE: out += QStringLiteral("%1").arg(p.d, 0, 'g', -1); break;
    case VT_BOOL: out += p.b ? QLatin1String("zhen") : QLatin1String("jia"); break;
    case VT_CHAR: out += QChar::fromLatin1(p.c); break;
    case VT_WCHAR: out += QChar(p.u16); break;
    case VT_BYTES:
      if (p.bytes != nullptr) out += utf8ToString(*p.bytes);
      break;
    case VT_STRING:
      if (p.str != nullptr) out += *p.str;
      break;
    case VT_FILE:
      if (p.file == nullptr || p.file->info == nullptr)
        out += QLatin1String("kong");
      else
        out += QStringLiteral("file:%1 ").arg(p.file->info->filePath());
      break;
    case VT_TIME:
      if (p.time == nullptr || p.time->isNull())  // no time, or a null time
        out += QLatin1String("kong");
      else
        out += p.time->toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
      break;
    case VT_EXCEL:
      if (p.excel == nullptr || p.excel->path.isEmpty())
        out += QLatin1String("kong");
      else
        out += QStringLiteral("excel:%1 ").arg(QString::fromUtf8(p.excel->path));
      break;
    case VT_FUNC:
      if (p.fn == nullptr) {
        out += QLatin1String("kong");
      } else {
        if (cell.owner != nullptr) out += QString::fromUtf8(*cell.owner);
        out += QLatin1String("->");
        out += QString::fromUtf8(p.fn->name);
      }
      break;
    default:
      break;
  }
}

void appendQuoted(QString& out, const ExprValue& v) {
  out += QLatin1Char('"');
  appendPlainText(out, v);
  out += QLatin1Char('"');
}

// A struct, list or dict whose contents are being written: the member or
// element cells still to come, or the dict node still to come.
struct OpenContainer {
  bool dict = false;
  bool first = true;
  QLatin1Char close{']'};
  ExprValue* const* at = nullptr;
  ExprValue* const* end = nullptr;
  const ValueDict::Node* node = nullptr;
};

// Writes the opening of a struct, list or dict; true when its contents follow
// (described by `open`), false when the whole text has been written.
bool openContainer(QString& out, const ExprValue& cell, OpenContainer& open) {
  const ValuePayload& p = cell.payload;
  switch (cell.type) {
    case VT_STRUCT: {
      const StructValue* s = p.st;
      if (s == nullptr) return false;
      if (s->members != nullptr) {
        out += QLatin1Char('{');
        open.close = QLatin1Char('}');
        open.at = s->members->data();
        open.end = open.at + s->members->size();
        return true;
      }
      if (s->builtinCode == -1) {
        // nothing
      } else if (s->builtinCode == VT_PHUXMAIN) {
        out += QLatin1String("{}");
      } else {
        out += QLatin1Char('{');
        out += QString::fromUtf8(s->typeName);
        out += QLatin1Char('}');
      }
      return false;
    }
    case VT_LIST:
      out += QLatin1Char('[');
      if (p.list == nullptr) {
        out += QLatin1Char(']');
        return false;
      }
      open.at = p.list->data();
      open.end = open.at + p.list->size();
      return true;
    default:
      out += QLatin1Char('{');
      if (p.dict == nullptr) {
        out += QLatin1Char('}');
        return false;
      }
      open.dict = true;
      open.close = QLatin1Char('}');
      open.node = p.dict->first();
      return true;
  }
}

}  // namespace

Q_DECLARE_TYPEINFO(OpenContainer, Q_PRIMITIVE_TYPE);

// Nested structs, lists and dicts are written with a stack of open
// containers instead of recursion, so that data nested to any depth is
// written whole.
void appendValueText(QString& out, const ExprValue& cell) {
  if (!holdsValues(cell.type)) {
    appendPlainText(out, cell);
    return;
  }
  OpenContainer outer;
  if (!openContainer(out, cell, outer)) return;
  QVarLengthArray<OpenContainer, 16> open;
  open.append(outer);
  while (!open.isEmpty()) {
    // Write the innermost open container on, up to its end or up to a
    // struct, list or dict in it, which is opened next.
    OpenContainer& c = open.last();
    const ExprValue* nested = nullptr;
    if (c.dict) {
      for (const ValueDict::Node* n = c.node; n != nullptr; n = n->next) {
        if (!c.first) out += QLatin1String(", ");
        c.first = false;
        if (n->key.type == VT_BYTES || n->key.type == VT_STRING)
          appendQuoted(out, n->key);
        else
          appendPlainText(out, n->key);
        out += QLatin1Char(':');
        const ExprValue* v = n->value;
        if (v == nullptr) continue;
        if (v->type == VT_BYTES) {  // dict values quote byte strings only
          appendQuoted(out, *v);
        } else if (holdsValues(v->type)) {
          c.node = n->next;
          nested = v;
          break;
        } else {
          appendPlainText(out, *v);
        }
      }
    } else {
      while (c.at != c.end) {
        const ExprValue* e = *c.at++;
        if (!c.first) out += QLatin1Char(',');
        c.first = false;
        if (e == nullptr) continue;
        if (e->type == VT_BYTES || e->type == VT_STRING) {
          appendQuoted(out, *e);
        } else if (holdsValues(e->type)) {
          nested = e;
          break;
        } else {
          appendPlainText(out, *e);
        }
      }
    }
    if (nested == nullptr) {
      out += c.close;
      open.removeLast();
      continue;
    }
    OpenContainer inner;
    if (openContainer(out, *nested, inner)) open.append(inner);
  }
}

QString valueToText(const ExprValue& cell) {
  QString out;
  appendValueText(out, cell);
  return out;
}

QString appendUtf8(const QString& text, const char* utf8Suffix) {
  return text + QString::fromUtf8(utf8Suffix);
}

QString appendUtf8(const QString& text, const QByteArray& utf8Suffix) {
  return text + QString::fromUtf8(utf8Suffix);
}

QString prependUtf8(const char* utf8Prefix, const QString& text) {
  return QString::fromUtf8(utf8Prefix) + text;
}

QString prependUtf8(const QByteArray& utf8Prefix, const QString& text) {
  return QString::fromUtf8(utf8Prefix) + text;
}
