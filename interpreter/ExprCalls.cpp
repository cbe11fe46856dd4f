// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitNoRetCallFun(KorParser::NoRetCallFunContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitNoRetCallFun 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitWithRetCallFun(KorParser::WithRetCallFunContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitWithRetCallFun 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitReturnCallFun(KorParser::ReturnCallFunContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitReturnCallFun 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitCallFunExpr(KorParser::CallFunExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitCallFunExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitRetCode(KorParser::RetCodeContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitRetCode 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitFunction(KorParser::FunctionContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitFunction 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitArgument(KorParser::ArgumentContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitArgument 尚未实现"));
}

antlrcpp::Any ExprVisitor::evalCallExpr(KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt, int flags) {
  raiseScriptError(QStringLiteral("错误：evalCallExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::callUserFunctionByName(KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt, int flags) {
  raiseScriptError(QStringLiteral("错误：callUserFunctionByName 尚未实现"));
}

antlrcpp::Any ExprVisitor::invokeUserFunction(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt, const std::string& name, KorParser::ArgumentListContext* args, int flags) {
  raiseScriptError(QStringLiteral("错误：invokeUserFunction 尚未实现"));
}
