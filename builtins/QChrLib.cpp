// Methods of 16-bit characters (kzf): the unit's value, its Unicode
// categories and its number text.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include <QChar>

void qchrLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

void qchrLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  const ExprValue* recv = builtinReceiver();
  const QChar c(recv->type == VT_WCHAR ? recv->payload.u16 : uint16_t(0));
  switch (method->id) {
    case 261: return pushInt(int32_t(c.unicode()));
    case 262: return pushBool(c.isDigit());
    case 263: return pushBool(c.isLetter());
    case 264: return pushBool(c.isLetterOrNumber());
    case 265: return pushBool(c.isPrint());
    case 266: return pushBool(c.isLower());
    case 267: return pushBool(c.isUpper());
    case 268: {  // number(base): a byte string
      const ExprValue* base = builtinArg(0);
      const int b = isInteger(base) ? argInt(base) : 10;
      requireBase(b, ctx);
      return pushBytes(QByteArray::number(uint(c.unicode()), b));
    }
    default:
      return pushEmpty();
  }
}

void registerQChrLib() {
  if (BuiltinLibFlags[LIB_QCHR]) return;
  BuiltinLibFlags[LIB_QCHR] = 1;
  currentBuiltinHandler = qchrLibCall;
  currentBuiltinReceiver = VT_WCHAR;
  registerBuiltinMethod(261, QByteArrayLiteral("unicode"), {}, BF_MEMBER);
  registerBuiltinMethod(262, QByteArrayLiteral("isDigit"), {}, BF_MEMBER);
  registerBuiltinMethod(263, QByteArrayLiteral("isLetter"), {}, BF_MEMBER);
  registerBuiltinMethod(264, QByteArrayLiteral("isLetterOrNumber"), {}, BF_MEMBER);
  registerBuiltinMethod(265, QByteArrayLiteral("isPrint"), {}, BF_MEMBER);
  registerBuiltinMethod(266, QByteArrayLiteral("qchr_isLower"), {}, BF_MEMBER);
  registerBuiltinMethod(267, QByteArrayLiteral("qchr_isUpper"), {}, BF_MEMBER);
  registerBuiltinMethod(268, QByteArrayLiteral("qchr_number"), {10, BA_OPTIONAL_LAST}, BF_MEMBER);
}
