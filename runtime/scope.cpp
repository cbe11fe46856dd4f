#include "scope.h"

#include "console.h"
#include "errors.h"
#include "recycle_pool.h"
#include "run_state.h"
#include "source_text.h"
#include "value_ops.h"

#include "antlr4-runtime.h"

#include <QList>
#include <QStringList>

#include <iostream>
#include <stdexcept>

namespace scope_state {
ScopeStack* scopeStack = nullptr;
ScopeRecordPool recordPool;
StatusStack* statusStack = nullptr;
uint64_t globalsChanged = 0;
uint64_t nameChanges[kNameSlots] = {};
uint64_t frameChanges = 0;
}  // namespace scope_state

namespace {

ScopeStack*& gScopeStack = scope_state::scopeStack;
ScopeRecordPool& gRecordPool = scope_state::recordPool;
StatusStack*& gStatusStack = scope_state::statusStack;
FunctionTable* gFunctionTable = nullptr;
GlobalTable* gGlobalTable = nullptr;
TypeRegistry* gTypeRegistry = nullptr;
OperandStack* gOperandStack = nullptr;

[[noreturn]] void throwScopeError(const char* utf8) { throw std::runtime_error(utf8); }

ScopeRecord* nearestFrame() {
  if (gScopeStack == nullptr) return nullptr;
  for (auto it = gScopeStack->rbegin(); it != gScopeStack->rend(); ++it)
    if ((*it)->kind == SK_FUNCTION) return *it;
  return nullptr;
}

void freeReturnList(ReturnList* list) {
  if (list == nullptr) return;
  for (ScopeRecord* r : *list) {
    releaseScopeRecord(r);
    returnScopeRecord(r);
  }
  delete list;
}

// Releases and removes the records down to the nearest marker of the given
// kind; variables and call records go, other markers stay in place.
bool popDownTo(int32_t markerKind, const char* error) {
  if (gScopeStack == nullptr) throwScopeError(error);
  ScopeStack& st = *gScopeStack;
  size_t m = st.size();
  while (m > 0) {
    if (st[m - 1]->kind == markerKind) break;
    --m;
  }
  if (m == 0) throwScopeError(error);
  const size_t marker = m - 1;
  size_t keep = marker;
  bool anyKept = false;
  for (size_t i = st.size(); i-- > marker + 1;) {
    ScopeRecord* r = st[i];
    if (r->kind < 100) {
      releaseScopeRecord(r);
      returnScopeRecord(r);
      st[i] = nullptr;
    } else {
      anyKept = true;
    }
  }
  ScopeRecord* markerRec = st[marker];
  if (anyKept) {
    for (size_t i = marker + 1; i < st.size(); ++i)
      if (st[i] != nullptr) st[keep++] = st[i];
  }
  st.resize(keep);
  releaseScopeRecord(markerRec);
  returnScopeRecord(markerRec);
  return true;
}

QByteArray sourceLine(const QList<QByteArray>& lines, int32_t line) {
  if (line < 1 || line > lines.size()) return QByteArray();
  return lines.at(line - 1);
}

}  // namespace

// ---------------------------------------------------------------- scope stack

ScopeStack* scope_state::createScopeStack() {
  if (gScopeStack == nullptr) {
    gScopeStack = new ScopeStack();
    gScopeStack->reserve(256);
    ++frameChanges;  // a record kept from an earlier stack is never valid
  }
  return gScopeStack;
}

size_t scopeRecordPoolSize() { return gRecordPool.size(); }

void releaseScopeRecordPayload(ScopeRecord* record) {
  switch (record->kind) {
    case SK_DUMP_TEXT:
      delete record->payload.text;
      break;
    case SK_NAME_RECORD:
      delete record->payload.fn;
      break;
    default:
      if (record->kind < 100) releasePayload(record->kind, record->payload);
      break;
  }
  record->payload.i64 = 0;
}

ScopeRecord* lookupVariable(const QByteArray& name, uint64_t nameHash) {
  if (gScopeStack != nullptr) {
    const ScopeStack& st = *gScopeStack;
    for (size_t i = st.size(); i-- > 0;) {
      const ScopeRecord* r = st[i];
      if (r->kind < 100) {
        if (r->name.equals(name, nameHash)) return st[i];
      } else if (r->kind == SK_FUNCTION) {
        break;
      }
    }
  }
  if (gGlobalTable == nullptr) return nullptr;
  auto it = gGlobalTable->find(name);
  return it == gGlobalTable->end() ? nullptr : it->second;
}

ScopeRecord* findVariable(const QByteArray& name, uint64_t nameHash,
                          antlr4::ParserRuleContext* context) {
  if (ScopeRecord* r = lookupVariable(name, nameHash)) return r;
  const QString text = context != nullptr ? QString::fromStdString(context->getText()) : QString();
  raiseScriptError(
      QStringLiteral("错误：行号 %1 找不到变量 %2，语句 %3 变量没有定义或者不在当前可见作用域！")
          .arg(lineOfContext(context))
          .arg(QString::fromUtf8(name), text));
}

ScopeRecord* findVariable(const QByteArray& name, antlr4::ParserRuleContext* context) {
  return findVariable(name, fnv1a(name), context);
}

ScopeRecord* findGlobal(const QByteArray& name, antlr4::ParserRuleContext* context,
                        bool structMode) {
  if (gGlobalTable != nullptr) {
    auto it = gGlobalTable->find(name);
    if (it != gGlobalTable->end()) return it->second;
  }
  if (structMode && context != nullptr) {
    raiseScriptError(QStringLiteral("错误：行号 %1 找不到结构体类型 %2，语句 %3 结构体没有定义！类型 "
                                    "%2 不是基本类型关键字或结构体名称，是不是写错？")
                         .arg(lineOfContext(context))
                         .arg(QString::fromUtf8(name), contextSourceText(context)));
  }
  return nullptr;
}

bool findInCurrentBlock(const QByteArray& name) {
  if (gScopeStack == nullptr) return false;
  const uint64_t h = fnv1a(name);
  const ScopeStack& st = *gScopeStack;
  for (size_t i = st.size(); i-- > 0;) {
    const ScopeRecord* r = st[i];
    if (r->kind == SK_BLOCK) break;
    if (r->kind < 100 && r->name.equals(name, h)) return true;
  }
  return false;
}

bool insideLoop() {
  if (gScopeStack == nullptr) return false;
  const ScopeStack& st = *gScopeStack;
  for (size_t i = st.size(); i-- > 0;) {
    if (st[i]->kind == SK_LOOP) return true;
    if (st[i]->kind == SK_FUNCTION) return false;
  }
  return false;
}

bool popBlockScopeDown() {
  // Common case: only variables above the marker (a block that defined some).
  if (gScopeStack != nullptr) {
    ScopeStack& st = *gScopeStack;
    size_t m = st.size();
    while (m > 0 && st[m - 1]->kind < 100) --m;
    if (m > 0 && st[m - 1]->kind == SK_BLOCK) {
      for (size_t i = st.size(); i-- > m;) {
        ScopeRecord* r = st[i];
        st.pop_back();
        releaseScopeRecord(r);
        returnScopeRecord(r);
      }
      ScopeRecord* marker = st.back();
      st.pop_back();
      returnScopeRecord(marker);  // a marker holds nothing to release
      return true;
    }
  }
  return popDownTo(SK_BLOCK, "作用域错误");
}

bool popLoopScopeDown() { return popDownTo(SK_LOOP, "循环语句作用域错误"); }

bool popFunctionScopeChecked() {
  if (gScopeStack == nullptr || gScopeStack->empty() || gScopeStack->back()->kind != SK_FUNCTION)
    throwScopeError("函数作用域错误");
  ScopeRecord* r = gScopeStack->back();
  gScopeStack->pop_back();
  releaseScopeRecord(r);
  returnScopeRecord(r);
  return true;
}

void removeScopeRecord(ScopeRecord* record) {
  if (gScopeStack == nullptr) return;
  ScopeStack& st = *gScopeStack;
  for (size_t i = st.size(); i-- > 0;) {
    if (st[i] == record) {
      st.erase(st.begin() + long(i));
      releaseScopeRecord(record);
      returnScopeRecord(record);
      return;
    }
  }
}

// ---------------------------------------------------------------- frame queries

QByteArray currentFunctionName() {
  if (gScopeStack == nullptr) return QByteArray();
  ScopeRecord* f = nearestFrame();
  if (f == nullptr) throwScopeError("无法获取当前函数名，函数调用关系链紊乱");
  return f->name.bytes();
}

QString currentFunctionQName() { return QString::fromUtf8(currentFunctionName()); }

ByteStringList* currentFunctionReturnTypes(QByteArray* nameOut) {
  ScopeRecord* f = nearestFrame();
  if (f == nullptr) throwScopeError("函数调用关系链紊乱");
  if (nameOut != nullptr) *nameOut = f->name.bytes();
  FunctionRecord* rec = findFunction(f->name.bytes());
  if (rec == nullptr) throwScopeError("函数调用关系链紊乱");
  return rec->returnTypes;
}

bool frameIsCallMode104() {
  ScopeRecord* f = nearestFrame();
  if (f == nullptr) throwScopeError("函数调用关系链紊乱");
  return f->callMode() == kCallModeTakesReturn;
}

bool setReturnValue(ReturnList* list) {
  ScopeRecord* f = nearestFrame();
  if (f == nullptr) throwScopeError("无法设置函数返回值，函数调用关系链紊乱");
  f->returnSlot = list;
  return true;
}

ReturnList* currentReturnValue() {
  ScopeRecord* f = nearestFrame();
  return f == nullptr ? nullptr : f->returnSlot;
}

int32_t currentFunctionLine(int32_t flag) {
  if (gScopeStack == nullptr) return 0;
  const ScopeStack& st = *gScopeStack;
  for (size_t i = st.size(); i-- > 0;) {
    if (st[i]->kind != SK_FUNCTION) continue;
    if (FunctionRecord* rec = findFunction(st[i]->name.bytes()))
      return flag == 0 ? rec->startLine : rec->secondLine;
  }
  return 0;
}

// ---------------------------------------------------------------- status stack

StatusStack* scope_state::createStatusStack() {
  if (gStatusStack == nullptr) {
    gStatusStack = new StatusStack();
    gStatusStack->reserve(64);
  }
  return gStatusStack;
}

// ---------------------------------------------------------------- name tables

FunctionTable* functionTable() { return gFunctionTable; }

static void freeFunctionLists(FunctionRecord* rec) {
  delete rec->parameters;
  delete rec->returnTypes;
  rec->parameters = nullptr;
  rec->returnTypes = nullptr;
}

FunctionRecord* registerFunction(const QByteArray& name, const QByteArray& text,
                                 const ByteStringList& parameters,
                                 const ByteStringList& returnTypes) {
  if (gFunctionTable == nullptr) gFunctionTable = new FunctionTable(8);
  FunctionRecord*& slot = (*gFunctionTable)[name];
  if (slot == nullptr) {
    slot = new FunctionRecord();
  } else {
    // a name registered twice keeps one record, so nobody holds a freed one
    freeFunctionLists(slot);
    *slot = FunctionRecord();
  }
  slot->text = text;
  if (!parameters.isEmpty()) slot->parameters = new ByteStringList(parameters);
  if (!returnTypes.isEmpty()) slot->returnTypes = new ByteStringList(returnTypes);
  return slot;
}

FunctionRecord* findFunction(const QByteArray& name) {
  if (gFunctionTable == nullptr) return nullptr;
  auto it = gFunctionTable->find(name);
  if (it != gFunctionTable->end()) return it->second;
  if (name == "quanju_dingyi") {
    it = gFunctionTable->find(QByteArrayLiteral("global"));
    if (it != gFunctionTable->end()) return it->second;
  }
  return nullptr;
}

GlobalTable* globalTable() { return gGlobalTable; }

void addGlobal(const QByteArray& name, ScopeRecord* record) {
  createGlobalTable();
  ++scope_state::globalsChanged;
  ScopeRecord*& slot = (*gGlobalTable)[name];
  if (slot != nullptr && slot != record) {
    releaseScopeRecord(slot);
    returnScopeRecord(slot);
  }
  slot = record;
}

bool hasGlobal(const QByteArray& name) {
  return gGlobalTable != nullptr && gGlobalTable->find(name) != gGlobalTable->end();
}

TypeRegistry* typeRegistry() { return gTypeRegistry; }

int32_t typeRegistryCode(const QByteArray& name) {
  if (gTypeRegistry == nullptr) return 0;
  auto it = gTypeRegistry->find(name);
  return it == gTypeRegistry->end() ? 0 : it->second;
}

OperandStack* operandStack() {
  createOperandStack();
  return gOperandStack;
}

// ---------------------------------------------------------------- run start and end

void createGlobalTable() {
  if (gGlobalTable == nullptr) gGlobalTable = new GlobalTable(8);
}

namespace {
const struct {
  const char* name;
  int32_t code;
} kBuiltinStructs[] = {
    {"XLWorksheet", VT_XLWORKSHEET}, {"PHuxMain", VT_PHUXMAIN}, {"PEdit", VT_PEDIT},
    {"RegExp", VT_REGEXP},           {"RegMatch", VT_REGMATCH}, {"RegMatchIter", VT_REGMATCHITER},
};
}  // namespace

int32_t builtinStructCode(const QByteArray& name) {
  for (const auto& s : kBuiltinStructs)
    if (name == s.name) return s.code;
  return 0;
}

void createTypeRegistry() {
  if (gTypeRegistry != nullptr) return;
  gTypeRegistry = new TypeRegistry(8);
  for (const auto& s : kBuiltinStructs) (*gTypeRegistry)[QByteArray(s.name)] = s.code;
}

void createOperandStack() {
  if (gOperandStack == nullptr) {
    gOperandStack = new OperandStack();
    gOperandStack->reserve(32);
  }
}

void destroyScopeStack() {
  if (gScopeStack == nullptr) return;
  for (ScopeRecord* r : *gScopeStack) {
    // values a frame returned but nobody took (a run ended inside a call)
    if (r->kind == SK_FUNCTION) freeReturnList(r->returnSlot);
    r->returnSlot = nullptr;
    releaseScopeRecord(r);
    RecyclePool<ScopeRecord>::destroy(r);
  }
  delete gScopeStack;
  gScopeStack = nullptr;
}

void destroyOperandStack() {
  delete gOperandStack;
  gOperandStack = nullptr;
}

void destroyStatusStack() {
  delete gStatusStack;
  gStatusStack = nullptr;
}

void destroyGlobalTable() {
  ++scope_state::globalsChanged;
  if (gGlobalTable == nullptr) return;
  for (auto& entry : *gGlobalTable) {
    releaseScopeRecord(entry.second);
    RecyclePool<ScopeRecord>::destroy(entry.second);
  }
  delete gGlobalTable;
  gGlobalTable = nullptr;
}

void destroyFunctionTable() {
  if (gFunctionTable != nullptr) {
    for (auto& entry : *gFunctionTable) {
      freeFunctionLists(entry.second);
      delete entry.second;
    }
    delete gFunctionTable;
    gFunctionTable = nullptr;
  }
  gRecordPool.freeAll();
  freeValuePool();
}

void destroyTypeRegistry() {
  delete gTypeRegistry;
  gTypeRegistry = nullptr;
}

// ---------------------------------------------------------------- call-stack dump

void dumpCallStack() {
  consoleSetTextAttribute(kConsoleDefault);
  if (gScopeStack == nullptr) return;
  std::cout << "\n>>>> 调用堆栈如下 : \n\n";

  const QList<QByteArray> lines = sourceText.split('\n');
  QStringList entries;
  int frames = 0;
  int32_t curLine = 0;
  QString prevName;
  bool sawCallValue = false;

  for (ScopeRecord* r : *gScopeStack) {
    if (r->kind == SK_FUNCTION) {
      FunctionRecord* rec = findFunction(r->name.bytes());
      if (rec == nullptr) {
        std::cout << r->name.constData() << std::endl;
        ++frames;
        continue;
      }
      if (frames == 0) {
        entries.prepend(QStringLiteral("行号%1 函数入口点 执行语句 %2 ")
                            .arg(rec->startLine)
                            .arg(QString::fromUtf8(sourceLine(lines, rec->startLine))));
      } else {
        if (!sawCallValue && (r->name == "hs_rukou" || r->name == "main")) continue;
        if (!sawCallValue) curLine = r->callLine();
        entries.prepend(QStringLiteral("行号%1 %2 执行语句 %3")
                            .arg(curLine)
                            .arg(prevName, QString::fromUtf8(sourceLine(lines, curLine)).trimmed()));
      }
      curLine = rec->startLine;
      prevName = QString::fromUtf8(rec->definitionText);
      ++frames;
    } else if (r->kind == SK_CALL_VALUE) {
      const QByteArray& name = r->name.bytes();
      const int at = name.indexOf('@');
      const int32_t line = (at < 0 ? name : name.left(at)).toInt();
      const QString called = at < 0 ? QString() : QString::fromUtf8(name.mid(at + 1));
      const QByteArray target = r->payload.fn != nullptr ? r->payload.fn->name : QByteArray();
      FunctionRecord* rec = findFunction(target);
      entries.prepend(QStringLiteral("行号%1 %2 调用函数 %3 执行函数方式 %4 (行%5) ")
                          .arg(line)
                          .arg(prevName, called, QString::fromUtf8(target))
                          .arg(rec != nullptr ? rec->startLine : line));
      if (rec != nullptr) {
        curLine = rec->startLine;
        prevName = QString::fromUtf8(rec->definitionText);
      } else {
        prevName = QString::fromUtf8(target);
      }
      sawCallValue = true;
    } else if (r->kind == SK_DUMP_TEXT) {
      if (r->payload.text != nullptr) entries.prepend(*r->payload.text);
    }
  }
  std::cout << entries.join(QStringLiteral("\n\n")).toUtf8().constData() << std::endl;
}
