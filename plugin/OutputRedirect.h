// Redirection of the standard streams into a window's output pane.
//
// For the length of a run the window that starts it points std::cout and
// std::cerr at two QTextEditStreamBuf objects. Each write becomes a QString
// handed to a KorTextEdit forwarder, which collects it in one pending buffer;
// the GUI thread appends that buffer to the pane in chunks, at most once per
// flush interval and for a bounded time each, so a script that prints in a
// tight loop neither floods the event queue nor freezes the window. A writer
// on another thread waits while the pending output is over its bound, so
// memory stays bounded; a stop request ends the wait. The same path serves a
// run on the GUI thread and a run on a worker thread.
//
// The pane itself keeps only the most recent output (OutputPane below), and
// a long line is held as pieces of bounded length, so that neither a flood of
// lines nor one huge line makes an append slow.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTextEdit>
#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <streambuf>

class QMimeData;

// The output pane of both windows. Output appended through appendOutput is
// laid out in blocks of at most kPieceChars characters: a longer line goes on
// in further blocks marked as its continuation, so that adding to a long line
// lays out one short block instead of the whole line again, and wrapping a
// line without break opportunities stays linear. Copying joins the pieces,
// so the copied text is the text as written. Past kMaxLines lines (blocks) or
// kMaxChars characters the oldest blocks make room for a notice at the top
// that earlier output was dropped.
class OutputPane : public QTextEdit {
  Q_OBJECT

 public:
  explicit OutputPane(QWidget* parent = nullptr);

  // Appends text at the end of the pane (any QTextEdit) and keeps the end
  // in view; then drops the oldest output when the pane is over a bound.
  static void appendOutput(QTextEdit* pane, const QString& text);
  // Drops everything in the pane for the notice: the output that follows
  // directly continues output that was dropped unseen.
  static void dropAllOutput(QTextEdit* pane);

  static constexpr int kPieceChars = 1024;
  static constexpr int kMaxLines = 100000;
  static constexpr int kMaxChars = 16000000;
  // The notice's text, without the line end.
  static QString dropNotice();

 protected:
  QMimeData* createMimeDataFromSelection() const override;

 private:
  // The text from position from to position to, with the pieces of long
  // lines joined.
  QString outputText(int from, int to) const;
};

// Forwards texts to the output pane on the thread the forwarder belongs to
// (the GUI thread).
class KorTextEdit : public QObject {
  Q_OBJECT

 public:
  explicit KorTextEdit(QObject* parent = nullptr);
  ~KorTextEdit() override;

  // Emits outText in the writer's thread and queues the text for the pane;
  // called by the stream buffers from any thread.
  void sendText(const QString& text);

  // Appends everything still pending to the pane, in slices between which
  // the window answers events (GUI thread).
  void drain();

  // Makes this forwarder queue its texts in other's pending buffer, so that
  // the texts of both reach the pane in the order they were written.
  void shareQueueWith(KorTextEdit* other) { sink_ = other; }

  // The output pane; not owned. Null after construction: texts are dropped
  // until it is set.
  QTextEdit* textEdit = nullptr;

  // Bounds of the pending output: past either, writers on other threads wait.
  static constexpr int kMaxPendingChars = 1024 * 1024;
  static constexpr int kMaxPendingLines = 8192;
  // Shortest time between two appends, and the time one append may take.
  static constexpr int kFlushIntervalMs = 40;
  static constexpr int kFlushBudgetMs = 25;

 Q_SIGNALS:
  // Each text as it is written, in the writer's thread.
  void outText(const QString& text);

 public Q_SLOTS:
  // Appends the text at the end of the pane and keeps it in view.
  void on_outText(const QString& text);

 private:
  void enqueue(const QString& text);
  bool overBound() const;
  // overBound, and whether any output is pending, under the lock
  bool overBoundNow();
  bool pendingNow();
  // A writer on the GUI thread past the bound: appends in budgeted slices,
  // answering events in between, until under the bound or stopped.
  void catchUp();
  // Called on the GUI thread when output is pending: appends now or after
  // the rest of the flush interval.
  void flushSoon();
  // Appends pending output for at most the flush budget; schedules the
  // next append while some is left.
  void flush();

  KorTextEdit* sink_ = this;
  std::mutex mutex_;
  std::condition_variable drained_;
  QString pending_;    // the output not yet appended starts at head_
  int head_ = 0;
  int pendingLines_ = 0;
  bool flushQueued_ = false;  // a flush is posted or timed
  bool closing_ = false;
  bool catchingUp_ = false;
  QTimer timer_;
  QElapsedTimer sinceFlush_;
};

// A character stream buffer without a put area: every write reaches overflow
// or xsputn and is sent to the forwarder at once.
class QTextEditStreamBuf : public std::basic_streambuf<char> {
 public:
  explicit QTextEditStreamBuf(KorTextEdit* forwarder) : forwarder_(forwarder) {}
  ~QTextEditStreamBuf() override = default;

 protected:
  // One character: sent as a one-character Latin-1 text.
  int_type overflow(int_type c) override;
  // A block: sent as one UTF-8 text.
  std::streamsize xsputn(const char* s, std::streamsize n) override;

 private:
  KorTextEdit* forwarder_;  // not owned
};

// The redirection of one run: creates the two forwarders (children of the
// window) bound to the pane, sharing one pending buffer, and points std::cout
// and std::cerr at them. restore() puts the previous stream buffers back;
// release() appends what is still pending and deletes the forwarders. The
// destructor does whatever is still left, so an early exit never leaves the
// standard streams pointing at freed buffers.
class StreamRedirect {
 public:
  StreamRedirect(QObject* window, QTextEdit* pane);
  ~StreamRedirect();
  StreamRedirect(const StreamRedirect&) = delete;
  StreamRedirect& operator=(const StreamRedirect&) = delete;

  void restore();
  void release();

 private:
  KorTextEdit* outForwarder_;
  KorTextEdit* errForwarder_;
  QTextEditStreamBuf outBuf_;
  QTextEditStreamBuf errBuf_;
  std::streambuf* oldOut_ = nullptr;
  std::streambuf* oldErr_ = nullptr;
  bool redirected_ = false;
};
