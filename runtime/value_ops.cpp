#include "value_ops.h"

#include "errors.h"
#include "recycle_pool.h"
#include "run_state.h"
#include "value_compare.h"
#include "value_dict.h"
#include "workbook.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <iostream>
#include <unordered_set>
#include <vector>

namespace shared_refs {
int64_t counted = 0;
}  // namespace shared_refs

namespace {
// Cells given back, most recent first, linked through their owner field;
// new ones come from a slot pool.
using CellSlots = SlotPool<sizeof(ExprValue)>;
struct CellPool {
  ExprValue* first = nullptr;
  size_t count = 0;

  ExprValue* take() {
    ExprValue* c = first;
    if (c == nullptr) return new (CellSlots::take()) ExprValue();
    first = const_cast<ExprValue*>(reinterpret_cast<const ExprValue*>(c->owner));
    --count;
    c->owner = nullptr;
    return c;
  }
  // The cell's payload is already cleared.
  void give(ExprValue* c) {
    c->owner = reinterpret_cast<const QByteArray*>(first);
    first = c;
    ++count;
  }
  void freeAll() {
    while (first != nullptr) {
      ExprValue* c = first;
      first = const_cast<ExprValue*>(reinterpret_cast<const ExprValue*>(c->owner));
      CellSlots::give(c);
    }
    count = 0;
  }
  size_t size() const { return count; }
};
CellPool gValuePool;
}  // namespace

static bool isSharedType(int32_t type) {
  return type == VT_LIST || type == VT_DICT || type == VT_FILE || type == VT_EXCEL;
}

// ---------------------------------------------------------------- ValuePool

ExprValue* takeValueCell() { return gValuePool.take(); }

// The pool links given cells through their owner field.
static inline void giveValueCell(ExprValue* cell) {
  cell->payload.i64 = 0;
  gValuePool.give(cell);
}

void returnValueCell(ExprValue* cell) {
  if (cell != nullptr) giveValueCell(cell);
}

void freeValuePool() { gValuePool.freeAll(); }

size_t valuePoolSize() { return gValuePool.size(); }

int appendByteStringPieces(ValueList& list, const char* data, int from, const int* cuts, int count,
                           int gap) {
  for (int i = 0; i < count; ++i) {
    ExprValue* cell = gValuePool.take();  // owner null
    cell->type = VT_BYTES;
    cell->payload.bytes = newByteStringCopy(data + from, cuts[i] - from);
    list.push_back(cell);
    from = cuts[i] + gap;
  }
  return from;
}

// ---------------------------------------------------------------- copies

ExprValue* copyCellToPool(const ExprValue& cell) {
  ExprValue* c = takeValueCell();
  *c = cell;
  return c;
}

ExprValue* moveValueToPool(ExprValue& cell) {
  ExprValue* c = takeValueCell();
  *c = cell;
  if (cell.type >= VT_STRUCT) cell.payload.i64 = 0;
  return c;
}

// List records (the vector, not its array) come from a slot pool: splitting
// and chained calls make and drop many short lists.
using ListSlots = SlotPool<sizeof(ValueList)>;

// Short lists freed are kept with their element arrays (emptied), so that
// the next list made (a split of the next line) needs no heap call for its
// array. Checked builds keep none.
namespace {
constexpr size_t kKeptListCapacity = 64;
constexpr int kKeptLists = 64;
ValueList* gKeptLists[kKeptLists];
int gKeptListCount = 0;
}  // namespace

ValueList* newValueList() {
  ValueList* l = gKeptListCount > 0 ? gKeptLists[--gKeptListCount] : new (ListSlots::take()) ValueList();
  addSharedRef(l);
  return l;
}

ValueDict* newValueDict() {
  ValueDict* d = new ValueDict();
  addSharedRef(d);
  return d;
}

ExprValue makeListValue() {
  ExprValue c;
  c.type = VT_LIST;
  c.payload.list = newValueList();
  return c;
}

ExprValue makeDictValue() {
  ExprValue c;
  c.type = VT_DICT;
  c.payload.dict = newValueDict();
  return c;
}

// ---- nested data ----
// Copies and releases walk nested lists, dicts and structs recursively, but
// only kNestedDepth levels deep: a container below that is queued (an empty
// copy already linked into its parent, or a payload to free) and handled by
// the outermost call in a loop. Data nested to any depth thus needs a bounded
// amount of machine stack, also on a thread with a small stack. A nested
// container within the depth costs one compare and a counter step.
namespace {
constexpr int kNestedDepth = 64;

struct NestedJob {
  int32_t type;        // VT_LIST, VT_DICT or VT_STRUCT
  const void* source;  // copies: the container copied
  void* target;        // copies: its empty copy; releases: the payload to free
};

// Levels of the copy or release running now: 0 outside one, 1 in the
// outermost container.
int gCopyDepth = 0;
int gReleaseDepth = 0;
std::vector<NestedJob> gCopyJobs;
std::vector<NestedJob> gReleaseJobs;

// A nested container that may be handled at once (neither the outermost nor
// too deep).
inline bool withinNesting(int depth) { return unsigned(depth - 1) < unsigned(kNestedDepth - 1); }
}  // namespace

// Fill the empty copy `to` from `from`.
static void fillListCopy(const ValueList& from, ValueList& to) {
  to.reserve(from.size());
  for (const ExprValue* e : from) to.push_back(copyValueToPool(*e, true));
}

static void fillDictCopy(const ValueDict& from, ValueDict& to) {
  for (ValueDict::Node* n = from.first(); n != nullptr; n = n->next) {
    auto r = to.emplace(copyValue(n->key, false), n->hash);
    r.first->value = copyValueToPool(*n->value, true);
  }
}

static void fillMemberCopies(const StructValue& from, StructValue& to) {
  to.members->reserve(from.members->size());
  for (const ExprValue* m : *from.members) to.members->push_back(copyValueToPool(*m, false));
}

static void fillCopy(const NestedJob& job) {
  switch (job.type) {
    case VT_LIST:
      fillListCopy(*static_cast<const ValueList*>(job.source), *static_cast<ValueList*>(job.target));
      break;
    case VT_DICT:
      fillDictCopy(*static_cast<const ValueDict*>(job.source), *static_cast<ValueDict*>(job.target));
      break;
    default:
      fillMemberCopies(*static_cast<const StructValue*>(job.source),
                       *static_cast<StructValue*>(job.target));
      break;
  }
}

// The outermost container of a walk: handled at depth 1, then every job
// queued meanwhile (finish). The depth is 0 again when the walk ends, also by
// an exception; a walk that fails drops its queue: queued copies belong to a
// copy that nobody holds any more.
template <void (*Handle)(const NestedJob&)>
class OutermostWalk {
 public:
  OutermostWalk(int& depth, std::vector<NestedJob>& queue) : depth_(depth), queue_(queue) {
    depth_ = 1;
  }
  ~OutermostWalk() {
    queue_.clear();
    depth_ = 0;
  }
  void finish() {
    while (!queue_.empty()) {
      NestedJob next = queue_.back();
      queue_.pop_back();
      Handle(next);
    }
  }

 private:
  int& depth_;
  std::vector<NestedJob>& queue_;
};

template <typename T, void (*Fill)(const T&, T&)>
inline void copyNested(int32_t type, const T& from, T& to) {
  if (withinNesting(gCopyDepth)) {
    ++gCopyDepth;
    Fill(from, to);
    --gCopyDepth;
  } else if (gCopyDepth != 0) {
    gCopyJobs.push_back({type, &from, &to});
  } else {
    OutermostWalk<fillCopy> walk(gCopyDepth, gCopyJobs);
    Fill(from, to);
    walk.finish();
  }
}

StructValue* copyStructValue(const StructValue* source) {
  if (source == nullptr) return nullptr;
  StructValue* s = new StructValue();
  s->native = source->native;
  s->typeName = source->typeName;
  s->layout = source->layout;
  s->builtinCode = source->builtinCode;
  if (source->members != nullptr) {
    s->members = new MemberCells();
    copyNested<StructValue, fillMemberCopies>(VT_STRUCT, *source, *s);
  }
  return s;
}

ExprValue copyValue(const ExprValue& cell, bool deep) {
  ExprValue c = cell;
  switch (cell.type) {
    case VT_STRUCT:
      c.owner = nullptr;
      c.payload.st = copyStructValue(cell.payload.st);
      break;
    case VT_BYTES:
      c.owner = nullptr;
      if (cell.payload.bytes != nullptr) c.payload.bytes = newByteString(*cell.payload.bytes);
      break;
    case VT_STRING:
      c.owner = nullptr;
      if (cell.payload.str != nullptr) c.payload.str = newText(*cell.payload.str);
      break;
    case VT_TIME:
      c.owner = nullptr;
      if (cell.payload.time != nullptr) c.payload.time = new QDateTime(*cell.payload.time);
      break;
    case VT_LIST:
      c.owner = nullptr;
      if (cell.payload.list == nullptr) break;
      if (!deep) {
        addSharedRef(cell.payload.list);
      } else {
        c.payload.list = newValueList();
        copyNested<ValueList, fillListCopy>(VT_LIST, *cell.payload.list, *c.payload.list);
      }
      break;
    case VT_DICT:
      c.owner = nullptr;
      if (cell.payload.dict == nullptr) break;
      if (!deep) {
        addSharedRef(cell.payload.dict);
      } else {
        c.payload.dict = newValueDict();
        copyNested<ValueDict, fillDictCopy>(VT_DICT, *cell.payload.dict, *c.payload.dict);
      }
      break;
    case VT_FILE:
    case VT_EXCEL:
      c.owner = nullptr;
      if (cell.payload.ptr != nullptr) sharedRefOfValue(cell);
      break;
    // The name records of these types belong to their cell: a copy gets its own.
    case VT_STRUCT_DESC:
      if (cell.payload.names != nullptr) c.payload.names = new ByteStringList(*cell.payload.names);
      break;
    case VT_FUNC:
    case VT_FUNC_VAR:
    case VT_CALL_MARK:
      if (cell.payload.fn != nullptr) c.payload.fn = new FunctionName(*cell.payload.fn);
      break;
    case VT_FUNC2:
      if (cell.payload.fn2 != nullptr) c.payload.fn2 = new FunctionName2(*cell.payload.fn2);
      break;
    default:
      break;
  }
  return c;
}

ExprValue* copyValueToPool(const ExprValue& cell, bool deep) {
  ExprValue* c = takeValueCell();
  *c = copyValue(cell, deep);
  return c;
}

// ---------------------------------------------------------------- releases

static void freeElementCell(ExprValue* e) {
  if (e == nullptr) return;
  if (e->type == VT_BYTES) {
    deleteByteStringInline(e->payload.bytes);
    e->payload.i64 = 0;
  } else {
    freeValue(*e);
  }
  giveValueCell(e);
}

static void freeListPayload(ValueList* list) {
  for (ExprValue* e : *list) freeElementCell(e);
  if (ListSlots::kPooled && gKeptListCount < kKeptLists && list->capacity() <= kKeptListCapacity) {
    list->clear();
    gKeptLists[gKeptListCount++] = list;
    return;
  }
  list->~ValueList();
  ListSlots::give(list);
}

static void releaseDictEntry(ValueDict::Node* n) {
  releasePayload(n->key.type, n->key.payload);
  freeElementCell(n->value);
  n->value = nullptr;
}

static void releaseDictEntries(ValueDict* dict, bool reuse = true) {
  dict->releaseAll([](ValueDict::Node* n) { releaseDictEntry(n); }, reuse);
}

// Free a dict or struct payload (and a list, with freeListPayload) that has
// no holder left.
static void freeDictPayload(ValueDict* d) {
  releaseDictEntries(d, false);
  delete d;
}

static void freeStructPayload(StructValue* s) {
  if (s->members != nullptr) {
    for (ExprValue* m : *s->members) freeElementCell(m);
    delete s->members;
  }
  delete s;
}

static void freeNow(const NestedJob& job) {
  switch (job.type) {
    case VT_LIST: freeListPayload(static_cast<ValueList*>(job.target)); break;
    case VT_DICT: freeDictPayload(static_cast<ValueDict*>(job.target)); break;
    default: freeStructPayload(static_cast<StructValue*>(job.target)); break;
  }
}

template <typename T, void (*Free)(T*)>
inline void freeNested(int32_t type, T* payload) {
  if (withinNesting(gReleaseDepth)) {
    ++gReleaseDepth;
    Free(payload);
    --gReleaseDepth;
  } else if (gReleaseDepth != 0) {
    gReleaseJobs.push_back({type, nullptr, payload});
  } else {
    OutermostWalk<freeNow> walk(gReleaseDepth, gReleaseJobs);
    Free(payload);
    walk.finish();
  }
}

// Takes a shared payload out of p and drops one holder; p is null before
// anything is freed, as the cell may sit inside what it releases. The last
// holder gets the payload back to free it; otherwise null comes back, and a
// file or workbook that others still hold is closed when the run has failed.
template <typename T>
static T* dropHolder(ValuePayload& p, void (*closeWhenFailed)(T*) = nullptr) {
  T* x = static_cast<T*>(p.ptr);
  p.i64 = 0;
  if (x == nullptr) return nullptr;
  if (dropSharedRef(x) == 0) return x;
  if (runFailed && closeWhenFailed != nullptr) closeWhenFailed(x);
  return nullptr;
}

void releaseHeldPayload(int32_t type, ValuePayload& p) {
  switch (type) {
    case VT_STRUCT_DESC:
      delete p.names;
      break;
    case VT_STRUCT:
      if (p.st != nullptr) freeNested<StructValue, freeStructPayload>(VT_STRUCT, p.st);
      break;
    case VT_BYTES:
      deleteByteString(p.bytes);
      break;
    case VT_STRING:
      deleteText(p.str);
      break;
    case VT_TIME:
      delete p.time;
      break;
    case VT_LIST:
      if (ValueList* l = dropHolder<ValueList>(p)) freeNested<ValueList, freeListPayload>(VT_LIST, l);
      break;
    case VT_DICT:
      if (ValueDict* d = dropHolder<ValueDict>(p)) freeNested<ValueDict, freeDictPayload>(VT_DICT, d);
      break;
    case VT_FILE:
      if (FileValue* f = dropHolder(p, closeFileValue)) {
        closeFileValue(f);
        delete f;
      }
      break;
    case VT_EXCEL:
      if (ExcelValue* x = dropHolder(p, closeExcelDocument)) {
        closeExcelDocument(x);
        delete x;
      }
      break;
    case VT_FUNC:
    case VT_FUNC_VAR:
    case VT_CALL_MARK:
      delete p.fn;
      break;
    case VT_FUNC2:
      delete p.fn2;
      break;
    default:
      break;
  }
  p.i64 = 0;
}


void releaseSharedValue(ExprValue& cell) {
  if (isSharedType(cell.type)) releasePayload(cell.type, cell.payload);
}

static bool releaseOne(ExprValue& cell, int32_t type) {
  if (cell.type != type || cell.payload.ptr == nullptr) return false;
  releasePayload(type, cell.payload);
  return true;
}

bool releaseListValue(ExprValue& cell) { return releaseOne(cell, VT_LIST); }
bool releaseDictValue(ExprValue& cell) { return releaseOne(cell, VT_DICT); }
bool releaseFileValue(ExprValue& cell) { return releaseOne(cell, VT_FILE); }
bool releaseExcelValue(ExprValue& cell) { return releaseOne(cell, VT_EXCEL); }

void clearListValue(ExprValue& cell) {
  if (cell.type != VT_LIST || cell.payload.list == nullptr) return;
  for (ExprValue* e : *cell.payload.list) freeElementCell(e);
  cell.payload.list->clear();
}

void clearDictValue(ExprValue& cell) {
  if (cell.type != VT_DICT || cell.payload.dict == nullptr) return;
  releaseDictEntries(cell.payload.dict);
}

void closeFileValue(FileValue* file) {
  if (file == nullptr) return;
  delete file->info;
  file->info = nullptr;
  if (file->file != nullptr) {
    if (file->file->isOpen()) {
      // Buffered data is written now; when that fails (a full disk) no
      // script can see it any more, so the run as a whole reports it.
      file->file->close();
      if (file->file->error() != QFileDevice::NoError) {
        const QByteArray text =
            fillMessage(QStringLiteral("错误：文件 %1 关闭失败，数据没有全部写入文件！%2"),
                        file->file->fileName(), file->file->errorString())
                .toUtf8();
        std::cout.write(text.constData(), text.size());
        std::cout << std::endl;
        noteLostData();
      }
    }
    delete file->file;
    file->file = nullptr;
  }
}

void closeExcelDocument(ExcelValue* excel) {
  if (excel == nullptr || excel->doc == nullptr) return;
  if (excel->doc->isOpen()) {
    if (!runFailed) excel->doc->save();
    excel->doc->close();
  }
  delete excel->doc;
  excel->doc = nullptr;
}

// ---------------------------------------------------------------- containment

bool mayHoldContainers(const ExprValue& value) {
  // Only a struct, list or dict can be or hold a container; a struct whose
  // members are none of those holds none (the common record).
  if (value.payload.ptr == nullptr) return false;
  if (value.type == VT_LIST || value.type == VT_DICT) return true;
  if (value.type != VT_STRUCT) return false;
  const MemberCells* members = value.payload.st->members;
  if (members == nullptr) return false;
  for (const ExprValue* m : *members)
    if (m != nullptr && (m->type == VT_STRUCT || m->type == VT_LIST || m->type == VT_DICT))
      return true;
  return false;
}

bool valueReachesWalk(const ExprValue& value, const void* container) {
  if (!mayHoldContainers(value)) return false;
  std::vector<const ExprValue*> pending{&value};
  std::unordered_set<const void*> seen;
  while (!pending.empty()) {
    const ExprValue* c = pending.back();
    pending.pop_back();
    const void* p = c->payload.ptr;
    if (p == nullptr) continue;
    switch (c->type) {
      case VT_LIST:
        if (p == container) return true;
        if (!seen.insert(p).second) break;
        for (const ExprValue* e : *c->payload.list)
          if (e != nullptr && e->type >= VT_STRUCT && e->type <= VT_DICT) pending.push_back(e);
        break;
      case VT_DICT:
        if (p == container) return true;
        if (!seen.insert(p).second) break;
        for (ValueDict::Node* n = c->payload.dict->first(); n != nullptr; n = n->next)
          if (n->value != nullptr && n->value->type >= VT_STRUCT && n->value->type <= VT_DICT)
            pending.push_back(n->value);
        break;
      case VT_STRUCT:
        if (c->payload.st->members == nullptr) break;
        for (const ExprValue* m : *c->payload.st->members)
          if (m != nullptr && m->type >= VT_STRUCT && m->type <= VT_DICT) pending.push_back(m);
        break;
      default:
        break;
    }
  }
  return false;
}
