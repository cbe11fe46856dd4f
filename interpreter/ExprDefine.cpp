// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitDeclareStruct(KorParser::DeclareStructContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitDeclareStruct 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitDefvar(KorParser::DefvarContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitDefvar 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitDefstvar(KorParser::DefstvarContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitDefstvar 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitAssignStOne(KorParser::AssignStOneContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitAssignStOne 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitStRightVar(KorParser::StRightVarContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitStRightVar 尚未实现"));
}
