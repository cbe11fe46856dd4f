// The regular-expression engine against Qt's own matching: the same matches,
// groups, validity and global-match steps on a table of patterns, options,
// subjects and offsets; and, where Qt's engine runs out of stack, a match on
// a long subject, or the reason the engine gave up.
#include "builtins/RegexNative.h"

#include <QRegularExpressionMatchIterator>

#include <gtest/gtest.h>

namespace {

// Everything a script can read from a match, as one text.
template <class Match>
QString describe(const Match& m, int groups) {
  QString s = QStringLiteral("has=%1 valid=%2 last=%3")
                  .arg(m.hasMatch())
                  .arg(m.isValid())
                  .arg(m.lastCapturedIndex());
  for (int g = -1; g <= groups + 1; ++g) {
    s += QStringLiteral(" [%1:%2,%3,%4,'%5',null=%6]")
             .arg(g)
             .arg(m.capturedStart(g))
             .arg(m.capturedEnd(g))
             .arg(m.capturedLength(g))
             .arg(m.captured(g))
             .arg(m.captured(g).isNull());
  }
  return s;
}

QString withPair(const char* before, const char* after) {
  return QString::fromUtf8(before) + QString::fromUtf16(u"\U0001F600") + QString::fromUtf8(after);
}

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

TEST(RegexEngine, MatchesAsQtDoes) {
  // Qt warns about each use of the pattern that does not compile
  const QtMessageHandler previous = qInstallMessageHandler(quiet);
  const QString lone = QStringLiteral("ab") + QChar(0xD800) + QStringLiteral("cd1");
  const std::vector<QString> subjects = {
      QString(), QStringLiteral("abc"), QStringLiteral("baac"), QStringLiteral("a1 b22 c333"),
      QStringLiteral("x\r\ny\nz"), withPair("a", "b1"), lone, QChar(0xDC00) + QStringLiteral("a1"),
      QStringLiteral("ABC abc")};
  const std::vector<std::pair<const char*, int>> patterns = {
      {"a*", 0},          {"", 0},           {"b(c)?", 0},        {"(a)|(b)", 0},
      {"\\d+", 0},        {"(?<=a)\\d", 0},  {"^", 4},            {"$", 4},
      {"abc", 1},         {"a.c", 2},        {"(x)(y)?", 32},     {"\\w+", 64},
      {"a+?", 16},        {"(", 0},          {"b # note", 8},     {"(?<n>\\d)(\\d)?", 0}};
  for (const auto& [text, options] : patterns) {
    const QRegularExpression re(QString::fromUtf8(text),
                                QRegularExpression::PatternOptions(options));
    const int groups = std::max(re.captureCount(), 0);
    for (const QString& subject : subjects) {
      for (int offset : {0, 1, 2, 3, -1, -2, subject.size(), subject.size() + 1, -subject.size() - 1}) {
        SCOPED_TRACE(QStringLiteral("pattern %1 options %2 subject %3 offset %4")
                         .arg(QString::fromUtf8(text))
                         .arg(options)
                         .arg(subject)
                         .arg(offset)
                         .toStdString());
        QString failure;
        EXPECT_EQ(describe(regexMatch(re, subject, offset, failure), groups).toStdString(),
                  describe(re.match(subject, offset), groups).toStdString());
        RegexIterator mine = regexGlobalMatch(re, subject, offset, failure);
        QRegularExpressionMatchIterator qt = re.globalMatch(subject, offset);
        EXPECT_EQ(mine.valid, qt.isValid());
        for (int step = 0; step < 20 && (mine.next.hasMatch() || qt.hasNext()); ++step) {
          ASSERT_EQ(mine.next.hasMatch(), qt.hasNext());
          EXPECT_EQ(describe(regexTakeNext(mine), groups).toStdString(),
                    describe(qt.next(), groups).toStdString());
        }
        EXPECT_TRUE(failure.isEmpty());
      }
    }
  }
  qInstallMessageHandler(previous);
}

TEST(RegexEngine, LongSubjectsMatchOrSayWhyNot) {
  // Qt's engine gives up on these from about 20 000 units
  const QString text(2000000, QLatin1Char('a'));
  QString failure;
  const RegexMatch dot = regexMatch(QRegularExpression(QStringLiteral("(.|\n)*")), text, 0, failure);
  EXPECT_TRUE(failure.isEmpty());
  EXPECT_EQ(dot.capturedLength(0), text.size());
  const QString block = QStringLiteral("BEGIN") + text + QStringLiteral("END");
  RegexIterator it =
      regexGlobalMatch(QRegularExpression(QStringLiteral("BEGIN((?:.|\n)*?)END")), block, 0, failure);
  EXPECT_TRUE(failure.isEmpty());
  ASSERT_TRUE(it.next.hasMatch());
  EXPECT_EQ(regexTakeNext(it).capturedLength(1), text.size());
  // a pattern whose backtracking explodes: no match given, the reason said
  const RegexMatch none = regexMatch(QRegularExpression(QStringLiteral("(a|aa)*(b|a)*(a|ab)*c")),
                                     QString(300000, QLatin1Char('a')), 0, failure);
  EXPECT_FALSE(none.hasMatch());
  EXPECT_FALSE(failure.isEmpty());
}

}  // namespace
