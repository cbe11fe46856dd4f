// Command-line runner: korvel FILE [ARGS...]
//
// Runs one script file through the run driver, with the process's own
// standard output and error and no host window. The exit status is the
// run's result clamped to 0..255; a run that failed with an error exits with 1.
#include <QCoreApplication>
#include <QStringList>

#include <exception>
#include <iostream>

#include "interpreter/RunDriver.h"
#include "runtime/run_state.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args;
  args << QStringLiteral("korvel");
  for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
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
  // A failed run (not ended by the script's own exit) is reported as status 1.
  if (runFailed && scriptExitValue == kNoExitValue) return 1;
  if (result < 0) return 0;
  if (result > 255) return 255;
  return result;
}
