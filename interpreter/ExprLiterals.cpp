// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitIntExpr(KorParser::IntExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitIntExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitFloatExpr(KorParser::FloatExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitFloatExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitBoolValueExpr(KorParser::BoolValueExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitBoolValueExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitCharValueExpr(KorParser::CharValueExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitCharValueExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitStrExpr(KorParser::StrExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitStrExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitRowStrExpr(KorParser::RowStrExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitRowStrExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitParenthesesExpr(KorParser::ParenthesesExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitParenthesesExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitList(KorParser::ListContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitList 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitMap(KorParser::MapContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitMap 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitKorFlag(KorParser::KorFlagContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitKorFlag 尚未实现"));
}
ExprValue parseIntLiteral(std::string text) {
  return makeLongValue(std::stoll(text));
}
