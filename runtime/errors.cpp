#include "errors.h"

#include "console.h"

#include <stdexcept>

void raiseScriptError(const QString& message) {
  std::runtime_error error(message.toUtf8().toStdString());
  consoleSetTextAttribute(kConsoleRed);
  throw error;
}

QString fillPlaceholders(const QString& pattern, std::initializer_list<QString> args) {
  QString out;
  out.reserve(pattern.size() + 64);
  const int n = pattern.size();
  for (int i = 0; i < n; ++i) {
    const QChar ch = pattern.at(i);
    if (ch == QLatin1Char('%') && i + 1 < n) {
      const int d = pattern.at(i + 1).unicode() - '0';
      if (d >= 1 && d <= 9 && size_t(d) <= args.size()) {
        out += *(args.begin() + (d - 1));
        ++i;
        continue;
      }
    }
    out += ch;
  }
  return out;
}
