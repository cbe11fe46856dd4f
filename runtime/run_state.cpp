#include "run_state.h"

bool scriptRunning = false;
std::atomic<bool> abortRequested{false};
std::atomic<int32_t> runFinished{0};
int32_t parsePhase = 0;
bool runFailed = false;
int32_t scriptExitValue = kNoExitValue;
bool runErrorReported = false;
bool runHasResult = false;
QWidget* currentHostWindow = nullptr;
QByteArray sourceText;
antlr4::CommonTokenStream* tokenStream = nullptr;
