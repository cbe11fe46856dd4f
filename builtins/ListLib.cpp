// The list library: methods of lb values (size, access, append and insert,
// search, slices, copies, removal, swapping, reserving and sorting).
//
// Elements are pointers to pooled cells owned by the list. Appending and
// inserting move the argument's payload into a fresh cell; reading methods
// hand out shallow copies (nested lists and dicts stay shared); lb_copy makes
// deep copies. Removal and sorting only move pointers.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include "runtime/errors.h"
#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"

#include "ParserRuleContext.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

void listLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

namespace {

enum ListMethodId : uint16_t {
  LB_SIZE = 159,
  LB_APPEND = 160,
  LB_AT = 161,
  LB_LAST = 162,
  LB_IS_EMPTY = 163,
  LB_CLEAR = 164,
  LB_INSERT = 165,
  LB_CREATE = 166,
  LB_FIRST = 167,
  LB_INDEX_OF = 168,
  LB_LAST_INDEX_OF = 169,
  LB_MID = 170,
  LB_REMOVE_AT = 171,
  LB_TAKE_AT = 172,
  LB_TAKE_FIRST = 173,
  LB_TAKE_LAST = 174,
  LB_SWAP_ITEM_AT = 175,
  LB_RESERVE = 176,
  LB_COPY = 177,
  LB_SORT = 178,
  LB_SORT_STRUCT = 179
};

// Upper bound of a reservation: reserve is only a hint, so a larger request
// is trimmed.
constexpr int32_t kMaxReserve = 1 << 26;

using textlib::callMessage;
using textlib::callName;
using textlib::statementOf;
using textlib::warn;

// ---- argument helpers ---------------------------------------------------

// Index of an argument cell: an int, or a long with its whole value (a long
// beyond the int range is out of range for every list, never cut to its low
// 32 bits). A double that the argument check let through is truncated
// toward zero; anything else reads as 0.
int64_t indexOf(const ExprValue& cell) {
  switch (cell.type) {
    case VT_INT: return cell.payload.i32;
    case VT_LONG: return cell.payload.i64;
    case VT_DOUBLE: return cutDecimal<int64_t>(cell.payload.d);
    case VT_CHAR: return int32_t(cell.payload.c);
    case VT_WCHAR: return int32_t(cell.payload.u16);
    default: return 0;
  }
}

// A flag argument (descending, spread): non-zero integer.
bool flagOf(const ExprValue& cell) { return cell.isInteger() && cell.asInt64() != 0; }

// ---- cycle guard --------------------------------------------------------

[[noreturn]] void raiseSelfInsert(antlr4::ParserRuleContext* ctx) {
  raiseScriptError(
      QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 不能把列表自身或包含该列表的值加入到这个列表中！")
          .arg(lineOfContext(ctx))
          .arg(statementOf(ctx), callName()));
}

// Whether the receiver was written as a plain variable name (`l.append(v)`):
// the list is then that variable's own, held by the variable and perhaps by
// the call, neither of which is inside a value.
bool namedPlainly(const ExprValue& recv) {
  const QByteArray* text = recv.owner;
  if (text == nullptr || text->isEmpty()) return false;
  const char first = text->at(0);
  if (!(std::isalpha(static_cast<unsigned char>(first)) || first == '_')) return false;
  for (const char c : *text)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

// Whether storing `value` into the list would make the list hold itself. A
// plainly named list with one holder can be reached from a value only by
// being that value; any other list is searched for in the value.
bool containerWouldHoldItself(const ExprValue& value, const ValueList* list, const ExprValue& recv) {
  if (!mayHoldContainers(value)) return false;
  if (value.payload.ptr != list && sharedRefCount(list) == 1 && namedPlainly(recv)) return false;
  return valueReachesWalk(value, list);
}
inline bool wouldHoldItself(const ExprValue& value, const ValueList* list, const ExprValue& recv) {
  if (value.type != VT_STRUCT && value.type != VT_LIST && value.type != VT_DICT) return false;
  return containerWouldHoldItself(value, list, recv);
}

void checkNoCycle(const ExprValue& value, ValueList* list, antlr4::ParserRuleContext* ctx) {
  if (wouldHoldItself(value, list, *builtinReceiver())) raiseSelfInsert(ctx);
}

// The element cell for a moved argument: the argument's payload now belongs
// to the list.
ExprValue* moveIntoElement(ExprValue& arg) {
  ExprValue* cell = moveValueToPool(arg);
  if (cell->type != VT_FUNC && cell->type != VT_FUNC2) cell->owner = nullptr;
  return cell;
}

void pushEmptyResult() { pushBuiltinResult(ExprValue()); }

void pushCopy(const ExprValue& cell) { pushBuiltinResult(copyValue(cell, false)); }

void freeElement(ExprValue* e) {
  freeValue(*e);
  returnValueCell(e);
}

// ---- lb_append / lb_insert ----------------------------------------------

bool appendableType(int32_t type) {
  return (type >= VT_INT && type <= VT_WCHAR) || (type >= VT_STRUCT && type <= VT_LIST) ||
         type == VT_FILE || type == VT_TIME;
}

void listAppend(ValueList* list, antlr4::ParserRuleContext* ctx) {
  ExprValue* value = builtinArg(0);
  if (!appendableType(value->type)) {
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 不能把 %4 加入到列表中。")
                         .arg(lineOfContext(ctx))
                         .arg(statementOf(ctx), callName(), typeDescription(value->type, value)));
  }
  if (value->type == VT_LIST && builtinArgCount() == 2 && builtinArg(1)->isInteger() &&
      builtinArg(1)->asInt64() == 1) {
    ValueList* src = value->payload.list;
    if (src == nullptr || src->empty()) return;
    // every element must be checked before the first one is stored
    for (const ExprValue* e : *src) checkNoCycle(*e, list, ctx);
    // src may be the list itself: walk by index over the original length
    const size_t n = src->size();
    list->reserve(list->size() + n);
    for (size_t i = 0; i < n; ++i) {
      ExprValue* copy = copyValueToPool(*(*src)[i], false);
      list->push_back(copy);
    }
    return;
  }
  checkNoCycle(*value, list, ctx);
  list->push_back(moveIntoElement(*value));
}

void listInsert(ValueList* list, antlr4::ParserRuleContext* ctx) {
  ExprValue* index = builtinArg(0);
  if (!index->isInteger() || indexOf(*index) < 0) {
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 参数无法匹配！")
                         .arg(lineOfContext(ctx))
                         .arg(statementOf(ctx), callName()));
  }
  ExprValue* value = builtinArg(1);
  checkNoCycle(*value, list, ctx);
  const size_t at = size_t(indexOf(*index));
  ExprValue* cell = moveIntoElement(*value);
  if (at >= list->size())
    list->push_back(cell);
  else
    list->insert(list->begin() + std::ptrdiff_t(at), cell);
}

// ---- lb_create ------------------------------------------------------------

// The memory the machine can give a run: its physical memory, or less where
// the process's address space is limited.
uint64_t memoryForRun() {
  uint64_t bytes = 0;
#if defined(__linux__)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) bytes = uint64_t(pages) * uint64_t(pageSize);
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      (bytes == 0 || uint64_t(limit.rlim_cur) < bytes))
    bytes = uint64_t(limit.rlim_cur);
#elif defined(_WIN32)
  MEMORYSTATUSEX status;
  status.dwLength = sizeof(status);
  if (GlobalMemoryStatusEx(&status)) bytes = std::min<uint64_t>(status.ullTotalPhys, status.ullTotalVirtual);
#endif
  return bytes != 0 ? bytes : uint64_t(1) << 32;
}

// What one element copy of a value takes: its pointer in the list, its cell
// and, for the types held by pointer, a share of the payload (a struct's
// members are copied with it).
uint64_t elementBytes(const ExprValue& value) {
  constexpr uint64_t kCell = sizeof(ExprValue*) + sizeof(ExprValue);
  constexpr uint64_t kPayload = 32;
  if (value.type == VT_STRUCT) {
    const uint64_t members = value.payload.st != nullptr && value.payload.st->members != nullptr
                                 ? value.payload.st->members->size()
                                 : 0;
    return kCell + sizeof(StructValue) + members * (kCell + kPayload);
  }
  return value.type >= VT_STRUCT ? kCell + kPayload : kCell;
}

void listCreate(antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  if (recv->type != VT_TYPE_NAME) {
    pushEmptyResult();
    return;
  }
  if (recv->payload.i32 != VT_LIST) {
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 函数 %3 只能使用类型名 lb 调用！")
                         .arg(lineOfContext(ctx))
                         .arg(statementOf(ctx), callName()));
  }
  ExprValue* count = builtinArg(0);
  ExprValue* value = builtinArg(1);
  if (!count->isInteger() || value->type == VT_DICT) {
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 参数无法匹配，请检查！")
                         .arg(lineOfContext(ctx))
                         .arg(statementOf(ctx), callName()));
  }
  // A count is refused only when its elements cannot fit in the memory the
  // machine has (or when it passes the int indexes of a list); below that an
  // allocation that fails ends the run as out of memory.
  const int64_t n = count->asInt64();
  const uint64_t each = elementBytes(*value);
  // (the machine is asked only for a list of some size)
  const int64_t most = n > 0 && uint64_t(n) > (uint64_t(64) << 20) / each
                           ? int64_t(std::min<uint64_t>(memoryForRun() / each, uint64_t(INT32_MAX)))
                           : n;
  if (n > most) {
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 调用函数 %3 的元素个数 %4 过大，最多为 %5 个！"),
        lineOfContext(ctx), statementOf(ctx), callName(), n, most));
  }
  ExprValue result = makeListValue();
  if (n > 0) {
    ValueList* l = result.payload.list;
    try {
      l->reserve(size_t(n));
      for (int64_t i = 0; i < n; ++i) l->push_back(copyValueToPool(*value, false));
    } catch (...) {
      freeValue(result);
      throw;
    }
  }
  pushBuiltinResult(result);
}

// ---- search ---------------------------------------------------------------

// What a searched value matches; kind 0 means "cannot be searched".
struct SearchKey {
  int kind = 0;  // 1 integer, 2 byte string, 3 character
  int64_t number = 0;
  const QByteArray* bytes = nullptr;
  char ch = 0;
};

SearchKey searchKeyOf(const ExprValue& v) {
  static const QByteArray empty;
  SearchKey k;
  if (v.isInteger()) {
    k.kind = 1;
    k.number = v.asInt64();
  } else if (v.type == VT_BYTES) {
    k.kind = 2;
    k.bytes = v.payload.bytes != nullptr ? v.payload.bytes : &empty;
  } else if (v.type == VT_CHAR) {
    k.kind = 3;
    k.ch = v.payload.c;
  }
  return k;
}

bool searchMatches(const SearchKey& k, const ExprValue& e) {
  switch (k.kind) {
    case 1: return e.isInteger() && e.asInt64() == k.number;
    case 2:
      if (e.type != VT_BYTES) return false;
      if (e.payload.bytes == nullptr) return k.bytes->isEmpty();
      return *e.payload.bytes == *k.bytes;
    case 3: return e.type == VT_CHAR && e.payload.c == k.ch;
    default: return false;
  }
}

void listIndexOf(ValueList* list, antlr4::ParserRuleContext* ctx) {
  const int argc = builtinArgCount();
  if (argc != 1 && argc != 2) {
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 调用函数 indexOf 参数个数或参数形式无法匹配！该函数只能查找整数、字符、字符串！")
            .arg(lineOfContext(ctx))
            .arg(statementOf(ctx)));
  }
  int64_t start = 0;
  if (argc == 2 && builtinArg(1)->isInteger()) start = indexOf(*builtinArg(1));
  if (start < 0) start = 0;  // a negative start searches the whole list
  SearchKey key = searchKeyOf(*builtinArg(0));
  if (key.kind == 0) {
    pushEmptyResult();
    return;
  }
  const int64_t size = int64_t(list->size());
  for (int64_t i = start; i < size; ++i) {
    if (searchMatches(key, *(*list)[size_t(i)])) {
      pushBuiltinResult(makeIntValue(int32_t(i)));
      return;
    }
  }
  pushBuiltinResult(makeIntValue(-1));
}

void listLastIndexOf(ValueList* list, antlr4::ParserRuleContext* ctx) {
  const int argc = builtinArgCount();
  if (argc != 1 && argc != 2) {
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 调用函数 lastIndexOf 参数个数或参数形式无法匹配！该函数只能查找整数或字符串！")
            .arg(lineOfContext(ctx))
            .arg(statementOf(ctx)));
  }
  const int64_t size = int64_t(list->size());
  int64_t start = size - 1;
  if (argc == 2 && builtinArg(1)->isInteger()) {
    int64_t from = indexOf(*builtinArg(1));
    start = from >= 0 ? std::min(from, size - 1) : from + size;
  }
  SearchKey key = searchKeyOf(*builtinArg(0));
  if (key.kind == 0) {
    pushEmptyResult();
    return;
  }
  for (int64_t i = start; i >= 0; --i) {
    if (searchMatches(key, *(*list)[size_t(i)])) {
      pushBuiltinResult(makeIntValue(int32_t(i)));
      return;
    }
  }
  pushBuiltinResult(makeIntValue(-1));
}

// ---- slices and copies ----------------------------------------------------

void listMid(ValueList* list, antlr4::ParserRuleContext* ctx) {
  const int64_t size = int64_t(list->size());
  int64_t pos = indexOf(*builtinArg(0));
  int64_t length = indexOf(*builtinArg(1));
  if (length == 0) {
    warn(callMessage("警告：行号 %1 语句 %2 调用函数 第二个参数是 %3，返回空列表！", ctx,
                     {QString::number(length)}));
    pushBuiltinResult(makeListValue());
    return;
  }
  pos = std::min(std::max<int64_t>(pos, 0), size);
  if (length < 0 || length > size) length = size;
  const int64_t end = std::min(pos + length, size);
  ExprValue result = makeListValue();
  if (pos < end) {
    ValueList* l = result.payload.list;
    l->reserve(size_t(end - pos));
    for (int64_t i = pos; i < end; ++i) l->push_back(copyValueToPool(*(*list)[size_t(i)], false));
  }
  pushBuiltinResult(result);
}

void listCopy(ValueList* list) {
  ExprValue result = makeListValue();
  ValueList* l = result.payload.list;
  l->reserve(list->size());
  for (const ExprValue* e : *list) l->push_back(copyValueToPool(*e, true));
  pushBuiltinResult(result);
}

// ---- removal ----------------------------------------------------------------

void warnRemoveOutOfRange(antlr4::ParserRuleContext* ctx, int64_t index, size_t size) {
  warn(callMessage(
      "警告：行号 %1 语句 %2 调用函数 %3 删除下标位置 %4 元素位置越界，列表长度%5， 没有删除！", ctx,
      {callName(), QString::number(qlonglong(index)), QString::number(qulonglong(size))}));
}

void warnTakeFromEmpty(antlr4::ParserRuleContext* ctx) {
  warn(QStringLiteral("警告：行号 %1 语句 %2 调用函数 %3 位置越界，列表是空，没有删除！")
           .arg(lineOfContext(ctx))
           .arg(statementOf(ctx), callName()));
}

bool inRange(int64_t index, const ValueList* list) {
  return index >= 0 && size_t(index) < list->size();
}

// Removes the element at index and hands its payload to the result as it is.
void takeElement(ValueList* list, size_t index) {
  ExprValue* e = (*list)[index];
  ExprValue value = *e;
  list->erase(list->begin() + std::ptrdiff_t(index));
  returnValueCell(e);
  pushBuiltinResult(value);
}

// ---- sorting ----------------------------------------------------------------

QString mixedSortMessage(antlr4::ParserRuleContext* ctx) {
  return QStringLiteral("错误：行号 %1 语句 %2 列表无法正确排序，因为列表中掺杂有不同类型的元素，排序结果不一定正确")
      .arg(lineOfContext(ctx))
      .arg(statementOf(ctx));
}

bool allOfOneType(const ValueList* list) {
  const int32_t t = list->front()->type;
  for (const ExprValue* e : *list)
    if (e->type != t) return false;
  return true;
}

// Sorts the element pointers by a key read from each element once. The sort
// is stable: elements that compare equal, or that cannot be compared, keep
// their order.
template <typename Key, typename Less>
void sortByKey(ValueList* list, Key keyOf, Less less) {
  using Entry = std::pair<decltype(keyOf(*list->front())), ExprValue*>;
  std::vector<Entry> entries(list->size());
  for (size_t i = 0; i < entries.size(); ++i) entries[i] = Entry(keyOf(*(*list)[i]), (*list)[i]);
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const Entry& a, const Entry& b) { return less(a.first, b.first); });
  for (size_t i = 0; i < entries.size(); ++i) (*list)[i] = entries[i].second;
}

// Integer keys of a longer list that span a range at most twice its length:
// a counting sort, which is stable as well and so gives the order the merge
// sort gives. False (nothing done) for a short list or a wider range.
template <typename Key>
bool sortByCounting(ValueList* list, Key keyOf, bool descending) {
  const size_t n = list->size();
  if (n < 64) return false;
  int64_t lo = keyOf(*list->front());
  int64_t hi = lo;
  for (const ExprValue* e : *list) {
    const int64_t k = keyOf(*e);
    lo = std::min(lo, k);
    hi = std::max(hi, k);
  }
  const uint64_t span = uint64_t(hi) - uint64_t(lo);
  if (span >= 2 * uint64_t(n)) return false;
  auto slot = [&](const ExprValue& e) {
    const int64_t k = keyOf(e);
    return size_t(descending ? uint64_t(hi) - uint64_t(k) : uint64_t(k) - uint64_t(lo));
  };
  std::vector<size_t> starts(size_t(span) + 2, 0);
  for (const ExprValue* e : *list) ++starts[slot(*e) + 1];
  for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  std::vector<ExprValue*> sorted(n);
  for (ExprValue* e : *list) sorted[starts[slot(*e)]++] = e;
  std::copy(sorted.begin(), sorted.end(), list->begin());
  return true;
}

// The key every cell to sort has in common: integers (32- and 64-bit
// compare alike), decimals, or neither (the general comparison).
enum class SortKey { Integer, Decimal, General };

template <typename CellOf>
SortKey sortKeyOf(const ValueList* list, CellOf cellOf) {
  bool integers = true;
  bool decimals = true;
  for (const ExprValue* e : *list) {
    const int32_t t = cellOf(*e).type;
    integers = integers && (t == VT_INT || t == VT_LONG);
    decimals = decimals && t == VT_DOUBLE;
    if (!integers && !decimals) return SortKey::General;
  }
  return integers ? SortKey::Integer : SortKey::Decimal;
}

// Sorts the elements by the cell cellOf gives for each: a before b when
// compareValues(a, b) gives `before` (-1 ascending, 1 descending). The
// comparison never changes between calls on the same pair, which is all the
// merge sort needs to stay within its range even when some pairs are not
// comparable. Integer and decimal keys are compared directly, with the same
// outcome.
template <typename CellOf>
void sortCells(ValueList* list, bool descending, CellOf cellOf) {
  switch (sortKeyOf(list, cellOf)) {
    case SortKey::Integer: {
      auto key = [&](const ExprValue& e) { return cellOf(e).asInt64(); };
      if (sortByCounting(list, key, descending)) return;
      if (descending)
        sortByKey(list, key, [](int64_t a, int64_t b) { return a > b; });
      else
        sortByKey(list, key, [](int64_t a, int64_t b) { return a < b; });
      return;
    }
    case SortKey::Decimal: {
      auto key = [&](const ExprValue& e) { return cellOf(e).payload.d; };
      // ascending: compareValues gives -1 whenever the two are neither equal
      // nor a > b (NaN included)
      if (descending)
        sortByKey(list, key, [](double a, double b) { return a > b; });
      else
        sortByKey(list, key, [](double a, double b) { return !(a == b) && !(a > b); });
      return;
    }
    case SortKey::General:
      break;
  }
  const int32_t before = descending ? 1 : -1;
  std::stable_sort(list->begin(), list->end(), [&](const ExprValue* a, const ExprValue* b) {
    return compareValues(cellOf(*a), cellOf(*b), false) == before;
  });
}

void listSort(ValueList* list, antlr4::ParserRuleContext* ctx) {
  if (list->size() < 2) return;
  if (!allOfOneType(list)) warn(mixedSortMessage(ctx));
  sortCells(list, flagOf(*builtinArg(0)), [](const ExprValue& e) -> const ExprValue& { return e; });
}

size_t memberCount(const ExprValue& e) {
  if (e.type != VT_STRUCT || e.payload.st == nullptr || e.payload.st->members == nullptr) return 0;
  return e.payload.st->members->size();
}

void listSortStruct(ValueList* list, antlr4::ParserRuleContext* ctx) {
  if (list->size() < 2) return;
  if (!allOfOneType(list)) {
    QString msg = mixedSortMessage(ctx);
    warn(msg);
    raiseScriptError(msg);
  }
  if (list->front()->type != VT_STRUCT) return;
  const int64_t index = indexOf(*builtinArg(0));
  // every element must have the member, not only the first (the list may
  // hold structs of different types)
  bool ok = index >= 0;
  for (size_t i = 0; ok && i < list->size(); ++i)
    ok = size_t(index) < memberCount(*(*list)[i]);
  if (!ok) {
    raiseScriptError(callMessage("错误：行号 %1 语句 %2 列表元素结构体没有对应序号 %3 的元素，按其排序",
                                 ctx, {QString::number(qlonglong(index))}));
  }
  const size_t m = size_t(index);
  sortCells(list, flagOf(*builtinArg(1)),
            [m](const ExprValue& e) -> const ExprValue& { return *(*e.payload.st->members)[m]; });
}

// ---- direct forms (see BuiltinDirect): the handler's plain cases ---------

inline ValueList* directList(const ExprValue& recv) {
  return recv.type == VT_LIST ? recv.payload.list : nullptr;
}

int listSizeDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  const ValueList* list = directList(recv);
  if (list == nullptr || argc != 0) return -1;
  *out = makeIntValue(int32_t(list->size()));
  return 1;
}

int listAtDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  const ValueList* list = directList(recv);
  if (list == nullptr || argc != 1 || args[0].type != VT_INT) return -1;
  const int64_t i = indexOf(args[0]);
  if (!inRange(i, list)) return -1;
  *out = copyValue(*(*list)[size_t(i)], false);
  return 1;
}

int listAppendDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue*) {
  ValueList* list = directList(recv);
  if (list == nullptr || argc != 1 || !appendableType(args[0].type) ||
      wouldHoldItself(args[0], list, recv))
    return -1;
  list->push_back(moveIntoElement(args[0]));
  return 0;
}

}  // namespace

void registerListLib() {
  if (BuiltinLibFlags[LIB_LIST]) return;
  BuiltinLibFlags[LIB_LIST] = 1;
  currentBuiltinHandler = listLibCall;
  currentBuiltinReceiver = VT_LIST;
  registerBuiltinMethod(LB_SIZE, "lb_size", {}, BF_MEMBER)->direct = listSizeDirect;
  registerBuiltinMethod(LB_APPEND, "lb_append", {1, 2, BA_RANGE}, BF_MEMBER)->direct = listAppendDirect;
  registerBuiltinMethod(LB_AT, "lb_at", {VT_INT}, BF_MEMBER)->direct = listAtDirect;
  registerBuiltinMethod(LB_LAST, "lb_last", {}, BF_MEMBER);
  registerBuiltinMethod(LB_FIRST, "lb_first", {}, BF_MEMBER);
  registerBuiltinMethod(LB_IS_EMPTY, "lb_isEmpty", {}, BF_MEMBER);
  registerBuiltinMethod(LB_CLEAR, "lb_clear", {}, BF_MEMBER);
  registerBuiltinMethod(LB_INSERT, "lb_insert", {2, 2, BA_RANGE}, BF_MEMBER);
  registerBuiltinMethod(LB_CREATE, "lb_create", {2, 2, BA_RANGE}, BF_STATIC);
  registerBuiltinMethod(LB_INDEX_OF, "lb_indexOf", {1, 2, BA_RANGE}, BF_MEMBER);
  registerBuiltinMethod(LB_LAST_INDEX_OF, "lb_lastIndexOf", {1, 2, BA_RANGE}, BF_MEMBER);
  registerBuiltinMethod(LB_MID, "lb_mid", {VT_INT, -1, BA_OPTIONAL_LAST}, BF_MEMBER);
  registerBuiltinMethod(LB_COPY, "lb_copy", {}, BF_MEMBER);
  registerBuiltinMethod(LB_REMOVE_AT, "lb_removeAt", {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(LB_TAKE_AT, "lb_takeAt", {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(LB_TAKE_FIRST, "lb_takeFirst", {}, BF_MEMBER);
  registerBuiltinMethod(LB_TAKE_LAST, "lb_takeLast", {}, BF_MEMBER);
  registerBuiltinMethod(LB_SWAP_ITEM_AT, "lb_swapItemAt", {VT_INT, VT_INT}, BF_MEMBER);
  registerBuiltinMethod(LB_RESERVE, "lb_reserve", {VT_INT}, BF_MEMBER);
  registerBuiltinMethod(LB_SORT, "lb_sort", {0, BA_OPTIONAL_LAST}, BF_MEMBER);
  registerBuiltinMethod(LB_SORT_STRUCT, "lb_sortStruct", {VT_INT, 0, BA_OPTIONAL_LAST}, BF_MEMBER);
}

void listLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  if (method->id == LB_CREATE) {
    listCreate(ctx);
    return;
  }
  ExprValue* recv = builtinReceiver();
  ValueList* list = recv->type == VT_LIST ? recv->payload.list : nullptr;
  if (list == nullptr) {
    // A list value without storage (a struct member that was never given a
    // list): the reading methods yield nothing, but a value handed to append
    // or insert would silently vanish, so those refuse it.
    if (method->id == LB_APPEND || method->id == LB_INSERT) {
      QString name = recv->owner != nullptr ? QString::fromUtf8(*recv->owner) : QString();
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 列表 %3 是空值，没有存放元素的地方，调用函数 %4 无法加入元素！请先给它赋一个列表值，比如 []。")
              .arg(lineOfContext(ctx))
              .arg(statementOf(ctx), name, callName()));
    }
    pushEmptyResult();
    return;
  }
  switch (method->id) {
    case LB_SIZE:
      pushBuiltinResult(makeIntValue(int32_t(list->size())));
      break;
    case LB_APPEND:
      listAppend(list, ctx);
      break;
    case LB_AT: {
      const int64_t i = indexOf(*builtinArg(0));
      if (!inRange(i, list)) {
        raiseScriptError(callMessage("错误：行号 %1 语句 %2 列表越界访问，列表有%3个元素，当前访问下标是 %4",
                                     ctx, {QString::number(qulonglong(list->size())), QString::number(qlonglong(i))}));
      }
      pushCopy(*(*list)[size_t(i)]);
      break;
    }
    case LB_FIRST:
    case LB_LAST:
      if (list->empty()) {
        raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 列表越界访问，列表为空，没有任何一个元素！")
                             .arg(lineOfContext(ctx))
                             .arg(statementOf(ctx)));
      }
      pushCopy(method->id == LB_FIRST ? *list->front() : *list->back());
      break;
    case LB_IS_EMPTY:
      pushBuiltinResult(makeBoolValue(list->empty()));
      break;
    case LB_CLEAR:
      clearListValue(*recv);
      break;
    case LB_INSERT:
      listInsert(list, ctx);
      break;
    case LB_INDEX_OF:
      listIndexOf(list, ctx);
      break;
    case LB_LAST_INDEX_OF:
      listLastIndexOf(list, ctx);
      break;
    case LB_MID:
      listMid(list, ctx);
      break;
    case LB_COPY:
      listCopy(list);
      break;
    case LB_REMOVE_AT: {
      const int64_t i = indexOf(*builtinArg(0));
      if (!inRange(i, list)) {
        warnRemoveOutOfRange(ctx, i, list->size());
        break;
      }
      ExprValue* e = (*list)[size_t(i)];
      list->erase(list->begin() + i);
      freeElement(e);
      break;
    }
    case LB_TAKE_AT: {
      const int64_t i = indexOf(*builtinArg(0));
      if (!inRange(i, list)) {
        warnRemoveOutOfRange(ctx, i, list->size());
        pushBuiltinResult(makeIntValue(-1));
        break;
      }
      takeElement(list, size_t(i));
      break;
    }
    case LB_TAKE_FIRST:
    case LB_TAKE_LAST:
      if (list->empty()) {
        warnTakeFromEmpty(ctx);
        pushBuiltinResult(makeIntValue(-1));
        break;
      }
      takeElement(list, method->id == LB_TAKE_FIRST ? 0 : list->size() - 1);
      break;
    case LB_SWAP_ITEM_AT: {
      const int64_t i = indexOf(*builtinArg(0));
      const int64_t j = indexOf(*builtinArg(1));
      if (!inRange(i, list) || !inRange(j, list)) {
        warn(QStringLiteral("警告：行号 %1 语句 %2 调用函数 %3 位置越界！")
                 .arg(lineOfContext(ctx))
                 .arg(statementOf(ctx), callName()));
        break;
      }
      std::swap((*list)[size_t(i)], (*list)[size_t(j)]);
      break;
    }
    case LB_RESERVE: {
      const int64_t n = std::min<int64_t>(indexOf(*builtinArg(0)), kMaxReserve);
      if (n > 0 && size_t(n) > list->capacity()) list->reserve(size_t(n));
      break;
    }
    case LB_SORT:
      listSort(list, ctx);
      break;
    case LB_SORT_STRUCT:
      listSortStruct(list, ctx);
      break;
    default:
      pushEmptyResult();
      break;
  }
}
