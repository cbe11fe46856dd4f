// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitAddExpr(KorParser::AddExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitAddExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitSubExpr(KorParser::SubExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitSubExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitMultExpr(KorParser::MultExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitMultExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitDivExpr(KorParser::DivExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitDivExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitRemainderExpr(KorParser::RemainderExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitRemainderExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitNegationExpr(KorParser::NegationExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitNegationExpr 尚未实现"));
}
