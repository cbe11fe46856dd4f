// Document, Workbook, Worksheet and Cell: the operations on an open package.
#include "internal.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <strings.h>
#include <unordered_map>
#include <unordered_set>

namespace xlsx {

namespace {

const char* const kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const char* const kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const char* const kWorksheetType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";
const char* const kWorksheetContent =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
const char* const kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

std::string worksheetXml(bool selected) {
  return std::string(kDecl) + "<worksheet xmlns=\"" + kMainNs + "\" xmlns:r=\"" + kRelNs +
         "\"><dimension ref=\"A1\"/><sheetViews><sheetView " +
         (selected ? "tabSelected=\"1\" " : "") +
         "workbookViewId=\"0\"/></sheetViews><sheetFormatPr defaultRowHeight=\"15\"/><sheetData/>"
         "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
         "footer=\"0.3\"/></worksheet>";
}

// The parts of a new workbook with one sheet "Sheet1".
std::shared_ptr<Package> newPackage() {
  auto pkg = std::make_shared<Package>();
  const std::string pkgRel = "http://schemas.openxmlformats.org/package/2006/relationships";
  const std::string docRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  pkg->addPart("[Content_Types].xml",
               std::string(kDecl) +
                   "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                   "<Default Extension=\"rels\" "
                   "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                   "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                   "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
                   "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
                   "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"" +
                   kWorksheetContent +
                   "\"/><Override PartName=\"/xl/styles.xml\" ContentType=\"application/"
                   "vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/></Types>");
  pkg->addPart("_rels/.rels", std::string(kDecl) + "<Relationships xmlns=\"" + pkgRel +
                                  "\"><Relationship Id=\"rId1\" Type=\"" + docRel +
                                  "officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
  pkg->addPart("xl/workbook.xml",
               std::string(kDecl) + "<workbook xmlns=\"" + kMainNs + "\" xmlns:r=\"" + kRelNs +
                   "\"><bookViews><workbookView/></bookViews><sheets><sheet name=\"Sheet1\" "
                   "sheetId=\"1\" r:id=\"rId1\"/></sheets><calcPr calcId=\"191029\"/></workbook>");
  pkg->addPart("xl/_rels/workbook.xml.rels",
               std::string(kDecl) + "<Relationships xmlns=\"" + pkgRel +
                   "\"><Relationship Id=\"rId1\" Type=\"" + kWorksheetType +
                   "\" Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId2\" Type=\"" +
                   docRel + "styles\" Target=\"styles.xml\"/></Relationships>");
  pkg->addPart("xl/styles.xml",
               std::string(kDecl) + "<styleSheet xmlns=\"" + kMainNs +
                   "\"><fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family "
                   "val=\"2\"/></font></fonts><fills count=\"2\"><fill><patternFill "
                   "patternType=\"none\"/></fill><fill><patternFill patternType=\"gray125\"/>"
                   "</fill></fills><borders count=\"1\"><border><left/><right/><top/><bottom/>"
                   "<diagonal/></border></borders><cellStyleXfs count=\"1\"><xf numFmtId=\"0\" "
                   "fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs><cellXfs "
                   "count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" "
                   "xfId=\"0\"/></cellXfs><cellStyles count=\"1\"><cellStyle name=\"Normal\" "
                   "xfId=\"0\" builtinId=\"0\"/></cellStyles></styleSheet>");
  pkg->addPart("xl/worksheets/sheet1.xml", worksheetXml(true));
  pkg->workbookPart = "xl/workbook.xml";
  pkg->workbookRelsPart = "xl/_rels/workbook.xml.rels";
  auto sheet = std::make_shared<Sheet>();
  sheet->name = "Sheet1";
  sheet->partName = "xl/worksheets/sheet1.xml";
  sheet->relId = "rId1";
  pkg->addSheet(sheet);
  return pkg;
}

pugi::xml_node workbookRoot(Package& pkg) { return pkg.part(pkg.workbookPart).doc.document_element(); }

pugi::xml_node sheetsElement(Package& pkg) {
  pugi::xml_node sheets = child(workbookRoot(pkg), "sheets");
  if (!sheets) fail(format("工作簿部件 %1 缺少 sheets 元素", {pkg.workbookPart}));
  return sheets;
}

// The <sheet> element of a sheet in the workbook's list.
pugi::xml_node sheetElement(Package& pkg, const Sheet& sheet) {
  pugi::xml_node sheets = sheetsElement(pkg);
  for (pugi::xml_node s = sheets.first_child(); s; s = s.next_sibling()) {
    // only a sheet entry, as the list was read (another element may carry
    // the same id)
    if (s.type() == pugi::node_element && std::strcmp(localName(s), "sheet") == 0 &&
        sheet.relId == relIdAttribute(s).value())
      return s;
  }
  fail(format("工作表 %1 不在工作簿的表页列表中", {sheet.name}));
}

// Reads the workbook's sheet list from an opened package.
void readSheets(Package& pkg, const std::string& path) {
  if (!pkg.has("[Content_Types].xml")) {
    fail(format("文件 %1 不是 xlsx 工作簿：缺少部件 [Content_Types].xml", {path}));
  }
  pkg.part("[Content_Types].xml");
  if (!pkg.has("_rels/.rels")) fail(format("文件 %1 不是 xlsx 工作簿：缺少部件 _rels/.rels", {path}));
  pugi::xml_node rootRels = pkg.part("_rels/.rels").doc.document_element();
  for (pugi::xml_node rel = rootRels.first_child(); rel; rel = rel.next_sibling()) {
    if (endsWith(rel.attribute("Type").value(), "/officeDocument") &&
        std::strcmp(rel.attribute("TargetMode").value(), "External") != 0) {
      pkg.workbookPart = resolveTarget("", rel.attribute("Target").value());
      break;
    }
  }
  if (pkg.workbookPart.empty() || !pkg.has(pkg.workbookPart)) {
    fail(format("文件 %1 不是 xlsx 工作簿：缺少工作簿部件 %2",
                {path, pkg.workbookPart.empty() ? "xl/workbook.xml" : pkg.workbookPart}));
  }
  pkg.workbookRelsPart = relsPartOf(pkg.workbookPart);
  if (!pkg.has(pkg.workbookRelsPart)) {
    fail(format("文件 %1 不是 xlsx 工作簿：缺少部件 %2", {path, pkg.workbookRelsPart}));
  }
  if (std::strcmp(localName(workbookRoot(pkg)), "workbook") != 0) {
    fail(format("文件 %1 不是 xlsx 工作簿：%2 不是工作簿", {path, pkg.workbookPart}));
  }
  // relationships by id, looked up once per sheet; an id given twice would
  // leave it to each reader (and to each edit) which of the two it means,
  // and one without an id is named by nothing (a sheet without an id has
  // no relationship)
  std::unordered_map<std::string_view, pugi::xml_node> rels;
  for (pugi::xml_node rel = pkg.part(pkg.workbookRelsPart).doc.document_element().first_child(); rel;
       rel = rel.next_sibling()) {
    if (rel.type() != pugi::node_element || *rel.attribute("Id").value() == '\0') continue;
    if (!rels.emplace(rel.attribute("Id").value(), rel).second) {
      fail(format("文件 %1 不是完好的 xlsx 工作簿：工作簿的两个关系使用同一个 Id %2",
                  {path, rel.attribute("Id").value()}));
    }
  }
  // the sheet that uses each part: two sheets on one part would edit one
  // tree through two indexes
  std::unordered_map<std::string, const Sheet*> owners;
  for (pugi::xml_node s = sheetsElement(pkg).first_child(); s; s = s.next_sibling()) {
    if (s.type() != pugi::node_element || std::strcmp(localName(s), "sheet") != 0) continue;
    auto sheet = std::make_shared<Sheet>();
    sheet->name = s.attribute("name").value();
    sheet->relId = relIdAttribute(s).value();
    auto found = rels.find(sheet->relId);
    if (found == rels.end() || std::strcmp(found->second.attribute("TargetMode").value(), "External") == 0) {
      fail(format("工作表 %1 的关系 %2 在工作簿中不存在", {sheet->name, sheet->relId}));
    }
    const pugi::xml_node rel = found->second;
    sheet->partName = resolveTarget(pkg.workbookPart, rel.attribute("Target").value());
    sheet->isWorksheet = endsWith(rel.attribute("Type").value(), "/worksheet");
    if (!pkg.has(sheet->partName)) {
      fail(format("工作表 %1 的部件 %2 在文件中不存在", {sheet->name, sheet->partName}));
    }
    auto [owner, first] = owners.emplace(sheet->partName, sheet.get());
    if (!first) {
      fail(format("文件 %1 不是完好的 xlsx 工作簿：工作表 %2 和 %3 指向同一个部件 %4",
                  {path, owner->second->name, sheet->name, sheet->partName}));
    }
    pkg.addSheet(sheet);
  }
}

// ---- relationships and content types ----

// The values of the workbook's namespaced attributes: every relationship id
// it refers to (r:id and the like), with a few other values.
std::unordered_set<std::string> workbookReferences(Package& pkg) {
  struct Walker : pugi::xml_tree_walker {
    std::unordered_set<std::string> values;
    bool for_each(pugi::xml_node& n) override {
      for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
        if (std::strchr(a.name(), ':') != nullptr) values.insert(a.value());
      }
      return true;
    }
  } walker;
  pkg.part(pkg.workbookPart).doc.traverse(walker);
  return std::move(walker.values);
}

// The part a relationship of source leads to; "" when it leads outside the
// package.
std::string internalTarget(const std::string& source, pugi::xml_node rel) {
  if (std::strcmp(rel.attribute("TargetMode").value(), "External") == 0) return std::string();
  try {
    return resolveTarget(source, rel.attribute("Target").value());
  } catch (const Error&) {
    return std::string();
  }
}

// The part whose relationships a relationships part holds ("" for the
// package's own); false when the name is not that of a relationships part.
bool relationshipsSource(const std::string& rels, std::string* source) {
  const size_t at = rels.rfind("_rels/");
  if (at == std::string::npos || (at != 0 && rels[at - 1] != '/') || rels.find('/', at + 6) != std::string::npos ||
      !endsWith(rels.c_str(), ".rels")) {
    return false;
  }
  *source = rels.substr(0, at) + rels.substr(at + 6, rels.size() - at - 6 - 5);
  return true;
}

// Whether the package still needs a part that a relationship no longer
// leads to: one of its own (content types, relationships), or a part that a
// relationship of any part (or of one that cannot be read) may lead to.
bool inUse(Package& pkg, const std::string& part) {
  std::string source;
  if (part == "[Content_Types].xml" || relationshipsSource(part, &source)) return true;
  const std::string file = part.substr(part.rfind('/') + 1);
  for (const std::string& name : pkg.order) {
    if (!relationshipsSource(name, &source)) continue;
    // only those that name the file can lead to it
    if (pkg.xml.count(name) == 0 && pkg.raw[name].find(file) == std::string::npos) continue;
    try {
      for (pugi::xml_node rel : pkg.part(name).doc.document_element().children()) {
        if (rel.type() == pugi::node_element && internalTarget(source, rel) == part) return true;
      }
    } catch (const Error&) {
      return true;
    }
  }
  return false;
}

std::string addRelationship(Package& pkg, const char* type, const std::string& part) {
  XmlPart& relsPart = pkg.part(pkg.workbookRelsPart);
  pugi::xml_node rels = relsPart.doc.document_element();
  // nor an id the workbook already names without a relationship for it
  std::unordered_set<std::string> taken = workbookReferences(pkg);
  for (pugi::xml_node r = rels.first_child(); r; r = r.next_sibling()) taken.insert(r.attribute("Id").value());
  int n = 1;
  while (taken.count("rId" + std::to_string(n)) != 0) ++n;
  const std::string id = "rId" + std::to_string(n);
  // relative to the workbook's folder when the part lies below it
  const size_t slash = pkg.workbookPart.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : pkg.workbookPart.substr(0, slash + 1);
  const std::string target = part.compare(0, dir.size(), dir) == 0 ? part.substr(dir.size()) : "/" + part;
  pugi::xml_node rel = rels.append_child((prefixOf(rels) + "Relationship").c_str());
  rel.append_attribute("Id") = id.c_str();
  rel.append_attribute("Type") = type;
  rel.append_attribute("Target") = target.c_str();
  relsPart.dirty = true;
  return id;
}

void removeRelationship(Package& pkg, const std::string& id) {
  XmlPart& relsPart = pkg.part(pkg.workbookRelsPart);
  pugi::xml_node rel = relsPart.doc.document_element().find_child_by_attribute("Id", id.c_str());
  if (rel) {
    rel.parent().remove_child(rel);
    relsPart.dirty = true;
  }
}

}  // namespace

void addOverride(Package& pkg, const std::string& part, const char* contentType) {
  XmlPart& types = pkg.part("[Content_Types].xml");
  pugi::xml_node root = types.doc.document_element();
  pugi::xml_node o = root.append_child((prefixOf(root) + "Override").c_str());
  o.append_attribute("PartName") = ("/" + part).c_str();
  o.append_attribute("ContentType") = contentType;
  types.dirty = true;
}

namespace {

void removeOverride(Package& pkg, const std::string& part) {
  XmlPart& types = pkg.part("[Content_Types].xml");
  pugi::xml_node root = types.doc.document_element();
  pugi::xml_node o = root.find_child_by_attribute("PartName", ("/" + part).c_str());
  if (o) {
    root.remove_child(o);
    types.dirty = true;
  }
}

// A name for a new sheet part that neither a part (nor its relationships),
// nor a content type names, in any case: part names compare without regard
// to case.
std::string newSheetPart(Package& pkg) {
  const size_t slash = pkg.workbookPart.rfind('/');
  const std::string stem = (slash == std::string::npos ? "" : pkg.workbookPart.substr(0, slash + 1)) +
                           "worksheets/sheet";
  std::unordered_set<uint64_t> taken;  // the numbers of the names stem + N + ".xml"
  auto take = [&](const std::string& name) {
    if (name.size() <= stem.size() || strncasecmp(name.c_str(), stem.c_str(), stem.size()) != 0) return;
    uint64_t n = 0;
    size_t i = stem.size();
    for (; i < name.size() && i < stem.size() + 18 && name[i] >= '0' && name[i] <= '9'; ++i) {
      n = n * 10 + uint64_t(name[i] - '0');
    }
    if (i > stem.size() && strcasecmp(name.c_str() + i, ".xml") == 0) taken.insert(n);
  };
  std::string source;
  for (const std::string& name : pkg.order) take(relationshipsSource(name, &source) ? source : name);
  for (pugi::xml_node o : pkg.part("[Content_Types].xml").doc.document_element().children()) {
    const char* name = o.attribute("PartName").value();
    if (*name == '/') take(name + 1);
  }
  uint64_t n = 1;
  while (taken.count(n) != 0) ++n;
  return stem + std::to_string(n) + ".xml";
}

// The prefix of the relationships namespace, which the root of every
// workbook declares: the one it has, when that is a name an attribute may
// begin with, else a new one.
std::string relationshipsPrefix(Package& pkg) {
  pugi::xml_node root = workbookRoot(pkg);
  auto isName = [](const char* p) {
    if (!std::isalpha(static_cast<unsigned char>(*p)) && *p != '_') return false;
    for (; *p != '\0'; ++p) {
      if (!std::isalnum(static_cast<unsigned char>(*p)) && std::strchr("_-.", *p) == nullptr) return false;
    }
    return true;
  };
  for (pugi::xml_attribute a = root.first_attribute(); a; a = a.next_attribute()) {
    if (std::strcmp(a.value(), kRelNs) == 0 && std::strncmp(a.name(), "xmlns:", 6) == 0 && isName(a.name() + 6)) {
      return a.name() + 6;
    }
  }
  std::string prefix = "r";
  for (int n = 1; root.attribute(("xmlns:" + prefix).c_str()); ++n) prefix = "r" + std::to_string(n);
  root.append_attribute(("xmlns:" + prefix).c_str()) = kRelNs;
  return prefix;
}

// Adds a sheet part (already in the package) at the end of the sheet list.
void appendSheet(Package& pkg, const std::string& name, const std::string& partName) {
  addOverride(pkg, partName, kWorksheetContent);
  const std::string relId = addRelationship(pkg, kWorksheetType, partName);
  pugi::xml_node sheets = sheetsElement(pkg);
  unsigned maxId = 0;
  for (pugi::xml_node s = sheets.first_child(); s; s = s.next_sibling()) {
    maxId = std::max(maxId, s.attribute("sheetId").as_uint());
  }
  pugi::xml_node s = sheets.append_child((prefixOf(sheets) + "sheet").c_str());
  s.append_attribute("name") = name.c_str();
  s.append_attribute("sheetId") = maxId + 1;
  s.append_attribute((relationshipsPrefix(pkg) + ":id").c_str()) = relId.c_str();
  pkg.part(pkg.workbookPart).dirty = true;
  auto sheet = std::make_shared<Sheet>();
  sheet->name = name;
  sheet->partName = partName;
  sheet->relId = relId;
  pkg.addSheet(sheet);
  pkg.changed = true;
}

void checkNewName(Package& pkg, const std::string& name, const Sheet* except) {
  checkSheetName(name);
  Sheet* other = pkg.findSheet(name);
  if (other != nullptr && other != except) fail(format("工作表名称 %1 已经存在", {name}));
}

// ---- saving ----

struct StringWriter : pugi::xml_writer {
  std::string* out;
  void write(const void* data, size_t size) override {
    out->append(static_cast<const char*>(data), size);
  }
};

std::string serialize(pugi::xml_document& doc) {
  pugi::xml_node decl = doc.first_child();
  if (decl.type() == pugi::node_declaration && decl.attribute("encoding")) {
    decl.attribute("encoding") = "UTF-8";  // the text below is UTF-8 whatever was read
  }
  std::string out;
  StringWriter w;
  w.out = &out;
  doc.save(w, "", pugi::format_raw, pugi::encoding_utf8);
  return out;
}

// After any change: the calculation chain may name cells that no longer hold
// formulas, so it goes, and the program recalculates on load. What anything
// else still uses stays: a chain's relationship that the workbook names, and
// a part the package still needs.
void prepareForRecalculation(Package& pkg) {
  XmlPart& relsPart = pkg.part(pkg.workbookRelsPart);
  pugi::xml_node rels = relsPart.doc.document_element();
  std::optional<std::unordered_set<std::string>> referenced;  // read when there is a chain
  for (pugi::xml_node rel = rels.first_child(); rel;) {
    pugi::xml_node next = rel.next_sibling();
    if (endsWith(rel.attribute("Type").value(), "/calcChain")) {
      if (!referenced) referenced = workbookReferences(pkg);
      if (referenced->count(rel.attribute("Id").value()) == 0) {
        const std::string part = internalTarget(pkg.workbookPart, rel);
        rels.remove_child(rel);
        relsPart.dirty = true;
        if (!part.empty() && !inUse(pkg, part)) {
          pkg.removePart(part);
          removeOverride(pkg, part);
        }
      }
    }
    rel = next;
  }
  pugi::xml_node root = workbookRoot(pkg);
  pugi::xml_node calc = child(root, "calcPr");
  if (!calc) {
    pugi::xml_node after;
    for (const char* n : {"sheets", "functionGroups", "externalReferences", "definedNames"}) {
      if (pugi::xml_node c = child(root, n)) after = c;
    }
    const std::string tag = prefixOf(root) + "calcPr";
    calc = after ? root.insert_child_after(tag.c_str(), after) : root.append_child(tag.c_str());
  }
  if (!calc.attribute("fullCalcOnLoad")) calc.append_attribute("fullCalcOnLoad");
  calc.attribute("fullCalcOnLoad") = "1";
  pkg.part(pkg.workbookPart).dirty = true;
}

void updateDimension(Sheet& sheet) {
  pugi::xml_node dim = child(sheet.part->doc.document_element(), "dimension");
  if (!dim) return;
  uint32_t minCol = kMaxColumns + 1, maxCol = 0, minRow = 0, maxRow = 0;
  for (const auto& [r, slot] : sheet.rows) {
    if (slot.cells.empty()) continue;
    if (minRow == 0) minRow = r;
    maxRow = r;
    minCol = std::min<uint32_t>(minCol, slot.cells.front().column);
    maxCol = std::max<uint32_t>(maxCol, slot.cells.back().column);
  }
  std::string ref = "A1";
  if (maxRow != 0) {
    ref = columnLetters(minCol) + std::to_string(minRow);
    if (minRow != maxRow || minCol != maxCol) ref += ":" + columnLetters(maxCol) + std::to_string(maxRow);
  }
  if (!dim.attribute("ref")) dim.append_attribute("ref");
  dim.attribute("ref") = ref.c_str();
}

void savePackage(Package& pkg, const std::string& path) {
  if (pkg.changed) prepareForRecalculation(pkg);
  for (auto& s : pkg.sheets) {
    if (s->part != nullptr && s->part->dirty) updateDimension(*s);
  }
  std::vector<std::string> texts;
  texts.reserve(pkg.order.size());
  std::vector<std::pair<const std::string*, XmlPart*>> written;  // the parts texts[k] was made from
  std::vector<std::pair<std::string, const std::string*>> entries;
  for (const std::string& name : pkg.order) {
    auto x = pkg.xml.find(name);
    if (x != pkg.xml.end() && x->second->dirty) {
      texts.push_back(serialize(x->second->doc));
      written.emplace_back(&name, x->second.get());
      entries.emplace_back(name, &texts.back());
    } else {
      entries.emplace_back(name, &pkg.raw[name]);
    }
  }
  writeZip(path, entries);
  // the file now holds these bytes: later saves start from them
  for (size_t k = 0; k < written.size(); ++k) {
    pkg.raw[*written[k].first] = std::move(texts[k]);
    written[k].second->dirty = false;
  }
  pkg.changed = false;
}

// ---- cells ----

std::shared_ptr<Package> lockPackage(const std::weak_ptr<Package>& pkg) {
  std::shared_ptr<Package> p = pkg.lock();
  if (!p) fail("Excel 文件没有打开或已经关闭");
  return p;
}

struct Locked {
  std::shared_ptr<Package> pkg;
  std::shared_ptr<Sheet> sheet;
};

Locked lockSheet(bool bound, const std::weak_ptr<Package>& pkg, const std::weak_ptr<Sheet>& sheet) {
  if (!bound) fail("工作表对象没有关联任何 Excel 文件中的表页");
  Locked l{pkg.lock(), sheet.lock()};
  if (!l.pkg) fail("工作表所在的 Excel 文件已经关闭，不能再使用这个工作表");
  if (!l.sheet) fail("这个工作表已经被删除，不能再使用");
  l.pkg->load(*l.sheet);
  return l;
}

// Every attribute of that name: the reader takes the first, and a repeat
// (damaged markup) left behind would be read in its place.
void removeAttribute(pugi::xml_node n, const char* name) {
  while (n.remove_attribute(name)) {
  }
}

void removeChildren(pugi::xml_node c, std::initializer_list<const char*> names) {
  for (pugi::xml_node n = c.first_child(); n;) {
    pugi::xml_node next = n.next_sibling();
    for (const char* name : names) {
      if (std::strcmp(localName(n), name) == 0) {
        c.remove_child(n);
        break;
      }
    }
    n = next;
  }
}

struct CellRead {
  ValueType type = ValueType::Empty;
  bool b = false;
  int64_t i = 0;
  double d = 0;
  std::string s;
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(const char* text) {
  std::string_view v(text);
  while (!v.empty() && blank(v.front())) v.remove_prefix(1);
  while (!v.empty() && blank(v.back())) v.remove_suffix(1);
  return v;
}

// A number as a spreadsheet writes it: an integer, or a decimal.
bool readNumber(std::string_view text, CellRead& r) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* first = begin + (text[0] == '-' ? 1 : 0);
  if (first == end || !((*first >= '0' && *first <= '9') || *first == '.')) return false;  // no inf, nan
  const auto whole = [end](std::from_chars_result res) { return res.ec == std::errc() && res.ptr == end; };
  if (text.find_first_of(".eE") == std::string_view::npos && whole(std::from_chars(begin, end, r.i))) {
    r.type = ValueType::Integer;
  } else if (whole(std::from_chars(begin, end, r.d))) {
    r.type = ValueType::Float;
  } else {
    return false;
  }
  return true;
}

// Days from 1970-01-01 to a date of the Gregorian calendar.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

bool date1904(Package& pkg) {
  if (pkg.date1904 < 0) {
    pkg.date1904 = child(workbookRoot(pkg), "workbookPr").attribute("date1904").as_bool() ? 1 : 0;
  }
  return pkg.date1904 == 1;
}

// An ISO 8601 date, date and time, or time ("2014-01-01", "2021-01-01T10:10:10.5",
// "10:10") as the serial number a numeric date cell holds: days since the
// workbook's epoch, the time of day as the fraction. A zone suffix is left
// aside: the cell shows the time as written.
bool readIsoDate(Package& pkg, std::string_view text, CellRead& r) {
  size_t i = 0;
  const auto number = [&](size_t digits, int64_t* out) {
    if (i + digits > text.size()) return false;
    *out = 0;
    for (size_t k = 0; k < digits; ++k, ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      *out = *out * 10 + (text[i] - '0');
    }
    return true;
  };
  const auto skip = [&](char c) {
    if (i >= text.size() || text[i] != c) return false;
    ++i;
    return true;
  };
  int64_t days = 0;
  const bool hasDate = text.size() >= 10 && text[4] == '-';
  if (hasDate) {
    int64_t y, m, d;
    if (!number(4, &y) || !skip('-') || !number(2, &m) || !skip('-') || !number(2, &d)) return false;
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m < 1 || m > 12 || d < 1 || d > kMonthDays[m - 1] || (m == 2 && d == 29 && !leap)) return false;
    if (date1904(pkg)) {
      days = daysFromCivil(y, m, d) - daysFromCivil(1904, 1, 1);
    } else {
      days = daysFromCivil(y, m, d) - daysFromCivil(1899, 12, 30);
      if (days < 61) --days;  // the 1900 system counts a 29 February 1900 that never was
    }
    if (i == text.size()) {
      r.type = ValueType::Integer;
      r.i = days;
      return true;
    }
    if (!skip('T') && !skip(' ')) return false;
  } else {
    skip('T');
  }
  int64_t h, mi, sec = 0;
  if (!number(2, &h) || !skip(':') || !number(2, &mi)) return false;
  if (skip(':') && !number(2, &sec)) return false;
  double fraction = 0;
  if (skip('.') || skip(',')) {
    double scale = 0.1;
    const size_t from = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) fraction += (text[i] - '0') * scale;
    if (i == from) return false;
  }
  if (!skip('Z') && i < text.size()) {  // +hh:mm, -hhmm, +hh
    int64_t zh, zm = 0;
    if (!skip('+') && !skip('-')) return false;
    if (!number(2, &zh) || (skip(':') ? !number(2, &zm) : (i < text.size() && !number(2, &zm)))) return false;
    if (zh > 23 || zm > 59) return false;
  }
  if (i != text.size() || h > 24 || mi > 59 || sec > 59 || (h == 24 && (mi || sec || fraction > 0))) return false;
  const double seconds = double(h * 3600 + mi * 60 + sec) + fraction;
  if (seconds == 0) {
    r.type = ValueType::Integer;
    r.i = days;
  } else {
    r.type = ValueType::Float;
    r.d = double(days) + seconds / 86400.0;
  }
  return true;
}

CellRead readCell(Package& pkg, pugi::xml_node c) {
  CellRead r;
  if (!c) return r;
  const char* t = c.attribute("t").value();
  pugi::xml_node v = child(c, "v");
  if (std::strcmp(t, "inlineStr") == 0) {
    r.type = ValueType::String;
    r.s = richText(child(c, "is"));
    return r;
  }
  if (!v) return r;
  if (std::strcmp(t, "str") == 0) {
    r.type = ValueType::String;
    r.s = decodeEscapes(v.child_value());
    return r;
  }
  if (std::strcmp(t, "e") == 0) {
    r.type = ValueType::Error;
    return r;
  }
  // blanks around the text do not count, and no text is no value
  const std::string_view text = trimmed(v.child_value());
  if (text.empty()) return r;
  const auto shown = [&] { return std::string(text); };
  if (std::strcmp(t, "s") == 0) {
    const std::vector<std::string>& strings = pkg.strings();
    unsigned long index = 0;
    const char* end = text.data() + text.size();
    auto res = std::from_chars(text.data(), end, index);
    if (res.ec != std::errc() || res.ptr != end || index >= strings.size()) {
      fail(format("单元格 %1 引用的共享字符串 %2 不存在", {c.attribute("r").value(), shown()}));
    }
    r.type = ValueType::String;
    r.s = strings[index];
  } else if (std::strcmp(t, "b") == 0) {
    r.type = ValueType::Boolean;
    r.b = text == "1" || text == "true";
  } else if (*t == '\0' || std::strcmp(t, "n") == 0) {
    if (text[0] == '#') {
      r.type = ValueType::Error;  // an error value such as #N/A written as a number
    } else if (!readNumber(text, r)) {
      fail(format("单元格 %1 的数值 \"%2\" 不是数字，无法读取", {c.attribute("r").value(), shown()}));
    }
  } else if (std::strcmp(t, "d") == 0) {
    if (!readIsoDate(pkg, text, r)) {
      fail(format("单元格 %1 的日期 \"%2\" 不是有效的日期或时间，无法读取", {c.attribute("r").value(), shown()}));
    }
  }
  // unknown types read as empty
  return r;
}

// ---- shared formulas ----
// A formula filled over many cells may be stored once: the group's first
// cell holds the text and the range (<f t="shared" ref="B1:B3" si="0">A1*2</f>),
// the others only name the group (<f t="shared" si="0"/>) and stand for the
// text moved by their offset from the first.

bool isShared(pugi::xml_node f) { return std::strcmp(f.attribute("t").value(), "shared") == 0; }

bool holdsSharedText(pugi::xml_node f) {
  return isShared(f) && (f.attribute("ref") || *f.child_value() != '\0');
}

// Finds the text and the cells of every group of the sheet, once.
void indexSharedFormulas(Sheet& sheet) {
  if (sheet.sharedIndexed) return;
  for (auto& [r, slot] : sheet.rows) {
    for (CellSlot& c : slot.cells) {
      pugi::xml_node f = child(c.node, "f");
      if (!isShared(f)) continue;
      Sheet::SharedGroup& g = sheet.sharedGroups[f.attribute("si").value()];
      g.top = std::min(g.top, r);
      g.bottom = std::max(g.bottom, r);
      g.left = std::min(g.left, c.column);
      g.right = std::max(g.right, c.column);
      // the cell with the range is the group's own; others may repeat the text
      if (holdsSharedText(f) && (f.attribute("ref") || g.row == 0)) {
        g.row = r;
        g.column = c.column;
      }
    }
  }
  sheet.sharedIndexed = true;
}

// The formula a cell of a group stands for; "" when the group's text is gone.
std::string sharedFormula(Sheet& sheet, pugi::xml_node f, uint32_t row, uint16_t column) {
  indexSharedFormulas(sheet);
  const char* si = f.attribute("si").value();
  auto it = sheet.sharedGroups.find(si);
  if (it == sheet.sharedGroups.end() || it->second.row == 0) return std::string();
  const uint32_t r = it->second.row;
  const uint16_t c = it->second.column;
  pugi::xml_node text = child(findCell(sheet, r, c), "f");
  if (!holdsSharedText(text) || std::strcmp(text.attribute("si").value(), si) != 0) return std::string();
  return moveFormula(text.child_value(), int64_t(row) - r, int64_t(column) - c);
}

// The rows and columns a range ("B2:D6", "D6:B2" or one cell) spans, in
// order; left unset when the range cannot be read.
void readRange(const std::string& ref, uint32_t* top, uint16_t* left, uint32_t* bottom, uint16_t* right) {
  try {
    const size_t colon = ref.find(':');
    uint32_t r1, r2;
    uint16_t c1, c2;
    parseAddress(ref.substr(0, colon), &r1, &c1);
    if (colon == std::string::npos) {
      r2 = r1;
      c2 = c1;
    } else {
      parseAddress(ref.substr(colon + 1), &r2, &c2);
    }
    *top = std::min(r1, r2);
    *bottom = std::max(r1, r2);
    *left = std::min(c1, c2);
    *right = std::max(c1, c2);
  } catch (const Error&) {
  }
}

// Before the cell holding a group's text changes or goes: every other cell
// of the group, wherever it lies, gets the formula it stands for as its own.
// A cell that only repeats the text of a group changes alone.
void releaseSharedFormula(Sheet& sheet, pugi::xml_node cell, uint32_t row, uint16_t column) {
  pugi::xml_node f = child(cell, "f");
  if (!holdsSharedText(f)) return;
  indexSharedFormulas(sheet);
  const std::string si = f.attribute("si").value();
  auto group = sheet.sharedGroups.find(si);
  if (group == sheet.sharedGroups.end() || group->second.row != row || group->second.column != column) return;
  const Sheet::SharedGroup g = group->second;
  const std::string text = f.child_value();
  for (auto r = sheet.rows.lower_bound(g.top); r != sheet.rows.end() && r->first <= g.bottom; ++r) {
    std::vector<CellSlot>& cells = r->second.cells;
    for (auto c = cellPlace(cells, g.left); c != cells.end() && c->column <= g.right; ++c) {
      pugi::xml_node member = child(c->node, "f");
      if (c->node == cell || !isShared(member) || si != member.attribute("si").value()) continue;
      if (*member.child_value() == '\0') {
        member.text().set(moveFormula(text, int64_t(r->first) - row, int64_t(c->column) - column).c_str());
      }
      for (const char* a : {"t", "si", "ref"}) removeAttribute(member, a);
    }
  }
  sheet.sharedGroups.erase(group);
  sheet.part->dirty = true;
}

void checkUtf8(const std::string& s) {
  if (!validUtf8(s)) fail("写入单元格的文本不是有效的 UTF-8 编码");
}

pugi::xml_node childOrNew(pugi::xml_node parent, const char* local, const std::string& prefix) {
  pugi::xml_node n = child(parent, local);
  return n ? n : parent.append_child((prefix + local).c_str());
}

void setAttr(pugi::xml_node n, const char* name, const char* value) {
  pugi::xml_attribute a = n.attribute(name);
  if (!a) a = n.append_attribute(name);
  a = value;
  // a repeat of the attribute (damaged markup) would speak after the save
  for (pugi::xml_attribute b = a.next_attribute(); b;) {
    pugi::xml_attribute next = b.next_attribute();
    if (std::strcmp(b.name(), name) == 0) n.remove_attribute(b);
    b = next;
  }
}

// ---- sheet references across the package ----

// How a text names sheets: as formulas write them ("Data!A1",
// "'My Data'!A1", "Data:Data2!A1"), or as the bare name.
enum class SheetText { None, Formula, Bare };

// Elements whose text is a formula: cells' (shared and array groups too)
// and the extension forms' <xm:f> (validations, conditional formats,
// sparklines), chart series, conditional formats, validations, defined
// names (printing titles and areas among them), table columns, and the
// form controls of legacy drawings.
bool formulaElement(const char* local) {
  static const char* const kElements[] = {"f", "formula", "formula1", "formula2", "definedName",
                                          "calculatedColumnFormula", "totalsRowFormula", "FmlaLink",
                                          "FmlaRange", "FmlaGroup", "FmlaTxbx", "FmlaPict"};
  for (const char* e : kElements) {
    if (std::strcmp(local, e) == 0) return true;
  }
  return false;
}

// Attributes that name sheets: link locations, the thresholds of colour
// scales, data bars and icon sets, a drawing shape's text link, form
// controls' links and ranges; the sources of pivot caches and of data
// consolidation give the bare name (unless a relationship id places them
// in another workbook).
SheetText attributeText(const pugi::xml_node& element, const char* local, const char* attribute) {
  struct Rule {
    const char* element;
    const char* attribute;
    SheetText text;
  };
  static const Rule kRules[] = {
      {"hyperlink", "location", SheetText::Formula}, {"cfvo", "val", SheetText::Formula},
      {"sp", "textlink", SheetText::Formula},        {"formControlPr", "fmlaLink", SheetText::Formula},
      {"formControlPr", "fmlaRange", SheetText::Formula}, {"formControlPr", "fmlaGroup", SheetText::Formula},
      {"formControlPr", "fmlaTxbx", SheetText::Formula},  {"worksheetSource", "sheet", SheetText::Bare},
      {"dataRef", "sheet", SheetText::Bare},         {"rangeSet", "sheet", SheetText::Bare}};
  for (const Rule& r : kRules) {
    if (std::strcmp(local, r.element) != 0 || std::strcmp(attribute, r.attribute) != 0) continue;
    return r.text == SheetText::Bare && relIdAttribute(element) ? SheetText::None : r.text;
  }
  return SheetText::None;
}

// Content types of the parts, besides the workbook and its sheets, that
// may name sheets.
const char* const kReferringTypes[] = {
    "drawingml.chart+xml", ".chartex+xml", "officedocument.drawing+xml", "spreadsheetml.table+xml",
    "spreadsheetml.pivotCacheDefinition+xml", "ms-excel.controlproperties+xml"};

struct SheetRenamer : pugi::xml_tree_walker {
  SheetRenamer(const std::string& from, const std::string& to) : oldName(from), newName(to) {}
  const std::string& oldName;
  const std::string& newName;
  bool changed = false;

  // The text naming the new name where it named the old; false when it
  // did not name it.
  bool rename(const char* text, SheetText kind, std::string* out) const {
    if (*text == '\0') return false;
    if (kind == SheetText::Bare) {
      if (!sameSheetName(text, oldName)) return false;
      *out = newName;
    } else {
      *out = renameSheetInFormula(text, oldName, newName);
    }
    return *out != text;
  }

  // The whole part; of a sheet's cells only their formulas are looked at.
  void renameIn(pugi::xml_document& doc) {
    pugi::xml_node root = doc.document_element();
    for_each(root);
    for (pugi::xml_node n = root.first_child(); n; n = n.next_sibling()) {
      if (n.type() != pugi::node_element) continue;
      if (std::strcmp(localName(n), "sheetData") != 0) {
        for_each(n);
        n.traverse(*this);
        continue;
      }
      for (pugi::xml_node row = n.first_child(); row; row = row.next_sibling()) {
        for (pugi::xml_node c = row.first_child(); c; c = c.next_sibling()) {
          if (pugi::xml_node f = child(c, "f")) for_each(f);
        }
      }
    }
  }

  bool for_each(pugi::xml_node& n) override {
    if (n.type() != pugi::node_element) return true;
    const char* local = localName(n);
    std::string text;
    if (formulaElement(local) && rename(n.child_value(), SheetText::Formula, &text)) {
      n.text().set(text.c_str());
      changed = true;
    }
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
      const SheetText kind = attributeText(n, local, a.name());
      if (kind != SheetText::None && rename(a.value(), kind, &text)) {
        a = text.c_str();
        changed = true;
      }
    }
    return true;
  }

  // Links within the workbook that a relationship holds ("#Data!A1").
  bool renameLinkTargets(pugi::xml_node rels) {
    bool any = false;
    std::string text;
    for (pugi::xml_node rel = rels.first_child(); rel; rel = rel.next_sibling()) {
      pugi::xml_attribute target = rel.attribute("Target");
      if (!endsWith(rel.attribute("Type").value(), "/hyperlink") || *target.value() != '#') continue;
      if (rename(target.value() + 1, SheetText::Formula, &text)) {
        target = ("#" + text).c_str();
        any = true;
      }
    }
    return any;
  }
};

// Points every reference to sheet oldName anywhere in the package at
// newName; the sheet list itself is the caller's. Every part to rewrite is
// read before anything changes, so a part that cannot be read leaves the
// package as it was.
void renameSheetReferences(Package& pkg, const std::string& oldName, const std::string& newName) {
  std::vector<XmlPart*> parts{&pkg.part(pkg.workbookPart)};
  for (auto& s : pkg.sheets) parts.push_back(&pkg.part(s->partName));
  std::unordered_set<std::string> referring;
  for (pugi::xml_node o : pkg.part("[Content_Types].xml").doc.document_element().children()) {
    const char* type = o.attribute("ContentType").value();
    const char* name = o.attribute("PartName").value();
    for (const char* t : kReferringTypes) {
      if (endsWith(type, t) && *name == '/') referring.insert(name + 1);
    }
  }
  std::vector<XmlPart*> rels;
  for (const std::string& name : pkg.order) {
    // legacy drawings and relationships are read only when they may hold a
    // form control's link or a link's target
    const auto raw = pkg.raw.find(name);
    const auto holds = [&](const char* what) {
      return pkg.xml.count(name) != 0 || (raw != pkg.raw.end() && raw->second.find(what) != std::string::npos);
    };
    if (referring.count(name) != 0) {
      parts.push_back(&pkg.part(name));
    } else if (endsWith(name.c_str(), ".vml") && holds("Fmla")) {
      parts.push_back(&pkg.part(name));
    } else if (endsWith(name.c_str(), ".rels") && holds("#")) {
      rels.push_back(&pkg.part(name));
    }
  }
  SheetRenamer renamer(oldName, newName);
  for (XmlPart* part : parts) {
    renamer.changed = false;
    renamer.renameIn(part->doc);
    if (renamer.changed) part->dirty = true;
  }
  for (XmlPart* part : rels) {
    if (renamer.renameLinkTargets(part->doc.document_element())) part->dirty = true;
  }
}

}  // namespace

// ---- Document ----

Document::Document() = default;
Document::~Document() = default;

void Document::create(const std::string& path) {
  close();
  std::shared_ptr<Package> pkg = newPackage();
  savePackage(*pkg, path);
  pkg_ = pkg;
  path_ = path;
}

void Document::open(const std::string& path) {
  close();
  auto pkg = std::make_shared<Package>();
  readZip(path, *pkg);
  readSheets(*pkg, path);
  pkg_ = pkg;
  path_ = path;
}

bool Document::isOpen() const { return pkg_ != nullptr; }

void Document::save() {
  if (!pkg_) fail("Excel 文件没有打开，无法保存");
  // nothing to write: the file already holds every part as it is
  std::error_code ec;
  if (!pkg_->modified() && std::filesystem::is_regular_file(path_, ec)) return;
  savePackage(*pkg_, path_);
}

void Document::saveAs(const std::string& path) {
  if (!pkg_) fail("Excel 文件没有打开，无法保存");
  savePackage(*pkg_, path);
  path_ = path;
}

void Document::close() { pkg_.reset(); }

Workbook Document::workbook() const {
  if (!pkg_) fail("Excel 文件没有打开");
  return Workbook(pkg_);
}

// ---- Workbook ----

Worksheet Workbook::worksheet(const std::string& name) const {
  std::shared_ptr<Package> pkg = lockPackage(pkg_);
  std::shared_ptr<Sheet> s = pkg->sharedSheet(name);
  if (!s) fail(format("工作表 %1 不存在", {name}));
  if (!s->isWorksheet) fail(format("表页 %1 不是工作表", {s->name}));
  return Worksheet(pkg, s);
}

std::vector<std::string> Workbook::worksheetNames() const {
  std::shared_ptr<Package> pkg = lockPackage(pkg_);
  std::vector<std::string> names;
  for (auto& s : pkg->sheets) {
    if (s->isWorksheet) names.push_back(s->name);
  }
  return names;
}

unsigned Workbook::sheetCount() const {
  const std::shared_ptr<Package> pkg = lockPackage(pkg_);
  return unsigned(std::count_if(pkg->sheets.begin(), pkg->sheets.end(), [](auto& s) { return s->isWorksheet; }));
}

bool Workbook::sheetExists(const std::string& name) const {
  return lockPackage(pkg_)->findSheet(name) != nullptr;
}

void Workbook::addWorksheet(const std::string& name) const {
  std::shared_ptr<Package> pkg = lockPackage(pkg_);
  checkNewName(*pkg, name, nullptr);
  const std::string part = newSheetPart(*pkg);
  pkg->addPart(part, worksheetXml(false));
  appendSheet(*pkg, name, part);
}

void Workbook::cloneSheet(const std::string& existing, const std::string& newName) const {
  std::shared_ptr<Package> pkg = lockPackage(pkg_);
  Sheet& src = pkg->sheetByName(existing);
  if (!src.isWorksheet) fail(format("表页 %1 不是工作表，不能克隆", {src.name}));
  checkNewName(*pkg, newName, nullptr);
  const std::string part = newSheetPart(*pkg);
  // everything is read and checked before the package changes: a refused or
  // failed clone leaves it as it was
  SheetCopy copy = prepareSheetCopy(*pkg, src, newName, part);
  commitSheetCopy(*pkg, copy);
  appendSheet(*pkg, newName, part);
}

void Workbook::deleteSheet(const std::string& name) const {
  std::shared_ptr<Package> pkg = lockPackage(pkg_);
  Sheet& sheet = pkg->sheetByName(name);
  size_t index = 0, worksheets = 0;
  for (size_t k = 0; k < pkg->sheets.size(); ++k) {
    if (pkg->sheets[k].get() == &sheet) index = k;
    if (pkg->sheets[k]->isWorksheet) ++worksheets;
  }
  if (sheet.isWorksheet && worksheets == 1) fail(format("不能删除最后一个工作表 %1", {sheet.name}));
  pugi::xml_node element = sheetElement(*pkg, sheet);
  element.parent().remove_child(element);
  removeRelationship(*pkg, sheet.relId);
  if (!inUse(*pkg, sheet.partName)) {
    removeOverride(*pkg, sheet.partName);
    pkg->removePart(relsPartOf(sheet.partName));
    pkg->removePart(sheet.partName);
  }
  // sheet-local names go with the sheet; later sheets move up by one
  pugi::xml_node root = workbookRoot(*pkg);
  if (pugi::xml_node names = child(root, "definedNames")) {
    for (pugi::xml_node dn = names.first_child(); dn;) {
      pugi::xml_node next = dn.next_sibling();
      if (pugi::xml_attribute local = dn.attribute("localSheetId")) {
        if (local.as_uint() == index) names.remove_child(dn);
        else if (local.as_uint() > index) local = local.as_uint() - 1;
      }
      dn = next;
    }
    if (!names.first_child()) root.remove_child(names);
  }
  const unsigned remaining = unsigned(pkg->sheets.size() - 1);
  if (pugi::xml_node views = child(root, "bookViews")) {
    for (pugi::xml_node v = views.first_child(); v; v = v.next_sibling()) {
      for (const char* a : {"activeTab", "firstSheet"}) {
        pugi::xml_attribute at = v.attribute(a);
        if (!at) continue;
        unsigned k = at.as_uint();
        if (k > index) --k;
        at = std::min(k, remaining - 1);
      }
    }
  }
  pkg->part(pkg->workbookPart).dirty = true;
  pkg->sheets.erase(pkg->sheets.begin() + std::ptrdiff_t(index));
  pkg->indexSheets();
  pkg->changed = true;
}

// ---- Worksheet ----

Cell Worksheet::cell(const std::string& address) const {
  uint32_t row;
  uint16_t column;
  parseAddress(address, &row, &column);
  return cell(row, column);
}

Cell Worksheet::cell(int64_t row, int64_t column) const {
  if (row < 1 || row > kMaxRows || column < 1 || column > kMaxColumns) {
    fail(format("单元格位置第 %1 行第 %2 列无效：行须为 1 到 1048576，列须为 1 到 16384",
                {std::to_string(row), std::to_string(column)}));
  }
  lockSheet(bound_, pkg_, sheet_);
  return Cell(pkg_, sheet_, uint32_t(row), uint16_t(column));
}

uint32_t Worksheet::rowCount() const {
  Locked l = lockSheet(bound_, pkg_, sheet_);
  return l.sheet->rows.empty() ? 0 : l.sheet->rows.rbegin()->first;
}

uint16_t Worksheet::columnCount() const {
  Locked l = lockSheet(bound_, pkg_, sheet_);
  uint16_t most = 0;
  for (const auto& [r, slot] : l.sheet->rows) {
    if (!slot.cells.empty()) most = std::max(most, slot.cells.back().column);
  }
  return most;
}

bool Worksheet::deleteRow(int64_t row) const {
  Locked l = lockSheet(bound_, pkg_, sheet_);
  if (row < 1 || row > kMaxRows) {
    fail(format("行号 %1 无效：行须为 1 到 1048576", {std::to_string(row)}));
  }
  Sheet& sheet = *l.sheet;
  const bool objects = clearRowObjects(*l.pkg, sheet, uint32_t(row));
  if (objects) l.pkg->changed = true;
  auto it = sheet.rows.find(uint32_t(row));
  if (it == sheet.rows.end()) return objects;
  for (CellSlot& c : it->second.cells) releaseSharedFormula(sheet, c.node, uint32_t(row), c.column);
  sheet.sheetData.remove_child(it->second.node);
  sheet.rows.erase(it);
  sheet.lastRow = nullptr;
  sheet.part->dirty = true;
  l.pkg->changed = true;
  return true;
}

std::string Worksheet::name() const {
  if (!bound_) fail("工作表对象没有关联任何 Excel 文件中的表页");
  Locked l{pkg_.lock(), sheet_.lock()};
  if (!l.pkg) fail("工作表所在的 Excel 文件已经关闭，不能再使用这个工作表");
  if (!l.sheet) fail("这个工作表已经被删除，不能再使用");
  return l.sheet->name;
}

void Worksheet::setName(const std::string& newName) const {
  Locked l = lockSheet(bound_, pkg_, sheet_);
  Package& pkg = *l.pkg;
  Sheet& sheet = *l.sheet;
  checkNewName(pkg, newName, &sheet);
  if (newName == sheet.name) return;
  pugi::xml_node element = sheetElement(pkg, sheet);
  renameSheetReferences(pkg, sheet.name, newName);
  element.attribute("name") = newName.c_str();
  pkg.part(pkg.workbookPart).dirty = true;
  sheet.name = newName;
  pkg.indexSheets();
  pkg.changed = true;
}

// ---- Cell ----

Cell::Cell(std::weak_ptr<Package> pkg, std::weak_ptr<Sheet> sheet, uint32_t row, uint16_t column)
    : pkg_(std::move(pkg)), sheet_(std::move(sheet)), row_(row), column_(column) {}

CellValue Cell::value() const { return CellValue(*this); }
CellFormula Cell::formula() const { return CellFormula(*this); }

namespace {

struct CellAt {
  Locked l;
  pugi::xml_node node;
  uint32_t row;
  uint16_t column;
};

// The cell to write: created when missing.
CellAt locate(const Cell& cell, const std::weak_ptr<Package>& pkg, const std::weak_ptr<Sheet>& sheet) {
  CellAt at{lockSheet(true, pkg, sheet), {}, cell.row(), cell.column()};
  at.node = cellNode(*at.l.sheet, cell.row(), cell.column());
  return at;
}

// The cell to read: null when missing, which reads as empty; nothing changes.
CellAt locateExisting(const Cell& cell, const std::weak_ptr<Package>& pkg, const std::weak_ptr<Sheet>& sheet) {
  CellAt at{lockSheet(true, pkg, sheet), {}, cell.row(), cell.column()};
  at.node = findCell(*at.l.sheet, cell.row(), cell.column());
  return at;
}

// Clears what the cell holds and marks the change.
void resetCell(CellAt& at, std::initializer_list<const char*> children) {
  releaseSharedFormula(*at.l.sheet, at.node, at.row, at.column);
  removeAttribute(at.node, "t");
  removeChildren(at.node, children);
  at.l.sheet->part->dirty = true;
  at.l.pkg->changed = true;
}

void setNumberText(CellAt& at, const char* text) {
  resetCell(at, {"f", "is"});
  childOrNew(at.node, "v", at.l.sheet->prefix).text().set(text);
}

}  // namespace

bool Cell::hasFormula() const {
  CellAt at = locateExisting(*this, pkg_, sheet_);
  return bool(child(at.node, "f"));
}

std::string Cell::hidingMerge() const {
  Locked l = lockSheet(true, pkg_, sheet_);
  Sheet& sheet = *l.sheet;
  if (!sheet.mergesIndexed) {
    sheet.merges.clear();
    pugi::xml_node list = child(sheet.part->doc.document_element(), "mergeCells");
    for (pugi::xml_node m = list.first_child(); m; m = m.next_sibling()) {
      if (m.type() != pugi::node_element || std::strcmp(localName(m), "mergeCell") != 0) continue;
      CellRange r{0, 0, 0, 0};
      readRange(m.attribute("ref").value(), &r.top, &r.left, &r.bottom, &r.right);
      if (r.top != 0) sheet.merges.push_back(r);
    }
    std::sort(sheet.merges.begin(), sheet.merges.end(),
              [](const CellRange& a, const CellRange& b) { return a.top < b.top; });
    sheet.mergeReach.clear();
    for (const CellRange& r : sheet.merges) {
      sheet.mergeReach.push_back(std::max(r.bottom, sheet.mergeReach.empty() ? 0 : sheet.mergeReach.back()));
    }
    sheet.mergesIndexed = true;
  }
  // the ranges that start at or above the row, back to the first that
  // reaches it
  auto k = std::upper_bound(sheet.merges.begin(), sheet.merges.end(), row_,
                            [](uint32_t row, const CellRange& r) { return row < r.top; }) - sheet.merges.begin();
  while (k-- > 0 && sheet.mergeReach[size_t(k)] >= row_) {
    const CellRange& r = sheet.merges[size_t(k)];
    if (r.bottom >= row_ && r.left <= column_ && column_ <= r.right && (r.top != row_ || r.left != column_)) {
      return columnLetters(r.left) + std::to_string(r.top) + ":" + columnLetters(r.right) + std::to_string(r.bottom);
    }
  }
  return std::string();
}

ValueType CellValue::type() const {
  CellAt at = locateExisting(cell_, cell_.pkg_, cell_.sheet_);
  return readCell(*at.l.pkg, at.node).type;
}

static CellRead readAs(const Cell& cell, const std::weak_ptr<Package>& pkg,
                       const std::weak_ptr<Sheet>& sheet, ValueType want, const char* what) {
  CellAt at = locateExisting(cell, pkg, sheet);
  CellRead r = readCell(*at.l.pkg, at.node);
  if (r.type != want) {
    fail(format("单元格 %1 的值不是%2", {columnLetters(cell.column()) + std::to_string(cell.row()), what}));
  }
  return r;
}

template <>
bool CellValue::get<bool>() const {
  return readAs(cell_, cell_.pkg_, cell_.sheet_, ValueType::Boolean, "逻辑值").b;
}
template <>
int64_t CellValue::get<int64_t>() const {
  return readAs(cell_, cell_.pkg_, cell_.sheet_, ValueType::Integer, "整数").i;
}
template <>
double CellValue::get<double>() const {
  return readAs(cell_, cell_.pkg_, cell_.sheet_, ValueType::Float, "小数").d;
}
template <>
std::string CellValue::get<std::string>() const {
  return readAs(cell_, cell_.pkg_, cell_.sheet_, ValueType::String, "文本").s;
}

CellValue& CellValue::operator=(int64_t v) {
  CellAt at = locate(cell_, cell_.pkg_, cell_.sheet_);
  setNumberText(at, std::to_string(v).c_str());
  return *this;
}

CellValue& CellValue::operator=(double v) {
  if (!std::isfinite(v)) fail("非有限的小数（无穷大或非数字）不能写入单元格");
  CellAt at = locate(cell_, cell_.pkg_, cell_.sheet_);
  char buf[40];
  // shortest text that reads back as the same double; never locale-dependent
  auto res = std::to_chars(buf, buf + sizeof buf - 1, v);
  *res.ptr = '\0';
  setNumberText(at, buf);
  return *this;
}

CellValue& CellValue::operator=(const std::string& text) {
  checkUtf8(text);
  CellAt at = locate(cell_, cell_.pkg_, cell_.sheet_);
  resetCell(at, {"f", "v", "is"});
  setAttr(at.node, "t", "inlineStr");
  const std::string& prefix = at.l.sheet->prefix;
  pugi::xml_node t = at.node.append_child((prefix + "is").c_str()).append_child((prefix + "t").c_str());
  if (!text.empty() && (blank(text.front()) || blank(text.back()))) {
    t.append_attribute("xml:space") = "preserve";
  }
  t.text().set(encodeEscapes(text).c_str());
  return *this;
}

std::string CellFormula::get() const {
  CellAt at = locateExisting(cell_, cell_.pkg_, cell_.sheet_);
  pugi::xml_node f = child(at.node, "f");
  if (*f.child_value() != '\0' || !isShared(f)) return f.child_value();
  return sharedFormula(*at.l.sheet, f, at.row, at.column);
}

CellFormula& CellFormula::operator=(const std::string& formula) {
  checkUtf8(formula);
  CellAt at = locate(cell_, cell_.pkg_, cell_.sheet_);
  resetCell(at, {"f", "v", "is"});
  pugi::xml_node f = at.node.append_child((at.l.sheet->prefix + "f").c_str());
  f.text().set(formula.c_str() + (formula.compare(0, 1, "=") == 0 ? 1 : 0));
  return *this;
}

}  // namespace xlsx
