// Scope stack, status stack, name tables and the operand stack: the run-time
// state of the interpreter. Everything is process-wide and belongs to the one
// running script.
#pragma once

#include "value.h"
#include "recycle_pool.h"
#include "value_compare.h"
#include "value_ops.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace antlr4 {
class ParserRuleContext;
}

// Scope-record kinds at and above 100 are scope markers; below 100 a record
// is a variable whose kind is its ValueType (53, 52, 51 are special records).
enum ScopeKind : int32_t {
  SK_FUNCTION = 101,   // function frame (also the wrapper frame "cmain")
  SK_BLOCK = 102,      // block
  SK_LOOP = 103,       // loop
  SK_CALL_VALUE = 53,  // call through a function value: name "line@name", payload fn
  SK_DUMP_TEXT = 52,   // payload text: a QString shown by the call-stack dump
  SK_NAME_RECORD = 51  // payload fn: a record of one byte string
};

// Call mode of a frame whose caller takes the return values.
constexpr int32_t kCallModeTakesReturn = 104;

// Control codes on the StatusStack.
enum LoopStatus : int32_t {
  LS_NONE = -1,        // empty stack
  LS_RUN_START = 0,    // prelude and global block being evaluated
  LS_DEF_LOCAL = 1,    // local definition in progress (detail = declared type)
  LS_DEF_GLOBAL = 2,   // global definition in progress (detail = declared type)
  LS_FUNC_BODY = 3,    // the next block is a function body
  LS_RETURN = 4,       // fanhui done
  LS_BREAK = 7,        // break
  LS_CONTINUE = 8      // continue
};

// Change counts of the names on the scope stack, which let a compiled
// variable reference keep the record it found (see cx::lookupNamed): a name
// counts as changed in the slot of its hash whenever a record is named or
// pushed with it, and every name whenever a function frame is pushed.
namespace scope_state {
constexpr size_t kNameSlots = 1024;
extern uint64_t nameChanges[kNameSlots];
extern uint64_t frameChanges;
inline void nameChanged(uint64_t hash) { ++nameChanges[hash & (kNameSlots - 1)]; }
// Changes seen by a reference to the name of that hash; equal twice only when
// neither a record of that name nor a frame has come in between.
inline uint64_t changesOf(uint64_t hash) {
  return nameChanges[hash & (kNameSlots - 1)] + frameChanges;
}
}  // namespace scope_state

// A name with its FNV-1a hash kept alongside, so lookups compare hashes
// before bytes. Assign to it like a QByteArray.
class HashedName {
 public:
  HashedName() : hash_(kFnvOffsetBasis) {}
  HashedName(const QByteArray& s) : text_(s), hash_(fnv1a(s)) {}
  HashedName(const char* s) : text_(s), hash_(fnv1a(text_)) {}
  HashedName(const HashedName&) = default;
  HashedName(HashedName&&) = default;
  HashedName& operator=(const HashedName& o) { return assign(o.text_, o.hash_); }
  HashedName& operator=(HashedName&& o) {
    text_ = std::move(o.text_);
    hash_ = o.hash_;
    scope_state::nameChanged(hash_);
    return *this;
  }
  HashedName& operator=(const QByteArray& s) { return assign(s, fnv1a(s)); }
  HashedName& operator=(QByteArray&& s) {
    hash_ = fnv1a(s);
    text_ = std::move(s);
    scope_state::nameChanged(hash_);
    return *this;
  }
  HashedName& operator=(const char* s) { return assign(QByteArray(s), 0, true); }
  void set(const QByteArray& s, uint64_t hash) { assign(s, hash); }

  const QByteArray& bytes() const { return text_; }
  operator const QByteArray&() const { return text_; }
  uint64_t hash() const { return hash_; }
  const char* constData() const { return text_.constData(); }
  int size() const { return text_.size(); }
  bool isEmpty() const { return text_.isEmpty(); }
  QString toQString() const { return QString::fromUtf8(text_); }
  std::string toStdString() const { return text_.toStdString(); }
  bool equals(const QByteArray& s, uint64_t hash) const { return hash_ == hash && text_ == s; }
  bool operator==(const QByteArray& s) const { return text_ == s; }
  bool operator!=(const QByteArray& s) const { return text_ != s; }
  bool operator==(const char* s) const { return text_ == s; }
  bool operator!=(const char* s) const { return text_ != s; }

 private:
  HashedName& assign(const QByteArray& s, uint64_t hash, bool hashText = false) {
    text_ = s;
    hash_ = hashText ? fnv1a(text_) : hash;
    scope_state::nameChanged(hash_);
    return *this;
  }

  QByteArray text_;
  uint64_t hash_;
};

struct ScopeRecord;
using ReturnList = std::vector<ScopeRecord*>;  // a function's returned values

// One variable or scope marker.
struct ScopeRecord {
  HashedName name;       // variable / frame name; kind 53: "line@name"
  int32_t kind = -1;     // ValueType (< 100) or ScopeKind
  ValuePayload payload;  // a variable's value; frame: low 32 bits call mode, high 32 bits call line
  ReturnList* returnSlot = nullptr;  // frames: the returned records
  ScopeRecord* nextFree = nullptr;   // while given back: the record given back before

  ScopeRecord() { payload.i64 = 0; }

  // Frame helpers.
  int32_t callMode() const { return int32_t(uint64_t(payload.i64) & 0xffffffffu); }
  int32_t callLine() const { return int32_t(uint64_t(payload.i64) >> 32); }
  void setFrame(int32_t mode, int32_t line) {
    payload.i64 = int64_t((uint64_t(uint32_t(line)) << 32) | uint32_t(mode));
  }
  // The record's value as a cell (payload by reference, not duplicated).
  ExprValue asValue() const {
    ExprValue c;
    c.type = kind;
    c.payload = payload;
    return c;
  }
};

// The scope stack, bottom first. Records only come in through push_back,
// which counts the change of the pushed variable's name (or of every name for
// a function frame).
class ScopeStack : public std::vector<ScopeRecord*> {
 public:
  void push_back(ScopeRecord* record) {
    if (record->kind < 100)
      scope_state::nameChanged(record->name.hash());
    else if (record->kind == SK_FUNCTION)
      ++scope_state::frameChanges;
    std::vector<ScopeRecord*>::push_back(record);
  }
  template <class... Args>
  void emplace_back(Args&&...) = delete;
  template <class... Args>
  iterator insert(Args&&...) = delete;
  template <class... Args>
  void assign(Args&&...) = delete;
};

struct StatusEntry {
  int32_t code;    // LoopStatus
  int32_t detail;  // -1, or the declared type of a definition marker
};
using StatusStack = std::vector<StatusEntry>;

struct FunctionRecord {
  QByteArray text;  // registration text ("{}" for the wrapper)
  antlr4::ParserRuleContext* context = nullptr;
  int32_t startLine = 0;
  int32_t secondLine = 0;
  QByteArray definitionText;              // the function's head as written
  ByteStringList* parameters = nullptr;   // names, then type words; null when none
  ByteStringList* returnTypes = nullptr;  // declared return types; null when none
};

// Hash of a byte-string name (64-bit FNV-1a).
struct NameHash {
  size_t operator()(const QByteArray& s) const noexcept { return size_t(fnv1a(s)); }
};
using FunctionTable = std::unordered_map<QByteArray, FunctionRecord*, NameHash>;
using GlobalTable = std::unordered_map<QByteArray, ScopeRecord*, NameHash>;
using TypeRegistry = std::unordered_map<QByteArray, int32_t, NameHash>;
using OperandStack = std::vector<ExprValue*>;

// The scope records given back for reuse, the last one first, linked
// through the records themselves; new records come from the slot pool.
class ScopeRecordPool {
 public:
  ScopeRecord* take() {
    if (ScopeRecord* r = head_) {
      head_ = r->nextFree;
      return r;
    }
    return new (SlotPool<sizeof(ScopeRecord)>::take()) ScopeRecord();
  }
  void give(ScopeRecord* record) {
    record->nextFree = head_;
    head_ = record;
  }
  // The number of records given back (counted through the list).
  size_t size() const {
    size_t n = 0;
    for (const ScopeRecord* r = head_; r != nullptr; r = r->nextFree) ++n;
    return n;
  }
  // Deletes every record given back.
  void freeAll() {
    while (ScopeRecord* r = head_) {
      head_ = r->nextFree;
      RecyclePool<ScopeRecord>::destroy(r);
    }
  }

 private:
  ScopeRecord* head_ = nullptr;
};

// The process-wide stacks and the record pool. They are reached through the
// inline operations below, which every block, statement and call runs.
namespace scope_state {
extern ScopeStack* scopeStack;
extern ScopeRecordPool recordPool;
extern StatusStack* statusStack;
// Counts the changes of the global table (an entry added or replaced, the
// table destroyed): a record found there stays valid while it is unchanged.
extern uint64_t globalsChanged;
ScopeStack* createScopeStack();
StatusStack* createStatusStack();
}  // namespace scope_state

// ---- scope stack ----
// The stack, created when absent.
inline ScopeStack* scopeStack() {
  ScopeStack* st = scope_state::scopeStack;
  return st != nullptr ? st : scope_state::createScopeStack();
}
inline bool scopeStackExists() { return scope_state::scopeStack != nullptr; }
// ScopeRecordPool: last given-back record or a new one (name and kind keep old values).
inline ScopeRecord* takeScopeRecord() { return scope_state::recordPool.take(); }
// Clears payload and returnSlot and keeps the record for reuse.
inline void returnScopeRecord(ScopeRecord* record) {
  if (record == nullptr) return;
  record->payload.i64 = 0;
  record->returnSlot = nullptr;
  scope_state::recordPool.give(record);
}
// Takes a pooled record, sets its kind, appends it; the caller sets name and payload.
inline ScopeRecord* pushScopeRecord(int32_t kind) {
  ScopeRecord* r = takeScopeRecord();
  r->kind = kind;
  scopeStack()->push_back(r);
  return r;
}
size_t scopeRecordPoolSize();
// Frees the record's payload by kind (freeValue rules; 52 text, 51 name
// record); the payload is null afterwards.
void releaseScopeRecordPayload(ScopeRecord* record);
inline void releaseScopeRecord(ScopeRecord* record) {
  if (record == nullptr) return;
  // markers, empty records and the inline types hold nothing to free
  if (record->kind >= 100 || uint32_t(record->kind + 1) <= uint32_t(VT_WCHAR + 1)) {
    record->payload.i64 = 0;
    return;
  }
  if (record->kind < SK_NAME_RECORD) {
    releasePayload(record->kind, record->payload);  // a variable's value
    record->payload.i64 = 0;
    return;
  }
  releaseScopeRecordPayload(record);
}

// Nearest variable below the nearest function frame, then the globals;
// raises "找不到变量" when there is none.
ScopeRecord* findVariable(const QByteArray& name, antlr4::ParserRuleContext* context);
ScopeRecord* findVariable(const QByteArray& name, uint64_t nameHash,
                          antlr4::ParserRuleContext* context);
// Like findVariable but null instead of raising.
ScopeRecord* lookupVariable(const QByteArray& name, uint64_t nameHash);
// GlobalTable lookup; in struct mode with a context a miss raises.
ScopeRecord* findGlobal(const QByteArray& name, antlr4::ParserRuleContext* context,
                        bool structMode);
// A variable of that name above the nearest block marker (duplicate check).
bool findInCurrentBlock(const QByteArray& name);
// A loop marker above the nearest function frame.
bool insideLoop();
// Release and remove records down to and including the nearest block / loop
// marker (frames and other markers in between stay); throws when none.
bool popBlockScopeDown();
bool popLoopScopeDown();
// The marker alone on top (a scope that defined nothing): removed directly.
inline bool popMarkerOnTop(int32_t kind) {
  ScopeStack* st = scope_state::scopeStack;
  if (st == nullptr || st->empty() || st->back()->kind != kind) return false;
  ScopeRecord* marker = st->back();
  st->pop_back();
  returnScopeRecord(marker);  // a marker holds nothing to release
  return true;
}
inline bool popBlockScope() { return popMarkerOnTop(SK_BLOCK) || popBlockScopeDown(); }
inline bool popLoopScope() { return popMarkerOnTop(SK_LOOP) || popLoopScopeDown(); }
// The end of a block whose marker was pushed at position `at`: the variables
// above that position are removed and released from the top (as
// popBlockScope would), then popBlockScope does the rest (the marker alone on
// top, or whatever else it finds).
inline bool popBlockScopeAt(size_t at) {
  if (ScopeStack* st = scope_state::scopeStack) {
    size_t n = st->size();
    for (; n > at + 1; --n) {
      ScopeRecord* r = st->back();
      if (r->kind >= 100) break;
      st->pop_back();
      releaseScopeRecord(r);
      returnScopeRecord(r);
    }
    if (n == at + 1 && st->back()->kind == SK_BLOCK) {
      ScopeRecord* marker = st->back();
      st->pop_back();
      returnScopeRecord(marker);  // a marker holds nothing to release
      return true;
    }
  }
  return popBlockScope();
}
// Removes the function frame on top; throws "函数作用域错误" otherwise.
bool popFunctionScopeChecked();
inline bool popFunctionScope() {
  ScopeStack* st = scope_state::scopeStack;
  if (st == nullptr || st->empty() || st->back()->kind != SK_FUNCTION)
    return popFunctionScopeChecked();
  ScopeRecord* frame = st->back();
  st->pop_back();
  returnScopeRecord(frame);  // a frame holds nothing to release
  return true;
}
// Releases and removes one record (searched from the top by identity).
void removeScopeRecord(ScopeRecord* record);

// ---- frame queries (nearest function frame) ----
QByteArray currentFunctionName();
QString currentFunctionQName();
ByteStringList* currentFunctionReturnTypes(QByteArray* nameOut);
bool frameIsCallMode104();
bool setReturnValue(ReturnList* list);
ReturnList* currentReturnValue();
// startLine (flag 0) or secondLine of the nearest registered frame; 0 when none.
int32_t currentFunctionLine(int32_t flag);

// ---- status stack ----
inline StatusStack* statusStack() { return scope_state::statusStack; }  // null when absent
// -1 when empty or absent
inline int32_t statusTop() {
  const StatusStack* s = scope_state::statusStack;
  return s == nullptr || s->empty() ? LS_NONE : s->back().code;
}
// {-1, -1} when empty or absent
inline StatusEntry lastStatusEntry() {
  const StatusStack* s = scope_state::statusStack;
  return s == nullptr || s->empty() ? StatusEntry{-1, -1} : s->back();
}
inline void pushStatusEntry(StatusEntry entry) {
  StatusStack* s = scope_state::statusStack;
  (s != nullptr ? s : scope_state::createStatusStack())->push_back(entry);
}
inline void pushStatus(int32_t code) { pushStatusEntry(StatusEntry{code, -1}); }
inline void popStatus() {
  StatusStack* s = scope_state::statusStack;
  if (s != nullptr && !s->empty()) s->pop_back();
}

// ---- name tables ----
FunctionTable* functionTable();  // null when absent
// Registers a new record (the name must be new); returns it for filling.
FunctionRecord* registerFunction(const QByteArray& name, const QByteArray& text,
                                 const ByteStringList& parameters,
                                 const ByteStringList& returnTypes);
// Lookup; "quanju_dingyi" falls back to "global"; null when absent.
FunctionRecord* findFunction(const QByteArray& name);

GlobalTable* globalTable();  // null when absent
void addGlobal(const QByteArray& name, ScopeRecord* record);
bool hasGlobal(const QByteArray& name);

TypeRegistry* typeRegistry();  // null when absent
int32_t typeRegistryCode(const QByteArray& name);  // 0 when absent
// Code of a built-in struct type the prelude declares (with or without a
// registry), 0 for any other name.
int32_t builtinStructCode(const QByteArray& name);

OperandStack* operandStack();  // created when absent

// ---- run start and end ----
void createGlobalTable();
void createTypeRegistry();
void createOperandStack();
void destroyScopeStack();
void destroyOperandStack();   // frees the list, never the cells
void destroyStatusStack();
void destroyGlobalTable();
void destroyFunctionTable();  // also frees the pooled records and cells
void destroyTypeRegistry();

// Prints the call stack after a failed entry call.
void dumpCallStack();
