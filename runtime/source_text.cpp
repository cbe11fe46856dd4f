#include "source_text.h"

#include <QDir>

#include "errors.h"
#include "run_state.h"
#include "scope.h"

#include "antlr4-runtime.h"

#include <cstring>

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
