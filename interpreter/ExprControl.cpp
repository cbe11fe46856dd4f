// Blocks, conditionals, break and continue, expression statements.
//
// Unwinding works without exceptions: break, continue and fanhui push a code
// on the status stack, and every block looks at the top of that stack before
// each statement. Loops and calls consume the codes.
#include "ExprVisitor.h"
#include "StackGuard.h"
#include "FlowSupport.h"
#include "CallSupport.h"
#include "Compiled.h"
#include "ContextCache.h"

#include <algorithm>
#include <climits>
#include <deque>

#include <iostream>
#include <typeinfo>

#include "runtime/errors.h"
#include "runtime/run_state.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value.h"
#include "runtime/value_ops.h"

namespace {

QString ctxText(antlr4::tree::ParseTree* ctx) { return QString::fromStdString(ctx->getText()); }

QString lineText(antlr4::ParserRuleContext* ctx) { return QString::number(lineOfContext(ctx)); }

// True when the status code on top stops the statements of a block.
inline bool stopsBlock(int32_t code) {
  return code == LS_RETURN || code == LS_BREAK || code == LS_CONTINUE;
}

// Error paths, kept out of the frames of blocks and branches (they nest once
// per level of a recursive script).
KOR_FAIL void failBranch(antlr4::ParserRuleContext* ifCtx,
                                                             antlr4::ParserRuleContext* shown,
                                                             const char* text) {
  raiseScriptError(QString::fromUtf8(text).arg(lineText(ifCtx), ctxText(shown)));
}

KOR_FAIL void failInterrupted() {
  raiseScriptError(QStringLiteral("用户中断脚本继续执行,终止执行 ..."));
}

// Runs the statement of a branch (see ExprVisitor::runBranch).
void runBranchStatement(ExprVisitor& v, KorParser::StatementContext* stmt) {
  guardStack(stmt);
  cx::run(v, cx::compileBranch(v, stmt));
}

// The statements that take the visitor path: their antlrcpp::Any results
// live in these small frames only.
KOR_NOINLINE void runAssignOne(ExprVisitor& v, antlr4::tree::ParseTree* one) {
  if (&typeid(*one) == &typeid(KorParser::AssignVarContext))
    execAssignVar(v, static_cast<KorParser::AssignVarContext*>(one));
  else
    one->accept(&v);
}

// assginNoEnd: assignOne (',' assignOne)*
KOR_NOINLINE void runAssignList(ExprVisitor& v, antlr4::tree::ParseTree* list) {
  for (antlr4::tree::ParseTree* one : list->children)
    if (!one->children.empty()) runAssignOne(v, one);
}

// assign: assginNoEnd ';'
KOR_NOINLINE void runAssign(ExprVisitor& v, antlr4::tree::ParseTree* assign) {
  antlr4::tree::ParseTree* list = assign->children[0];
  if (flow::ruleOf(list) == KorParser::RuleAssginNoEnd)
    runAssignList(v, list);
  else
    flow::acceptNode(v, assign);
}

// `f(...);` runs the call directly; the other call statements are visited.
KOR_NOINLINE void runCallStatement(ExprVisitor& v, antlr4::tree::ParseTree* stmt) {
  if (&typeid(*stmt) == &typeid(KorParser::NoRetCallFunContext) &&
      flow::ruleOf(stmt->children[0]) == KorParser::RuleRealCallFun)
    flow::execCall(v, static_cast<KorParser::RealCallFunContext*>(stmt->children[0]), nullptr,
                   CALL_STATEMENT);
  else
    flow::acceptNode(v, stmt);
}

KOR_NOINLINE void runExpressionStatement(ExprVisitor& v,
                                                      KorParser::ExprContext* expr) {
  ExprValue value = evalExprFast(v, expr);
  freeValue(value);
}

}  // namespace

namespace flow {

KOR_NOINLINE void acceptNode(ExprVisitor& v, antlr4::tree::ParseTree* node) { node->accept(&v); }

KOR_NOINLINE ExprValue visitValue(ExprVisitor& v, antlr4::tree::ParseTree* node) {
  if (typeid(*node) == typeid(KorParser::StRightVarContext))
    return evalStructLiteral(v, static_cast<KorParser::StRightVarContext*>(node));
  return v.evalValue(node);
}

KOR_NOINLINE void runStatement(ExprVisitor& v, antlr4::tree::ParseTree* inner) {
  switch (ruleOf(inner)) {
    case KorParser::RuleAssign:
      runAssign(v, inner);
      return;
    case KorParser::RuleAssginNoEnd:
      runAssignList(v, inner);
      return;
    case KorParser::RuleRetCode:
      execRetCode(v, static_cast<KorParser::RetCodeContext*>(inner));
      return;
    case KorParser::RuleIf:
      execIf(v, static_cast<KorParser::IfContext*>(inner));
      return;
    case KorParser::RuleBlock:
      execBlock(v, static_cast<KorParser::BlockContext*>(inner));
      return;
    case KorParser::RuleCallFun:
      runCallStatement(v, inner);
      return;
    case KorParser::RuleDefvar:
      execDefvar(v, static_cast<KorParser::DefvarContext*>(inner));
      return;
    case KorParser::RuleSignalState:
      // An expression used as a statement: its value is dropped.
      runExpressionStatement(v, static_cast<KorParser::ExprContext*>(inner->children[0]));
      return;
    default:
      acceptNode(v, inner);
      return;
  }
}

void execBlock(ExprVisitor& v, KorParser::BlockContext* ctx) {
  cx::run(v, cx::compileBlock(v, ctx));
}

void execIf(ExprVisitor& v, KorParser::IfContext* ctx) { cx::run(v, cx::compileIf(v, ctx)); }

}  // namespace flow

// ---- compiled statements ----

namespace {

std::deque<cx::Stmt> gStmts;
ContextCache<const cx::Stmt*> gBlocks;
ContextCache<const cx::Stmt*> gBranches;
ContextCache<const cx::Stmt*> gIfs;

// block: '{' statement* '}'
KOR_NOINLINE void runBlock(ExprVisitor&, const cx::Stmt* s);
// (A compiled block's list stays as it is while the block runs.)
inline void runStatements(ExprVisitor& v, const cx::Stmt* s) {
  const cx::Stmt* const* next = s->list.data();
  const cx::Stmt* const* const end = next + s->list.size();
  for (; next != end; ++next) {
    if (stopsBlock(statusTop())) break;
    (*next)->run(v, *next);
  }
}

void runBlock(ExprVisitor& v, const cx::Stmt* s) {
  guardStack(s->ctx);
  if (abortRequested.load(std::memory_order_relaxed)) failInterrupted();
  ScopeStack* st = scopeStack();
  const size_t at = st->size();
  ScopeRecord* marker = takeScopeRecord();
  marker->kind = SK_BLOCK;
  st->push_back(marker);
  runStatements(v, s);
  popBlockScopeAt(at);
}

// A block that defines nothing (Stmt::bare): no marker of its own.
void runBareBlock(ExprVisitor& v, const cx::Stmt* s) {
  guardStack(s->ctx);
  if (abortRequested.load(std::memory_order_relaxed)) failInterrupted();
  runStatements(v, s);
}

// One statement as a branch: a scope of its own.
void runScoped(ExprVisitor& v, const cx::Stmt* s) {
  pushScopeRecord(SK_BLOCK);
  s->body->run(v, s->body);
  popBlockScope();
}

void runVisited(ExprVisitor& v, const cx::Stmt* s) { flow::acceptNode(v, s->ctx); }

void runOther(ExprVisitor& v, const cx::Stmt* s) { flow::runStatement(v, s->ctx); }

// `fanhui f(...);`
void runReturnCall(ExprVisitor& v, const cx::Stmt* s) {
  flow::execReturnCall(v, static_cast<KorParser::ReturnCallFunContext*>(s->ctx), s->site);
}

// `a, b := f(...);`
void runWithRetCall(ExprVisitor& v, const cx::Stmt* s) {
  flow::execWithRetCall(v, static_cast<KorParser::WithRetCallFunContext*>(s->ctx), s->site);
}

// `f(...);`
void runCall(ExprVisitor& v, const cx::Stmt* s) {
  auto* call = static_cast<KorParser::RealCallFunContext*>(s->ctx->children[0]);
  if (!s->site) s->site = &callsupport::callSite(call);
  if (s->site->quick > 0 && callsupport::quickMemberStatement(v, *s->site)) return;
  callsupport::execCallStatementAt(v, call, *s->site);
}

void runAssignment(ExprVisitor& v, const cx::Stmt* s) {
  execAssignCompiled(v, static_cast<KorParser::AssignVarContext*>(s->ctx), s->plan);
}

void runIntegerAssignment(ExprVisitor& v, const cx::Stmt* s) {
  execAssignInteger(v, static_cast<KorParser::AssignVarContext*>(s->ctx), s->plan);
}

void runKeyedAssignment(ExprVisitor& v, const cx::Stmt* s) {
  execAssignKeyed(v, static_cast<KorParser::AssignVarContext*>(s->ctx), s->plan);
}

void runAppendAssignment(ExprVisitor& v, const cx::Stmt* s) {
  execAssignAppend(v, static_cast<KorParser::AssignVarContext*>(s->ctx), s->plan);
}

void runSequence(ExprVisitor& v, const cx::Stmt* s) {
  for (const cx::Stmt* st : s->list) st->run(v, st);
}

// assginNoEnd: assignOne (',' assignOne)*
const cx::Stmt* compileAssignList(ExprVisitor& v, antlr4::tree::ParseTree* list) {
  cx::Stmt* s = cx::newStmt(list, runSequence);
  for (antlr4::tree::ParseTree* one : list->children) {
    if (one->children.empty()) continue;
    if (&typeid(*one) == &typeid(KorParser::AssignVarContext)) {
      auto* assign = static_cast<KorParser::AssignVarContext*>(one);
      cx::Stmt* a = cx::newStmt(one, runAssignment);
      a->plan = planAssignment(v, assign, true);
      if (a->plan.keyed) a->run = runKeyedAssignment;
      if (a->plan.target != nullptr && a->plan.right != nullptr && a->plan.right->arith != 0)
        a->run = runIntegerAssignment;
      if (!a->plan.appended.empty()) a->run = runAppendAssignment;
      a->defines = false;  // a statement's assignment defines nothing
      s->list.push_back(a);
    } else {
      s->list.push_back(cx::newStmt(one, runVisited));
    }
  }
  s->defines = false;
  for (const cx::Stmt* one : s->list) s->defines = s->defines || one->defines;
  // one assignment runs without the sequence
  if (s->list.size() == 1 &&
      (s->list[0]->run == runAssignment || s->list[0]->run == runKeyedAssignment ||
       s->list[0]->run == runIntegerAssignment || s->list[0]->run == runAppendAssignment))
    return s->list[0];
  return s;
}

void runExpression(ExprVisitor& v, const cx::Stmt* s) {
  ExprValue value = cx::eval(v, s->cond);
  freeValue(value);
}

// The zif and qt branches of an if whose own condition was false: zif
// conditions are evaluated in order, only until one is true; a condition
// that is not a bool does not select its branch.
KOR_NOINLINE void runElseBranches(ExprVisitor& v, const cx::Stmt* s) {
  auto* ctx = static_cast<antlr4::ParserRuleContext*>(s->ctx);
  size_t qt = SIZE_MAX;
  for (size_t i = 0; i < s->parts.size(); ++i) {
    antlr4::ParserRuleContext* part = s->parts[i];
    if (flow::ruleOf(part) == KorParser::RuleZif) {
      if (!s->conds[i]) failBranch(ctx, part, "错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！");
      ExprValue zc = cx::eval(v, s->conds[i]);
      const bool selected = zc.type == VT_BOOL && zc.payload.b;
      freeValue(zc);
      if (!selected) continue;
      if (!s->list[i]) failBranch(ctx, part, "错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！");
      cx::run(v, s->list[i]);
      return;
    }
    qt = i;
  }
  if (qt != SIZE_MAX) {
    if (!s->list[qt]) failBranch(ctx, s->parts[qt], "错误：行号 %1 语句 %2，qt 缺少表达式对应的块执行代码 ！");
    cx::run(v, s->list[qt]);
  }
}

// The condition of an if: true or false, or a message when it is not a bool.
KOR_NOINLINE bool ifCondition(ExprVisitor& v, const cx::Stmt* s) {
  auto* ctx = static_cast<antlr4::ParserRuleContext*>(s->ctx);
  if (!s->cond) failBranch(ctx, ctx, "错误：行号 %1 语句 %2，缺少if 布尔逻辑判定表达式 ！");
  ExprValue c = cx::eval(v, s->cond);
  if (c.type != VT_BOOL) {
    freeValue(c);
    failBranch(ctx, ctx, "错误：行号 %1 语句 %2，if 判断表达式不是布尔逻辑类型 ！");
  }
  return c.payload.b != 0;
}

// Stmt::code of an if whose condition is a comparison (decided inline on
// two zs operands).
constexpr int32_t kComparedIf = 1;

void runIf(ExprVisitor& v, const cx::Stmt* s) {
  bool holds;
  if (s->code != kComparedIf || !cx::compareInts(s->cond, holds)) holds = ifCondition(v, s);
  if (holds) {
    auto* ctx = static_cast<antlr4::ParserRuleContext*>(s->ctx);
    if (!s->body) failBranch(ctx, ctx, "错误：行号 %1 语句 %2，if 缺少表达式对应的块执行代码 ！");
    cx::run(v, s->body);
    return;
  }
  if (!s->parts.empty()) runElseBranches(v, s);
}

// A statement kind that defines nothing.
inline cx::Stmt* quiet(cx::Stmt* s) {
  s->defines = false;
  return s;
}

KorParser::StatementContext* statementChild(antlr4::ParserRuleContext* ctx) {
  for (antlr4::tree::ParseTree* child : ctx->children)
    if (flow::ruleOf(child) == KorParser::RuleStatement)
      return static_cast<KorParser::StatementContext*>(child);
  return nullptr;
}

KorParser::ExprContext* exprChild(antlr4::ParserRuleContext* ctx) {
  for (antlr4::tree::ParseTree* child : ctx->children)
    if (flow::ruleOf(child) == KorParser::RuleExpr) return static_cast<KorParser::ExprContext*>(child);
  return nullptr;
}

}  // namespace

namespace cx {

Stmt* newStmt(antlr4::tree::ParseTree* ctx, RunFn fn) {
  gStmts.emplace_back();
  Stmt* s = &gStmts.back();
  s->ctx = ctx;
  s->run = fn;
  return s;
}

const Stmt* compileStatement(ExprVisitor& v, antlr4::tree::ParseTree* inner) {
  switch (flow::ruleOf(inner)) {
    case KorParser::RuleIf:
      return compileIf(v, static_cast<KorParser::IfContext*>(inner));
    case KorParser::RuleBlock:
      return compileBlock(v, static_cast<KorParser::BlockContext*>(inner));
    case KorParser::RuleAssign:
      // assign: assginNoEnd ';'
      if (flow::ruleOf(inner->children[0]) == KorParser::RuleAssginNoEnd)
        return compileAssignList(v, inner->children[0]);
      return newStmt(inner, runVisited);
    case KorParser::RuleAssginNoEnd:
      return compileAssignList(v, inner);
    case KorParser::RuleRetCode: {
      // retCode: FANHUI_KEY rightvar (',' rightvar)* ';' | FANHUI_KEY ';'
      Stmt* s = newStmt(inner, flow::runReturnStatement);
      s->defines = false;
      for (antlr4::tree::ParseTree* child : inner->children) {
        if (child->children.empty()) continue;
        antlr4::tree::ParseTree* value = child->children[0];
        s->conds.push_back(value && !value->children.empty() &&
                                   flow::ruleOf(value) == KorParser::RuleExpr
                               ? compileExpr(v, static_cast<KorParser::ExprContext*>(value))
                               : nullptr);
      }
      return s;
    }
    case KorParser::RuleCallFun:
      if (&typeid(*inner) == &typeid(KorParser::NoRetCallFunContext) &&
          flow::ruleOf(inner->children[0]) == KorParser::RuleRealCallFun)
        return quiet(newStmt(inner, runCall));
      if (&typeid(*inner) == &typeid(KorParser::ReturnCallFunContext))
        return quiet(newStmt(inner, runReturnCall));
      if (&typeid(*inner) == &typeid(KorParser::WithRetCallFunContext))
        return newStmt(inner, runWithRetCall);
      break;
    case KorParser::RuleDefvar:
      return compileDefvar(v, static_cast<KorParser::DefvarContext*>(inner));
    case KorParser::RuleSignalState: {
      Stmt* s = newStmt(inner, runExpression);
      s->defines = false;
      s->cond = compileExpr(v, static_cast<KorParser::ExprContext*>(inner->children[0]));
      return s;
    }
    case KorParser::RuleFor:
      if (typeid(*inner) == typeid(KorParser::ForStateContext))
        return compileFor(v, static_cast<KorParser::ForStateContext*>(inner));
      if (typeid(*inner) == typeid(KorParser::WhileStateContext))
        return compileWhile(v, static_cast<KorParser::WhileStateContext*>(inner));
      if (typeid(*inner) == typeid(KorParser::ForInStateContext))
        return compileForIn(v, static_cast<KorParser::ForInStateContext*>(inner));
      break;
    case KorParser::RuleHs_print:
    case KorParser::RuleBreak:
    case KorParser::RuleContinue:
    case KorParser::RulePass:
      return quiet(newStmt(inner, runOther));
    default:
      break;
  }
  return newStmt(inner, runOther);
}

const Stmt* compileBlock(ExprVisitor& v, KorParser::BlockContext* block) {
  if (const Stmt** hit = gBlocks.find(block)) return *hit;
  Stmt* s = newStmt(block, runBlock);
  s->defines = false;  // a scope of its own, or nothing defined
  gBlocks.insert(block, static_cast<const Stmt*>(s));
  // block: '{' statement* '}': every child between the braces is a statement,
  // and a statement has exactly one child, the statement proper.
  const auto& children = block->children;
  const size_t end = children.size() > 0 ? children.size() - 1 : 0;
  for (size_t i = 1; i < end; ++i) {
    antlr4::tree::ParseTree* stmt = children[i];
    s->list.push_back(stmt->children.empty() ? newStmt(stmt, runVisited)
                                             : compileStatement(v, stmt->children[0]));
  }
  s->bare = std::none_of(s->list.begin(), s->list.end(),
                         [](const Stmt* st) { return st->defines; });
  if (s->bare) s->run = runBareBlock;
  return s;
}

const Stmt* compileBranch(ExprVisitor& v, KorParser::StatementContext* stmt) {
  if (const Stmt** hit = gBranches.find(stmt)) return *hit;
  antlr4::tree::ParseTree* inner = stmt->children.empty() ? nullptr : stmt->children[0];
  const Stmt* s;
  if (flow::ruleOf(inner) == KorParser::RuleBlock) {
    s = compileBlock(v, static_cast<KorParser::BlockContext*>(inner));
  } else {
    const Stmt* body = inner ? compileStatement(v, inner) : newStmt(stmt, runVisited);
    if (!body->defines) {
      s = body;  // nothing to keep in a scope of its own (see Stmt::defines)
    } else {
      Stmt* scoped = newStmt(stmt, runScoped);
      scoped->defines = false;
      scoped->body = body;
      s = scoped;
    }
  }
  gBranches.insert(stmt, std::move(s));
  return s;
}

const Stmt* compileIf(ExprVisitor& v, KorParser::IfContext* ctx) {
  if (const Stmt** hit = gIfs.find(ctx)) return *hit;
  // if: IF_KEY expr statement zif* qt?
  Stmt* s = newStmt(ctx, runIf);
  s->defines = false;  // the branches have scopes of their own
  gIfs.insert(ctx, static_cast<const Stmt*>(s));
  const auto& children = ctx->children;
  if (children.size() > 1 && flow::ruleOf(children[1]) == KorParser::RuleExpr)
    s->cond = compileExpr(v, static_cast<KorParser::ExprContext*>(children[1]));
  if (s->cond && isComparison(s->cond)) s->code = kComparedIf;
  if (children.size() >= 3 && flow::ruleOf(children[2]) == KorParser::RuleStatement)
    s->body = compileBranch(v, static_cast<KorParser::StatementContext*>(children[2]));
  for (size_t i = 3; i < children.size(); ++i) {
    const int rule = flow::ruleOf(children[i]);
    if (rule != KorParser::RuleZif && rule != KorParser::RuleQt) continue;
    auto* part = static_cast<antlr4::ParserRuleContext*>(children[i]);
    KorParser::ExprContext* cond = rule == KorParser::RuleZif ? exprChild(part) : nullptr;
    KorParser::StatementContext* stmt = statementChild(part);
    s->parts.push_back(part);
    s->conds.push_back(cond ? compileExpr(v, cond) : nullptr);
    s->list.push_back(stmt ? compileBranch(v, stmt) : nullptr);
  }
  return s;
}

void resetStatements() {
  gBlocks.clear();
  gBranches.clear();
  gIfs.clear();
  std::deque<Stmt>().swap(gStmts);
}

}  // namespace cx

antlrcpp::Any ExprVisitor::visitBlock(KorParser::BlockContext* ctx) {
  flow::execBlock(*this, ctx);
  return 0;
}

void ExprVisitor::runBranch(KorParser::StatementContext* stmt) { runBranchStatement(*this, stmt); }

antlrcpp::Any ExprVisitor::visitIf(KorParser::IfContext* ctx) {
  flow::execIf(*this, ctx);
  return 0;
}

antlrcpp::Any ExprVisitor::visitZif(KorParser::ZifContext* ctx) {
  KorParser::ExprContext* cond = ctx->expr();
  if (!cond) failBranch(ctx, ctx, "错误：行号 %1 语句 %2，缺少zif 布尔逻辑判定表达式 ！");
  ExprValue c = evalExprFast(*this, cond);
  const bool selected = c.type == VT_BOOL && c.payload.b;
  freeValue(c);
  if (selected) {
    KorParser::StatementContext* stmt = ctx->statement();
    if (!stmt) failBranch(ctx, ctx, "错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！");
    runBranchStatement(*this, stmt);
  }
  return 0;
}

antlrcpp::Any ExprVisitor::visitQt(KorParser::QtContext* ctx) {
  KorParser::StatementContext* stmt = ctx->statement();
  if (!stmt) failBranch(ctx, ctx, "错误：行号 %1 语句 %2，qt 缺少表达式对应的块执行代码 ！");
  runBranchStatement(*this, stmt);
  return 0;
}

antlrcpp::Any ExprVisitor::visitBreak(KorParser::BreakContext* ctx) {
  if (insideLoop()) {
    pushStatus(LS_BREAK);
  } else {
    std::cout << QStringLiteral("行号 %1 语句 %2 退出语句不在循环中，忽略")
                     .arg(lineText(ctx), ctxText(ctx))
                     .toStdString()
              << std::endl;
  }
  return 0;
}

antlrcpp::Any ExprVisitor::visitContinue(KorParser::ContinueContext*) {
  if (insideLoop()) {
    pushStatus(LS_CONTINUE);
  } else {
    std::cout << QStringLiteral("函数 %1 继续 jixu 语句不在循环中，忽略")
                     .arg(currentFunctionQName())
                     .toStdString()
              << std::endl;
  }
  return 0;
}

antlrcpp::Any ExprVisitor::visitSignalState(KorParser::SignalStateContext* ctx) {
  ExprValue v = evalExprFast(*this, ctx->expr());
  freeValue(v);
  return 0;
}
