// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::visitForState(KorParser::ForStateContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitForState 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitForinc(KorParser::ForincContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitForinc 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitWhileState(KorParser::WhileStateContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitWhileState 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitForInState(KorParser::ForInStateContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitForInState 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitForwalk(KorParser::ForwalkContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitForwalk 尚未实现"));
}
