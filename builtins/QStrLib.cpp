// Methods of 16-bit strings (string): conversions and indexing, searching
// with a case flag, slicing, editing in place, splitting and number text.
// Text arguments may be a string, a zfc (UTF-8), a kzf or a zf (Latin-1).
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include <QStringList>

#include <algorithm>

void qstrConvertLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);
void qstrLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

namespace {

// How an argument reads as text.
enum class TextArg { Text, Char, Null, Other };

// A string is taken as it is (shared, not copied), a zfc decoded as UTF-8, a
// kzf as its unit and a zf as the Latin-1 code point of its byte.
TextArg textArg(const ExprValue* c, QString& out) {
  switch (c->type) {
    case VT_STRING:
      if (c->payload.str == nullptr) return TextArg::Null;
      out = *c->payload.str;
      return TextArg::Text;
    case VT_BYTES:
      if (c->payload.bytes == nullptr) return TextArg::Null;
      out = QString::fromUtf8(*c->payload.bytes);
      return TextArg::Text;
    case VT_WCHAR:
      out = QString(QChar(c->payload.u16));
      return TextArg::Char;
    case VT_CHAR:
      out = QString(QChar::fromLatin1(c->payload.c));
      return TextArg::Char;
    default:
      return TextArg::Other;
  }
}

bool charArg(const ExprValue* c, QChar& out) {
  if (c->type == VT_WCHAR) {
    out = QChar(c->payload.u16);
    return true;
  }
  if (c->type == VT_CHAR) {
    out = QChar::fromLatin1(c->payload.c);
    return true;
  }
  return false;
}

Qt::CaseSensitivity caseOf(const ExprValue* c) {
  return argInt(c) == 1 ? Qt::CaseSensitive : Qt::CaseInsensitive;
}

[[noreturn]] void raiseReplaceError(antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行号 %1 语句 %2 参数格式错误。replace 函数有5种形式，均无法匹配！", ctx));
}

// indexOf / lastIndexOf: (needle [, from [, case flag]]).
void indexText(bool last, const QString& s, antlr4::ParserRuleContext* ctx) {
  const int n = builtinArgCount();
  int from = last ? -1 : 0;
  Qt::CaseSensitivity cs = Qt::CaseSensitive;
  for (int i = 1; i < n; ++i) {
    const ExprValue* a = builtinArg(i);
    if (!isInteger(a)) {
      raise(callMessage(
          "错误：行号 %1 语句 %2 调用函数 %3 第 %4 个参数类型是 %5，类型无法匹配，该参数需要是 %6", ctx,
          {callName(), QString::number(i + 1), typeDescription(a->type, a), typeDescription(VT_INT)}));
    }
    if (i == 1) from = argInt(a);
    else cs = caseOf(a);
  }
  QString needle;
  const TextArg k = textArg(builtinArg(0), needle);
  if (k != TextArg::Text && k != TextArg::Char) return pushInt(-1);
  if (k == TextArg::Char) {
    const QChar c = needle.at(0);
    return pushInt(last ? s.lastIndexOf(c, from, cs) : s.indexOf(c, from, cs));
  }
  pushInt(last ? s.lastIndexOf(needle, from, cs) : s.indexOf(needle, from, cs));
}

// replace with two to four arguments; in place, always case-sensitive.
void replaceText(QString* self, antlr4::ParserRuleContext* ctx) {
  const int n = builtinArgCount();
  if (n == 2) {
    QString before, after;
    const TextArg kb = textArg(builtinArg(0), before);
    const TextArg ka = textArg(builtinArg(1), after);
    const bool beforeOk = kb == TextArg::Text || kb == TextArg::Char || kb == TextArg::Null;
    const bool afterOk = ka == TextArg::Text || ka == TextArg::Char || ka == TextArg::Null;
    const bool beforeIsText = builtinArg(0)->type == VT_STRING || builtinArg(0)->type == VT_BYTES;
    const bool afterIsChar = ka == TextArg::Char;
    // a text may replace a text, a character a text or a character; a
    // character never replaces a text
    if (!beforeOk || !afterOk || (beforeIsText && afterIsChar)) raiseReplaceError(ctx);
    if (self == nullptr || kb == TextArg::Null) return;
    if (kb == TextArg::Char) {
      const QChar b = before.at(0);
      if (afterIsChar) {
        self->replace(b, after.at(0), Qt::CaseSensitive);
        return;
      }
      if (after.size() > 1 && self->size() + int64_t(self->size()) * (after.size() - 1) > kMaxTextLength)
        requireLength(self->size() + int64_t(self->count(b)) * (after.size() - 1), ctx);
      self->replace(b, after, Qt::CaseSensitive);
      return;
    }
    if (after.size() > before.size()) {
      const int64_t grow = after.size() - before.size();
      const int64_t most = before.isEmpty() ? int64_t(self->size()) + 1 : self->size() / before.size();
      if (self->size() + most * grow > kMaxTextLength)
        requireLength(self->size() + int64_t(self->count(before)) * grow, ctx);
    }
    self->replace(before, after, Qt::CaseSensitive);
    return;
  }
  if (n == 3 || n == 4) {
    const ExprValue* pos = builtinArg(0);
    const ExprValue* len = builtinArg(1);
    const ExprValue* afterCell = builtinArg(2);
    if (n == 3) {
      if (!isInteger(pos) || !isInteger(len)) return;
      if (afterCell->type != VT_STRING && afterCell->type != VT_BYTES) raiseReplaceError(ctx);
    } else if (!isInteger(pos) || !isInteger(len) || !isInteger(builtinArg(3)) ||
               afterCell->type != VT_STRING) {
      raiseReplaceError(ctx);
    }
    QString after;
    textArg(afterCell, after);
    if (self == nullptr) return;
    const int p = argInt(pos);
    int l = argInt(len);
    int alen = n == 4 ? argInt(builtinArg(3)) : after.size();
    // positions outside the text and negative lengths change nothing
    if (p < 0 || p > self->size() || l < 0) return;
    l = std::min(l, self->size() - p);
    alen = std::max(0, std::min(alen, after.size()));
    requireLength(int64_t(self->size()) - l + alen, ctx);
    self->replace(p, l, after.constData(), alen);
  }
}

// split: a character splits on that character, a text on that non-empty
// text; empty parts are kept.
void splitText(const QString& s, antlr4::ParserRuleContext* ctx) {
  const ExprValue* sep = builtinArg(0);
  QStringList parts;
  QChar c;
  if (charArg(sep, c)) {
    parts = s.split(c, Qt::KeepEmptyParts, Qt::CaseSensitive);
  } else if (sep->type == VT_STRING || sep->type == VT_BYTES) {
    QString text;
    textArg(sep, text);
    if (text.isEmpty()) {
      raise(callMessage(
          "错误：行号 %1 语句 %2 调用函数 split 的分割字符串参数是空字符串，请检查！", ctx));
    }
    parts = s.split(text, Qt::KeepEmptyParts, Qt::CaseSensitive);
  } else {
    raise(callMessage("错误：行号 %1 语句 %2 调用函数 split 的参数只能字符或字符串，请检查！", ctx));
  }
  ExprValue listValue = makeListValue();
  ValueList* list = listValue.payload.list;
  list->reserve(size_t(parts.size()));
  for (QString& part : parts) {
    ExprValue* cell = newElementCell(VT_STRING);
    cell->payload.str = new QString(std::move(part));
    list->push_back(cell);
  }
  pushBuiltinResult(listValue);
}


// string.number: the five forms of zfc.number, giving a string.
void numberToText(antlr4::ParserRuleContext* ctx) {
  const ExprValue* r = builtinReceiver();
  if (r->type != VT_TYPE_NAME) return pushEmpty();
  if (r->payload.i32 != VT_STRING) {
    const QString given = r->owner != nullptr ? QString::fromUtf8(*r->owner)
                                              : QString::fromUtf8(typeKeyword(r->payload.i32));
    raise(fillMessage(
        "错误：行号 %1 函数 %2 语句 %3 类名 %4 调用全局函数 %5 错误，u16 字符串类型名只能是 string ！",
        {QString::number(lineOf(ctx)), currentFunctionQName(), statementOf(ctx), given, callName()}));
  }
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
    if (isInteger(v)) return pushString(QString::number(qlonglong(argLong(v))));
    if (v->type == VT_DOUBLE) return pushString(QString::number(v->payload.d, 'g', 6));
    return pushEmpty();
  }
  const ExprValue* second = builtinArg(1);
  char f = 'g';
  if (n == 2) {
    if (isInteger(v) && second->type == VT_INT) {
      requireBase(second->payload.i32, ctx);
      return pushString(QString::number(qlonglong(argLong(v)), second->payload.i32));
    }
    if (v->type == VT_DOUBLE && formatChar(second, f))
      return pushString(QString::number(v->payload.d, f, 6));
    return pushEmpty();
  }
  const ExprValue* third = builtinArg(2);
  if (v->type == VT_DOUBLE && formatChar(second, f) && third->type == VT_INT) {
    requirePrecision(third->payload.i32, ctx);
    return pushString(QString::number(v->payload.d, f, third->payload.i32));
  }
  pushEmpty();
}

[[noreturn]] void raiseEmptyReceiver(antlr4::ParserRuleContext* ctx) {
  raise(callMessage("错误：行 %1 语句 %2 %3 获取字符失败，当前字符串是空字符串！", ctx, {callName()}));
}

}  // namespace

void qstrConvertLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  const QString& s = recv->type == VT_STRING && recv->payload.str ? *recv->payload.str : emptyString();
  switch (method->id) {
    case 220: {  // string.fromZfc(bytes)
      if (recv->type != VT_TYPE_NAME || recv->payload.i32 != VT_STRING) return pushEmpty();
      const ExprValue* a = builtinArg(0);
      if (a->type == VT_BYTES && a->payload.bytes) return pushString(QString::fromUtf8(*a->payload.bytes));
      if (a->type == VT_STRING && a->payload.str) return pushString(QString(*a->payload.str));
      return pushString(QString());
    }
    case 218:
      return pushBytes(s.toUtf8());
    case 219: {  // getCharList
      ExprValue listValue = makeListValue();
      ValueList* list = listValue.payload.list;
      list->reserve(size_t(s.size()));
      for (const QChar c : s) {
        ExprValue* cell = newElementCell(VT_WCHAR);
        cell->payload.u16 = c.unicode();
        list->push_back(cell);
      }
      return pushBuiltinResult(listValue);
    }
    case 221: {  // at(pos)
      const ExprValue* a = builtinArg(0);
      requireInteger(a, ctx);
      const int pos = argInt(a);
      if (pos < 0 || pos > s.size() - 1) {
        raise(callMessage(
            "错误：行 %1 语句 %2 at 获取位置字符失败，位置值 %3 超过当前字符串长度 %4 (下标从0开始计算)！",
            ctx, {QString::number(pos), QString::number(s.size())}));
      }
      return pushWChar(s.at(pos).unicode());
    }
    case 222:
      return pushInt(s.size());
    default:
      return pushEmpty();
  }
}

void qstrLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  QString* self = recv->type == VT_STRING ? recv->payload.str : nullptr;
  const QString& s = self != nullptr ? *self : emptyString();
  QString text;

  switch (method->id) {
    // ---- text arguments ----
    case 223:    // append
    case 246:    // push_back
    case 247: {  // push_front
      const TextArg k = textArg(builtinArg(0), text);
      if (k != TextArg::Text && k != TextArg::Char) return pushEmpty();
      if (self == nullptr) return;
      requireLength(int64_t(self->size()) + text.size(), ctx);
      if (method->id == 247) self->prepend(text); else self->append(text);
      return;
    }
    case 229: {  // compare(other, case flag)
      const TextArg k = textArg(builtinArg(0), text);
      if (k == TextArg::Null) return pushInt(s.isEmpty() ? 0 : 1);
      if (k == TextArg::Other) return pushInt(0);
      return pushInt(s.compare(text, caseOf(builtinArg(1))));
    }
    case 230:    // contains
    case 231:    // count
    case 232:    // endsWith
    case 233: {  // startsWith
      const TextArg k = textArg(builtinArg(0), text);
      if (k != TextArg::Text && k != TextArg::Char) return pushEmpty();
      const Qt::CaseSensitivity cs = caseOf(builtinArg(1));
      switch (method->id) {
        case 230: return pushBool(s.contains(text, cs));
        case 231: return pushInt(s.count(text, cs));
        case 232: return pushBool(s.endsWith(text, cs));
        default: return pushBool(s.startsWith(text, cs));
      }
    }
    case 234:
    case 235:
      return indexText(method->id == 235, s, ctx);
    case 236: {  // insert(pos, text); in place
      const int pos = argInt(builtinArg(0));
      const ExprValue* a = builtinArg(1);
      const TextArg k = textArg(a, text);
      if (k == TextArg::Other) {
        raise(callMessage(
            "错误：行号 %1 语句 %2 调用函数 insert 的参数类型是 %3，需要字符串或字符类型，请检查！", ctx,
            {typeDescription(a->type, a)}));
      }
      if (k == TextArg::Null || self == nullptr || pos < 0) return;
      requireLength(int64_t(std::max(pos, self->size())) + text.size(), ctx);
      self->insert(pos, text);
      return;
    }

    // ---- integer or mixed arguments ----
    case 226: {  // chop(n); in place
      const ExprValue* a = builtinArg(0);
      requireInteger(a, ctx);
      if (self != nullptr) self->chop(argInt(a));
      return;
    }
    case 227: {  // chopped(n)
      const ExprValue* a = builtinArg(0);
      requireInteger(a, ctx);
      const int64_t n = argLong(a);
      if (n < 0 || n > s.size()) {
        raise(callMessage(
            "错误：行 %1 语句 %2 chopped 尾巴字符失败，长度值 %3 超过当前字符串长度 %4 (下标从0开始计算)！",
            ctx, {QString::number(qlonglong(n)), QString::number(s.size())}));
      }
      return pushString(s.left(s.size() - int(n)));
    }
    case 240:    // left(n)
    case 241: {  // right(n)
      const ExprValue* a = builtinArg(0);
      requireInteger(a, ctx);
      const int n = argInt(a);
      return pushString(method->id == 240 ? s.left(n) : s.right(n));
    }
    case 242:    // leftJustified(width, fill, truncate)
    case 243: {  // rightJustified
      const int width = argInt(builtinArg(0));
      QChar fill = QLatin1Char(' ');
      charArg(builtinArg(1), fill);
      const bool truncate = argLong(builtinArg(2)) != 0;
      requireLength(width, ctx);
      // a width below the length is handled here: Qt's own padding
      // arithmetic overflows for widths near the smallest int
      if (width <= s.size()) return pushString(truncate ? s.left(std::max(width, 0)) : QString(s));
      return pushString(method->id == 242 ? s.leftJustified(width, fill, truncate)
                                          : s.rightJustified(width, fill, truncate));
    }
    case 244:  // mid(pos, length)
      return pushString(s.mid(argInt(builtinArg(0)), argInt(builtinArg(1))));
    case 245: {  // remove(pos, length); in place
      const int pos = argInt(builtinArg(0));
      const int len = argInt(builtinArg(1));
      if (self != nullptr && pos >= 0 && len > 0) self->remove(pos, len);
      return;
    }
    case 248:
      return replaceText(self, ctx);
    case 250:
      return splitText(s, ctx);
    case 253:
    case 254:
    case 251:
    case 252:
      return pushTextNumber(method->id == 253   ? TextNumber::Int
                            : method->id == 254 ? TextNumber::Long
                            : method->id == 251 ? TextNumber::Double
                                                : TextNumber::Float,
                            s, ctx);
    case 258: {  // truncate(pos); in place
      const int pos = argInt(builtinArg(0));
      if (self != nullptr && pos >= 0) self->truncate(pos);
      return;
    }
    case 259: {  // setPosChar(pos, character); in place
      const int pos = argInt(builtinArg(0));
      const ExprValue* c = builtinArg(1);
      QChar unit;
      if (c->type == VT_INT) unit = QChar(uint16_t(c->payload.i32 & 0xffff));
      else if (!charArg(c, unit)) {
        raise(callMessage("警告：行 %1 语句 %2 setPosChar 设置失败，参数2是 %3，需要字符类型!", ctx,
                          {typeDescription(c->type, c)}));
      }
      if (pos < 0 || pos > s.size() - 1) {
        warn(callMessage(
            "警告：行 %1 语句 %2 setPosChar 设置失败，pos位置值 %3 超过当前字符串长度 %4 (下标从0开始计算)！",
            ctx, {QString::number(pos), QString::number(s.size())}));
        return;
      }
      if (self != nullptr) (*self)[pos] = unit;
      return;
    }
    case 260:
      return numberToText(ctx);

    // ---- no arguments ----
    case 224:  // back
      if (s.isEmpty()) raiseEmptyReceiver(ctx);
      return pushWChar(s.at(s.size() - 1).unicode());
    case 225:  // front
      if (s.isEmpty()) raiseEmptyReceiver(ctx);
      return pushWChar(s.at(0).unicode());
    case 228:  // clear; in place
      if (self != nullptr) self->clear();
      return;
    case 237:
      return pushBool(s.isEmpty());
    case 238:
      return pushBool(s.isLower());
    case 239:
      return pushBool(s.isUpper());
    case 249:
      return pushString(s.simplified());
    case 255:
      return pushString(s.toLower());
    case 256:
      return pushString(s.toUpper());
    case 257:
      return pushString(s.trimmed());
    default:
      return pushEmpty();
  }
}

void registerQStrLib() {
  if (BuiltinLibFlags[LIB_QSTR]) return;
  BuiltinLibFlags[LIB_QSTR] = 1;
  currentBuiltinReceiver = VT_STRING;
  const int32_t R = BA_RANGE;
  const int32_t O = BA_OPTIONAL_LAST;
  currentBuiltinHandler = qstrConvertLibCall;
  registerBuiltinMethod(220, QByteArrayLiteral("qstr_fromZfc"), {VT_BYTES}, BF_STATIC);
  registerBuiltinMethod(218, QByteArrayLiteral("qstr_toZfc"), {}, BF_MEMBER);
  registerBuiltinMethod(219, QByteArrayLiteral("qstr_getCharList"), {}, BF_MEMBER);
  registerBuiltinMethod(221, QByteArrayLiteral("qstr_at"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(222, QByteArrayLiteral("qstr_size"), {}, BF_MEMBER);
  currentBuiltinHandler = qstrLibCall;
  registerBuiltinMethod(224, QByteArrayLiteral("qstr_back"), {}, BF_MEMBER);
  registerBuiltinMethod(225, QByteArrayLiteral("qstr_front"), {}, BF_MEMBER);
  registerBuiltinMethod(226, QByteArrayLiteral("qstr_chop"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(227, QByteArrayLiteral("qstr_chopped"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(228, QByteArrayLiteral("qstr_clear"), {}, BF_MEMBER);
  registerBuiltinMethod(223, QByteArrayLiteral("qstr_append"), {VT_STRING}, BF_MEMBER);
  registerBuiltinMethod(229, QByteArrayLiteral("qstr_compare"), {VT_STRING, 1, O}, BF_MEMBER);
  registerBuiltinMethod(230, QByteArrayLiteral("qstr_contains"), {VT_STRING, 1, O}, BF_MEMBER);
  registerBuiltinMethod(231, QByteArrayLiteral("qstr_count"), {VT_STRING, 1, O}, BF_MEMBER);
  registerBuiltinMethod(232, QByteArrayLiteral("qstr_endsWith"), {VT_STRING, 1, O}, BF_MEMBER);
  registerBuiltinMethod(233, QByteArrayLiteral("qstr_startsWith"), {VT_STRING, 1, O}, BF_MEMBER);
  registerBuiltinMethod(234, QByteArrayLiteral("qstr_indexOf"), {1, 3, R}, BF_MEMBER);
  registerBuiltinMethod(235, QByteArrayLiteral("qstr_lastIndexOf"), {1, 3, R}, BF_MEMBER);
  registerBuiltinMethod(236, QByteArrayLiteral("qstr_insert"), {VT_INT, VT_STRING}, BF_MEMBER);
  registerBuiltinMethod(237, QByteArrayLiteral("qstr_isEmpty"), {}, BF_MEMBER);
  registerBuiltinMethod(238, QByteArrayLiteral("qstr_isLower"), {}, BF_MEMBER);
  registerBuiltinMethod(239, QByteArrayLiteral("qstr_isUpper"), {}, BF_MEMBER);
  registerBuiltinMethod(240, QByteArrayLiteral("qstr_left"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(241, QByteArrayLiteral("qstr_right"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(242, QByteArrayLiteral("qstr_leftJustified"), {VT_INT, VT_WCHAR, 0, O}, BF_MEMBER);
  registerBuiltinMethod(243, QByteArrayLiteral("qstr_rightJustified"), {VT_INT, VT_WCHAR, 0, O}, BF_MEMBER);
  registerBuiltinMethod(244, QByteArrayLiteral("qstr_mid"), {VT_INT, -1, O}, BF_MEMBER);
  registerBuiltinMethod(246, QByteArrayLiteral("qstr_push_back"), {VT_STRING}, BF_MEMBER);
  registerBuiltinMethod(247, QByteArrayLiteral("qstr_push_front"), {VT_STRING}, BF_MEMBER);
  registerBuiltinMethod(245, QByteArrayLiteral("qstr_remove"), {VT_INT, VT_INT}, BF_MEMBER);
  registerBuiltinMethod(248, QByteArrayLiteral("qstr_replace"), {2, 4, R}, BF_MEMBER);
  registerBuiltinMethod(249, QByteArrayLiteral("qstr_simplified"), {}, BF_MEMBER);
  registerBuiltinMethod(250, QByteArrayLiteral("qstr_split"), {1, 1, R}, BF_MEMBER);
  registerBuiltinMethod(251, QByteArrayLiteral("qstr_toDouble"), {}, BF_MEMBER);
  registerBuiltinMethod(252, QByteArrayLiteral("qstr_toFloat"), {}, BF_MEMBER);
  registerBuiltinMethod(253, QByteArrayLiteral("qstr_toInt"), {10, O}, BF_MEMBER);
  registerBuiltinMethod(254, QByteArrayLiteral("qstr_toLongLong"), {10, O}, BF_MEMBER);
  registerBuiltinMethod(255, QByteArrayLiteral("qstr_toLower"), {}, BF_MEMBER);
  registerBuiltinMethod(256, QByteArrayLiteral("qstr_toUpper"), {}, BF_MEMBER);
  registerBuiltinMethod(257, QByteArrayLiteral("qstr_trimmed"), {}, BF_MEMBER);
  registerBuiltinMethod(258, QByteArrayLiteral("qstr_truncate"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(259, QByteArrayLiteral("qstr_setPosChar"), {VT_INT, VT_WCHAR}, BF_MEMBER);
  registerBuiltinMethod(260, QByteArrayLiteral("qstr_number"), {1, 3, R}, BF_STATIC);
}
