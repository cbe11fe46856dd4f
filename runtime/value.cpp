#include "value.h"

#include "file_names.h"
#include "scope.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>

namespace byte_blocks {
Cache cache = {};

QArrayData* takeNew(uint32_t bytes) {
  auto* d = static_cast<QArrayData*>(std::malloc(sizeof(QArrayData) + bytes));
  Q_CHECK_PTR(d);
  return d;
}
}  // namespace byte_blocks

void deleteSoleByteString(QByteArray* bytes) { deleteByteStringInline(bytes); }

void deleteSoleText(QString* text) {
  if (!byte_blocks::keep<2>(text->data_ptr())) text->~QString();
  HandleSlots::give(text);
}

QByteArray typeKeyword(int32_t code, const ExprValue* cell) {
  switch (code) {
    case VT_INT: return QByteArrayLiteral("zs");
    case VT_LONG: return QByteArrayLiteral("czs");
    case VT_DOUBLE: return QByteArrayLiteral("xs");
    case VT_BOOL: return QByteArrayLiteral("bl");
    case VT_CHAR: return QByteArrayLiteral("zf");
    case VT_WCHAR: return QByteArrayLiteral("kzf");
    case VT_STRUCT_DESC: return QByteArrayLiteral("jiegou_desc");
    case VT_STRUCT: return QByteArrayLiteral("jiegou");
    case VT_BYTES: return QByteArrayLiteral("zfc");
    case VT_STRING: return QByteArrayLiteral("string");
    case VT_LIST: return QByteArrayLiteral("lb");
    case VT_DICT: return QByteArrayLiteral("zd");
    case VT_FILE: return QByteArrayLiteral("wj");
    case VT_TIME: return QByteArrayLiteral("sj");
    case VT_EXCEL: return QByteArrayLiteral("excel");
    case VT_FUNC:
    case VT_FUNC2: return QByteArrayLiteral("hs");
    case VT_TYPE_NAME:
      if (cell == nullptr) return QByteArrayLiteral("global_package");
      // a cell holding 19 again would only name itself
      if (cell->payload.i32 == VT_TYPE_NAME) return QByteArrayLiteral("package:global_package");
      return QByteArrayLiteral("package:") + typeKeyword(cell->payload.i32, nullptr);
    default: return QByteArrayLiteral("error-type");
  }
}

QString typeDescription(int32_t code, const ExprValue* cell) {
  switch (code) {
    case VT_INT: return QStringLiteral("整数类型");
    case VT_LONG: return QStringLiteral("长整数类型");
    case VT_DOUBLE: return QStringLiteral("小数类型");
    case VT_BOOL: return QStringLiteral("逻辑bool类型");
    case VT_CHAR: return QStringLiteral("字符类型");
    case VT_WCHAR: return QStringLiteral("U16 宽字符类型");
    case VT_STRUCT_DESC: return QStringLiteral("结构描述类型");
    case VT_STRUCT:
      if (cell != nullptr && cell->type == VT_STRUCT && cell->payload.st != nullptr)
        return QStringLiteral("结构类型 %1").arg(QString::fromUtf8(cell->payload.st->typeName));
      return QStringLiteral("结构类型");
    case VT_BYTES: return QStringLiteral("字符串类型");
    case VT_STRING: return QStringLiteral("U16字符串类型");
    case VT_LIST: return QStringLiteral("列表类型");
    case VT_DICT: return QStringLiteral("字典类型");
    case VT_FILE: return QStringLiteral("文件类型");
    case VT_TIME: return QStringLiteral("时间类型");
    case VT_EXCEL: return QStringLiteral("Excel 表格类型");
    case VT_FUNC:
    case VT_FUNC2: return QStringLiteral("函数类型");
    case VT_TYPE_NAME:
      if (cell == nullptr || cell->payload.i32 == VT_TYPE_NAME) return QStringLiteral("全局包类型");
      return typeDescription(cell->payload.i32, nullptr);
    case VT_PKG_KOR: return QStringLiteral("Kor 包类型");
    default: return QStringLiteral("未知类型");
  }
}

bool isKeyType(const ExprValue& cell) {
  switch (cell.type) {
    case VT_INT:
    case VT_LONG:
    case VT_CHAR:
    case VT_WCHAR:
    case VT_BYTES:
    case VT_STRING: return true;
    default: return false;
  }
}

bool typeHasMethods(int32_t code) {
  return code == VT_CHAR || code == VT_WCHAR || (code >= VT_STRUCT && code <= VT_EXCEL);
}

ExprValue makeStringValue(const QString& s) {
  ExprValue c;
  c.type = VT_STRING;
  c.payload.str = newText(s);
  return c;
}

ExprValue makeBytesValue(const QByteArray& s) {
  ExprValue c;
  c.type = VT_BYTES;
  c.payload.bytes = newByteString(s);
  return c;
}

ExprValue makeTimeValue(const QDateTime& t) {
  ExprValue c;
  c.type = VT_TIME;
  c.payload.time = new QDateTime(t);
  return c;
}

ExprValue makeFunctionValue(const QByteArray& name) {
  ExprValue c;
  c.type = VT_FUNC;
  c.payload.fn = new FunctionName{name};
  return c;
}

void makeByteStringValue(ExprValue& cell, QByteArray&& text) {
  cell.type = VT_BYTES;
  cell.payload.bytes = newByteString(std::move(text));
}

void setByteStringStd(ExprValue& cell, std::string&& text, bool reuseOnly) {
  std::string taken(std::move(text));
  if (cell.type == VT_BYTES && cell.payload.bytes != nullptr) {
    cell.payload.bytes->clear();
    cell.payload.bytes->append(taken.data(), int(taken.size()));
    return;
  }
  cell.type = VT_BYTES;
  cell.payload.i64 = 0;
  if (reuseOnly) return;  // stays the empty byte string
  cell.payload.bytes = newByteString(taken.data(), int(taken.size()));
}

void setByteString(ExprValue& cell, const QByteArray& text) {
  if (cell.type == VT_BYTES && cell.payload.bytes != nullptr) {
    if (cell.payload.bytes == &text) return;
    cell.payload.bytes->clear();
    cell.payload.bytes->append(text);
    return;
  }
  cell.type = VT_BYTES;
  cell.payload.bytes = newByteString(text);
}

QByteArray fileValuePath(const ExprValue& cell) {
  if (cell.type != VT_FILE || cell.payload.file == nullptr || cell.payload.file->info == nullptr)
    return QByteArray();
  return pathToBytes(cell.payload.file->info->absoluteFilePath());
}

QChar charValueToQChar(const ExprValue& cell) {
  if (cell.type == VT_CHAR) return QChar::fromLatin1(cell.payload.c);
  return QChar(cell.payload.u16);
}

std::string byteStringToStd(const ExprValue& cell) {
  if (cell.type != VT_BYTES || cell.payload.bytes == nullptr) return std::string();
  return std::string(cell.payload.bytes->constData(), size_t(cell.payload.bytes->size()));
}

QByteArray structTypeName(const ExprValue& cell) {
  if (cell.type != VT_STRUCT || cell.payload.st == nullptr) return QByteArray();
  return cell.payload.st->typeName;
}

int32_t structTypeCode(const ExprValue& cell) {
  if (cell.type != VT_STRUCT || cell.payload.st == nullptr) return -1;
  return cell.payload.st->builtinCode;
}

int32_t scopeRecordStructCode(const ScopeRecord* record) {
  if (record == nullptr || record->kind != VT_STRUCT || record->payload.st == nullptr) return 0;
  return record->payload.st->builtinCode;
}
