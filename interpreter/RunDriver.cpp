// korvelMain: resets the run-wide state, obtains the source, parses it and
// runs the declaration pre-pass, evaluates the prelude and the global block,
// finds and calls the entry function, reports failures and frees everything
// the run created.
#include "RunDriver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>

#include "BlockListener.h"
#include "CallSupport.h"
#include "ExprOperands.h"
#include "ExprVisitor.h"
#include "KorLexer.h"
#include "KorParser.h"
#include "KorErrListener.h"
#include "KorScriptParse.h"
#include "KorSyntaxErrors.h"
#include "builtins/BuiltinRegistry.h"
#include "runtime/host_services.h"
#include "runtime/console.h"
#include "runtime/errors.h"
#include "runtime/file_names.h"
#include "runtime/run_state.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/stack_bounds.h"
#include "runtime/value_ops.h"

#include <Qsci/qsciscintilla.h>

const char* const korvelVersion = "0.7.2 (2025.05.15)";

const QByteArray preludeSource(
    "quanju_dingyi {\n"
    "               jiegou XLWorksheet{\n"
    "               excel obj;\n"
    "               zfc sheetName;\n"
    "               };\n"
    "\n"
    "               jiegou PHuxMain {\n"
    "               };\n"
    "\n"
    "               jiegou PEdit{\n"
    "                };\n"
    "\n"
    "               jiegou RegExp{\n"
    "                    string pattern;\n"
    "               };\n"
    "\n"
    "               jiegou RegMatch{\n"
    "               };\n"
    "\n"
    "               jiegou RegMatchIter{\n"
    "               };\n"
    "}");

namespace {

// One lexer, token stream and parser over a text; all kept alive together
// because the parse tree belongs to the parser and the run's records point
// into it.
struct Parse {
  std::unique_ptr<antlr4::ANTLRInputStream> input;
  std::unique_ptr<ChineseKorLexer> lexer;
  std::unique_ptr<KorDepthCheckedTokenStream> tokens;
  std::unique_ptr<KorParser> parser;
  KorErrListener listener;

  explicit Parse(const std::string& text) {
    input = std::make_unique<antlr4::ANTLRInputStream>(text);
    lexer = std::make_unique<ChineseKorLexer>(input.get());
    tokens = std::make_unique<KorDepthCheckedTokenStream>(lexer.get());
  }
  void makeParser() { parser = std::make_unique<KorParser>(tokens.get()); }
  // The prelude and the entry call: only the parser's listeners are
  // replaced; the lexer keeps the runtime's console listener.
  void reportParserErrors() {
    listener.tokens = tokens.get();
    installSyntaxReporting(*parser, &listener);
  }
};

enum class Stage { Parse, Global, Entry };

// Parses the script (see KorScriptParse.h): a fast first stage that gives up
// at the first error, then, only when it gave up, the full LL parse with the
// user-facing error reporting, so that syntax errors are reported exactly as
// before; nesting beyond the limit is reported like a syntax error.
KorParser::ProgramContext* parseProgram(Parse& parse, QByteArray* source) {
  parse.listener.tokens = parse.tokens.get();
  parse.listener.source = source;
  return parseScriptProgram(*parse.parser, *parse.lexer, *parse.tokens, parse.listener);
}

void printLine(std::ostream& out, const QString& text) {
  out << text.toUtf8().constData() << std::endl;
}

// The four handlers of a guarded stage. Returns normally in every case.
template <typename Fn>
void guarded(Stage stage, Fn&& body) {
  bool failsRun = stage != Stage::Global;
  try {
    body();
    return;
  } catch (antlr4::RecognitionException& e) {
    std::cerr << "捕获语法识别异常: " << e.what() << std::endl;
    if (failsRun) runFailed = true;
  } catch (std::runtime_error& e) {
    if (stage == Stage::Entry && abortRequested.load()) {
      std::cerr << e.what() << std::endl;
    } else if (stage != Stage::Parse && scriptExitValue != kNoExitValue) {
      // the script called exit (in the entry call or the global block)
      std::cout << e.what() << std::endl;
      runFailed = true;
    } else if (stage == Stage::Entry) {
      std::cerr << "\n脚本指令中存在语法错误： \n" << e.what() << std::endl;
      runFailed = true;
    } else {
      std::cerr << "脚本指令中存在语法错误： \n" << e.what() << std::endl;
      if (stage == Stage::Parse) runFailed = true;
    }
  } catch (std::bad_alloc&) {
    std::cerr << "错误：内存不足，无法分配脚本需要的内存，脚本终止执行！" << std::endl;
    if (failsRun) runFailed = true;
  } catch (std::exception& e) {
    std::cerr << "捕获通用异常信息: " << e.what() << std::endl;
    if (failsRun) runFailed = true;
  } catch (...) {
    std::cerr << "捕获异常" << std::endl;
    if (failsRun) runFailed = true;
  }
  // every handler above reported an error
  runErrorReported = true;
}

// Runs `fn` when the scope is left, by return or by exception.
template <typename Fn>
struct AtScopeExit {
  Fn fn;
  ~AtScopeExit() {
    try {
      fn();
    } catch (...) {
      // nothing may leave a destructor
    }
  }
};

void destroyRunTables() {
  destroyScopeStack();
  destroyBuiltinRegistry();
  destroyOperandStack();
  destroyStatusStack();
  destroyGlobalTable();
  destroyFunctionTable();
  destroyTypeRegistry();
}

// Reads and decodes the script file of mode 0. Returns false (with the
// message printed) when the run must end with result 1.
bool loadScriptFile(const QString& arg) {
  QFileInfo info(arg);
  if (!info.exists() || !info.isFile()) {
    if (arg == QLatin1String("-v") || arg == QLatin1String("--version")) {
      printLine(std::cout, QStringLiteral("版本信息：korvel version %1").arg(korvelVersion));
    } else {
      printLine(std::cout, QStringLiteral("不存在的文件 %1").arg(arg));
      runErrorReported = true;
    }
    return false;
  }
  QString path = arg;
  if (info.isRelative()) path = QStringLiteral("%1/%2").arg(QDir::currentPath(), arg);
  path = toWindowsSeparators(path);
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    printLine(std::cerr,
              QStringLiteral("无法打开文件 %1 请检查路径是否存在、路径不能存在中文字符、是否有可读权限！")
                  .arg(path));
    runErrorReported = true;
    return false;
  }
  QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    printLine(std::cerr, QStringLiteral("读取源代码文件错误！"));
    runErrorReported = true;
    return false;
  }
  QByteArray decoded;
  decodeSourceText(bytes.constData(), int32_t(bytes.size()), decoded);
  sourceText = decoded;
  return true;
}

}  // namespace

int korvelMain(QWidget* host, const QStringList& args, int mode) {
  // 1. run-wide state
  noteThreadStack();  // the evaluator's stack guards compare against its limit
  currentHostWindow = host;
  abortRequested.exchange(false);
  scriptExitValue = kNoExitValue;
  runErrorReported = false;
  runHasResult = false;
  runLostData = false;
  catchFileSizeSignal();
  resetBuiltinLibFlags();
  resetExpressionCaches();
  callsupport::resetCallCaches();
  consoleSetOutputCP(65001);

  // 2. usage
  if (args.size() < 2) {
    printLine(std::cout, QStringLiteral("\n使用方法：korvel file [options]\n\n版本信息：korvel version %1")
                             .arg(korvelVersion));
    return 1;
  }

  // 3. source
  if (mode == RunMode::HostEditor) {
    if (QsciScintilla* editor = HostEditorGetter(currentHostWindow)) sourceText = editor->text().toUtf8();
  } else if (mode == RunMode::ScriptFile) {
    if (!loadScriptFile(args[1])) return 1;
  }

  // From here on every way out of the run, an exception included, frees the
  // run's tables (the script's token stream first), so that nothing of this
  // run is left for the next one. The parses outlive the tables.
  std::unique_ptr<Parse> main;
  std::unique_ptr<Parse> prelude;
  std::unique_ptr<Parse> call;
  std::unique_ptr<BlockListener> blocks;
  bool tablesFreed = false;
  auto cleanUp = [&] {
    if (tablesFreed) return;
    tablesFreed = true;
    tokenStream = nullptr;
    if (main) main->tokens.reset();
    blocks.reset();
    destroyRunTables();
    sourceText.clear();
  };
  AtScopeExit<decltype(cleanUp)&> freeTablesOnExit{cleanUp};

  // 4. stage 1: parse and pre-pass
  guarded(Stage::Parse, [&] {
    parsePhase = 0;
    main = std::make_unique<Parse>(sourceText.toStdString());
    tokenStream = main->tokens.get();
    blocks = std::make_unique<BlockListener>(tokenStream);
    runFailed = false;
    createGlobalTable();
    main->makeParser();
    parsePhase = 1;
    KorParser::ProgramContext* tree = parseProgram(*main, &sourceText);
    antlr4::tree::ParseTreeWalker::DEFAULT.walk(blocks.get(), tree);
    parsePhase = 2;
  });
  if (runFailed) return 0;

  // 5. prelude (the pre-pass keeps its struct names free; should it still
  // fail, the run ends like a failed parse)
  pushStatus(LS_RUN_START);
  createTypeRegistry();
  guarded(Stage::Parse, [&] {
    prelude = std::make_unique<Parse>(preludeSource.toStdString());
    prelude->makeParser();
    prelude->reportParserErrors();
    ExprVisitor visitor;
    KorParser::DefglobalContext* tree = prelude->parser->defglobal();
    visitor.visitChildrenDefault(tree);
  });
  if (runFailed) return 0;

  // 6. stage 2: the script's global block
  guarded(Stage::Global, [&] {
    if (FunctionRecord* global = findFunction("quanju_dingyi")) {
      if (global->context) {
        ExprVisitor visitor;
        visitor.visitChildrenDefault(global->context);
      }
    }
  });
  if (runFailed) {
    // exit was called in the global block: the run ends there, before the
    // entry call (there is no call stack of the entry to show)
    consoleSetTextAttribute(kConsoleDefault);
    return scriptExitValue == kNoExitValue ? -1 : scriptExitValue;
  }

  // 7. entry function
  popStatus();
  QByteArray entryName = "hs_rukou";
  FunctionRecord* entry = findFunction(entryName);
  if (!entry) {
    entryName = "main";
    entry = findFunction(entryName);
  }
  if (!entry) {
    printLine(std::cout, QStringLiteral("没有发现入口函数hs_rukou 或 main, 程序调用失败,请检查！ "));
    runErrorReported = true;
    return 0;
  }
  createOperandStack();
  initBuiltinRegistry();

  // 8. entry call text
  QByteArray callText;
  ScopeRecord* wrapper = nullptr;
  const ByteStringList* params = entry->parameters;
  if (!params || params->isEmpty()) {
    callText = entryName + "();";
  } else if (params->size() == 2 && !params->at(0).isEmpty() && params->at(1) == "lb") {
    wrapper = pushScopeRecord(SK_FUNCTION);
    wrapper->name = QByteArray(kEntryWrapperName);
    wrapper->setFrame(0, entry->startLine);
    ScopeRecord* param = pushScopeRecord(VT_LIST);
    param->name = params->at(0);
    ValueList* list = newValueList();
    for (int i = 2; i < args.size(); ++i) {
      ExprValue* cell = takeValueCell();
      cell->owner = nullptr;
      cell->type = VT_BYTES;
      cell->payload.bytes = newByteString(pathToBytes(args[i]));  // a file name keeps its bytes
      list->push_back(cell);
    }
    param->payload.list = list;
    callText = entryName + "(" + params->at(0) + ");";
  } else {
    printLine(
        std::cout,
        fillMessage(
            QStringLiteral(
                "错误：行号 %1 函数 %2 形式不匹配，参数错误！只能是 hs_rukou() 或 hs_rukou(lb "
                "canshu) 或main() main(lb canshu) 四种形式！"),
            entry->startLine, QString::fromUtf8(entryName)));
    runErrorReported = true;
    return 1;
  }

  // 9. return form
  bool returnsInt = false;
  if (entry->returnTypes && !entry->returnTypes->isEmpty()) {
    if (entry->returnTypes->size() == 1 && entry->returnTypes->at(0) == "zs") {
      returnsInt = true;
      if (!wrapper) {
        wrapper = pushScopeRecord(SK_FUNCTION);
        wrapper->name = QByteArray(kEntryWrapperName);
        wrapper->setFrame(0, entry->startLine);
      }
      wrapper->setFrame(kCallModeTakesReturn, wrapper->callLine());
      callText = "fanhui " + callText;
      if (!findFunction(kEntryWrapperName)) registerFunction(kEntryWrapperName, "{}", {}, {QByteArray("zs")});
    } else {
      printLine(
          std::cout,
          fillMessage(
              QStringLiteral("错误：行号 %1 函数 %2 返回值不合法！hs_rukou() 最多只能返回1个整数!"),
              entry->startLine, QString::fromUtf8(entryName)));
      runErrorReported = true;
      return 1;
    }
  }

  // 10. stage 3: the entry call
  int result = -1;
  guarded(Stage::Entry, [&] {
    call = std::make_unique<Parse>(callText.toStdString());
    call->makeParser();
    call->reportParserErrors();
    KorParser::CallFunContext* tree = call->parser->callFun();
    runFailed = false;
    ExprVisitor visitor;
    tree->accept(&visitor);
  });
  if (runFailed) {
    dumpCallStack();
  } else if (returnsInt) {
    result = 0;
    if (ReturnList* list = currentReturnValue()) {
      if (list->size() == 1) {
        ScopeRecord* rec = (*list)[0];
        result = int32_t(uint64_t(rec->payload.i64) & 0xffffffffu);
        runHasResult = true;
        releaseScopeRecord(rec);
        returnScopeRecord(rec);
        list->clear();
      }
      setReturnValue(nullptr);
      delete list;
    }
  }

  // 11. clean-up
  cleanUp();

  // 12. result
  if (runFailed) return scriptExitValue == kNoExitValue ? -1 : scriptExitValue;
  std::cout << "\n\n程序执行完毕。" << std::endl;
  return returnsInt ? result : -1;
}

int scriptThreadProc(ScriptThreadBlock* block) {
  korvelMain(block->host, block->args, RunMode::SourceFilled);
  runFinished.exchange(1);
  delete block;
  return 0;
}
