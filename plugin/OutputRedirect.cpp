#include "OutputRedirect.h"

#include <QTextEdit>

#include <iostream>
#include <string>

KorTextEdit::KorTextEdit(QObject* parent) : QObject(parent) {
  connect(this, &KorTextEdit::outText, this, &KorTextEdit::on_outText, Qt::QueuedConnection);
}

void KorTextEdit::sendText(const QString& text) { Q_EMIT outText(text); }

void KorTextEdit::on_outText(const QString& text) {
  if (!textEdit) return;
  textEdit->insertPlainText(text);
  textEdit->ensureCursorVisible();
}

QTextEditStreamBuf::int_type QTextEditStreamBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return c;
  forwarder_->sendText(QString(QChar::fromLatin1(static_cast<char>(c))));
  return c;
}

std::streamsize QTextEditStreamBuf::xsputn(const char* s, std::streamsize n) {
  forwarder_->sendText(QString::fromStdString(std::string(s, static_cast<size_t>(n))));
  return n;
}

StreamRedirect::StreamRedirect(QObject* window, QTextEdit* pane)
    : outForwarder_(new KorTextEdit(window)),
      errForwarder_(new KorTextEdit(window)),
      outBuf_(outForwarder_),
      errBuf_(errForwarder_) {
  outForwarder_->textEdit = pane;
  errForwarder_->textEdit = pane;
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
  delete outForwarder_;
  delete errForwarder_;
  outForwarder_ = nullptr;
  errForwarder_ = nullptr;
}
