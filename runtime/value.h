// The value cell of korvel, its type codes and the payload records of the
// heap types, with the small builders and readers used everywhere.
#pragma once

#include <QByteArray>
#include <QChar>
#include <QList>
#include <QString>

#include "recycle_pool.h"

#include <any>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <new>
#include <vector>

class QFile;
class QFileInfo;
class QDateTime;
class Workbook;
class ValueDict;
struct ExprValue;
struct ScopeRecord;

// Type codes of a cell (and kinds below 100 of a scope record).
enum ValueType : int32_t {
  VT_EMPTY = -1,         // no value yet
  VT_INT = 0,            // zs: 32-bit integer, inline
  VT_LONG = 1,           // czs: 64-bit integer, inline
  VT_DOUBLE = 2,         // xs: double, inline
  VT_BOOL = 3,           // bl: one byte 0/1, inline
  VT_CHAR = 4,           // zf: 8-bit character, inline
  VT_WCHAR = 5,          // kzf: one UTF-16 unit, inline
  VT_STRUCT_DESC = 7,    // struct description: ByteStringList* (names, then type words)
  VT_STRUCT = 8,         // jiegou: StructValue*
  VT_BYTES = 9,          // zfc: QByteArray* (UTF-8 by convention)
  VT_STRING = 10,        // string: QString*
  VT_LIST = 11,          // lb: ValueList* (shared)
  VT_DICT = 12,          // zd: ValueDict* (shared)
  VT_FILE = 13,          // wj: FileValue* (shared)
  VT_TIME = 14,          // sj: QDateTime*
  VT_EXCEL = 15,         // excel: ExcelValue* (shared)
  VT_FUNC = 16,          // hs: FunctionName* (function name)
  VT_FUNC_VAR = 17,      // variable holding a function value: FunctionName*
  VT_FUNC2 = 18,         // hs: FunctionName2* (two names)
  VT_TYPE_NAME = 19,     // a type name used as receiver of a static call; payload.i32 = code
  VT_NOTHING = 20,       // no payload
  VT_PKG_KOR = 21,       // the package kor
  VT_PKG_HUX = 22,       // the package hux (host object)
  VT_XLWORKSHEET = 24,   // prelude struct codes
  VT_PHUXMAIN = 25,
  VT_PEDIT = 26,
  VT_REGEXP = 27,
  VT_REGMATCH = 28,
  VT_REGMATCHITER = 29,
  VT_CALL_MARK = 53      // scope-record kind of a call through a function value: FunctionName*
};

using ByteStringList = QList<QByteArray>;

// Holder count of a shared payload (list, dict, file, workbook), kept in the
// payload itself so that sharing and releasing cost no table lookup. 0 means
// the payload was never counted, which stands for one holder (see
// addSharedRef in value_ops.h). Copying or assigning a payload object never
// carries its count along: the count belongs to the object's address.
struct SharedCount {
  int32_t holders = 0;
  SharedCount() = default;
  SharedCount(const SharedCount&) noexcept {}
  SharedCount& operator=(const SharedCount&) noexcept { return *this; }
};

// Payload of type 11: element cells owned, pooled.
struct ValueList : std::vector<ExprValue*> {
  using std::vector<ExprValue*>::vector;
  SharedCount shared;
};

// Payload of a function value (types 16, 17, 53; scope kind 51).
struct FunctionName {
  QByteArray name;
};

// Payload of a two-name function value (type 18).
struct FunctionName2 {
  QByteArray first;
  QByteArray second;
};

// The member cells of a struct: a fixed few, so the array and the vector
// record come from slot pools.
struct MemberCells : std::vector<ExprValue*, SlotAllocator<ExprValue*>>, SlotAllocated {
  using Base = std::vector<ExprValue*, SlotAllocator<ExprValue*>>;
  using Base::Base;
};

// Payload of type 8; the record comes from a slot pool.
struct StructValue : SlotAllocated {
  MemberCells* members = nullptr;  // one pooled cell per member, or null
  std::any native;                 // native object of a built-in struct
  QByteArray typeName;             // the struct's type name
  // The description's member names, then type words, shared with it (empty
  // for a struct a library builds): member lookups need no global lookup.
  ByteStringList layout;
  int32_t builtinCode = 0;         // 24..29 prelude structs, 0 script structs
};

// Payload of type 13; both objects owned.
struct FileValue {
  QFile* file = nullptr;
  QFileInfo* info = nullptr;
  SharedCount shared;
};

// Payload of type 15; the document is owned.
struct ExcelValue {
  Workbook* doc = nullptr;
  QByteArray path;
  SharedCount shared;
};

// The 8-byte payload of a cell or a scope record.
union ValuePayload {
  int32_t i32;        // type 0 (low half)
  int64_t i64;        // type 1
  double d;           // type 2
  uint8_t b;          // type 3
  char c;             // type 4
  uint16_t u16;       // type 5
  void* ptr;          // every pointer type
  QByteArray* bytes;  // 9
  QString* str;       // 10
  ValueList* list;    // 11
  ValueDict* dict;    // 12
  FileValue* file;    // 13
  QDateTime* time;    // 14
  ExcelValue* excel;  // 15
  StructValue* st;    // 8
  ByteStringList* names;  // 7
  FunctionName* fn;   // 16, 17, 53
  FunctionName2* fn2; // 18
  QString* text;      // scope kind 52
};

// The value cell: owner word, type code, payload. A trivially copyable
// 24-byte record; copying a cell copies the pointer, not the payload.
struct ExprValue {
  const QByteArray* owner;  // null, owner name of a function value, or receiver text
  int32_t type;             // ValueType code, -1 = empty
  ValuePayload payload;

  ExprValue() : owner(nullptr), type(VT_EMPTY) { payload.i64 = 0; }

  bool isEmpty() const { return type == VT_EMPTY; }
  bool isNumber() const { return type >= VT_INT && type <= VT_DOUBLE; }
  bool isInteger() const { return type == VT_INT || type == VT_LONG; }
  // integer value of a type 0 or 1 cell
  int64_t asInt64() const { return type == VT_INT ? int64_t(payload.i32) : payload.i64; }
};

static_assert(sizeof(ExprValue) == 24, "ExprValue must stay 24 bytes");
static_assert(std::is_trivially_copyable<ExprValue>::value, "ExprValue must stay a POD");

// ---- byte string and string handles ----
// The QByteArray / QString object a type 9 / 10 payload points to is one
// pointer wide. Those objects live in slots of a free list instead of coming
// one by one from the general heap, so making, copying and releasing a string
// value costs no heap call for the handle. Every handle of a payload is made
// with newByteString / newText and given back with deleteByteString /
// deleteText (never new / delete).
using HandleSlots = SlotPool<sizeof(void*)>;

static_assert(sizeof(QByteArray) == sizeof(void*) && sizeof(QString) == sizeof(void*),
              "a string handle must fit one slot");

template <class... Args>
inline QByteArray* newByteString(Args&&... args) {
  return new (HandleSlots::take()) QByteArray(std::forward<Args>(args)...);
}
template <class... Args>
inline QString* newText(Args&&... args) {
  return new (HandleSlots::take()) QString(std::forward<Args>(args)...);
}
// ---- heap blocks of short strings ----
// Qt 5 keeps a string's units in one malloc'd block: the array header, the
// units, a terminating zero unit. Splitting text makes one such block per
// piece, and most pieces are dropped soon after. The blocks of short byte
// strings and 16-bit strings that nobody else holds (reference count 1) are
// kept here when their handle is deleted, and a new piece or captured text
// takes one instead of calling malloc. A kept block belongs to this cache
// alone, so no string can see it change. Checked builds (AddressSanitizer)
// keep nothing, as the slot pools do.
namespace byte_blocks {
static_assert(QT_VERSION < QT_VERSION_CHECK(6, 0, 0), "the Qt 5 array header");
static_assert(sizeof(QArrayData) % alignof(QArrayData) == 0 && alignof(QArrayData) <= 16,
              "the units follow the header directly");
constexpr int kClasses = 5;
// Capacities in bytes (the terminating unit included) of the classes: header
// and units fill 32, 48, 64, 96 and 128 bytes. Each is a whole number of
// 16-bit units.
constexpr uint32_t kCapacity[kClasses] = {8, 24, 40, 72, 104};
// Blocks of a larger capacity are freed, not kept.
constexpr uint32_t kLargestKept = 160;
constexpr int kKeptPerClass = 256;

struct Cache {
  QArrayData* blocks[kClasses][kKeptPerClass];
  int count[kClasses];
};
extern Cache cache;

// Class of a capacity from kCapacity[0] to kLargestKept bytes: the largest
// that fits in it (the capacities are multiples of 8).
constexpr int8_t kClassOfCapacity[kLargestKept / 8 + 1] = {-1, 0, 0, 1, 1, 2, 2, 2, 2, 3, 3,
                                                         3, 3, 4, 4, 4, 4, 4, 4, 4, 4};
inline int classHolding(uint32_t bytes) { return kClassOfCapacity[bytes >> 3]; }
// Class of a string needing `need` (1 to the last capacity) bytes with its
// terminator: the smallest that holds it.
constexpr int8_t kClassOfNeed[kCapacity[kClasses - 1] / 8] = {0, 1, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4};
inline int classFor(uint32_t need) { return kClassOfNeed[(need - 1) >> 3]; }
constexpr bool classTablesAgree() {
  for (uint32_t a = kCapacity[0]; a <= kLargestKept; ++a) {
    const int k = kClassOfCapacity[a >> 3];
    if (k < 0 || kCapacity[k] > a || (k + 1 < kClasses && kCapacity[k + 1] <= a)) return false;
  }
  for (uint32_t n = 1; n <= kCapacity[kClasses - 1]; ++n) {
    const int k = kClassOfNeed[(n - 1) >> 3];
    if (kCapacity[k] < n || (k > 0 && kCapacity[k - 1] >= n)) return false;
  }
  for (uint32_t c : kCapacity)
    if (c % 2 != 0) return false;
  return true;
}
static_assert(classTablesAgree(), "the class tables follow kCapacity");

// Keeps the block of a string of `Unit`-byte units about to be deleted when
// it is a short heap block of its own and there is room; true when kept (the
// string must then not be destroyed).
template <int Unit>
inline bool keep(QArrayData* d) {
  if (!HandleSlots::kPooled) return false;
  if (d->ref.atomic.loadAcquire() != 1) return false;
  const uint32_t bytes = d->alloc * Unit;  // 0 for the shared empty and raw data
  if (bytes < kCapacity[0] || bytes > kLargestKept) return false;
  if (d->offset != qptrdiff(sizeof(QArrayData))) return false;
  const int k = classHolding(bytes);
  if (cache.count[k] == kKeptPerClass) return false;
  cache.blocks[k][cache.count[k]++] = d;
  return true;
}

// Header of a block for `size` units of `Unit` bytes in `bytes` bytes of
// room: count 1, the terminating unit in place.
template <int Unit>
inline QArrayData* setHeader(QArrayData* d, int size, uint32_t bytes) {
  d->ref.atomic.storeRelaxed(1);
  d->size = size;
  d->alloc = bytes / Unit;
  d->capacityReserved = 0;
  d->offset = sizeof(QArrayData);
  std::memset(reinterpret_cast<char*>(d) + sizeof(QArrayData) + size_t(size) * Unit, 0, Unit);
  return d;
}

// A new block of `bytes` bytes of room (a class's capacity, or just what is
// needed above the classes).
QArrayData* takeNew(uint32_t bytes);

// A block of a string of `size` (> 0) units of `Unit` bytes, its header set
// (units unset): a kept block of the smallest class that holds it, else a new
// one. Qt frees it with ::free as it does its own.
template <int Unit>
inline QArrayData* take(int size) {
  const uint32_t need = (uint32_t(size) + 1) * Unit;
  if (need > kCapacity[kClasses - 1]) return setHeader<Unit>(takeNew(need), size, need);
  const int k = classFor(need);
  QArrayData* d = cache.count[k] > 0 ? cache.blocks[k][--cache.count[k]] : takeNew(kCapacity[k]);
  return setHeader<Unit>(d, size, kCapacity[k]);
}
}  // namespace byte_blocks

// Copies `size` bytes; up to 16 of them without a library call (two
// overlapping moves of one width).
inline void copyShortBytes(char* to, const char* from, size_t size) {
  if (size > 16) {
    std::memcpy(to, from, size);
  } else if (size >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + size - 8, from + size - 8, 8);
  } else if (size >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + size - 4, from + size - 4, 4);
  } else if (size > 0) {
    to[0] = from[0];
    to[size / 2] = from[size / 2];
    to[size - 1] = from[size - 1];
  }
}

// The block of a byte string holding a copy of `size` (> 0) bytes.
inline QByteArrayData* byteBlockOf(const char* data, int size) {
  QArrayData* d = byte_blocks::take<1>(size);
  copyShortBytes(reinterpret_cast<char*>(d) + sizeof(QArrayData), data, size_t(size));
  return static_cast<QByteArrayData*>(d);
}

// A byte string holding a copy of `size` bytes (a split piece, a line).
inline QByteArray copyToByteString(const char* data, int size) {
  if (size <= 0) return QByteArray(data, 0);
  return QByteArray(QByteArrayDataPtr{byteBlockOf(data, size)});
}

// A 16-bit string holding a copy of `size` units (a captured text); empty,
// not null, for no units.
inline QString copyToText(const QChar* units, int size) {
  if (size <= 0) return QString(QLatin1String(""));
  QArrayData* d = byte_blocks::take<2>(size);
  copyShortBytes(reinterpret_cast<char*>(d) + sizeof(QArrayData), reinterpret_cast<const char*>(units),
                 size_t(size) * 2);
  return QString(QStringDataPtr{static_cast<QStringData*>(d)});
}

// A new handle holding a copy of `size` bytes.
inline QByteArray* newByteStringCopy(const char* data, int size) {
  if (size <= 0) return newByteString(data, 0);
  return new (HandleSlots::take()) QByteArray(QByteArrayDataPtr{byteBlockOf(data, size)});
}

// Null is allowed (the empty payload).
// deleteByteString for loops that release many pieces: the keeping inline.
inline void deleteByteStringInline(QByteArray* bytes) {
  if (bytes == nullptr) return;
  if (!byte_blocks::keep<1>(bytes->data_ptr())) bytes->~QByteArray();
  HandleSlots::give(bytes);
}

// A string that others share only loses a holder; the last holder's block
// may be kept for reuse (out of line: most callers release shared strings).
void deleteSoleByteString(QByteArray* bytes);
void deleteSoleText(QString* text);
inline void deleteByteString(QByteArray* bytes) {
  if (bytes == nullptr) return;
  if (bytes->data_ptr()->ref.atomic.loadRelaxed() == 1) return deleteSoleByteString(bytes);
  bytes->~QByteArray();
  HandleSlots::give(bytes);
}
inline void deleteText(QString* text) {
  if (text == nullptr) return;
  if (text->data_ptr()->ref.atomic.loadRelaxed() == 1) return deleteSoleText(text);
  text->~QString();
  HandleSlots::give(text);
}

// Keyword of a code; with a cell, 19 names the code held in its payload.
QByteArray typeKeyword(int32_t code, const ExprValue* cell = nullptr);
// Chinese description of a code for messages; with a cell, 8 names the struct
// type and 19 describes the code held in the payload.
QString typeDescription(int32_t code, const ExprValue* cell = nullptr);
// Types 0, 1, 4, 5, 9, 10 may be dict keys.
bool isKeyType(const ExprValue& cell);
// Types 4, 5 and 8..15 have built-in member methods.
bool typeHasMethods(int32_t code);

// A decimal cut toward zero, saturating at the ends of Int; NaN gives 0.
template <class Int>
Int cutDecimal(double d) {
  constexpr Int lo = std::numeric_limits<Int>::min();
  constexpr Int hi = std::numeric_limits<Int>::max();
  if (!(d == d)) return 0;
  if (d >= double(hi)) return hi;
  if (d <= double(lo)) return lo;
  return Int(d);
}

// ---- inline builders for plain cells (owner null) ----
inline ExprValue makeIntValue(int32_t v) { ExprValue c; c.type = VT_INT; c.payload.i64 = 0; c.payload.i32 = v; return c; }
inline ExprValue makeLongValue(int64_t v) { ExprValue c; c.type = VT_LONG; c.payload.i64 = v; return c; }
inline ExprValue makeDoubleValue(double v) { ExprValue c; c.type = VT_DOUBLE; c.payload.d = v; return c; }
inline ExprValue makeBoolValue(bool v) { ExprValue c; c.type = VT_BOOL; c.payload.b = v ? 1 : 0; return c; }
inline ExprValue makeCharValue(char v) { ExprValue c; c.type = VT_CHAR; c.payload.c = v; return c; }
inline ExprValue makeWCharValue(uint16_t v) { ExprValue c; c.type = VT_WCHAR; c.payload.u16 = v; return c; }
// New owned payloads (the cell owns them; free with freeValue).
ExprValue makeStringValue(const QString& s);
ExprValue makeBytesValue(const QByteArray& s);
ExprValue makeTimeValue(const QDateTime& t);
ExprValue makeFunctionValue(const QByteArray& name);  // type 16

// Sets type 9 with a new byte string taken from the text (text consumed).
// The cell's old payload is not released.
void makeByteStringValue(ExprValue& cell, QByteArray&& text);
// Sets type 9, reusing the cell's byte string when it has one (a type-9 cell
// with a payload); otherwise creates one, except that with reuseOnly set a
// cell without a byte string is left at a null payload (the empty byte string).
void setByteStringStd(ExprValue& cell, std::string&& text, bool reuseOnly);
void setByteString(ExprValue& cell, const QByteArray& text);
// Absolute path of a file cell (empty when there is no file or no info).
QByteArray fileValuePath(const ExprValue& cell);
// QChar of a type-5 cell.
QChar charValueToQChar(const ExprValue& cell);
// UTF-8 bytes as a 16-bit string, zero bytes included (Qt's QByteArray
// overload stops at the first zero byte).
inline QString utf8ToString(const QByteArray& b) {
  return b.isNull() ? QString() : QString::fromUtf8(b.constData(), b.size());
}
// Bytes of a type-9 cell (empty for a null payload).
std::string byteStringToStd(const ExprValue& cell);
// typeName / builtinCode of a type-8 cell (empty / -1 without a struct).
QByteArray structTypeName(const ExprValue& cell);
int32_t structTypeCode(const ExprValue& cell);
// builtinCode of a kind-8 record's struct; 0 for other records or no payload.
int32_t scopeRecordStructCode(const ScopeRecord* record);
