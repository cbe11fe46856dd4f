// Copying, sharing and releasing cells: holder counts of shared payloads,
// ValuePool, shallow and deep copies and the per-type releases.
#pragma once

#include "value.h"
#include "value_dict.h"

#include <cstdint>

// ---- holder counts of shared payloads (lists, dicts, files, workbooks) ----
// Each payload keeps its count (SharedCount). A payload that was never
// counted, or whose count went back to 0, has one holder.
namespace shared_refs {
extern int64_t counted;  // payloads whose count is 1 or more
inline int32_t add(SharedCount& c) {
  if (c.holders == 0) {
    ++counted;
    return c.holders = 1;
  }
  return ++c.holders;
}
inline int32_t drop(SharedCount& c) {
  if (c.holders <= 1) {
    if (c.holders == 1) --counted;
    c.holders = 0;
    return 0;
  }
  return --c.holders;
}
}  // namespace shared_refs

// count + 1; a payload not counted yet gets 1 and 1 is returned.
template <class T>
inline int32_t addSharedRef(T* payload) {
  return shared_refs::add(payload->shared);
}
// count - 1; 0 when the payload was not counted or the count was 1 (the count
// is cleared): the caller then frees the payload.
template <class T>
inline int32_t dropSharedRef(T* payload) {
  return shared_refs::drop(payload->shared);
}
// Current count without changing it (1 for a payload not counted).
template <class T>
inline int32_t sharedRefCount(const T* payload) {
  return payload->shared.holders == 0 ? 1 : payload->shared.holders;
}
// The count of a type 11/12/13/15 payload; null for any other type.
inline SharedCount* sharedCountOf(int32_t type, void* payload) {
  switch (type) {
    case VT_LIST: return &static_cast<ValueList*>(payload)->shared;
    case VT_DICT: return &static_cast<ValueDict*>(payload)->shared;
    case VT_FILE: return &static_cast<FileValue*>(payload)->shared;
    case VT_EXCEL: return &static_cast<ExcelValue*>(payload)->shared;
    default: return nullptr;
  }
}
// addSharedRef / dropSharedRef on the payload of a type 11/12/13/15 cell with
// a non-null payload; 0 for any other cell.
inline int32_t sharedRefOfValue(const ExprValue& cell) {
  if (cell.payload.ptr == nullptr) return 0;
  SharedCount* c = sharedCountOf(cell.type, cell.payload.ptr);
  return c != nullptr ? shared_refs::add(*c) : 0;
}
inline int32_t dropSharedRefOfValue(const ExprValue& cell) {
  if (cell.payload.ptr == nullptr) return 0;
  SharedCount* c = sharedCountOf(cell.type, cell.payload.ptr);
  return c != nullptr ? shared_refs::drop(*c) : 0;
}
// Number of payloads counted now (1 or more holders): tests use it to see
// that every shared payload was released.
inline int64_t countedSharedPayloads() { return shared_refs::counted; }

// ---- ValuePool ----
// Most recently returned cell, or a new empty cell. A reused cell keeps its
// old type: the taker sets the type.
ExprValue* takeValueCell();
// Clears owner and payload (type left as it is) and keeps the cell for reuse.
// The payload must have been released before.
void returnValueCell(ExprValue* cell);
// Frees every pooled cell (run end; called by destroyFunctionTable).
void freeValuePool();
size_t valuePoolSize();

// New pooled cell with the three fields copied (nothing duplicated, no count).
ExprValue* copyCellToPool(const ExprValue& cell);
// New pooled cell with the three fields; for types 8 and above the source's
// payload becomes null (ownership moves).
ExprValue* moveValueToPool(ExprValue& cell);
// Copy of a cell: owned payloads duplicated, lists and dicts shared (shallow)
// or duplicated element by element (deep), files and workbooks always shared.
ExprValue copyValue(const ExprValue& cell, bool deep);
ExprValue* copyValueToPool(const ExprValue& cell, bool deep);
// New struct: members copied shallowly (lists/dicts/files/workbooks shared,
// strings, times and structs duplicated); native object copied.
StructValue* copyStructValue(const StructValue* source);

// Appends `count` byte-string cells to the list: the pieces of `data` from
// `from` to cuts[0], from cuts[0] + gap to cuts[1], and so on (a split's
// pieces between separators `gap` bytes long). Returns where the next piece
// starts.
int appendByteStringPieces(ValueList& list, const char* data, int from, const int* cuts, int count,
                           int gap);

// New empty list / dict payload counted with one holder. A list record comes
// from a slot pool: only its release (freeValue and the like) may end it,
// never delete.
ValueList* newValueList();
ValueDict* newValueDict();
// Cells holding a new empty list / dict (count 1).
ExprValue makeListValue();
ExprValue makeDictValue();

// releasePayload for the types that own a heap payload (7 and above).
void releaseHeldPayload(int32_t type, ValuePayload& payload);
// Releases the payload of a bare payload with a given type (shared ones by
// their holder count) and sets it to null. Numbers, booleans, characters and
// the empty type own nothing; a byte string is given back here at once.
inline void releasePayload(int32_t type, ValuePayload& payload) {
  if (type == VT_BYTES) {
    deleteByteString(payload.bytes);
    payload.i64 = 0;
  } else if (type < VT_STRUCT_DESC) {
    payload.i64 = 0;
  } else {
    releaseHeldPayload(type, payload);
  }
}
// The same on a cell; the type field is unchanged.
inline void freeValue(ExprValue& cell) { releasePayload(cell.type, cell.payload); }
// freeValue for types 11, 12, 13, 15 only.
void releaseSharedValue(ExprValue& cell);
// The release rule of exactly one type; false (nothing done) for another type
// or a null payload.
bool releaseListValue(ExprValue& cell);
bool releaseDictValue(ExprValue& cell);
bool releaseFileValue(ExprValue& cell);
bool releaseExcelValue(ExprValue& cell);
// Releases every element / entry; the container and its count stay.
void clearListValue(ExprValue& cell);
void clearDictValue(ExprValue& cell);
// Deletes the QFileInfo, closes and deletes the QFile (both set to null).
// Data that cannot be written at the close is reported on standard output
// and fails the run (noteLostData).
void closeFileValue(FileValue* file);
// When the document exists: saves it if open and the run has not failed,
// closes it, destroys it (pointer set to null).
void closeExcelDocument(ExcelValue* excel);

// Whether the container payload is the value itself or is held somewhere
// inside it (in a list, a dict value or a struct member, at any depth).
// Storing such a value into the container would make it hold itself: it could
// never be freed, and printing or copying it would not end.
// Only a struct, list or dict can be or hold a container: a value of any
// other type is answered here without the walk.
bool valueReachesWalk(const ExprValue& value, const void* container);
// Whether the value is a list or dict, or a struct with a struct, list or
// dict member: only such a value can be or hold a container.
bool mayHoldContainers(const ExprValue& value);
inline bool valueReaches(const ExprValue& value, const void* container) {
  if (value.type != VT_STRUCT && value.type != VT_LIST && value.type != VT_DICT) return false;
  return valueReachesWalk(value, container);
}
