// Variable access: one resolver for name[index]...[index].member references
// (copy reads, reference reads and stores), and x++ / x--.
#include "Compiled.h"
#include "ExprOperands.h"
#include "FlowSupport.h"
#include "StackGuard.h"
#include "TypedStore.h"

#include "runtime/errors.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/type_words.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"

#include <vector>

namespace {

using KorvarCtx = KorParser::KorvarContext;

// korvar: VARNAME ('[' listindex ']')* ('.' stMemVar)?
struct RefShape {
  size_t indexCount;
  KorParser::StMemVarContext* member;
};

inline RefShape shapeOf(KorvarCtx* ctx) {
  size_t rest = ctx->children.size() - 1;
  if (rest % 3 == 2)
    return {(rest - 2) / 3, static_cast<KorParser::StMemVarContext*>(ctx->children.back())};
  return {rest / 3, nullptr};
}

inline KorParser::ExprContext* indexExpr(KorvarCtx* ctx, size_t i) {
  auto* index = static_cast<antlr4::ParserRuleContext*>(ctx->children[2 + 3 * i]);
  return static_cast<KorParser::ExprContext*>(index->children[0]);
}

QString textOf(antlr4::tree::ParseTree* node) { return QString::fromStdString(node->getText()); }
QString num(int64_t n) { return QString::number(n); }
QString utf8(const QByteArray& s) { return utf8ToString(s); }

// True when an index expression of the reference contains a call or ++/--:
// evaluating it may then change or release the containers being walked.
bool indexesMayRunCode(KorvarCtx* ctx, const CachedName& name) {
  if (name.indexKind == 0) {
    bool runsCode = false;
    std::vector<antlr4::tree::ParseTree*> pending;
    const size_t count = shapeOf(ctx).indexCount;
    for (size_t i = 0; i < count; ++i) pending.push_back(indexExpr(ctx, i));
    while (!pending.empty() && !runsCode) {
      antlr4::tree::ParseTree* node = pending.back();
      pending.pop_back();
      if (dynamic_cast<KorParser::RealCallFunContext*>(node) != nullptr ||
          dynamic_cast<KorParser::KorAutoAddSubContext*>(node) != nullptr) {
        runsCode = true;
      } else {
        for (antlr4::tree::ParseTree* child : node->children) pending.push_back(child);
      }
    }
    name.indexKind = runsCode ? 2 : 1;
  }
  return name.indexKind == 2;
}

// Keeps a list or dict alive while an index expression that may run code is
// evaluated (the code might assign the variable or remove the entry that
// holds the container).
class ContainerHold {
 public:
  ContainerHold(int32_t type, void* payload, bool needed) {
    if (!needed || payload == nullptr) return;
    cell_.type = type;
    cell_.payload.ptr = payload;
    sharedRefOfValue(cell_);
    active_ = true;
  }
  ~ContainerHold() {
    if (active_) freeValue(cell_);
  }
  ContainerHold(const ContainerHold&) = delete;
  ContainerHold& operator=(const ContainerHold&) = delete;

  // Gives the hold back; false when it was the last one, so that the
  // container has been released meanwhile (and is freed now).
  bool release() {
    if (!active_) return true;
    active_ = false;
    if (dropSharedRefOfValue(cell_) > 0) return true;
    freeValue(cell_);
    return false;
  }

 private:
  ExprValue cell_;
  bool active_ = false;
};

// What a resolution does at the place it reaches.
enum class Use : uint8_t {
  Read,   // gives a copy or a reference of the value there
  Store,  // stores newValue there with op
  Check,  // nothing: the place is only found (a target checked before its value)
  Step,   // x++ / x--: adds op (1 or -1) to the number there, in place
};

// One resolution in progress.
struct Access {
  ExprVisitor& v;
  KorvarCtx* ctx;
  ScopeRecord* rec;
  const QByteArray& name;
  const CachedName& cached;
  RefShape shape;
  bool byRef;
  ExprValue* newValue;  // Store: the value
  int op;
  bool guarded;  // index expressions may run code: containers are held meanwhile
  Use use = Use::Read;
  // Check: the index values are appended here as they are evaluated
  std::vector<ExprValue>* keysOut = nullptr;
  // the index values evaluated before (by a Check), used instead of the expressions
  const ExprValue* keys = nullptr;
  antlr4::ParserRuleContext* stepCtx = nullptr;  // Step: the x++ / x-- (messages)

  bool writes() const { return use != Use::Read; }
  QString line() const { return num(lineOfContext(ctx)); }
  QString text() const { return textOf(ctx); }
  QString memberName() const { return utf8(cachedNameOf(shape.member).name); }
  QString indexText(size_t i) const { return textOf(indexExpr(ctx, i)); }
  ExprValue evalIndex(size_t i) const {
    if (keys != nullptr) return copyValue(keys[i], false);
    ExprValue value = evalIndexExpr(i);
    if (keysOut != nullptr) keysOut->push_back(copyValue(value, false));
    return value;
  }
  ExprValue evalIndexExpr(size_t i) const {
    if (i != 0) return evalExprFast(v, indexExpr(ctx, i));
    // the usual single index: its node kept with the reference's name
    KorParser::ExprContext* e = indexExpr(ctx, 0);
    guardStack(e);
    if (cached.firstIndex == nullptr) cached.firstIndex = cx::compileExpr(v, e);
    return cx::eval(v, cached.firstIndex);
  }

  // Index i evaluated while the container that it indexes is held.
  ExprValue evalIndexIn(size_t i, int32_t containerType, void* container) const {
    ContainerHold hold(containerType, container, guarded);
    ExprValue value = evalIndex(i);
    if (!hold.release()) {
      freeValue(value);
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 变量 %3 的列表或字典在计算下标 %4 时已被释放，无法继续访问！")
              .arg(line(), text(), utf8(name), indexText(i)));
    }
    return value;
  }
};

// Copy of a variable's value: inline types directly, the rest through the
// typed record-to-cell copy (strings, times and structs duplicated, lists,
// dicts, files and workbooks shared).
ExprValue loadCopy(ScopeRecord* rec, antlr4::ParserRuleContext* ctx) {
  if (uint32_t(rec->kind) <= uint32_t(VT_WCHAR)) return rec->asValue();
  ExprValue cell;
  cell.type = rec->kind;
  loadFromRecord(&cell, rec, ctx, true, 0);
  return cell;
}

// The cell's fields with one more holder for a shared payload.
ExprValue shareCell(const ExprValue& cell) {
  ExprValue r = cell;
  sharedRefOfValue(r);
  return r;
}

}  // namespace

void failRefusedStore(KorParser::KorvarContext* target, ScopeRecord* rec, ExprValue& value) {
  ExprValue recCell = rec->asValue();
  QString varType = typeDescription(rec->kind, &recCell);
  QString valueType = typeDescription(value.type, &value);
  QString valueText = valueToText(value);
  freeValue(value);
  raiseScriptError(QStringLiteral("错误:行号 %1 语句 %2 变量 %3 是 %4，无法使用 %5 %6 进行赋值 ！")
                       .arg(num(lineOfContext(target)), textOf(target), utf8(rec->name.bytes()),
                            varType, valueType, valueText));
}

namespace {

// Stores the new value into the variable's record; a refused pair is an error.
void storeIntoRecord(Access& a) {
  ExprValue* value = a.newValue;
  ScopeRecord* rec = a.rec;
  if (rec->kind == value->type && uint32_t(rec->kind) <= uint32_t(VT_DOUBLE) && a.op == 0) {
    rec->payload = value->payload;
    return;
  }
  if (storeToRecord(rec, value, a.ctx, true, a.op) < 0) failRefusedStore(a.ctx, rec, *value);
  freeValue(*value);
}

// Stores the new value into an element, dict value or member cell (the typed
// cell store raises on a refused pair). `container` is the list or dict that
// holds the cell (null for a struct variable's member): a value that is or
// holds it is refused.
void storeIntoCell(Access& a, ExprValue* dst, const void* container) {
  try {
    if (container != nullptr && valueReaches(*a.newValue, container))
      failSelfContainingStore(lineOfContext(a.ctx), a.text(), utf8(a.name));
    storeToCell(dst, a.newValue, a.ctx, true, a.op);
  } catch (...) {
    freeValue(*a.newValue);  // a refused value stays with the caller's cell
    throw;
  }
  freeValue(*a.newValue);
}

[[noreturn]] void failNotNumber(Access& a) {
  raiseScriptError(
      QStringLiteral("错误：行号 %1 语句 %2 %3类型不是数值，只有整数或小数才能使用 ++ --,请检查！")
          .arg(num(lineOfContext(a.stepCtx)), textOf(a.stepCtx), a.text()));
}

// x++ / x-- on the number of a record or cell, changed in place (zs and czs
// wrap); the new value goes to `out`. Any other type is refused.
void stepNumber(Access& a, int32_t type, ValuePayload& p, ExprValue& out) {
  switch (type) {
    case VT_INT:
      p.i32 = int32_t(uint32_t(p.i32) + uint32_t(a.op));
      break;
    case VT_LONG:
      p.i64 = int64_t(uint64_t(p.i64) + uint64_t(int64_t(a.op)));
      break;
    case VT_DOUBLE:
      p.d += double(a.op);
      break;
    default:
      failNotNumber(a);
  }
  out = ExprValue();
  out.type = type;
  out.payload = p;
}

// The end of a resolution that writes, at the variable's own record; true
// when `out` is filled (the new value of x++).
bool atRecord(Access& a, ExprValue& out) {
  switch (a.use) {
    case Use::Store:
      storeIntoRecord(a);
      return false;
    case Use::Step:
      stepNumber(a, a.rec->kind, a.rec->payload, out);
      return true;
    default:
      return false;
  }
}

// The same at an element, dict value or member cell held by `container`.
bool atCell(Access& a, ExprValue* cell, const void* container, ExprValue& out) {
  switch (a.use) {
    case Use::Store:
      storeIntoCell(a, cell, container);
      return false;
    case Use::Step:
      stepNumber(a, cell->type, cell->payload, out);
      return true;
    default:
      return false;
  }
}

// A member cell of a struct payload, or null when the struct has no such member.
ExprValue* findMember(const StructValue* st, const QByteArray& member,
                      antlr4::ParserRuleContext* ctx) {
  if (st == nullptr) return nullptr;
  const int index = structMemberIndexIn(st, member, ctx);
  if (index < 0 || st->members == nullptr || size_t(index) >= st->members->size())
    return nullptr;
  return (*st->members)[size_t(index)];
}

QString structNameOf(const ExprValue& cell) {
  return cell.type == VT_STRUCT && cell.payload.st != nullptr ? utf8(cell.payload.st->typeName)
                                                              : QString();
}

// Store into or read a struct member cell (the struct held by `container`,
// or a struct variable's own when null).
bool accessMember(Access& a, ExprValue* member, const void* container, ExprValue& out) {
  if (a.writes()) return atCell(a, member, container, out);
  out = a.byRef ? shareCell(*member) : copyValue(*member, false);
  return true;
}

// Store into or read a list element (or a dict value) reached by the last
// index, held by `container`.
bool accessElement(Access& a, ExprValue* element, const void* container, bool shareAlways,
                   ExprValue& out) {
  if (a.writes()) return atCell(a, element, container, out);
  if (uint32_t(element->type) <= uint32_t(VT_WCHAR))
    out = *element;  // numbers, booleans, characters: the copy is the cell itself
  else
    out = (shareAlways || a.byRef) ? shareCell(*element) : copyValue(*element, false);
  return true;
}

// ---- numbers, booleans, characters, descriptions, files, times, workbooks ----
bool accessPlain(Access& a, ExprValue& out) {
  if (a.shape.indexCount > 0 || a.shape.member != nullptr) {
    QString text = a.text();
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 变量 %3 是 %4 ,非法或未知求值或访问语句 %5, 变量 %3 "
                       "不能进行 [] 或 . 操作访问！ ")
            .arg(a.line(), text, utf8(a.name), describeTypeName(a.name, a.ctx), text));
  }
  if (a.writes()) return atRecord(a, out);
  int32_t kind = a.rec->kind;
  if (a.byRef && (kind == VT_STRUCT_DESC || kind == VT_TIME)) {
    out = a.rec->asValue();
  } else if (a.byRef && (kind == VT_FILE || kind == VT_EXCEL)) {
    out = shareCell(a.rec->asValue());
  } else {
    out = loadCopy(a.rec, a.ctx);
  }
  return true;
}

// ---- zfc and string: the whole value or one character ----
bool accessText(Access& a, ExprValue& out) {
  ScopeRecord* rec = a.rec;
  if (a.shape.indexCount == 0) {
    if (a.writes()) return atRecord(a, out);
    out = a.byRef ? rec->asValue() : loadCopy(rec, a.ctx);
    return true;
  }
  if (a.shape.indexCount > 1)
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 变量 %3[%4] 已经是字符类型，后续[]访问无效！")
            .arg(a.line(), a.text(), utf8(a.name), a.indexText(0)));
  if (a.use == Use::Store && a.op != 0)
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 变量 %3[%4] 是字符类型，不支持 += -= 等操作！")
            .arg(a.line(), a.text(), utf8(a.name), a.indexText(0)));

  ExprValue indexValue = a.evalIndex(0);
  int64_t index = indexValue.type == VT_INT ? int64_t(indexValue.payload.i32) : -1;
  freeValue(indexValue);

  const bool bytes = rec->kind == VT_BYTES;
  int64_t length = 0;
  if (bytes) {
    if (rec->payload.bytes != nullptr) length = rec->payload.bytes->size();
  } else if (rec->payload.str != nullptr) {
    length = rec->payload.str->size();
  }
  if (index < 0 || index >= length)
    raiseScriptError(
        QStringLiteral("错误：行号 %1 语句 %2 变量 %3 下标访问越界，%3 长度是 %4, 下标值是 %5")
            .arg(a.line(), a.text(), utf8(a.name), num(length), num(index)));

  if (a.use == Use::Check) return false;
  if (a.use == Use::Step) failNotNumber(a);  // a character is no number
  if (a.use == Use::Read) {
    out = bytes ? makeCharValue(rec->payload.bytes->at(int(index)))
                : makeWCharValue(rec->payload.str->at(int(index)).unicode());
    return true;
  }

  ExprValue* value = a.newValue;
  if (bytes) {
    if (value->type != VT_CHAR) {
      QString valueType = typeDescription(value->type, value);
      freeValue(*value);
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 字符串 %3 的字符只能用字符类型赋值，当前赋值类型是 %4")
              .arg(a.line(), a.text(), utf8(a.name), valueType));
    }
    (*rec->payload.bytes)[int(index)] = value->payload.c;
    return false;
  }
  QChar unit;
  switch (value->type) {
    case VT_WCHAR:
      unit = QChar(value->payload.u16);
      break;
    case VT_CHAR:
      unit = QChar(uchar(value->payload.c));
      break;
    case VT_INT:
      if (uint32_t(value->payload.i32) > 65535u)
        raiseScriptError(
            QStringLiteral("错误：行号 %1 语句 %2 宽字符使用整数合法赋值范围是0-65535，赋值是%3 无效越界 ")
                .arg(a.line(), a.text(), num(value->payload.i32)));
      unit = QChar(ushort(value->payload.i32));
      break;
    default: {
      QString valueType = typeDescription(value->type, value);
      freeValue(*value);
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 宽字符合法赋值类型是字符、宽字符、整数。当前赋值类型是 %3")
              .arg(a.line(), a.text(), valueType));
    }
  }
  (*rec->payload.str)[int(index)] = unit;
  return false;
}

// ---- struct variables ----
bool accessStruct(Access& a, ExprValue& out) {
  ScopeRecord* rec = a.rec;
  if (a.shape.indexCount > 0) {
    QString text = a.text();
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 变量 %3 是 %4 ,非法的求值或访问语句 %5 ")
                         .arg(a.line(), text, utf8(a.name), typeDescription(VT_STRUCT), text));
  }
  if (a.shape.member != nullptr) {
    const QByteArray& member = cachedNameOf(a.shape.member).name;
    ExprValue* cell = findMember(rec->payload.st, member, a.ctx);
    if (cell == nullptr) {
      ExprValue recCell = rec->asValue();
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 结构体 %3 没有成员变量 %4 !")
                           .arg(a.line(), a.text(), structNameOf(recCell), utf8(member)));
    }
    return accessMember(a, cell, nullptr, out);
  }
  if (a.writes()) return atRecord(a, out);
  if (a.byRef) {
    out = rec->asValue();
  } else {
    out = ExprValue();
    out.type = VT_STRUCT;
    out.payload.st = rec->payload.st != nullptr ? copyStructValue(rec->payload.st) : nullptr;
  }
  return true;
}

// Walks list positions from index `first` on, starting in `list`. The
// messages come in two forms: the line form for a list variable, the
// function form for a list held as a dict value (dictName and keyText then
// name the dict and the key that gave the list).
bool walkList(Access& a, ValueList* list, size_t first, bool fromDict, const QString& keyText,
              ExprValue& out) {
  const size_t count = a.shape.indexCount;
  ExprValue* element = nullptr;
  int level = 0;  // list depth inside the walked value
  for (size_t i = first; i < count; ++i) {
    ExprValue indexValue = a.evalIndexIn(i, VT_LIST, list);
    if (indexValue.type != VT_INT) {
      freeValue(indexValue);
      if (fromDict)
        raiseScriptError(
            QStringLiteral("错误：函数 %1 语句 %2 列表访问元素第 %3 个序号类型错误，列表索引只能是int32 整数类型!")
                .arg(currentFunctionQName(), a.text(), num(int64_t(i))));
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 列表访问元素第 %3 个序号类型错误，列表索引只能是int32 整数类型!")
              .arg(a.line(), a.text(), num(int64_t(i))));
    }
    int32_t index = indexValue.payload.i32;
    if (list == nullptr || index < 0 || size_t(index) >= list->size()) {
      if (fromDict)
        raiseScriptError(
            QStringLiteral("错误：函数 %1 语句 %2 多层列表访问元素第 %3 个序号类型错误，列表越界或不是列表类型的非法访问!")
                .arg(currentFunctionQName(), a.text(), num(index)));
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 多层列表访问元素第 %3 个序号类型错误，列表越界或不是列表类型的非法访问!")
              .arg(a.line(), a.text(), num(index)));
    }
    element = (*list)[size_t(index)];
    if (i + 1 < count) {
      if (element->type != VT_LIST) {
        if (fromDict)
          raiseScriptError(
              QStringLiteral("错误：函数 %1 语句 %2 字典值的多层列表非法范围，字典 %3 关键字 %4 对应值，其第 %5 层元素，已经不是列表类型!")
                  .arg(currentFunctionQName(), a.text(), utf8(a.name), keyText, num(level)));
        raiseScriptError(
            QStringLiteral("错误：行号 %1 语句 %2 多层列表非法范围，列表 %3 第 %4 层元素，已经不是列表类型!")
                .arg(a.line(), a.text(), utf8(a.name), num(level)));
      }
      list = element->payload.list;
      ++level;
    }
  }

  if (a.shape.member != nullptr) {
    const QByteArray& member = cachedNameOf(a.shape.member).name;
    QString position = num(int64_t(count) - 1);
    if (element->type != VT_STRUCT) {
      if (fromDict)
        raiseScriptError(
            QStringLiteral("错误：函数 %1 语句 %2 列表第 %3 个序列元素不是结构体类型，无法访问成员变量 %4 !")
                .arg(currentFunctionQName(), a.text(), position, utf8(member)));
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 列表第 %3 个序列元素不是结构体类型，无法访问成员变量 %4 !")
              .arg(a.line(), a.text(), position, utf8(member)));
    }
    ExprValue* cell = findMember(element->payload.st, member, a.ctx);
    if (cell == nullptr) {
      if (fromDict)
        raiseScriptError(QStringLiteral("错误：函数%1 语句 %2 结构体 %3 没有成员变量 %4 !")
                             .arg(currentFunctionQName(), a.text(), structNameOf(*element),
                                  utf8(member)));
      raiseScriptError(QStringLiteral("错误：行号%1 语句 %2 结构体 %3 没有成员变量 %4 !")
                           .arg(a.line(), a.text(), structNameOf(*element), utf8(member)));
    }
    return accessMember(a, cell, list, out);
  }
  return accessElement(a, element, list, element->type == VT_LIST, out);
}

// ---- list variables ----
bool accessList(Access& a, ExprValue& out) {
  if (a.shape.indexCount == 0) {
    if (a.shape.member != nullptr)
      raiseScriptError(QStringLiteral("错误：行号  %1 语句 %2 列表不是结构体，无法访问成员变量 %3 !")
                           .arg(a.line(), a.text(), a.memberName()));
    if (a.writes()) return atRecord(a, out);
    out = shareCell(a.rec->asValue());
    return true;
  }
  return walkList(a, a.rec->payload.list, 0, false, QString(), out);
}

// ---- dict variables ----
bool accessDict(Access& a, ExprValue& out) {
  const size_t count = a.shape.indexCount;
  if (count == 0) {
    if (a.shape.member != nullptr)
      raiseScriptError(QStringLiteral("错误：函数 %1 语句 %2 字典不是结构体，无法访问成员变量 %3 !")
                           .arg(currentFunctionQName(), a.text(), a.memberName()));
    if (a.writes()) return atRecord(a, out);
    out = shareCell(a.rec->asValue());
    return true;
  }

  ValueDict* dict = a.rec->payload.dict;
  ExprValue* found = nullptr;
  for (size_t i = 0; i < count; ++i) {
    ExprValue key = a.evalIndexIn(i, VT_DICT, dict);
    if (!isKeyType(key)) {
      freeValue(key);
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 字典%3 访问元素第 %4 个关键字 %5 类型错误，字典关键字索引只能是整数或字符串类型!")
              .arg(a.line(), a.text(), utf8(a.name), num(int64_t(i)), a.indexText(i)));
    }
    ValueDict::Node* node = nullptr;
    // a dict without payload is empty; a text key without payload is no key
    // of any dict
    if (dict != nullptr &&
        !((key.type == VT_BYTES || key.type == VT_STRING) && key.payload.ptr == nullptr))
      node = dict->find(key);
    freeValue(key);
    if (node == nullptr)
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 字典没有关键字key %3 ")
                           .arg(a.line(), a.text(), a.indexText(i)));
    ExprValue* value = node->value;
    const bool more = i + 1 < count;
    if (value->type == VT_LIST) {
      if (more) return walkList(a, value->payload.list, i + 1, true, a.indexText(i), out);
      if (a.shape.member != nullptr)
        raiseScriptError(QStringLiteral("错误：函数 %1 语句 %2 列表不是结构体，无法访问成员变量 %3 !")
                             .arg(currentFunctionQName(), a.text(), a.memberName()));
      return accessElement(a, value, dict, true, out);
    }
    if (more) {
      if (value->type != VT_DICT)
        raiseScriptError(
            QStringLiteral("错误：行号 %1 语句 %2 字典 %3 关键字 %4 对应值是 %5，不是字典或列表，无法继续访问!")
                .arg(a.line(), a.text(), utf8(a.name), a.indexText(i),
                     typeDescription(value->type, value)));
      dict = value->payload.dict;
      continue;
    }
    found = value;
  }

  if (a.shape.member != nullptr) {
    const QByteArray& member = cachedNameOf(a.shape.member).name;
    if (found->type != VT_STRUCT)
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 列表第 %3 个序列元素不是结构体类型，无法访问成员变量 %4 !")
              .arg(a.line(), a.text(), num(int64_t(count) - 1), utf8(member)));
    ExprValue* cell = findMember(found->payload.st, member, a.ctx);
    if (cell == nullptr)
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 结构体 %3 没有成员变量 %4 !")
                           .arg(a.line(), a.text(), structNameOf(*found), utf8(member)));
    return accessMember(a, cell, dict, out);
  }
  return accessElement(a, found, dict, found->type == VT_DICT, out);
}

// ---- function values ----
bool accessFunction(Access& a, ExprValue& out) {
  if (a.writes()) return atRecord(a, out);
  out = ExprValue();
  out.type = VT_FUNC;
  out.owner = &a.rec->name.bytes();
  FunctionName* fn = a.rec->payload.fn;
  if (a.byRef || fn == nullptr)
    out.payload.fn = fn;
  else
    out.payload.fn = new FunctionName{fn->name};
  return true;
}

// What a resolution does beyond a read (Access has the fields' meanings).
struct Mode {
  Use use = Use::Read;
  ExprValue* newValue = nullptr;
  int op = 0;
  std::vector<ExprValue>* keysOut = nullptr;
  const ExprValue* keys = nullptr;
  antlr4::ParserRuleContext* stepCtx = nullptr;
};

// Resolves the reference; true with `out` filled (a read, the new value of
// x++), false after a store or a check.
bool resolveWith(ExprVisitor& v, KorvarCtx* ctx, ScopeRecord* rec, const CachedName& name,
                 bool byRef, const Mode& m, ExprValue& out) {
  const RefShape shape = shapeOf(ctx);
  // (index values given by a check run no code)
  const bool guarded = shape.indexCount > 0 && m.keys == nullptr &&
                       (rec->kind == VT_LIST || rec->kind == VT_DICT) &&
                       indexesMayRunCode(ctx, name);
  Access a{v, ctx, rec, name.name, name, shape, byRef, m.newValue, m.op, guarded,
           m.use, m.keysOut, m.keys, m.stepCtx};
  switch (rec->kind) {
    case VT_INT:
    case VT_LONG:
    case VT_DOUBLE:
    case VT_BOOL:
    case VT_CHAR:
    case VT_WCHAR:
    case VT_STRUCT_DESC:
    case VT_FILE:
    case VT_TIME:
    case VT_EXCEL:
      return accessPlain(a, out);
    case VT_BYTES:
    case VT_STRING:
      return accessText(a, out);
    case VT_STRUCT:
      return accessStruct(a, out);
    case VT_LIST:
      return accessList(a, out);
    case VT_DICT:
      return accessDict(a, out);
    case VT_FUNC:
    case VT_FUNC_VAR:
      return accessFunction(a, out);
    default:
      if (a.writes()) return atRecord(a, out);
      out = ExprValue();
      return true;
  }
}

// A read (newValue null) or a store of newValue with op.
bool resolveAt(ExprVisitor& v, KorvarCtx* ctx, ScopeRecord* rec, const CachedName& name,
               bool byRef, ExprValue* newValue, int op, ExprValue& out) {
  Mode m;
  if (newValue != nullptr) {
    m.use = Use::Store;
    m.newValue = newValue;
    m.op = op;
  }
  return resolveWith(v, ctx, rec, name, byRef, m, out);
}

// `rec`: the variable's record when the caller has found it, else null.
bool resolve(ExprVisitor& v, KorvarCtx* ctx, ScopeRecord* rec, const Mode& m, ExprValue& out) {
  const CachedName& name = cachedNameOf(ctx);
  if (rec == nullptr) rec = findVariable(name.name, name.hash, ctx);
  return resolveWith(v, ctx, rec, name, false, m, out);
}

}  // namespace

ExprValue readVariable(ExprVisitor& v, KorParser::KorvarContext* ctx, bool byReference) {
  const CachedName& name = cachedNameOf(ctx);
  ScopeRecord* rec = findVariable(name.name, name.hash, ctx);
  // a plain name holding a number, boolean or character: a copy of the payload
  if (uint32_t(rec->kind) <= uint32_t(VT_WCHAR) && ctx->children.size() == 1)
    return rec->asValue();
  ExprValue out;
  resolveAt(v, ctx, rec, name, byReference, nullptr, 0, out);
  return out;
}

namespace {

KOR_NOINLINE ExprValue readResolved(ExprVisitor& v, KorParser::KorvarContext* ctx,
                                                 ScopeRecord* rec, bool byReference) {
  ExprValue out;
  resolveAt(v, ctx, rec, cachedNameOf(ctx), byReference, nullptr, 0, out);
  return out;
}

}  // namespace

ExprValue readVariableAt(ExprVisitor& v, KorParser::KorvarContext* ctx, ScopeRecord* rec,
                         bool byReference) {
  if (ctx->children.size() == 1) {
    // a plain name: what the access below gives for it, without the dispatch
    switch (rec->kind) {
      case VT_BYTES:
      case VT_STRING:
        if (byReference) return rec->asValue();
        break;
      case VT_LIST:
      case VT_DICT:
        return shareCell(rec->asValue());
      default:
        if (uint32_t(rec->kind) <= uint32_t(VT_WCHAR)) return rec->asValue();
        return readResolved(v, ctx, rec, byReference);
    }
    return loadCopy(rec, ctx);
  }
  return readResolved(v, ctx, rec, byReference);
}

antlrcpp::Any ExprVisitor::evalVariable(KorParser::KorvarContext* ctx, bool byReference,
                                        ExprValue* newValue, int assignOp) {
  if (newValue == nullptr) return readVariable(*this, ctx, byReference);
  storeAtTarget(*this, ctx, nullptr, nullptr, newValue, assignOp);
  return 0;
}

void checkStoreTarget(ExprVisitor& v, KorParser::KorvarContext* target, ScopeRecord* rec,
                      std::vector<ExprValue>& keys) {
  Mode m;
  m.use = Use::Check;
  m.keysOut = &keys;
  ExprValue out;
  resolve(v, target, rec, m, out);
}

void storeAtTarget(ExprVisitor& v, KorParser::KorvarContext* target, ScopeRecord* rec,
                   const ExprValue* keys, ExprValue* value, int op) {
  Mode m;
  m.use = Use::Store;
  m.newValue = value;
  m.op = op;
  m.keys = keys;
  ExprValue out;
  resolve(v, target, rec, m, out);
}

antlrcpp::Any ExprVisitor::visitKorvar(KorParser::KorvarContext* ctx) {
  return readVariable(*this, ctx, false);
}

ExprValue evalAutoAddSub(ExprVisitor& v, KorParser::KorAutoAddSubContext* ctx) {
  auto* var = static_cast<KorvarCtx*>(ctx->children[0]);
  const bool plus = cachedFirstByte(ctx, ctx->stop) == '+';
  const int64_t step = plus ? 1 : -1;

  if (var->children.size() == 1) {
    // plain numeric variable: change the record in place
    const CachedName& name = cachedNameOf(var);
    ScopeRecord* rec = findVariable(name.name, name.hash, var);
    switch (rec->kind) {
      case VT_INT:
        rec->payload.i32 = int32_t(uint32_t(rec->payload.i32) + uint32_t(step));
        return rec->asValue();
      case VT_LONG:
        rec->payload.i64 = int64_t(uint64_t(rec->payload.i64) + uint64_t(step));
        return rec->asValue();
      case VT_DOUBLE:
        rec->payload.d += double(step);
        return rec->asValue();
      default:
        break;
    }
  }

  // one resolution: the indexes are evaluated once and the number found is
  // changed where it is
  Mode m;
  m.use = Use::Step;
  m.op = int(step);
  m.stepCtx = ctx;
  ExprValue out;
  resolve(v, var, nullptr, m, out);
  return out;
}

antlrcpp::Any ExprVisitor::visitKorAutoAddSub(KorParser::KorAutoAddSubContext* ctx) {
  return evalAutoAddSub(*this, ctx);
}
