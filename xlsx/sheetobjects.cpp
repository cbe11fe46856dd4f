// What a worksheet holds through its relationships (drawings, charts,
// images, comments and notes, tables, links, printer settings): copied with
// a clone of the sheet, and taken away with a cleared row.
#include "internal.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace xlsx {

namespace {

// ---- walking trees ----

// Calls visit(element) for the node, when it is an element, and for every
// element below it; pugixml's own walk, without recursion however deep the
// tree. visit must not change the tree.
template <typename F>
void forEachElement(pugi::xml_node node, F visit) {
  struct Walker : pugi::xml_tree_walker {
    F* visit;
    bool for_each(pugi::xml_node& n) override {
      if (n.type() == pugi::node_element) (*visit)(n);
      return true;
    }
  } walker;
  walker.visit = &visit;
  if (node.type() == pugi::node_element) visit(node);
  node.traverse(walker);
}

// The same for the elements of a sheet outside its cells.
template <typename F>
void forEachOutsideCells(pugi::xml_node root, F visit) {
  for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && std::strcmp(localName(c), "sheetData") != 0) forEachElement(c, visit);
  }
}

bool named(const pugi::xml_node& n, const char* local) { return std::strcmp(localName(n), local) == 0; }
bool named(const pugi::xml_attribute& a, const char* local) { return std::strcmp(localName(a), local) == 0; }

// Removes an element of a sheet's part; a list left empty by it goes too
// (and so on up to the sheet's root: <ext> and <extLst> that held only it),
// one left with items keeps its count right.
void removeItem(pugi::xml_node item) {
  pugi::xml_node list = item.parent();
  list.remove_child(item);
  while (list && list.parent().type() != pugi::node_document) {
    size_t count = 0;
    for (pugi::xml_node c : list.children()) count += c.type() == pugi::node_element;
    if (count > 0) {
      if (pugi::xml_attribute a = list.attribute("count")) a = unsigned(count);
      return;
    }
    pugi::xml_node up = list.parent();
    up.remove_child(list);
    list = up;
  }
}

// ---- relationships ----

// The last segment of a relationship's type: ".../relationships/table" is "table".
const char* typeName(const pugi::xml_node& rel) {
  const char* type = rel.attribute("Type").value();
  const char* slash = std::strrchr(type, '/');
  return slash != nullptr ? slash + 1 : type;
}

bool external(const pugi::xml_node& rel) {
  return std::strcmp(rel.attribute("TargetMode").value(), "External") == 0;
}

// The part an internal relationship of sourcePart leads to; "" when it is
// external or its part is missing.
std::string targetPart(Package& pkg, const std::string& sourcePart, const pugi::xml_node& rel) {
  if (external(rel)) return std::string();
  std::string part = resolveTarget(sourcePart, rel.attribute("Target").value());
  return pkg.has(part) ? part : std::string();
}

// What a clone does with what a relationship leads to: copy the part and
// adjust the copy so, only keep the relationship (Link), or refuse.
enum class Adjust { None, Link, Sheet, Table, Chart, Drawing, Vml, Notes };

struct Kind {
  const char* type;
  Adjust adjust;
  const char* refused;  // what cannot be copied, for the message
};

const Kind kKinds[] = {
    {"hyperlink", Adjust::Link, nullptr},
    {"drawing", Adjust::Drawing, nullptr},
    {"chartUserShapes", Adjust::Drawing, nullptr},
    {"vmlDrawing", Adjust::Vml, nullptr},
    {"comments", Adjust::Notes, nullptr},
    {"threadedComment", Adjust::Notes, nullptr},
    {"table", Adjust::Table, nullptr},
    {"chart", Adjust::Chart, nullptr},
    {"chartEx", Adjust::Chart, nullptr},
    {"image", Adjust::None, nullptr},
    {"hdphoto", Adjust::None, nullptr},
    {"printerSettings", Adjust::None, nullptr},
    {"customProperty", Adjust::None, nullptr},
    {"chartStyle", Adjust::None, nullptr},
    {"chartColorStyle", Adjust::None, nullptr},
    {"themeOverride", Adjust::None, nullptr},
    {"diagramData", Adjust::None, nullptr},
    {"diagramLayout", Adjust::None, nullptr},
    {"diagramQuickStyle", Adjust::None, nullptr},
    {"diagramColors", Adjust::None, nullptr},
    {"diagramDrawing", Adjust::None, nullptr},
    {"pivotTable", Adjust::None, "数据透视表"},
    {"slicer", Adjust::None, "切片器"},
    {"timeline", Adjust::None, "日程表"},
    {"ctrlProp", Adjust::None, "表单控件"},
    {"control", Adjust::None, "ActiveX 控件"},
    {"oleObject", Adjust::None, "OLE 对象"},
    {"package", Adjust::None, "嵌入的对象"},
    {"queryTable", Adjust::None, "连接外部数据的查询表"},
    {"tableSingleCells", Adjust::None, "XML 映射的单元格"},
    {"namedSheetView", Adjust::None, "工作表视图"},
};

// How a relationship of a part of that kind is copied; the text of what
// cannot be copied in *refused.
Adjust kindOf(const pugi::xml_node& rel, Adjust from, std::string* refused) {
  const char* type = typeName(rel);
  // a chart's data: a workbook embedded in it, or linked
  if (from == Adjust::Chart && (std::strcmp(type, "package") == 0 || std::strcmp(type, "oleObject") == 0)) {
    return Adjust::None;
  }
  for (const Kind& k : kKinds) {
    if (std::strcmp(type, k.type) != 0) continue;
    if (k.refused != nullptr) *refused = k.refused;
    return k.adjust;
  }
  *refused = format("不认识的对象（关系类型 %1）", {rel.attribute("Type").value()});
  return Adjust::None;
}

std::string lowerAscii(std::string s) {
  for (char& c : s) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// Names compare without regard to case.
std::string folded(const char* name) {
  return QString::fromUtf8(name).toCaseFolded().toStdString();
}

// A name for a copy of the part in the same folder, numbered as its kind
// is ("xl/charts/chart3.xml"), that no part has (part names compare
// without regard to case).
std::string freshPartName(const std::string& part, std::unordered_set<std::string>& taken) {
  const size_t slash = part.rfind('/') + 1;  // 0 when there is none
  size_t dot = part.rfind('.');
  if (dot == std::string::npos || dot < slash) dot = part.size();
  size_t stem = dot;
  while (stem > slash && part[stem - 1] >= '0' && part[stem - 1] <= '9') --stem;
  for (unsigned n = 1;; ++n) {
    std::string name = part.substr(0, stem) + std::to_string(n) + part.substr(dot);
    if (taken.insert(lowerAscii(name)).second) return name;
  }
}

// Points a relationship at the copy of its part, which lies in the same
// folder: only the last segment of the target changes.
void retarget(pugi::xml_node rel, const std::string& copy) {
  std::string target = rel.attribute("Target").value();
  target = target.substr(0, target.rfind('/') + 1) + copy.substr(copy.rfind('/') + 1);
  rel.attribute("Target") = target.c_str();
}

// ---- what a copy changes in its parts ----

bool isGuid(const char* s) {
  if (std::strlen(s) != 38 || s[0] != '{' || s[37] != '}') return false;
  for (int k = 1; k < 37; ++k) {
    const bool dash = k == 9 || k == 14 || k == 19 || k == 24;
    if (dash ? s[k] != '-' : !std::isxdigit(static_cast<unsigned char>(s[k]))) return false;
  }
  return true;
}

std::string newGuid(std::mt19937_64& random) {
  const uint64_t a = random(), b = random();
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-4%03X-%04X-%012llX}", unsigned(a >> 32), unsigned(a >> 16 & 0xFFFF),
                unsigned(a & 0xFFF), unsigned(0x8000 | (b >> 48 & 0x3FFF)),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return text;
}

// New identifiers for the revision ids (uid) and the threaded comments'
// ids of the copy's parts, the same new one wherever an old one occurs (a
// note's author "tc={id}" names its thread).
void renewGuids(const std::vector<pugi::xml_node>& roots) {
  std::unordered_map<std::string, std::string> renewed;
  std::random_device seed;
  std::mt19937_64 random((uint64_t(seed()) << 32) ^ seed());
  const auto each = [&](auto visit) {
    for (pugi::xml_node root : roots) {
      if (!named(root, "worksheet")) {
        forEachElement(root, visit);
        continue;
      }
      visit(root);
      forEachOutsideCells(root, visit);
    }
  };
  each([&](pugi::xml_node n) {
    for (pugi::xml_attribute a : n.attributes()) {
      const bool id = named(a, "uid") || (named(a, "id") && named(n, "threadedComment"));
      if (id && isGuid(a.value()) && renewed.count(a.value()) == 0) renewed.emplace(a.value(), newGuid(random));
    }
  });
  if (renewed.empty()) return;
  each([&](pugi::xml_node n) {
    for (pugi::xml_attribute a : n.attributes()) {
      auto it = renewed.find(a.value());
      if (it != renewed.end() && (named(a, "uid") || named(a, "id") || named(a, "parentId"))) a = it->second.c_str();
    }
    const char* text = n.child_value();
    if (named(n, "author") && std::strncmp(text, "tc=", 3) == 0) {
      auto it = renewed.find(text + 3);
      if (it != renewed.end()) n.text().set(("tc=" + it->second).c_str());
    }
  });
}

// The shape blocks (of 1024 ids each) a legacy drawing claims: <o:idmap data="1,2"/>.
std::vector<unsigned> shapeBlocks(pugi::xml_node root) {
  std::vector<unsigned> blocks;
  forEachElement(root, [&](pugi::xml_node n) {
    if (!named(n, "idmap")) return;
    const char* p = n.attribute("data").value();
    while (*p != '\0') {
      char* end;
      const unsigned long b = std::strtoul(p, &end, 10);
      if (end == p) break;
      if (b < (1ul << 20)) blocks.push_back(unsigned(b));
      p = *end == ',' ? end + 1 : end;
    }
  });
  return blocks;
}

// Gives a copied legacy drawing blocks of shape ids no other one uses,
// and its shapes ids from them ("_x0000_s1025" in block 1 becomes
// "_x0000_s4097" in block 4).
void renumberShapes(pugi::xml_node root, unsigned& nextBlock) {
  std::unordered_map<unsigned, unsigned> moved;
  std::string data;
  for (unsigned b : shapeBlocks(root)) {
    if (moved.emplace(b, nextBlock).second) data += (data.empty() ? "" : ",") + std::to_string(nextBlock++);
  }
  if (moved.empty()) return;
  std::vector<pugi::xml_attribute> ids;
  forEachElement(root, [&](pugi::xml_node n) {
    if (named(n, "idmap")) ids.push_back(n.attribute("data"));
    for (pugi::xml_attribute a : n.attributes()) {
      if (std::strncmp(a.value(), "_x0000_s", 8) == 0) ids.push_back(a);
    }
  });
  for (pugi::xml_attribute a : ids) {
    if (named(a, "data")) {
      a = data.c_str();
      continue;
    }
    char* end;
    const unsigned long id = std::strtoul(a.value() + 8, &end, 10);
    auto it = moved.find(unsigned(id / 1024));
    if (*end == '\0' && it != moved.end()) {
      a = ("_x0000_s" + std::to_string(uint64_t(it->second) * 1024 + id % 1024)).c_str();
    }
  }
}

// The content type a part has by an override; "" when it has none.
using ContentTypes = std::unordered_map<std::string, std::string>;  // "/part" in lower case -> type
const char* overrideOf(const ContentTypes& types, const std::string& part) {
  auto it = types.find("/" + lowerAscii(part));
  return it == types.end() ? "" : it->second.c_str();
}

// The first block of shape ids no legacy drawing of the package uses.
unsigned freeShapeBlock(Package& pkg, const ContentTypes& types) {
  unsigned next = 1;
  for (const std::string& name : pkg.order) {
    const std::string lower = lowerAscii(name);
    if (!endsWith(lower.c_str(), ".vml") && !endsWith(overrideOf(types, name), "vmlDrawing")) continue;
    for (unsigned b : shapeBlocks(pkg.part(name).doc.document_element())) next = std::max(next, b + 1);
  }
  return next;
}

// Table names and ids taken in the workbook: by tables and, for names, by
// defined names.
struct TableNames {
  std::unordered_set<std::string> names;  // folded
  unsigned lastId = 0;
};

TableNames tableNames(Package& pkg, const ContentTypes& types) {
  TableNames t;
  for (const std::string& name : pkg.order) {
    if (!endsWith(overrideOf(types, name), "spreadsheetml.table+xml")) continue;
    pugi::xml_node table = pkg.part(name).doc.document_element();
    t.names.insert(folded(table.attribute("name").value()));
    t.names.insert(folded(table.attribute("displayName").value()));
    t.lastId = std::max(t.lastId, table.attribute("id").as_uint());
  }
  pugi::xml_node names = child(pkg.part(pkg.workbookPart).doc.document_element(), "definedNames");
  for (pugi::xml_node dn = names.first_child(); dn; dn = dn.next_sibling()) {
    t.names.insert(folded(dn.attribute("name").value()));
  }
  return t;
}

// The name of a copy of a table: "Sales" becomes "Sales_2", or the first
// of "Sales_3", "Sales_4", ... that is free.
std::string copyName(const std::string& name, TableNames& taken) {
  for (unsigned n = 2;; ++n) {
    std::string candidate = name + "_" + std::to_string(n);
    if (taken.names.insert(folded(candidate.c_str())).second) return candidate;
  }
}

template <typename F>
void renameFormulaText(pugi::xml_node f, F rename) {
  const std::string text = f.child_value();
  if (text.empty()) return;
  const std::string renamed = rename(text);
  if (renamed != text) f.text().set(renamed.c_str());
}

struct Copied {
  std::string source;
  std::string copy;
  Adjust adjust;
};

}  // namespace

// ---- cloning ----

SheetCopy prepareSheetCopy(Package& pkg, const Sheet& source, const std::string& newName,
                           const std::string& newPart) {
  SheetCopy out;
  out.sheetName = newName;
  out.sheetPart = newPart;
  out.sourceName = source.name;
  for (size_t k = 0; k < pkg.sheets.size(); ++k) {
    if (pkg.sheets[k].get() == &source) out.sourceIndex = k;
  }
  ContentTypes types;
  for (pugi::xml_node o : pkg.part("[Content_Types].xml").doc.document_element().children()) {
    if (named(o, "Override")) types.emplace(lowerAscii(o.attribute("PartName").value()), o.attribute("ContentType").value());
  }
  std::unordered_set<std::string> taken;
  for (const std::string& name : pkg.order) taken.insert(lowerAscii(name));
  taken.insert(lowerAscii(newPart));
  taken.insert(lowerAscii(relsPartOf(newPart)));

  // the parts the sheet reaches through relationships, each copied once
  std::vector<Copied> parts{{source.partName, newPart, Adjust::Sheet}};
  std::unordered_map<std::string, size_t> copyOf{{source.partName, 0}};
  std::vector<std::string> refused;
  std::unordered_set<std::string> sheetRelIds;
  const auto refuse = [&](const std::string& what) {
    if (std::find(refused.begin(), refused.end(), what) == refused.end()) refused.push_back(what);
  };
  for (size_t k = 0; k < parts.size(); ++k) {
    const std::string from = parts[k].source;
    const Adjust adjust = parts[k].adjust;
    if (adjust == Adjust::Chart && child(pkg.part(from).doc.document_element(), "pivotSource")) refuse("数据透视图");
    if (!pkg.has(relsPartOf(from))) continue;
    auto rels = std::make_unique<XmlPart>();
    rels->doc.reset(pkg.part(relsPartOf(from)).doc);
    rels->dirty = true;
    for (pugi::xml_node rel : rels->doc.document_element().children()) {
      if (rel.type() != pugi::node_element) continue;
      if (k == 0) sheetRelIds.insert(rel.attribute("Id").value());
      std::string what;
      const Adjust kind = kindOf(rel, adjust, &what);
      if (!what.empty()) refuse(what);
      if (!what.empty() || kind == Adjust::Link) continue;
      // an external target, or a part missing in the source too: the same
      // relationship serves the copy
      const std::string target = targetPart(pkg, from, rel);
      if (target.empty()) continue;
      auto [at, fresh] = copyOf.emplace(target, parts.size());
      if (fresh) parts.push_back({target, freshPartName(target, taken), kind});
      retarget(rel, parts[at->second].copy);
    }
    out.parsed.emplace_back(relsPartOf(parts[k].copy), std::move(rels));
  }
  if (!refused.empty()) {
    std::string list;
    for (const std::string& r : refused) list += (list.empty() ? "" : "、") + r;
    fail(format("不能克隆工作表 %1：它含有无法复制的%2，工作簿没有改动", {source.name, list}));
  }

  // tables get names and ids of their own; formulas of the copy that name
  // them follow
  std::vector<std::pair<std::string, std::string>> tableRenames;
  const auto any = [&](Adjust a) {
    return std::any_of(parts.begin(), parts.end(), [a](const Copied& c) { return c.adjust == a; });
  };
  TableNames names;
  if (any(Adjust::Table)) names = tableNames(pkg, types);
  unsigned nextBlock = any(Adjust::Vml) ? freeShapeBlock(pkg, types) : 0;

  const auto renameSheet = [&](const std::string& f) { return renameSheetInFormula(f, source.name, newName); };
  const auto renameTables = [&](const std::string& f) {
    std::string text = f;
    for (const auto& [from, to] : tableRenames) text = renameTableInFormula(text, from, to);
    return text;
  };
  std::vector<pugi::xml_node> withGuids;
  std::vector<std::pair<pugi::xml_node, Adjust>> edits;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Copied& c = parts[k];
    if (k > 0 && *overrideOf(types, c.source) != '\0') out.overrides.emplace_back(c.copy, overrideOf(types, c.source));
    // a part read (maybe changed) since it was opened is copied from its tree
    if (c.adjust == Adjust::None && pkg.xml.count(c.source) == 0) {
      out.bytes.emplace_back(c.copy, pkg.raw.at(c.source));
      continue;
    }
    auto part = std::make_unique<XmlPart>();
    part->doc.reset(pkg.part(c.source).doc);
    part->dirty = true;
    pugi::xml_node root = part->doc.document_element();
    if (c.adjust == Adjust::Table) {
      const std::string old = *root.attribute("displayName").value() != '\0' ? root.attribute("displayName").value()
                                                                             : root.attribute("name").value();
      const std::string fresh = copyName(old, names);
      tableRenames.emplace_back(old, fresh);
      if (std::strcmp(root.attribute("name").value(), old.c_str()) != 0) {
        tableRenames.emplace_back(root.attribute("name").value(), fresh);
      }
      for (const char* a : {"name", "displayName", "id"}) {
        if (!root.attribute(a)) root.append_attribute(a);
      }
      root.attribute("name") = fresh.c_str();
      root.attribute("displayName") = fresh.c_str();
      root.attribute("id") = ++names.lastId;
    }
    if (c.adjust == Adjust::Vml) renumberShapes(root, nextBlock);
    if (c.adjust == Adjust::Sheet || c.adjust == Adjust::Table || c.adjust == Adjust::Notes) withGuids.push_back(root);
    edits.emplace_back(root, c.adjust);
    out.parsed.emplace_back(c.copy, std::move(part));
  }
  for (auto& [root, adjust] : edits) {
    switch (adjust) {
      case Adjust::Sheet: {
        // a drawing, table or link whose relationship the source lacks has
        // nothing to copy
        std::vector<pugi::xml_node> dangling, sparklines, webItems;
        forEachOutsideCells(root, [&](pugi::xml_node n) {
          pugi::xml_attribute id = relIdAttribute(n);
          if (id && sheetRelIds.count(id.value()) == 0) dangling.push_back(n);
          if (named(n, "sparklineGroups")) sparklines.push_back(n);
          if (named(n, "webPublishItems")) webItems.push_back(n);
        });
        for (pugi::xml_node n : dangling) {
          if (named(n, "hyperlink") || named(n, "pageSetup")) n.remove_attribute(relIdAttribute(n));
          else removeItem(n);  // an element that is nothing without its part
        }
        for (pugi::xml_node n : webItems) n.parent().remove_child(n);  // they publish to the source's file
        if (pugi::xml_node views = child(root, "sheetViews")) {
          for (pugi::xml_node v = views.first_child(); v; v = v.next_sibling()) v.remove_attribute("tabSelected");
        }
        // sparklines, like charts, name their data with the sheet's name
        for (pugi::xml_node group : sparklines) {
          forEachElement(group, [&](pugi::xml_node n) {
            if (named(n, "f")) renameFormulaText(n, renameSheet);
          });
        }
        if (!tableRenames.empty()) {
          for (pugi::xml_node r : child(root, "sheetData").children()) {
            for (pugi::xml_node cell : r.children()) {
              if (pugi::xml_node f = child(cell, "f")) renameFormulaText(f, renameTables);
            }
          }
        }
        break;
      }
      case Adjust::Table:
        forEachElement(root, [&](pugi::xml_node n) {
          if (named(n, "calculatedColumnFormula") || named(n, "totalsRowFormula")) renameFormulaText(n, renameTables);
        });
        break;
      case Adjust::Chart:
        forEachElement(root, [&](pugi::xml_node n) {
          if (named(n, "f")) renameFormulaText(n, renameSheet);
        });
        break;
      case Adjust::Drawing:
        forEachElement(root, [&](pugi::xml_node n) {
          pugi::xml_attribute link = n.attribute("textlink");
          if (link && *link.value() != '\0') link = renameSheet(link.value()).c_str();
        });
        break;
      default:
        break;
    }
  }
  renewGuids(withGuids);
  return out;
}

void commitSheetCopy(Package& pkg, SheetCopy& copy) {
  // relationships left by a sheet once deleted would become the copy's
  pkg.removePart(relsPartOf(copy.sheetPart));
  for (auto& [name, part] : copy.parsed) {
    if (pkg.raw.emplace(name, std::string()).second) pkg.order.push_back(name);
    pkg.xml[name] = std::move(part);
  }
  for (auto& [name, bytes] : copy.bytes) {
    if (pkg.raw.count(name) == 0) pkg.order.push_back(name);
    pkg.raw[name] = std::move(bytes);
    pkg.xml.erase(name);
  }
  for (const auto& [name, type] : copy.overrides) addOverride(pkg, name, type.c_str());
  // the source's own names (print area, filter range, ...) for the copy,
  // which becomes the last sheet
  XmlPart& workbook = pkg.part(pkg.workbookPart);
  pugi::xml_node names = child(workbook.doc.document_element(), "definedNames");
  std::vector<pugi::xml_node> own;
  for (pugi::xml_node dn = names.first_child(); dn; dn = dn.next_sibling()) {
    pugi::xml_attribute local = dn.attribute("localSheetId");
    if (dn.type() == pugi::node_element && local && local.as_uint() == copy.sourceIndex) own.push_back(dn);
  }
  for (pugi::xml_node dn : own) {
    pugi::xml_node c = names.append_copy(dn);
    c.attribute("localSheetId") = unsigned(pkg.sheets.size());
    c.text().set(renameSheetInFormula(dn.child_value(), copy.sourceName, copy.sheetName).c_str());
    workbook.dirty = true;
  }
}

// ---- clearing a row ----

namespace {

// One side of a range: a cell ("$B$3"), a column ("C") or a row ("4"); its
// row, 0 for a column.
bool rangeSide(std::string_view s, uint32_t* row) {
  size_t i = 0;
  if (i < s.size() && s[i] == '$') ++i;
  const size_t letters = i;
  while (i < s.size() && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) ++i;
  if (i > letters && i < s.size() && s[i] == '$') ++i;
  const size_t digits = i;
  uint64_t r = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - digits < 8) r = r * 10 + uint64_t(s[i++] - '0');
  if (i != s.size() || i == letters) return false;
  if (i == digits) {
    *row = 0;
    return true;
  }
  if (r == 0 || r > kMaxRows) return false;
  *row = uint32_t(r);
  return true;
}

// Whether a range such as "F12", "A12:D12" or "12:12" lies wholly in the row.
bool inRow(std::string_view ref, uint32_t row) {
  const size_t colon = ref.find(':');
  uint32_t a = 0, b = 0;
  if (!rangeSide(ref.substr(0, colon), &a)) return false;
  if (colon == std::string_view::npos) return a == row;
  return rangeSide(ref.substr(colon + 1), &b) && a == row && b == row;
}

}  // namespace

bool clearRowObjects(Package& pkg, Sheet& sheet, uint32_t row) {
  pugi::xml_node root = sheet.part->doc.document_element();
  // one look at the sheet's lists: links, merged ranges, the note shapes'
  // drawing, and the lists with ranges (validations and conditional formats,
  // also those of the newer extension form, and sparklines)
  pugi::xml_node links, merges, legacy;
  std::vector<pugi::xml_node> rules;
  for (pugi::xml_node n = root.first_child(); n; n = n.next_sibling()) {
    const char* name = localName(n);
    if (std::strcmp(name, "sheetData") == 0) continue;
    if (std::strcmp(name, "hyperlinks") == 0) links = n;
    else if (std::strcmp(name, "mergeCells") == 0) merges = n;
    else if (std::strcmp(name, "legacyDrawing") == 0) legacy = n;
    else if (std::strcmp(name, "conditionalFormatting") == 0) rules.push_back(n);
    else if (std::strcmp(name, "dataValidations") == 0) rules.insert(rules.end(), n.begin(), n.end());
    else if (std::strcmp(name, "extLst") == 0) {
      forEachElement(n, [&](pugi::xml_node e) {
        if (named(e, "conditionalFormatting") || named(e, "dataValidation") || named(e, "sparkline")) {
          rules.push_back(e);
        }
      });
    }
  }
  XmlPart* rels = nullptr;
  const auto relationships = [&] {
    const std::string name = relsPartOf(sheet.partName);
    return pkg.has(name) ? &pkg.part(name) : nullptr;
  };
  // the row's notes, threaded comments and note shapes, found before
  // anything changes; notes are shown through the sheet's legacy drawing, so
  // a sheet without one has none
  std::vector<std::pair<XmlPart*, pugi::xml_node>> gone;
  if (legacy && (rels = relationships()) != nullptr) {
    for (pugi::xml_node rel : rels->doc.document_element().children()) {
      const char* type = typeName(rel);
      if (std::strcmp(type, "comments") != 0 && std::strcmp(type, "threadedComment") != 0) continue;
      const std::string target = targetPart(pkg, sheet.partName, rel);
      if (target.empty()) continue;
      XmlPart& notes = pkg.part(target);
      const auto take = [&](pugi::xml_node c) {
        if ((named(c, "comment") || named(c, "threadedComment")) && inRow(c.attribute("ref").value(), row)) {
          gone.emplace_back(&notes, c);
        }
      };
      // <comments><commentList><comment ref=".."/>, <ThreadedComments><threadedComment ref=".."/>
      for (pugi::xml_node n : notes.doc.document_element().children()) {
        take(n);
        if (named(n, "commentList")) {
          for (pugi::xml_node c : n.children()) take(c);
        }
      }
    }
    pugi::xml_node rel = rels->doc.document_element().find_child_by_attribute("Id", relIdAttribute(legacy).value());
    const std::string target = !gone.empty() && rel ? targetPart(pkg, sheet.partName, rel) : std::string();
    if (!target.empty()) {
      XmlPart& vml = pkg.part(target);
      // a note's shape: <v:shape><x:ClientData ObjectType="Note"><x:Row>11</x:Row> (rows from 0)
      forEachElement(vml.doc.document_element(), [&](pugi::xml_node n) {
        if (!named(n, "ClientData") || std::strcmp(n.attribute("ObjectType").value(), "Note") != 0) return;
        const char* text = child(n, "Row").child_value();
        char* end;
        const unsigned long r = std::strtoul(text, &end, 10);
        if (end != text && r + 1 == row) gone.emplace_back(&vml, n.parent());
      });
    }
  }
  for (auto& [part, node] : gone) {
    node.parent().remove_child(node);
    part->dirty = true;
  }
  bool removed = !gone.empty();

  // links and merged ranges in the row alone (one that spans more rows stays
  // as it is), with a link's relationship when no other link uses it
  std::vector<pugi::xml_node> items;
  for (pugi::xml_node list : {links, merges}) {
    for (pugi::xml_node n = list.first_child(); n; n = n.next_sibling()) {
      if (n.type() == pugi::node_element && inRow(n.attribute("ref").value(), row)) items.push_back(n);
    }
  }
  std::vector<std::string> linkIds;
  for (pugi::xml_node n : items) {
    if (pugi::xml_attribute id = relIdAttribute(n)) linkIds.push_back(id.value());
    if (named(n, "mergeCell")) sheet.mergesIndexed = false;  // read again on the next need
    removeItem(n);
  }
  if (!linkIds.empty()) {
    for (pugi::xml_node n : child(root, "hyperlinks").children()) {
      linkIds.erase(std::remove(linkIds.begin(), linkIds.end(), relIdAttribute(n).value()), linkIds.end());
    }
    if (rels == nullptr) rels = relationships();
  }
  for (const std::string& id : linkIds) {
    if (rels == nullptr) break;
    if (pugi::xml_node rel = rels->doc.document_element().find_child_by_attribute("Id", id.c_str())) {
      rel.parent().remove_child(rel);
      rels->dirty = true;
    }
  }
  removed = removed || !items.empty();

  // the ranges in the row leave a rule's list (sqref="A1 F12"); a rule left
  // with none goes, and a sparkline in the row with its group when it was
  // the group's last
  for (pugi::xml_node rule : rules) {
    pugi::xml_attribute attr = rule.attribute("sqref");
    pugi::xml_node element = attr ? pugi::xml_node() : child(rule, "sqref");  // <xm:sqref>
    const std::string_view sqref = attr ? attr.value() : element.child_value();
    std::string kept;
    bool dropped = false;
    for (size_t i = 0; i < sqref.size();) {
      const size_t end = std::min(sqref.find(' ', i), sqref.size());
      const std::string_view range = sqref.substr(i, end - i);
      if (!range.empty() && inRow(range, row)) dropped = true;
      else if (!range.empty()) kept.append(kept.empty() ? "" : " ").append(range);
      i = end + 1;
    }
    if (!dropped) continue;
    removed = true;
    size_t siblings = 0;  // <sparklineGroup><sparklines><sparkline>
    for (pugi::xml_node c : rule.parent().children()) siblings += c.type() == pugi::node_element;
    if (kept.empty()) removeItem(named(rule, "sparkline") && siblings == 1 ? rule.parent().parent() : rule);
    else if (attr) attr = kept.c_str();
    else element.text().set(kept.c_str());
  }
  if (removed) sheet.part->dirty = true;
  return removed;
}

}  // namespace xlsx
