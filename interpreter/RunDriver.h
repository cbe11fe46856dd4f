// The run driver: takes one script from its argument list to its result.
#pragma once

#include <QByteArray>
#include <QStringList>

class QWidget;

// Where the source of a run comes from.
enum RunMode : int {
  ScriptFile = 0,     // args[1] names a script file (script manager, command line)
  HostEditor = 1,     // the text of the host's current editor
  SourceFilled = 2    // sourceText is already filled (console)
};

// The built-in prelude: declarations of the built-in struct types.
extern const QByteArray preludeSource;

// The version shown by -v / --version and the usage text.
extern const char* const korvelVersion;

// Runs one script. args[0] is the program word, args[1] the script path
// (mode 0; a filler otherwise), args[2] onwards the script's own arguments.
// Nothing is thrown back to the caller except a source decoding error in
// mode 0 or a missing host editor getter in mode 1.
int korvelMain(QWidget* host, const QStringList& args, int mode);

// Block handed to the console's worker thread.
struct ScriptThreadBlock {
  QWidget* console = nullptr;  // the console; its parent is the host window
  QWidget* host = nullptr;
  QStringList args;
};

// The console's worker-thread body: runs korvelMain in mode 2, then sets
// runFinished and frees the block. Returns 0.
int scriptThreadProc(ScriptThreadBlock* block);
