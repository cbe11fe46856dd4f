#include "type_words.h"

#include "scope.h"
#include "source_text.h"
#include "value.h"

namespace {

int32_t structLookup(const QByteArray& name) {
  ScopeRecord* r = findGlobal(name, nullptr, false);
  return (r != nullptr && r->kind == VT_STRUCT_DESC) ? VT_STRUCT : -1;
}

}  // namespace

int32_t typeCodeOfKeyword(const QByteArray& name) {
  if (name.size() >= 2) {
    const signed char a = static_cast<signed char>(name[0]);
    const signed char b = static_cast<signed char>(name[1]);
    switch (a) {
      case 'z':
        if (b == 's') return VT_INT;
        if (b == 'f') return name == "zfc" ? VT_BYTES : VT_CHAR;
        if (b == 'd') return VT_DICT;
        break;
      case 'c':
        if (b == 'z') return VT_LONG;
        break;
      case 'x':
        if (b == 's') return VT_DOUBLE;
        break;
      case 'b':
        if (b == 'l') return VT_BOOL;
        break;
      case 'k':
        if (name == "kzf") return VT_WCHAR;
        if (name == "kor") return VT_PKG_KOR;
        break;
      case 's':
        if (name == "string") return VT_STRING;
        if (b == 'j') return VT_TIME;
        break;
      case 'l':
        if (b == 'b') return VT_LIST;
        break;
      case 'w':
        if (b == 'j') return VT_FILE;
        break;
      case 'e':
        if (b == 'x') return VT_EXCEL;
        break;
      case 'h':
        if (b == 's' || b == 'd') return VT_FUNC;
        if (name == "hux") return VT_PKG_HUX;
        break;
      default:
        break;
    }
  }
  return structLookup(name);
}

int32_t typeCodeOfSignatureWord(const QByteArray& word) {
  const int32_t declared = structLookup(word);
  return declared >= 0 ? declared : typeCodeOfKeyword(word);
}

QString describeTypeName(const QByteArray& name, antlr4::ParserRuleContext* context) {
  if (name.isEmpty()) return QString();
  if (isReservedWord(name)) return QStringLiteral("包名或 %1 类型").arg(QString::fromUtf8(name));
  ScopeRecord* r = findVariable(name, context);
  if (r->kind == VT_STRUCT) {
    const QByteArray typeName = r->payload.st != nullptr ? r->payload.st->typeName : QByteArray();
    return QStringLiteral("结构类型 %1").arg(QString::fromUtf8(typeName));
  }
  if (r->kind == VT_STRUCT_DESC)
    return QStringLiteral("结构描述类型 %1").arg(QString::fromUtf8(r->name.bytes()));
  return typeDescription(r->kind, nullptr);
}
