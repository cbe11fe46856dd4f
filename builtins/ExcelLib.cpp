// The Excel library: methods of workbook values (excel) and of the worksheet
// values (XLWorksheet structs) that a workbook's worksheet() makes.
//
// A workbook value's payload holds the document (runtime Workbook, an .xlsx
// document of the xlsx layer) and the path the script gave. A worksheet value
// keeps a shared copy of its workbook value and the sheet's name as members,
// and the layer's worksheet handle as its native object; the handle refers
// to the document weakly, so using it after the workbook was closed or
// reopened ends in error 7 instead of touching a document that is gone.
//
// The layer reports every failure with xlsx::Error; the handler prints
// "捕获运行异常错误: " with the layer's text and raises error 7.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include "runtime/workbook.h"

#include <QFileInfo>

#include <any>
#include <cstdint>
#include <iostream>
#include <variant>

void excelLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

namespace {

enum ExcelMethodId : uint16_t {
  EL_CREATE = 188,
  EL_OPEN = 189,
  EL_SAVE = 190,
  EL_SAVE_AS = 191,
  EL_IS_OPEN = 192,
  EL_CLOSE = 193,
  EL_ADD_SHEET = 194,
  EL_DELETE_SHEET = 195,
  EL_LIST_SHEET_NAMES = 196,
  EL_SHEET_EXISTS = 197,
  EL_CLONE_SHEET = 198,
  EL_SHEET_COUNT = 199,
  EL_WORKSHEET = 200,
  XWS_SET_CELL = 201,
  XWS_CELL = 202,
  XWS_ROW_COUNT = 203,
  XWS_COLUMN_COUNT = 204,
  XWS_SET_NAME = 205,
  XWS_NAME = 206,
  XWS_DELETE_ROW = 207,
  XWS_SET_FORMULA = 208,
  XWS_FORMULA = 209
};

const char* const kNotExcel = "错误：行号 %1 语句 %2 变量 %3 不是Excel 类型！";
const char* const kNoFileName =
    "错误：行号 %1 语句 %2 初始化时没有给Excel 文件名称，调用%3 需要给出新建Excel文件的参数！";
const char* const kEmptySheetName =
    "错误：行号 %1 语句 %2 调用函数 %3 参数值是空字符串，无法创建Excel 标签页！";
const char* const kNotOpen =
    "错误：行号 %1 语句 %2 Excel 变量 %3 没有先执行打开表格操作, 操作 %4 "
    "无法执行，请先创建或打开Excel文件！";
const char* const kLayerFailed = "错误：行号 %1 语句 %2 变量 %3 调用Excel 函数 %4 发生异常，请检查！";
const char* const kBadArguments =
    "错误：行号 %1 语句 %2 变量或表达式 %3 调用函数 %4 参数无法匹配,请检查参数个数或格式！";

QString receiverName(const ExprValue* recv) {
  return recv->owner != nullptr ? QString::fromUtf8(*recv->owner) : QString();
}

QByteArray bytesOf(const ExprValue* v) {
  return v->type == VT_BYTES && v->payload.bytes != nullptr ? *v->payload.bytes : QByteArray();
}

std::string stdBytes(const QByteArray& b) { return std::string(b.constData(), size_t(b.size())); }

// Runs calls into the layer. A failure there prints the layer's text (and,
// for setCell, the position asked for) and raises error 7. Nothing inside
// may raise a script error itself.
template <typename F>
auto guarded(antlr4::ParserRuleContext* ctx, F call, const QString* setCellPosition = nullptr)
    -> decltype(call()) {
  try {
    return call();
  } catch (const std::runtime_error& e) {
    std::cerr << "捕获运行异常错误: \n" << e.what() << std::endl;
    if (setCellPosition != nullptr) {
      warn(fillMessage("您要操作的Excel 位置是 %1, 该位置是否存在？比如A1-Z1,注意下标 0 位置是不存在的！",
                       {*setCellPosition}));
    }
    raise(callMessage(kLayerFailed, ctx, {receiverName(builtinReceiver()), callName()}));
  }
}

// ---- workbook methods ------------------------------------------------------

// The suffix counts in any case: "Data.XLSX" is used as it is.
QByteArray withSuffix(QByteArray name) {
  if (!name.right(5).toLower().endsWith(".xlsx")) name.append(".xlsx");
  return name;
}

void createOrOpen(uint16_t id, ExcelValue* excel, antlr4::ParserRuleContext* ctx) {
  QByteArray name;
  if (builtinArgCount() == 1 && builtinArg(0)->type == VT_BYTES) {
    name = bytesOf(builtinArg(0));
    if (name.isEmpty()) {
      raise(callMessage("错误：行号 %1 语句 %2 Excel 名称为空，不能创建或打开空名称的Excel文件 ！", ctx));
    }
  } else {
    if (excel->path.isEmpty()) raise(callMessage(kNoFileName, ctx, {callName()}));
    name = excel->path;
  }
  name = withSuffix(name);
  const QString shown = QString::fromUtf8(name);
  // shown by a call-stack dump taken while the file is being created or opened
  ScopeRecord* note = pushScopeRecord(SK_DUMP_TEXT);
  note->name = "";
  note->payload.text = new QString(callMessage(
      "行号 %1 语句%2 进入创建或打开 Excel %3 文件中,创建或打开 Excel文件异常！", ctx, {shown}));
  xlsx::Document& doc = excel->doc->document();
  const bool exists = QFileInfo::exists(shown);
  if (id == EL_OPEN) {
    if (!exists) raise(callMessage("错误：行号 %1 语句%2 文件Excel %3 不存在，无法打开文件！", ctx, {shown}));
    guarded(ctx, [&] { doc.open(stdBytes(name)); });
  } else {
    if (exists) warn(callMessage("警告：行号 %1 语句%2 Excel %3 文件已经存在，重新创建将清空旧文件！", ctx, {shown}));
    guarded(ctx, [&] { doc.create(stdBytes(name)); });
  }
  removeScopeRecord(note);
  excel->path = name;
}

// A new worksheet value: the workbook shared, the sheet's name, the handle.
void pushWorksheet(ExcelValue* excel, const QByteArray& name, const xlsx::Worksheet& sheet) {
  auto* sv = new StructValue();
  sv->typeName = QByteArrayLiteral("XLWorksheet");
  sv->builtinCode = VT_XLWORKSHEET;
  sv->native = sheet;
  sv->members = new MemberCells;
  ExprValue* book = newElementCell(VT_EXCEL);
  book->payload.excel = excel;
  addSharedRef(excel);
  ExprValue* sheetName = newElementCell(VT_BYTES);
  sheetName->payload.bytes = newByteString(name);
  sv->members->push_back(book);
  sv->members->push_back(sheetName);
  ExprValue v;
  v.type = VT_STRUCT;
  v.payload.st = sv;
  pushBuiltinResult(v);
}

// A sheet named in the call does not exist: shown on standard error, then raised.
[[noreturn]] void raiseMissingSheet(const char* text, antlr4::ParserRuleContext* ctx, const QString& name) {
  const QString message = callMessage(text, ctx, {name});
  warnToErr(message);
  raise(message);
}

void workbookCall(uint16_t id, ExprValue* recv, antlr4::ParserRuleContext* ctx) {
  const bool hasDocument = recv->type == VT_EXCEL && recv->payload.excel != nullptr &&
                           recv->payload.excel->doc != nullptr;
  if (id == EL_CREATE || id == EL_OPEN) {
    if (!hasDocument) raise(callMessage(kNotExcel, ctx, {receiverName(recv)}));
    return createOrOpen(id, recv->payload.excel, ctx);
  }
  if (!hasDocument) return;  // nothing to act on, and no result
  ExcelValue* excel = recv->payload.excel;
  Workbook& book = *excel->doc;
  xlsx::Document& doc = book.document();
  switch (id) {
    case EL_SAVE:
      if (book.isOpen()) guarded(ctx, [&] { doc.save(); });
      return;
    case EL_IS_OPEN:
      return pushBool(book.isOpen());
    case EL_CLOSE:
      if (book.isOpen()) {
        guarded(ctx, [&] { doc.save(); });
        book.close();
      }
      return;
    default:
      break;
  }
  if (!book.isOpen()) raise(callMessage(kNotOpen, ctx, {receiverName(recv), callName()}));
  const int n = builtinArgCount();
  const QByteArray last = n > 0 ? bytesOf(builtinArg(n - 1)) : QByteArray();
  const std::string lastName = stdBytes(last);
  const bool sheetOperation = id == EL_ADD_SHEET || id == EL_DELETE_SHEET ||
                              id == EL_SHEET_EXISTS || id == EL_CLONE_SHEET;
  if (sheetOperation && last.isEmpty()) raise(callMessage(kEmptySheetName, ctx, {callName()}));
  const QString shown = QString::fromUtf8(last);
  switch (id) {
    case EL_SAVE_AS:
      guarded(ctx, [&] { doc.saveAs(lastName); });
      return;
    case EL_ADD_SHEET:
      if (guarded(ctx, [&] { return doc.workbook().sheetExists(lastName); })) {
        return warn(callMessage("警告：行号 %1 语句 %2 新增sheet %3 跳过执行，因为sheet %3 已经存在！", ctx, {shown}));
      }
      guarded(ctx, [&] {
        doc.workbook().addWorksheet(lastName);
        doc.save();
      });
      return;
    case EL_DELETE_SHEET:
      if (!guarded(ctx, [&] { return doc.workbook().sheetExists(lastName); })) {
        return warn(callMessage("警告：行号 %1 语句 %2 删除sheet %3 跳过执行，因为sheet %3 本来就不存在！", ctx, {shown}));
      }
      guarded(ctx, [&] {
        doc.workbook().deleteSheet(lastName);
        doc.save();
      });
      return;
    case EL_SHEET_EXISTS:
      return pushBool(guarded(ctx, [&] { return doc.workbook().sheetExists(lastName); }));
    case EL_CLONE_SHEET: {
      if (guarded(ctx, [&] { return doc.workbook().sheetExists(lastName); })) {
        return warn(callMessage("警告：行号 %1 语句 %2 克隆表页%3 跳过执行，因为表页 %3 已经存在！", ctx, {shown}));
      }
      const QByteArray source = bytesOf(builtinArg(0));
      if (!guarded(ctx, [&] { return doc.workbook().sheetExists(stdBytes(source)); })) {
        raiseMissingSheet("错误：行号 %1 语句 %2 克隆表页 %3 执行失败，因为表页 %3 本来就不存在！", ctx,
                          QString::fromUtf8(source));
      }
      guarded(ctx, [&] {
        doc.workbook().cloneSheet(stdBytes(source), lastName);
        doc.save();
      });
      return;
    }
    case EL_LIST_SHEET_NAMES: {
      const std::vector<std::string> names = guarded(ctx, [&] { return doc.workbook().worksheetNames(); });
      ExprValue list = makeListValue();
      for (const std::string& s : names) {
        ExprValue* cell = newElementCell(VT_BYTES);
        cell->payload.bytes = newByteString(s.data(), int(s.size()));
        list.payload.list->push_back(cell);
      }
      return pushBuiltinResult(list);
    }
    case EL_SHEET_COUNT:
      return pushInt(int32_t(guarded(ctx, [&] { return doc.workbook().sheetCount(); })));
    case EL_WORKSHEET: {
      if (!guarded(ctx, [&] { return doc.workbook().sheetExists(lastName); })) {
        raiseMissingSheet("错误：行号 %1 语句 %2 获取表页 %3 执行失败，因为表页 %3 本来就不存在！", ctx, shown);
      }
      const xlsx::Worksheet sheet = guarded(ctx, [&] { return doc.workbook().worksheet(lastName); });
      return pushWorksheet(excel, last, sheet);
    }
    default:
      return;
  }
}

// ---- worksheet methods -----------------------------------------------------

// The worksheet a value holds; a handle on no sheet (every use of which is a
// layer error) for anything else.
xlsx::Worksheet worksheetFromValue(const ExprValue* v) {
  if (v->type == VT_STRUCT && v->payload.st != nullptr) {
    if (const auto* ws = std::any_cast<xlsx::Worksheet>(&v->payload.st->native)) return *ws;
  }
  return xlsx::Worksheet();
}

// The cell named by the first one (address) or two (row, column) arguments;
// error 8 for other argument types. The text is the first argument as shown
// in setCell's message.
struct Position {
  bool byAddress = false;
  std::string address;
  int64_t row = 0;
  int64_t column = 0;
  QString text;
};

Position positionArgs(int count, ExprValue* recv, antlr4::ParserRuleContext* ctx) {
  Position p;
  const ExprValue* a = builtinArg(0);
  if (count == 1 && a->type == VT_BYTES) {
    p.byAddress = true;
    p.address = stdBytes(bytesOf(a));
    p.text = QString::fromUtf8(bytesOf(a));
    return p;
  }
  if (count == 2 && a->type == VT_INT && builtinArg(1)->type == VT_INT) {
    p.row = a->payload.i32;
    p.column = builtinArg(1)->payload.i32;
    p.text = QString::number(p.row);
    return p;
  }
  raise(callMessage(kBadArguments, ctx, {receiverName(recv), callName()}));
}

xlsx::Cell cellAt(const xlsx::Worksheet& ws, const Position& p) {
  return p.byAddress ? ws.cell(p.address) : ws.cell(p.row, p.column);
}

// Writes into the cell at p through write(cell). A write into a cell that
// a merged range hides is kept, with a warning naming the range and the
// cell that a spreadsheet program shows.
template <typename W>
void writeCell(const xlsx::Worksheet& ws, const Position& p, antlr4::ParserRuleContext* ctx, W write,
               const QString* setCellPosition = nullptr) {
  std::string at, range;
  guarded(ctx, [&] {
    const xlsx::Cell c = cellAt(ws, p);
    write(c);
    range = c.hidingMerge();
    if (!range.empty()) at = xlsx::columnLetters(c.column()) + std::to_string(c.row());
  }, setCellPosition);
  if (range.empty()) return;
  const QString merged = QString::fromStdString(range);
  warn(callMessage("警告：行号 %1 语句 %2 单元格 %3 位于合并单元格 %4 之中，写入的内容不会显示：合并单元格只显示它的第一个单元格 %5 的内容！",
                   ctx, {QString::fromStdString(at), merged, merged.section(':', 0, 0)}));
}

using CellResult = std::variant<int32_t, int64_t, double, bool, std::string>;

void worksheetCall(uint16_t id, ExprValue* recv, antlr4::ParserRuleContext* ctx) {
  const xlsx::Worksheet ws = worksheetFromValue(recv);
  const int n = builtinArgCount();
  switch (id) {
    case XWS_CELL: {
      const Position p = positionArgs(n, recv, ctx);
      const CellResult r = guarded(ctx, [&]() -> CellResult {
        const xlsx::CellValue v = cellAt(ws, p).value();
        switch (v.type()) {
          case xlsx::ValueType::Boolean: return v.get<bool>();
          case xlsx::ValueType::Integer: return v.get<int64_t>();
          case xlsx::ValueType::Float: return v.get<double>();
          case xlsx::ValueType::String: return v.get<std::string>();
          default: return int32_t(0);
        }
      });
      if (const auto* i = std::get_if<int32_t>(&r)) return pushInt(*i);
      if (const auto* l = std::get_if<int64_t>(&r)) return pushLong(*l);
      if (const auto* d = std::get_if<double>(&r)) return pushDouble(*d);
      if (const auto* b = std::get_if<bool>(&r)) return pushBool(*b);
      const std::string& s = std::get<std::string>(r);
      return pushBytes(QByteArray(s.data(), int(s.size())));
    }
    case XWS_FORMULA: {
      const Position p = positionArgs(n, recv, ctx);
      const std::string f = guarded(ctx, [&] { return cellAt(ws, p).formula().get(); });
      return pushBytes(QByteArray(f.data(), int(f.size())));
    }
    case XWS_SET_CELL: {
      const Position p = positionArgs(n - 1, recv, ctx);
      const ExprValue* v = builtinArg(n - 1);
      switch (v->type) {
        case VT_INT:
        case VT_LONG:
          return writeCell(ws, p, ctx, [&](const xlsx::Cell& c) { c.value() = v->asInt64(); }, &p.text);
        case VT_DOUBLE:
          return writeCell(ws, p, ctx, [&](const xlsx::Cell& c) { c.value() = v->payload.d; }, &p.text);
        case VT_BYTES:
          return writeCell(ws, p, ctx, [&](const xlsx::Cell& c) { c.value() = stdBytes(bytesOf(v)); }, &p.text);
        default:
          return;  // other values are not written
      }
    }
    case XWS_SET_FORMULA: {
      const Position p = positionArgs(n - 1, recv, ctx);
      const ExprValue* f = builtinArg(n - 1);
      if (f->type != VT_BYTES) raise(callMessage(kBadArguments, ctx, {receiverName(recv), callName()}));
      return writeCell(ws, p, ctx, [&](const xlsx::Cell& c) { c.formula() = stdBytes(bytesOf(f)); });
    }
    case XWS_ROW_COUNT:
      return pushInt(int32_t(guarded(ctx, [&] { return ws.rowCount(); })));
    case XWS_COLUMN_COUNT:
      return pushInt(int32_t(guarded(ctx, [&] { return ws.columnCount(); })));
    case XWS_SET_NAME:
      return guarded(ctx, [&] { ws.setName(stdBytes(bytesOf(builtinArg(0)))); });
    case XWS_NAME: {
      const std::string name = guarded(ctx, [&] { return ws.name(); });
      return pushBytes(QByteArray(name.data(), int(name.size())));
    }
    case XWS_DELETE_ROW:
      return pushBool(guarded(ctx, [&] { return ws.deleteRow(argInt(builtinArg(0))); }));
    default:
      return;
  }
}

}  // namespace

void excelLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  if (method->id >= XWS_SET_CELL) return worksheetCall(method->id, recv, ctx);
  workbookCall(method->id, recv, ctx);
}

void registerExcelLib() {
  if (BuiltinLibFlags[LIB_EXCEL]) return;
  BuiltinLibFlags[LIB_EXCEL] = 1;
  const int32_t R = BA_RANGE;
  const std::vector<int32_t> none;
  currentBuiltinHandler = excelLibCall;
  currentBuiltinReceiver = VT_EXCEL;
  registerBuiltinMethod(EL_CREATE, "el_create", {0, 1, R}, BF_MEMBER);
  registerBuiltinMethod(EL_OPEN, "el_open", {0, 1, R}, BF_MEMBER);
  registerBuiltinMethod(EL_SAVE, "save", none, BF_MEMBER);
  registerBuiltinMethod(EL_SAVE_AS, "saveAs", {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(EL_IS_OPEN, "isOpen", none, BF_MEMBER);
  registerBuiltinMethod(EL_CLOSE, "el_close", none, BF_MEMBER);
  registerBuiltinMethod(EL_ADD_SHEET, "addSheet", {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(EL_DELETE_SHEET, "deleteSheet", {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(EL_LIST_SHEET_NAMES, "listSheetNames", none, BF_MEMBER);
  registerBuiltinMethod(EL_SHEET_EXISTS, "sheetExists", {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(EL_CLONE_SHEET, "cloneSheet", {VT_BYTES, VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(EL_SHEET_COUNT, "sheetCount", none, BF_MEMBER);
  registerBuiltinMethod(EL_WORKSHEET, "worksheet", {VT_BYTES}, BF_MEMBER);
  currentBuiltinReceiver = VT_XLWORKSHEET;
  registerBuiltinMethod(XWS_SET_CELL, "setCell", {2, 3, R}, BF_MEMBER);
  registerBuiltinMethod(XWS_SET_FORMULA, "setFormula", {2, 3, R}, BF_MEMBER);
  registerBuiltinMethod(XWS_CELL, "cell", {1, 2, R}, BF_MEMBER);
  registerBuiltinMethod(XWS_FORMULA, "formula", {1, 2, R}, BF_MEMBER);
  registerBuiltinMethod(XWS_ROW_COUNT, "rowCount", none, BF_MEMBER);
  registerBuiltinMethod(XWS_COLUMN_COUNT, "columnCount", none, BF_MEMBER);
  registerBuiltinMethod(XWS_SET_NAME, "setName", {VT_BYTES}, BF_MEMBER);
  registerBuiltinMethod(XWS_NAME, "name", none, BF_MEMBER);
  registerBuiltinMethod(XWS_DELETE_ROW, "deleteRow", {VT_INT}, BF_MEMBER);
}
