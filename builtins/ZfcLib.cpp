// Byte-string methods (zfc): searching, slicing, editing in place, number
// and text conversion, Base64 and hex, checksums, compression, transcoding,
// and the static forms called on the type name zfc.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include <QTextCodec>
#include <QtGlobal>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>

void zfcLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);
int zfcSizeDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out);
int zfcToIntDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out);
int zfcAppendDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out);
int zfcSplitDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out);

using namespace textlib;

namespace {

// A byte-string or character argument read as bytes.
enum class ByteArg { Bytes, Char, Null, Other };

ByteArg byteArg(const ExprValue* c, const QByteArray*& bytes, char& ch) {
  if (c->type == VT_BYTES) {
    if (c->payload.bytes == nullptr) return ByteArg::Null;
    bytes = c->payload.bytes;
    return ByteArg::Bytes;
  }
  if (c->type == VT_CHAR) {
    ch = c->payload.c;
    return ByteArg::Char;
  }
  return ByteArg::Other;
}

// Repeated searches for one needle of two bytes or more: memmem over a
// short rest of text; over a long one a test of the needle's first and last
// bytes at 16 places at once (where the processor has SSE2 and the needle is
// short), else a Horspool search (its table made on first use).
class NeedleSearch {
 public:
  NeedleSearch(const char* needle, int size) : needle_(needle), size_(size) {}
  explicit NeedleSearch(const QByteArray& needle) : NeedleSearch(needle.constData(), needle.size()) {}

  // First position at or after `from` (0 .. the text's size), or -1.
  int in(const char* data, int n, int from) {
    const char* end = data + n;
    const char* at;
    if (n - from < kLongRest) {
      at = static_cast<const char*>(memmem(data + from, size_t(n - from), needle_, size_t(size_)));
      if (at == nullptr) return -1;
#if defined(__SSE2__)
    } else if (size_ <= kShortNeedle) {
      at = byEnds(data + from, end);
      if (at == end) return -1;
#endif
    } else {
      if (!horspool_) horspool_.emplace(needle_, needle_ + size_);
      at = (*horspool_)(data + from, end).first;
      if (at == end) return -1;
    }
    return int(at - data);
  }
  int in(const QByteArray& s, int from) { return in(s.constData(), s.size(), from); }

 private:
  static constexpr int kLongRest = 1024;

#if defined(__SSE2__)
  static constexpr int kShortNeedle = 64;

  // The first match in [p, end), or end.
  const char* byEnds(const char* p, const char* end) const {
    const char* const lastStart = end - size_;
    const __m128i first = _mm_set1_epi8(needle_[0]);
    const __m128i last = _mm_set1_epi8(needle_[size_ - 1]);
    // 16 starting places p .. p + 15 at a time; both loads stay inside the text
    for (; p + 15 <= lastStart; p += 16) {
      const __m128i heads = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i tails = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + size_ - 1));
      unsigned both = unsigned(_mm_movemask_epi8(
          _mm_and_si128(_mm_cmpeq_epi8(heads, first), _mm_cmpeq_epi8(tails, last))));
      while (both != 0) {
        const char* c = p + __builtin_ctz(both);
        if (std::memcmp(c + 1, needle_ + 1, size_t(size_ - 2)) == 0) return c;
        both &= both - 1;
      }
    }
    for (; p <= lastStart; ++p)
      if (*p == needle_[0] && std::memcmp(p + 1, needle_ + 1, size_t(size_ - 1)) == 0) return p;
    return end;
  }
#endif

  const char* needle_;
  int size_;
  std::optional<std::boyer_moore_horspool_searcher<const char*>> horspool_;
};

// Occurrences of a needle, overlapping ones included; an empty needle
// matches at every position (size + 1), as for 16-bit strings.
int countBytes(const QByteArray& s, const QByteArray& needle) {
  if (needle.isEmpty()) return s.size() + 1;
  if (needle.size() == 1) return s.count(needle.at(0));
  NeedleSearch search(needle);
  int count = 0;
  for (int at = 0; (at = search.in(s, at)) >= 0; ++at) ++count;
  return count;
}

int countBytes(const QByteArray& s, char needle) { return s.count(needle); }

bool containsBytes(const QByteArray& s, char needle) { return s.contains(needle); }
bool containsBytes(const QByteArray& s, const QByteArray& needle) {
  if (needle.size() < 2) return s.contains(needle);
  return NeedleSearch(needle).in(s, 0) >= 0;
}

// Splits at every occurrence of the separator, keeping empty parts; the
// parts become new byte-string cells of a new list. The separators are found
// a batch at a time and the batch's pieces made together.
ExprValue splitPieces(const QByteArray& s, const char* sep, int sepLen) {
  ExprValue listValue = makeListValue();
  ValueList& list = *listValue.payload.list;
  const char* data = s.constData();
  const int n = s.size();
  constexpr int kBatch = 64;
  int cuts[kBatch];
  int found = 0;
  int start = 0;
  if (sepLen == 1) {
    const char c = sep[0];
    auto cut = [&](int at) {
      cuts[found++] = at;
      if (found == kBatch) {
        start = appendByteStringPieces(list, data, start, cuts, found, 1);
        found = 0;
      }
    };
    int i = 0;
#if defined(__SSE2__)
    // 16 bytes a step: the separators' places come from a bit mask
    const __m128i seps = _mm_set1_epi8(c);
    for (; i + 16 <= n; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
      for (unsigned at = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, seps))); at != 0; at &= at - 1)
        cut(i + __builtin_ctz(at));
    }
#endif
    for (; i < n; ++i)
      if (data[i] == c) cut(i);
  } else {
    NeedleSearch search(sep, sepLen);
    for (int at = 0; (at = search.in(data, n, at)) >= 0; at += sepLen) {
      cuts[found++] = at;
      if (found == kBatch) {
        start = appendByteStringPieces(list, data, start, cuts, found, sepLen);
        found = 0;
      }
    }
  }
  cuts[found++] = n;
  appendByteStringPieces(list, data, start, cuts, found, sepLen);
  return listValue;
}

void pushSplit(const QByteArray& s, const char* sep, int sepLen) {
  pushBuiltinResult(splitPieces(s, sep, sepLen));
}

// Target codecs of transCode (a table of its own, unlike the source side).
QByteArray targetCodecName(int32_t id) {
  switch (id) {
    case 1: return QByteArrayLiteral("UTF-8");
    case 2: return QByteArrayLiteral("UTF-16LE");
    case 3: return QByteArrayLiteral("UTF-16BE");
    case 4: return QByteArrayLiteral("GBK");
    case 5: return QByteArrayLiteral("EUC-JP");
    case 6: return QByteArrayLiteral("Shift-JIS");
    case 7: return QByteArrayLiteral("EUC-KR");
    case 8: return QByteArrayLiteral("KOI8-R");
    case 11: return QByteArrayLiteral("BIG5-HKSCS");
    case 13: return QByteArrayLiteral("Windows-1250");
    case 14: return QByteArrayLiteral("IBM 866");
    default: return QByteArrayLiteral("UTF-8");
  }
}

// Some codec back ends (ICU) neither count invalid bytes nor keep an
// incomplete character at the end: they put in U+FFFD and drop the tail.
// Both show in the result: a U+FFFD that the source did not encode, or a
// last character whose encoding is not what the source ends with.
bool decodeLooksFaulty(QTextCodec* codec, const QByteArray& source, const QString& text) {
  if (source.isEmpty()) return false;
  if (text.isEmpty()) return true;
  auto encode = [codec](const QChar* units, int n) {
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return codec->fromUnicode(units, n, &state);
  };
  const QChar replacement(0xFFFD);
  const int replaced = text.count(replacement);
  if (replaced > 0) {
    const QByteArray encoded = encode(&replacement, 1);
    const int genuine = encoded.isEmpty() || encoded == "?" ? 0 : source.count(encoded);
    if (replaced > genuine) return true;
  }
  int n = text.size();
  int lastLength = 1;
  if (n >= 2 && text.at(n - 1).isLowSurrogate() && text.at(n - 2).isHighSurrogate()) lastLength = 2;
  return !source.endsWith(encode(text.constData() + n - lastLength, lastLength));
}

QByteArray transcode(const QByteArray& s, int32_t source, int32_t target,
                     antlr4::ParserRuleContext* ctx) {
  QByteArray sourceName = codecName(source);
  if (sourceName.isEmpty() || sourceName == "unknown") sourceName = QByteArrayLiteral("UTF-8");
  QTextCodec* from = QTextCodec::codecForName(sourceName);
  QString text;
  bool faulty = from == nullptr;
  if (from != nullptr) {
    QTextCodec::ConverterState state;
    text = from->toUnicode(s.constData(), s.size(), &state);
    // bytes left over at the end are an incomplete character: as faulty as
    // an invalid one
    faulty = state.invalidChars > 0 || state.remainingChars > 0;
    if (!faulty && source != CODEC_UTF16LE && source != CODEC_UTF16BE && sourceName != "UTF-8")
      faulty = decodeLooksFaulty(from, s, text);
  }
  if (faulty) {
    warnToErr(callMessage(
        "警告：行号 %1 语句 %2 字符串编码转换中有编码 %3 未能识别的字符，转换结果错误。请检查给定原始编码是否正确！",
        ctx, {QString::fromLatin1(sourceName)}));
  }
  QTextCodec* to = QTextCodec::codecForName(targetCodecName(target));
  if (to == nullptr) to = QTextCodec::codecForName("UTF-8");
  // no byte-order mark in front of the result
  QTextCodec::ConverterState out(QTextCodec::IgnoreHeader);
  return to->fromUnicode(text.constData(), text.size(), &out);
}

// Static forms: true when called on the type name zfc.
bool staticReceiver(antlr4::ParserRuleContext* ctx) {
  return isStaticCall(
      VT_BYTES, "错误：行号 %1 函数 %2 语句 %3 类名 %4 调用全局函数 %5 错误，字符串类型名只能是 zfc ！", ctx);
}

// zfc::fromIntHex / zfc::fromDoubleHex: up to eight bytes of hex read as a
// little-endian 64-bit integer or double.
void fromNumberHex(bool asDouble, antlr4::ParserRuleContext* ctx) {
  const ExprValue* text = builtinArg(0);
  QByteArray bytes = QByteArray::fromHex(text->type == VT_BYTES && text->payload.bytes
                                             ? *text->payload.bytes
                                             : QByteArray());
  if (argInt(builtinArg(1)) == 1) std::reverse(bytes.begin(), bytes.end());
  if (bytes.size() > 8) {
    raise(callMessage(
        "错误：行 %1 语句 %2 字符串越界，参数字符串最长为16个字节，当前参数字符串有 %3 字节！。", ctx,
        {QString::number(bytes.size())}));
  }
  unsigned char buffer[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < bytes.size(); ++i) buffer[i] = static_cast<unsigned char>(bytes.at(i));
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | buffer[i];
  if (asDouble) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    pushBytes(QByteArray::number(d, 'f', 6));
  } else {
    pushBytes(QByteArray::number(qlonglong(int64_t(bits))));
  }
}

// Leaves out qUncompress's own complaints about damaged input: the method
// reports bad data by its empty result.
QtMessageHandler previousHandler = nullptr;
void quietUncompressHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (msg.startsWith(QLatin1String("qUncompress"))) return;
  if (previousHandler != nullptr) previousHandler(type, context, msg);
}

QByteArray uncompressBytes(const QByteArray& data) {
  // 4 bytes of expected length, then a zlib stream: anything without a
  // zlib header is refused before qUncompress sizes its buffer from the
  // (then meaningless) length
  if (data.size() <= 4) return QByteArray();
  const unsigned cmf = static_cast<unsigned char>(data.at(4));
  if (data.size() < 6) return QByteArray();
  const unsigned flg = static_cast<unsigned char>(data.at(5));
  if ((cmf & 0x0f) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0) return QByteArray();
  previousHandler = qInstallMessageHandler(quietUncompressHandler);
  QByteArray out = qUncompress(data);
  qInstallMessageHandler(previousHandler);
  previousHandler = nullptr;
  return out;
}

// replace with two to four arguments; in place.
void replaceBytes(QByteArray* self, antlr4::ParserRuleContext* ctx) {
  const int n = builtinArgCount();
  if (n == 2) {
    const ExprValue* before = builtinArg(0);
    const ExprValue* after = builtinArg(1);
    if (self == nullptr) return;
    if (before->type == VT_CHAR && after->type == VT_CHAR) {
      self->replace(before->payload.c, after->payload.c);
    } else if (before->type == VT_BYTES && after->type == VT_BYTES) {
      if (before->payload.bytes == nullptr) return;
      const QByteArray& a = after->payload.bytes ? *after->payload.bytes : emptyBytes();
      const QByteArray& b = *before->payload.bytes;
      if (b.size() == 1) return replaceUnitEvery(*self, b.at(0), a, ctx);
      NeedleSearch search(b);
      const QByteArray& s = *self;
      replaceEvery(*self, b.size(), a.constData(), a.size(),
                   [&](int from) { return search.in(s, from); }, ctx);
    } else if (before->type == VT_CHAR && after->type == VT_BYTES) {
      const QByteArray& a = after->payload.bytes ? *after->payload.bytes : emptyBytes();
      replaceUnitEvery(*self, before->payload.c, a, ctx);
    }
    return;
  }
  if (n == 3 || n == 4) {
    const ExprValue* pos = builtinArg(0);
    const ExprValue* len = builtinArg(1);
    const ExprValue* after = builtinArg(2);
    if (!isInteger(pos) || !isInteger(len) || after->type != VT_BYTES) return;
    if (n == 4 && !isInteger(builtinArg(3))) return;
    if (self == nullptr) return;
    return replaceRange(*self, after->payload.bytes ? *after->payload.bytes : emptyBytes(), ctx);
  }
  raiseReplaceForms(ctx);
}

void toHexText(const QByteArray& s, antlr4::ParserRuleContext* ctx) {
  const int n = builtinArgCount();
  if (n == 0) {
    requireLength(int64_t(s.size()) * 2, ctx);
    return pushBytes(s.toHex());
  }
  if (n == 1) {
    const ExprValue* sep = builtinArg(0);
    if (sep->type == VT_CHAR) {
      if (!s.isEmpty()) requireLength(int64_t(s.size()) * 3 - 1, ctx);
      return pushBytes(s.toHex(sep->payload.c));
    }
    raise(callMessage(
        "错误：行号 %1 语句 %2 参数格式错误。toHex 参数只能是空或字符，不能是其它类型！", ctx));
  }
  raise(callMessage("错误：行号 %1 语句 %2 参数格式错误。toHex 函数有2种形式，均无法匹配！", ctx));
}

void splitBytes(const QByteArray& s, antlr4::ParserRuleContext* ctx) {
  const ExprValue* sep = builtinArg(0);
  if (sep->type == VT_CHAR) {
    const char c = sep->payload.c;
    return pushSplit(s, &c, 1);
  }
  if (sep->type == VT_BYTES) {
    const QByteArray& b = sep->payload.bytes ? *sep->payload.bytes : emptyBytes();
    if (b.isEmpty()) raiseEmptySeparator(ctx);
    return pushSplit(s, b.constData(), b.size());
  }
  raiseSeparatorType(ctx);
}


// Case mapping of the ASCII letters only: the bytes of multi-byte UTF-8
// characters are never touched (a Latin-1 mapping would change UTF-8 lead
// bytes such as C3 into E3 and so destroy the text).
QByteArray asciiCase(const QByteArray& s, bool upper) {
  QByteArray out(s.size(), Qt::Uninitialized);
  const char* from = s.constData();
  char* to = out.data();
  const char lo = upper ? 'a' : 'A';
  const char hi = upper ? 'z' : 'Z';
  for (int i = 0, n = s.size(); i < n; ++i) {
    const char c = from[i];
    to[i] = (c >= lo && c <= hi) ? char(c ^ 0x20) : c;
  }
  return out;
}

}  // namespace

void zfcLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  QByteArray* self = recv->type == VT_BYTES ? recv->payload.bytes : nullptr;
  const QByteArray& s = self != nullptr ? *self : emptyBytes();
  const QByteArray* bytes = nullptr;
  char ch = 0;

  switch (method->id) {
    // ---- one byte-string or character argument ----
    case 104: {  // append: zfc, char or the low byte of an int; in place
      const ExprValue* a = builtinArg(0);
      const ByteArg k = byteArg(a, bytes, ch);
      if (k == ByteArg::Bytes) {
        if (self != nullptr) {
          requireLength(int64_t(self->size()) + bytes->size(), ctx);
          self->append(*bytes);
        }
      } else if (k == ByteArg::Char) {
        if (self != nullptr) self->append(ch);
      } else if (a->type == VT_INT) {
        if (self != nullptr) self->append(char(a->payload.i32 & 0xff));
      } else {
        pushEmpty();
      }
      return;
    }
    case 129:    // push_back
    case 130: {  // push_front
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      if (k == ByteArg::Bytes) {
        if (self == nullptr) return;
        requireLength(int64_t(self->size()) + bytes->size(), ctx);
        if (method->id == 129) self->append(*bytes); else self->prepend(*bytes);
      } else if (k == ByteArg::Char) {
        if (self == nullptr) return;
        if (method->id == 129) self->append(ch); else self->prepend(ch);
      } else {
        pushEmpty();
      }
      return;
    }
    case 113:    // contains
    case 114:    // count
    case 115:    // endsWith
    case 116: {  // startsWith
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      if (k != ByteArg::Bytes && k != ByteArg::Char) return pushEmpty();
      // a character is searched as a char, without a one-byte array
      auto test = [&](const auto& needle) {
        switch (method->id) {
          case 113: return pushBool(containsBytes(s, needle));
          case 114: return pushInt(countBytes(s, needle));
          case 115: return pushBool(s.endsWith(needle));
          default: return pushBool(s.startsWith(needle));
        }
      };
      return k == ByteArg::Char ? test(ch) : test(*bytes);
    }

    // ---- several arguments ----
    case 112: {  // compare(other, case flag)
      const ExprValue* other = builtinArg(0);
      const Qt::CaseSensitivity cs = caseOf(builtinArg(1));
      const ByteArg k = byteArg(other, bytes, ch);
      if (k == ByteArg::Null) return pushInt(s.isEmpty() ? 0 : 1);
      if (k == ByteArg::Char) return pushInt(s.compare(QByteArray(1, ch), cs));
      if (k == ByteArg::Bytes) return pushInt(s.compare(*bytes, cs));
      return pushEmpty();
    }
    case 117:    // indexOf(needle, from)
    case 118: {  // lastIndexOf(needle, from)
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      const int from = argInt(builtinArg(1));
      const bool last = method->id == 118;
      if (k == ByteArg::Null) return pushInt(-1);
      if (k == ByteArg::Char) return pushInt(last ? s.lastIndexOf(ch, from) : s.indexOf(ch, from));
      if (k == ByteArg::Bytes) {
        if (bytes->isEmpty() && last) return pushInt(emptyNeedleLastIndex(s.size(), from));
        if (bytes->isEmpty()) {
          // the empty needle is found at the start position, counted from
          // the end when negative, and nowhere past the end
          const int size = s.size();
          const int at = from < 0 ? std::max(0, size + from) : from;
          return pushInt(at <= size ? at : -1);
        }
        if (!last && bytes->size() > 1 && from >= 0 && from <= s.size())
          return pushInt(NeedleSearch(*bytes).in(s, from));
        return pushInt(last ? s.lastIndexOf(*bytes, from) : s.indexOf(*bytes, from));
      }
      return pushInt(0);
    }
    case 119: {  // insert(pos, zfc or char); in place
      const int64_t pos = argLong(builtinArg(0));
      const ByteArg k = byteArg(builtinArg(1), bytes, ch);
      if (self == nullptr || pos < 0) return;
      if (k == ByteArg::Bytes) {
        requireLength(std::max(pos, int64_t(self->size())) + bytes->size(), ctx);
        self->insert(int(pos), *bytes);
      } else if (k == ByteArg::Char) {
        requireLength(std::max(pos, int64_t(self->size())) + 1, ctx);
        self->insert(int(pos), ch);
      }
      return;
    }
    case 125:    // leftJustified(width, fill, truncate)
    case 126: {  // rightJustified
      const ExprValue* fill = builtinArg(1);
      return pushJustified(method->id == 125, s, fill->type == VT_CHAR ? fill->payload.c : ' ', ctx);
    }
    case 127:  // mid(pos, length)
      return pushBytes(s.mid(argInt(builtinArg(0)), argInt(builtinArg(1))));
    case 128:  // remove(pos, length); in place
      return removeRange(self);
    case 131:
      return replaceBytes(self, ctx);
    case 133:
      return splitBytes(s, ctx);
    case 134: {  // toBase64(options)
      int options = argInt(builtinArg(0));
      if (options != 0 && options != 1 && options != 2 && options != 4) {
        warn(callMessage("警告：行 %1 语句 %2 toBase64 参数合法值是0 1 2 4，其余异常值默认做0处理！", ctx));
        options = 0;
      }
      requireLength((int64_t(s.size()) + 2) / 3 * 4, ctx);
      return pushBytes(s.toBase64(QByteArray::Base64Options(options)));
    }
    case 137:
      return toHexText(s, ctx);
    case 138:
    case 139:
    case 135:
    case 136:
      return pushTextNumber(method->id == 138   ? TextNumber::Int
                            : method->id == 139 ? TextNumber::Long
                            : method->id == 135 ? TextNumber::Double
                                                : TextNumber::Float,
                            s, ctx);
    case 144: {  // setPosChar(pos, char); in place
      const int64_t pos = argLong(builtinArg(0));
      const ExprValue* c = builtinArg(1);
      if (!positionInText(pos, s.size(), ctx)) return;
      if (self != nullptr && c->type == VT_CHAR) (*self)[int(pos)] = c->payload.c;
      return;
    }
    case 145: {  // transCode(source codec, target codec)
      const ExprValue* target = builtinArg(1);
      requireInteger(target, ctx);
      return pushBytes(transcode(s, argInt(builtinArg(0)), argInt(target), ctx));
    }

    // ---- one integer argument ----
    case 105:  // at(pos)
      return pushAt(s, ctx);
    case 108:  // chop(n); in place
      return chopText(self, ctx);
    case 109:  // chopped(n)
      return pushChopped(s, ctx);
    case 123:  // left(n)
    case 124:  // right(n)
      return pushLeftRight(method->id == 123, s, ctx);
    case 143:  // truncate(pos); in place
      return truncateText(self);

    // ---- no arguments ----
    case 106:  // back
    case 107:  // front
      return pushEndUnit(method->id == 106, s, ctx);
    case 110:  // clear; in place
      if (self != nullptr) self->clear();
      return;
    case 111:
      return pushInt(s.size());
    case 120:
      return pushBool(s.isEmpty());
    case 121:
      return pushBool(s.isLower());
    case 122:
      return pushBool(s.isUpper());
    case 132:
      return pushBytes(s.simplified());
    case 140:
      return pushBytes(asciiCase(s, false));
    case 141:
      return pushBytes(asciiCase(s, true));
    case 142:
      return pushBytes(s.trimmed());
    case 152:  // reverse; in place
      if (self != nullptr) std::reverse(self->begin(), self->end());
      return;

    // ---- static forms on the type name zfc ----
    case 146:
      if (!staticReceiver(ctx)) return;
      return pushNumberText<QByteArray>(ctx);
    case 147: {  // zfc::fromBase64(text, options)
      if (!staticReceiver(ctx)) return;
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      const int options = argInt(builtinArg(1));
      if (k != ByteArg::Bytes) return pushBytes(QByteArray());
      return pushBytes(QByteArray::fromBase64(*bytes, QByteArray::Base64Options(options)));
    }
    case 148: {  // zfc::fromHex(text)
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      return pushBytes(k == ByteArg::Bytes ? QByteArray::fromHex(*bytes) : QByteArray());
    }
    case 149: {  // zfc::create(count, fill)
      if (!staticReceiver(ctx)) return;
      const int64_t count = argLong(builtinArg(0));
      const ExprValue* fill = builtinArg(1);
      requireLength(count, ctx);
      return pushBytes(QByteArray(int(std::max<int64_t>(count, 0)), fill->type == VT_CHAR ? fill->payload.c : ' '));
    }
    case 150:
    case 151:
      if (!staticReceiver(ctx)) return;
      return fromNumberHex(method->id == 150, ctx);
    case 153: {  // zfc::reverse(data)
      if (!staticReceiver(ctx)) return;
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      QByteArray out = k == ByteArg::Bytes ? *bytes : QByteArray();
      std::reverse(out.begin(), out.end());
      return pushBytes(std::move(out));
    }
    case 156: {  // zfc::checksum(data, standard)
      if (!staticReceiver(ctx)) return;
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      const QByteArray& data = k == ByteArg::Bytes ? *bytes : emptyBytes();
      const Qt::ChecksumType standard =
          argInt(builtinArg(1)) == 1 ? Qt::ChecksumItuV41 : Qt::ChecksumIso3309;
      return pushInt(int32_t(qChecksum(data.constData(), uint(data.size()), standard)));
    }
    case 157: {  // zfc::compress(data, level)
      if (!staticReceiver(ctx)) return;
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      int level = argInt(builtinArg(1));
      if (level < 0 || level > 9) level = -1;
      return pushBytes(qCompress(k == ByteArg::Bytes ? *bytes : emptyBytes(), level));
    }
    case 158: {  // zfc::uncompress(data)
      if (!staticReceiver(ctx)) return;
      const ByteArg k = byteArg(builtinArg(0), bytes, ch);
      return pushBytes(k == ByteArg::Bytes ? uncompressBytes(*bytes) : QByteArray());
    }
    default:
      return pushEmpty();
  }
}

void registerZfcLib() {
  if (BuiltinLibFlags[LIB_ZFC]) return;
  BuiltinLibFlags[LIB_ZFC] = 1;
  currentBuiltinHandler = zfcLibCall;
  currentBuiltinReceiver = VT_BYTES;
  const int32_t R = BA_RANGE;
  const int32_t O = BA_OPTIONAL_LAST;
  BuiltinMethod* append = registerBuiltinMethod(104, QByteArrayLiteral("zfc_append"), {1, 1, R}, BF_MEMBER);
  append->readsArgsOnly = true;
  append->direct = zfcAppendDirect;
  registerBuiltinMethod(105, QByteArrayLiteral("zfc_at"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(106, QByteArrayLiteral("back"), {}, BF_MEMBER);
  registerBuiltinMethod(107, QByteArrayLiteral("front"), {}, BF_MEMBER);
  registerBuiltinMethod(108, QByteArrayLiteral("chop"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(109, QByteArrayLiteral("chopped"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(110, QByteArrayLiteral("zfc_clear"), {}, BF_MEMBER);
  registerBuiltinMethod(111, QByteArrayLiteral("zfc_size"), {}, BF_MEMBER)->direct = zfcSizeDirect;
  registerBuiltinMethod(112, QByteArrayLiteral("compare"), {VT_BYTES, 1, O}, BF_MEMBER);
  registerBuiltinMethod(113, QByteArrayLiteral("zfc_contains"), {VT_BYTES}, BF_MEMBER)->readsArgsOnly = true;
  registerBuiltinMethod(114, QByteArrayLiteral("zfc_count"), {VT_BYTES}, BF_MEMBER)->readsArgsOnly = true;
  registerBuiltinMethod(115, QByteArrayLiteral("endsWith"), {VT_BYTES}, BF_MEMBER)->readsArgsOnly = true;
  registerBuiltinMethod(116, QByteArrayLiteral("startsWith"), {VT_BYTES}, BF_MEMBER)->readsArgsOnly = true;
  registerBuiltinMethod(117, QByteArrayLiteral("zfc_indexOf"), {VT_BYTES, 0, O}, BF_MEMBER);
  registerBuiltinMethod(118, QByteArrayLiteral("zfc_lastIndexOf"), {VT_BYTES, -1, O}, BF_MEMBER);
  registerBuiltinMethod(119, QByteArrayLiteral("zfc_insert"), {VT_INT, VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(120, QByteArrayLiteral("zfc_isEmpty"), {}, BF_MEMBER);
  registerBuiltinMethod(121, QByteArrayLiteral("isLower"), {}, BF_MEMBER);
  registerBuiltinMethod(122, QByteArrayLiteral("isUpper"), {}, BF_MEMBER);
  registerBuiltinMethod(123, QByteArrayLiteral("zfc_left"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(124, QByteArrayLiteral("zfc_right"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(125, QByteArrayLiteral("leftJustified"), {VT_INT, VT_CHAR, 0, O}, BF_MEMBER);
  registerBuiltinMethod(126, QByteArrayLiteral("rightJustified"), {VT_INT, VT_CHAR, 0, O}, BF_MEMBER);
  registerBuiltinMethod(127, QByteArrayLiteral("zfc_mid"), {VT_INT, -1, O}, BF_MEMBER);
  registerBuiltinMethod(129, QByteArrayLiteral("zfc_push_back"), {VT_BYTES}, BF_MEMBER)->readsArgsOnly = true;
  registerBuiltinMethod(130, QByteArrayLiteral("zfc_push_front"), {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(128, QByteArrayLiteral("zfc_remove"), {VT_INT, VT_INT}, BF_MEMBER);
  registerBuiltinMethod(131, QByteArrayLiteral("zfc_replace"), {2, 4, R}, BF_MEMBER);
  registerBuiltinMethod(149, QByteArrayLiteral("zfc::create"), {VT_INT, VT_CHAR}, BF_STATIC);
  registerBuiltinMethod(132, QByteArrayLiteral("simplified"), {}, BF_MEMBER);
  registerBuiltinMethod(133, QByteArrayLiteral("zfc_split"), {1, 1, R}, BF_MEMBER)->direct = zfcSplitDirect;
  registerBuiltinMethod(134, QByteArrayLiteral("toBase64"), {0, O}, BF_MEMBER);
  registerBuiltinMethod(135, QByteArrayLiteral("toDouble"), {}, BF_MEMBER);
  registerBuiltinMethod(136, QByteArrayLiteral("toFloat"), {}, BF_MEMBER);
  registerBuiltinMethod(137, QByteArrayLiteral("toHex"), {0, 1, R}, BF_MEMBER);
  registerBuiltinMethod(138, QByteArrayLiteral("toInt"), {10, O}, BF_MEMBER)->direct = zfcToIntDirect;
  registerBuiltinMethod(139, QByteArrayLiteral("toLongLong"), {10, O}, BF_MEMBER);
  registerBuiltinMethod(140, QByteArrayLiteral("toLower"), {}, BF_MEMBER);
  registerBuiltinMethod(141, QByteArrayLiteral("toUpper"), {}, BF_MEMBER);
  registerBuiltinMethod(142, QByteArrayLiteral("trimmed"), {}, BF_MEMBER);
  registerBuiltinMethod(143, QByteArrayLiteral("truncate"), {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(144, QByteArrayLiteral("setPosChar"), {VT_INT, VT_CHAR}, BF_MEMBER);
  registerBuiltinMethod(146, QByteArrayLiteral("zfc::number"), {1, 3, R}, BF_STATIC);
  registerBuiltinMethod(147, QByteArrayLiteral("zfc::fromBase64"), {VT_BYTES, 0, O}, BF_STATIC);
  registerBuiltinMethod(148, QByteArrayLiteral("zfc::fromHex"), {VT_BYTES}, BF_STATIC);
  registerBuiltinMethod(150, QByteArrayLiteral("zfc::fromDoubleHex"), {VT_BYTES, 0, O}, BF_STATIC);
  registerBuiltinMethod(151, QByteArrayLiteral("zfc::fromIntHex"), {VT_BYTES, 0, O}, BF_STATIC);
  registerBuiltinMethod(152, QByteArrayLiteral("reverse"), {}, BF_MEMBER);
  registerBuiltinMethod(153, QByteArrayLiteral("zfc::reverse"), {VT_BYTES}, BF_STATIC);
  registerBuiltinMethod(156, QByteArrayLiteral("zfc::checksum"), {VT_BYTES, 0, O}, BF_STATIC);
  registerBuiltinMethod(157, QByteArrayLiteral("zfc::compress"), {VT_BYTES, -1, O}, BF_STATIC);
  registerBuiltinMethod(158, QByteArrayLiteral("zfc::uncompress"), {VT_BYTES}, BF_STATIC);
  registerBuiltinMethod(145, QByteArrayLiteral("transCode"), {VT_INT, 0, O}, BF_MEMBER);
}

// ---- direct forms (see BuiltinDirect): the handler's plain cases ----------

int zfcSizeDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  if (recv.type != VT_BYTES || recv.payload.bytes == nullptr || argc != 0) return -1;
  *out = makeIntValue(recv.payload.bytes->size());
  return 1;
}

int zfcToIntDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  int32_t v = 0;
  if (recv.type != VT_BYTES || recv.payload.bytes == nullptr || argc != 1 ||
      !plainTextInt(*recv.payload.bytes, args[0], v))
    return -1;
  *out = makeIntValue(v);
  return 1;
}

// A zfc or a zf appended in place within the length limit.
int zfcAppendDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue*) {
  if (recv.type != VT_BYTES || recv.payload.bytes == nullptr || argc != 1) return -1;
  QByteArray* self = recv.payload.bytes;
  const QByteArray* bytes = nullptr;
  char ch = 0;
  const ByteArg k = byteArg(&args[0], bytes, ch);
  if (k == ByteArg::Bytes && int64_t(self->size()) + bytes->size() <= kMaxTextLength) {
    self->append(*bytes);
    return 0;
  }
  if (k == ByteArg::Char) {
    self->append(ch);
    return 0;
  }
  return -1;
}

// split of a byte string by a character or by a non-empty byte string.
int zfcSplitDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  if (recv.type != VT_BYTES || recv.payload.bytes == nullptr || argc != 1) return -1;
  const ExprValue& sep = args[0];
  if (sep.type == VT_CHAR) {
    const char c = sep.payload.c;
    *out = splitPieces(*recv.payload.bytes, &c, 1);
    return 1;
  }
  if (sep.type != VT_BYTES || sep.payload.bytes == nullptr || sep.payload.bytes->isEmpty())
    return -1;
  *out = splitPieces(*recv.payload.bytes, sep.payload.bytes->constData(), sep.payload.bytes->size());
  return 1;
}
