#include "source_codec.h"

#include <QString>
#include <QTextCodec>

QByteArray codecName(int32_t id) {
  switch (id) {
    case -2:
    case -1: return QByteArrayLiteral("unknown");
    case CODEC_UTF8: return QByteArrayLiteral("UTF-8");
    case CODEC_UTF16LE: return QByteArrayLiteral("UTF16-LE");
    case CODEC_UTF16BE: return QByteArrayLiteral("UTF16-BE");
    case CODEC_GB18030: return QByteArrayLiteral("GB18030");
    case CODEC_EUCJP: return QByteArrayLiteral("EUC-JP");
    case CODEC_SHIFTJIS: return QByteArrayLiteral("Shift-JIS");
    case CODEC_EUCKR: return QByteArrayLiteral("EUC-KR");
    case CODEC_KOI8R: return QByteArrayLiteral("KOI8-R");
    case CODEC_TSCII: return QByteArrayLiteral("TSCII");
    case CODEC_TIS620: return QByteArrayLiteral("TIS-620");
    case CODEC_BIG5HKSCS: return QByteArrayLiteral("Big5-HKSCS");
    case CODEC_IBM866: return QByteArrayLiteral("IBM866");
    default: return QByteArrayLiteral("UTF-8");
  }
}

namespace {

// A surrogate that is not part of a high-low pair: Qt's UTF-16 decoders pass
// it through without counting it as invalid.
bool hasLoneSurrogate(const QString& text) {
  const QChar* c = text.constData();
  const QChar* end = c + text.size();
  for (; c != end; ++c) {
    if (!c->isSurrogate()) continue;
    if (c->isHighSurrogate() && c + 1 != end && c[1].isLowSurrogate()) {
      ++c;
      continue;
    }
    return true;
  }
  return false;
}

// Decodes with the named codec; false when a character is invalid or the
// input ends inside a character.
bool decodeStrict(const QByteArray& codec, const char* bytes, int length, QString& out) {
  QTextCodec* c = QTextCodec::codecForName(codec);
  if (c == nullptr) return false;
  QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
  out = c->toUnicode(bytes, length, &state);
  return state.invalidChars == 0 && state.remainingChars == 0 && !hasLoneSurrogate(out);
}

// Byte structure of GB18030: ASCII, two-byte (lead 81-FE, trail 40-7E or
// 80-FE) and four-byte (81-FE, 30-39, 81-FE, 30-39) sequences. Qt's decoder
// neither counts bad sequences nor reports a cut-off end, so the structure is
// checked here and replacement characters in the result are matched against
// encoded U+FFFD (84 31 A4 37) in the input.
bool decodeGb18030Strict(const char* bytes, int length, QString& out) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(bytes);
  int encodedReplacements = 0;
  for (int i = 0; i < length;) {
    const unsigned char b = u[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    if (b == 0x80 || b == 0xFF || i + 1 >= length) return false;
    const unsigned char t = u[i + 1];
    if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE)) {
      i += 2;
      continue;
    }
    if (t < 0x30 || t > 0x39 || i + 3 >= length) return false;
    if (u[i + 2] < 0x81 || u[i + 2] > 0xFE || u[i + 3] < 0x30 || u[i + 3] > 0x39) return false;
    if (b == 0x84 && t == 0x31 && u[i + 2] == 0xA4 && u[i + 3] == 0x37) ++encodedReplacements;
    i += 4;
  }
  if (!decodeStrict(QByteArrayLiteral("GB18030"), bytes, length, out)) return false;
  return out.count(QChar(QChar::ReplacementCharacter)) == encodedReplacements;
}

}  // namespace

int32_t tryDecodeSourceText(const char* bytes, int32_t length, QByteArray& out, SourceEncoding* encoding) {
  if (bytes == nullptr || length < 0) length = 0;
  int32_t codec = 0;
  int markLength = 0;
  if (length >= 3) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(bytes);
    if (u[0] == 0xFF && u[1] == 0xFE) {
      codec = CODEC_UTF16LE;
      markLength = 2;
    } else if (u[0] == 0xFE && u[1] == 0xFF) {
      codec = CODEC_UTF16BE;
      markLength = 2;
    } else if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) {
      codec = CODEC_UTF8;
      markLength = 3;
    }
  }
  QString text;
  if (codec != 0) {
    if (!decodeStrict(codecName(codec), bytes + markLength, length - markLength, text))
      return kMarkedSourceInvalid;
    out = text.toUtf8();
    if (encoding) *encoding = {codec, true};
    return 2;
  }
  if (decodeStrict(QByteArrayLiteral("UTF-8"), bytes, length, text)) {
    out = QByteArray(bytes, length);
    if (encoding) *encoding = {CODEC_UTF8, false};
    return 0;
  }
  if (decodeGb18030Strict(bytes, length, text)) {
    out = text.toUtf8();
    if (encoding) *encoding = {CODEC_GB18030, false};
    return 1;
  }
  return kUnmarkedSourceInvalid;
}

bool encodeSourceText(const QByteArray& utf8, const SourceEncoding& encoding, QByteArray& out) {
  QString text;
  if (!decodeStrict(QByteArrayLiteral("UTF-8"), utf8.constData(), utf8.size(), text)) return false;
  const bool utf16 = encoding.codec == CODEC_UTF16LE || encoding.codec == CODEC_UTF16BE;
  QByteArray bytes;
  if (encoding.byteOrderMark) {
    if (encoding.codec == CODEC_UTF8) bytes = QByteArrayLiteral("\xEF\xBB\xBF");
    else if (encoding.codec == CODEC_UTF16LE) bytes = QByteArrayLiteral("\xFF\xFE");
    else if (encoding.codec == CODEC_UTF16BE) bytes = QByteArrayLiteral("\xFE\xFF");
    else return false;
  }
  if (utf16 && text.isEmpty()) {
    bytes.clear();
  } else if (encoding.codec == CODEC_UTF8) {
    bytes += utf8;
  } else {
    QTextCodec* codec = QTextCodec::codecForName(codecName(encoding.codec));
    if (codec == nullptr) return false;
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    bytes += codec->fromUnicode(text.constData(), text.size(), &state);
    if (state.invalidChars != 0) return false;
  }
  QByteArray back;
  if (tryDecodeSourceText(bytes.constData(), int32_t(bytes.size()), back) < 0 || back != utf8) return false;
  out = bytes;
  return true;
}
