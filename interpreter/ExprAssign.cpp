// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitAssignVar(KorParser::AssignVarContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitAssignVar 尚未实现"));
}
