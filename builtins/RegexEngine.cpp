// Matching for the regular-expression library (RegexNative.h): PCRE2
// directly, with the pattern compiled as QRegularExpression compiles it and
// Qt's rules for offsets and for the step after an empty match.
//
// Qt's own matching gives the engine a fixed 512 KB of stack, too little for
// common idioms such as (.|\n)* over a long text, and reports the engine
// giving up as "no match". Here the stack grows with the subject, one call
// of the library has a budget of steps that grows with the subject and
// covers every start position the search tries, and an engine that gives up
// is reported with its reason, never as a silent no-match.
//
// A subject need not be valid UTF-16 (a text cut inside a surrogate pair): a
// unit without its partner matches no pattern item, the rest of the text
// matches as usual.
#include "RegexNative.h"

#include "runtime/value.h"

#include <QHash>
#include <QPair>

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <new>

int regexScanStepsOverride = 0;

struct CompiledRegex {
  pcre2_code* code = nullptr;
  // The same pattern with a callout at the start of every attempt, which
  // tells where each attempt starts (see Search); made when first needed.
  mutable pcre2_code* watched = nullptr;
  mutable bool watchedTried = false;
  QString pattern;
  uint32_t options = 0;  // the compile options
  int captureCount = 0;
  bool crlf = false;  // a newline may be CR LF: the step after an empty match passes both
  bool anchored = false;  // only the start offset is ever tried
  // what the pattern matches depends on where the search starts (\G), not
  // only on where an attempt starts
  bool startOffsetMatters = false;

  CompiledRegex() = default;
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;
  ~CompiledRegex() {
    pcre2_code_free(code);
    pcre2_code_free(watched);
  }
};

QString RegexMatch::captured(int n) const {
  const int start = capturedStart(n);
  if (start < 0 || d_->subject.isNull()) return QString();
  return copyToText(d_->subject.constData() + start, capturedEnd(n) - start);
}

const QExplicitlySharedDataPointer<const RegexMatch::Data>& RegexMatch::emptyData() {
  static const QExplicitlySharedDataPointer<const Data> empty(new Data);
  return empty;
}

// A match that is not valid: what a pattern that does not compile, or an
// offset outside the subject, gives.
RegexMatch invalidMatch() {
  static const RegexMatch m([] {
    auto* d = new RegexMatch::Data;
    d->valid = false;
    return d;
  }());
  return m;
}

std::any defaultRegexNative(int32_t builtinCode) {
  switch (builtinCode) {
    case VT_REGEXP: return QRegularExpression();
    case VT_REGMATCH: return RegexMatch();
    case VT_REGMATCHITER: return RegexIterator();
    default: return std::any();
  }
}

namespace {

// ---- compiling -----------------------------------------------------------

// The PCRE2 options QRegularExpression compiles a pattern with; besides, a
// subject may hold units that are not valid UTF-16.
uint32_t compileOptions(QRegularExpression::PatternOptions o) {
  uint32_t r = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
  if (o & QRegularExpression::CaseInsensitiveOption) r |= PCRE2_CASELESS;
  if (o & QRegularExpression::DotMatchesEverythingOption) r |= PCRE2_DOTALL;
  if (o & QRegularExpression::MultilineOption) r |= PCRE2_MULTILINE;
  if (o & QRegularExpression::ExtendedPatternSyntaxOption) r |= PCRE2_EXTENDED;
  if (o & QRegularExpression::InvertedGreedinessOption) r |= PCRE2_UNGREEDY;
  if (o & QRegularExpression::DontCaptureOption) r |= PCRE2_NO_AUTO_CAPTURE;
  if (o & QRegularExpression::UseUnicodePropertiesOption) r |= PCRE2_UCP;
  return r;
}

pcre2_code* compileText(const QString& pattern, uint32_t options) {
  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.utf16()), PCRE2_SIZE(pattern.size()),
                                   options, &error, &errorOffset, nullptr);
  // without JIT code (a platform without it) the interpreter matches
  if (code != nullptr) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  return code;
}

uint32_t patternInfo(const pcre2_code* code, uint32_t what) {
  uint32_t value = 0;
  pcre2_pattern_info(code, what, &value);
  return value;
}

std::shared_ptr<const CompiledRegex> compile(const QString& pattern,
                                             QRegularExpression::PatternOptions options) {
  const uint32_t compiled = compileOptions(options);
  pcre2_code* code = compileText(pattern, compiled);
  if (code == nullptr) return nullptr;
  auto rx = std::make_shared<CompiledRegex>();
  rx->code = code;
  rx->pattern = pattern;
  rx->options = compiled;
  rx->captureCount = int(patternInfo(code, PCRE2_INFO_CAPTURECOUNT));
  const uint32_t newline = patternInfo(code, PCRE2_INFO_NEWLINE);
  rx->crlf = newline == PCRE2_NEWLINE_ANY || newline == PCRE2_NEWLINE_CRLF ||
             newline == PCRE2_NEWLINE_ANYCRLF;
  rx->anchored = (patternInfo(code, PCRE2_INFO_ALLOPTIONS) & PCRE2_ANCHORED) != 0;
  rx->startOffsetMatters = !rx->anchored && (pattern.contains(QLatin1String("\\G")) ||
                                             pattern.contains(QLatin1String("NOTEMPTY_ATSTART")));
  return rx;
}

// The pattern with a callout before everything it matches: after the
// settings that must open it, "(?C1)(?:" and the pattern, closed so that a
// \Q or an extended-syntax comment left open at its end is closed first.
// Null when that does not compile to the same groups.
pcre2_code* watchedCode(const CompiledRegex& rx) {
  if (rx.watchedTried) return rx.watched;
  rx.watchedTried = true;
  const QString& p = rx.pattern;
  int head = 0;
  while (p.midRef(head, 2) == QLatin1String("(*")) {
    int i = head + 2;
    while (i < p.size() && (p[i].isUpper() || p[i].isDigit() || p[i] == QLatin1Char('_') ||
                            p[i] == QLatin1Char('=')))
      ++i;
    if (i >= p.size() || p[i] != QLatin1Char(')')) break;
    head = i + 1;
  }
  for (const char* close : {"\\E)", "\\E\n)"}) {
    const QString text = p.left(head) + QLatin1String("(?C1)(?:") + p.midRef(head) + QLatin1String(close);
    pcre2_code* code = compileText(text, rx.options);
    if (code != nullptr && int(patternInfo(code, PCRE2_INFO_CAPTURECOUNT)) == rx.captureCount) {
      rx.watched = code;
      break;
    }
    pcre2_code_free(code);
  }
  return rx.watched;
}

// The run's compiled patterns by pattern and options. A loop matches with
// the same few patterns: the last one used is found without a lookup.
struct PatternCache {
  using Key = QPair<QString, int>;
  QHash<Key, std::shared_ptr<const CompiledRegex>> byPattern;
  Key lastKey;
  std::shared_ptr<const CompiledRegex> last;
};
thread_local PatternCache* patternCache = nullptr;

// The compiled form of a valid QRegularExpression (null if it does not
// compile after all).
std::shared_ptr<const CompiledRegex> compiledOf(const QRegularExpression& re) {
  if (patternCache == nullptr) patternCache = new PatternCache;
  PatternCache& cache = *patternCache;
  const QString pattern = re.pattern();
  const int options = int(re.patternOptions());
  if (cache.last && options == cache.lastKey.second &&
      pattern.constData() == cache.lastKey.first.constData() &&
      pattern.size() == cache.lastKey.first.size())
    return cache.last;
  PatternCache::Key key(pattern, options);
  auto it = cache.byPattern.constFind(key);
  std::shared_ptr<const CompiledRegex> rx;
  if (it != cache.byPattern.constEnd()) {
    rx = *it;
  } else {
    rx = compile(pattern, re.patternOptions());
    if (!rx) return nullptr;
    if (cache.byPattern.size() >= 64) cache.byPattern.clear();
    cache.byPattern.insert(key, rx);
  }
  cache.lastKey = key;
  cache.last = rx;
  return rx;
}

// The last long byte string decoded as a subject, and its text. Walking a
// long zfc match by match decodes it once: the entry holds a share of the
// bytes, which therefore cannot change in place (a change makes the
// script's zfc a copy of its own), so the same data at the same place are
// the same bytes. Short texts are decoded each time.
struct DecodedSubject {
  QByteArray bytes;
  QString text;
};
thread_local DecodedSubject* decodedSubject = nullptr;
constexpr int kRememberedDecode = 4096;

// ---- running the engine --------------------------------------------------

// One call of the library may take this many steps of the engine at the
// start positions that need more than a few (the common idioms over a long
// text need about one step per unit at their start), all such starts of the
// call together.
constexpr uint64_t kBaseMatchLimit = 10000000;
constexpr uint64_t kStepsPerUnit = 10;
// The few steps every start may take without counting: at least these, more
// on a short subject (a search through the whole subject then takes at most
// a quarter of the budget).
constexpr uint64_t kMinScanSteps = 128;
// The JIT stack grows with the subject: some tens of bytes per unit.
constexpr size_t kBaseStack = 1 << 20;
constexpr size_t kStackPerUnit = 128;
constexpr size_t kMinStackCap = size_t(64) << 20;
constexpr size_t kMaxStackCap = size_t(4) << 30;

struct JitStack {
  pcre2_jit_stack* stack = nullptr;
  explicit JitStack(size_t size) : stack(pcre2_jit_stack_create(32 * 1024, size, nullptr)) {}
  JitStack(const JitStack&) = delete;
  JitStack& operator=(const JitStack&) = delete;
  ~JitStack() { pcre2_jit_stack_free(stack); }
};

struct EngineState {
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  JitStack base{kBaseStack};
  // what every search fills, with room for `pairs` groups (group 0 included)
  pcre2_match_data* data = nullptr;
  uint32_t pairs = 0;
  ~EngineState() {
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
  }
};
thread_local EngineState* engineState = nullptr;

EngineState& engine() {
  if (engineState == nullptr) engineState = new EngineState;
  return *engineState;
}

// The match data for a search with rx. One serves every search (a match's
// offsets are copied out before the next one); a pattern with more groups
// than it has room for gets a larger one.
pcre2_match_data* matchDataFor(const CompiledRegex& rx) {
  EngineState& e = engine();
  const uint32_t pairs = uint32_t(rx.captureCount) + 1;
  if (e.pairs < pairs) {
    pcre2_match_data* data = pcre2_match_data_create(pairs, nullptr);
    if (data == nullptr) throw std::bad_alloc();
    pcre2_match_data_free(e.data);
    e.data = data;
    e.pairs = pairs;
  }
  return e.data;
}

// Why the engine gave up, in words for the message.
QString failureText(int rc, size_t stackCap, uint64_t budget) {
  switch (rc) {
    case PCRE2_ERROR_JIT_STACKLIMIT:
      return QStringLiteral("匹配需要的栈空间超过了上限 %1 MB").arg(qulonglong(stackCap >> 20));
    case PCRE2_ERROR_MATCHLIMIT:
      return QStringLiteral("回溯次数超过了上限 %1 次").arg(qulonglong(budget));
    case PCRE2_ERROR_DEPTHLIMIT:
      return QStringLiteral("回溯深度超过了上限 %1").arg(qulonglong(budget));
    case PCRE2_ERROR_HEAPLIMIT:
    case PCRE2_ERROR_NOMEMORY:
      return QStringLiteral("内存不足");
    default:
      return QStringLiteral("正则引擎错误码 %1").arg(rc);
  }
}

bool outOfSteps(int rc) { return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT; }

// What the callout of the watched pattern sees: where attempts start.
struct StartWatch {
  PCRE2_SIZE skipBefore = 0;            // an attempt starting before it fails at once
  PCRE2_SIZE stopAfter = PCRE2_UNSET;   // an attempt starting after it ends the run
  PCRE2_SIZE lastStart = PCRE2_UNSET;   // where the last attempt started
};

int watchStarts(pcre2_callout_block* block, void* data) {
  auto* w = static_cast<StartWatch*>(data);
  if (block->start_match < w->skipBefore) return 1;
  w->lastStart = block->start_match;
  if (w->stopAfter != PCRE2_UNSET && block->start_match > w->stopAfter) return PCRE2_ERROR_CALLOUT;
  return 0;
}

// One call of the library: the engine's steps it has taken against its
// budget, and the JIT stack it has grown.
//
// The engine's own step limit counts from zero again at each start position
// of a search, so a search that tries many starts could take without bound
// what no single start exceeds. A search here runs first with a few steps
// for each start; when a start needs more, the search finds that start
// (with the watched pattern, which tells where each attempt starts), gives
// it alone four times the steps again and again, each run counted at its
// limit, and goes on from the next start the engine would try. So the
// search costs at most the few steps of each start (twice: found again with
// the watched pattern) and the budget.
class Search {
 public:
  Search(const CompiledRegex& rx, const QString& subject, int from)
      : rx_(rx), units_(reinterpret_cast<PCRE2_SPTR>(subject.utf16())), length_(subject.size()) {
    budget_ = std::max(kBaseMatchLimit, kStepsPerUnit * uint64_t(length_));
    scanSteps_ = regexScanStepsOverride > 0
                     ? uint64_t(regexScanStepsOverride)
                     : std::max(kMinScanSteps, budget_ / (4 * (uint64_t(length_ - from) + 1)));
    scanSteps_ = std::min<uint64_t>(scanSteps_, UINT32_MAX);
  }

  // The first match at or after `from` (PCRE2_ANCHORED: at `from` only); a
  // result other than a match or no match sets `failure`.
  int find(int from, uint32_t options, pcre2_match_data* data, QString& failure) {
    int rc;
    if (careful_) {
      rc = searchCarefully(from, options, data);
    } else {
      rc = run(rx_.code, from, options, uint32_t(scanSteps_), data, nullptr);
      if (outOfSteps(rc)) {
        careful_ = true;
        rc = searchCarefully(from, options, data);
      }
    }
    if (rc < 0 && rc != PCRE2_ERROR_NOMATCH) failure = failureText(rc, stackCap(), budget_);
    return rc;
  }

 private:
  // The search once a start has needed more than scanSteps_.
  [[gnu::noinline]] int searchCarefully(int from, uint32_t options, pcre2_match_data* data) {
    const bool single = (options & PCRE2_ANCHORED) != 0 || rx_.anchored;
    // the search's own start: PCRE2_NOTEMPTY_ATSTART holds there only
    const uint32_t atFrom = options;
    options &= ~uint32_t(PCRE2_NOTEMPTY_ATSTART);
    auto optionsAt = [&](int offset) { return offset == from ? atFrom : options; };
    int start = from;
    int rc;
    pcre2_code* const watched = single ? nullptr : watchedCode(rx_);
    if (!single && watched == nullptr) {
      // no watched pattern: every start gets all the steps left
      const uint64_t left = stepsLeft();
      if (left == 0) return PCRE2_ERROR_MATCHLIMIT;
      rc = run(rx_.code, from, atFrom, uint32_t(std::min<uint64_t>(left, UINT32_MAX)), data, nullptr);
      used_ = budget_;
      return rc;
    }
    for (;;) {
      // the first start from `start` on that needs more steps
      int at = start;
      StartWatch w;
      if (!single) {
        w.skipBefore = PCRE2_SIZE(start);
        const int offset = rx_.startOffsetMatters ? from : start;
        rc = run(watched, offset, optionsAt(offset), scanSteps_, data, &w);
        used_ += uint64_t(start - offset);
        if (!outOfSteps(rc)) return rc;
        // (no attempt got as far as the callout: the first one needs more)
        if (w.lastStart != PCRE2_UNSET) at = int(w.lastStart);
      }
      // that start alone, with four times the steps again and again
      for (uint64_t steps = 4 * scanSteps_;; steps *= 4) {
        const uint64_t left = stepsLeft();
        if (left == 0) return PCRE2_ERROR_MATCHLIMIT;
        const uint32_t limit = uint32_t(std::min({steps, left, uint64_t(UINT32_MAX)}));
        if (single) {
          rc = run(rx_.code, at, optionsAt(at), limit, data, nullptr);
        } else {
          w = StartWatch();
          w.skipBefore = PCRE2_SIZE(at);
          w.stopAfter = PCRE2_SIZE(at);
          const int offset = rx_.startOffsetMatters ? from : at;
          rc = run(watched, offset, optionsAt(offset), limit, data, &w);
          used_ += uint64_t(at - offset);
        }
        used_ += limit;
        if (!outOfSteps(rc)) break;
      }
      // the engine went on to a later start: the search goes on there
      if (rc != PCRE2_ERROR_CALLOUT) return rc;
      start = int(w.lastStart);
    }
  }

  uint64_t stepsLeft() const { return budget_ > used_ ? budget_ - used_ : 0; }

  // The most the JIT stack may grow to.
  size_t stackCap() const {
    return size_t(std::min<uint64_t>(std::max<uint64_t>(kMinStackCap, kStackPerUnit * uint64_t(length_)),
                                     kMaxStackCap));
  }


  // One call of the engine at offset with `limit` steps for each start; the
  // JIT stack grows (each try eight times the last, up to a cap that grows
  // with the subject) while the match runs out of it.
  int run(pcre2_code* code, int offset, uint32_t options, uint32_t limit, pcre2_match_data* data,
          StartWatch* watch) {
    EngineState& e = engine();
    pcre2_set_match_limit(e.context, limit);
    pcre2_set_depth_limit(e.context, limit);
    pcre2_set_callout(e.context, watch != nullptr ? watchStarts : nullptr, watch);
    pcre2_jit_stack_assign(e.context, nullptr, grown_ ? grown_->stack : e.base.stack);
    const StartWatch before = watch != nullptr ? *watch : StartWatch();
    if (regexScanStepsOverride > 0) options |= PCRE2_NO_JIT;
    for (;;) {
      const int rc = pcre2_match(code, units_, PCRE2_SIZE(length_), PCRE2_SIZE(offset), options, data,
                                 e.context);
      if (rc != PCRE2_ERROR_JIT_STACKLIMIT || stackSize_ >= stackCap()) return rc;
      stackSize_ = std::min(stackSize_ * 8, stackCap());
      grown_.reset();
      grown_.reset(new JitStack(stackSize_));
      if (grown_->stack == nullptr) {
        grown_.reset();
        return PCRE2_ERROR_NOMEMORY;
      }
      pcre2_jit_stack_assign(e.context, nullptr, grown_->stack);
      if (watch != nullptr) *watch = before;
    }
  }

  const CompiledRegex& rx_;
  const PCRE2_SPTR units_;
  const int length_;
  uint64_t budget_ = 0;
  uint64_t used_ = 0;
  uint64_t scanSteps_ = 0;  // what a run through many starts gives each
  bool careful_ = false;    // a start has needed more than scanSteps_
  size_t stackSize_ = kBaseStack;
  std::unique_ptr<JitStack> grown_;
};

// The match at or after offset (counted from the end when negative), as
// QRegularExpression finds it; after an empty match (`previous`) the next
// one must not be empty at the same place, else the search goes on one
// character later. An engine that gives up sets `failure` and gives no match.
RegexMatch matchAt(const CompiledRegex& rx, const QString& subject, int offset,
                   const RegexMatch* previous, QString& failure) {
  const int n = subject.size();
  if (offset < 0) offset += n;
  if (offset < 0 || offset > n) return invalidMatch();
  pcre2_match_data* const data = matchDataFor(rx);
  Search search(rx, subject, offset);
  int rc;
  if (previous != nullptr && previous->hasMatch() &&
      previous->capturedStart(0) == previous->capturedEnd(0)) {
    rc = search.find(offset, PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED, data, failure);
    if (rc == PCRE2_ERROR_NOMATCH) {
      const QChar* u = subject.constData();
      ++offset;
      if (offset < n && ((rx.crlf && u[offset - 1] == QLatin1Char('\r') && u[offset] == QLatin1Char('\n')) ||
                         (u[offset - 1].isHighSurrogate() && u[offset].isLowSurrogate())))
        ++offset;
      if (offset > n) return RegexMatch();
      rc = search.find(offset, 0, data, failure);
    }
  } else {
    rc = search.find(offset, 0, data, failure);
  }
  const QExplicitlySharedDataPointer<RegexMatch::Data> d(new RegexMatch::Data);
  d->subject = subject;
  d->captureCount = rx.captureCount;
  d->offsets.assign(size_t(2 * (rx.captureCount + 1)), -1);
  if (rc > 0) {
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
    const int pairs = std::min<int>(rc, rx.captureCount + 1);
    for (int i = 0; i < 2 * pairs; ++i)
      if (ov[i] != PCRE2_UNSET) d->offsets[size_t(i)] = int(ov[i]);
    d->lastCaptured = rc - 1;
    d->matched = true;
  }
  return RegexMatch(d.constData());
}

// The compiled pattern, or null for a pattern that does not compile (Qt
// gives a match that is not valid).
std::shared_ptr<const CompiledRegex> readyToMatch(const QRegularExpression& re) {
  if (!re.isValid()) return nullptr;
  return compiledOf(re);
}

}  // namespace

QString regexSubjectOf(const QByteArray& bytes) {
  if (bytes.size() < kRememberedDecode) return utf8ToString(bytes);
  if (decodedSubject == nullptr) decodedSubject = new DecodedSubject;
  DecodedSubject& d = *decodedSubject;
  if (bytes.constData() != d.bytes.constData() || bytes.size() != d.bytes.size()) {
    d.text = utf8ToString(bytes);
    d.bytes = bytes;
  }
  return d.text;
}

RegexMatch regexMatch(const QRegularExpression& re, const QString& subject, int offset,
                      QString& failure) {
  const std::shared_ptr<const CompiledRegex> rx = readyToMatch(re);
  if (!rx) return invalidMatch();
  return matchAt(*rx, subject, offset, nullptr, failure);
}

RegexIterator regexGlobalMatch(const QRegularExpression& re, const QString& subject, int offset,
                               QString& failure) {
  RegexIterator it;
  const std::shared_ptr<const CompiledRegex> rx = readyToMatch(re);
  if (!rx) {
    it.valid = false;
    return it;
  }
  it.next = matchAt(*rx, subject, offset, nullptr, failure);
  it.valid = it.next.isValid();
  if (it.valid && it.next.hasMatch()) {
    it.regex = rx;
    it.subject = subject;
  }
  return it;
}

// Moves the iterator past its next match: the match after it is found now.
// An engine that gives up leaves no further match and the reason, which the
// script meets at its next call on the iterator.
RegexMatch regexTakeNext(RegexIterator& it) {
  RegexMatch taken = it.next;
  if (it.regex) {
    QString failure;
    it.next = matchAt(*it.regex, it.subject, taken.capturedEnd(0), &taken, failure);
    if (!failure.isEmpty()) {
      it.pendingFailure = failure;
      it.failedPattern = it.regex->pattern;
      it.next = RegexMatch();
    }
    if (!it.next.hasMatch()) {
      it.regex.reset();
      it.subject = QString();
    }
  }
  return taken;
}

void releaseRegexCaches() {
  delete patternCache;
  patternCache = nullptr;
  delete decodedSubject;
  decodedSubject = nullptr;
  delete engineState;
  engineState = nullptr;
}
