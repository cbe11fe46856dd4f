// Whole runs of fuzzed scripts: parse, declaration pass, global block and
// entry function, each run stopped through the stop flag after a time budget.
// Runs happen in a temporary folder; scripts that name the file, workbook,
// process or host libraries (or sleep) are skipped, so that a run has no side
// effect outside that folder and never waits.
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

#include "interpreter/RunDriver.h"
#include "runtime/run_state.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr auto kBudget = std::chrono::milliseconds(25);

std::ostringstream sink;
std::atomic<int64_t> deadline{0};  // steady-clock ticks; 0 while no run

int64_t now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// Keeps asking the current run to stop once its budget is spent (the driver
// clears the flag when a run starts).
void watchdog() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int64_t d = deadline.load();
    if (d != 0 && now() > d) abortRequested.exchange(true);
  }
}

bool mentions(const uint8_t* data, size_t size, const char* word) {
  const size_t n = strlen(word);
  for (size_t i = 0; i + n <= size; ++i)
    if (memcmp(data + i, word, n) == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  static QTemporaryDir folder;
  QDir::setCurrent(folder.path());
  std::thread(watchdog).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return -1;
  for (const char* word : {"wj", "excel", "exec", "hux", "sleep", "Current", "yield", "getopt"})
    if (mentions(data, size, word)) return -1;
  std::streambuf* out = std::cout.rdbuf(sink.rdbuf());
  std::streambuf* err = std::cerr.rdbuf(sink.rdbuf());
  sourceText = QByteArray(reinterpret_cast<const char*>(data), int(size));
  deadline.store(now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(kBudget).count());
  try {
    korvelMain(nullptr, QStringList{QStringLiteral("korvel"), QStringLiteral("fuzz")},
               RunMode::SourceFilled);
  } catch (const std::exception&) {
    // a source the driver refuses before the run
  }
  deadline.store(0);
  abortRequested.exchange(false);
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  sink.str(std::string());
  dropPredictionCachesEvery(1000);
  return 0;
}
