// Workbooks built from fuzzed XML parts. The input is a list of parts, each
// a line "=== NAME" followed by the part's bytes; the target zips them with
// sound checksums, so that what gets read is the parts' XML. A workbook that
// opens is read in full, edited, saved and opened again: the save must
// succeed, the saved file must open, and every cell read before that no edit
// touched must read the same (value, formula, or refusal) afterwards.
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "internal.h"
#include "xlsx.h"

namespace {

// What is read of each sheet: at most this many rows and columns, of at most
// this many sheets.
constexpr uint32_t kRows = 32;
constexpr uint16_t kColumns = 32;
constexpr size_t kSheets = 8;

std::string* bookPath = nullptr;

using Position = std::pair<uint32_t, uint16_t>;

// A cell as read: its value (type and text, or the refusal) and its formula.
struct CellRead {
  std::string value, formula;
  bool operator==(const CellRead& o) const { return value == o.value && formula == o.formula; }
  bool operator!=(const CellRead& o) const { return !(*this == o); }
  std::string text() const { return value + " | " + formula; }
};

CellRead describe(const xlsx::Cell& cell) {
  CellRead out;
  try {
    const xlsx::CellValue v = cell.value();
    switch (v.type()) {
      case xlsx::ValueType::Empty: break;
      case xlsx::ValueType::Boolean: out.value = v.get<bool>() ? "b:1" : "b:0"; break;
      case xlsx::ValueType::Integer: out.value = "i:" + std::to_string(v.get<int64_t>()); break;
      case xlsx::ValueType::Float: {
        char buf[40];
        const auto r = std::to_chars(buf, buf + sizeof buf, v.get<double>());
        out.value = "d:" + std::string(buf, r.ptr);
        break;
      }
      case xlsx::ValueType::String: out.value = "s:" + v.get<std::string>(); break;
      case xlsx::ValueType::Error: out.value = "e"; break;
    }
  } catch (const xlsx::Error& e) {
    out.value = std::string("!") + e.what();
  }
  try {
    out.formula = cell.formula().get();
  } catch (const xlsx::Error& e) {
    out.formula = std::string("!") + e.what();
  }
  return out;
}

struct SheetRead {
  std::string name;
  std::string refusal;  // why the sheet could not be read, or ""
  std::map<Position, CellRead> cells;
};

SheetRead readSheet(const xlsx::Workbook& book, const std::string& name) {
  SheetRead read;
  read.name = name;
  try {
    const xlsx::Worksheet ws = book.worksheet(name);
    const uint32_t rows = std::min(ws.rowCount(), kRows);
    const uint16_t columns = std::min(ws.columnCount(), kColumns);
    for (uint32_t r = 1; r <= rows; ++r) {
      for (uint16_t c = 1; c <= columns; ++c) read.cells[{r, c}] = describe(ws.cell(r, c));
    }
  } catch (const xlsx::Error& e) {
    read.refusal = e.what();
  }
  return read;
}

std::string where(const SheetRead& s, Position p) {
  return s.name + "!" + xlsx::columnLetters(p.second) + std::to_string(p.first);
}

[[noreturn]] void mismatch(const std::string& what, const std::string& before, const std::string& after) {
  std::fprintf(stderr, "%s\n  before: %s\n  after:  %s\n", what.c_str(), before.c_str(), after.c_str());
  std::abort();
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

// The parts of the input, in order; a repeated name keeps its first part.
std::vector<std::pair<std::string, std::string>> splitParts(std::string_view in) {
  std::vector<std::pair<std::string, std::string>> parts;
  std::set<std::string> names;
  const std::string_view mark = "=== ";
  auto header = [&](size_t at) { return in.compare(at, mark.size(), mark) == 0; };
  size_t at = header(0) ? 0 : in.find("\n=== ");
  if (at != std::string_view::npos && at != 0) ++at;
  while (at != std::string_view::npos && at < in.size()) {
    const size_t nameEnd = in.find('\n', at);
    if (nameEnd == std::string_view::npos) break;
    const std::string name(in.substr(at + mark.size(), nameEnd - at - mark.size()));
    size_t next = in.find("\n=== ", nameEnd);
    const std::string_view body = in.substr(nameEnd + 1, next == std::string_view::npos ? std::string_view::npos
                                                                                        : next - nameEnd - 1);
    if (!name.empty() && name.back() != '/' && names.insert(name).second) parts.emplace_back(name, body);
    at = next == std::string_view::npos ? next : next + 1;
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static QTemporaryDir folder;
  static std::string path = folder.filePath(QStringLiteral("book.xlsx")).toStdString();
  bookPath = &path;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256 * 1024) return -1;
  const auto parts = splitParts(std::string_view(reinterpret_cast<const char*>(data), size));
  if (parts.empty()) return -1;
  std::vector<std::pair<std::string, const std::string*>> entries;
  for (const auto& [name, bytes] : parts) entries.emplace_back(name, &bytes);
  try {
    xlsx::writeZip(*bookPath, entries);
  } catch (const xlsx::Error&) {
    return -1;  // a name the zip cannot hold
  }

  xlsx::Document doc;
  try {
    doc.open(*bookPath);
  } catch (const xlsx::Error&) {
    return 0;  // refused with a message
  }
  xlsx::Workbook book = doc.workbook();
  const std::vector<std::string> allNames = book.worksheetNames();
  // a name that repeats another (sheet names compare without regard to
  // case) reaches the first sheet of that name
  std::vector<std::string> names;
  std::set<QString> keys;
  for (const std::string& name : allNames) {
    if (names.size() < kSheets && keys.insert(QString::fromStdString(name).toCaseFolded()).second) names.push_back(name);
  }
  std::vector<SheetRead> before;
  for (const std::string& name : names) before.push_back(readSheet(book, name));

  // Edits on the first sheet that reads: a value over the first formula (the
  // first cell of a shared group, often), a formula over the first value, a
  // new cell below the others, the row of another formula deleted; then a
  // new sheet, a copy of the edited one, and the last other sheet deleted.
  std::map<std::pair<size_t, Position>, CellRead> written;  // by sheet index and position
  std::set<std::pair<size_t, uint32_t>> deletedRows;
  std::vector<std::string> added;
  size_t edited = before.size(), deleted = before.size();
  try {
    for (size_t k = 0; k < before.size() && edited == before.size(); ++k) {
      if (!before[k].refusal.empty()) continue;
      edited = k;
      const xlsx::Worksheet ws = book.worksheet(before[k].name);
      std::vector<Position> formulas, values;
      for (const auto& [p, read] : before[k].cells) {
        if (!read.formula.empty() && read.formula[0] != '!') formulas.push_back(p);
        else if (read.formula.empty() && !read.value.empty() && read.value[0] != '!') values.push_back(p);
      }
      if (!formulas.empty()) {
        ws.cell(formulas[0].first, formulas[0].second).value() = int64_t(42);
        written[{k, formulas[0]}] = CellRead{"i:42", ""};
      }
      if (!values.empty()) {
        ws.cell(values[0].first, values[0].second).formula() = "=1+1";
        written[{k, values[0]}] = CellRead{"", "1+1"};
      }
      const uint32_t below = std::min(ws.rowCount() + 1, xlsx::kMaxRows);
      ws.cell(below, 1).value() = std::string("新");
      written[{k, {below, 1}}] = CellRead{"s:新", ""};
      for (size_t f = 1; f < formulas.size(); ++f) {
        const uint32_t row = formulas[f].first;
        if (std::any_of(written.begin(), written.end(), [&](const auto& w) { return w.first.second.first == row; })) {
          continue;
        }
        // clearing a row and copying a sheet read parts besides the sheet
        // (its relationships, notes, drawings): one that is damaged refuses
        // the edit, which leaves the workbook as it was (the row's cells are
        // then compared like the others)
        try {
          ws.deleteRow(row);
          deletedRows.insert({k, row});
        } catch (const xlsx::Error&) {
        }
        break;
      }
      if (!book.sheetExists("新表")) {
        book.addWorksheet("新表");
        added.push_back("新表");
      }
      if (!book.sheetExists("副本")) {
        try {
          book.cloneSheet(before[k].name, "副本");
          added.push_back("副本");
        } catch (const xlsx::Error& e) {
          if (book.sheetExists("副本")) {
            std::fprintf(stderr, "a refused copy was left behind: %s\n", e.what());
            std::abort();
          }
        }
      }
    }
    for (size_t k = before.size(); k-- > edited + 1 && deleted == before.size();) {
      const QString key = QString::fromStdString(before[k].name).toCaseFolded();
      if (std::count_if(allNames.begin(), allNames.end(), [&](const std::string& n) {
            return QString::fromStdString(n).toCaseFolded() == key;
          }) != 1) {
        continue;  // the name would reach another worksheet too
      }
      try {
        book.worksheet(before[k].name);
      } catch (const xlsx::Error&) {
        continue;  // it reaches a chart sheet of that name first
      }
      book.deleteSheet(before[k].name);
      deleted = k;
    }
    doc.save();
  } catch (const xlsx::Error& e) {
    std::fprintf(stderr, "an edit or the save of a workbook that reads failed: %s\n", e.what());
    std::abort();
  }
  doc.close();

  xlsx::Document again;
  try {
    again.open(*bookPath);
  } catch (const xlsx::Error& e) {
    std::fprintf(stderr, "the saved workbook does not open: %s\n", e.what());
    std::abort();
  }
  book = again.workbook();
  std::vector<std::string> wanted;
  for (const std::string& name : allNames) {
    if (deleted == before.size() || name != before[deleted].name) wanted.push_back(name);
  }
  for (const std::string& name : added) wanted.push_back(name);
  if (book.worksheetNames() != wanted) mismatch("the sheets", joined(wanted), joined(book.worksheetNames()));
  // what a cell of the edited sheet (or of its copy) should read now
  auto expect = [&](size_t k, Position p, const CellRead& was) {
    auto w = written.find({k, p});
    if (w != written.end()) return w->second;
    return deletedRows.count({k, p.first}) != 0 ? CellRead() : was;
  };
  auto compare = [&](size_t k, const std::string& name, const char* what) {
    const SheetRead now = readSheet(book, name);
    if (before[k].refusal != now.refusal) mismatch(name + " " + what, before[k].refusal, now.refusal);
    if (!now.refusal.empty()) return;
    const xlsx::Worksheet ws = book.worksheet(name);
    auto check = [&](Position p, const CellRead& want) {
      const auto got = now.cells.find(p);
      const CellRead read = got != now.cells.end() ? got->second : describe(ws.cell(p.first, p.second));
      if (read != want) mismatch(where(now, p) + " " + what, want.text(), read.text());
    };
    for (const auto& [p, was] : before[k].cells) check(p, expect(k, p, was));
    for (const auto& [at, want] : written) {
      if (at.first == k) check(at.second, want);
    }
  };
  for (size_t k = 0; k < before.size(); ++k) {
    if (k != deleted) compare(k, before[k].name, "after the save");
    if (k == edited && std::find(added.begin(), added.end(), "副本") != added.end()) compare(k, "副本", "(the copy)");
  }
  return 0;
}
