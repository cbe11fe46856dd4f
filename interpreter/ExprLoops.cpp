// Loops: counted `xun (init cond; inc)`, `while`, for-in over lists, dicts
// and structs, and the directory walk `xun d, s, f in wj.walk(...)`.
//
// Every loop pushes a loop marker (so break and continue are legal inside
// it), runs its body as a branch and looks at the status stack after each
// iteration: break is popped and ends the loop, continue is popped and goes
// on, a return stays on the stack and ends the loop for the enclosing call.
// The counted, while and walk loops let the host's events run every 1001
// iterations, and every loop notices a stop request at each iteration.
#include "ExprVisitor.h"
#include "FlowSupport.h"
#include "Compiled.h"
#include "ContextCache.h"

#include <deque>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QList>

#include <iostream>
#include <stdexcept>
#include <vector>

#include "runtime/errors.h"
#include "runtime/file_names.h"
#include "runtime/run_state.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"

namespace {

QString ctxText(antlr4::tree::ParseTree* ctx) { return QString::fromStdString(ctx->getText()); }

// Iterations between two event-processing calls.
constexpr int32_t kPumpInterval = 1000;

KOR_COLD void pumpEvents() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

inline void countIteration(int32_t& counter) {
  if (++counter > kPumpInterval) {
    pumpEvents();
    counter = 0;
  }
}

KOR_FAIL void failInterrupted() {
  raiseScriptError(QStringLiteral("用户中断脚本继续执行,终止执行 ..."));
}

inline void checkAbort() {
  if (abortRequested.load(std::memory_order_relaxed)) failInterrupted();
}

KOR_FAIL void loopConditionError(antlr4::tree::ParseTree* cond) {
  raiseScriptError(
      QStringLiteral("错误：函数 %1 语句 %2，循环缺少条件判断逻辑表达式，或循环执行判断表达式不是逻辑表达式 ！")
          .arg(currentFunctionQName(), ctxText(cond)));
}

// Evaluates a loop condition: true to run the body, false to leave.
KOR_NOINLINE bool loopCondition(ExprVisitor& v, KorParser::ExprContext* cond) {
  ExprValue c = evalExprFast(v, cond);
  if (c.type != VT_BOOL) {
    freeValue(c);
    loopConditionError(cond);
  }
  return c.payload.b != 0;
}

// Status after an iteration. Leave: break (popped) or return (kept).
enum class After { Next, Leave };
inline After statusAfterBody(bool& continued) {
  const int32_t top = statusTop();
  continued = false;
  if (top == LS_BREAK) {
    popStatus();
    return After::Leave;
  }
  if (top == LS_RETURN) return After::Leave;
  if (top == LS_CONTINUE) continued = true;
  return After::Next;
}

// Sets a loop variable's value, releasing the old one first.
inline void bindRecord(ScopeRecord* rec, ExprValue value) {
  releaseScopeRecord(rec);
  rec->kind = value.type;
  rec->payload = value.payload;
}

ScopeRecord* pushLoopVariable(const QByteArray& name, int32_t kind) {
  ScopeRecord* rec = pushScopeRecord(kind);
  rec->name = name;
  rec->payload.i64 = 0;
  rec->returnSlot = nullptr;
  return rec;
}

// Runs the increment part of a counted loop: `i++, j += 2` left to right.
KOR_NOINLINE void runIncrement(ExprVisitor& v, antlr4::tree::ParseTree* inc) {
  for (antlr4::tree::ParseTree* child : inc->children) {
    switch (flow::ruleOf(child)) {
      case KorParser::RuleForinc:
        runIncrement(v, child);
        break;
      case KorParser::RuleKorAutoAddSub:
        evalAutoAddSub(v, static_cast<KorParser::KorAutoAddSubContext*>(child));
        break;
      case -1:  // ','
        break;
      default:
        flow::runStatement(v, child);
        break;
    }
  }
}

}  // namespace

// ---- compiled counted and while loops ----

namespace {

ContextCache<const cx::Stmt*> gLoops;

// Loop flags (Stmt::code): the condition is a comparison; for counted
// loops, the one step is x++ / x--, and that step's variable is the
// condition's left operand, a plain variable.
constexpr int32_t kComparedCondition = 1;
constexpr int32_t kAutoStep = 2;
constexpr int32_t kSteppedCondition = 4;

// Evaluates a compiled loop condition through its node: true to run the
// body, false to leave.
KOR_NOINLINE bool conditionValue(ExprVisitor& v, const cx::Stmt* loop) {
  ExprValue c = cx::eval(v, loop->cond);
  if (c.type != VT_BOOL) {
    freeValue(c);
    // the condition as written (a parenthesised one shares its inner node)
    loopConditionError(static_cast<antlr4::ParserRuleContext*>(loop->ctx)->getRuleContext<KorParser::ExprContext>(0));
  }
  return c.payload.b != 0;
}

// The same, with a comparison of two zs operands decided inline.
inline bool conditionHolds(ExprVisitor& v, const cx::Stmt* loop) {
  bool holds;
  if ((loop->code & kComparedCondition) != 0 && cx::compareInts(loop->cond, holds)) return holds;
  return conditionValue(v, loop);
}

// x++ / x-- as a step of a counted loop.
void runAutoStep(ExprVisitor& v, const cx::Stmt* s) { cx::eval(v, s->cond); }

// The increment part of a counted loop, `i++, j += 2`, as a list of steps.
void compileIncrement(ExprVisitor& v, antlr4::tree::ParseTree* inc, std::vector<const cx::Stmt*>& steps) {
  for (antlr4::tree::ParseTree* child : inc->children) {
    switch (flow::ruleOf(child)) {
      case KorParser::RuleForinc:
        compileIncrement(v, child, steps);
        break;
      case KorParser::RuleKorAutoAddSub: {
        cx::Stmt* s = cx::newStmt(child, runAutoStep);
        s->cond = cx::compileAuto(v, static_cast<KorParser::KorAutoAddSubContext*>(child));
        steps.push_back(s);
        break;
      }
      case -1:  // ','
        break;
      default:
        steps.push_back(cx::compileStatement(v, child));
        break;
    }
  }
}

void runInit(ExprVisitor& v, const cx::Stmt* s) {
  auto* init = static_cast<KorParser::ForinitContext*>(s->ctx);
  if (KorParser::DefvarContext* d = init->defvar())
    flow::acceptNode(v, d);
  else if (KorParser::AssignContext* a = init->assign())
    flow::runStatement(v, a);
}

void runFor(ExprVisitor& v, const cx::Stmt* s) {
  pushScopeRecord(SK_LOOP);
  if (s->init) s->init->run(v, s->init);
  if (!s->cond) {
    popLoopScope();
    return;
  }
  // `i < n` and `i++` on zs leaves run inline; any other value takes the
  // nodes' handlers.
  cx::Node* autoStep = (s->code & kAutoStep) != 0 ? s->list[0]->cond : nullptr;
  const bool stepsLeft = (s->code & kSteppedCondition) != 0;
  // the record the step has just changed, when it is the condition's left
  // operand (nothing runs between the two that could hide it)
  const ScopeRecord* stepped = nullptr;
  int32_t counter = 0;
  for (;;) {
    checkAbort();
    bool holds;
    int32_t limit;
    if (stepped != nullptr && cx::readInt(s->cond->b, limit))
      holds = cx::compareOp(s->cond->op, stepped->payload.i32, limit);
    else
      holds = conditionHolds(v, s);
    if (!holds) break;
    if (s->body) s->body->run(v, s->body);
    bool continued;
    if (statusAfterBody(continued) == After::Leave) break;
    countIteration(counter);
    if (continued) popStatus();
    if (autoStep != nullptr) {
      stepped = cx::stepInt(autoStep);
      if (stepped == nullptr)
        cx::eval(v, autoStep);
      else if (!stepsLeft)
        stepped = nullptr;
    } else {
      for (const cx::Stmt* step : s->list) step->run(v, step);
    }
  }
  popLoopScope();
}

void runWhile(ExprVisitor& v, const cx::Stmt* s) {
  pushScopeRecord(SK_LOOP);
  if (!s->cond) {
    popLoopScope();
    return;
  }
  int32_t counter = 0;
  for (;;) {
    checkAbort();
    if (!conditionHolds(v, s)) break;
    if (s->body) s->body->run(v, s->body);
    countIteration(counter);
    bool continued;
    if (statusAfterBody(continued) == After::Leave) break;
    if (continued) popStatus();
  }
  popLoopScope();
}

// The body of a loop: a block runs itself (and makes its own scope); a
// single statement gets a block scope of its own; none: nothing runs.
const cx::Stmt* compileLoopBody(ExprVisitor& v, KorParser::StatementContext* stmt) {
  return stmt ? cx::compileBranch(v, stmt) : nullptr;
}

}  // namespace

namespace cx {

const Stmt* compileFor(ExprVisitor& v, KorParser::ForStateContext* ctx) {
  if (const Stmt** hit = gLoops.find(ctx)) return *hit;
  Stmt* s = newStmt(ctx, runFor);
  gLoops.insert(ctx, static_cast<const Stmt*>(s));
  // a defined loop variable is checked against the enclosing block's
  s->defines = false;
  if (KorParser::ForinitContext* init = ctx->forinit()) {
    s->init = newStmt(init, runInit);
    s->defines = init->defvar() != nullptr;
  }
  if (KorParser::ExprContext* cond = ctx->expr()) s->cond = compileExpr(v, cond);
  s->body = compileLoopBody(v, ctx->statement());
  if (KorParser::ForincContext* inc = ctx->forinc()) compileIncrement(v, inc, s->list);
  if (s->cond && cx::isComparison(s->cond)) s->code |= kComparedCondition;
  if (s->list.size() == 1 && s->list[0]->run == runAutoStep) {
    s->code |= kAutoStep;
    const cx::Node* step = s->list[0]->cond;
    const cx::Node* left = (s->code & kComparedCondition) != 0 ? s->cond->a : nullptr;
    if (step->var != nullptr && left != nullptr && left->eval == cx::evVarPlain &&
        left->name.hash() == step->name.hash() && left->name.bytes() == step->name.bytes())
      s->code |= kSteppedCondition;
  }
  return s;
}

const Stmt* compileWhile(ExprVisitor& v, KorParser::WhileStateContext* ctx) {
  if (const Stmt** hit = gLoops.find(ctx)) return *hit;
  Stmt* s = newStmt(ctx, runWhile);
  s->defines = false;
  gLoops.insert(ctx, static_cast<const Stmt*>(s));
  if (KorParser::ExprContext* cond = ctx->expr()) s->cond = compileExpr(v, cond);
  if (s->cond && cx::isComparison(s->cond)) s->code |= kComparedCondition;
  s->body = compileLoopBody(v, ctx->statement());
  return s;
}

void resetLoops() {
  gLoops.clear();
}

}  // namespace cx

antlrcpp::Any ExprVisitor::visitForState(KorParser::ForStateContext* ctx) {
  cx::run(*this, cx::compileFor(*this, ctx));
  return 0;
}

antlrcpp::Any ExprVisitor::visitForinc(KorParser::ForincContext* ctx) {
  runIncrement(*this, ctx);
  return 0;
}

antlrcpp::Any ExprVisitor::visitWhileState(KorParser::WhileStateContext* ctx) {
  cx::run(*this, cx::compileWhile(*this, ctx));
  return 0;
}

namespace {

KOR_FAIL void failForInType(KorParser::ForInStateContext* ctx,
                                                                antlr4::tree::ParseTree* source,
                                                                int32_t type) {
  raiseScriptError(
      QStringLiteral("错误：函数 %1 语句 %2 只有列表、字典、结构体可以做循环对象！变量或表达式 %3 类型是 %4")
          .arg(currentFunctionQName(), statementTextAt(ctx).trimmed(), source ? ctxText(source) : QString(),
               typeDescription(type)));
}

// Whether an expression only reads: operators, literals and variable
// references (their index expressions included), nothing that calls, steps,
// formats or tests membership.
bool exprOnlyReads(antlr4::tree::ParseTree* node) {
  if (dynamic_cast<antlr4::tree::TerminalNode*>(node) != nullptr) return true;
  const std::type_info& t = typeid(*node);
  const bool allowed =
      t == typeid(KorParser::VarExprContext) || t == typeid(KorParser::KorvarContext) ||
      t == typeid(KorParser::ListindexContext) || t == typeid(KorParser::StMemVarContext) ||
      t == typeid(KorParser::IntExprContext) || t == typeid(KorParser::FloatExprContext) ||
      t == typeid(KorParser::BoolValueExprContext) || t == typeid(KorParser::CharValueExprContext) ||
      t == typeid(KorParser::StrExprContext) || t == typeid(KorParser::RowStrExprContext) ||
      t == typeid(KorParser::ParenthesesExprContext) || t == typeid(KorParser::NegationExprContext) ||
      t == typeid(KorParser::AtomContext) || t == typeid(KorParser::AddExprContext) ||
      t == typeid(KorParser::SubExprContext) || t == typeid(KorParser::MultExprContext) ||
      t == typeid(KorParser::DivExprContext) || t == typeid(KorParser::RemainderExprContext) ||
      t == typeid(KorParser::EqualExprContext) || t == typeid(KorParser::UnequalExprContext) ||
      t == typeid(KorParser::LessExprContext) || t == typeid(KorParser::LessEqualExprContext) ||
      t == typeid(KorParser::GreaterExprContext) ||
      t == typeid(KorParser::GreaterEqualExprContext) || t == typeid(KorParser::AndExprContext) ||
      t == typeid(KorParser::OrExprContext) || t == typeid(KorParser::NotExprContext);
  if (!allowed) return false;
  for (antlr4::tree::ParseTree* child : node->children)
    if (!exprOnlyReads(child)) return false;
  return true;
}

// A plain variable other than the loop's own: an assignment target of a body
// that only reads.
KorParser::KorvarContext* plainTarget(antlr4::tree::ParseTree* node,
                                      const std::vector<QByteArray>& loopNames) {
  auto* var = dynamic_cast<KorParser::KorvarContext*>(node);
  if (var == nullptr || var->children.size() != 1) return nullptr;
  const QByteArray name = QByteArray::fromStdString(var->getText());
  for (const QByteArray& own : loopNames)
    if (own == name) return nullptr;
  return var;
}

// Whether a loop body only reads: blocks, if / zif / qt, assignments and
// x++ / x-- of plain variables other than the loop's, expression statements,
// break, continue and pass, with expressions that only read. It defines,
// calls and returns nothing, so the variables it names stay the records found
// before it runs. The assignments' targets are collected.
bool bodyOnlyReads(antlr4::tree::ParseTree* node, const std::vector<QByteArray>& loopNames,
                   std::vector<KorParser::KorvarContext*>& targets) {
  if (dynamic_cast<antlr4::tree::TerminalNode*>(node) != nullptr) return true;
  const std::type_info& t = typeid(*node);
  if (t == typeid(KorParser::StatementContext) || t == typeid(KorParser::BlockContext) ||
      t == typeid(KorParser::ZifContext) || t == typeid(KorParser::QtContext) ||
      t == typeid(KorParser::IfContext) || t == typeid(KorParser::AssignContext) ||
      t == typeid(KorParser::AssginNoEndContext)) {
    for (antlr4::tree::ParseTree* child : node->children) {
      auto* e = dynamic_cast<KorParser::ExprContext*>(child);
      if (e != nullptr ? !exprOnlyReads(e) : !bodyOnlyReads(child, loopNames, targets))
        return false;
    }
    return true;
  }
  if (t == typeid(KorParser::BreakContext) || t == typeid(KorParser::ContinueContext) ||
      t == typeid(KorParser::PassContext))
    return true;
  if (t == typeid(KorParser::AssignVarContext)) {
    auto* assign = static_cast<KorParser::AssignVarContext*>(node);
    KorParser::KorvarContext* target = plainTarget(assign->korvar(), loopNames);
    KorParser::RightvarContext* right = assign->rightvar();
    if (target == nullptr || right == nullptr || right->children.size() != 1 ||
        dynamic_cast<KorParser::ExprContext*>(right->children[0]) == nullptr ||
        !exprOnlyReads(right->children[0]))
      return false;
    targets.push_back(target);
    return true;
  }
  if (t == typeid(KorParser::SignalStateContext)) {
    antlr4::tree::ParseTree* e = node->children.empty() ? nullptr : node->children[0];
    if (e == nullptr) return false;
    if (typeid(*e) == typeid(KorParser::AssignAutoAddContext)) {
      auto* step = dynamic_cast<KorParser::KorAutoAddSubContext*>(e->children[0]);
      KorParser::KorvarContext* target =
          step != nullptr ? plainTarget(step->children[0], loopNames) : nullptr;
      if (target == nullptr) return false;
      targets.push_back(target);
      return true;
    }
    return exprOnlyReads(e);
  }
  return false;
}

// One iteration's end for the for-in loops: true to leave the loop.
inline bool forInLeaves() {
  bool continued;
  if (statusAfterBody(continued) == After::Leave) return true;
  if (continued) popStatus();
  return false;
}

// List: the index and a deep copy of each element; the count is taken at
// loop start (a list that shrank ends the run with an out-of-range error,
// reported by the run driver as a general exception).
KOR_FAIL void failListShrank(antlr4::ParserRuleContext* ctx,
                                                                 size_t index, size_t size) {
  throw std::out_of_range(
      fillMessage(
          QStringLiteral(
              "错误：行号 %1 循环的列表在循环中变短，下标 %2 的元素已不存在（列表长度 %3）"),
          lineOfContext(ctx), index, size)
          .toStdString());
}

// Lending the element: a body that only reads (see bodyOnlyReads) sees the
// element's own struct or text under the value variable instead of a deep
// copy. Nothing it runs can change the element, the loop holds the list, and
// the variable itself is never assigned, so no script can tell the two apart.
// The assignments' targets are looked at before each iteration: one that
// holds a container (whose store might change it in place) ends the lending.
constexpr int32_t kBodyOnlyReads = 1;

inline bool lendable(const ExprValue& element) {
  return element.type == VT_STRUCT || element.type == VT_BYTES || element.type == VT_STRING;
}

// The records of a body's assignment targets, found once before the first
// iteration: the body defines, calls and returns nothing, so its names keep
// naming them while the loop runs.
struct TargetRecords {
  static constexpr size_t kMax = 8;
  const ScopeRecord* recs[kMax];
  size_t count = 0;

  // False when a target is missing or there are too many to keep.
  bool find(const cx::Stmt* s) {
    if (s->conds.size() > kMax) return false;
    for (cx::Node* target : s->conds) {
      const ScopeRecord* rec = cx::lookupNamed(target);
      if (rec == nullptr) return false;
      recs[count++] = rec;
    }
    return true;
  }

  bool holdNoContainer() const {
    for (size_t i = 0; i < count; ++i) {
      const int32_t kind = recs[i]->kind;
      if (!(uint32_t(kind) <= uint32_t(VT_WCHAR) || kind == VT_BYTES || kind == VT_STRING))
        return false;
    }
    return true;
  }
};

// The value variable while it holds a lent payload: emptied again before it
// is bound anew and on every way out of the loop.
struct LentRecord {
  ScopeRecord* rec = nullptr;
  void unbind() {
    if (rec == nullptr) return;
    rec->kind = VT_EMPTY;
    rec->payload.i64 = 0;
    rec = nullptr;
  }
  ~LentRecord() { unbind(); }
};

KOR_NOINLINE void forInList(ExprVisitor& v, antlr4::ParserRuleContext* ctx,
                                         ValueList* list, ScopeRecord* first,
                                         ScopeRecord* second, const cx::Stmt* s) {
  const cx::Stmt* body = s->body;
  const size_t count = list ? list->size() : 0;
  bool lend = second != nullptr && (s->code & kBodyOnlyReads) != 0;
  TargetRecords targets;
  if (lend && count > 0) lend = targets.find(s);
  LentRecord lent;
  for (size_t i = 0; i < count; ++i) {
    checkAbort();
    if (i >= list->size()) failListShrank(ctx, i, list->size());
    ExprValue* element = (*list)[i];
    if (first) {
      first->kind = VT_INT;
      first->payload.i64 = 0;
      first->payload.i32 = int32_t(i);
    }
    if (second) {
      lent.unbind();
      if (lend) lend = targets.holdNoContainer();
      if (lend && lendable(*element)) {
        releaseScopeRecord(second);
        second->kind = element->type;
        second->payload = element->payload;
        lent.rec = second;
      } else {
        bindRecord(second, copyValue(*element, true));
      }
    }
    if (body) body->run(v, body);
    if (forInLeaves()) return;
  }
}

// Dict: a copy of each key and a deep copy of its value. The keys are taken
// at loop start, so that the body may add or remove entries of the same
// dict: a removed key is skipped, an added one is not visited.
KOR_NOINLINE void forInDict(ExprVisitor& v, ValueDict* dict, ScopeRecord* first,
                                         ScopeRecord* second, const cx::Stmt* body) {
  if (!dict) return;
  std::vector<std::pair<ExprValue, uint64_t>> keys;
  keys.reserve(dict->size());
  for (ValueDict::Node* node = dict->first(); node; node = node->next)
    keys.emplace_back(copyValue(node->key, false), node->hash);
  struct KeysGuard {
    std::vector<std::pair<ExprValue, uint64_t>>& keys;
    ~KeysGuard() {
      for (auto& key : keys) freeValue(key.first);
    }
  } guard{keys};
  for (auto& key : keys) {
    checkAbort();
    ValueDict::Node* node = dict->find(key.first, key.second);
    if (!node) continue;
    if (first) bindRecord(first, copyValue(node->key, false));
    if (second) bindRecord(second, copyValue(*node->value, true));
    if (body) body->run(v, body);
    if (forInLeaves()) return;
  }
}

// Struct: each member's name as a byte string and a deep copy of its value.
KOR_NOINLINE void forInStruct(ExprVisitor& v, StructValue* st, ScopeRecord* first,
                                           ScopeRecord* second, const cx::Stmt* body) {
  const MemberCells* members = st ? st->members : nullptr;
  if (!members) return;  // a struct that carries only a native object
  ScopeRecord* desc = findGlobal(st->typeName, nullptr, false);
  const ByteStringList* names =
      desc && desc->kind == VT_STRUCT_DESC ? desc->payload.names : nullptr;
  for (size_t i = 0; i < members->size(); ++i) {
    checkAbort();
    if (first) {
      ExprValue n;
      makeByteStringValue(n, names && int(i) < names->size() ? QByteArray(names->at(int(i)))
                                                             : QByteArray());
      bindRecord(first, n);
    }
    if (second) bindRecord(second, copyValue(*members->at(i), true));
    if (body) body->run(v, body);
    if (forInLeaves()) return;
  }
}

// A loop variable of for-in ("_" binds nothing).
ScopeRecord* forInVariable(KorParser::ForInStateContext* ctx, size_t i, int32_t kind) {
  KorParser::ForinvarContext* var = ctx->forinvar(i);
  if (!var || !var->VARNAME()) return nullptr;
  return pushLoopVariable(QByteArray::fromStdString(var->VARNAME()->getText()), kind);
}

void runForIn(ExprVisitor& v, const cx::Stmt* s) {
  auto* ctx = static_cast<KorParser::ForInStateContext*>(s->ctx);
  KorParser::RightvarContext* source = ctx->rightvar();
  antlr4::tree::ParseTree* inner =
      source && !source->children.empty() ? source->children[0] : nullptr;
  ExprValue coll;
  if (inner && !inner->children.empty()) coll = flow::evalNode(v, inner);
  if (coll.type != VT_LIST && coll.type != VT_DICT && coll.type != VT_STRUCT) {
    const int32_t t = coll.type;
    freeValue(coll);
    failForInType(ctx, source, t);
  }
  try {
    pushScopeRecord(SK_LOOP);
    ScopeRecord* first = forInVariable(ctx, 0, coll.type == VT_LIST ? VT_INT : VT_EMPTY);
    ScopeRecord* second = forInVariable(ctx, 1, VT_EMPTY);
    if (coll.type == VT_LIST)
      forInList(v, ctx, coll.payload.list, first, second, s);
    else if (coll.type == VT_DICT)
      forInDict(v, coll.payload.dict, first, second, s->body);
    else
      forInStruct(v, coll.payload.st, first, second, s->body);
    popLoopScope();
  } catch (...) {
    freeValue(coll);
    throw;
  }
  freeValue(coll);
}

}  // namespace

namespace cx {

const Stmt* compileForIn(ExprVisitor& v, KorParser::ForInStateContext* ctx) {
  if (const Stmt** hit = gLoops.find(ctx)) return *hit;
  Stmt* s = newStmt(ctx, runForIn);
  s->defines = false;  // its variables are bound, not defined
  gLoops.insert(ctx, static_cast<const Stmt*>(s));
  s->body = compileLoopBody(v, ctx->statement());
  std::vector<QByteArray> loopNames;
  for (KorParser::ForinvarContext* var : ctx->forinvar())
    if (var->VARNAME()) loopNames.push_back(QByteArray::fromStdString(var->VARNAME()->getText()));
  std::vector<KorParser::KorvarContext*> targets;
  if (ctx->statement() && bodyOnlyReads(ctx->statement(), loopNames, targets)) {
    s->code |= kBodyOnlyReads;
    for (KorParser::KorvarContext* target : targets) s->conds.push_back(compileName(target));
  }
  return s;
}

}  // namespace cx

antlrcpp::Any ExprVisitor::visitForInState(KorParser::ForInStateContext* ctx) {
  cx::run(*this, cx::compileForIn(*this, ctx));
  return 0;
}

antlrcpp::Any ExprVisitor::visitForwalk(KorParser::ForwalkContext* ctx) {
  const std::vector<KorParser::ExprContext*> args = ctx->expr();
  auto lineText = [&]() { return QString::number(lineOfContext(ctx)); };
  if (args.empty() || args.size() > 3)
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 walk 函数最多接收3个参数，当前有 %3 个参数，请检查!"),
        lineText(), statementTextAt(ctx).trimmed(), args.size()));

  // The directory.
  QString path;
  {
    ExprValue p = evalExprFast(*this, args[0]);
    if (p.type == VT_BYTES) {
      path = p.payload.bytes ? pathFromBytes(*p.payload.bytes) : QString();
    } else if (p.type == VT_STRING) {
      path = p.payload.str ? *p.payload.str : QString();
    } else {
      const int32_t t = p.type;
      freeValue(p);
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 walk的目录路径只能是字符串类型，而 %3 是 %4")
                           .arg(lineText(), statementTextAt(ctx).trimmed(), ctxText(args[0]),
                                typeDescription(t)));
    }
    freeValue(p);
  }
  keepUndecodableFileNames();  // names that are not UTF-8 are listed too
  {
    QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || info.isFile())
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2 变量%3 的目录路径 %4 不存在，或者不是一个目录，无法遍历！请检查!\n如果路径字符串存在反斜杠，请转义或使用裸字符串。")
              .arg(lineText(), statementTextAt(ctx).trimmed(), ctxText(args[0]), path));
    if (info.isRelative()) path = info.absoluteFilePath();
  }

  // Option and sort words.
  int32_t filterWord = 0x600b;
  int32_t sortWord = -1;
  if (args.size() >= 2) {
    ExprValue o = evalExprFast(*this, args[1]);
    if (o.type != VT_INT) {
      const int32_t t = o.type;
      freeValue(o);
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 walk的选项只能是整数类型，而 %3 是 %4")
                           .arg(lineText(), statementTextAt(ctx).trimmed(), ctxText(args[1]),
                                typeDescription(t)));
    }
    filterWord = o.payload.i32 | 0x600b;
  }
  if (args.size() == 3) {
    ExprValue s = evalExprFast(*this, args[2]);
    if (s.type != VT_INT) {
      const int32_t t = s.type;
      freeValue(s);
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 walk的排序类型只能是整数类型，而 %3 是 %4")
                           .arg(lineText(), statementTextAt(ctx).trimmed(), ctxText(args[2]),
                                typeDescription(t)));
    }
    sortWord = s.payload.i32;
  }
  const bool bottomUp = (filterWord & 0x8000) != 0;
  const QDir::Filters filters = QDir::Filters(filterWord & ~0x8000);
  const QDir::SortFlags sorting = QDir::SortFlags(sortWord);

  pushScopeRecord(SK_LOOP);
  ScopeRecord* dirVar = pushLoopVariable(QByteArray::fromStdString(ctx->VARNAME(0)->getText()), VT_BYTES);
  ScopeRecord* subVar = pushLoopVariable(QByteArray::fromStdString(ctx->VARNAME(1)->getText()), VT_LIST);
  ScopeRecord* fileVar = pushLoopVariable(QByteArray::fromStdString(ctx->VARNAME(2)->getText()), VT_LIST);

  // Order of the directories.
  QString current = path;
  QList<QFileInfo> pending;   // top-down: directories still to visit, next first
  QStringList gathered;       // bottom-up: every directory, parents first
  if (bottomUp) {
    QStringList work{path};
    gathered << path;
    while (!work.isEmpty()) {
      const QString dir = work.takeLast();
      if (!QFileInfo::exists(dir)) {
        std::cout << "Directory does not exist:" << dir.toStdString();
        continue;
      }
      const QFileInfoList entries = listDirectory(QDir(dir), filters, sorting);
      for (const QFileInfo& e : entries) {
        if (!e.isDir()) continue;
        work << e.absoluteFilePath();
        gathered << e.absoluteFilePath();
      }
    }
    current = gathered.takeLast();
  }

  KorParser::BlockContext* body = ctx->block();
  int32_t counter = 0;
  for (;;) {
    checkAbort();
    // List the directory and bind the three variables.
    const QDir dir(current);
    const QFileInfoList entries = listDirectory(dir, filters, sorting);
    ValueList* subs = newValueList();
    ValueList* files = newValueList();
    QList<QFileInfo> subInfos;
    for (const QFileInfo& e : entries) {
      ValueList* target = nullptr;
      if (e.isDir()) {
        target = subs;
        if (!bottomUp) subInfos << QFileInfo(dir.absolutePath() + QDir::separator() + e.fileName());
      } else if (e.isFile()) {
        target = files;
      } else {
        continue;
      }
      ExprValue* cell = takeValueCell();
      cell->owner = nullptr;
      makeByteStringValue(*cell, pathToBytes(e.fileName()));
      target->push_back(cell);
    }
    if (!bottomUp)
      for (int i = subInfos.size() - 1; i >= 0; --i) pending.prepend(subInfos[i]);
    ExprValue d;
    makeByteStringValue(d, pathToBytes(current));
    bindRecord(dirVar, d);
    ExprValue s;
    s.type = VT_LIST;
    s.payload.list = subs;
    bindRecord(subVar, s);
    ExprValue f;
    f.type = VT_LIST;
    f.payload.list = files;
    bindRecord(fileVar, f);

    if (body) flow::execBlock(*this, body);

    bool continued;
    if (statusAfterBody(continued) == After::Leave) break;
    countIteration(counter);
    if (continued) popStatus();

    // The next directory.
    if (bottomUp) {
      if (gathered.isEmpty()) break;
      current = gathered.takeLast();
    } else {
      if (pending.isEmpty()) break;
      current = pending.takeFirst().absoluteFilePath();
    }
  }
  popLoopScope();
  return 0;
}
