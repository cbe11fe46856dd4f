// The script manager: the script list with its headers, the option pairs of a
// run, a run's output in the pane, the host notices around it, and refusals
// while a script runs.
#include <gtest/gtest.h>

#include <cstdio>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>

#include <iostream>

#include "plugin/KorvelWin.h"
#include "plugin/OutputRedirect.h"
#include "plugin_test_util.h"
#include "runtime/run_state.h"

namespace {

const QByteArray kPrintArgs =
    "hanshu hs_rukou(lb canshu) { xun _, v in canshu { dyh(\"[%1]\" % v); } }\n";

class Manager : public ::testing::Test {
 protected:
  void SetUp() override {
    host.install();
    // start from an empty list whatever the script folder holds
    child<QTreeWidget>("treeWidget")->clear();
    ScriptHeadInfo none;
    none.need = 0;
    win.showScriptHeadInfo(none);
    host.commands.clear();
  }
  void TearDown() override { scriptRunning = false; }

  template <typename W>
  W* child(const char* name) {
    W* w = win.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QString pane() { return child<QTextEdit>("textEdit")->toPlainText(); }
  QString script(const QByteArray& source) {
    const QString path = dir.filePath(QStringLiteral("run.kor"));
    writeFile(path, source);
    return path;
  }

  FakeHost host;
  QTemporaryDir dir;
  KorvelWin win{nullptr};
};

TEST_F(Manager, OptionPairsArePassedOnlyWhenNotEmpty) {
  EXPECT_EQ(win.runArguments("/s.kor"), (QStringList{"korvel", "/s.kor"}));

  child<QLineEdit>("para2LineEdit")->setText(QStringLiteral("two"));
  EXPECT_EQ(win.runArguments("/s.kor"), (QStringList{"korvel", "/s.kor", "-p2", "two"}));

  child<QLineEdit>("para1LineEdit")->setText(QStringLiteral(" one "));
  child<QLineEdit>("para3LineEdit")->setText(QStringLiteral("three"));
  child<QLineEdit>("inputFileLineEdit")->setText(QStringLiteral("/in"));
  child<QLineEdit>("outputFileLineEdit")->setText(QStringLiteral("/out"));
  QComboBox* combo = child<QComboBox>("comboBox1");
  combo->addItems({"甲", "乙"});
  combo->setCurrentIndex(1);
  EXPECT_EQ(win.runArguments("/s.kor"),
            (QStringList{"korvel", "/s.kor", "-p1", " one ", "-p2", "two", "-p3", "three", "-i", "/in",
                         "-o", "/out", "-c", "乙", "-ci", "1"}));
}

// The offscreen platform opens no URLs: like a desktop without a file
// manager.
TEST_F(Manager, OpenScriptDirSaysWhenTheFolderCannotBeShown) {
  QString warning;
  QTimer::singleShot(0, [&warning] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      warning = box->text();
      box->close();
    }
  });
  child<QPushButton>("pushButton")->click();
  // the folder named is the script folder, or the program's folder while the
  // script folder does not exist (the script-list test, running beside this
  // one, makes and removes it)
  const QString expected = QStringLiteral("无法打开脚本目录 %1：没有可用的文件管理器");
  const QDir appDir(QCoreApplication::applicationDirPath());
  EXPECT_TRUE(warning == expected.arg(appDir.absolutePath()) ||
              warning == expected.arg(appDir.absoluteFilePath(QStringLiteral("plugin/korvel-scripts"))))
      << warning.toStdString();
  EXPECT_EQ(win.statusBar()->currentMessage(), warning);
}

TEST_F(Manager, EmptyChoiceIsNotPassed) {
  QComboBox* combo = child<QComboBox>("comboBox1");
  combo->addItems({"", "b"});
  combo->setCurrentIndex(0);
  EXPECT_EQ(win.runArguments("/s.kor"), (QStringList{"korvel", "/s.kor"}));
}

TEST_F(Manager, RunShowsTheOutputAndRestoresTheStreams) {
  std::streambuf* oldOut = std::cout.rdbuf();
  std::streambuf* oldErr = std::cerr.rdbuf();
  child<QTextEdit>("textEdit")->setPlainText(QStringLiteral("old text"));
  child<QLineEdit>("para1LineEdit")->setText(QStringLiteral("你好"));
  child<QLineEdit>("outputFileLineEdit")->setText(QStringLiteral("/tmp/o.txt"));
  win.runScript(script(kPrintArgs));
  EXPECT_EQ(pane(), QStringLiteral("[-p1]\n[你好]\n[-o]\n[/tmp/o.txt]\n\n\n程序执行完毕。\n"));
  EXPECT_EQ(std::cout.rdbuf(), oldOut);
  EXPECT_EQ(std::cerr.rdbuf(), oldErr);
  EXPECT_FALSE(scriptRunning);
  ASSERT_EQ(host.commands.size(), 2u);
  EXPECT_EQ(host.commands[0], std::make_pair(17, 1));
  EXPECT_EQ(host.commands[1], std::make_pair(17, 0));
  EXPECT_TRUE(win.findChildren<KorTextEdit*>().isEmpty());  // forwarders deleted
}

TEST_F(Manager, ErrorsOfTheRunAppearInThePane) {
  win.runScript(script("hanshu hs_rukou() { zs a = ; }\n"));
  EXPECT_FALSE(pane().isEmpty());
  EXPECT_FALSE(pane().contains(QStringLiteral("程序执行完毕")));
  win.runScript(dir.filePath(QStringLiteral("missing.kor")));
  EXPECT_TRUE(pane().startsWith(QStringLiteral("不存在的文件 ")));
  EXPECT_FALSE(scriptRunning);
}

TEST_F(Manager, UndecodableSourceIsReportedAndTheWindowRecovers) {
  // bytes that are neither UTF-8 nor GB18030 end the run before it starts
  win.runScript(script(QByteArray("hanshu hs_rukou() { dyh(\"") + QByteArray("\xff\xff\xff\x80", 4) +
                       "\"); }\n"));
  EXPECT_FALSE(scriptRunning);
  EXPECT_EQ(host.commands.back(), std::make_pair(17, 0));
  win.runScript(script("hanshu hs_rukou() { dyh(\"ok\"); }\n"));
  EXPECT_TRUE(pane().startsWith(QStringLiteral("ok\n")));
}

TEST_F(Manager, SecondRunIsRefusedWhileAScriptRuns) {
  child<QTextEdit>("textEdit")->setPlainText(QStringLiteral("kept"));
  scriptRunning = true;
  win.runScript(script(kPrintArgs));
  EXPECT_EQ(pane(), QStringLiteral("kept"));
  EXPECT_TRUE(host.commands.empty());
}

TEST_F(Manager, CloseIsRefusedWhileAScriptRuns) {
  int closed = 0;
  QObject::connect(&win, &KorvelWin::closeLibrary, [&closed](int code) { closed = code + 1; });
  win.show();
  scriptRunning = true;
  EXPECT_FALSE(win.close());
  EXPECT_EQ(win.statusBar()->currentMessage(), QStringLiteral("当前还有脚本还在执行中，请先中断！"));
  EXPECT_EQ(closed, 0);
  scriptRunning = false;
  EXPECT_TRUE(win.close());
  EXPECT_EQ(closed, 1);
}

TEST_F(Manager, StartWithoutSelectionOrRefusedByTheHost) {
  child<QPushButton>("startWorkBt")->click();
  EXPECT_EQ(win.statusBar()->currentMessage(), QStringLiteral("请先选中一个要执行的脚本！"));
  EXPECT_TRUE(host.commands.empty());

  QTreeWidget* tree = child<QTreeWidget>("treeWidget");
  auto* item = new QTreeWidgetItem(tree, QStringList{"x"});
  item->setData(0, Qt::UserRole + 1, script(kPrintArgs));
  tree->setCurrentItem(item);
  host.mayStart = false;
  QString warning;
  QTimer::singleShot(0, [&warning] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      warning = static_cast<QMessageBox*>(box)->text();
      box->close();
    }
  });
  child<QPushButton>("startWorkBt")->click();
  EXPECT_EQ(warning, QStringLiteral("目前只有主窗口才能执行korvel 脚本插件，请在主窗口中打开该插件！"));
  ASSERT_EQ(host.commands.size(), 1u);
  EXPECT_EQ(host.commands[0].first, 16);

  host.mayStart = true;
  child<QPushButton>("startWorkBt")->click();
  EXPECT_TRUE(pane().contains(QStringLiteral("程序执行完毕")));
}

// The script list of the script folder next to the executable. One test owns
// the folder, so parallel test processes never see it half written.
TEST(ScriptList, ListsTheScriptsWithTheirHeaders) {
  FakeHost host;
  host.install();
  QDir appDir(QCoreApplication::applicationDirPath());
  const QString folder = appDir.filePath(QStringLiteral("plugin/korvel-scripts"));
  QDir(folder).removeRecursively();
  ASSERT_TRUE(QDir().mkpath(folder));
  writeFile(folder + "/b.kor",
            "/*\nheadinfo-begin\nScriptName=second\nDesc=B\nneed=1\nstringPara1=bee\n"
            "comboxPara1=x,y\nComment=说明B\nheadinfo-end\n*/\n" +
                kPrintArgs);
  writeFile(folder + "/a.kor",
            "/*\nheadinfo-begin\nScriptName=first\nDesc=A\nAuthor=me\nVersion=2\nneed=1\n"
            "stringPara1=aaa\nheadinfo-end\n*/\n" +
                kPrintArgs);
  writeFile(folder + "/c.kor", "/*\nheadinfo-begin\nScriptName=third\nneed=0\nheadinfo-end\n*/\n");
  writeFile(folder + "/d.kor", "hanshu hs_rukou() {}\n");
  writeFile(folder + "/e.kor", "/*\nheadinfo-begin\nScriptName=second\nstringPara1=dup\nheadinfo-end\n*/\n");
  writeFile(folder + "/notes.txt", "not a script");
  {
    // a name that is not UTF-8 (a Latin-1 é) is listed and read as it is
    const QByteArray raw = QFile::encodeName(folder) + "/f\xE9.kor";
    FILE* f = std::fopen(raw.constData(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("/*\nheadinfo-begin\nScriptName=fifth\nheadinfo-end\n*/\n", f);
    std::fclose(f);
  }
  QDir(folder).mkdir(QStringLiteral("dir.kor"));

  {
    KorvelWin win(nullptr);
    auto* tree = win.findChild<QTreeWidget*>(QStringLiteral("treeWidget"));
    auto* para1 = win.findChild<QLineEdit*>(QStringLiteral("para1LineEdit"));
    auto* combo = win.findChild<QComboBox*>(QStringLiteral("comboBox1"));
    auto* text = win.findChild<QTextEdit*>(QStringLiteral("textEdit"));
    ASSERT_EQ(tree->topLevelItemCount(), 6);
    QStringList names;
    for (int i = 0; i < 6; ++i) names << tree->topLevelItem(i)->text(0);
    EXPECT_EQ(names, (QStringList{"first", "second", "third", "", "second", "fifth"}));
    QTreeWidgetItem* first = tree->topLevelItem(0);
    EXPECT_EQ(first->text(1), QStringLiteral("A"));
    EXPECT_EQ(first->text(2), QStringLiteral("me"));
    EXPECT_EQ(first->text(3), QStringLiteral("2"));
    EXPECT_EQ(first->data(0, Qt::UserRole + 1).toString(), QDir(folder).absoluteFilePath("a.kor"));

    // the first script is current and its header is shown
    EXPECT_EQ(tree->currentItem(), first);
    EXPECT_EQ(para1->text(), QStringLiteral("aaa"));

    // a need=0 script empties the fields and the pane
    QTreeWidgetItem* third = tree->topLevelItem(2);
    Q_EMIT tree->itemPressed(third, 0);
    EXPECT_TRUE(para1->text().isEmpty());
    EXPECT_EQ(combo->count(), 0);
    EXPECT_TRUE(text->toPlainText().isEmpty());

    // two scripts named "second": both show the later one's header
    Q_EMIT tree->itemPressed(tree->topLevelItem(1), 0);
    EXPECT_EQ(para1->text(), QStringLiteral("dup"));

    // a script without header empties the fields
    Q_EMIT tree->itemPressed(tree->topLevelItem(0), 0);
    Q_EMIT tree->itemPressed(tree->topLevelItem(3), 0);
    EXPECT_TRUE(para1->text().isEmpty());

    // Start Work runs the current script with the fields' options
    tree->setCurrentItem(first);
    Q_EMIT tree->itemPressed(first, 0);
    win.findChild<QPushButton*>(QStringLiteral("startWorkBt"))->click();
    EXPECT_TRUE(text->toPlainText().startsWith(QStringLiteral("[-p1]\n[aaa]\n")));
  }
  QDir(folder).removeRecursively();
}

}  // namespace
