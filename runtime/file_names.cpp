#include "file_names.h"

#include <QTextCodec>

#include <cstring>

namespace {

// Above 0 while this thread lists a directory: every input then is a whole
// name, never a piece of a longer text.
thread_local int gWholeNames = 0;

// U+DC00 + byte stands for a byte that is no part of valid UTF-8.
constexpr ushort kByteSurrogate = 0xDC00;

// The UTF-8 sequence that starts at s, with n bytes available: its length
// when it is valid and complete, 0 when it is not valid, -1 when the bytes
// so far begin a valid sequence that the end cuts off.
int sequenceAt(const uchar* s, int n) {
  const uchar c = s[0];
  if (c < 0x80) return 1;
  int length = 0;
  uchar low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no encoded surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  for (int k = 1; k < length; ++k) {
    if (k >= n) return -1;
    const uchar b = s[k];
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return 0;
  }
  return length;
}

// Decodes n bytes into dst, which has room for n units (a sequence never
// gives more units than it has bytes). With keepTail a valid sequence cut off
// by the end is left over. Returns the units written; `used` the bytes taken.
int decodeInto(const uchar* s, int n, QChar* dst, bool keepTail, int& used) {
  QChar* const begin = dst;
  int i = 0;
  while (i < n) {
    const uchar c = s[i];
    if (c < 0x80) {
      *dst++ = QChar(c);
      ++i;
      continue;
    }
    const int length = sequenceAt(s + i, n - i);
    if (length < 0 && keepTail) break;
    if (length <= 0) {
      *dst++ = QChar(ushort(kByteSurrogate + c));
      ++i;
      continue;
    }
    uint code = length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k < length; ++k) code = (code << 6) | (s[i + k] & 0x3F);
    if (QChar::requiresSurrogates(code)) {
      *dst++ = QChar(QChar::highSurrogate(code));
      *dst++ = QChar(QChar::lowSurrogate(code));
    } else {
      *dst++ = QChar(ushort(code));
    }
    i += length;
  }
  used = i;
  return int(dst - begin);
}

QString decode(const uchar* s, int n, bool keepTail, int& used) {
  QString out(n, Qt::Uninitialized);
  out.truncate(decodeInto(s, n, out.data(), keepTail, used));
  return out;
}

// Encodes n units into dst, which has room for 3 bytes a unit; a surrogate
// that stands for a byte gives that byte, any other lone surrogate
// `replacement` (counted in `invalid`). With keepTail a high surrogate at the
// end is left over. Returns the bytes written; `used` the units taken.
int encodeInto(const QChar* u, int n, char* dst, bool keepTail, char replacement, int& invalid,
               int& used) {
  char* const begin = dst;
  int i = 0;
  while (i < n) {
    const ushort c = u[i].unicode();
    if (c < 0x80) {
      *dst++ = char(c);
    } else if (c < 0x800) {
      *dst++ = char(0xC0 | (c >> 6));
      *dst++ = char(0x80 | (c & 0x3F));
    } else if (QChar::isHighSurrogate(c)) {
      if (i + 1 < n && u[i + 1].isLowSurrogate()) {
        const uint code = QChar::surrogateToUcs4(c, u[i + 1].unicode());
        *dst++ = char(0xF0 | (code >> 18));
        *dst++ = char(0x80 | ((code >> 12) & 0x3F));
        *dst++ = char(0x80 | ((code >> 6) & 0x3F));
        *dst++ = char(0x80 | (code & 0x3F));
        i += 2;
        continue;
      }
      if (i + 1 == n && keepTail) break;
      *dst++ = replacement;
      ++invalid;
    } else if (QChar::isLowSurrogate(c)) {
      if (c >= kByteSurrogate + 0x80 && c <= kByteSurrogate + 0xFF) {
        *dst++ = char(c - kByteSurrogate);
      } else {
        *dst++ = replacement;
        ++invalid;
      }
    } else {
      *dst++ = char(0xE0 | (c >> 12));
      *dst++ = char(0x80 | ((c >> 6) & 0x3F));
      *dst++ = char(0x80 | (c & 0x3F));
    }
    ++i;
  }
  used = i;
  return int(dst - begin);
}

// `prefix` (a byte-order mark or nothing) and the encoded units.
QByteArray encode(const QChar* u, int n, const char* prefix, bool keepTail, char replacement,
                  int& invalid, int& used) {
  const int start = int(qstrlen(prefix));
  QByteArray out(start + 3 * n, Qt::Uninitialized);
  memcpy(out.data(), prefix, size_t(start));
  out.truncate(start + encodeInto(u, n, out.data() + start, keepTail, replacement, invalid, used));
  return out;
}

// UTF-8 with the byte surrogates, as the locale's codec. With a converter
// state it works piecewise like Qt's UTF-8 codec: an unfinished sequence
// waits for the next piece, a byte-order mark is skipped or written once.
class FileNameCodec : public QTextCodec {
 public:
  QByteArray name() const override { return QByteArrayLiteral("x-korvel-utf-8-file-names"); }
  // No registered number: lookups of UTF-8 itself still find Qt's codec.
  int mibEnum() const override { return -106; }

 protected:
  QString convertToUnicode(const char* in, int length, ConverterState* state) const override {
    if (state != nullptr && gWholeNames > 0) {
      // A listing tests each name with a state of its own and drops it when
      // something is left over: a name ending in a cut-off sequence is whole
      // all the same, its last bytes stand for themselves.
      int used = 0;
      state->remainingChars = 0;
      state->flags |= IgnoreHeader;
      return decode(reinterpret_cast<const uchar*>(in), length, false, used);
    }
    QByteArray joined;
    const uchar* s = reinterpret_cast<const uchar*>(in);
    int n = length;
    if (state != nullptr && state->remainingChars > 0) {
      for (int k = 0; k < state->remainingChars; ++k) joined += char(state->state_data[k]);
      joined.append(in, length);
      s = reinterpret_cast<const uchar*>(joined.constData());
      n = joined.size();
    }
    if (state != nullptr && !(state->flags & IgnoreHeader) && n > 0) {
      if (n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
        s += 3;
        n -= 3;
      }
      state->flags |= IgnoreHeader;
    }
    int used = 0;
    QString out = decode(s, n, state != nullptr, used);
    if (state != nullptr) {
      state->remainingChars = n - used;
      for (int k = 0; k < n - used; ++k) state->state_data[k] = s[used + k];
    }
    return out;
  }

  QByteArray convertFromUnicode(const QChar* in, int length, ConverterState* state) const override {
    QString joined;
    const QChar* u = in;
    int n = length;
    char replacement = '?';
    const char* prefix = "";
    if (state != nullptr) {
      if (state->flags & ConvertInvalidToNull) replacement = 0;
      if (!(state->flags & IgnoreHeader)) prefix = "\xEF\xBB\xBF";
      if (state->remainingChars > 0) {
        joined = QChar(ushort(state->state_data[0])) + QString(in, length);
        u = joined.constData();
        n = joined.size();
      }
    }
    int invalid = 0, used = 0;
    QByteArray out = encode(u, n, prefix, state != nullptr, replacement, invalid, used);
    if (state != nullptr) {
      state->invalidChars += invalid;
      state->flags |= IgnoreHeader;
      state->remainingChars = n - used;
      if (used < n) state->state_data[0] = u[used].unicode();
    }
    return out;
  }
};

}  // namespace

QString pathFromBytes(const QByteArray& bytes) {
  if (bytes.isNull()) return QString();
  // every byte counts: EF BB BF at the start is part of the name, as it is
  // for the file system
  int used = 0;
  return decode(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size(), false, used);
}

QByteArray pathToBytes(const QString& path) {
  if (path.isNull()) return QByteArray();
  int invalid = 0, used = 0;
  return encode(path.constData(), path.size(), "", false, '?', invalid, used);
}

void keepUndecodableFileNames() {
  static const bool installed = [] {
    const QTextCodec* locale = QTextCodec::codecForLocale();
    if (locale == nullptr || locale->mibEnum() != 106) return false;
    // Qt keeps the codec (and deletes it at exit).
    QTextCodec::setCodecForLocale(new FileNameCodec);
    return true;
  }();
  (void)installed;
}

QFileInfoList listDirectory(const QDir& dir, QDir::Filters filters, QDir::SortFlags sort) {
  keepUndecodableFileNames();
  struct WholeNames {
    WholeNames() { ++gWholeNames; }
    ~WholeNames() { --gWholeNames; }
  } whole;
  return dir.entryInfoList(filters, sort);
}
