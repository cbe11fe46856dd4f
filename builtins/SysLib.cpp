// The system library, called on the package kor: external processes and
// pipelines (exec, exec_output), the current line and function, event
// processing (yield), ending the run with an exit value (exit), option
// parsing (getopt) and a description of any value (desc).
#include "BuiltinRegistry.h"
#include "CommandLine.h"
#include "TextLibCommon.h"

#include "runtime/file_names.h"
#include "runtime/run_state.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QList>
#include <QProcess>

#include <atomic>
#include <iostream>
#include <map>
#include <utility>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>
#endif

void sysLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

namespace {

using textlib::callMessage;
using textlib::raise;
using textlib::warn;

enum SysMethodId : uint16_t {
  KOR_EXEC = 210,
  KOR_EXEC_OUTPUT = 211,
  KOR_DESC = 212,
  KOR_LINE = 213,
  KOR_FUN = 214,
  KOR_YIELD = 215,
  KOR_EXIT = 216,
  KOR_GETOPT = 217
};

// A result value under construction: freed when a message ends the call
// before it was handed over.
struct PendingResult {
  ExprValue value;
  bool armed = true;
  explicit PendingResult(ExprValue v) : value(v) {}
  ~PendingResult() {
    if (armed) freeValue(value);
  }
  PendingResult(const PendingResult&) = delete;
  PendingResult& operator=(const PendingResult&) = delete;
  void push() {
    armed = false;
    pushBuiltinResult(value);
  }
};

const QByteArray& bytesOf(const ExprValue* cell) {
  if (cell->type == VT_BYTES && cell->payload.bytes) return *cell->payload.bytes;
  return textlib::emptyBytes();
}

// The text of a list element given where a byte string is expected.
QByteArray elementText(const ExprValue* cell) {
  if (cell == nullptr) return QByteArray();
  if (cell->type == VT_BYTES) return bytesOf(cell);
  if (cell->type == VT_STRING) return cell->payload.str ? cell->payload.str->toUtf8() : QByteArray();
  return valueToText(*cell).toUtf8();
}

// Stores key -> value (value owned, moved into the dict). A key already
// present keeps its node and gets the new value. True when the key was new.
bool putEntry(ValueDict* dict, const QByteArray& key, ExprValue value) {
  ExprValue k = makeBytesValue(key);
  const std::pair<ValueDict::Node*, bool> slot = dictEmplace(dict, k);
  if (slot.second) {
    slot.first->value = moveValueToPool(value);
    return true;
  }
  freeValue(k);
  ExprValue* old = slot.first->value;
  if (old == nullptr) {
    slot.first->value = moveValueToPool(value);
  } else {
    freeValue(*old);
    old->owner = nullptr;
    old->type = value.type;
    old->payload = value.payload;
  }
  return false;
}

// A list of byte strings.
ExprValue bytesList(const QList<QByteArray>& texts) {
  ExprValue list = makeListValue();
  list.payload.list->reserve(size_t(texts.size()));
  for (const QByteArray& t : texts) {
    ExprValue* cell = textlib::newElementCell(VT_BYTES);
    cell->payload.bytes = newByteString(t);
    list.payload.list->push_back(cell);
  }
  return list;
}

// ---- processes ----------------------------------------------------------

constexpr int kStartWaitMs = 30000;
constexpr int kFinishWaitMs = 5000;
constexpr int kFinishWaits = 6;

// A command in a process group of its own, led by the program: giving up on
// it ends everything it started, not only the program itself.
class CommandProcess : public QProcess {
 protected:
#ifdef Q_OS_UNIX
  void setupChildProcess() override { ::setpgid(0, 0); }
#endif
};

// Kills the command's whole process group, then the program.
void endCommand(QProcess& process) {
#ifdef Q_OS_UNIX
  const qint64 pid = process.processId();
  if (pid > 0) ::kill(-pid_t(pid), SIGKILL);
#endif
  process.kill();
}

#ifdef Q_OS_UNIX
// While a command runs in its own group, a terminal's interrupt reaches only
// korvel: a termination signal that arrives meanwhile is passed on to the
// command's group before korvel ends as it would have. Installed only for
// signals still at their default action.
std::atomic<pid_t> waitedGroup{0};

void passOnSignal(int sig) {
  const pid_t group = waitedGroup.load();
  if (group > 0) ::kill(-group, sig);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

class SignalsPassedOn {
 public:
  explicit SignalsPassedOn(qint64 group) {
    waitedGroup.store(pid_t(group));
    struct sigaction pass {};
    pass.sa_handler = passOnSignal;
    sigemptyset(&pass.sa_mask);
    for (int i = 0; i < kCount; ++i) {
      struct sigaction old {};
      installed_[i] = ::sigaction(kSignals[i], nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
                      ::sigaction(kSignals[i], &pass, nullptr) == 0;
    }
  }
  ~SignalsPassedOn() {
    for (int i = 0; i < kCount; ++i) {
      if (installed_[i]) ::signal(kSignals[i], SIG_DFL);
    }
    waitedGroup.store(0);
  }
  SignalsPassedOn(const SignalsPassedOn&) = delete;
  SignalsPassedOn& operator=(const SignalsPassedOn&) = delete;

 private:
  static constexpr int kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
  bool installed_[kCount] = {};
};
#else
struct SignalsPassedOn {
  explicit SignalsPassedOn(qint64) {}
};
#endif

// What a command writes to one of its output channels, taken as it comes so
// that the process object holds little: kept up to the longest byte string,
// beyond that only counted.
class CapturedOutput {
 public:
  void attach(QProcess& process, QProcess::ProcessChannel channel) {
    process_ = &process;
    channel_ = channel;
    const auto ready = channel == QProcess::StandardOutput ? &QProcess::readyReadStandardOutput
                                                           : &QProcess::readyReadStandardError;
    QObject::connect(&process, ready, &process, [this] { takeAvailable(); });
  }
  // Takes what the process object still holds (after the command ended).
  void takeAvailable() {
    if (process_ == nullptr) return;
    QByteArray chunk = channel_ == QProcess::StandardOutput ? process_->readAllStandardOutput()
                                                            : process_->readAllStandardError();
    total_ += chunk.size();
    if (total_ > textlib::kMaxTextLength)
      data_ = QByteArray();
    else if (data_.isEmpty())
      data_ = std::move(chunk);
    else
      data_ += chunk;
  }
  qint64 size() const { return total_; }
  bool tooLong() const { return total_ > textlib::kMaxTextLength; }
  QByteArray take() { return std::move(data_); }

 private:
  QProcess* process_ = nullptr;
  QProcess::ProcessChannel channel_ = QProcess::StandardOutput;
  QByteArray data_;
  qint64 total_ = 0;
};

// Starts one command of a pipeline: the first word is the program (looked up
// on PATH), the rest are its arguments, passed as they are. No shell is
// involved on any platform; quoting is splitCommandLine's alone.
bool startCommand(QProcess& process, const QStringList& words) {
  keepUndecodableFileNames();  // words that are no UTF-8 reach the program as their bytes
  process.start(words.first(), words.mid(1), QIODevice::ReadWrite);
  return process.waitForStarted(kStartWaitMs);
}

// Waits for a started command: up to six waits of 5 s, processing events
// between them and giving up early on a stop request. False when the command
// is still running afterwards; its process group is then killed.
bool waitForCommand(QProcess& process) {
  for (int i = 0; i < kFinishWaits; ++i) {
    if (process.waitForFinished(kFinishWaitMs)) return true;
    if (process.state() == QProcess::NotRunning) return true;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (abortRequested.load()) break;
  }
  endCommand(process);
  process.waitForFinished(kFinishWaitMs);
  return false;
}

// An output too long for a byte string: reported, the command failed.
void reportTooLong(antlr4::ParserRuleContext* ctx, const QByteArray& command, qint64 size) {
  warn(callMessage(
      "警告：行号 %1 语句 %2 执行命令 %3 的输出有 %4 字节，超过字符串的最大长度，无法取得！"
      "请让命令把输出写入文件（如 sh -c '命令 > 文件'），再分段读取。",
      ctx, {QString::fromUtf8(command), QString::number(size)}));
}

// exec / exec_output: runs the commands of a "|" pipeline one after another,
// each fed the standard output of the one before. Pushes, for exec_output,
// the output of the last command run (its standard error when it failed
// without output), then the exit code: 1 when a command could not start, 2
// when one did not finish in time or wrote more than a byte string holds,
// else the exit code of the last command. exec keeps no output of the last
// command, nor any standard error.
void execCommands(antlr4::ParserRuleContext* ctx, bool withOutput) {
  const QByteArray& line = bytesOf(builtinArg(0));
  if (builtinReceiver()->type != VT_TYPE_NAME) {
    if (withOutput) textlib::pushBytes(QByteArray());
    textlib::pushInt(0);
    return;
  }
  QList<QByteArray> commands;
  if (line.contains('|')) {
    for (const QByteArray& c : line.split('|')) {
      if (!c.trimmed().isEmpty()) commands << c;
    }
  } else {
    commands << line;
  }

  int32_t result = 0;
  QByteArray input;
  bool outputPushed = false;
  for (int i = 0; i < commands.size(); ++i) {
    const QByteArray& command = commands.at(i);
    const QStringList words = splitCommandLine(command, ctx);
    if (words.isEmpty()) continue;
    const bool feedsNext = i + 1 < commands.size();
    CapturedOutput out, err;  // outlive the process, whose signals fill them
    CommandProcess process;
    if (withOutput || feedsNext) out.attach(process, QProcess::StandardOutput);
    else process.setStandardOutputFile(QProcess::nullDevice());
    if (withOutput) err.attach(process, QProcess::StandardError);
    else process.setStandardErrorFile(QProcess::nullDevice());
    if (!startCommand(process, words)) {
      warn(callMessage("警告：行号 %1 语句 %2 执行命令 %3 启动失败！", ctx, {QString::fromUtf8(command)}));
      result = 1;
      if (withOutput) {
        textlib::pushBytes(QByteArray());
        outputPushed = true;
      }
      break;
    }
    SignalsPassedOn passOn(process.processId());
    if (!input.isEmpty()) process.write(input);
    input.clear();
    // Nothing else is ever written, so the command sees the end of its
    // input rather than waiting for more.
    process.closeWriteChannel();
    if (!waitForCommand(process)) {
      warn(callMessage("警告：行号 %1 语句 %2 执行命令 %3 失败！", ctx, {QString::fromUtf8(command)}));
      result = 2;
    } else if (process.exitStatus() == QProcess::CrashExit) {
      // a command ended by a signal has no exit code of its own
      result = process.exitCode() != 0 ? process.exitCode() : 2;
    } else {
      result = process.exitCode();
    }
    out.takeAvailable();
    err.takeAvailable();
    if (feedsNext && result == 0 && !out.tooLong()) {
      input = out.take();
      continue;
    }
    CapturedOutput& shown = out.size() == 0 && result != 0 ? err : out;
    if (shown.tooLong()) {
      reportTooLong(ctx, command, shown.size());
      if (result == 0) result = 2;
    }
    if (withOutput) {
      textlib::pushBytes(shown.take());
      outputPushed = true;
    }
    if (result != 0) break;
  }
  // exec_output always gives two results, also when the last commands had
  // no words: the output then is what the last command run wrote.
  if (withOutput && !outputPushed) textlib::pushBytes(std::move(input));
  textlib::pushInt(result);
}

// ---- getopt -------------------------------------------------------------

// Options as words ("-a", "--name") with whether each takes a value.
std::map<QByteArray, bool> optionTable(const ExprValue* shortOptions, const ExprValue* longOptions) {
  std::map<QByteArray, bool> table;
  if (longOptions->type == VT_LIST && longOptions->payload.list) {
    for (const ExprValue* el : *longOptions->payload.list) {
      QByteArray name = elementText(el);
      const bool takesValue = name.endsWith('=');
      if (takesValue) name.chop(1);
      table[QByteArrayLiteral("--") + name] = takesValue;
    }
  }
  QByteArray letters = bytesOf(shortOptions).simplified();
  letters.replace(' ', QByteArray());
  auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  for (int i = 0; i < letters.size(); ++i) {
    const char c = letters.at(i);
    if (!isLetter(c)) continue;
    const bool last = i + 1 == letters.size();
    table[QByteArray("-") + c] = !last && letters.at(i + 1) == ':';
  }
  return table;
}

void getopt(antlr4::ParserRuleContext* ctx) {
  const std::map<QByteArray, bool> table = optionTable(builtinArg(1), builtinArg(2));
  const ExprValue* wordsArg = builtinArg(0);
  QList<QByteArray> words;
  if (wordsArg->type == VT_LIST && wordsArg->payload.list) {
    for (const ExprValue* el : *wordsArg->payload.list) words << elementText(el);
  }
  PendingResult result(makeDictValue());
  ValueDict* dict = result.value.payload.dict;
  auto store = [&](const QByteArray& key, const QByteArray& value) {
    if (!putEntry(dict, key, makeBytesValue(value)))
      warn(callMessage("警告：行号%1 语句 %2 字段 %3 多次给定，请检查！", ctx, {QString::fromUtf8(key)}));
  };
  for (int i = 0; i < words.size(); ++i) {
    const QByteArray& w = words.at(i);
    const QString wText = QString::fromUtf8(w);
    const auto opt = table.find(w);
    if (opt == table.end())
      raise(callMessage("错误：行号%1 语句 %2 字段 %3 不是合法参数，命令行输入错误，请检查！", ctx, {wText}));
    const bool isLast = i + 1 == words.size();
    if (opt->second) {
      if (isLast)
        raise(callMessage("错误：行号%1 语句 %2 字段 %3 需要参数，命令行输入遗漏 %3 参数值，请检查！", ctx,
                          {wText}));
      const QByteArray& v = words.at(i + 1);
      if (v.startsWith('-'))
        raise(callMessage("错误：行号%1 语句 %2 字段 %3 需要参数，命令行输入遗漏 %3 的参数值，请检查！",
                          ctx, {wText}));
      store(w, v);
      ++i;
    } else {
      if (!isLast && !words.at(i + 1).startsWith('-'))
        raise(callMessage("错误：行号%1 语句 %2 字段 %3 不需要参数值，命令行输入却给参数值，请检查！", ctx,
                          {wText}));
      store(w, QByteArray(""));
    }
  }
  result.push();
}

// ---- desc ---------------------------------------------------------------

void describe() {
  const ExprValue* recv = builtinReceiver();
  PendingResult result(makeDictValue());
  ValueDict* dict = result.value.payload.dict;
  switch (recv->type) {
    case VT_STRUCT_DESC: {
      PendingResult members(makeDictValue());
      if (const ByteStringList* names = recv->payload.names) {
        const int half = names->size() / 2;
        for (int i = 0; i < half; ++i)
          putEntry(members.value.payload.dict, names->at(i), makeBytesValue(names->at(half + i)));
      }
      members.armed = false;
      putEntry(dict, QByteArrayLiteral("desc"), members.value);
      break;
    }
    case VT_STRUCT:
      putEntry(dict, QByteArrayLiteral("structName"), makeBytesValue(structTypeName(*recv)));
      break;
    case VT_FILE:
      putEntry(dict, QByteArrayLiteral("filePath"), makeBytesValue(fileValuePath(*recv)));
      break;
    case VT_FUNC: {
      // The function the value refers to; a function-reference variable also
      // tells which function it holds.
      QByteArray name = recv->payload.fn ? recv->payload.fn->name
                                         : (recv->owner ? *recv->owner : QByteArray());
      if (recv->owner && !recv->owner->isEmpty()) {
        ScopeRecord* var = lookupVariable(*recv->owner, fnv1a(*recv->owner));
        if (var && var->kind == VT_FUNC_VAR) {
          if (var->payload.fn) name = var->payload.fn->name;
          putEntry(dict, QByteArrayLiteral("call_hs"), makeBytesValue(name));
        }
      }
      if (FunctionRecord* fn = findFunction(name)) {
        QList<QByteArray> params;
        if (fn->parameters) {
          // names first, then their types
          const int half = fn->parameters->size() / 2;
          for (int i = 0; i < half; ++i) params << fn->parameters->at(i);
        }
        putEntry(dict, QByteArrayLiteral("paraList"), bytesList(params));
        putEntry(dict, QByteArrayLiteral("retList"),
                 bytesList(fn->returnTypes ? *fn->returnTypes : QList<QByteArray>()));
      }
      break;
    }
    default:
      break;
  }
  putEntry(dict, QByteArrayLiteral("type"), makeBytesValue(typeKeyword(recv->type, recv)));
  if (recv->owner && !recv->owner->isEmpty())
    putEntry(dict, QByteArrayLiteral("name"), makeBytesValue(*recv->owner));
  result.push();
}

}  // namespace

void registerSysLib() {
  if (BuiltinLibFlags[LIB_SYS]) return;
  BuiltinLibFlags[LIB_SYS] = 1;
  currentBuiltinHandler = sysLibCall;
  currentBuiltinReceiver = VT_PKG_KOR;
  registerBuiltinMethod(KOR_EXEC, "exec", {VT_BYTES}, BF_STATIC);
  registerBuiltinMethod(KOR_EXEC_OUTPUT, "exec_output", {VT_BYTES}, BF_STATIC);
  registerBuiltinMethod(KOR_DESC, "desc", {}, BF_ANY);
  registerBuiltinMethod(KOR_LINE, "line", {}, BF_STATIC);
  registerBuiltinMethod(KOR_FUN, "fun", {}, BF_STATIC);
  registerBuiltinMethod(KOR_YIELD, "yield", {}, BF_STATIC);
  registerBuiltinMethod(KOR_EXIT, "exit", {0, BA_OPTIONAL_LAST}, BF_STATIC);
  registerBuiltinMethod(KOR_GETOPT, "getopt", {VT_LIST, VT_BYTES, VT_LIST}, BF_STATIC);
}

void sysLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  switch (method->id) {
    case KOR_EXEC:
      execCommands(ctx, false);
      break;
    case KOR_EXEC_OUTPUT:
      execCommands(ctx, true);
      break;
    case KOR_DESC:
      describe();
      break;
    case KOR_LINE:
      textlib::pushInt(lineOfContext(ctx));
      break;
    case KOR_FUN:
      textlib::pushBytes(currentFunctionName());
      break;
    case KOR_YIELD:
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      if (abortRequested.load()) raise(QStringLiteral("用户中断脚本继续执行,终止执行 ..."));
      break;
    case KOR_EXIT:
      // an exit value, not an index: a long keeps its low 32 bits
      scriptExitValue = int32_t(uint32_t(uint64_t(textlib::argLong(builtinArg(0)))));
      // the real line also in the global block, where no scope exists yet
      raise(textlib::fillMessage("退出程序：行号 %1 语句 %2 执行exit 退出语句",
                                 {QString::number(lineOfContext(ctx)), textlib::statementOf(ctx)}));
    case KOR_GETOPT:
      getopt(ctx);
      break;
    default:
      break;
  }
}
