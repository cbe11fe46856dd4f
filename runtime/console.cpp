#include "console.h"

#include <cstdlib>
#include <unistd.h>

namespace {

bool colourChanged = false;

// The terminal that shows our output: standard output when it is one,
// otherwise standard error; -1 when neither is a terminal.
int terminalFd() {
  if (isatty(1)) return 1;
  if (isatty(2)) return 2;
  return -1;
}

void writeAll(int fd, const char* s, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, s, n);
    if (w <= 0) return;
    s += w;
    n -= size_t(w);
  }
}

void resetAtExit() {
  if (!colourChanged) return;
  int fd = terminalFd();
  if (fd >= 0) writeAll(fd, "\x1b[0m", 4);
}

}  // namespace

void consoleSetTextAttribute(int attribute) {
  int fd = terminalFd();
  if (fd < 0) return;
  if (attribute == kConsoleRed) {
    static bool hooked = false;
    if (!hooked) {
      hooked = true;
      std::atexit(resetAtExit);
    }
    colourChanged = true;
    writeAll(fd, "\x1b[31m", 5);
  } else {
    if (!colourChanged) return;
    colourChanged = false;
    writeAll(fd, "\x1b[0m", 4);
  }
}

void consoleSetOutputCP(unsigned) {}
