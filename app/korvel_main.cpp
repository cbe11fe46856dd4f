// Command-line runner: korvel FILE [ARGS...]
//
// Runs one script file through the run driver, with the process's own
// standard output and error and no host window. The exit status is the
// run's result clamped to 0..255.
#include <QCoreApplication>
#include <QStringList>

#include "interpreter/RunDriver.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args;
  args << QStringLiteral("korvel");
  for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  int result = korvelMain(nullptr, args, RunMode::ScriptFile);
  if (result < 0) return 0;
  if (result > 255) return 255;
  return result;
}
