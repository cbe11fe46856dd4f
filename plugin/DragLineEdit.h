// A line edit that takes a file dropped on it: the file's path becomes its
// text and it acts as if Enter was pressed.
#pragma once

#include <QLineEdit>

class DragLineEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit DragLineEdit(QWidget* parent = nullptr);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};
