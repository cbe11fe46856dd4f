// Deep and long scripts run on a thread with a small stack (the console runs
// scripts on a worker thread, whose stack may be 1 MB): every run ends with
// its result or with the nesting or stack message, never with a crash.
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

std::string runOnSmallStack(const std::string& body) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("deep.kor"));
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(("hanshu f(zs x) (zs) { fanhui x; }\nhanshu g(zs n) (zs) { sf n == 0 { fanhui " +
              repeat("1 + ", 20000) + "1; } fanhui g(n - 1); }\nhanshu hs_rukou() {\n" + body +
              "\n}\n")
                 .c_str());
  file.close();
  std::ostringstream out;
  std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* oldErr = std::cerr.rdbuf(out.rdbuf());
  QThread* worker = QThread::create([&path] {
    korvelMain(nullptr, QStringList{QStringLiteral("korvel"), path}, ScriptFile);
  });
  worker->setStackSize(1024 * 1024);
  worker->start();
  worker->wait();
  delete worker;
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  return out.str();
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
  };
  for (const auto& c : cases) {
    const std::string out = runOnSmallStack(c.body);
    const bool ended = out.find("程序执行完毕") != std::string::npos ||
                       out.find("嵌套") != std::string::npos;
    EXPECT_TRUE(ended) << c.name << "\n" << out.substr(out.size() > 600 ? out.size() - 600 : 0);
  }
}
