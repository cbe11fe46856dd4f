// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitFmtString(KorParser::FmtStringContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitFmtString 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitFormatPrintExpr(KorParser::FormatPrintExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitFormatPrintExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitPrintExpr(KorParser::PrintExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitPrintExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitOutputExpr(KorParser::OutputExprContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitOutputExpr 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitFormat_string(KorParser::Format_stringContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitFormat_string 尚未实现"));
}
