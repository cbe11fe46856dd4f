// The method registry: one BuiltinMethod record per built-in method, keyed by
// its registered name; resolution of a call by the receiver's type, argument
// checking and the calling convention with the libraries.
//
// Calling convention of a handler: while it runs, the current BuiltinCall
// holds the n argument cells (first first), the receiver cell and the method
// name as written; the helpers at the end of this file read them. When the
// method has a result the handler appends it with pushBuiltinResult. The
// caller owns every cell of the call and releases them afterwards.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

#include "runtime/scope.h"
#include "runtime/value.h"

namespace antlr4 {
class ParserRuleContext;
}

struct BuiltinMethod;
using BuiltinHandler = void (*)(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

// The direct form of a method: its plain successful case in one step, without
// a BuiltinCall. It gets the receiver and the argument cells as the handler
// would (with the default of a left-out optional last argument) and returns
// 1 with the one result in out[0], 2 with two results in out[0] and out[1]
// (`out` has room for two), 0 when the method has no result, or -1
// ("not taken", nothing done) for any case it does not serve: another
// argument type or count (a written optional last argument that is not a
// zs among them), an index out of range, a receiver without storage,
// anything that would warn or raise. The handler stays the definition of the
// method and then runs the call. A direct form may move an argument's payload
// out (leaving the cell releasable) only when it takes the call.
using BuiltinDirect = int (*)(const ExprValue& receiver, ExprValue* args, int argc, ExprValue* out);

// The room a caller gives a direct form for its results: out[0] is a fresh
// cell; out[1] is not made ready (a form that gives two writes the whole
// cell), which spares the one-result forms its making.
class DirectResults {
 public:
  DirectResults() { new (cells_) ExprValue(); }
  ExprValue* cells() { return reinterpret_cast<ExprValue*>(cells_); }

 private:
  alignas(ExprValue) unsigned char cells_[sizeof(ExprValue) * 2];
};

// How a method may be called.
enum BuiltinCallFlag : uint16_t {
  BF_MEMBER = 0,  // member only
  BF_STATIC = 1,  // also callable on the type name
  BF_ANY = 2      // any receiver
};

// Markers inside argTypes.
enum BuiltinArgMarker : int32_t {
  BA_ANY = -1,            // as the default of an optional last argument: -1
  BA_RANGE = -99,         // [min, max, -99]
  BA_OPTIONAL_LAST = -100 // [T1, ..., Tk-1, D, -100]
};

// The form of a method's argument list, worked out when it is registered
// (what builtinArgsReady tests).
enum BuiltinArgShape : uint8_t {
  BS_CHECK = 0,     // only checkBuiltinArgs decides
  BS_NONE = 1,      // no argument
  BS_RANGE = 2,     // [min, max, -99]
  BS_EXACT = 3,     // one type per argument, no marker
  BS_OPTIONAL = 4   // [T1, ..., D, -100]
};

struct BuiltinMethod {
  uint16_t id = 0;
  uint16_t receiver = 0;
  uint16_t flag = 0;
  uint8_t argShape = BS_CHECK;
  // The handler only reads its arguments (it neither keeps, converts nor
  // changes them, and runs no script code): the bridge may hand it a plain
  // variable's own zfc instead of a copy.
  bool readsArgsOnly = false;
  // A zfc given where a string is declared reaches the handler as it is (the
  // handler decodes it, and may keep what it decoded for the next call).
  bool takesBytesAsString = false;
  std::vector<int32_t>* argTypes = nullptr;  // null when the method takes no argument
  BuiltinHandler handler = nullptr;
  BuiltinDirect direct = nullptr;  // null: every call goes to the handler
};

using BuiltinMethodRegistry = std::unordered_map<QByteArray, BuiltinMethod*, NameHash>;

// The run's registry, or null before initBuiltinRegistry / after destroy.
BuiltinMethodRegistry* builtinRegistry();

// Library flags, one per library.
enum BuiltinLib {
  LIB_FILE, LIB_EXCEL, LIB_TIME, LIB_ZFC, LIB_LIST, LIB_DICT, LIB_SYS,
  LIB_QSTR, LIB_QCHR, LIB_EDITOR, LIB_REGEX, LIB_CHAR, LIB_COUNT
};
extern uint8_t BuiltinLibFlags[LIB_COUNT];

// Registration state copied into each new record.
extern BuiltinHandler currentBuiltinHandler;
extern uint16_t currentBuiltinReceiver;

// Builds a record with the current handler and receiver type and inserts it.
BuiltinMethod* registerBuiltinMethod(uint16_t id, const QByteArray& name,
                                     const std::vector<int32_t>& argTypes, uint16_t flag);

// Library registration functions: each returns at once when its flag is set;
// otherwise sets it, sets the current handler and receiver type and registers
// its table.
void registerFileLib();
void registerExcelLib();
void registerTimeLib();
void registerZfcLib();
void registerListLib();
void registerDictLib();
void registerSysLib();
void registerQStrLib();
void registerQChrLib();
void registerRegexLib();
void registerEditorLib();
// Closes the editor undo groups that the run opened and left open; called at
// the end of every run.
void closeRunUndoGroups();

void initBuiltinRegistry();
void destroyBuiltinRegistry();
void resetBuiltinLibFlags();

// 1 found, -2 absent or receiver type not accepted, -1 called on a type name
// but member-only.
int32_t findBuiltinMethod(const QByteArray& name, const ExprValue& receiver, BuiltinMethod** out);
// What resolution keys on besides the receiver's type and the name: the
// struct code of a struct, the named type's code of a type name, else 0.
inline int32_t builtinReceiverDetail(const ExprValue& receiver) {
  if (receiver.type == VT_STRUCT) return receiver.payload.st != nullptr ? receiver.payload.st->builtinCode : -1;
  if (receiver.type == VT_TYPE_NAME) return receiver.payload.i32;
  return 0;
}
// The record for the call, or raises the not-found error.
BuiltinMethod* resolveBuiltinMethod(const ExprValue& receiver, const QByteArray& name,
                                    antlr4::ParserRuleContext* ctx);
// One call as its handler sees it: the argument cells (first first, with the
// default of a left-out optional last argument), the receiver, the method
// name as written, and the results the handler appends.
struct BuiltinCall {
  static constexpr int kInlineResults = 2;
  ExprValue* args = nullptr;
  int argc = 0;
  ExprValue* receiver = nullptr;
  const QByteArray* name = nullptr;
  int resultCount = 0;
  // the first results, made as they are added
  alignas(ExprValue) unsigned char inlineResults[sizeof(ExprValue) * kInlineResults];
  // the others, made on the first one past the inline results
  std::vector<ExprValue>* moreResults = nullptr;

  BuiltinCall() = default;
  ~BuiltinCall() {
    if (moreResults) dropMoreResults();
  }
  BuiltinCall(const BuiltinCall&) = delete;
  BuiltinCall& operator=(const BuiltinCall&) = delete;

  ExprValue& result(int i) {
    return i < kInlineResults ? reinterpret_cast<ExprValue*>(inlineResults)[i]
                              : (*moreResults)[size_t(i - kInlineResults)];
  }
  void addResult(const ExprValue& value) {
    if (resultCount >= kInlineResults) return addMoreResult(value);
    ExprValue* cell = reinterpret_cast<ExprValue*>(inlineResults) + resultCount++;
    cell->owner = nullptr;
    cell->type = value.type;
    cell->payload = value.payload;
  }
  // Releases every result from the given one on and forgets them all.
  void releaseResults(int from = 0);

 private:
  void addMoreResult(const ExprValue& value);
  void dropMoreResults();
};

// The call being served, or null.
extern BuiltinCall* currentBuiltinCallRecord;

// Makes a call the current one while it lives; a call made while a handler
// runs (a callback into the script) installs its own and the outer call is
// current again when it ends.
class BuiltinCallScope {
 public:
  explicit BuiltinCallScope(BuiltinCall* call) : outer_(currentBuiltinCallRecord) {
    currentBuiltinCallRecord = call;
  }
  ~BuiltinCallScope() { currentBuiltinCallRecord = outer_; }
  BuiltinCallScope(const BuiltinCallScope&) = delete;
  BuiltinCallScope& operator=(const BuiltinCallScope&) = delete;

 private:
  BuiltinCall* outer_;
};

inline BuiltinCall* currentBuiltinCall() { return currentBuiltinCallRecord; }

// Checks and converts in place the arguments of the current call.
void checkBuiltinArgs(antlr4::ParserRuleContext* ctx, const QByteArray& name, BuiltinMethod* method);
void invokeBuiltinMethod(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

// Whether an argument of exactly the expected type passes the conversion
// table unchanged (it does for these types; others are refused even so).
inline bool sameTypeNeedsNothing(int32_t type) {
  return (type >= VT_INT && type <= VT_WCHAR) || (type >= VT_STRUCT && type <= VT_TIME) ||
         type == VT_FUNC;
}

// True when checkBuiltinArgs would neither convert nor refuse anything for
// these arguments (every one already of its declared type); false leaves the
// decision to checkBuiltinArgs.
inline bool builtinArgsReady(const BuiltinMethod* method, const ExprValue* args, int n) {
  const std::vector<int32_t>* L = method->argTypes;
  int exact = 0;  // the leading arguments that must have their declared type
  switch (method->argShape) {
    case BS_NONE:
      return n == 0;
    case BS_RANGE:
      return n >= (*L)[0] && n <= (*L)[1];
    case BS_EXACT:
      if (n != int(L->size())) return false;
      exact = n;
      break;
    case BS_OPTIONAL:
      if (n + 1 != int(L->size())) return false;
      exact = n - 1;
      break;
    default:
      return false;
  }
  for (int i = 0; i < exact; ++i) {
    const int32_t expected = (*L)[size_t(i)];
    if (args[i].type != expected || !sameTypeNeedsNothing(expected)) return false;
  }
  return true;
}

// ---- helpers for library handlers ----
// Number of arguments of the current call.
inline int builtinArgCount() { return currentBuiltinCallRecord->argc; }
// Argument i (0-based) of the current call.
inline ExprValue* builtinArg(int i) { return &currentBuiltinCallRecord->args[i]; }
// The receiver cell of the current call.
inline ExprValue* builtinReceiver() { return currentBuiltinCallRecord->receiver; }
// The method name as written.
QByteArray builtinCallName();
// Appends a result holding the value (owner cleared); the value's payload
// moves into it.
inline void pushBuiltinResult(ExprValue value) { currentBuiltinCallRecord->addResult(value); }
