// Run-wide flags and state shared by the whole interpreter.
#pragma once

#include <QByteArray>

#include <atomic>
#include <cstdint>

class QWidget;
namespace antlr4 {
class CommonTokenStream;
}

extern bool scriptRunning;                 // set by the windows around a run
extern std::atomic<bool> abortRequested;   // stop/abort buttons; written by exchange
extern std::atomic<int32_t> runFinished;   // set when a console run's thread ends
extern int32_t parsePhase;                 // 0 before parsing, 1 parsing, 2 pre-pass done
extern bool runFailed;                     // the run failed (files/workbooks not saved)
extern int32_t scriptExitValue;            // -9999 at run start; set by exit
extern bool runErrorReported;              // an error was reported in any stage of the run
extern bool runHasResult;                  // the entry returned its declared zs result
extern bool runLostData;                   // data meant for a file did not reach it
extern QWidget* currentHostWindow;         // the host's main window
extern QByteArray sourceText;              // the script source as UTF-8
extern antlr4::CommonTokenStream* tokenStream;  // the script's token stream, or null

constexpr int32_t kNoExitValue = -9999;

// A write, flush, close or save lost data (a full disk, the file-size
// limit): the run goes on, but it has failed whatever it returns or gives
// to exit (runLostData), and it counts as an error of the run
// (runErrorReported). The caller prints the reason.
void noteLostData();

// A write beyond the file-size limit (ulimit -f) would end the process with
// SIGXFSZ, without a word and with every file's buffer lost: with the signal
// caught, the write fails (EFBIG) and is reported like a full disk. Only a
// signal at its default action is caught; a handler is reset for programs
// started from the process, so they meet the limit as before.
void catchFileSizeSignal();
