// Placeholder until this area is implemented.
#include "ExprVisitor.h"

#include "runtime/errors.h"
#include "runtime/value.h"

antlrcpp::Any ExprVisitor::evalVariable(KorParser::KorvarContext* ctx, bool byReference, ExprValue* newValue, int assignOp) {
  raiseScriptError(QStringLiteral("错误：evalVariable 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitKorvar(KorParser::KorvarContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitKorvar 尚未实现"));
}

antlrcpp::Any ExprVisitor::visitKorAutoAddSub(KorParser::KorAutoAddSubContext* ctx) {
  raiseScriptError(QStringLiteral("错误：visitKorAutoAddSub 尚未实现"));
}
