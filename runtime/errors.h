// The fatal-error path of a run.
#pragma once

#include <QString>

// Turns the console text red and throws std::runtime_error with the message
// (UTF-8). Prints nothing; the run driver catches and prints it.
[[noreturn]] void raiseScriptError(const QString& message);
