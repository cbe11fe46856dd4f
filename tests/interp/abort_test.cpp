// A stop request ends a running script at its next block entry or loop
// iteration: the run ends with the interrupt message, never hangs.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <sstream>
#include <thread>

#include "interpreter/RunDriver.h"
#include "runtime/run_state.h"

namespace {

struct RunResult {
  std::string out;
  std::string err;
};

// Runs the script and keeps asking it to stop (the driver clears the flag
// when the run starts) until the run has returned; with `startWhen`, only
// once that file exists.
RunResult runAndStop(const char* source, const QString& startWhen = QString()) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("stop.kor"));
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(source);
  file.close();

  std::ostringstream out, err;
  std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
  std::atomic<bool> done{false};
  std::thread stopper([&done, startWhen] {
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (startWhen.isEmpty() || QFile::exists(startWhen)) abortRequested.exchange(true);
    }
  });
  korvelMain(nullptr, QStringList{QStringLiteral("korvel"), path}, ScriptFile);
  done.store(true);
  stopper.join();
  abortRequested.exchange(false);
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  return {out.str(), err.str()};
}

const std::string kInterrupted = "用户中断脚本继续执行,终止执行 ...";

TEST(StopRequest, EndsAnEndlessLoopWithABlockBody) {
  RunResult r = runAndStop("hanshu hs_rukou() { zs i = 0; while (zhen) { i++; } }");
  EXPECT_NE(r.err.find(kInterrupted), std::string::npos) << r.err;
}

TEST(StopRequest, EndsAnEndlessLoopWithoutABlock) {
  // The body is a single statement: no block is entered, the loop itself
  // notices the request.
  RunResult r = runAndStop("hanshu hs_rukou() { zs i = 0; while (zhen) i++; }");
  EXPECT_NE(r.err.find(kInterrupted), std::string::npos) << r.err;
}

TEST(StopRequest, EndsACountedLoopAndAForInLoop) {
  RunResult r = runAndStop(
      "hanshu hs_rukou() { lb l = [1, 2, 3];\n"
      "  xun (zs i = 0; zhen; i++) { xun k, v in l i++; } }");
  EXPECT_NE(r.err.find(kInterrupted), std::string::npos) << r.err;
}

TEST(StopRequest, EndsLoopsInsideCalls) {
  RunResult r = runAndStop(
      "hanshu spin(zs n) (zs) { while (n >= 0) { n++; } fanhui n; }\n"
      "hanshu hs_rukou() { dyh(spin(1)); }");
  EXPECT_NE(r.err.find(kInterrupted), std::string::npos) << r.err;
  // An interrupted run is not a failed one: the driver reports it finished.
  EXPECT_NE(r.out.find("程序执行完毕。"), std::string::npos) << r.out;
}

// A command given up on is ended with everything it started: it runs in a
// process group of its own, and the whole group is killed.
TEST(StopRequest, EndsAWaitedCommandWithItsChildren) {
  QTemporaryDir dir;
  const QString pidFile = dir.filePath(QStringLiteral("sleep.pid"));
  const std::string source = "hanshu hs_rukou() { kor.exec(\"sh -c 'sleep 97 & echo $! > " +
                             pidFile.toStdString() + "; wait'\"); }";
  RunResult r = runAndStop(source.c_str(), pidFile);
  EXPECT_NE(r.out.find("失败！"), std::string::npos) << r.out;  // the command was given up on

  QFile file(pidFile);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const pid_t sleeper = pid_t(file.readAll().trimmed().toLongLong());
  ASSERT_GT(sleeper, 0);
  // The kill is sent before the run returns; give the system time to carry
  // it out. A dead child not yet reaped by its new parent counts as ended.
  auto running = [sleeper] {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(sleeper));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray fields = stat.readAll();
    return !fields.mid(fields.lastIndexOf(')') + 1).trimmed().startsWith('Z');
  };
  for (int i = 0; i < 300 && running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const bool stillRunning = running();
  if (stillRunning) ::kill(sleeper, SIGKILL);
  EXPECT_FALSE(stillRunning) << "the command's child survived";
}

}  // namespace
