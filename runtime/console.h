// Console colour and code page. On Linux the colour is an ANSI sequence
// written straight to the terminal (only when standard output or standard
// error is a terminal); nothing goes through std::cout's buffer.
#pragma once

// Console text attributes used by the interpreter.
constexpr int kConsoleRed = 4;
constexpr int kConsoleDefault = 7;

// Sets the text attribute of the standard-output console (4 red, 7 default;
// other values: default colour).
void consoleSetTextAttribute(int attribute);
// Output code page (65001 at run start): nothing to do on Linux.
void consoleSetOutputCP(unsigned codePage);
