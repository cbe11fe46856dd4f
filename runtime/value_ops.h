// Copying, sharing and releasing cells: SharedRefTable, ValuePool, shallow
// and deep copies and the per-type releases.
#pragma once

#include "value.h"

#include <cstdint>
#include <unordered_map>

// Hash of a payload address.
struct AddressHash {
  size_t operator()(const void* p) const noexcept;
};

// Holder counts of shared payloads (lists, dicts, files, workbooks).
// A payload without an entry has one holder.
using SharedRefTable = std::unordered_map<const void*, int32_t, AddressHash>;

SharedRefTable* sharedRefTable();     // the run's table, or null
void createSharedRefTable();          // creates it when absent
void destroySharedRefTable();         // frees it (values must be released first)

// count + 1; an address without an entry is inserted with 1 and 1 returned.
int32_t addSharedRef(const void* payload);
// count - 1; 0 when there was no entry or the count was 1 (entry erased):
// the caller then frees the payload.
int32_t dropSharedRef(const void* payload);
// Current count without changing it (1 for an address without an entry).
int32_t sharedRefCount(const void* payload);
// addSharedRef / dropSharedRef on the payload of a type 11/12/13/15 cell with
// a non-null payload; 0 for any other cell.
int32_t sharedRefOfValue(const ExprValue& cell);
int32_t dropSharedRefOfValue(const ExprValue& cell);

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

// New empty list / dict payload entered in SharedRefTable with count 1. A
// list record comes from a slot pool: only its release (freeValue and the
// like) may end it, never delete.
ValueList* newValueList();
ValueDict* newValueDict();
// Cells holding a new empty list / dict (count 1).
ExprValue makeListValue();
ExprValue makeDictValue();

// Releases the payload by type (shared ones through SharedRefTable) and sets
// it to null; the type field is unchanged.
// The same on a bare payload with a given type (scope records use it).
void releasePayload(int32_t type, ValuePayload& payload);
inline void freeValue(ExprValue& cell) {
  // numbers, booleans, characters and the empty cell own nothing
  if (cell.type <= VT_WCHAR) {
    cell.payload.i64 = 0;
    return;
  }
  releasePayload(cell.type, cell.payload);
}
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
void closeFileValue(FileValue* file);
// When the document exists: saves it if open and the run has not failed,
// closes it, destroys it (pointer set to null).
void closeExcelDocument(ExcelValue* excel);

// Whether the container payload is the value itself or is held somewhere
// inside it (in a list, a dict value or a struct member, at any depth).
// Storing such a value into the container would make it hold itself: it could
// never be freed, and printing or copying it would not end.
bool valueReaches(const ExprValue& value, const void* container);
