// Quote-aware splitting of the console's parameter line into words.
#pragma once

#include <QByteArray>
#include <QStringList>

// Splits line at blanks; a part enclosed in single or double quotes is one
// word without its quotes. Words that are blank are dropped. An unpaired
// quote prints the Chinese format error (no line end) to std::cout and gives
// an empty list.
QStringList splitParameterLine(const QByteArray& line);
