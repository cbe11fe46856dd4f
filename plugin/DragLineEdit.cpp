#include "DragLineEdit.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

DragLineEdit::DragLineEdit(QWidget* parent) : QLineEdit(parent) { setAcceptDrops(true); }

void DragLineEdit::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasFormat(QStringLiteral("text/uri-list")))
    event->accept();
  else
    event->ignore();
}

void DragLineEdit::dragMoveEvent(QDragMoveEvent*) {}

void DragLineEdit::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.isEmpty()) return;
  const QString path = urls.first().toLocalFile();
  // a folder is no input or output file
  if (path.isEmpty() || !QFileInfo(path).isFile()) return;
  setText(path);
  event->accept();
  Q_EMIT returnPressed();
}
