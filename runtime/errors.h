// The fatal-error path of a run, and the filling of message texts.
#pragma once

#include <QByteArray>
#include <QString>

#include <initializer_list>
#include <string>

// Turns the console text red and throws std::runtime_error with the message
// (UTF-8). Prints nothing; the run driver catches and prints it.
[[noreturn]] void raiseScriptError(const QString& message);

// Replaces %1 .. %9 of a message template by the given texts in one pass, so
// that a placeholder appearing inside an inserted text (a statement that
// itself holds "%1") stays as it is. A placeholder without a text is kept.
QString fillPlaceholders(const QString& pattern, std::initializer_list<QString> args);

namespace msgfmt {

inline QString toText(const QString& s) { return s; }
inline QString toText(const QByteArray& s) { return s.isNull() ? QString() : QString::fromUtf8(s.constData(), s.size()); }
inline QString toText(const std::string& s) { return QString::fromStdString(s); }
inline QString toText(const char* s) { return QString::fromUtf8(s); }
inline QString toText(int v) { return QString::number(v); }
inline QString toText(unsigned v) { return QString::number(v); }
inline QString toText(long v) { return QString::number(v); }
inline QString toText(long long v) { return QString::number(v); }
inline QString toText(unsigned long v) { return QString::number(v); }
inline QString toText(unsigned long long v) { return QString::number(v); }

}  // namespace msgfmt

// fillMessage(pattern, a1, ..., an): %1 .. %n replaced by the texts of the
// arguments (numbers in decimal), in one pass.
template <typename... Args>
QString fillMessage(const QString& pattern, const Args&... args) {
  static_assert(sizeof...(Args) >= 1 && sizeof...(Args) <= 9, "one to nine texts");
  return fillPlaceholders(pattern, {msgfmt::toText(args)...});
}
