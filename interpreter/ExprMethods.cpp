// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::callMemberFunction(KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt, int flags) {
  raiseScriptError(QStringLiteral("错误：callMemberFunction 尚未实现"));
}

antlrcpp::Any ExprVisitor::callBuiltinMethod(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt, ExprValue receiver, const std::string& name, KorParser::ArgumentListContext* args, int flags) {
  raiseScriptError(QStringLiteral("错误：callBuiltinMethod 尚未实现"));
}
