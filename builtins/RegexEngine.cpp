// Matching for the regular-expression library (RegexNative.h): PCRE2
// directly, with the pattern compiled as QRegularExpression compiles it and
// Qt's rules for offsets, for the subject the engine accepts and for the step
// after an empty match.
//
// Qt's own matching gives the engine a fixed 512 KB of stack, too little for
// common idioms such as (.|\n)* over a long text, and reports the engine
// giving up as "no match". Here the stack and the step limit grow with the
// subject, and an engine that still gives up is reported with its reason,
// never as a silent no-match.
#include "RegexNative.h"

#include "runtime/value.h"

#include <QHash>
#include <QPair>

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct CompiledRegex {
  pcre2_code* code = nullptr;
  QString pattern;
  int captureCount = 0;
  int maxLookbehind = 0;  // characters before the offset a match may look at
  bool crlf = false;  // a newline may be CR LF: the step after an empty match passes both

  CompiledRegex() = default;
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;
  ~CompiledRegex() { pcre2_code_free(code); }
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

// The PCRE2 options QRegularExpression compiles a pattern with.
uint32_t compileOptions(QRegularExpression::PatternOptions o) {
  uint32_t r = PCRE2_UTF;
  if (o & QRegularExpression::CaseInsensitiveOption) r |= PCRE2_CASELESS;
  if (o & QRegularExpression::DotMatchesEverythingOption) r |= PCRE2_DOTALL;
  if (o & QRegularExpression::MultilineOption) r |= PCRE2_MULTILINE;
  if (o & QRegularExpression::ExtendedPatternSyntaxOption) r |= PCRE2_EXTENDED;
  if (o & QRegularExpression::InvertedGreedinessOption) r |= PCRE2_UNGREEDY;
  if (o & QRegularExpression::DontCaptureOption) r |= PCRE2_NO_AUTO_CAPTURE;
  if (o & QRegularExpression::UseUnicodePropertiesOption) r |= PCRE2_UCP;
  return r;
}

std::shared_ptr<const CompiledRegex> compile(const QString& pattern,
                                             QRegularExpression::PatternOptions options) {
  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.utf16()), PCRE2_SIZE(pattern.size()),
                                   compileOptions(options), &error, &errorOffset, nullptr);
  if (code == nullptr) return nullptr;
  auto rx = std::make_shared<CompiledRegex>();
  rx->code = code;
  rx->pattern = pattern;
  // without JIT code (a platform without it) the interpreter matches
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  uint32_t groups = 0;
  pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &groups);
  rx->captureCount = int(groups);
  uint32_t lookbehind = 0;
  pcre2_pattern_info(code, PCRE2_INFO_MAXLOOKBEHIND, &lookbehind);
  rx->maxLookbehind = int(lookbehind);
  uint32_t newline = 0;
  pcre2_pattern_info(code, PCRE2_INFO_NEWLINE, &newline);
  rx->crlf = newline == PCRE2_NEWLINE_ANY || newline == PCRE2_NEWLINE_CRLF ||
             newline == PCRE2_NEWLINE_ANYCRLF;
  return rx;
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

// ---- the subject ---------------------------------------------------------

// Whether the text has no UTF-16 surrogate unit (D800..DFFF) at all.
bool withoutSurrogates(const QString& text) {
  const auto* units = reinterpret_cast<const uint16_t*>(text.constData());
  const int n = text.size();
  int i = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi16(short(0xF800));
  const __m128i surrogate = _mm_set1_epi16(short(0xD800));
  auto surrogatesIn = [&](int at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + at));
    return _mm_cmpeq_epi16(_mm_and_si128(v, mask), surrogate);
  };
  for (; i + 32 <= n; i += 32) {
    const __m128i any = _mm_or_si128(_mm_or_si128(surrogatesIn(i), surrogatesIn(i + 8)),
                                     _mm_or_si128(surrogatesIn(i + 16), surrogatesIn(i + 24)));
    if (_mm_movemask_epi8(any) != 0) return false;
  }
  for (; i + 8 <= n; i += 8)
    if (_mm_movemask_epi8(surrogatesIn(i)) != 0) return false;
#endif
  for (; i < n; ++i)
    if ((units[i] & 0xF800) == 0xD800) return false;
  return true;
}

// Position of the last unit that is not valid UTF-16 (a surrogate without
// its partner), or -1.
int lastInvalidUnit(const QString& text) {
  if (withoutSurrogates(text)) return -1;
  const QChar* u = text.constData();
  const int n = text.size();
  int last = -1;
  for (int i = 0; i < n; ++i) {
    if (u[i].isHighSurrogate() && i + 1 < n && u[i + 1].isLowSurrogate()) {
      ++i;
    } else if (u[i].isSurrogate()) {
      last = i;
    }
  }
  return last;
}

// The last subject checked and its result. The check walks the whole text,
// so a text matched again and again (match at one offset after another) is
// checked once: the entry holds a share of the text, which therefore cannot
// change in place (a change makes the script's text a copy of its own), so
// the same data at the same place is the same text. Short texts are checked
// each time.
struct CheckedSubject {
  QString text;
  int lastInvalid = -1;
};
thread_local CheckedSubject* checkedSubject = nullptr;
constexpr int kRememberedCheck = 4096;

int lastInvalidUnitOf(const QString& subject) {
  if (subject.size() < kRememberedCheck) return lastInvalidUnit(subject);
  if (checkedSubject == nullptr) checkedSubject = new CheckedSubject;
  CheckedSubject& c = *checkedSubject;
  if (subject.constData() != c.text.constData() || subject.size() != c.text.size()) {
    c.lastInvalid = lastInvalidUnit(subject);
    c.text = subject;
  }
  return c.lastInvalid;
}

// Whether the engine takes the subject for a search from offset: the part
// it may read, from the offset (less the pattern's longest lookbehind) to
// the end, must be valid UTF-16, and the offset must not split a pair. An
// offset outside the subject is left to the search (no valid match).
bool subjectReadableFrom(const CompiledRegex& rx, const QString& subject, int offset) {
  const int n = subject.size();
  if (offset < 0) offset += n;
  if (offset < 0 || offset > n) return true;
  const QChar* u = subject.constData();
  if (offset > 0 && offset < n && u[offset].isLowSurrogate()) return false;
  int from = offset;
  for (int i = rx.maxLookbehind; i > 0 && from > 0; --i) {
    --from;
    while (from > 0 && u[from].isLowSurrogate()) --from;
  }
  return lastInvalidUnitOf(subject) < from;
}

// ---- running the engine --------------------------------------------------

// The engine's limits grow with the subject: the common idioms over a long
// text need about one step and some tens of bytes of JIT stack per unit.
constexpr uint32_t kBaseMatchLimit = 10000000;
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
QString failureText(int rc, size_t stackCap, uint32_t matchLimit) {
  switch (rc) {
    case PCRE2_ERROR_JIT_STACKLIMIT:
      return QStringLiteral("匹配需要的栈空间超过了上限 %1 MB").arg(qulonglong(stackCap >> 20));
    case PCRE2_ERROR_MATCHLIMIT:
      return QStringLiteral("回溯次数超过了上限 %1 次").arg(matchLimit);
    case PCRE2_ERROR_DEPTHLIMIT:
      return QStringLiteral("回溯深度超过了上限 %1").arg(matchLimit);
    case PCRE2_ERROR_HEAPLIMIT:
    case PCRE2_ERROR_NOMEMORY:
      return QStringLiteral("内存不足");
    default:
      return QStringLiteral("正则引擎错误码 %1").arg(rc);
  }
}

// One call of the engine at offset; the JIT stack grows (each try eight
// times the last, up to a cap that grows with the subject) while the match
// runs out of it. A result other than a match or no match sets `failure`.
int runEngine(const CompiledRegex& rx, const QString& subject, int offset, uint32_t options,
              pcre2_match_data* data, QString& failure) {
  EngineState& e = engine();
  const uint64_t length = uint64_t(subject.size());
  const uint32_t matchLimit =
      uint32_t(std::min<uint64_t>(std::max<uint64_t>(kBaseMatchLimit, 10 * length), UINT32_MAX));
  pcre2_set_match_limit(e.context, matchLimit);
  pcre2_set_depth_limit(e.context, matchLimit);
  const size_t stackCap = size_t(std::min<uint64_t>(
      std::max<uint64_t>(kMinStackCap, kStackPerUnit * length), kMaxStackCap));
  const auto* units = reinterpret_cast<PCRE2_SPTR>(subject.utf16());
  std::unique_ptr<JitStack> grown;
  size_t stackSize = kBaseStack;
  pcre2_jit_stack_assign(e.context, nullptr, e.base.stack);
  int rc;
  for (;;) {
    rc = pcre2_match(rx.code, units, PCRE2_SIZE(length), PCRE2_SIZE(offset), options, data, e.context);
    if (rc != PCRE2_ERROR_JIT_STACKLIMIT || stackSize >= stackCap) break;
    stackSize = std::min(stackSize * 8, stackCap);
    grown.reset();
    grown.reset(new JitStack(stackSize));
    if (grown->stack == nullptr) {
      rc = PCRE2_ERROR_NOMEMORY;
      break;
    }
    pcre2_jit_stack_assign(e.context, nullptr, grown->stack);
  }
  if (rc < 0 && rc != PCRE2_ERROR_NOMATCH) failure = failureText(rc, stackCap, matchLimit);
  return rc;
}

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
  const uint32_t options = PCRE2_NO_UTF_CHECK;
  int rc;
  if (previous != nullptr && previous->hasMatch() &&
      previous->capturedStart(0) == previous->capturedEnd(0)) {
    rc = runEngine(rx, subject, offset, options | PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED,
                   data, failure);
    if (rc == PCRE2_ERROR_NOMATCH) {
      const QChar* u = subject.constData();
      ++offset;
      if (offset < n && ((rx.crlf && u[offset - 1] == QLatin1Char('\r') && u[offset] == QLatin1Char('\n')) ||
                         u[offset].isLowSurrogate()))
        ++offset;
      if (offset > n) return RegexMatch();
      rc = runEngine(rx, subject, offset, options, data, failure);
    }
  } else {
    rc = runEngine(rx, subject, offset, options, data, failure);
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

// The compiled pattern to match with from offset, or null when there is
// nothing to match: a pattern that does not compile, or a subject the engine
// refuses (see subjectReadableFrom; Qt gives a match that is not valid).
std::shared_ptr<const CompiledRegex> readyToMatch(const QRegularExpression& re, const QString& subject,
                                                  int offset) {
  if (!re.isValid()) return nullptr;
  std::shared_ptr<const CompiledRegex> rx = compiledOf(re);
  if (rx && !subjectReadableFrom(*rx, subject, offset)) return nullptr;
  return rx;
}

}  // namespace

RegexMatch regexMatch(const QRegularExpression& re, const QString& subject, int offset,
                      QString& failure) {
  const std::shared_ptr<const CompiledRegex> rx = readyToMatch(re, subject, offset);
  if (!rx) return invalidMatch();
  return matchAt(*rx, subject, offset, nullptr, failure);
}

RegexIterator regexGlobalMatch(const QRegularExpression& re, const QString& subject, int offset,
                               QString& failure) {
  RegexIterator it;
  const std::shared_ptr<const CompiledRegex> rx = readyToMatch(re, subject, offset);
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
  delete checkedSubject;
  checkedSubject = nullptr;
  delete engineState;
  engineState = nullptr;
}
