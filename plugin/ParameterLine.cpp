#include "ParameterLine.h"

#include <QRegularExpression>

#include <iostream>

namespace {

void appendSplitAtBlanks(QStringList& words, const QString& text) {
  words << text.split(QLatin1Char(' '), Qt::KeepEmptyParts);
}

}  // namespace

QStringList splitParameterLine(const QByteArray& bytes) {
  const QString line = QString::fromUtf8(bytes);
  const int singles = line.count(QLatin1Char('\''));
  const int doubles = line.count(QLatin1Char('"'));
  if (singles > 0 && singles % 2 != 0) {
    std::cout << QStringLiteral("错误：命令行 %1 格式错误，使用 ' 转义部分未能配对，是否漏写 ' ?")
                     .arg(line)
                     .toUtf8()
                     .constData();
    return {};
  }
  if (doubles > 0 && doubles % 2 != 0) {
    std::cout << QStringLiteral("错误：命令行 %1 格式错误，使用 \" 转义部分未能配对，是否漏写 \" ? ")
                     .arg(line)
                     .toUtf8()
                     .constData();
    return {};
  }

  QStringList words;
  if (singles == 0 && doubles == 0) {
    appendSplitAtBlanks(words, line);
  } else {
    static const QRegularExpression quoted(QStringLiteral("(['\"])(.*?)\\1"));
    int last = 0;
    auto piece = [&words](const QString& text) {
      if (text.startsWith(QLatin1Char('"')) || text.startsWith(QLatin1Char('\'')))
        words << text.mid(1, text.size() - 2);
      else
        appendSplitAtBlanks(words, text);
    };
    QRegularExpressionMatchIterator it = quoted.globalMatch(line);
    while (it.hasNext()) {
      const QRegularExpressionMatch m = it.next();
      piece(line.mid(last, m.capturedStart() - last));
      piece(m.captured(0));
      last = m.capturedEnd();
    }
    piece(line.mid(last));
  }
  for (int i = words.size() - 1; i >= 0; --i)
    if (words[i].trimmed().isEmpty()) words.removeAt(i);
  return words;
}
