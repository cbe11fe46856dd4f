// Deep and long scripts and deeply nested data run on a thread with a small
// stack (the console runs scripts on a worker thread, whose stack may be
// 1 MB): every run ends with its result or with the nesting or stack message,
// never with a crash, and leaves nothing behind for the next run.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <iostream>
#include <sstream>
#include <string>

#include "interpreter/RunDriver.h"
#include "runtime/run_state.h"

namespace {

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Runs a script source through korvelMain on a thread with a 1 MB stack and
// returns everything it printed (and the text of anything thrown out of it).
std::string runSourceOnSmallStack(const std::string& source) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("deep.kor"));
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(source.c_str());
  file.close();
  std::ostringstream out;
  std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* oldErr = std::cerr.rdbuf(out.rdbuf());
  QThread* worker = QThread::create([&path, &out] {
    try {
      korvelMain(nullptr, QStringList{QStringLiteral("korvel"), path}, ScriptFile);
    } catch (std::exception& e) {
      out << "thrown out of korvelMain: " << e.what();
    }
  });
  worker->setStackSize(1024 * 1024);
  worker->start();
  worker->wait();
  delete worker;
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  return out.str();
}

std::string runOnSmallStack(const std::string& body) {
  return runSourceOnSmallStack(
      "hanshu f(zs x) (zs) { fanhui x; }\nhanshu g(zs n) (zs) { sf n == 0 { fanhui " +
      repeat("1 + ", 20000) + "1; } fanhui g(n - 1); }\nhanshu hs_rukou() {\n" + body + "\n}\n");
}

}  // namespace

TEST(DeepInputOnWorkerThread, EndsWithResultOrMessage) {
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"parentheses", "zs a = " + repeat("(", 999) + "1" + repeat(")", 999) + ";"},
      {"calls", "zs a = " + repeat("f(", 999) + "1" + repeat(")", 999) + ";"},
      {"blocks", repeat("{", 999) + repeat("}", 999)},
      {"not", "bl a = " + repeat("!", 999) + "zhen;"},
      {"deeper than the limit", "zs a = " + repeat("f(", 20000) + "1" + repeat(")", 20000) + ";"},
      {"flat sum", "zs a = " + repeat("1 + ", 30000) + "1;"},
      {"sum in deep recursion", "dyh(g(900));"},
      // data nested far deeper than any code: copied by a for-in, printed and
      // released at the end of the run
      {"nested lists",
       "lb l = []; xun (zs i = 0; i < 100000; i++) { l = [l]; }\n"
       "xun i, v in l { dyh(i); } zfc s = \"%1\" % l; dyh(s.size());"},
      {"nested dicts",
       "zd d = {}; xun (zs i = 0; i < 50000; i++) { d = {\"k\": [d]}; }\n"
       "zd e = d.copy(); xun k, v in e { dyh(k); } zfc s = \"%1\" % d; dyh(s.size());"},
  };
  for (const auto& c : cases) {
    const std::string out = runOnSmallStack(c.body);
    const bool ended = out.find("程序执行完毕") != std::string::npos ||
                       out.find("嵌套") != std::string::npos;
    EXPECT_TRUE(ended) << c.name << "\n" << out.substr(out.size() > 600 ? out.size() - 600 : 0);
  }
}

// Several runs in one process, bad ones first: a run that fails, whichever
// way, leaves nothing that changes the next.
TEST(RunsInOneProcess, NoRunAffectsTheNext) {
  const std::string good =
      "quanju_dingyi { zs a = 7; }\nhanshu hs_rukou() (zs) { dyh(a); fanhui 0; }\n";
  const struct {
    std::string source;
    const char* expected;
  } runs[] = {
      {"hanshu hs_rukou() { }\nhanshu RegExp() { }\n", "行号 2 函数名 RegExp 是系统保留的名称"},
      {"hanshu hs_rukou() (zs) { fanhui 1; }\nhanshu cmain() { }\n",
       "行号 2 函数名 cmain 是系统保留的名称"},
      {"hanshu hs_rukou() { dyh(\"x\"); }\nhanshu PEdit() { }\n", "函数名 PEdit"},
      {good, "7\n\n\n程序执行完毕。"},
      {good, "7\n\n\n程序执行完毕。"},
  };
  for (const auto& r : runs) {
    const std::string out = runSourceOnSmallStack(r.source);
    EXPECT_NE(out.find(r.expected), std::string::npos) << r.source << "\n" << out;
  }
}
