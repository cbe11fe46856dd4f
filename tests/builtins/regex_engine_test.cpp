// The regular-expression engine against Qt's own matching: the same matches,
// groups, validity and global-match steps on a table of patterns, options,
// subjects and offsets, also when every search takes its careful way (each
// start that needs more than a step alone); text cut inside a surrogate
// pair, which Qt refuses, matched around the lone unit; and, where Qt's
// engine runs out of stack, a match on a long subject, or the reason the
// engine gave up.
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
  const std::vector<QString> subjects = {
      QString(), QStringLiteral("abc"), QStringLiteral("baac"), QStringLiteral("a1 b22 c333"),
      QStringLiteral("x\r\ny\nz"), withPair("a", "b1"), QStringLiteral("ABC abc"),
      QStringLiteral("\"q\" ab \"r\" cd")};
  const std::vector<std::pair<const char*, int>> patterns = {
      {"a*", 0},          {"", 0},           {"b(c)?", 0},        {"(a)|(b)", 0},
      {"\\d+", 0},        {"(?<=a)\\d", 0},  {"^", 4},            {"$", 4},
      {"abc", 1},         {"a.c", 2},        {"(x)(y)?", 32},     {"\\w+", 64},
      {"a+?", 16},        {"(", 0},          {"b # note", 8},     {"(?<n>\\d)(\\d)?", 0},
      {"\\Gb|c", 0},      {"\\b\\w", 0},     {"\"[^\"]*\"(*SKIP)(*F)|\\w+", 0},
      {"a(*COMMIT)b|c", 0}, {"(*CRLF)$", 4},  {"\\Qa", 0},         {"(?x)b#c", 0},
      {"(?|(a)|(b))\\1?", 0}, {"(*NOTEMPTY_ATSTART)a*", 0}, {"a(?R)?b", 0}, {"a\\Kb|c", 0},
      {"(*ANYCRLF)(?m)^y", 0}};
  for (int steps : {0, 1}) {
    regexScanStepsOverride = steps;
    for (const auto& [text, options] : patterns) {
      const QRegularExpression re(QString::fromUtf8(text),
                                  QRegularExpression::PatternOptions(options));
      const int groups = std::max(re.captureCount(), 0);
      for (const QString& subject : subjects) {
        for (int offset : {0, 1, 2, 3, -1, -2, subject.size(), subject.size() + 1, -subject.size() - 1}) {
          const int at = offset < 0 ? offset + subject.size() : offset;
          if (at > 0 && at < subject.size() && subject[at].isLowSurrogate()) continue;
          SCOPED_TRACE(QStringLiteral("pattern %1 options %2 subject %3 offset %4 steps %5")
                           .arg(QString::fromUtf8(text))
                           .arg(options)
                           .arg(subject)
                           .arg(offset)
                           .arg(steps)
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
  }
  regexScanStepsOverride = 0;
  qInstallMessageHandler(previous);
}

TEST(RegexEngine, TextCutInsideAPair) {
  // a unit without its partner matches no pattern item (not even . or a
  // negated class); offsets stay in 16-bit units
  const QChar hi(0xD83D), lo(0xDE00);
  struct Case {
    QString subject;
    const char* pattern;
    int offset;
    const char* found;  // every match from offset: start-end,...
  };
  const std::vector<Case> cases = {
      {QString(lo) + QStringLiteral("abc123"), "\\d+", 0, "4-7"},
      {QString(lo) + QStringLiteral("ab"), ".", 0, "1-2,2-3"},
      {QString(lo) + QStringLiteral("ab"), "[^x]+", 0, "1-3"},
      {QStringLiteral("a") + hi + QStringLiteral("b"), ".+", 0, "0-1,2-3"},
      {QStringLiteral("12") + hi, "\\d+$", 0, ""},
      {QStringLiteral("x") + hi + lo + QStringLiteral("9"), "\\d", 2, "3-4"},
      {QStringLiteral("x") + hi + lo + QStringLiteral("9"), ".", 2, "3-4"},
      {QStringLiteral("x") + hi + lo + QStringLiteral("9"), ".", 1, "1-3,3-4"},
  };
  for (int steps : {0, 1}) {
    regexScanStepsOverride = steps;
    for (const Case& c : cases) {
      SCOPED_TRACE(QStringLiteral("pattern %1 offset %2 steps %3")
                       .arg(QString::fromUtf8(c.pattern))
                       .arg(c.offset)
                       .arg(steps)
                       .toStdString());
      const QRegularExpression re(QString::fromUtf8(c.pattern));
      QString failure;
      const RegexMatch first = regexMatch(re, c.subject, c.offset, failure);
      QStringList found;
      RegexIterator it = regexGlobalMatch(re, c.subject, c.offset, failure);
      while (it.next.hasMatch()) {
        const RegexMatch m = regexTakeNext(it);
        found << QStringLiteral("%1-%2").arg(m.capturedStart(0)).arg(m.capturedEnd(0));
      }
      EXPECT_EQ(found.join(QLatin1Char(',')).toStdString(), c.found);
      EXPECT_TRUE(first.isValid());
      EXPECT_EQ(first.capturedStart(0), found.isEmpty() ? -1 : found.first().section(QLatin1Char('-'), 0, 0).toInt());
      EXPECT_TRUE(failure.isEmpty());
    }
  }
  regexScanStepsOverride = 0;
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
