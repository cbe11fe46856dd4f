// Blocks, conditionals, break and continue, expression statements.
//
// Unwinding works without exceptions: break, continue and fanhui push a code
// on the status stack, and every block looks at the top of that stack before
// each statement. Loops and calls consume the codes.
#include "ExprVisitor.h"
#include "StackGuard.h"
#include "FlowSupport.h"

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

// Runs the statement of a branch or loop body (see ExprVisitor::runBranch).
KOR_NOINLINE void runBranchStatement(ExprVisitor& v, KorParser::StatementContext* stmt) {
  guardStack(stmt);
  antlr4::tree::ParseTree* inner = stmt->children.empty() ? nullptr : stmt->children[0];
  if (flow::ruleOf(inner) == KorParser::RuleBlock) {
    flow::execBlock(v, static_cast<KorParser::BlockContext*>(inner));
    return;
  }
  // A single statement still gets a scope of its own.
  pushScopeRecord(SK_BLOCK);
  if (inner)
    flow::runStatement(v, inner);
  else
    flow::acceptNode(v, stmt);
  popBlockScope();
}

// The zif and qt branches of an if whose own condition was false: zif
// conditions are evaluated in order, only until one is true; a condition
// that is not a bool does not select its branch.
KOR_NOINLINE void runElseBranches(ExprVisitor& v, KorParser::IfContext* ctx) {
  const auto& children = ctx->children;
  KorParser::QtContext* qt = nullptr;
  for (size_t i = 3; i < children.size(); ++i) {
    const int rule = flow::ruleOf(children[i]);
    if (rule == KorParser::RuleZif) {
      auto* zif = static_cast<KorParser::ZifContext*>(children[i]);
      KorParser::ExprContext* zcond = zif->expr();
      if (!zcond) failBranch(ctx, zif, "错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！");
      ExprValue zc = evalExprFast(v, zcond);
      const bool selected = zc.type == VT_BOOL && zc.payload.b;
      freeValue(zc);
      if (!selected) continue;
      KorParser::StatementContext* stmt = zif->statement();
      if (!stmt) failBranch(ctx, zif, "错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！");
      runBranchStatement(v, stmt);
      return;
    }
    if (rule == KorParser::RuleQt) qt = static_cast<KorParser::QtContext*>(children[i]);
  }
  if (qt) {
    KorParser::StatementContext* stmt = qt->statement();
    if (!stmt) failBranch(ctx, qt, "错误：行号 %1 语句 %2，qt 缺少表达式对应的块执行代码 ！");
    runBranchStatement(v, stmt);
  }
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

KOR_NOINLINE void execBlock(ExprVisitor& v, KorParser::BlockContext* ctx) {
  guardStack(ctx);
  if (abortRequested.load(std::memory_order_relaxed)) failInterrupted();

  // A function body: the call has already pushed the block marker.
  if (statusTop() == LS_FUNC_BODY)
    popStatus();
  else
    pushScopeRecord(SK_BLOCK);

  // block: '{' statement* '}': every child between the braces is a statement,
  // and a statement has exactly one child, the statement proper.
  const auto& children = ctx->children;
  const size_t end = children.size() > 0 ? children.size() - 1 : 0;
  for (size_t i = 1; i < end; ++i) {
    if (stopsBlock(statusTop())) break;
    antlr4::tree::ParseTree* stmt = children[i];
    if (!stmt->children.empty())
      runStatement(v, stmt->children[0]);
    else
      acceptNode(v, stmt);
  }

  popBlockScope();
}

KOR_NOINLINE void execIf(ExprVisitor& v, KorParser::IfContext* ctx) {
  // if: IF_KEY expr statement zif* qt?
  const auto& children = ctx->children;
  KorParser::ExprContext* cond =
      children.size() > 1 && ruleOf(children[1]) == KorParser::RuleExpr
          ? static_cast<KorParser::ExprContext*>(children[1])
          : nullptr;
  if (!cond) failBranch(ctx, ctx, "错误：行号 %1 语句 %2，缺少if 布尔逻辑判定表达式 ！");
  ExprValue c = evalExprFast(v, cond);
  if (c.type != VT_BOOL) {
    freeValue(c);
    failBranch(ctx, ctx, "错误：行号 %1 语句 %2，if 判断表达式不是布尔逻辑类型 ！");
  }
  if (c.payload.b) {
    if (children.size() < 3 || ruleOf(children[2]) != KorParser::RuleStatement)
      failBranch(ctx, ctx, "错误：行号 %1 语句 %2，if 缺少表达式对应的块执行代码 ！");
    runBranchStatement(v, static_cast<KorParser::StatementContext*>(children[2]));
    return;
  }
  if (children.size() > 3) runElseBranches(v, ctx);
}

}  // namespace flow

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
