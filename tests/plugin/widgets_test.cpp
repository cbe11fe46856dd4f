// The script manager's smaller parts: the file fields that take a dropped
// file, and the search through the script list.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QInputDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include "plugin/DragLineEdit.h"
#include "plugin/KorvelWin.h"
#include "plugin_test_util.h"

namespace {

bool drop(DragLineEdit& edit, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  // a drop goes to the widget that accepted the drag's entry
  QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&edit, &enter);
  QDropEvent event(QPointF(1, 1), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  event.setAccepted(false);
  QApplication::sendEvent(&edit, &event);
  return event.isAccepted();
}

TEST(DragLineEdit, TakesADroppedFileOnly) {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("in.txt"));
  writeFile(file, "x");
  DragLineEdit edit;
  EXPECT_TRUE(edit.acceptDrops());
  QSignalSpy entered(&edit, &QLineEdit::returnPressed);
  edit.setText(QStringLiteral("before"));

  EXPECT_FALSE(drop(edit, {QUrl::fromLocalFile(dir.path())}));  // a folder
  EXPECT_FALSE(drop(edit, {QUrl(QStringLiteral("https://example.org/a.txt"))}));
  EXPECT_FALSE(drop(edit, {QUrl::fromLocalFile(dir.filePath(QStringLiteral("missing.txt")))}));
  EXPECT_EQ(edit.text(), QStringLiteral("before"));
  EXPECT_EQ(entered.count(), 0);

  EXPECT_TRUE(drop(edit, {QUrl::fromLocalFile(file), QUrl::fromLocalFile(dir.path())}));
  EXPECT_EQ(edit.text(), file);
  EXPECT_EQ(entered.count(), 1);
}

TEST(DragLineEdit, DragIsAcceptedOnlyForUriLists) {
  DragLineEdit edit;
  QMimeData urls;
  urls.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp"))});
  QDragEnterEvent withUrls(QPoint(1, 1), Qt::CopyAction, &urls, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&edit, &withUrls);
  EXPECT_TRUE(withUrls.isAccepted());
  QMimeData text;
  text.setText(QStringLiteral("plain"));
  QDragEnterEvent withText(QPoint(1, 1), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&edit, &withText);
  EXPECT_FALSE(withText.isAccepted());
}

// Answers the search dialogs in turn: each answer either types a keyword and
// presses 查找, or closes the dialog; a 查找完毕 question is answered with
// the next answer's yes/no.
struct SearchDriver {
  QStringList answers;  // a keyword, "<close>", "<yes>" or "<no>"
  QStringList selected;  // the selected script after each answered dialog
  QTreeWidget* tree = nullptr;

  void start() {
    QTimer::singleShot(10, [this] { step(); });
  }
  void step() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) {
      if (!answers.isEmpty()) start();
      return;
    }
    if (answers.isEmpty()) {
      modal->close();
      return;
    }
    const QString a = answers.takeFirst();
    if (auto* input = qobject_cast<QInputDialog*>(modal)) {
      const auto items = tree->selectedItems();
      selected << (items.isEmpty() ? QString() : items.first()->text(0));
      if (a == QLatin1String("<close>")) {
        input->reject();
        return;
      }
      input->setTextValue(a);
      start();
      input->accept();
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      selected << box->windowTitle();
      start();
      box->button(a == QLatin1String("<yes>") ? QMessageBox::Yes : QMessageBox::No)->click();
    }
  }
};

TEST(ScriptSearch, FindsNameOrDescriptionAndStartsOverOnRequest) {
  FakeHost host;
  host.install();
  KorvelWin win(nullptr);
  auto* tree = win.findChild<QTreeWidget*>(QStringLiteral("treeWidget"));
  tree->clear();
  for (auto [name, desc] : {std::pair<const char*, const char*>{"alpha", "first tool"},
                            {"beta", "uses alpha"},
                            {"gamma", "other"}})
    new QTreeWidgetItem(tree, QStringList{name, desc});

  SearchDriver driver;
  driver.tree = tree;
  // alpha, then beta (by its description), then nothing left: start over,
  // alpha again; then an empty keyword shows the dialog again; close.
  driver.answers = QStringList{"alpha", "alpha", "alpha", "<yes>", "", "<close>"};
  driver.start();
  QMetaObject::invokeMethod(&win, "on_search");
  EXPECT_EQ(driver.selected,
            (QStringList{"", "alpha", "beta", "查找完毕", "alpha", "alpha"}));
  ASSERT_EQ(tree->selectedItems().size(), 1);
  EXPECT_EQ(tree->selectedItems().first()->text(0), QStringLiteral("alpha"));
}

}  // namespace
