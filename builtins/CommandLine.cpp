// Quote-aware splitting of a command line into words.
#include "CommandLine.h"

#include "TextLibCommon.h"

#include "runtime/file_names.h"

#include <iostream>

namespace {

// Appends the parts of an unquoted text cut at every blank. The empty parts
// that runs of blanks leave, and parts that are blank once trimmed, are no
// words.
void appendBlankSplit(const QByteArray& text, QStringList& words) {
  for (const QByteArray& part : text.split(' ')) {
    const QString word = pathFromBytes(part);
    if (!word.trimmed().isEmpty()) words += word;
  }
}

// An unpaired quote: raised with a call context, printed otherwise.
QStringList quoteError(const QByteArray& commandLine, antlr4::ParserRuleContext* ctx, bool single) {
  const QString line = QString::fromUtf8(commandLine);
  const QString problem = QString::fromUtf8(single ? "格式错误，使用 ' 转义部分未能配对，是否漏写 ' ?"
                                                   : "格式错误，使用 \" 转义部分未能配对，是否漏写 \" ? ");
  if (ctx) textlib::raise(textlib::callMessage("错误：行号 %1 语句 %2 命令行 %3 %4", ctx, {line, problem}));
  const QByteArray bytes = textlib::fillMessage("错误：命令行 %1 %2", {line, problem}).toUtf8();
  std::cout.write(bytes.constData(), bytes.size());
  std::cout.flush();
  return QStringList();
}

bool isQuote(char c) { return c == '\'' || c == '"'; }

}  // namespace

// The line is split as bytes (quotes, blanks and line ends are ASCII and
// never part of a longer UTF-8 sequence), so every word keeps its bytes,
// also those that are no UTF-8: pathFromBytes makes them the text that Qt's
// file and process layer turns back into the same bytes.
QStringList splitCommandLine(const QByteArray& commandLine, antlr4::ParserRuleContext* ctx) {
  const int singles = commandLine.count('\'');
  const int doubles = commandLine.count('"');
  if (singles % 2 != 0) return quoteError(commandLine, ctx, true);
  if (doubles % 2 != 0) return quoteError(commandLine, ctx, false);

  QStringList words;
  auto addPiece = [&words](const QByteArray& piece) {
    // a piece that begins with a quote is one word without its first and
    // last character (for a quoted part: the quotes), an argument even when
    // it is empty or blank
    if (!piece.isEmpty() && isQuote(piece.front())) {
      QString word = pathFromBytes(piece.mid(1));
      word.chop(1);
      words += word;
    } else {
      appendBlankSplit(piece, words);
    }
  };
  // A quoted part runs from a quote to the next quote of the same kind on
  // the same line; a quote without one is an ordinary character.
  const int n = commandLine.size();
  int pos = 0;
  for (int open = 0; open < n; ++open) {
    const char quote = commandLine.at(open);
    if (!isQuote(quote)) continue;
    int close = open + 1;
    while (close < n && commandLine.at(close) != quote && commandLine.at(close) != '\n') ++close;
    if (close == n || commandLine.at(close) != quote) continue;
    addPiece(commandLine.mid(pos, open - pos));
    addPiece(commandLine.mid(open, close + 1 - open));
    pos = close + 1;
    open = close;
  }
  addPiece(commandLine.mid(pos));
  return words;
}
