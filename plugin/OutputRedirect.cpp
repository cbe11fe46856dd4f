#include "OutputRedirect.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>
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

// The states of the pane's blocks (QTextBlock::userState; others are -1).
constexpr int kContinuation = 1;  // goes on with the line of the block before
constexpr int kNotice = 2;        // the notice that earlier output was dropped

int lineEnds(const QString& text, int from = 0) {
  int n = 0;
  for (int i = from; i < text.size(); ++i) n += text.at(i) == QLatin1Char('\n');
  return n;
}

// The characters that QTextCursor::insertText turns into a block break.
bool breaksBlock(QChar c) {
  return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::ParagraphSeparator ||
         c == QChar(0xFDD0) || c == QChar(0xFDD1);
}

// Replaces everything before position end with the drop notice and its line
// end; the block at end becomes the first one after the notice.
void replaceWithNotice(QTextDocument* doc, int end) {
  QTextCursor cursor(doc);
  cursor.setPosition(end, QTextCursor::KeepAnchor);
  // one edit, so that the blocks below are laid out again once
  cursor.beginEditBlock();
  cursor.insertText(OutputPane::dropNotice() + QLatin1Char('\n'));
  cursor.endEditBlock();
  QTextBlock first = doc->firstBlock();
  first.setUserState(kNotice);
  first.next().setUserState(-1);
}

// Past either bound, drops the oldest lines down to nine tenths of both
// bounds (so that this happens once per tenth of the bound, not per append).
void dropOldest(QTextDocument* doc) {
  const int blocks = doc->blockCount();
  const int chars = doc->characterCount();
  const int lines = blocks - (doc->firstBlock().userState() == kNotice ? 1 : 0);
  if (lines <= OutputPane::kMaxLines && chars <= OutputPane::kMaxChars) return;
  const int keepLines = OutputPane::kMaxLines / 10 * 9;
  const int keepChars = OutputPane::kMaxChars / 10 * 9;
  QTextBlock keep = blocks > keepLines ? doc->findBlockByNumber(blocks - keepLines) : doc->firstBlock();
  if (chars > keepChars) {
    QTextBlock byChars = doc->findBlock(chars - keepChars);
    if (byChars.position() < chars - keepChars) byChars = byChars.next();
    if (!byChars.isValid()) byChars = doc->lastBlock();
    if (byChars.blockNumber() > keep.blockNumber()) keep = byChars;
  }
  // from the start of a line, unless a line longer than what is kept began
  QTextBlock start = keep;
  while (start.userState() == kContinuation && start.next().isValid()) start = start.next();
  if (start.next().isValid()) keep = start;
  replaceWithNotice(doc, keep.position());
}

}  // namespace

OutputPane::OutputPane(QWidget* parent) : QTextEdit(parent) {
  // an undo history would keep every append, the dropped output too
  setUndoRedoEnabled(false);
  // Left to right throughout, like a terminal: with the direction left to
  // the text, every block's text is searched for it whenever the blocks
  // below an edit are laid out again, which dropping the oldest output does.
  QTextOption option = document()->defaultTextOption();
  option.setTextDirection(Qt::LeftToRight);
  document()->setDefaultTextOption(option);
}

QString OutputPane::dropNotice() {
  return QStringLiteral("……较早的输出已丢弃，输出区只保留最近的 %1 万行、%2 万个字符以内的输出……")
      .arg(kMaxLines / 10000)
      .arg(kMaxChars / 10000);
}

void OutputPane::appendOutput(QTextEdit* pane, const QString& text) {
  QTextDocument* doc = pane->document();
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();
  int run = cursor.block().length() - 1;  // characters in the last block
  int from = 0;
  for (int i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (breaksBlock(c)) {
      run = 0;
    } else if (run < kPieceChars || c.isLowSurrogate()) {
      ++run;
    } else {
      cursor.insertText(text.mid(from, i - from));
      cursor.insertBlock();
      cursor.block().setUserState(kContinuation);
      from = i;
      run = 1;
    }
  }
  cursor.insertText(from == 0 ? text : text.mid(from));
  cursor.endEditBlock();
  dropOldest(doc);
  // at the end, wherever the user put the caret
  pane->moveCursor(QTextCursor::End);
  pane->ensureCursorVisible();
}

void OutputPane::dropAllOutput(QTextEdit* pane) {
  QTextDocument* doc = pane->document();
  replaceWithNotice(doc, doc->characterCount() - 1);
}

QString OutputPane::outputText(int from, int to) const {
  const QTextDocument* doc = document();
  QString text;
  for (QTextBlock b = doc->findBlock(from); b.isValid() && b.position() <= to; b = b.next()) {
    // the line end before this block, unless the block goes on with its line
    if (b.position() > from && b.userState() != kContinuation) text += QLatin1Char('\n');
    const int start = qMax(from - b.position(), 0);
    const int end = qMin(to - b.position(), b.length() - 1);
    if (end > start) text += b.text().mid(start, end - start);
  }
  return text;
}

QMimeData* OutputPane::createMimeDataFromSelection() const {
  const QTextCursor cursor = textCursor();
  auto* data = new QMimeData;
  data->setText(outputText(cursor.selectionStart(), cursor.selectionEnd()));
  return data;
}

KorTextEdit::KorTextEdit(QObject* parent) : QObject(parent) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { flush(); });
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
  return pendingLines_ > kMaxPendingLines || pending_.size() - head_ > kMaxPendingChars;
}

bool KorTextEdit::overBoundNow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return overBound();
}

bool KorTextEdit::pendingNow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size() > head_;
}

void KorTextEdit::enqueue(const QString& text) {
  const bool onGuiThread = QThread::currentThread() == thread();
  bool post = false;
  bool over = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A writer on another thread waits for the GUI thread to catch up; a
    // stop request lets it go on to the script's next abort check.
    while (!onGuiThread && overBound() && !closing_ && !abortRequested.load())
      drained_.wait_for(lock, std::chrono::milliseconds(20));
    pending_ += text;
    pendingLines_ += lineEnds(text);
    over = overBound();
    if (!flushQueued_) post = flushQueued_ = true;
  }
  if (post) QMetaObject::invokeMethod(this, [this] { flushSoon(); }, Qt::QueuedConnection);
  // The GUI thread cannot wait for itself: it appends instead.
  if (onGuiThread && over) catchUp();
}

void KorTextEdit::catchUp() {
  if (catchingUp_) return;  // a write made by an event handled below
  catchingUp_ = true;
  while (overBoundNow() && !abortRequested.load()) {
    flush();
    QCoreApplication::processEvents();
  }
  catchingUp_ = false;
}

void KorTextEdit::flushSoon() {
  if (sinceFlush_.isValid() && sinceFlush_.elapsed() < kFlushIntervalMs) {
    if (!timer_.isActive()) timer_.start(int(kFlushIntervalMs - sinceFlush_.elapsed()));
    return;
  }
  flush();
}

void KorTextEdit::drain() {
  while (pendingNow()) {
    flush();
    QCoreApplication::processEvents();
  }
}

void KorTextEdit::flush() {
  QElapsedTimer spent;
  spent.start();
  sinceFlush_.start();
  for (;;) {
    QString chunk;
    bool skipped = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pending_.size() == head_) {
        pending_.clear();
        pending_.squeeze();
        head_ = 0;
        flushQueued_ = false;
        timer_.stop();
        break;
      }
      // Output the pane could not keep anyway is dropped here unseen.
      if (pending_.size() - head_ > OutputPane::kMaxChars) {
        head_ = int(pending_.size()) - OutputPane::kMaxChars;
        pendingLines_ = lineEnds(pending_, head_);
        skipped = true;
      }
      // up to kChunkLines line ends, or kChunkChars characters
      int end = head_;
      int lines = 0;
      const int limit = head_ + int(qMin(pending_.size() - head_, kChunkChars));
      while (end < limit) {
        if (pending_.at(end++) == QLatin1Char('\n') && ++lines == kChunkLines) break;
      }
      chunk = pending_.mid(head_, end - head_);
      head_ = end;
      pendingLines_ -= lines;
      // the taken text goes once it is the larger part
      if (head_ > pending_.size() / 2) {
        pending_.remove(0, head_);
        head_ = 0;
      }
    }
    drained_.notify_all();
    if (skipped && textEdit) OutputPane::dropAllOutput(textEdit);
    on_outText(chunk);
    if (spent.elapsed() >= kFlushBudgetMs) {
      // the next append a flush interval after this one began, leaving the
      // GUI thread at least a quarter of it for everything else
      timer_.start(int(qMax(kFlushIntervalMs - spent.elapsed(), qint64(kFlushIntervalMs / 4))));
      break;
    }
  }
}

void KorTextEdit::on_outText(const QString& text) {
  if (textEdit) OutputPane::appendOutput(textEdit, text);
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
  // what is still pending, while the window keeps answering
  if (outForwarder_) outForwarder_->drain();
  delete outForwarder_;
  delete errForwarder_;
  outForwarder_ = nullptr;
  errForwarder_ = nullptr;
}
