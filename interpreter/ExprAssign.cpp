// The assignment statement: target op value, and the typed definition with an
// initialiser (zs a = 1;) that runs inside the definition marker.
//
// Order of evaluation: the target variable is found (or, for a definition,
// created), then the target's indexes and keys are evaluated and the place
// they lead to is checked (a refused index leaves the right side
// unevaluated), then the right side is evaluated, and only then is the place
// written. A right side that makes calls may change the containers (a call
// that empties the list, reassigns the struct): the place is then resolved
// again with the evaluated indexes, so that there is never a dangling
// target, and an index that no longer fits is refused.
#include "ExprVisitor.h"
#include "VisitResult.h"

#include "Compiled.h"
#include "ExprOperands.h"
#include "FlowSupport.h"
#include "MessageFormat.h"
#include "StackGuard.h"
#include "TypedStore.h"

#include "runtime/errors.h"
#include "runtime/file_names.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"
#include "runtime/workbook.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

namespace {

enum RightKind { RK_EXPR, RK_LIST, RK_MAP, RK_STRUCT, RK_EMPTY };

// A compound store (op not 0) into a dict key that is not there: the key
// counts from the zero of the value's type (0, 0.0, the empty text), so the
// value becomes the result of op on that zero. Values of other types stay
// as they are. A refused operator raises as it does on a key that is there.
KOR_NOINLINE void startFromZero(ExprValue& value, int op, antlr4::ParserRuleContext* ctx) {
  switch (value.type) {
    case VT_INT:
    case VT_LONG:
    case VT_DOUBLE:
    case VT_BYTES:
    case VT_STRING:
      break;
    default:
      return;
  }
  ExprValue zero;
  zero.type = value.type;
  zero.payload.i64 = 0;
  storeToCell(&zero, &value, ctx, true, op);
  freeValue(value);
  value = zero;
}
inline void countFromZero(ExprValue& value, int op, antlr4::ParserRuleContext* ctx) {
  if (op != 0) startFromZero(value, op, ctx);
}

// Releases a value on the way out unless it was handed on.
struct PendingValue {
  ExprValue value;
  bool armed = true;
  ~PendingValue() {
    if (armed) freeValue(value);
  }
};

// Evaluated index and key cells (or other operands); released at the end of
// the statement (a key handed over to a dict is taken out first).
class IndexCells {
 public:
  IndexCells() = default;
  IndexCells(const IndexCells&) = delete;
  IndexCells& operator=(const IndexCells&) = delete;
  ~IndexCells() {
    for (size_t i = firstBorrowed_ ? 1 : 0; i < count_; ++i) freeValue(at(i));
  }
  // The first cell as a variable's own value (not released here).
  void addBorrowed(const ExprValue& v) {
    add(v);
    firstBorrowed_ = count_ == 1;
  }
  // A borrowed cell becomes a copy of its own.
  void own(size_t i) {
    if (i != 0 || !firstBorrowed_) return;
    at(0) = copyValue(at(0), false);
    firstBorrowed_ = false;
  }
  void add(const ExprValue& v) {
    if (count_ < kInline)
      inline_.cells[count_] = v;
    else
      extra_.push_back(v);
    ++count_;
  }
  ExprValue& at(size_t i) { return i < kInline ? inline_.cells[i] : extra_[i - kInline]; }
  size_t size() const { return count_; }
  void handOver(size_t i) {
    ExprValue& c = at(i);
    c.type = VT_EMPTY;
    c.payload.i64 = 0;
  }

 private:
  static constexpr size_t kInline = 4;
  union Cells {
    Cells() {}  // filled by add, up to count_
    ExprValue cells[kInline];
  } inline_;
  std::vector<ExprValue> extra_;
  size_t count_ = 0;
  bool firstBorrowed_ = false;
};

// True when the assignment is the initialiser of a typed definition:
// AssignVar <- assginNoEnd <- assign <- defvar.
bool isDefinitionInitialiser(KorParser::AssignVarContext* ctx) {
  antlr4::tree::ParseTree* p = ctx->parent;
  for (int i = 0; i < 2 && p != nullptr; ++i) p = p->parent;
  if (p == nullptr) return false;
  return static_cast<antlr4::RuleContext*>(p)->getRuleIndex() == KorParser::RuleDefvar;
}

// The index contexts of the target, in place for the usual few.
class IndexList {
 public:
  void push_back(KorParser::ListindexContext* c) {
    if (count_ < kInline)
      inline_[count_] = c;
    else
      extra_.push_back(c);
    ++count_;
  }
  KorParser::ListindexContext* operator[](size_t i) const {
    return i < kInline ? inline_[i] : extra_[i - kInline];
  }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

 private:
  static constexpr size_t kInline = 4;
  KorParser::ListindexContext* inline_[kInline];
  std::vector<KorParser::ListindexContext*> extra_;
  size_t count_ = 0;
};

class Assignment {
 public:
  // children: korvar, assignOp, rightvar
  Assignment(ExprVisitor* visitor, KorParser::AssignVarContext* ctx, const AssignPlan& plan)
      : vis_(visitor),
        ctx_(ctx),
        target_(static_cast<KorParser::KorvarContext*>(ctx->children[0])),
        right_(static_cast<KorParser::RightvarContext*>(ctx->children[2])),
        name_(*plan.name),
        plan_(plan) {}
  // Inline: an out-of-line call of the members' release costs a short store measurably.
  KOR_ALWAYS_INLINE ~Assignment() {}

  void run() {
    plain_ = target_->children.size() == 1;

    bool isDef = false;
    int32_t defType = -1;
    if (plan_.initialiser) {
      const StatusEntry marker = lastStatusEntry();
      if (marker.code == LS_DEF_LOCAL || marker.code == LS_DEF_GLOBAL) {
        isDef = true;
        globalDef_ = marker.code == LS_DEF_GLOBAL;
        defType = marker.detail;
      }
    }
    if (isDef) {
      define(defType);
    } else {
      if (statusTop() == LS_RUN_START) {
        fail(fillMessage(QStringLiteral("错误:行号 %1 语句 %2 quanju_dingyi "
                                        "全局区域只能进行变量或结构体定义，不能进行赋值行为！"),
                         definitionLine(ctx_), text()));
      }
      rec_ = plan_.base ? cx::findNamed(plan_.base, ctx_)
                        : findVariable(name_.name, name_.hash, ctx_);
    }

    if (!plain_ && evaluateTarget()) return;
    evaluateRight();
    store();
  }

  // A plain target outside a definition, the variable found and the right
  // side evaluated by the caller (the value is taken over).
  void runPrepared(ScopeRecord* rec, const ExprValue& value) {
    rec_ = rec;
    rk_ = RK_EXPR;
    v_.value = value;
    store();
  }

  // l[k] = v outside a definition, the list variable found, the index (a zs)
  // and the right side evaluated by the caller (the value is taken over).
  void runListPrepared(ScopeRecord* rec, const ExprValue& value, int32_t index) {
    rec_ = rec;
    rk_ = RK_EXPR;
    v_.value = value;
    takeKey(makeIntValue(index), false);
    assignList();
  }

  // The same with only the index evaluated (taken over): it is checked, then
  // the right side is evaluated.
  void runListKeyed(ScopeRecord* rec, const ExprValue& index) {
    rec_ = rec;
    takeKey(index, false);
    if (index.type != VT_INT) failListIndexType(0);
    storeIntoListWithRight();
  }

  // d[k] = v outside a definition, the dict variable found, the key and the
  // right side evaluated by the caller (both taken over; a lent key is a
  // variable's own value, copied if it goes into the dict).
  void runDictPrepared(ScopeRecord* rec, const ExprValue& value, const ExprValue& key, bool lent) {
    rec_ = rec;
    rk_ = RK_EXPR;
    v_.value = value;
    takeKey(key, lent);
    storeDictEntry(false);
  }

  // The same with only the key evaluated (taken over): it is checked, then
  // the right side is evaluated.
  void runDictKeyed(ScopeRecord* rec, const ExprValue& key) {
    rec_ = rec;
    takeKey(key, false);
    storeDictEntry(true);
  }

 private:
  KOR_ALWAYS_INLINE void store() {
    switch (rec_->kind) {
      case VT_INT:
      case VT_LONG:
      case VT_DOUBLE:
      case VT_BOOL:
      case VT_CHAR:
      case VT_WCHAR:
      case VT_BYTES:
      case VT_STRING:
        assignScalar();
        break;
      case VT_STRUCT:
        assignStruct();
        break;
      case VT_LIST:
        assignList();
        break;
      case VT_DICT:
        assignDict();
        break;
      case VT_FILE:
        assignFile();
        break;
      case VT_TIME:
        assignTime();
        break;
      case VT_EXCEL:
        assignExcel();
        break;
      default:
        break;  // function values and internal kinds stay as they are
    }
  }

  // ---- message parts (error paths only) ----
  int line() const { return globalDef_ ? definitionLine(ctx_) : lineOfContext(ctx_); }
  QString text() const { return QString::fromStdString(ctx_->getText()); }
  QString name() const { return QString::fromUtf8(name_.name); }
  QString rightText() const { return QString::fromStdString(right_->getText()); }
  QString targetText() const { return QString::fromStdString(target_->getText()); }
  QString memberName() const { return QString::fromStdString(member_->getText()); }
  QString varTypeText() const {
    const ExprValue var = rec_->asValue();
    return typeDescription(rec_->kind, &var);
  }
  QString valueTypeText() const { return typeDescription(v_.value.type, &v_.value); }
  [[noreturn]] void fail(const QString& message) { raiseScriptError(message); }

  // 3.111 step 2/3: checks, then a new record without a payload.
  void define(int32_t defType) {
    const QByteArray& owned = name_.name;
    if (name_.reserved()) {
      fail(fillMessage(
          QStringLiteral("错误:行号 %1 语句 %2 变量 %3 名称使用了kor内部保留关键字，还请改名！"),
          definitionLine(ctx_), text(), name()));
    }
    if (globalDef_) {
      if (hasGlobal(owned)) {
        fail(fillMessage(
            QStringLiteral("错误:行号 %1 语句 %2 变量 %3 在全局作用域已经存在，不能重复定义！"),
            definitionLine(ctx_), text(), name()));
      }
    } else if (findInCurrentBlock(owned)) {
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 变量 %3 在当前作用域已经存在，不能重复定义 !"),
          line(), text(), name()));
    }
    if (plan_.op != 0) {
      fail(fillMessage(
          QStringLiteral(
              "错误：行号 %1 语句 %2 定义变量 %3 只能使用 = 号赋值，不能使用+= *=等符号。"),
          line(), text(), name()));
    }
    if (defType == VT_STRUCT || !plain_) {
      fail(fillMessage(
          QStringLiteral(
              "错误：行号 %1 语句 %2 变量%3 是 %4, 非法的定义语句 ！是否把赋值语句写错为定义 ？"),
          line(), text(), name(), typeDescription(defType)));
    }
    if (globalDef_) {
      rec_ = takeScopeRecord();
      rec_->kind = defType;
    } else {
      rec_ = pushScopeRecord(defType);
    }
    rec_->name.set(owned, name_.hash);
    rec_->payload.i64 = 0;
    rec_->returnSlot = nullptr;
    if (globalDef_) addGlobal(owned, rec_);
  }

  // rightvar: expr | list | map | stRightVar | kong
  KOR_ALWAYS_INLINE void evaluateRight() {
    if (plan_.right != nullptr) {  // planned only for an expression
      rk_ = RK_EXPR;
      v_.value = cx::eval(*vis_, plan_.right);
      return;
    }
    antlr4::tree::ParseTree* child = right_->children.empty() ? nullptr : right_->children[0];
    if (child == nullptr || child->children.empty()) {  // the token kong
      rk_ = RK_EMPTY;
      return;
    }
    switch (static_cast<antlr4::RuleContext*>(child)->getRuleIndex()) {
      case KorParser::RuleExpr:
        rk_ = RK_EXPR;
        v_.value = evalExprFast(*vis_, static_cast<KorParser::ExprContext*>(child));
        return;
      case KorParser::RuleList:
        rk_ = RK_LIST;
        v_.value = visitResultAs<ExprValue>((vis_->visitList(static_cast<KorParser::ListContext*>(child))));
        return;
      case KorParser::RuleMap:
        rk_ = RK_MAP;
        v_.value = visitResultAs<ExprValue>((vis_->visitMap(static_cast<KorParser::MapContext*>(child))));
        return;
      case KorParser::RuleStRightVar:
        rk_ = RK_STRUCT;
        v_.value = evalStructLiteral(*vis_, static_cast<KorParser::StRightVarContext*>(child));
        return;
      default:
        rk_ = RK_EMPTY;
        return;
    }
  }

  // The single index or key of v[k] evaluated by the caller.
  void takeKey(const ExprValue& key, bool lent) {
    plain_ = false;
    readSuffixes();
    IndexCells& cells = cells_.emplace();
    if (lent)
      cells.addBorrowed(key);
    else
      cells.add(key);
  }

  // The target's indexes or keys, evaluated and checked before the right side
  // (the walk through the containers; a missing last key is not refused, it
  // is inserted), and so is every suffix the variable cannot take and a
  // member name. A list or dict target with indexes is stored here, the right
  // side evaluated on the way (true).
  bool evaluateTarget() {
    readSuffixes();
    switch (rec_->kind) {
      case VT_LIST:
        if (indexes_.empty()) {
          if (member_ != nullptr) failListMember();
          return false;
        }
        storeIntoListWithRight();
        return true;
      case VT_DICT:
        if (indexes_.empty()) {
          if (member_ != nullptr) failDictMember();
          return false;
        }
        readIndexes(false);
        storeDictEntry(true);
        return true;
      case VT_BYTES:
      case VT_STRING:
        if (member_ != nullptr) failSuffixes();
        if (indexes_.size() > 1) failIndexedCharacter();
        characterIndex();
        return false;
      case VT_STRUCT:
        if (!indexes_.empty()) failIndexedStruct();
        if (member_ != nullptr && memberCell(rec_->payload.st) == nullptr) failStructMember();
        return false;
      default:
        // numbers, booleans, characters, files, times and workbooks take none
        // (function values take the statement as it is)
        if (uint32_t(rec_->kind) <= uint32_t(VT_WCHAR) || rec_->kind == VT_FILE ||
            rec_->kind == VT_TIME || rec_->kind == VT_EXCEL)
          failSuffixes();
        return false;
    }
  }

  // ---- refusals of a target's suffixes (also checked before the right side) ----
  [[noreturn]] void failSuffixes() {
    fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 变量 %3 是 %4 ,非法或未知求值或访问语句 "
                                    "%5, 变量 %3 不能进行 [] 或 . 操作访问！ "),
                     line(), text(), name(), varTypeText(), targetText()));
  }
  [[noreturn]] void failIndexedCharacter() {
    fail(fillMessage(
        QStringLiteral("错误:行号 %1 语句 %2 变量 %3[%4] 是字符类型，无法继续后续的[]操作！"),
        line(), text(), name(), QString::fromStdString(indexes_[0]->getText())));
  }
  [[noreturn]] void failIndexedStruct() {
    fail(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 变量 %3 是 %4 ,非法的求值或访问语句 %5 "), line(),
        text(), name(), varTypeText(), targetText()));
  }
  [[noreturn]] void failStructMember() {
    const StructValue* st = rec_->payload.st;
    fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 结构体 %3 没有成员变量 %4 !"), line(),
                     text(), st != nullptr ? st->typeName : QByteArray(), memberName()));
  }
  [[noreturn]] void failListMember() {
    fail(fillMessage(
        QStringLiteral("错误：函数 %1 语句 %2 列表 %3 不是结构体类型，无法访问成员变量 %4 !"),
        functionNameForMessage(), text(), name(), memberName()));
  }
  [[noreturn]] void failDictMember() {
    fail(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 字典 %3 不是结构体类型，无法访问成员变量 %4 !"),
        line(), text(), name(), memberName()));
  }

  // Evaluates the index expressions of the target in order into the cells
  // (once: the store uses the values evaluated before the right side).
  void readIndexes(bool listOnly) {
    if (cells_) return;
    IndexCells& cells = cells_.emplace();
    for (size_t i = 0; i < indexes_.size(); ++i) {
      auto* e = static_cast<KorParser::ExprContext*>(indexes_[i]->children[0]);
      ExprValue v;
      if (plan_.compiled) {
        std::vector<cx::Node*>& nodes = plan_.indexes;  // compiled so far
        guardStack(e);
        if (i == nodes.size()) nodes.push_back(cx::compileExpr(*vis_, e));
        v = cx::eval(*vis_, nodes[i]);
      } else {
        v = evalExprFast(*vis_, e);
      }
      cells.add(v);
      if (listOnly && v.type != VT_INT) failListIndexType(i);
    }
  }

  // korvar: VARNAME ('[' listindex ']')* ('.' stMemVar)?; the tokens have no
  // children, the rule nodes are told apart by their rule index.
  void readSuffixes() {
    if (plain_ || suffixesRead_) return;
    suffixesRead_ = true;
    for (antlr4::tree::ParseTree* child : target_->children) {
      if (child->children.empty()) continue;
      const size_t rule = static_cast<antlr4::RuleContext*>(child)->getRuleIndex();
      if (rule == KorParser::RuleListindex)
        indexes_.push_back(static_cast<KorParser::ListindexContext*>(child));
      else if (rule == KorParser::RuleStMemVar)
        member_ = static_cast<KorParser::StMemVarContext*>(child);
    }
  }

  // The member cell of a struct value, or null when there is no such member.
  ExprValue* memberCell(StructValue* st) {
    if (st == nullptr) return nullptr;
    const int idx = structMemberIndexIn(st, cachedNameOf(member_).name, ctx_);
    if (idx < 0 || st->members == nullptr || size_t(idx) >= st->members->size()) return nullptr;
    return st->members->at(size_t(idx));
  }

  // A list or dict stored into an element of itself (or of a container it
  // holds) would hold itself: printing it would never end and it could never
  // be released. Only values that can hold containers are searched.
  //
  // The search costs nothing when every container on the target's path has
  // one holder: the first is then held by the variable alone and each
  // further one by the container before it, so a value can reach them only
  // by being one of them.
  void rejectCycle() {
    const ExprValue& v = v_.value;
    if (container_ == nullptr || (v.type != VT_LIST && v.type != VT_DICT && v.type != VT_STRUCT))
      return;
    if (pathHeldOnce(v.payload.ptr)) return;
    if (valueReaches(v, container_)) failSelfContainingStore(line(), text(), name());
  }

  // A list or dict on the target's path, from the variable's own down to the
  // one that receives the value.
  template <class Container>
  void enterContainer(Container* container) {
    container_ = container;
    if (pathLength_ < kPathKept) path_[pathLength_] = {container, &container->shared};
    ++pathLength_;
  }
  // Whether each container on the path (all of it kept) has one holder and
  // none of them is `value`.
  bool pathHeldOnce(const void* value) const {
    if (pathLength_ == 0 || pathLength_ > kPathKept) return false;
    for (size_t i = 0; i < pathLength_; ++i) {
      if (path_[i].container == value || path_[i].count->holders > 1) return false;
    }
    return true;
  }

  // ---- numbers, booleans, characters and strings ----
  void assignScalar() {
    if (rk_ != RK_EXPR) {
      fail(fillMessage(
          QStringLiteral(
              "错误：行号 %1 语句 %2 变量%3 是 %4 ，赋值右值 %5 "
              "不是可匹配的合法类型，不能把kong、列表、字典类型、不同的结构类型等赋值给变量 %3"),
          line(), text(), name(), varTypeText(), rightText()));
    }
    if (!plain_) {
      readSuffixes();
      if ((rec_->kind == VT_BYTES || rec_->kind == VT_STRING) && member_ == nullptr) {
        assignCharacterOfString();
        return;
      }
      failSuffixes();
    }
    const int code = storeToRecord(rec_, &v_.value, ctx_, true, plan_.op);
    if (code < 0) {
      fail(fillMessage(
          QStringLiteral("错误:行号 %1 语句 %2 变量 %3 是 %4，无法使用 %5 %6 进行赋值 ！"), line(),
          text(), name(), varTypeText(), valueTypeText(), valueToText(v_.value)));
    }
  }

  // The refusals of a list index that is no zs and of a position outside the
  // list; the message names the line or, with `byFunction`, the function.
  [[noreturn]] void failListIndexType(size_t position, bool byFunction = false) {
    failAtListIndex(
        QStringLiteral(" 语句 %2 列表访问元素第 %3 个序号类型错误，列表索引只能是int32 整数类型!"),
        int(position), byFunction);
  }
  [[noreturn]] void failListPosition(int32_t k, bool byFunction) {
    failAtListIndex(QStringLiteral(" 语句 %2 多层列表访问元素第 %3 "
                                   "个序号类型错误，列表越界或不是列表类型的非法访问!"),
                    k, byFunction);
  }
  [[noreturn]] void failAtListIndex(const QString& what, int number, bool byFunction) {
    if (byFunction)
      fail(fillMessage(QStringLiteral("错误：函数 %1") + what, functionNameForMessage(), text(), number));
    fail(fillMessage(QStringLiteral("错误：行号 %1") + what, line(), text(), number));
  }

  // The index of s[i] (evaluated once), checked against the string's length.
  qint64 characterIndex() {
    readIndexes(false);
    const ExprValue& iv = cells_->at(0);
    const qint64 index =
        (iv.type == VT_INT || iv.type == VT_LONG) ? qint64(iv.asInt64()) : qint64(-1);
    qint64 length = 0;
    if (rec_->kind == VT_BYTES) {
      if (rec_->payload.bytes != nullptr) length = rec_->payload.bytes->size();
    } else if (rec_->payload.str != nullptr) {
      length = rec_->payload.str->size();
    }
    if (index < 0 || index >= length) {
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 变量 %3 下标访问越界，%3 长度是 %4, 下标值是 %5"),
          line(), text(), name(), length, index));
    }
    return index;
  }

  // s[i] = c on a zfc or string variable; the operator is not applied.
  void assignCharacterOfString() {
    if (indexes_.size() > 1) failIndexedCharacter();
    const qint64 index = characterIndex();
    const bool bytes = rec_->kind == VT_BYTES;
    const ExprValue& v = v_.value;
    if (bytes) {
      if (v.type != VT_CHAR) {
        fail(
            fillMessage(QStringLiteral("错误：行号 %1 语句 %2 变量 %3[%4] "
                                       "是字符串的一个字节，只能用字符类型赋值，当前赋值类型是 %5"),
                        line(), text(), name(), index, valueTypeText()));
      }
      (*rec_->payload.bytes)[int(index)] = v.payload.c;
      return;
    }
    uint16_t unit;
    if (v.type == VT_CHAR) {
      unit = uint8_t(v.payload.c);
    } else if (v.type == VT_WCHAR) {
      unit = v.payload.u16;
    } else if (v.type == VT_INT) {
      if (v.payload.i32 < 0 || v.payload.i32 > 65535) {
        fail(fillMessage(
            QStringLiteral(
                "错误：行号 %1 语句 %2 宽字符使用整数合法赋值范围是0-65535，赋值是%3 无效越界 "),
            line(), text(), v.payload.i32));
      }
      unit = uint16_t(v.payload.i32);
    } else {
      fail(fillMessage(
          QStringLiteral(
              "错误：行号 %1 语句 %2 宽字符合法赋值类型是字符、宽字符、整数。当前赋值类型是 %3"),
          line(), text(), valueTypeText()));
    }
    (*rec_->payload.str)[int(index)] = QChar(unit);
  }

  // ---- structs ----
  void assignStruct() {
    if (rk_ == RK_LIST || rk_ == RK_MAP || rk_ == RK_EMPTY) {
      fail(fillMessage(QStringLiteral("行号 %1 语句 %2 结构体赋值右值 %3 "
                                      "不是合法类型，不能把列表或字典类型赋值给结构体 %4"),
                       line(), text(), rightText(), name()));
    }
    readSuffixes();
    if (!indexes_.empty()) failIndexedStruct();
    StructValue* st = rec_->payload.st;
    const QByteArray varType = st != nullptr ? st->typeName : QByteArray();
    if (member_ != nullptr) {
      ExprValue* cell = memberCell(st);
      if (cell == nullptr) failStructMember();
      storeToCell(cell, &v_.value, ctx_, true, plan_.op);
      return;
    }
    if (rk_ == RK_STRUCT) {
      const std::string initName = right_->stRightVar()->VARNAME()->getSymbol()->getText();
      if (QByteArray::fromStdString(initName) != varType) {
        fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 结构体类型不一致，无法赋值。变量 %3 "
                                        "是 %4类型，表达式是 %5 类型！"),
                         line(), text(), name(), varType, initName));
      }
    } else if (v_.value.type != VT_STRUCT || v_.value.payload.st == nullptr ||
               v_.value.payload.st->typeName != varType) {
      fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 结构体类型不一致，无法赋值。变量 %3 "
                                      "是 %4类型，表达式 %5 是 %6 ！"),
                       line(), text(), name(), varType, rightText(), valueTypeText()));
    }
    // compound operators act as "=" on whole structs
    storeToRecord(rec_, &v_.value, ctx_, true, 0);
  }

  // ---- lists ----
  void assignList() {
    readSuffixes();
    if (indexes_.empty()) {
      if (member_ != nullptr) failListMember();
      wholeList();
      return;
    }
    storeIntoListTarget(walkListIndexes());
  }

  // l[i]...[j] = v and l[i]...[j].x = v into the element found.
  void storeIntoListTarget(ExprValue* elem) {
    if (member_ != nullptr) {
      storeIntoElementMember(elem, int(cells_->size() - 1), false);
      return;
    }
    storeIntoListElement(elem);
  }

  // The same with the right side still to be evaluated: the element is found
  // first; a right side that makes calls may have changed the containers, and
  // the element is looked for again.
  void storeIntoListWithRight() {
    ExprValue* elem = walkListIndexes();
    if (member_ != nullptr) elementMemberCell(elem, int(cells_->size() - 1), false);
    evaluateRight();
    if (plan_.rightCalls) elem = walkListIndexes();
    storeIntoListTarget(elem);
  }

  // The element at position k of a list on the target's path (the list is
  // then the container that receives the value); a position outside the
  // list, or no list, is refused, the message naming the line or, with
  // `byFunction`, the function.
  ExprValue* elementOnPath(ValueList* list, int32_t k, bool byFunction) {
    if (list == nullptr || k < 0 || size_t(k) >= list->size()) failListPosition(k, byFunction);
    enterContainer(list);
    return (*list)[size_t(k)];
  }

  // The element that the indexes of a list target reach (the indexes
  // evaluated on the first call); container_ is the list that holds it.
  KOR_ALWAYS_INLINE ExprValue* walkListIndexes() {
    readIndexes(true);
    pathLength_ = 0;
    ValueList* list = rec_->payload.list;
    ExprValue* elem = nullptr;
    IndexCells& cells = *cells_;
    const size_t n = cells.size();
    for (size_t i = 0; i < n; ++i) {
      elem = elementOnPath(list, cells.at(i).payload.i32, false);
      if (i + 1 < n) {
        if (elem->type != VT_LIST) {
          fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 多层列表非法范围，列表 %3 第 %4 "
                                          "层元素，已经不是列表类型!"),
                           line(), text(), name(), int(i)));
        }
        list = elem->payload.list;
      }
    }
    return elem;
  }

  void wholeList() {
    switch (rk_) {
      case RK_LIST:
        break;
      case RK_EXPR:
        if (v_.value.type == VT_LIST) break;
        fail(fillMessage(
            QStringLiteral("错误：函数 %1 语句 %2 不能把非列表类型语句 %3 赋值给列表 %4 !"),
            functionNameForMessage(), text(), rightText(), name()));
      case RK_MAP:
        fail(fillMessage(QStringLiteral("错误：函数 %1 语句 %2 不能把字典类型 %3 赋值给列表 %4 !"),
                         functionNameForMessage(), text(), rightText(), name()));
      default:
        fail(
            fillMessage(QStringLiteral("错误：函数 %1 语句 %2 不能把表达式类型 %3 赋值给列表 %4 !"),
                        functionNameForMessage(), text(), rightText(), name()));
    }
    storeToRecord(rec_, &v_.value, ctx_, true, 0);
  }

  // A list element takes the value's type; "+=" and the other operators
  // combine with the element's current value (keeping its type) instead.
  void storeIntoListElement(ExprValue* elem) {
    rejectCycle();
    switch (rk_) {
      case RK_LIST:
      case RK_STRUCT:
        replaceCell(elem);
        return;
      case RK_MAP:
        fail(fillMessage(QStringLiteral("错误：函数 %1 语句 %2 不能把字典类型 %3 赋值给列表 %4 !"),
                         functionNameForMessage(), text(), rightText(), name()));
      case RK_EMPTY:
        fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 不能把 kong 赋值给列表 %3 的元素！"),
                         line(), text(), name()));
      case RK_EXPR:
        break;
    }
    if (v_.value.type == VT_DICT) {
      fail(fillMessage(
          QStringLiteral("错误：函数 %1 语句 %2 不能把字典类型 %3 赋值给列表 %4 或其元素值!"),
          functionNameForMessage(), text(), rightText(), name()));
    }
    if (plan_.op != 0 && elem->type != VT_EMPTY) {
      storeToCell(elem, &v_.value, ctx_, true, plan_.op);
      return;
    }
    if (elem->type == v_.value.type) {
      storeToCell(elem, &v_.value, ctx_, true, 0);
      return;
    }
    replaceCell(elem);
  }

  // The cell's old payload goes; it takes the value and its type.
  void replaceCell(ExprValue* cell) {
    freeValue(*cell);
    cell->type = v_.value.type;
    cell->payload.i64 = 0;
    storeToCell(cell, &v_.value, ctx_, true, 0);
  }

  // a[i].x = v, d[k].x = v: the element must be a struct with that member.
  void storeIntoElementMember(ExprValue* elem, int position, bool fromDict) {
    ExprValue* cell = elementMemberCell(elem, position, fromDict);
    if (rk_ != RK_EXPR) {
      if (fromDict) {
        fail(fillMessage(
            QStringLiteral("错误：函数 %1 语句 %2 不能把表达式类型 %3 赋值给结构体变量 %4 !"),
            functionNameForMessage(), text(), rightText(), targetText()));
      }
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 不能把表达式类型 %3 赋值给结构体变量 %4 !"), line(),
          text(), rightText(), targetText()));
    }
    rejectCycle();
    storeToCell(cell, &v_.value, ctx_, true, plan_.op);
  }

  // The member cell of a[i].x or d[k].x: the element must be a struct with
  // that member.
  ExprValue* elementMemberCell(ExprValue* elem, int position, bool fromDict) {
    if (elem == nullptr || elem->type != VT_STRUCT || elem->payload.st == nullptr) {
      if (fromDict) {
        fail(fillMessage(
            QStringLiteral("错误：函数 %1 语句 %2 字典 %3 不是结构体类型，无法访问成员变量 %4 !"),
            functionNameForMessage(), text(), name(), memberName()));
      }
      fail(fillMessage(
          QStringLiteral(
              "错误：行号 %1 语句 %2 列表第 %3 个序列元素不是结构体类型，无法访问成员变量 %4 !"),
          line(), text(), position, memberName()));
    }
    ExprValue* cell = memberCell(elem->payload.st);
    if (cell == nullptr) {
      if (fromDict) {
        fail(fillMessage(QStringLiteral("错误：行号%1 语句 %2 结构体 %3 没有成员变量 %4 !"), line(),
                         text(), elem->payload.st->typeName, memberName()));
      }
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 列表第 %3 个元素的结构体类型 %4 没有成员变量 %5 !"),
          line(), text(), position, elem->payload.st->typeName, memberName()));
    }
    return cell;
  }

  // ---- dicts ----
  void assignDict() {
    readSuffixes();
    if (indexes_.empty()) {
      if (member_ != nullptr) failDictMember();
      wholeDict();
      return;
    }
    readIndexes(false);
    storeDictEntry(false);
  }

  // d[k]...[j] = v with the keys evaluated. With `rightPending`, the right
  // side is evaluated once the walk has checked every key and position (the
  // last key is not looked up for that: absent, it is inserted); a right side
  // that makes calls may have changed the containers, and the walk is made
  // again.
  void storeDictEntry(bool rightPending) {
    IndexCells& cells = *cells_;
    const size_t n = cells.size();
    ExprValue* cell = nullptr;
    bool inList = false;
    for (bool walkAgain = true; walkAgain;) {
      walkAgain = false;
      inList = false;
      pathLength_ = 0;
      ValueDict* dict = rec_->payload.dict;
      bool walkingList = false;   // a key gave a list: the next indexes are positions
      ValueList* list = nullptr;  // that list
      size_t listKey = 0;         // the index of that key
      int listLevel = 0;
      for (size_t i = 0; i < n; ++i) {
        ExprValue& key = cells.at(i);
        const bool last = i + 1 == n;
        if (!walkingList) {
          if (!isKeyType(key)) {
            fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 字典%3 访问元素第 %4 个关键字 %5 "
                                            "类型错误，字典关键字索引只能是整数、字符、字符串类型!"),
                             line(), text(), name(), int(i),
                             QString::fromStdString(indexes_[i]->getText())));
          }
          // (a member target is checked first, below)
          if (last && rightPending && dict != nullptr && member_ == nullptr) {
            rightPending = false;
            evaluateRight();
            if (plan_.rightCalls) {
              walkAgain = true;
              break;
            }
          }
          uint64_t keyHash = 0;
          ValueDict::Node* node = dict != nullptr ? dict->find(key, &keyHash) : nullptr;
          if (node == nullptr) {
            if (last && dict != nullptr) {
              insertEntry(dict, cells, i, keyHash);
              return;
            }
            fail(fillMessage(
                QStringLiteral(
                    "错误：行号 %1 语句 %2 字典关键字key %3 对应值不存在，无法继续加入子项目！"),
                line(), text(), QString::fromStdString(indexes_[i]->getText())));
          }
          cell = node->value;
          enterContainer(dict);
          if (last) break;
          if (cell->type == VT_DICT) {
            dict = cell->payload.dict;
          } else if (cell->type == VT_LIST) {
            walkingList = true;
            list = cell->payload.list;
            listKey = i;
            listLevel = 0;
          } else {
            fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 字典关键字key %3 对应值是 "
                                            "%4，不是字典或列表，无法继续访问子项目！"),
                             line(), text(), QString::fromStdString(indexes_[i]->getText()),
                             typeDescription(cell->type, cell)));
          }
          continue;
        }
        // a list held as a dict value
        if (key.type != VT_INT) failListIndexType(i, true);
        cell = elementOnPath(list, key.payload.i32, true);
        if (last) {
          if (rightPending && member_ == nullptr) {
            rightPending = false;
            evaluateRight();
            walkAgain = plan_.rightCalls;
          }
          inList = true;
          break;
        }
        if (cell->type != VT_LIST) {
          fail(fillMessage(QStringLiteral("错误：函数 %1 语句 %2 字典值的多层列表非法范围，字典 %3 "
                                          "关键字 %4 对应值，其第 %5 层元素，已经不是列表类型!"),
                           functionNameForMessage(), text(), name(),
                           QString::fromStdString(indexes_[listKey]->getText()), listLevel));
        }
        list = cell->payload.list;
        ++listLevel;
      }
      if (rightPending && !walkAgain) {
        // a member target: the struct and its member are there before the
        // right side is evaluated
        elementMemberCell(cell, int(n - 1), true);
        rightPending = false;
        evaluateRight();
        walkAgain = plan_.rightCalls;
      }
    }

    if (member_ != nullptr) {
      storeIntoElementMember(cell, int(n - 1), true);
      return;
    }
    if (inList) {
      storeIntoListElement(cell);
      return;
    }
    rejectCycle();
    switch (rk_) {
      case RK_EMPTY:
        fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 不能把 kong 赋值给字典 %3 的元素！"),
                         line(), text(), name()));
      case RK_EXPR:
        storeToCell(cell, &v_.value, ctx_, true, plan_.op);
        return;
      default:
        replaceCell(cell);
        return;  // a literal or initialiser replaces the value
    }
  }

  // d[k] = v with k absent (its hash given): the value is inserted unchanged.
  void insertEntry(ValueDict* dict, IndexCells& cells, size_t i, uint64_t keyHash) {
    if (member_ != nullptr) {
      fail(fillMessage(
          QStringLiteral("错误：函数 %1 语句 %2 字典 %3 不是结构体类型，无法访问成员变量 %4 !"),
          functionNameForMessage(), text(), name(), memberName()));
    }
    if (rk_ == RK_EMPTY) {
      fail(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 不能把 kong 赋值给字典 %3 的元素！"),
                       line(), text(), name()));
    }
    enterContainer(dict);
    rejectCycle();
    if (rk_ == RK_EXPR) countFromZero(v_.value, plan_.op, ctx_);
    // nothing has run since the key was looked up: it is still absent
    cells.own(i);
    ValueDict::Node* node = dict->insertNew(cells.at(i), keyHash);
    cells.handOver(i);
    node->value = moveValueToPool(v_.value);
    v_.armed = false;
  }

  void wholeDict() {
    switch (rk_) {
      case RK_MAP:
        break;
      case RK_EXPR:
        if (v_.value.type == VT_DICT) break;
        fail(fillMessage(
            QStringLiteral("错误：函数 %1 语句 %2 不能把非字典类型语句 %3 赋值给字典 %4 !"),
            functionNameForMessage(), text(), rightText(), name()));
      default:
        fail(
            fillMessage(QStringLiteral("错误：函数 %1 语句 %2 不能把表达式类型 %3 赋值给字典 %4 !"),
                        functionNameForMessage(), text(), rightText(), name()));
    }
    storeToRecord(rec_, &v_.value, ctx_, true, 0);
  }

  // ---- files, times, workbooks ----
  void rejectSuffixes() {
    if (!plain_) failSuffixes();
  }

  void clearRecord() {
    const int32_t kind = rec_->kind;
    releaseScopeRecord(rec_);
    rec_->kind = kind;
    rec_->payload.i64 = 0;
  }

  void assignFile() {
    rejectSuffixes();
    if (rk_ == RK_EMPTY) {
      clearRecord();
      return;
    }
    if (rk_ != RK_EXPR) {
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 文件赋值右值 %3 "
                         "不是合法类型，只能把文件、字符串路径、或 kong 赋值给文件类型变量 %4"),
          line(), text(), rightText(), name()));
    }
    if (v_.value.type == VT_FILE) {
      storeToRecord(rec_, &v_.value, ctx_, true, 0);
      return;
    }
    if (v_.value.type != VT_BYTES) {
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 给文件变量赋值时，文件路径 %3 必须是字符串类型 !"),
          line(), text(), rightText()));
    }
    const QByteArray* path = v_.value.payload.bytes;
    if (path == nullptr || path->isEmpty()) {
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 给文件变量赋值时，文件路径 %3 不能是空字符串 !"),
          line(), text(), rightText()));
    }
    FileValue* file = new FileValue;
    file->info = new QFileInfo(pathFromBytes(*path));
    addSharedRef(file);
    clearRecord();
    rec_->payload.file = file;
  }

  void assignTime() {
    rejectSuffixes();
    if (rk_ == RK_EMPTY) {
      clearRecord();
      rec_->payload.time = new QDateTime();
      return;
    }
    if (rk_ != RK_EXPR) {
      fail(
          fillMessage(QStringLiteral("错误：函数 %1 语句 %2 时间赋值右值 %3 "
                                     "不是合法类型，只能把时间变量、或 kong 赋值给时间类型变量 %4"),
                      functionNameForMessage(), text(), rightText(), name()));
    }
    if (v_.value.type != VT_TIME) {
      fail(fillMessage(
          QStringLiteral("错误：函数%1 语句 %2 给时间变量赋值时，右值 %3 必须是时间类型 !"),
          functionNameForMessage(), text(), rightText()));
    }
    storeToRecord(rec_, &v_.value, ctx_, true, 0);
  }

  void assignExcel() {
    rejectSuffixes();
    if (rk_ == RK_EMPTY) {
      clearRecord();
      rec_->payload.excel = newWorkbookValue(QByteArray());
      return;
    }
    if (rk_ != RK_EXPR) {
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 Excel 表格赋值右值 %3 "
                         "不是合法类型，只能把Excel、字符串路径、或 kong 赋值给Excel 类型变量 %4"),
          line(), text(), rightText(), name()));
    }
    if (v_.value.type == VT_EXCEL) {
      storeToRecord(rec_, &v_.value, ctx_, true, 0);
      return;
    }
    if (v_.value.type != VT_BYTES) {
      fail(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 给Excel变量赋值时，文件路径 %3 必须是字符串类型 !"),
          line(), text(), rightText()));
    }
    const QByteArray path =
        v_.value.payload.bytes != nullptr ? *v_.value.payload.bytes : QByteArray();
    clearRecord();
    rec_->payload.excel = newWorkbookValue(path);
  }

  // A workbook value whose document is constructed but neither created nor
  // opened.
  static ExcelValue* newWorkbookValue(const QByteArray& path) {
    ExcelValue* e = new ExcelValue;
    e->doc = new Workbook();
    e->path = path;
    addSharedRef(e);
    return e;
  }

  ExprVisitor* vis_;
  KorParser::AssignVarContext* ctx_;
  KorParser::KorvarContext* target_;
  KorParser::RightvarContext* right_;
  const CachedName& name_;
  const AssignPlan& plan_;  // (the index expressions are compiled into it when it is compiled)
  bool plain_ = true;
  bool globalDef_ = false;
  ScopeRecord* rec_ = nullptr;
  RightKind rk_ = RK_EMPTY;
  PendingValue v_;
  IndexList indexes_;
  // The target's index and key values, evaluated once, before the right side
  // (made only for a target that has them).
  std::optional<IndexCells> cells_;
  KorParser::StMemVarContext* member_ = nullptr;
  bool suffixesRead_ = false;
  const void* container_ = nullptr;  // the list or dict that receives the value
  // the lists and dicts on the way to it, the first few of them
  static constexpr size_t kPathKept = 8;
  struct PathEntry {
    const void* container;
    const SharedCount* count;
  };
  PathEntry path_[kPathKept];
  size_t pathLength_ = 0;
};

}  // namespace

namespace {

// The operands after the target of `s = s + a + ...` (a plain target, "="),
// in order, when none of them runs code; false for any other right side.
bool appendedOperands(antlr4::tree::ParseTree* right, KorParser::KorvarContext* target,
                      std::vector<KorParser::ExprContext*>& out) {
  auto* e = static_cast<KorParser::ExprContext*>(right);
  while (typeid(*e) == typeid(KorParser::AddExprContext)) {
    out.push_back(static_cast<KorParser::ExprContext*>(e->children[2]));
    e = static_cast<KorParser::ExprContext*>(e->children[0]);
  }
  if (out.empty() || typeid(*e) != typeid(KorParser::VarExprContext)) return false;
  auto* var = static_cast<KorParser::KorvarContext*>(e->children[0]);
  if (var->children.size() != 1 || cachedNameOf(var).name != cachedNameOf(target).name)
    return false;
  for (KorParser::ExprContext* operand : out)
    if (flow::partRunsCode(operand, true)) return false;
  std::reverse(out.begin(), out.end());
  return true;
}

}  // namespace

AssignPlan planAssignment(ExprVisitor& v, KorParser::AssignVarContext* ctx, bool compileRight) {
  AssignPlan plan;
  plan.name = &cachedNameOf(static_cast<KorParser::KorvarContext*>(ctx->children[0]));
  auto* opCtx = static_cast<antlr4::ParserRuleContext*>(ctx->children[1]);
  switch (cachedFirstByte(opCtx, opCtx->getStart())) {
    case '*':
      plan.op = 1;
      break;
    case '/':
      plan.op = 2;
      break;
    case '+':
      plan.op = 3;
      break;
    case '-':
      plan.op = 4;
      break;
    default:
      plan.op = 0;
      break;
  }
  antlr4::tree::ParseTree* right = ctx->children[2];
  antlr4::tree::ParseTree* child = right->children.empty() ? nullptr : right->children[0];
  if (compileRight && child && !child->children.empty() &&
      flow::ruleOf(child) == KorParser::RuleExpr)
    plan.right = cx::compileExpr(v, static_cast<KorParser::ExprContext*>(child));
  auto* target = static_cast<KorParser::KorvarContext*>(ctx->children[0]);
  plan.initialiser = isDefinitionInitialiser(ctx);
  plan.compiled = compileRight;
  if (compileRight) (target->children.size() == 1 ? plan.target : plan.base) = cx::compileName(target);
  plan.keyed = compileRight && plan.right != nullptr && target->children.size() == 4;
  std::vector<KorParser::ExprContext*> appended;
  if (plan.target != nullptr && plan.right != nullptr && plan.op == 0 && !plan.initialiser &&
      appendedOperands(child, target, appended)) {
    for (KorParser::ExprContext* operand : appended)
      plan.appended.push_back(cx::compileExpr(v, operand));
  }
  if (compileRight && target->children.size() > 1) {
    plan.rightCalls = flow::partRunsCode(right, true);
    plan.rightRunsScript = plan.rightCalls && flow::partRunsCode(right, false);
  }
  return plan;
}

// The general paths stay out of line: the compiled statement's frame stays small.
[[gnu::noinline]] void execAssignPlanned(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                         const AssignPlan& plan) {
  Assignment(&v, ctx, plan).run();
}

namespace {

inline bool isNumber(int32_t type) { return uint32_t(type) <= uint32_t(VT_DOUBLE); }

// =, += and -= of a whole number v of type vkind (VT_INT, sign-extended, or
// VT_LONG) into a zs or czs variable or cell, with the typed store's
// wrapping; false for every other case.
inline bool storeWhole(int32_t kind, ValuePayload& dst, int64_t v, int32_t vkind, int op) {
  if (op != 0 && op != 3 && op != 4) return false;
  if (kind == VT_INT && vkind == VT_INT) {
    if (op == 0) {
      dst.i64 = 0;
      dst.i32 = int32_t(v);
    } else {
      const uint32_t cur = uint32_t(dst.i32);
      dst.i32 = int32_t(op == 3 ? cur + uint32_t(v) : cur - uint32_t(v));
    }
    return true;
  }
  if (kind == VT_LONG) {
    const uint64_t cur = uint64_t(dst.i64);
    dst.i64 = int64_t(op == 0 ? uint64_t(v) : op == 3 ? cur + uint64_t(v) : cur - uint64_t(v));
    return true;
  }
  return false;
}

// The same for an integer cell.
inline bool storeInteger(int32_t kind, ValuePayload& dst, const ExprValue& value, int op) {
  if (value.type == VT_INT) return storeWhole(kind, dst, value.payload.i32, VT_INT, op);
  if (value.type == VT_LONG) return storeWhole(kind, dst, value.payload.i64, VT_LONG, op);
  return false;
}

// The compiled index of a keyed plan (v[k] = ...), compiled on first use.
KOR_NOINLINE cx::Node* compileSingleIndex(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                          const AssignPlan& plan) {
  auto* target = static_cast<KorParser::KorvarContext*>(ctx->children[0]);
  auto* e = static_cast<KorParser::ExprContext*>(
      static_cast<antlr4::ParserRuleContext*>(target->children[2])->children[0]);
  guardStack(e);
  plan.indexes.push_back(cx::compileExpr(v, e));
  return plan.indexes[0];
}
KOR_ALWAYS_INLINE cx::Node* singleIndexNode(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                            const AssignPlan& plan) {
  return plan.indexes.empty() ? compileSingleIndex(v, ctx, plan) : plan.indexes[0];
}

// The general store of l[k] = v with the index and the value evaluated.
[[gnu::noinline]] void storeListGeneral(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                        const AssignPlan& plan, ScopeRecord* rec,
                                        const ExprValue& value, int32_t index) {
  Assignment(&v, ctx, plan).runListPrepared(rec, value, index);
}

// The same with only the index evaluated (taken over): the general path
// checks it, then evaluates the right side.
[[gnu::noinline]] void storeListKeyed(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                      const AssignPlan& plan, ScopeRecord* rec,
                                      const ExprValue& index) {
  Assignment(&v, ctx, plan).runListKeyed(rec, index);
}

// l[k] = v and l[k] op= v on a plain list variable with one index (rec): the
// index, then the right side are evaluated as the general path does (an index
// that is a zs literal or a plain variable holding a zs is read without a
// cell). A number into an element that holds a zs or czs (for "=", one of the
// number's own type) is stored here, with the cell store's wrapping; every
// other value goes on in the general store with both evaluated, an index that
// is not a zs within the list before the right side is evaluated.
void storeListIndex(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan,
                    ScopeRecord* rec) {
  cx::Node* kn = singleIndexNode(v, ctx, plan);
  int32_t k;
  if (!cx::readInt(kn, k)) {
    guardStack(kn->ctx);
    const ExprValue index = cx::eval(v, kn);
    if (index.type != VT_INT) {
      storeListKeyed(v, ctx, plan, rec, index);
      return;
    }
    k = index.payload.i32;
  }
  const ValueList* list = rec->payload.list;
  if (list == nullptr || k < 0 || size_t(k) >= list->size()) {
    storeListKeyed(v, ctx, plan, rec, makeIntValue(k));
    return;
  }
  ExprValue value = cx::eval(v, plan.right);
  list = rec->payload.list;  // (the right side may have changed the list)
  if (list != nullptr && size_t(k) < list->size()) {
    ExprValue* elem = (*list)[size_t(k)];
    if ((plan.op != 0 || elem->type == value.type) &&
        storeInteger(elem->type, elem->payload, value, plan.op))
      return;
  }
  storeListGeneral(v, ctx, plan, rec, value, k);
}

// The general store of d[k] = v with the key (lent or owned) and the value
// evaluated; both are taken over.
[[gnu::noinline]] void storeDictGeneral(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                        const AssignPlan& plan, ScopeRecord* rec,
                                        const ExprValue& value, const ExprValue& key, bool lent) {
  Assignment(&v, ctx, plan).runDictPrepared(rec, value, key, lent);
}

// The same with only the key evaluated (taken over): the general path checks
// it, then evaluates the right side.
[[gnu::noinline]] void storeDictKeyed(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                      const AssignPlan& plan, ScopeRecord* rec,
                                      const ExprValue& key) {
  Assignment(&v, ctx, plan).runDictKeyed(rec, key);
}

// The store of storeDictKey with the key (a zs, or a zfc that is lent, or
// owned and held by `ownedKey`) and the value evaluated: a key into a dict
// that is there, with a value that cannot hold containers, is stored here,
// into the entry found (a text key looked up just before is not hashed again)
// or a new entry taking the key and the value; every other case goes on in
// the general store.
KOR_ALWAYS_INLINE void storeDictValue(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                      const AssignPlan& plan, ScopeRecord* rec,
                                      const ExprValue& key, PendingValue* ownedKey,
                                      PendingValue& value) {
  const bool lent = key.type == VT_BYTES && ownedKey == nullptr;
  ValueDict* dict = rec->payload.dict;
  const int32_t vt = value.value.type;
  if (dict != nullptr && vt != VT_LIST && vt != VT_DICT && vt != VT_STRUCT) {
    uint64_t hash;
    ValueDict::Node* node =
        key.type == VT_INT ? dict->findInteger(key.payload.i32, &hash) : dict->find(key, &hash);
    if (node != nullptr) {
      ExprValue* cell = node->value;
      if (!storeInteger(cell->type, cell->payload, value.value, plan.op))
        storeToCell(cell, &value.value, ctx, true, plan.op);
      return;  // the source cell's payload has moved or is a number
    }
    countFromZero(value.value, plan.op, ctx);
    // nothing has run since the key was looked up: it is still absent
    if (ownedKey != nullptr) ownedKey->armed = false;
    node = dict->insertNew(lent ? copyValue(key, false) : key, hash);
    node->value = moveValueToPool(value.value);
    value.armed = false;
    return;
  }
  if (ownedKey != nullptr) ownedKey->armed = false;
  value.armed = false;
  storeDictGeneral(v, ctx, plan, rec, value.value, key, lent);
}

// storeDictKey with an evaluated zfc key (taken over).
KOR_NOINLINE void storeDictOwnedKey(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                    const AssignPlan& plan, ScopeRecord* rec,
                                    const ExprValue& key) {
  PendingValue ownedKey{key};
  PendingValue value{cx::eval(v, plan.right)};
  storeDictValue(v, ctx, plan, rec, ownedKey.value, &ownedKey, value);
}

// d[k] = v and d[k] op= v on a plain dict variable with one key (rec): the
// key, then the right side are evaluated as the general path does. A key of
// zs is read without a cell (after the right side when that makes no call,
// and so changes no variable), a plain zfc variable's key is lent when the
// right side calls no script function, any other key is evaluated; a zs or
// zfc key goes on in storeDictValue, any other key in the general store
// before the right side is evaluated.
void storeDictKey(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan,
                  ScopeRecord* rec) {
  cx::Node* kn = singleIndexNode(v, ctx, plan);
  ExprValue key;
  guardStack(kn->ctx);
  ScopeRecord* keyRec = kn->eval == cx::evVarPlain ? cx::findNamed(kn, kn->var) : nullptr;
  if (keyRec != nullptr && keyRec->kind == VT_INT) {
    if (!plan.rightCalls) {
      PendingValue value{cx::eval(v, plan.right)};
      storeDictValue(v, ctx, plan, rec, makeIntValue(keyRec->payload.i32), nullptr, value);
      return;
    }
    key = makeIntValue(keyRec->payload.i32);
  } else if (keyRec != nullptr && keyRec->kind == VT_BYTES && keyRec->payload.bytes != nullptr &&
             !plan.rightRunsScript) {
    // Only a script function can change the variable while the right side
    // is evaluated (a built-in method that changes its text gives no value).
    key = keyRec->asValue();
  } else if (kn->eval == cx::evLit && kn->lit.type == VT_INT) {
    key = kn->lit;
  } else {
    key = cx::eval(v, kn);
    if (key.type == VT_BYTES) {
      storeDictOwnedKey(v, ctx, plan, rec, key);
      return;
    }
    if (key.type != VT_INT) {
      storeDictKeyed(v, ctx, plan, rec, key);
      return;
    }
  }
  PendingValue value{cx::eval(v, plan.right)};
  storeDictValue(v, ctx, plan, rec, key, nullptr, value);
}

// The store of a plain target's assignment with the right side evaluated.
KOR_ALWAYS_INLINE void storeAssigned(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                     const AssignPlan& plan, ScopeRecord* rec, ExprValue& value) {
  // number into number: the typed store never refuses the pair
  if (isNumber(rec->kind) && isNumber(value.type)) {
    if (!storeInteger(rec->kind, rec->payload, value, plan.op))
      storeToRecord(rec, &value, ctx, true, plan.op);
    return;
  }
  execAssignPrepared(v, ctx, plan, rec, value);
}

}  // namespace

void execAssignCompiled(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan) {
  // A definition's initialiser, the global block and a target with indexes
  // or members take the general path.
  if (!plan.right || statusTop() == LS_RUN_START) {
    execAssignPlanned(v, ctx, plan);
    return;
  }
  if (!plan.target) {
    if (plan.keyed)
      execAssignKeyed(v, ctx, plan);
    else
      execAssignPlanned(v, ctx, plan);
    return;
  }
  ScopeRecord* rec = cx::findNamed(plan.target, ctx);
  ExprValue value = cx::eval(v, plan.right);
  storeAssigned(v, ctx, plan, rec, value);
}

void execAssignInteger(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan) {
  if (statusTop() == LS_RUN_START) {
    execAssignPlanned(v, ctx, plan);
    return;
  }
  ScopeRecord* rec = cx::findNamed(plan.target, ctx);
  ExprValue value;
  const cx::Integer r =
      plan.right->arith != 0 ? cx::evalIntegers(plan.right, plan.target, rec) : cx::Integer{0, -1};
  if (r.kind >= 0) {
    // into a zs or czs: stored without the value cell
    if (storeWhole(rec->kind, rec->payload, r.value, r.kind, plan.op)) return;
    value = r.kind == VT_INT ? makeIntValue(int32_t(r.value)) : makeLongValue(r.value);
  } else {
    value = cx::eval(v, plan.right);  // (the tree's handler counts the miss)
  }
  storeAssigned(v, ctx, plan, rec, value);
}

void execAssignAppend(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan) {
  ScopeRecord* rec = statusTop() == LS_RUN_START ? nullptr : cx::lookupNamed(plan.target);
  if (rec == nullptr || rec->kind != VT_BYTES) {
    if (plan.right->arith != 0)
      execAssignInteger(v, ctx, plan);
    else
      execAssignCompiled(v, ctx, plan);
    return;
  }
  // The operands run no code, so the variable holds the text that `s + a`
  // would copy until it is appended to: they are evaluated first (one may
  // read the variable), then appended in order, as the additions would
  // append them to the copy. An operand that is no zfc or zf leaves the
  // additions to the general path, which evaluates the same reads again.
  const size_t n = plan.appended.size();
  IndexCells values;  // (released at the end)
  for (size_t i = 0; i < n; ++i) {
    cx::Node* node = plan.appended[i];
    guardStack(node->ctx);
    const ExprValue value = cx::eval(v, node);
    values.add(value);
    if (value.type != VT_BYTES && value.type != VT_CHAR) {
      ExprValue result = cx::eval(v, plan.right);
      storeAssigned(v, ctx, plan, rec, result);
      return;
    }
  }
  QByteArray*& text = rec->payload.bytes;
  for (size_t i = 0; i < n; ++i) {
    ExprValue& value = values.at(i);
    if (value.type == VT_CHAR) {
      if (text == nullptr) text = newByteString();
      text->append(value.payload.c);
    } else if (text == nullptr) {
      text = value.payload.bytes;  // (the sum of an empty text and this one)
      value.payload.bytes = nullptr;
    } else if (value.payload.bytes != nullptr) {
      text->append(*value.payload.bytes);
    }
  }
}

void execAssignKeyed(ExprVisitor& v, KorParser::AssignVarContext* ctx, const AssignPlan& plan) {
  if (statusTop() != LS_RUN_START) {
    ScopeRecord* rec = cx::findNamed(plan.base, ctx);
    if (rec->kind == VT_DICT) {
      storeDictKey(v, ctx, plan, rec);
      return;
    }
    if (rec->kind == VT_LIST) {
      storeListIndex(v, ctx, plan, rec);
      return;
    }
  }
  execAssignPlanned(v, ctx, plan);
}

[[gnu::noinline]] void execAssignPrepared(ExprVisitor& v, KorParser::AssignVarContext* ctx,
                                          const AssignPlan& plan, ScopeRecord* rec,
                                          const ExprValue& value) {
  Assignment(&v, ctx, plan).runPrepared(rec, value);
}

void execAssignVar(ExprVisitor& v, KorParser::AssignVarContext* ctx) {
  execAssignPlanned(v, ctx, planAssignment(v, ctx, false));
}

antlrcpp::Any ExprVisitor::visitAssignVar(KorParser::AssignVarContext* ctx) {
  execAssignVar(*this, ctx);
  return 0;
}
