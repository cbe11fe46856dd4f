// Blocks, conditionals, break and continue, expression statements.
//
// Unwinding works without exceptions: break, continue and fanhui push a code
// on the status stack, and every block looks at the top of that stack before
// each statement. Loops and calls consume the codes.
#include "ExprVisitor.h"
#include "FlowSupport.h"

#include <iostream>

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

// Evaluates a condition; the caller checks the type.
inline ExprValue evalCondition(ExprVisitor* v, KorParser::ExprContext* expr) {
  return evalExprFast(*v, expr);
}

}  // namespace

antlrcpp::Any ExprVisitor::visitBlock(KorParser::BlockContext* ctx) {
  if (abortRequested.load(std::memory_order_relaxed))
    raiseScriptError(QStringLiteral("用户中断脚本继续执行,终止执行 ..."));

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
      flow::runStatement(*this, stmt->children[0]);
    else
      stmt->accept(this);
  }

  popBlockScope();
  return 0;
}

void ExprVisitor::runBranch(KorParser::StatementContext* stmt) {
  antlr4::tree::ParseTree* inner = stmt->children.empty() ? nullptr : stmt->children[0];
  if (flow::ruleOf(inner) == KorParser::RuleBlock) {
    visitBlock(static_cast<KorParser::BlockContext*>(inner));
    return;
  }
  // A single statement still gets a scope of its own.
  pushScopeRecord(SK_BLOCK);
  if (inner)
    flow::runStatement(*this, inner);
  else
    stmt->accept(this);
  popBlockScope();
}

antlrcpp::Any ExprVisitor::visitIf(KorParser::IfContext* ctx) {
  // if: IF_KEY expr statement zif* qt?
  const auto& children = ctx->children;
  KorParser::ExprContext* cond =
      children.size() > 1 && flow::ruleOf(children[1]) == KorParser::RuleExpr
          ? static_cast<KorParser::ExprContext*>(children[1])
          : nullptr;
  if (!cond)
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2，缺少if 布尔逻辑判定表达式 ！")
                         .arg(lineText(ctx), ctxText(ctx)));
  ExprValue c = evalCondition(this, cond);
  if (c.type != VT_BOOL) {
    freeValue(c);
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2，if 判断表达式不是布尔逻辑类型 ！")
                         .arg(lineText(ctx), ctxText(ctx)));
  }
  if (c.payload.b) {
    KorParser::StatementContext* stmt =
        children.size() > 2 && flow::ruleOf(children[2]) == KorParser::RuleStatement
            ? static_cast<KorParser::StatementContext*>(children[2])
            : nullptr;
    if (!stmt)
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2，if 缺少表达式对应的块执行代码 ！")
                           .arg(lineText(ctx), ctxText(ctx)));
    runBranch(stmt);
    return 0;
  }

  // The zif and qt children follow the if's own statement: conditions are
  // evaluated in order, only until one is true.
  KorParser::QtContext* qt = nullptr;
  for (size_t i = 3; i < children.size(); ++i) {
    const int rule = flow::ruleOf(children[i]);
    if (rule == KorParser::RuleZif) {
      auto* zif = static_cast<KorParser::ZifContext*>(children[i]);
      KorParser::ExprContext* zcond = zif->expr();
      if (!zcond)
        raiseScriptError(
            QStringLiteral("错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！")
                .arg(lineText(ctx), ctxText(zif)));
      ExprValue zc = evalCondition(this, zcond);
      bool selected = zc.type == VT_BOOL && zc.payload.b;
      freeValue(zc);
      if (!selected) continue;
      KorParser::StatementContext* stmt = zif->statement();
      if (!stmt)
        raiseScriptError(
            QStringLiteral("错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！")
                .arg(lineText(ctx), ctxText(zif)));
      runBranch(stmt);
      return 0;
    }
    if (rule == KorParser::RuleQt) qt = static_cast<KorParser::QtContext*>(children[i]);
  }

  if (qt) {
    KorParser::StatementContext* stmt = qt->statement();
    if (!stmt)
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2，qt 缺少表达式对应的块执行代码 ！")
                           .arg(lineText(ctx), ctxText(qt)));
    runBranch(stmt);
  }
  return 0;
}

antlrcpp::Any ExprVisitor::visitZif(KorParser::ZifContext* ctx) {
  KorParser::ExprContext* cond = ctx->expr();
  if (!cond)
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2，缺少zif 布尔逻辑判定表达式 ！")
                         .arg(lineText(ctx), ctxText(ctx)));
  ExprValue c = evalCondition(this, cond);
  bool selected = c.type == VT_BOOL && c.payload.b;
  freeValue(c);
  if (selected) {
    KorParser::StatementContext* stmt = ctx->statement();
    if (!stmt)
      raiseScriptError(
          QStringLiteral("错误：行号 %1 语句 %2，zif 缺少表达式对应的块执行代码 ！")
              .arg(lineText(ctx), ctxText(ctx)));
    runBranch(stmt);
  }
  return 0;
}

antlrcpp::Any ExprVisitor::visitQt(KorParser::QtContext* ctx) {
  KorParser::StatementContext* stmt = ctx->statement();
  if (!stmt)
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2，qt 缺少表达式对应的块执行代码 ！")
                         .arg(lineText(ctx), ctxText(ctx)));
  runBranch(stmt);
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

antlrcpp::Any ExprVisitor::visitContinue(KorParser::ContinueContext* ctx) {
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
