// Blocks, conditionals, break and continue, expression statements.
//
// Unwinding works without exceptions: break, continue and fanhui push a code
// on the status stack, and every block looks at the top of that stack before
// each statement. Loops and calls consume the codes.
#include "ExprVisitor.h"

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
  return v->evalValue(expr);
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
      stmt->children[0]->accept(this);
    else
      stmt->accept(this);
  }

  popBlockScope();
  return 0;
}

void ExprVisitor::runBranch(KorParser::StatementContext* stmt) {
  antlr4::tree::ParseTree* inner = stmt->children.empty() ? nullptr : stmt->children[0];
  if (auto* block = dynamic_cast<KorParser::BlockContext*>(inner)) {
    visitBlock(block);
    return;
  }
  // A single statement still gets a scope of its own.
  pushScopeRecord(SK_BLOCK);
  if (inner)
    inner->accept(this);
  else
    stmt->accept(this);
  popBlockScope();
}

antlrcpp::Any ExprVisitor::visitIf(KorParser::IfContext* ctx) {
  KorParser::ExprContext* cond = ctx->expr();
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
    KorParser::StatementContext* stmt = ctx->statement();
    if (!stmt)
      raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2，if 缺少表达式对应的块执行代码 ！")
                           .arg(lineText(ctx), ctxText(ctx)));
    runBranch(stmt);
    return 0;
  }

  // The zif and qt children follow the if's own statement; walk them in order
  // without building the child lists.
  KorParser::QtContext* qt = nullptr;
  for (antlr4::tree::ParseTree* child : ctx->children) {
    if (auto* zif = dynamic_cast<KorParser::ZifContext*>(child)) {
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
    } else if (auto* q = dynamic_cast<KorParser::QtContext*>(child)) {
      qt = q;
    }
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
  ExprValue v = evalValue(ctx->expr());
  freeValue(v);
  return 0;
}
