// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitEqualExpr(KorParser::EqualExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitEqualExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitUnequalExpr(KorParser::UnequalExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitUnequalExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitLessExpr(KorParser::LessExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitLessExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitLessEqualExpr(KorParser::LessEqualExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitLessEqualExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitGreaterExpr(KorParser::GreaterExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitGreaterExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitGreaterEqualExpr(KorParser::GreaterEqualExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitGreaterEqualExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitAndExpr(KorParser::AndExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitAndExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitOrExpr(KorParser::OrExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitOrExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitNotExpr(KorParser::NotExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitNotExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitLogAndExpr(KorParser::LogAndExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitLogAndExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitLogOrExpr(KorParser::LogOrExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitLogOrExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitLogXorExpr(KorParser::LogXorExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitLogXorExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitLogRevExpr(KorParser::LogRevExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitLogRevExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitInExpr(KorParser::InExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitInExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitNotinExpr(KorParser::NotinExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitNotinExpr 尚未实现"));
}
