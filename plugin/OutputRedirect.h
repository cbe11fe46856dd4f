// Redirection of the standard streams into a window's output pane.
//
// For the length of a run the window that starts it points std::cout and
// std::cerr at two QTextEditStreamBuf objects. Each write becomes a QString
// handed to a KorTextEdit forwarder, which crosses to the GUI thread through a
// queued signal and appends the text to the pane. The same path serves a run
// on the GUI thread and a run on a worker thread.
#pragma once

#include <QObject>
#include <QString>

#include <streambuf>

class QTextEdit;

// Forwards texts to the output pane on the thread the forwarder belongs to
// (the GUI thread).
class KorTextEdit : public QObject {
  Q_OBJECT

 public:
  explicit KorTextEdit(QObject* parent = nullptr);

  // Emits outText; called by the stream buffers from any thread.
  void sendText(const QString& text);

  // The output pane; not owned. Null after construction: texts are dropped
  // until it is set.
  QTextEdit* textEdit = nullptr;

 Q_SIGNALS:
  void outText(const QString& text);

 public Q_SLOTS:
  void on_outText(const QString& text);
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
// window) bound to the pane and points std::cout and std::cerr at them.
// restore() puts the previous stream buffers back; release() deletes the
// forwarders, dropping what is still queued, so the window processes pending
// events between the two. The destructor does whatever is still left, so an
// early exit never leaves the standard streams pointing at freed buffers.
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
