#include "errors.h"

#include "console.h"

#include <stdexcept>

void raiseScriptError(const QString& message) {
  std::runtime_error error(message.toUtf8().toStdString());
  consoleSetTextAttribute(kConsoleRed);
  throw error;
}
