// Quote-aware splitting of a command line into words, used by the system
// library's process methods and by the console's parameter line.
#pragma once

#include <QByteArray>
#include <QStringList>

namespace antlr4 {
class ParserRuleContext;
}

// Splits a command line (UTF-8) into words. A part enclosed in single or
// double quotes (on one line) is one word without its quotes, also when it
// is empty or blank; everything else is split at every blank (U+0020), and
// of that only the parts that are not blank once trimmed are words. Words
// are not trimmed, and keep every byte: bytes that are no UTF-8 come as
// pathFromBytes gives them (runtime/file_names.h).
//
// The quotes must pair up: an odd number of single quotes (tested first) or
// of double quotes is an error. With a call context the error ends the run
// (raiseScriptError); without one the message is written to standard output
// without a line end and the result is empty.
QStringList splitCommandLine(const QByteArray& commandLine, antlr4::ParserRuleContext* ctx);
