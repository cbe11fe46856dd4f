#include "source_text.h"

#include <QDir>

#include "errors.h"
#include "run_state.h"
#include "scope.h"

#include "antlr4-runtime.h"

#include <QTextCodec>

#include <cstring>

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

int32_t tryDecodeSourceText(const char* bytes, int32_t length, QByteArray& out) {
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
    return 2;
  }
  if (decodeStrict(QByteArrayLiteral("UTF-8"), bytes, length, text)) {
    out = QByteArray(bytes, length);
    return 0;
  }
  if (decodeGb18030Strict(bytes, length, text)) {
    out = text.toUtf8();
    return 1;
  }
  return kUnmarkedSourceInvalid;
}

int32_t decodeSourceText(const char* bytes, int32_t length, QByteArray& out) {
  const int32_t result = tryDecodeSourceText(bytes, length, out);
  if (result == kMarkedSourceInvalid)
    raiseScriptError(QStringLiteral("源代码中存在非法的未知编码字符，请检查源代码文件，删除错误的"
                                    "编码字符后再运行！"));
  if (result == kUnmarkedSourceInvalid)
    raiseScriptError(QStringLiteral("源代码不是GBK或UTF8编码，存在非法的未知编码字符，请检查源代码文件，"
                                    "删除错误的编码字符后再运行！"));
  return result;
}

QByteArray unescapeString(const QByteArray& token) {
  const int n = token.size() - 1;
  QByteArray out;
  if (n < 2) return out;
  out.reserve(n - 1);
  const char* s = token.constData();
  for (int i = 1; i < n; ++i) {
    const char ch = s[i];
    if (ch == '\\' && i + 1 < n) {
      char r = 0;
      switch (s[i + 1]) {
        case '"': r = '"'; break;
        case '\'': r = '\''; break;
        case '\\': r = '\\'; break;
        case 'b': r = '\b'; break;
        case 'n': r = '\n'; break;
        case 'r': r = '\r'; break;
        case 't': r = '\t'; break;
        default: break;
      }
      if (r != 0) {
        out.append(r);
        ++i;
        continue;
      }
    }
    out.append(ch);
  }
  return out;
}

QByteArray rawStringBody(const QByteArray& token) {
  int head = 2;
  int tail = 1;
  if (token.startsWith('R')) {
    head = 3;
    tail = 2;
  }
  const int len = token.size() - head - tail;
  if (len <= 0) return QByteArray();
  return token.mid(head, len);
}

bool isReservedWord(const QByteArray& name) {
  static const char* const kWords[] = {
      "and", "bl",  "czs", "dy",     "dyh",    "excel", "for", "hs",    "hux",
      "in",  "kor", "kzf", "lb",     "not",    "or",    "pass", "sj",   "string",
      "struct", "while", "wj", "xs", "xun",    "zd",    "zf",  "zfc",  "zs"};
  const int n = name.size();
  if (n < 2 || n > 6) return false;
  const char* d = name.constData();
  for (const char* w : kWords)
    if (w[0] == d[0] && std::strlen(w) == size_t(n) && std::memcmp(w, d, size_t(n)) == 0) return true;
  return false;
}

namespace {

// The run's token stream when it holds the context's tokens, else null (the
// prelude and the entry call are parsed from token streams of their own).
antlr4::CommonTokenStream* streamOf(antlr4::ParserRuleContext* context) {
  if (tokenStream == nullptr || context == nullptr) return nullptr;
  antlr4::Token* start = context->getStart();
  if (start == nullptr) return nullptr;
  const ssize_t index = start->getTokenIndex();
  if (index < 0 || size_t(index) >= tokenStream->size()) return nullptr;
  if (tokenStream->get(size_t(index)) != start) return nullptr;
  return tokenStream;
}

}  // namespace

QString contextSourceText(antlr4::ParserRuleContext* context) {
  if (context == nullptr) return QString();
  antlr4::CommonTokenStream* ts = streamOf(context);
  antlr4::Token* stop = context->getStop();
  if (ts == nullptr || stop == nullptr || stop->getTokenIndex() < context->getStart()->getTokenIndex())
    return QString::fromStdString(context->getText());
  return QString::fromStdString(ts->getText(context->getStart(), stop));
}

QString statementTextAt(antlr4::ParserRuleContext* context) {
  if (context == nullptr) return QString();
  antlr4::CommonTokenStream* ts = streamOf(context);
  if (ts == nullptr) return contextSourceText(context);
  antlr4::Token* start = context->getStart();
  const size_t line = start->getLine();
  std::string text;
  bool any = false;
  for (size_t i = size_t(start->getTokenIndex()); i < ts->size(); ++i) {
    antlr4::Token* t = ts->get(i);
    if (t->getType() == antlr4::Token::EOF || t->getLine() > line) break;
    text += t->getText();
    any = true;
  }
  if (!any) return contextSourceText(context);
  return QString::fromStdString(text);
}

int32_t lineOfContext(antlr4::ParserRuleContext* context) {
  if (context == nullptr || context->getStart() == nullptr) return -1;
  return int32_t(context->getStart()->getLine());
}

int32_t scopedLineOfContext(antlr4::ParserRuleContext* context) {
  if (scopeStackExists()) return lineOfContext(context);
  // Before the first call only the prelude and the global block run: a
  // statement of the script (the global block's) has its own line, the
  // prelude's text has none.
  antlr4::Token* start = context != nullptr ? context->getStart() : nullptr;
  if (start != nullptr && tokenStream != nullptr &&
      start->getTokenSource() == tokenStream->getTokenSource())
    return int32_t(start->getLine());
  return 0;
}

int32_t lineInGlobalBlock(antlr4::ParserRuleContext* context) {
  const int32_t line = lineOfContext(context);
  FunctionRecord* global = findFunction(QByteArrayLiteral("quanju_dingyi"));
  if (global == nullptr) return line;
  return line + global->startLine - 1;
}

QString toWindowsSeparators(const QString& path) { return QDir::toNativeSeparators(path); }
