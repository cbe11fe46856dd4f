// The package: parts on demand, relationships, content types, the workbook's
// sheet list and the cell index of each sheet.
#include "internal.h"

#include <QString>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace xlsx {

namespace {

constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_declaration |
                                 pugi::parse_comments | pugi::parse_pi |
                                 pugi::parse_ws_pcdata_single | pugi::parse_doctype;

const char* parseProblem(pugi::xml_parse_status status) {
  switch (status) {
    case pugi::status_out_of_memory: return "内存不足";
    case pugi::status_unrecognized_tag: return "无法识别的标签";
    case pugi::status_bad_pi: return "处理指令有误";
    case pugi::status_bad_comment: return "注释有误";
    case pugi::status_bad_cdata: return "CDATA 段有误";
    case pugi::status_bad_doctype: return "文档类型声明有误";
    case pugi::status_bad_pcdata: return "文本有误";
    case pugi::status_bad_start_element: return "开始标签有误";
    case pugi::status_bad_attribute: return "属性有误";
    case pugi::status_bad_end_element: return "结束标签有误";
    case pugi::status_end_element_mismatch: return "开始标签和结束标签不匹配";
    case pugi::status_no_document_element: return "没有根元素";
    default: return "格式错误";
  }
}

// What the trees of a workbook may cost: the parser's allocations (its copy
// of the text, its nodes and attributes) are counted against a budget while
// a part is parsed on this thread.
thread_local uint64_t* parseBudget = nullptr;
thread_local bool parseBudgetExceeded = false;

void* budgetedAllocate(size_t size) {
  if (parseBudget != nullptr) {
    if (size > *parseBudget) {
      parseBudgetExceeded = true;
      return nullptr;
    }
    *parseBudget -= size;
  }
  return std::malloc(size);
}

void budgetedDeallocate(void* p) { std::free(p); }

// Installed before any tree is built; without a budget it is plain malloc.
const bool budgetInstalled = [] {
  pugi::set_memory_management_functions(budgetedAllocate, budgetedDeallocate);
  return true;
}();

[[noreturn]] void tooLarge(const std::string& name, uint64_t limit) {
  fail(format("工作簿部件 %1 过大：连同已经读取的部件，读取它需要超过 %2 GiB 内存（元素过多），拒绝读取",
              {name, std::to_string(limit >> 30)}));
}

// Parses a part into doc within what is left of the package's budget for
// trees; returns what the tree took, which the package now counts.
uint64_t parseInto(Package& pkg, pugi::xml_document& doc, const std::string& name, const char* data,
                   size_t size) {
  const uint64_t left = pkg.treeLimit - std::min(pkg.treeMemory, pkg.treeLimit);
  // Every start tag, comment or instruction becomes a node of eight pointers:
  // a part with too many of them is refused before any is built.
  uint64_t nodes = 0;
  for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '<', size_t(data + size - p)))) != nullptr;) {
    ++p;
    if (p < data + size && *p != '/' && *p != '\0') ++nodes;
  }
  if (nodes > left / (8 * sizeof(void*))) tooLarge(name, pkg.treeLimit);
  uint64_t budget = left;
  parseBudget = &budget;
  parseBudgetExceeded = false;
  const pugi::xml_parse_result r = doc.load_buffer(data, size, kParseFlags, pugi::encoding_auto);
  parseBudget = nullptr;
  if (parseBudgetExceeded) {
    doc.reset();
    tooLarge(name, pkg.treeLimit);
  }
  if (!r || !doc.document_element()) {
    fail(format("工作簿部件 %1 不是合法的 XML：%2（位置 %3）",
                {name, parseProblem(r ? pugi::status_no_document_element : r.status),
                 std::to_string(r.offset)}));
  }
  pkg.treeMemory += left - budget;
  return left - budget;
}

bool parseRowNumber(const char* s, uint32_t* out) {
  uint64_t v = 0;
  if (*s < '1' || *s > '9') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9' || v > kMaxRows) return false;
    v = v * 10 + uint64_t(*s - '0');
  }
  if (v > kMaxRows) return false;
  *out = uint32_t(v);
  return true;
}

}  // namespace

// ---- XML helpers ----

bool endsWith(const char* s, const char* tail) {
  const size_t a = std::strlen(s), b = std::strlen(tail);
  return a >= b && std::memcmp(s + a - b, tail, b) == 0;
}

const char* localName(const pugi::xml_node& node) {
  const char* n = node.name();
  const char* colon = std::strchr(n, ':');
  return colon != nullptr ? colon + 1 : n;
}

const char* localName(const pugi::xml_attribute& attr) {
  const char* n = attr.name();
  const char* colon = std::strchr(n, ':');
  return colon != nullptr ? colon + 1 : n;
}

pugi::xml_node child(const pugi::xml_node& node, const char* local) {
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && std::strcmp(localName(c), local) == 0) return c;
  }
  return pugi::xml_node();
}

std::string prefixOf(const pugi::xml_node& node) {
  const char* n = node.name();
  const char* colon = std::strchr(n, ':');
  return colon != nullptr ? std::string(n, size_t(colon - n + 1)) : std::string();
}

pugi::xml_attribute relIdAttribute(const pugi::xml_node& node) {
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    if (std::strchr(a.name(), ':') != nullptr && std::strcmp(localName(a), "id") == 0) return a;
  }
  return pugi::xml_attribute();
}

std::string relsPartOf(const std::string& part) {
  const size_t slash = part.rfind('/');
  if (slash == std::string::npos) return "_rels/" + part + ".rels";
  return part.substr(0, slash) + "/_rels/" + part.substr(slash + 1) + ".rels";
}

std::string resolveTarget(const std::string& sourcePart, const std::string& target) {
  std::string path;
  if (!target.empty() && target[0] == '/') {
    path = target.substr(1);
  } else {
    const size_t slash = sourcePart.rfind('/');
    path = slash == std::string::npos ? target : sourcePart.substr(0, slash + 1) + target;
  }
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string seg = path.substr(start, end - start);
    if (seg == "..") {
      if (segments.empty()) fail(format("工作簿中的关系指向包外的路径 %1，拒绝读取", {target}));
      segments.pop_back();
    } else if (!seg.empty() && seg != ".") {
      segments.push_back(seg);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& s : segments) out += (out.empty() ? "" : "/") + s;
  if (out.empty()) fail(format("工作簿中的关系指向无效的路径 %1", {target}));
  return out;
}

// ---- parts ----

XmlPart& Package::part(const std::string& name) {
  auto it = xml.find(name);
  if (it != xml.end()) return *it->second;
  auto r = raw.find(name);
  if (r == raw.end()) fail(format("工作簿缺少部件 %1", {name}));
  auto p = std::make_unique<XmlPart>();
  p->memory = parseInto(*this, p->doc, name, r->second.data(), r->second.size());
  return *xml.emplace(name, std::move(p)).first->second;
}

XmlPart& Package::addPart(const std::string& name, const std::string& xmlText) {
  auto p = std::make_unique<XmlPart>();
  p->memory = parseInto(*this, p->doc, name, xmlText.data(), xmlText.size());
  p->dirty = true;
  if (raw.emplace(name, std::string()).second) order.push_back(name);
  std::unique_ptr<XmlPart>& slot = xml[name];
  if (slot) treeMemory -= slot->memory;
  slot = std::move(p);
  return *slot;
}

void Package::removePart(const std::string& name) {
  raw.erase(name);
  auto parsed = xml.find(name);
  if (parsed != xml.end()) {
    treeMemory -= parsed->second->memory;
    xml.erase(parsed);
  }
  for (auto it = order.begin(); it != order.end(); ++it) {
    if (*it == name) {
      order.erase(it);
      break;
    }
  }
}

bool Package::modified() const {
  if (changed) return true;
  for (const auto& [name, p] : xml) {
    if (p->dirty) return true;
  }
  return false;
}

const std::vector<std::string>& Package::strings() {
  if (sharedStringsLoaded) return sharedStrings;
  // a part that is missing or cannot be read is reported at every use
  pugi::xml_node rels = part(workbookRelsPart).doc.document_element();
  for (pugi::xml_node rel = rels.first_child(); rel; rel = rel.next_sibling()) {
    if (!endsWith(rel.attribute("Type").value(), "/sharedStrings")) continue;
    const std::string name = resolveTarget(workbookPart, rel.attribute("Target").value());
    if (!has(name)) fail(format("工作簿缺少共享字符串部件 %1", {name}));
    // Parsed once into texts; the part itself is never changed.
    pugi::xml_document doc;
    const std::string& bytes = raw[name];
    const uint64_t memory = parseInto(*this, doc, name, bytes.data(), bytes.size());
    for (pugi::xml_node si = doc.document_element().first_child(); si; si = si.next_sibling()) {
      if (si.type() == pugi::node_element && std::strcmp(localName(si), "si") == 0) {
        sharedStrings.push_back(richText(si));
      }
    }
    treeMemory -= memory;  // the tree goes with doc
    break;
  }
  sharedStringsLoaded = true;
  return sharedStrings;
}

// Text of a shared-string item or an inline string: its t, or its runs' t.
std::string richText(const pugi::xml_node& node) {
  std::string text;
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
    const char* n = localName(c);
    if (std::strcmp(n, "t") == 0) text += c.child_value();
    else if (std::strcmp(n, "r") == 0) text += child(c, "t").child_value();
  }
  return decodeEscapes(text);
}

// ---- sheets ----

bool sameSheetName(const std::string& a, const std::string& b) {
  return QString::fromUtf8(a.data(), int(a.size()))
             .compare(QString::fromUtf8(b.data(), int(b.size())), Qt::CaseInsensitive) == 0;
}

namespace {

// Names that compare equal without regard to case have the same key.
std::string sheetKey(const std::string& name) {
  const QByteArray folded = QString::fromUtf8(name.data(), int(name.size())).toCaseFolded().toUtf8();
  return std::string(folded.constData(), size_t(folded.size()));
}

}  // namespace

void Package::addSheet(std::shared_ptr<Sheet> sheet) {
  sheetIndex.emplace(sheetKey(sheet->name), sheet);
  sheets.push_back(std::move(sheet));
}

void Package::indexSheets() {
  sheetIndex.clear();
  for (auto& s : sheets) sheetIndex.emplace(sheetKey(s->name), s);
}

std::shared_ptr<Sheet> Package::sharedSheet(const std::string& name) {
  auto it = sheetIndex.find(sheetKey(name));
  return it == sheetIndex.end() ? nullptr : it->second;
}

Sheet* Package::findSheet(const std::string& name) { return sharedSheet(name).get(); }

Sheet& Package::sheetByName(const std::string& name) {
  Sheet* s = findSheet(name);
  if (s == nullptr) fail(format("工作表 %1 不存在", {name}));
  return *s;
}

void Package::load(Sheet& sheet) {
  if (sheet.part != nullptr) return;
  if (!sheet.isWorksheet) fail(format("表页 %1 不是工作表", {sheet.name}));
  XmlPart& p = part(sheet.partName);
  pugi::xml_node root = p.doc.document_element();
  if (std::strcmp(localName(root), "worksheet") != 0) {
    fail(format("工作表 %1 的部件 %2 不是工作表", {sheet.name, sheet.partName}));
  }
  pugi::xml_node data = child(root, "sheetData");
  if (!data) fail(format("工作表 %1 的部件 %2 缺少 sheetData 元素", {sheet.name, sheet.partName}));
  sheet.prefix = prefixOf(root);
  sheet.rows.clear();
  uint32_t prevRow = 0;
  for (pugi::xml_node row = data.first_child(); row; row = row.next_sibling()) {
    if (row.type() != pugi::node_element || std::strcmp(localName(row), "row") != 0) continue;
    uint32_t r = prevRow + 1;
    pugi::xml_attribute ra = row.attribute("r");
    if (ra ? !parseRowNumber(ra.value(), &r) : r > kMaxRows) {
      fail(format("工作表 %1 的行号 %2 无效", {sheet.name, ra ? ra.value() : std::to_string(r)}));
    }
    if (r <= prevRow) {
      fail(format("工作表 %1 的第 %2 行重复或顺序错误", {sheet.name, std::to_string(r)}));
    }
    if (!ra) row.append_attribute("r") = r;
    prevRow = r;
    RowSlot& slot = sheet.rows.emplace_hint(sheet.rows.end(), r, RowSlot{row, {}})->second;
    uint32_t prevCol = 0;
    for (pugi::xml_node c = row.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element || std::strcmp(localName(c), "c") != 0) continue;
      uint32_t cr = r;
      uint16_t cc = 0;
      pugi::xml_attribute ca = c.attribute("r");
      if (ca) {
        try {
          parseAddress(ca.value(), &cr, &cc);
        } catch (const Error&) {
          fail(format("工作表 %1 的单元格地址 %2 无效", {sheet.name, ca.value()}));
        }
        if (cr != r) {
          fail(format("工作表 %1 的单元格 %2 不在它所在的第 %3 行", {sheet.name, ca.value(), std::to_string(r)}));
        }
      } else {
        if (prevCol >= kMaxColumns) fail(format("工作表 %1 的第 %2 行单元格过多", {sheet.name, std::to_string(r)}));
        cc = uint16_t(prevCol + 1);
        c.append_attribute("r") = (columnLetters(cc) + std::to_string(r)).c_str();
      }
      if (cc <= prevCol) {
        fail(format("工作表 %1 的单元格 %2 重复或顺序错误",
                    {sheet.name, columnLetters(cc) + std::to_string(r)}));
      }
      prevCol = cc;
      slot.cells.push_back(CellSlot{cc, c});
    }
  }
  sheet.sheetData = data;
  sheet.cols = child(root, "cols");
  sheet.sharedGroups.clear();
  sheet.sharedIndexed = false;
  sheet.lastRow = nullptr;
  sheet.lastRowNumber = 0;
  sheet.part = &p;
}

RowSlot* findRow(Sheet& sheet, uint32_t row) {
  if (sheet.lastRow != nullptr && sheet.lastRowNumber == row) return sheet.lastRow;
  auto it = sheet.rows.find(row);
  if (it == sheet.rows.end()) return nullptr;
  sheet.lastRowNumber = row;
  sheet.lastRow = &it->second;
  return sheet.lastRow;
}

std::vector<CellSlot>::iterator cellPlace(std::vector<CellSlot>& cells, uint16_t column) {
  if (cells.empty() || cells.back().column < column) return cells.end();
  return std::lower_bound(cells.begin(), cells.end(), column,
                          [](const CellSlot& c, uint16_t col) { return c.column < col; });
}

namespace {

// The style a new cell takes: its row's when the row is formatted, else its
// column's; "" for none.
const char* newCellStyle(const Sheet& sheet, pugi::xml_node row, uint16_t column) {
  if (row.attribute("customFormat").as_bool()) return row.attribute("s").value();
  for (pugi::xml_node col = sheet.cols.first_child(); col; col = col.next_sibling()) {
    if (col.type() == pugi::node_element && col.attribute("min").as_uint() <= column &&
        column <= col.attribute("max").as_uint()) {
      return col.attribute("style").value();
    }
  }
  return "";
}

}  // namespace

pugi::xml_node findCell(Sheet& sheet, uint32_t row, uint16_t column) {
  RowSlot* slot = findRow(sheet, row);
  if (slot == nullptr) return pugi::xml_node();
  auto at = cellPlace(slot->cells, column);
  return at != slot->cells.end() && at->column == column ? at->node : pugi::xml_node();
}

pugi::xml_node cellNode(Sheet& sheet, uint32_t row, uint16_t column) {
  RowSlot* slot = findRow(sheet, row);
  if (slot == nullptr) {
    auto next = sheet.rows.lower_bound(row);
    const std::string tag = sheet.prefix + "row";
    pugi::xml_node node = next == sheet.rows.end()
                              ? sheet.sheetData.append_child(tag.c_str())
                              : sheet.sheetData.insert_child_before(tag.c_str(), next->second.node);
    node.append_attribute("r") = row;
    slot = &sheet.rows.emplace_hint(next, row, RowSlot{node, {}})->second;
    sheet.lastRowNumber = row;
    sheet.lastRow = slot;
    sheet.part->dirty = true;
  }
  std::vector<CellSlot>& cells = slot->cells;
  auto at = cellPlace(cells, column);
  if (at != cells.end() && at->column == column) return at->node;
  const std::string tag = sheet.prefix + "c";
  pugi::xml_node node = at == cells.end() ? slot->node.append_child(tag.c_str())
                                          : slot->node.insert_child_before(tag.c_str(), at->node);
  node.append_attribute("r") = (columnLetters(column) + std::to_string(row)).c_str();
  const char* style = newCellStyle(sheet, slot->node, column);
  if (*style != '\0' && std::strcmp(style, "0") != 0) node.append_attribute("s") = style;
  slot->node.remove_attribute("spans");  // a hint that may no longer hold
  cells.insert(at, CellSlot{column, node});
  sheet.part->dirty = true;
  return node;
}

}  // namespace xlsx
