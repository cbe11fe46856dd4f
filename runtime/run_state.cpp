#include "run_state.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

bool scriptRunning = false;
std::atomic<bool> abortRequested{false};
std::atomic<int32_t> runFinished{0};
int32_t parsePhase = 0;
bool runFailed = false;
int32_t scriptExitValue = kNoExitValue;
bool runErrorReported = false;
bool runHasResult = false;
bool runLostData = false;
QWidget* currentHostWindow = nullptr;
QByteArray sourceText;
antlr4::CommonTokenStream* tokenStream = nullptr;

void noteLostData() {
  runLostData = true;
  runErrorReported = true;
}

#ifdef Q_OS_UNIX
namespace {
// the write that raised it fails (EFBIG) and says so
void fileSizeExceeded(int) {}
}  // namespace
#endif

void catchFileSizeSignal() {
#ifdef Q_OS_UNIX
  struct sigaction old {};
  if (::sigaction(SIGXFSZ, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
  struct sigaction caught {};
  caught.sa_handler = fileSizeExceeded;
  caught.sa_flags = SA_RESTART;
  sigemptyset(&caught.sa_mask);
  ::sigaction(SIGXFSZ, &caught, nullptr);
#endif
}
