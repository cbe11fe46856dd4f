// Output redirection: writes to std::cout and std::cerr during a run reach the
// output pane through the forwarder's pending buffer, from the GUI thread and
// from a worker thread, in order and within a bound, and the standard streams
// are restored afterwards.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <QThread>

#include <atomic>
#include <iostream>
#include <thread>

#include "plugin/OutputRedirect.h"
#include "runtime/run_state.h"

namespace {

TEST(OutputRedirect, BlockWritesArriveAsUtf8AfterEventsAreProcessed) {
  QTextEdit pane;
  KorTextEdit forwarder;
  forwarder.textEdit = &pane;
  QTextEditStreamBuf buf(&forwarder);
  std::ostream out(&buf);
  out << "程序执行完毕。" << 42;
  // queued: nothing reaches the pane before the event loop runs
  EXPECT_TRUE(pane.toPlainText().isEmpty());
  QCoreApplication::processEvents();
  EXPECT_EQ(pane.toPlainText(), QStringLiteral("程序执行完毕。42"));
}

TEST(OutputRedirect, LineEndArrivesAsOneCharacterText) {
  KorTextEdit forwarder;
  QSignalSpy spy(&forwarder, &KorTextEdit::outText);
  QTextEditStreamBuf buf(&forwarder);
  std::ostream out(&buf);
  out << "ab" << std::endl;
  out.put(char(0xE9));  // a single byte is a Latin-1 character
  ASSERT_EQ(spy.count(), 3);
  EXPECT_EQ(spy.at(0).at(0).toString(), QStringLiteral("ab"));
  EXPECT_EQ(spy.at(1).at(0).toString(), QStringLiteral("\n"));
  EXPECT_EQ(spy.at(2).at(0).toString(), QString(QChar(0xE9)));
}

TEST(OutputRedirect, ForwarderWithoutPaneSwallowsTexts) {
  KorTextEdit forwarder;
  QTextEditStreamBuf buf(&forwarder);
  std::ostream out(&buf);
  out << "lost" << std::endl;
  QCoreApplication::processEvents();  // must not crash
  forwarder.on_outText(QStringLiteral("also lost"));
  SUCCEED();
}

TEST(OutputRedirect, BothStreamsGoToThePaneAndAreRestored) {
  std::streambuf* oldOut = std::cout.rdbuf();
  std::streambuf* oldErr = std::cerr.rdbuf();
  QTextEdit pane;
  QObject window;
  {
    StreamRedirect redirect(&window, &pane);
    EXPECT_NE(std::cout.rdbuf(), oldOut);
    EXPECT_NE(std::cerr.rdbuf(), oldErr);
    std::cout << "out ";
    std::cerr << "err";
    redirect.restore();
    EXPECT_EQ(std::cout.rdbuf(), oldOut);
    EXPECT_EQ(std::cerr.rdbuf(), oldErr);
    QCoreApplication::processEvents();
    redirect.release();
    EXPECT_TRUE(window.findChildren<KorTextEdit*>().isEmpty());
  }
  EXPECT_EQ(pane.toPlainText(), QStringLiteral("out err"));
}

TEST(OutputRedirect, AnEarlyExitStillRestoresTheStreams) {
  std::streambuf* oldOut = std::cout.rdbuf();
  QTextEdit pane;
  QObject window;
  { StreamRedirect redirect(&window, &pane); }
  EXPECT_EQ(std::cout.rdbuf(), oldOut);
  EXPECT_TRUE(window.findChildren<KorTextEdit*>().isEmpty());
}

TEST(OutputRedirect, WorkerThreadWritesAreAppendedOnTheGuiThread) {
  QTextEdit pane;
  QObject window;
  StreamRedirect redirect(&window, &pane);
  std::thread worker([] {
    for (int i = 0; i < 100; ++i) std::cout << "行" << i << '\n';
  });
  worker.join();
  redirect.restore();
  QCoreApplication::processEvents();
  redirect.release();
  const QStringList lines = pane.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 100);
  EXPECT_EQ(lines.first(), QStringLiteral("行0"));
  EXPECT_EQ(lines.last(), QStringLiteral("行99"));
}

TEST(OutputRedirect, TextsStillPendingAtReleaseReachThePaneInWritingOrder) {
  QTextEdit pane;
  QObject window;
  StreamRedirect redirect(&window, &pane);
  std::cout << "a";
  std::cerr << "b";
  std::cout << "c";
  redirect.restore();
  redirect.release();  // before the events are processed
  EXPECT_EQ(pane.toPlainText(), QStringLiteral("abc"));
}

// A worker printing faster than the pane takes it waits once the pending
// output passes its bound, and a stop request lets it go on.
TEST(OutputRedirect, AWorkerWaitsWhilePendingOutputIsOverItsBound) {
  QTextEdit pane;
  QObject window;
  StreamRedirect redirect(&window, &pane);
  constexpr int kLines = KorTextEdit::kMaxPendingLines * 2;
  std::atomic<int> written{0};
  std::thread worker([&written] {
    for (int i = 0; i < kLines; ++i) {
      std::cout << "行" << i << '\n';
      written.fetch_add(1);
    }
  });
  QThread::msleep(300);  // the GUI thread takes nothing meanwhile
  EXPECT_LE(written.load(), KorTextEdit::kMaxPendingLines + 1);
  abortRequested.exchange(true);
  worker.join();
  abortRequested.exchange(false);
  EXPECT_EQ(written.load(), kLines);
  redirect.restore();
  QCoreApplication::processEvents();
  redirect.release();
  const QStringList lines = pane.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), kLines);
  EXPECT_EQ(lines.last(), QStringLiteral("行%1").arg(kLines - 1));
}

// A line longer than a piece is shown in pieces; a selection copied from
// anywhere in it, across piece ends and into the next line, is the text as
// written.
TEST(OutputPane, CopiesLongLinesAsWritten) {
  OutputPane pane;
  QString line;
  for (int i = 0; i < 3000; ++i) line += QString::number(i % 10);
  const QString text = line + QStringLiteral("\n短\n");
  OutputPane::appendOutput(&pane, text.left(1500));  // the rest goes on in the piece begun here
  OutputPane::appendOutput(&pane, text.mid(1500));
  ASSERT_EQ(pane.document()->blockCount(), 3 + 2);
  // the document position of a text position: one block break before each
  // piece after the first (at a piece's end: before the break)
  auto at = [](int i, bool pieceEnd) {
    int pos = i;
    for (int cut : {OutputPane::kPieceChars, 2 * OutputPane::kPieceChars}) pos += pieceEnd ? i > cut : i >= cut;
    return pos;
  };
  const int cases[][2] = {{0, 3000}, {0, 3003}, {1023, 1025}, {1024, 1025}, {1024, 2049},
                          {2047, 3002}, {3000, 3001}, {3001, 3003}};
  for (const auto& c : cases) {
    for (bool pieceEnd : {false, true}) {
      QTextCursor cursor(pane.document());
      cursor.setPosition(at(c[0], pieceEnd));
      cursor.setPosition(at(c[1], pieceEnd), QTextCursor::KeepAnchor);
      pane.setTextCursor(cursor);
      pane.copy();
      EXPECT_EQ(QApplication::clipboard()->text().toStdString(), text.mid(c[0], c[1] - c[0]).toStdString())
          << c[0] << "-" << c[1] << (pieceEnd ? " from a piece's end" : "");
    }
  }
}

// Past either bound the pane drops its oldest lines, keeps most of the bound
// of the latest ones, whole, and says so in its first line.
TEST(OutputPane, KeepsTheLatestOutputWithinItsBounds) {
  const int lines = OutputPane::kMaxLines + 10;
  const int longLines = OutputPane::kMaxChars / 3000 + 10;
  for (const auto& [count, length] : {std::pair<int, int>{lines, 4}, {longLines, 3000}}) {
    OutputPane pane;
    const QString filler(length, QLatin1Char('x'));
    QString batch;
    for (int i = 1; i <= count; ++i) {
      batch += QString::number(i) + filler + QLatin1Char('\n');
      if (batch.size() > 100000 || i == count) {
        OutputPane::appendOutput(&pane, batch);
        batch.clear();
      }
    }
    const int chars = pane.document()->characterCount();
    EXPECT_LE(chars, OutputPane::kMaxChars);
    pane.selectAll();
    pane.copy();
    const QStringList shown = QApplication::clipboard()->text().split(QLatin1Char('\n'));
    ASSERT_GT(shown.size(), 2);
    EXPECT_EQ(shown.first(), OutputPane::dropNotice());
    const int kept = shown.size() - 2;  // without the notice and the empty last line
    EXPECT_LE(kept, OutputPane::kMaxLines);
    EXPECT_TRUE(kept >= OutputPane::kMaxLines * 8 / 10 || chars >= OutputPane::kMaxChars * 8 / 10) << kept;
    for (int i = 1; i <= kept; ++i)
      ASSERT_EQ(shown.at(i), QString::number(count - kept + i) + filler) << i;
  }
}

}  // namespace
