// Command-line runner: korvel FILE [ARGS...]
//
// Runs one script file through the run driver, with the process's own
// standard output and error and no host window. The exit status never says
// success for a failed run:
//   the value given to exit, or the entry's zs result, when the script has one
//   (a value outside 0..255 gives 255, so negative codes stay failures);
//   otherwise 1 when any error was reported (global block and missing entry
//   function included), 2 for the usage text, else 0 (-v / --version too).
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
