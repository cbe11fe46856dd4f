// Command-line runner: korvel FILE [ARGS...]
//
// Runs one script file through the run driver, with the process's own
// standard output and error and no host window. The exit status never says
// success for a failed run:
//   the value given to exit, or the entry's zs result, when the script has one
//   (a value outside 0..255 gives 255, so negative codes stay failures);
//   otherwise 1 when any error was reported (global block and missing entry
//   function included), 2 for the usage text, else 0 (-v / --version too).
// Data that did not reach a file (a failed write or close), and output that
// could not be written (a full disk, a closed stream), turn a status of 0
// into 1.
#include <QCoreApplication>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "interpreter/RunDriver.h"
#include "runtime/file_names.h"
#include "runtime/run_state.h"

namespace {

int runScript(const QStringList& args) {
  if (args.size() < 2) {
    korvelMain(nullptr, args, RunMode::ScriptFile);  // prints the usage
    return 2;
  }
  int result;
  try {
    result = korvelMain(nullptr, args, RunMode::ScriptFile);
  } catch (std::exception& e) {
    // a source that cannot be decoded ends the run before it starts
    std::cerr << e.what() << std::endl;
    return 1;
  } catch (...) {
    std::cerr << "捕获异常" << std::endl;
    return 1;
  }
  auto status = [](int value) { return value < 0 || value > 255 ? 255 : value; };
  if (scriptExitValue != kNoExitValue) return status(scriptExitValue);
  if (runErrorReported) return 1;
  if (runHasResult) return status(result);
  return 0;
}

// Flushes a standard stream. True when some of what was written to it never
// got out (now or earlier); `reason` is then the system's reason when the
// last flush gave one.
bool outputLost(std::ostream& stream, FILE* file, std::string& reason) {
  stream.flush();
  errno = 0;
  if (std::fflush(file) != 0 && errno != 0) reason = std::strerror(errno);
  return !reason.empty() || !stream.good() || std::ferror(file);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // arguments are taken byte for byte: a file name that is no UTF-8, or
  // begins with a byte-order mark, reaches the script unchanged
  keepUndecodableFileNames();
  QStringList args;
  args << QStringLiteral("korvel");
  for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  int status = runScript(args);
  // data that did not reach its file fails the run, whatever it returned
  if (status == 0 && runLostData) status = 1;

  std::string outReason, errReason;
  const bool outLost = outputLost(std::cout, stdout, outReason);
  const bool errLost = outputLost(std::cerr, stderr, errReason);
  if (!outLost && !errLost) return status;
  if (!errLost) std::cerr << "错误：标准输出无法写入，输出没有全部写出！" << outReason << std::endl;
  return status == 0 ? 1 : status;
}
