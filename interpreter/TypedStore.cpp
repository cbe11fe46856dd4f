// Placeholder until this area is implemented.
#include "TypedStore.h"

#include "runtime/errors.h"

int assignOpCode(const std::string& op) {
  switch (op.empty() ? '=' : op[0]) {
    case '*': return 1;
    case '/': return 2;
    case '+': return 3;
    case '-': return 4;
    default: return 0;
  }
}
int storeToRecord(ScopeRecord*, ExprValue*, antlr4::ParserRuleContext*, bool, int) {
  raiseScriptError(QStringLiteral("错误：storeToRecord 尚未实现"));
}
int storeToCell(ExprValue*, ExprValue*, antlr4::ParserRuleContext*, bool, int) {
  raiseScriptError(QStringLiteral("错误：storeToCell 尚未实现"));
}
int loadFromRecord(ExprValue*, ScopeRecord*, antlr4::ParserRuleContext*, bool, int) {
  raiseScriptError(QStringLiteral("错误：loadFromRecord 尚未实现"));
}
int structMemberIndex(const std::string&, const std::string&, antlr4::ParserRuleContext*) {
  raiseScriptError(QStringLiteral("错误：structMemberIndex 尚未实现"));
}
