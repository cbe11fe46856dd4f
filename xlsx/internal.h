// The open package behind a Document: the zip entries as read, the XML parts
// the layer works on, and the per-sheet cell index.
#pragma once

#include "xlsx.h"

#include <pugixml.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace xlsx {

// Most bytes one part, and all parts together, may unpack to.
constexpr uint64_t kMaxPartSize = uint64_t(1) << 30;
constexpr uint64_t kMaxPackageSize = uint64_t(2) << 30;
// Most memory the parsed trees of a workbook's parts may take together (a
// sheet of two million cells takes about half of it).
constexpr uint64_t kMaxTreeMemory = uint64_t(2) << 30;

// The reason given when a save finds the disk full.
constexpr const char* kDiskFull = "磁盘空间不足";

[[noreturn]] void fail(const std::string& text);
// Fills %1, %2, ... of a UTF-8 template.
std::string format(const char* utf8Template, std::initializer_list<std::string> args);

// One parsed XML part. Written back from its DOM only when dirty; otherwise
// the entry's original bytes are written.
struct XmlPart {
  pugi::xml_document doc;
  bool dirty = false;
  uint64_t memory = 0;  // what its tree took when it was parsed
};

// One cell element of the index.
struct CellSlot {
  uint16_t column;
  pugi::xml_node node;
};

// One row element with its cells, in column order.
struct RowSlot {
  pugi::xml_node node;
  std::vector<CellSlot> cells;
};

// A rectangle of cells, such as a merged range.
struct CellRange {
  uint32_t top, bottom;
  uint16_t left, right;
};

struct Sheet {
  std::string name;      // as in the workbook
  std::string partName;  // zip entry, e.g. "xl/worksheets/sheet1.xml"
  std::string relId;     // relationship id in the workbook's relationships
  bool isWorksheet = true;
  // Filled when the sheet is first used.
  XmlPart* part = nullptr;
  std::string prefix;  // namespace prefix of the sheet's elements ("" or "x:")
  pugi::xml_node sheetData;
  pugi::xml_node cols;  // column formats, or null
  std::map<uint32_t, RowSlot> rows;
  // The row used last: consecutive cells of one row skip the map lookup.
  uint32_t lastRowNumber = 0;
  RowSlot* lastRow = nullptr;
  // Each shared formula (by its si): the cell that holds its text and the
  // rows and columns its cells span (its range, as found: a cell of the group
  // may lie outside the range its text declares). Found on first need; a
  // group leaves it when its text is handed to its cells.
  struct SharedGroup {
    uint32_t row = 0;  // of the text; 0 while none is found
    uint16_t column = 0;
    uint32_t top = kMaxRows, bottom = 0;
    uint16_t left = kMaxColumns, right = 0;
  };
  std::unordered_map<std::string, SharedGroup> sharedGroups;
  bool sharedIndexed = false;
  // The merged ranges by top row, read on first need (a change to the
  // sheet's mergeCells clears mergesIndexed); mergeReach[k] is the lowest
  // row any of merges[0..k] reaches.
  std::vector<CellRange> merges;
  std::vector<uint32_t> mergeReach;
  bool mergesIndexed = false;
};

struct Package {
  // Zip entries in their order, with the bytes as read (empty for new parts).
  std::vector<std::string> order;
  std::unordered_map<std::string, std::string> raw;
  std::map<std::string, std::unique_ptr<XmlPart>> xml;
  std::string workbookPart;      // "xl/workbook.xml"
  std::string workbookRelsPart;  // "xl/_rels/workbook.xml.rels"
  std::vector<std::shared_ptr<Sheet>> sheets;  // workbook order
  // The sheets by case-folded name (the first of a name, as findSheet gives).
  std::unordered_map<std::string, std::shared_ptr<Sheet>> sheetIndex;
  std::vector<std::string> sharedStrings;
  bool sharedStringsLoaded = false;
  bool changed = false;  // cells or sheets were changed since the last save
  int date1904 = -1;     // the workbook's date system, read on first need
  // What the parsed trees of the parts take, and the most they may take.
  uint64_t treeMemory = 0;
  uint64_t treeLimit = kMaxTreeMemory;

  // The parsed part; parsed on first use. Throws when absent or malformed.
  XmlPart& part(const std::string& name);
  bool has(const std::string& name) const { return raw.count(name) != 0; }
  // Adds a new part (dirty) with the given XML text.
  XmlPart& addPart(const std::string& name, const std::string& xmlText);
  void removePart(const std::string& name);

  Sheet& sheetByName(const std::string& name);  // throws when absent
  Sheet* findSheet(const std::string& name);
  std::shared_ptr<Sheet> sharedSheet(const std::string& name);  // null when absent
  // Appends a sheet to the list and the index.
  void addSheet(std::shared_ptr<Sheet> sheet);
  // Rebuilds sheetIndex after sheets went or were renamed.
  void indexSheets();
  void load(Sheet& sheet);  // builds the cell index (once)
  // Something differs from the bytes last read or written.
  bool modified() const;
  const std::vector<std::string>& strings();
};

// Reads every entry of a zip file; throws on anything that is not a sound
// zip within the size caps.
void readZip(const std::string& path, Package& pkg);
// Builds the zip in memory and writes it to the path atomically.
void writeZip(const std::string& path, const std::vector<std::pair<std::string, const std::string*>>& entries);

bool endsWith(const char* s, const char* tail);
// XML helpers that ignore namespace prefixes.
const char* localName(const pugi::xml_node& node);
const char* localName(const pugi::xml_attribute& attr);
pugi::xml_node child(const pugi::xml_node& node, const char* local);
std::string prefixOf(const pugi::xml_node& node);
// The relationship id attribute (r:id under any prefix).
pugi::xml_attribute relIdAttribute(const pugi::xml_node& node);

// The part a relationship of sourcePart points at; throws when it points
// outside the package.
std::string resolveTarget(const std::string& sourcePart, const std::string& target);
std::string relsPartOf(const std::string& part);

// Text of a shared-string item or inline string (runs joined, escapes decoded).
std::string richText(const pugi::xml_node& node);
// Sheet names compare without regard to case.
bool sameSheetName(const std::string& a, const std::string& b);

// Cell index of a loaded sheet: the node of (row, column), created when
// missing (with its row's or column's style), or null when missing; the row
// slot, or null.
pugi::xml_node cellNode(Sheet& sheet, uint32_t row, uint16_t column);
pugi::xml_node findCell(Sheet& sheet, uint32_t row, uint16_t column);
// Where a cell of that column is or would go in its row's cells.
std::vector<CellSlot>::iterator cellPlace(std::vector<CellSlot>& cells, uint16_t column);
RowSlot* findRow(Sheet& sheet, uint32_t row);

// Adds a content-type override for a part.
void addOverride(Package& pkg, const std::string& part, const char* contentType);

// ---- what a sheet holds through its relationships ----

// A copy of a worksheet with everything it holds: its part, and the parts
// of its own (drawings, charts, images, comments and notes, tables, printer
// settings) under new names, with their relationships and content types.
// Prepared without changing the package; commitSheetCopy adds it.
struct SheetCopy {
  std::string sheetName;  // the copy's name
  std::string sheetPart;  // the copy's part
  std::vector<std::pair<std::string, std::unique_ptr<XmlPart>>> parsed;  // new parts, parsed
  std::vector<std::pair<std::string, std::string>> bytes;                 // new parts, as bytes
  std::vector<std::pair<std::string, std::string>> overrides;             // part, content type
  size_t sourceIndex = 0;  // the source's place among the sheets (sheet-local names)
  std::string sourceName;
};
// Throws, naming the sheet and the objects, when it holds something that
// cannot be copied (pivot tables, slicers, controls, OLE objects, ...).
SheetCopy prepareSheetCopy(Package& pkg, const Sheet& source, const std::string& newName,
                           const std::string& newPart);
// Adds the parts and the source's sheet-local defined names for the copy,
// which is to be appended as the last sheet.
void commitSheetCopy(Package& pkg, SheetCopy& copy);

// Removes what is anchored in one row of a loaded sheet: links, notes and
// threaded comments, merged ranges, sparklines, and the parts of validation
// and conditional-format ranges, that lie wholly in the row. Reads every part
// it needs before it changes anything; true when something went.
bool clearRowObjects(Package& pkg, Sheet& sheet, uint32_t row);

}  // namespace xlsx
