#include "OutputRedirect.h"

#include <QMetaObject>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>

#include <chrono>
#include <iostream>
#include <string>

#include "runtime/run_state.h"

namespace {

// One append takes at most this many lines or characters, so that it stays
// short next to the flush budget.
constexpr int kChunkLines = 128;
constexpr int kChunkChars = 32 * 1024;

int lineEnds(const QString& text) { return int(text.count(QLatin1Char('\n'))); }

}  // namespace

KorTextEdit::KorTextEdit(QObject* parent) : QObject(parent) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { flush(kFlushBudgetMs); });
}

KorTextEdit::~KorTextEdit() {
  std::lock_guard<std::mutex> lock(mutex_);
  closing_ = true;
  drained_.notify_all();
}

void KorTextEdit::sendText(const QString& text) {
  Q_EMIT outText(text);
  sink_->enqueue(text);
}

bool KorTextEdit::overBound() const {
  return pendingLines_ > kMaxPendingLines || pending_.size() > kMaxPendingChars;
}

void KorTextEdit::enqueue(const QString& text) {
  const bool onGuiThread = QThread::currentThread() == thread();
  bool post = false;
  bool drainNow = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A writer on another thread waits for the GUI thread to catch up; a
    // stop request lets it go on to the script's next abort check.
    while (!onGuiThread && overBound() && !closing_ && !abortRequested.load())
      drained_.wait_for(lock, std::chrono::milliseconds(20));
    pending_ += text;
    pendingLines_ += lineEnds(text);
    // The GUI thread cannot wait for itself: it appends at once instead.
    drainNow = onGuiThread && overBound();
    if (!drainNow && !flushQueued_) post = flushQueued_ = true;
  }
  if (drainNow)
    drain();
  else if (post)
    QMetaObject::invokeMethod(this, [this] { flushSoon(); }, Qt::QueuedConnection);
}

void KorTextEdit::flushSoon() {
  if (sinceFlush_.isValid() && sinceFlush_.elapsed() < kFlushIntervalMs) {
    if (!timer_.isActive()) timer_.start(int(kFlushIntervalMs - sinceFlush_.elapsed()));
    return;
  }
  flush(kFlushBudgetMs);
}

void KorTextEdit::drain() { flush(-1); }

void KorTextEdit::flush(int budgetMs) {
  QElapsedTimer spent;
  spent.start();
  sinceFlush_.start();
  for (;;) {
    QString chunk;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pending_.isEmpty()) {
        flushQueued_ = false;
        timer_.stop();
        break;
      }
      // up to kChunkLines line ends, or kChunkChars characters
      int end = 0;
      int lines = 0;
      const int limit = int(qMin(pending_.size(), kChunkChars));
      while (end < limit) {
        if (pending_.at(end++) == QLatin1Char('\n') && ++lines == kChunkLines) break;
      }
      chunk = pending_.left(end);
      pending_.remove(0, end);
      pendingLines_ -= lines;
      if (pending_.isEmpty()) pending_.squeeze();
    }
    drained_.notify_all();
    on_outText(chunk);
    if (budgetMs >= 0 && spent.elapsed() >= budgetMs) {
      // the next append a flush interval after this one began, leaving the
      // GUI thread at least a quarter of it for everything else
      timer_.start(int(qMax(kFlushIntervalMs - spent.elapsed(), qint64(kFlushIntervalMs / 4))));
      break;
    }
  }
}

void KorTextEdit::on_outText(const QString& text) {
  if (!textEdit) return;
  // at the end, wherever the user put the caret
  textEdit->moveCursor(QTextCursor::End);
  textEdit->insertPlainText(text);
  textEdit->ensureCursorVisible();
}

QTextEditStreamBuf::int_type QTextEditStreamBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return c;
  forwarder_->sendText(QString(QChar::fromLatin1(static_cast<char>(c))));
  return c;
}

std::streamsize QTextEditStreamBuf::xsputn(const char* s, std::streamsize n) {
  forwarder_->sendText(QString::fromUtf8(s, int(n)));
  return n;
}

StreamRedirect::StreamRedirect(QObject* window, QTextEdit* pane)
    : outForwarder_(new KorTextEdit(window)),
      errForwarder_(new KorTextEdit(window)),
      outBuf_(outForwarder_),
      errBuf_(errForwarder_) {
  outForwarder_->textEdit = pane;
  errForwarder_->textEdit = pane;
  errForwarder_->shareQueueWith(outForwarder_);
  oldOut_ = std::cout.rdbuf(&outBuf_);
  oldErr_ = std::cerr.rdbuf(&errBuf_);
  redirected_ = true;
}

StreamRedirect::~StreamRedirect() {
  restore();
  release();
}

void StreamRedirect::restore() {
  if (!redirected_) return;
  std::cout.rdbuf(oldOut_);
  std::cerr.rdbuf(oldErr_);
  redirected_ = false;
}

void StreamRedirect::release() {
  restore();
  if (outForwarder_) outForwarder_->drain();
  delete outForwarder_;
  delete errForwarder_;
  outForwarder_ = nullptr;
  errForwarder_ = nullptr;
}
