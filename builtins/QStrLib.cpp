// Methods of 16-bit strings (string): conversions and indexing, searching
// with a case flag, slicing, editing in place, splitting and number text.
// Text arguments may be a string, a zfc (UTF-8), a kzf or a zf (Latin-1).
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include <QStringList>
#include <QStringMatcher>

#include <algorithm>

void qstrConvertLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);
void qstrLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

namespace {

// How an argument reads as text.
enum class TextArg { Text, Char, Null, Other };

// A kzf as its unit, a zf as the Latin-1 code point of its byte.
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

// A string is taken as it is (shared, not copied), a zfc decoded as UTF-8
// (both into `text`); a character gives its unit (charArg) and no text.
TextArg textArg(const ExprValue* c, QString& text, QChar& unit) {
  switch (c->type) {
    case VT_STRING:
      if (c->payload.str == nullptr) return TextArg::Null;
      text = *c->payload.str;
      return TextArg::Text;
    case VT_BYTES:
      if (c->payload.bytes == nullptr) return TextArg::Null;
      text = utf8ToString(*c->payload.bytes);
      return TextArg::Text;
    default:
      return charArg(c, unit) ? TextArg::Char : TextArg::Other;
  }
}

// textArg without a copy of a string argument: `text` points at the
// argument's own text, or at `decoded` for the other kinds.
TextArg textArgRef(const ExprValue* c, const QString*& text, QString& decoded, QChar& unit) {
  if (c->type == VT_STRING && c->payload.str != nullptr) {
    text = c->payload.str;
    return TextArg::Text;
  }
  text = &decoded;
  return textArg(c, decoded, unit);
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
  const QString* needle;
  QString decoded;
  QChar c;
  const TextArg k = textArgRef(builtinArg(0), needle, decoded, c);
  if (k != TextArg::Text && k != TextArg::Char) return pushInt(-1);
  if (k == TextArg::Char) return pushInt(last ? s.lastIndexOf(c, from, cs) : s.indexOf(c, from, cs));
  if (last && needle->isEmpty()) return pushInt(emptyNeedleLastIndex(s.size(), from));
  pushInt(last ? s.lastIndexOf(*needle, from, cs) : s.indexOf(*needle, from, cs));
}

// replace with two to four arguments; in place, always case-sensitive.
void replaceText(QString* self, antlr4::ParserRuleContext* ctx) {
  const int n = builtinArgCount();
  if (n == 2) {
    QString before, after;
    QChar b, a;
    const TextArg kb = textArg(builtinArg(0), before, b);
    const TextArg ka = textArg(builtinArg(1), after, a);
    const bool beforeOk = kb == TextArg::Text || kb == TextArg::Char || kb == TextArg::Null;
    const bool afterOk = ka == TextArg::Text || ka == TextArg::Char || ka == TextArg::Null;
    const bool beforeIsText = builtinArg(0)->type == VT_STRING || builtinArg(0)->type == VT_BYTES;
    const bool afterIsChar = ka == TextArg::Char;
    // a text may replace a text, a character a text or a character; a
    // character never replaces a text
    if (!beforeOk || !afterOk || (beforeIsText && afterIsChar)) raiseReplaceForms(ctx);
    if (self == nullptr || kb == TextArg::Null) return;
    if (kb == TextArg::Char && afterIsChar) {
      self->replace(b, a, Qt::CaseSensitive);
      return;
    }
    if (kb == TextArg::Char || before.size() == 1)
      return replaceUnitEvery(*self, kb == TextArg::Char ? b : before.at(0), after, ctx);
    const QString& s = *self;
    const QStringMatcher matcher(before, Qt::CaseSensitive);
    replaceEvery(*self, before.size(), after.constData(), after.size(),
                 [&](int from) { return matcher.indexIn(s, from); }, ctx);
    return;
  }
  if (n == 3 || n == 4) {
    const ExprValue* pos = builtinArg(0);
    const ExprValue* len = builtinArg(1);
    const ExprValue* afterCell = builtinArg(2);
    if (n == 3) {
      if (!isInteger(pos) || !isInteger(len)) return;
      if (afterCell->type != VT_STRING && afterCell->type != VT_BYTES) raiseReplaceForms(ctx);
    } else if (!isInteger(pos) || !isInteger(len) || !isInteger(builtinArg(3)) ||
               afterCell->type != VT_STRING) {
      raiseReplaceForms(ctx);
    }
    QString after;
    QChar unused;
    textArg(afterCell, after, unused);
    if (self == nullptr) return;
    replaceRange(*self, after, ctx);
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
    textArg(sep, text, c);
    if (text.isEmpty()) raiseEmptySeparator(ctx);
    parts = s.split(text, Qt::KeepEmptyParts, Qt::CaseSensitive);
  } else {
    raiseSeparatorType(ctx);
  }
  ExprValue listValue = makeListValue();
  ValueList* list = listValue.payload.list;
  list->reserve(size_t(parts.size()));
  for (QString& part : parts) {
    ExprValue* cell = newElementCell(VT_STRING);
    cell->payload.str = newText(std::move(part));
    list->push_back(cell);
  }
  pushBuiltinResult(listValue);
}


// string.number: the five forms of zfc.number, giving a string.
void numberToText(antlr4::ParserRuleContext* ctx) {
  if (!isStaticCall(VT_STRING,
                    "错误：行号 %1 函数 %2 语句 %3 类名 %4 调用全局函数 %5 错误，u16 字符串类型名只能是 string ！",
                    ctx))
    return;
  pushNumberText<QString>(ctx);
}

}  // namespace

void qstrConvertLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  const QString& s = recv->type == VT_STRING && recv->payload.str ? *recv->payload.str : emptyString();
  switch (method->id) {
    case 220: {  // string.fromZfc(bytes)
      if (recv->type != VT_TYPE_NAME || recv->payload.i32 != VT_STRING) return pushEmpty();
      const ExprValue* a = builtinArg(0);
      if (a->type == VT_BYTES && a->payload.bytes) return pushString(utf8ToString(*a->payload.bytes));
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
    case 221:  // at(pos)
      return pushAt(s, ctx);
    case 222:
      return pushInt(s.size());
    default:
      return pushEmpty();
  }
}

// append / push_back of a string to a string: what the general case below
// does for that pair, without its locals. False for every other pair.
bool appendString(const ExprValue* recv, const ExprValue* arg, antlr4::ParserRuleContext* ctx) {
  if (recv->type != VT_STRING || recv->payload.str == nullptr || arg->type != VT_STRING ||
      arg->payload.str == nullptr)
    return false;
  QString* self = recv->payload.str;
  requireLength(int64_t(self->size()) + arg->payload.str->size(), ctx);
  self->append(*arg->payload.str);
  return true;
}

namespace {

// ---- direct forms (see BuiltinDirect): the handlers' plain cases ---------

inline const QString* directString(const ExprValue& recv) {
  return recv.type == VT_STRING ? recv.payload.str : nullptr;
}

int qstrSizeDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  const QString* s = directString(recv);
  if (s == nullptr || argc != 0) return -1;
  *out = makeIntValue(s->size());
  return 1;
}

int qstrToZfcDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  const QString* s = directString(recv);
  if (s == nullptr || argc != 0) return -1;
  out->type = VT_BYTES;
  out->payload.bytes = newByteString(s->toUtf8());
  return 1;
}

int qstrToIntDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  const QString* s = directString(recv);
  int32_t v = 0;
  if (s == nullptr || argc != 1 || !plainTextInt(*s, args[0], v)) return -1;
  *out = makeIntValue(v);
  return 1;
}

// A string appended to a string within the length limit.
int qstrAppendDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue*) {
  const QString* s = directString(recv);
  if (s == nullptr || argc != 1 || args[0].type != VT_STRING || args[0].payload.str == nullptr ||
      int64_t(s->size()) + args[0].payload.str->size() > kMaxTextLength)
    return -1;
  return appendString(&recv, &args[0], nullptr) ? 0 : -1;
}

}  // namespace

void qstrLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  if ((method->id == 223 || method->id == 246) &&
      appendString(builtinReceiver(), builtinArg(0), ctx))
    return;
  ExprValue* recv = builtinReceiver();
  QString* self = recv->type == VT_STRING ? recv->payload.str : nullptr;
  const QString& s = self != nullptr ? *self : emptyString();
  QString text;
  QChar unit;

  switch (method->id) {
    // ---- text arguments (a character one is used as a QChar, no text is
    // built for it) ----
    case 223:    // append
    case 246:    // push_back
    case 247: {  // push_front
      const QString* piece;
      const TextArg k = textArgRef(builtinArg(0), piece, text, unit);
      if (k != TextArg::Text && k != TextArg::Char) return pushEmpty();
      if (self == nullptr) return;
      const bool front = method->id == 247;
      if (k == TextArg::Char) {
        requireLength(int64_t(self->size()) + 1, ctx);
        if (front) self->prepend(unit); else self->append(unit);
        return;
      }
      requireLength(int64_t(self->size()) + piece->size(), ctx);
      if (front) self->prepend(*piece); else self->append(*piece);
      return;
    }
    case 229: {  // compare(other, case flag)
      const TextArg k = textArg(builtinArg(0), text, unit);
      if (k == TextArg::Null) return pushInt(s.isEmpty() ? 0 : 1);
      if (k == TextArg::Other) return pushInt(0);
      const Qt::CaseSensitivity cs = caseOf(builtinArg(1));
      return pushInt(k == TextArg::Char ? s.compare(unit, cs) : s.compare(text, cs));
    }
    case 230:    // contains
    case 231:    // count
    case 232:    // endsWith
    case 233: {  // startsWith
      const QString* needle;
      const TextArg k = textArgRef(builtinArg(0), needle, text, unit);
      if (k != TextArg::Text && k != TextArg::Char) return pushEmpty();
      const Qt::CaseSensitivity cs = caseOf(builtinArg(1));
      auto test = [&](const auto& needle) {
        switch (method->id) {
          case 230: return pushBool(s.contains(needle, cs));
          case 231: return pushInt(s.count(needle, cs));
          case 232: return pushBool(s.endsWith(needle, cs));
          default: return pushBool(s.startsWith(needle, cs));
        }
      };
      return k == TextArg::Char ? test(unit) : test(*needle);
    }
    case 234:
    case 235:
      return indexText(method->id == 235, s, ctx);
    case 236: {  // insert(pos, text); in place
      const int64_t pos = argLong(builtinArg(0));
      const ExprValue* a = builtinArg(1);
      const TextArg k = textArg(a, text, unit);
      if (k == TextArg::Other) {
        raise(callMessage(
            "错误：行号 %1 语句 %2 调用函数 insert 的参数类型是 %3，需要字符串或字符类型，请检查！", ctx,
            {typeDescription(a->type, a)}));
      }
      if (k == TextArg::Null || self == nullptr || pos < 0) return;
      const QChar* data = k == TextArg::Char ? &unit : text.constData();
      const int size = k == TextArg::Char ? 1 : text.size();
      requireLength(std::max(pos, int64_t(self->size())) + size, ctx);
      self->insert(int(pos), data, size);
      return;
    }

    // ---- integer or mixed arguments ----
    case 226:  // chop(n); in place
      return chopText(self, ctx);
    case 227:  // chopped(n)
      return pushChopped(s, ctx);
    case 240:  // left(n)
    case 241:  // right(n)
      return pushLeftRight(method->id == 240, s, ctx);
    case 242:    // leftJustified(width, fill, truncate)
    case 243: {  // rightJustified
      QChar fill = QLatin1Char(' ');
      charArg(builtinArg(1), fill);
      return pushJustified(method->id == 242, s, fill, ctx);
    }
    case 244:  // mid(pos, length)
      return pushString(s.mid(argInt(builtinArg(0)), argInt(builtinArg(1))));
    case 245:  // remove(pos, length); in place
      return removeRange(self);
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
    case 258:  // truncate(pos); in place
      return truncateText(self);
    case 259: {  // setPosChar(pos, character); in place
      const int64_t pos = argLong(builtinArg(0));
      const ExprValue* c = builtinArg(1);
      if (c->type == VT_INT) unit = QChar(uint16_t(c->payload.i32 & 0xffff));
      else if (!charArg(c, unit)) {
        raise(callMessage("警告：行 %1 语句 %2 setPosChar 设置失败，参数2是 %3，需要字符类型!", ctx,
                          {typeDescription(c->type, c)}));
      }
      if (!positionInText(pos, s.size(), ctx)) return;
      if (self != nullptr) (*self)[int(pos)] = unit;
      return;
    }
    case 260:
      return numberToText(ctx);

    // ---- no arguments ----
    case 224:  // back
    case 225:  // front
      return pushEndUnit(method->id == 224, s, ctx);
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
  registerBuiltinMethod(218, QByteArrayLiteral("qstr_toZfc"), {}, BF_MEMBER)->direct = qstrToZfcDirect;
  registerBuiltinMethod(219, QByteArrayLiteral("qstr_getCharList"), {}, BF_MEMBER);
  registerBuiltinMethod(221, QByteArrayLiteral("qstr_at"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(222, QByteArrayLiteral("qstr_size"), {}, BF_MEMBER)->direct = qstrSizeDirect;
  currentBuiltinHandler = qstrLibCall;
  registerBuiltinMethod(224, QByteArrayLiteral("qstr_back"), {}, BF_MEMBER);
  registerBuiltinMethod(225, QByteArrayLiteral("qstr_front"), {}, BF_MEMBER);
  registerBuiltinMethod(226, QByteArrayLiteral("qstr_chop"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(227, QByteArrayLiteral("qstr_chopped"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(228, QByteArrayLiteral("qstr_clear"), {}, BF_MEMBER);
  registerBuiltinMethod(223, QByteArrayLiteral("qstr_append"), {VT_STRING}, BF_MEMBER)->direct = qstrAppendDirect;
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
  registerBuiltinMethod(253, QByteArrayLiteral("qstr_toInt"), {10, O}, BF_MEMBER)->direct = qstrToIntDirect;
  registerBuiltinMethod(254, QByteArrayLiteral("qstr_toLongLong"), {10, O}, BF_MEMBER);
  registerBuiltinMethod(255, QByteArrayLiteral("qstr_toLower"), {}, BF_MEMBER);
  registerBuiltinMethod(256, QByteArrayLiteral("qstr_toUpper"), {}, BF_MEMBER);
  registerBuiltinMethod(257, QByteArrayLiteral("qstr_trimmed"), {}, BF_MEMBER);
  registerBuiltinMethod(258, QByteArrayLiteral("qstr_truncate"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(259, QByteArrayLiteral("qstr_setPosChar"), {VT_INT, VT_WCHAR}, BF_MEMBER);
  registerBuiltinMethod(260, QByteArrayLiteral("qstr_number"), {1, 3, R}, BF_STATIC);
}
