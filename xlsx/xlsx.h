// A small .xlsx workbook layer: open, create, edit and save Office Open XML
// spreadsheet packages.
//
// What it understands: the package's content types and relationships, the
// workbook's sheet list and defined names, worksheet cells (values and
// formulas) and the shared strings it reads. Everything else in a package
// (styles, themes, drawings, comments, other sheets' content, unknown parts)
// is written back exactly as it was read, but for what a clone of a sheet
// copies and what a cleared row takes with it. Strings are written as inline
// strings; a save after any change drops the calculation chain and asks the
// spreadsheet program to recalculate on load.
//
// Every failure throws xlsx::Error with a Chinese text for the user.
//
// Document owns the open package. Workbook, Worksheet, Cell and the value and
// formula proxies are light handles that refer to it weakly: once the
// document is closed, reopened on another file or destroyed (or the sheet is
// deleted) they throw instead of reaching freed memory.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace xlsx {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Package;
struct Sheet;

constexpr uint32_t kMaxRows = 1048576;
constexpr uint32_t kMaxColumns = 16384;

enum class ValueType { Empty, Boolean, Integer, Float, String, Error };

class CellValue;
class CellFormula;

class Cell {
 public:
  CellValue value() const;
  CellFormula formula() const;
  bool hasFormula() const;
  // The merged range (as "B2:D6") that covers the cell without starting at
  // it: a spreadsheet program shows only the range's first cell, so what
  // this cell holds is not seen. Empty when there is none.
  std::string hidingMerge() const;
  uint32_t row() const { return row_; }
  uint16_t column() const { return column_; }

 private:
  friend class Worksheet;
  friend class CellValue;
  friend class CellFormula;
  Cell(std::weak_ptr<Package> pkg, std::weak_ptr<Sheet> sheet, uint32_t row, uint16_t column);
  std::weak_ptr<Package> pkg_;
  std::weak_ptr<Sheet> sheet_;
  uint32_t row_;
  uint16_t column_;
};

// The value of one cell. Reading gives the stored value (a date stored as
// text reads as its serial number, as a numeric date does; text in a number
// cell that is no number throws); assigning replaces the cell's value (and
// any formula it had).
class CellValue {
 public:
  ValueType type() const;
  // Typed reads; a read of another type than type() throws.
  template <typename T>
  T get() const;
  CellValue& operator=(int64_t v);
  CellValue& operator=(double v);
  CellValue& operator=(const std::string& utf8);

 private:
  friend class Cell;
  explicit CellValue(const Cell& cell) : cell_(cell) {}
  Cell cell_;
};

template <> bool CellValue::get<bool>() const;
template <> int64_t CellValue::get<int64_t>() const;
template <> double CellValue::get<double>() const;
template <> std::string CellValue::get<std::string>() const;

// The formula of one cell, stored without a leading "=".
class CellFormula {
 public:
  // The formula text, empty when the cell has none; a cell of a shared
  // formula gives the group's text moved to its own position.
  std::string get() const;
  // Sets the formula (a leading "=" is dropped) and removes the cached value.
  CellFormula& operator=(const std::string& formula);

 private:
  friend class Cell;
  explicit CellFormula(const Cell& cell) : cell_(cell) {}
  Cell cell_;
};

class Worksheet {
 public:
  Worksheet() = default;  // refers to no sheet: every use throws
  // A cell that does not exist reads as empty; only a write creates it.
  Cell cell(const std::string& address) const;                  // "A1" .. "XFD1048576"
  Cell cell(int64_t row, int64_t column) const;                  // 1-based
  // Largest row number that has a row element; largest column of any cell.
  uint32_t rowCount() const;
  uint16_t columnCount() const;
  // Removes that row's element (rows below keep their numbers) and what is
  // anchored in the row alone: links, notes, merged ranges, sparklines, and
  // the row's share of validation and conditional-format ranges. False when there was
  // nothing to remove.
  bool deleteRow(int64_t row) const;
  std::string name() const;
  // Renames the sheet and points every reference to it anywhere in the
  // package at the new name: formulas of cells, defined names, charts,
  // conditional formats, validations (also in their extension forms),
  // sparklines, tables, drawings' text links and form controls; hyperlink
  // locations and link targets; pivot-cache and consolidation sources.
  // References into other workbooks and text inside strings stay.
  void setName(const std::string& name) const;

 private:
  friend class Workbook;
  Worksheet(std::weak_ptr<Package> pkg, std::weak_ptr<Sheet> sheet)
      : pkg_(std::move(pkg)), sheet_(std::move(sheet)), bound_(true) {}
  std::weak_ptr<Package> pkg_;
  std::weak_ptr<Sheet> sheet_;
  bool bound_ = false;
};

class Workbook {
 public:
  // Sheet names compare without regard to case.
  Worksheet worksheet(const std::string& name) const;
  // Worksheets only, in workbook order; chart sheets are neither listed nor
  // counted (but their names are taken).
  std::vector<std::string> worksheetNames() const;
  unsigned sheetCount() const;
  bool sheetExists(const std::string& name) const;
  void addWorksheet(const std::string& name) const;
  // The copy gets parts of its own for what the sheet holds (drawings,
  // charts, images, notes, tables, printer settings); a sheet holding
  // something that cannot be copied (a pivot table, a slicer, a control, an
  // OLE object, ...) is refused and the workbook left as it was.
  void cloneSheet(const std::string& existing, const std::string& newName) const;
  // Refuses to delete the last worksheet.
  void deleteSheet(const std::string& name) const;

 private:
  friend class Document;
  explicit Workbook(std::weak_ptr<Package> pkg) : pkg_(std::move(pkg)) {}
  std::weak_ptr<Package> pkg_;
};

class Document {
 public:
  Document();
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Writes a new workbook with one sheet "Sheet1" to the path at once (an
  // existing file is replaced) and keeps it open.
  void create(const std::string& path);
  // Opens a workbook; a document already open is closed first, unsaved.
  void open(const std::string& path);
  bool isOpen() const;
  // Writes the workbook back to its path, atomically; writes nothing when
  // nothing changed since the file was opened or last saved and it is still
  // there.
  void save();
  // Writes the workbook to another path, which becomes the document's path.
  void saveAs(const std::string& path);
  // Closes without saving.
  void close();
  Workbook workbook() const;
  const std::string& path() const { return path_; }

 private:
  std::shared_ptr<Package> pkg_;
  std::string path_;
};

// ---- helpers, also used by callers for messages ----

// "B3" -> row 3, column 2; throws on anything but A..XFD and 1..1048576.
void parseAddress(const std::string& address, uint32_t* row, uint16_t* column);
std::string columnLetters(uint32_t column);
// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool validUtf8(const std::string& text);
// Throws when the name is not a valid sheet name.
void checkSheetName(const std::string& name);
// The formula with every reference to sheet oldName (OldName! or
// 'Old Name'!, any case) pointing at newName; quoted where needed.
std::string renameSheetInFormula(const std::string& formula, const std::string& oldName,
                                 const std::string& newName);
// The formula as it reads in a cell that many rows and columns away (both
// may be negative): relative references move, "$" parts stay; a reference
// moved off the sheet becomes #REF!.
std::string moveFormula(const std::string& formula, int64_t rows, int64_t columns);
// The formula with every use of table oldName (Old[Col], Old[#All], a bare
// Old; any case) naming newName instead.
std::string renameTableInFormula(const std::string& formula, const std::string& oldName,
                                 const std::string& newName);
// Shared/inline string text: _xHHHH_ escapes decoded; and the reverse.
std::string decodeEscapes(const std::string& text);
std::string encodeEscapes(const std::string& text);

}  // namespace xlsx
