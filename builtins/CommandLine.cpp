// Quote-aware splitting of a command line into words.
#include "CommandLine.h"

#include "TextLibCommon.h"

#include <QRegularExpression>

#include <iostream>

namespace {

// Appends the parts of an unquoted text cut at every blank. The empty parts
// that runs of blanks leave, and parts that are blank once trimmed, are no
// words.
void appendBlankSplit(const QString& text, QStringList& words) {
  for (const QString& part : text.split(QLatin1Char(' '))) {
    if (!part.trimmed().isEmpty()) words += part;
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

}  // namespace

QStringList splitCommandLine(const QByteArray& commandLine, antlr4::ParserRuleContext* ctx) {
  const int singles = commandLine.count('\'');
  const int doubles = commandLine.count('"');
  if (singles % 2 != 0) return quoteError(commandLine, ctx, true);
  if (doubles % 2 != 0) return quoteError(commandLine, ctx, false);

  const QString text = QString::fromUtf8(commandLine);
  QStringList words;
  if (singles == 0 && doubles == 0) {
    appendBlankSplit(text, words);
  } else {
    // A quoted part runs from a quote to the next quote of the same kind.
    static const QRegularExpression quoted(QStringLiteral("(['\"])(.*?)\\1"));
    int pos = 0;
    auto addPiece = [&words](const QString& piece) {
      // a quoted word is an argument even when it is empty or blank
      if (piece.startsWith(QLatin1Char('"')) || piece.startsWith(QLatin1Char('\'')))
        words += piece.mid(1, piece.size() - 2);
      else
        appendBlankSplit(piece, words);
    };
    QRegularExpressionMatchIterator it = quoted.globalMatch(text);
    while (it.hasNext()) {
      const QRegularExpressionMatch m = it.next();
      addPiece(text.mid(pos, m.capturedStart() - pos));
      addPiece(m.captured(0));
      pos = m.capturedEnd();
    }
    addPiece(text.mid(pos));
  }
  return words;
}
