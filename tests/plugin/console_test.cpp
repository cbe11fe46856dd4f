// The console: runs the current editor's text on a worker thread while the
// GUI thread shows its output, stops it on request, and refuses a second run
// or closing while a script runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <Qsci/qsciscintilla.h>

#include <atomic>
#include <iostream>

#include "plugin/KorvelConsole.h"
#include "plugin/OutputRedirect.h"
#include "plugin_test_util.h"
#include "runtime/run_state.h"

namespace {

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    host.editor = &editor;
    host.install();
    console = new KorvelConsole(&hostWindow);
    pane = console->findChild<QTextEdit*>(QStringLiteral("textEdit"));
    params = console->findChild<QLineEdit*>(QStringLiteral("paraLineEdit"));
    console->findChild<QCheckBox*>(QStringLiteral("workDirCheckBox"))->setChecked(false);
    host.commands.clear();
  }
  void TearDown() override { scriptRunning = false; }

  void start() { console->findChild<QToolButton*>(QStringLiteral("startBt"))->click(); }

  FakeHost host;
  QWidget hostWindow;
  QsciScintilla editor;
  KorvelConsole* console = nullptr;  // child of hostWindow
  QTextEdit* pane = nullptr;
  QLineEdit* params = nullptr;
};

TEST_F(Console, RunsTheEditorTextWithTheParameterWords) {
  editor.setText(QStringLiteral(
      "hanshu hs_rukou(lb canshu) { dyh(canshu.size()); xun _, v in canshu { dyh(\"[%1]\" % v); } }"));
  params->setText(QStringLiteral("  -a 'two words' \"三\"  "));
  std::streambuf* oldOut = std::cout.rdbuf();
  start();
  EXPECT_EQ(pane->toPlainText(), QStringLiteral("3\n[-a]\n[two words]\n[三]\n\n\n程序执行完毕。\n"));
  EXPECT_EQ(runFinished.load(), 1);
  EXPECT_FALSE(scriptRunning);
  EXPECT_EQ(std::cout.rdbuf(), oldOut);
  EXPECT_TRUE(console->findChildren<KorTextEdit*>().isEmpty());
  EXPECT_TRUE(console->findChild<QToolButton*>(QStringLiteral("startBt"))->isEnabled());
  EXPECT_EQ(host.commands, (std::vector<std::pair<int, int>>{{17, 1}, {17, 0}}));
}

TEST_F(Console, EmptyParameterLineRunsWithTheTwoFixedArguments) {
  editor.setText(QStringLiteral("hanshu hs_rukou(lb canshu) { dyh(canshu.size()); }"));
  start();
  EXPECT_TRUE(pane->toPlainText().startsWith(QStringLiteral("0\n")));
}

TEST_F(Console, ParameterLineWithAnUnpairedQuoteDoesNotRun) {
  editor.setText(QStringLiteral("hanshu hs_rukou() { dyh(\"ran\"); }"));
  params->setText(QStringLiteral("a 'b"));
  start();
  EXPECT_FALSE(pane->toPlainText().contains(QStringLiteral("ran")));
  EXPECT_TRUE(pane->toPlainText().contains(QStringLiteral("格式错误")));
  EXPECT_TRUE(host.commands.empty());
  EXPECT_FALSE(scriptRunning);
}

TEST_F(Console, RunsOnAWorkerThreadAndStopsOnRequest) {
  editor.setText(QStringLiteral(
      "hanshu hs_rukou() { zs i = 0; while (zhen) { i++; sf i % 2000 == 0 { dyh(i); } } }"));
  std::atomic<QThread*> writer{nullptr};
  bool sawRunning = false;
  int ticks = 0;
  QTimer poll;
  // The GUI thread is free while the script runs: output forwarded from the
  // worker reaches the pane, and the stop button works.
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (++ticks == 1) {
      sawRunning = scriptRunning && runFinished.load() == 0;
      for (KorTextEdit* f : console->findChildren<KorTextEdit*>())
        QObject::connect(f, &KorTextEdit::outText, f,
                         [&writer](const QString&) { writer = QThread::currentThread(); },
                         Qt::DirectConnection);
      return;
    }
    if ((writer.load() && pane->toPlainText().contains(QStringLiteral("2000\n"))) || ticks > 400) {
      poll.stop();
      console->findChild<QToolButton*>(QStringLiteral("abortBt"))->click();
    }
  });
  poll.start(25);
  start();
  EXPECT_TRUE(sawRunning);
  ASSERT_NE(writer.load(), nullptr);
  EXPECT_NE(writer.load(), QThread::currentThread());
  const QString text = pane->toPlainText();
  EXPECT_TRUE(text.startsWith(QStringLiteral("2000\n"))) << text.left(200).toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("用户中断脚本继续执行")));
  EXPECT_TRUE(text.endsWith(QStringLiteral("\n\n程序执行完毕。\n")));
  EXPECT_EQ(runFinished.load(), 1);
  EXPECT_FALSE(scriptRunning);
}

TEST_F(Console, ScriptThatDrivesTheHostRunsOnTheGuiThread) {
  host.filePath = QStringLiteral("/docs/a.kor");
  editor.setText(QStringLiteral(
      "hanshu hs_rukou() { PHuxMain m = hux.getMainWin(); dyh(m.curEditFilePath()); }"));
  start();
  EXPECT_EQ(pane->toPlainText(), QStringLiteral("/docs/a.kor\n\n\n程序执行完毕。\n"));
  ASSERT_EQ(host.codes(), (std::vector<int>{17, 12, 17}));
  for (QThread* t : host.commandThreads) EXPECT_EQ(t, QThread::currentThread());
}

TEST_F(Console, StartAndCloseAreRefusedWhileAScriptRuns) {
  editor.setText(QStringLiteral("hanshu hs_rukou() { dyh(\"ran\"); }"));
  scriptRunning = true;
  start();
  EXPECT_TRUE(pane->toPlainText().isEmpty());
  EXPECT_TRUE(host.commands.empty());

  int closed = 0;
  QObject::connect(console, &KorvelConsole::closeLibrary, [&closed](int code) { closed = code + 1; });
  console->show();
  QString warning;
  QTimer::singleShot(0, [&warning] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      warning = static_cast<QMessageBox*>(box)->text();
      box->close();
    }
  });
  EXPECT_FALSE(console->close());
  EXPECT_EQ(warning, QStringLiteral("当前还有脚本还在执行中，请先中断执行！"));
  EXPECT_EQ(closed, 0);
  scriptRunning = false;
  EXPECT_TRUE(console->close());
  EXPECT_EQ(closed, 1);
}

TEST_F(Console, WorkingDirectoryFollowsTheCurrentFileWhenChecked) {
  QTemporaryDir dir;
  const QString before = QDir::currentPath();
  host.filePath = dir.filePath(QStringLiteral("doc.kor"));
  editor.setText(QStringLiteral("hanshu hs_rukou() {}"));
  start();
  EXPECT_EQ(QDir::currentPath(), before);  // unchecked: left alone

  console->findChild<QCheckBox*>(QStringLiteral("workDirCheckBox"))->setChecked(true);
  start();
  EXPECT_EQ(QDir(QDir::currentPath()).canonicalPath(), QDir(dir.path()).canonicalPath());
  QDir::setCurrent(before);
}

TEST_F(Console, WithoutAnEditorTheSourceIsLeftAsItIs) {
  host.editor = nullptr;
  start();
  // the driver emptied the source after the previous run: nothing to run
  EXPECT_TRUE(pane->toPlainText().contains(QStringLiteral("没有发现入口函数")));
  EXPECT_FALSE(scriptRunning);
}

TEST(ConsoleTheme, AsksTheHostForTheThemeAndStartsWithTheBoxChecked) {
  FakeHost host;
  host.dark = true;
  host.install();
  QWidget hostWindow;
  auto* console = new KorvelConsole(&hostWindow);
  EXPECT_EQ(host.codes(), (std::vector<int>{19}));
  EXPECT_TRUE(console->styleSheet().contains(QStringLiteral("#333333")));
  EXPECT_TRUE(console->findChild<QCheckBox*>(QStringLiteral("workDirCheckBox"))->isChecked());
  EXPECT_EQ(console->findChild<QToolButton*>(QStringLiteral("startBt"))->toolTip(),
            QStringLiteral("运行当前kor脚本"));
  // the background is painted and the icons are light: no host resources
  // here, so they are our own
  EXPECT_TRUE(console->testAttribute(Qt::WA_StyledBackground));
  for (const char* name : {"startBt", "abortBt", "clearBt", "closeBt"}) {
    const QImage icon = console->findChild<QToolButton*>(QString::fromLatin1(name))->icon().pixmap(32).toImage();
    int lightest = 0;
    for (int y = 0; y < icon.height(); ++y)
      for (int x = 0; x < icon.width(); ++x)
        if (qAlpha(icon.pixel(x, y)) == 255) lightest = qMax(lightest, qGray(icon.pixel(x, y)));
    EXPECT_GT(lightest, 200) << name;
  }
  EXPECT_EQ(console->findChild<QTextEdit*>(QStringLiteral("textEdit"))->font().family(),
            QFontDatabase::systemFont(QFontDatabase::FixedFont).family());

  host.dark = false;
  auto* light = new KorvelConsole(&hostWindow);
  EXPECT_TRUE(light->styleSheet().isEmpty());
}

}  // namespace
