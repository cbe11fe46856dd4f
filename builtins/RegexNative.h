// The native objects of the prelude structs RegMatch and RegMatchIter: the
// results of matching a RegExp (a QRegularExpression, which keeps the pattern
// and its options) against a text. The matching itself runs on PCRE2
// directly, so that the engine gets the room long subjects need and a budget
// of steps for each call (see RegexEngine.cpp); these types carry what
// QRegularExpressionMatch and QRegularExpressionMatchIterator would carry.
#pragma once

#include <QRegularExpression>
#include <QSharedData>
#include <QString>

#include <any>
#include <cstdint>
#include <memory>
#include <vector>

struct CompiledRegex;

// One match: the subject (shared, not copied), the start and end of every
// group of the pattern (-1 for a group that took no part), and whether the
// match exists and is valid (a pattern that does not compile, or an offset
// outside the subject, gives a match that is not valid). A match is one
// pointer to shared data, so the std::any of a struct value holds it in place.
class RegexMatch {
 public:
  RegexMatch() : d_(emptyData()) {}

  bool hasMatch() const { return d_->matched; }
  bool isValid() const { return d_->valid; }
  int lastCapturedIndex() const { return d_->lastCaptured; }
  int captureCount() const { return d_->captureCount; }
  // start, end, length and text of group n: -1, -1, 0 and a null text for a
  // group that took no part or does not exist
  int capturedStart(int n) const { return inRange(n) ? d_->offsets[size_t(2 * n)] : -1; }
  int capturedEnd(int n) const { return inRange(n) ? d_->offsets[size_t(2 * n + 1)] : -1; }
  int capturedLength(int n) const { return capturedEnd(n) - capturedStart(n); }
  QString captured(int n) const;

  // Built by the library only.
  struct Data : QSharedData {
    QString subject;
    std::vector<int> offsets;  // two per group, group 0 first
    int captureCount = 0;
    int lastCaptured = -1;
    bool valid = true;
    bool matched = false;
  };
  explicit RegexMatch(const Data* d) : d_(d) {}

 private:
  bool inRange(int n) const { return n >= 0 && n <= d_->lastCaptured; }
  static const QExplicitlySharedDataPointer<const Data>& emptyData();

  QExplicitlySharedDataPointer<const Data> d_;
};
static_assert(sizeof(RegexMatch) == sizeof(void*), "a match is kept in place by std::any");

// The matches of a pattern from an offset on, one at a time: the next match
// is found when the one before is taken. A failure of the engine on the way
// is kept and reported when the script reaches it.
struct RegexIterator {
  std::shared_ptr<const CompiledRegex> regex;  // null: no further matching
  QString subject;
  RegexMatch next;        // the match next() gives
  QString pendingFailure;  // why the engine could not find the next match
  QString failedPattern;   // and with which pattern
  bool valid = true;
};

// The first match at or after offset (counted from the end when negative),
// as QRegularExpression::match gives it. An engine that gives up sets
// `failure` (why, in words) and gives no match.
RegexMatch regexMatch(const QRegularExpression& re, const QString& subject, int offset,
                      QString& failure);
// The matches from offset on, as QRegularExpression::globalMatch gives them;
// the first one is found now (an engine giving up on it sets `failure`).
RegexIterator regexGlobalMatch(const QRegularExpression& re, const QString& subject, int offset,
                               QString& failure);
// The iterator's next match (it must have one); the iterator moves past it
// and finds the one after. An engine that gives up there leaves no further
// match and the reason in pendingFailure.
RegexMatch regexTakeNext(RegexIterator& it);
// A match that is not valid.
RegexMatch invalidMatch();

// A zfc subject decoded as UTF-8; the last long one is decoded once however
// often it is matched.
QString regexSubjectOf(const QByteArray& bytes);

// The steps a search gives each start position before it takes a start that
// needs more alone; 0 (the default) works them out from the subject. Tests
// set it (with the interpreter then matching, which counts every step where
// JIT code counts only some) to make searches take that careful way.
extern int regexScanStepsOverride;

// The native object a RegExp, RegMatch or RegMatchIter variable starts with.
std::any defaultRegexNative(int32_t builtinCode);

// Frees what the library keeps between calls (compiled patterns, the last
// subject decoded, the engine's stack and match data); called at the end of
// a run.
void releaseRegexCaches();
