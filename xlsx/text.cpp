// Texts of the layer: messages, cell addresses, sheet names, sheet
// references inside formulas and the _xHHHH_ escapes of cell text.
#include "internal.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace xlsx {

void fail(const std::string& text) { throw Error(text); }

std::string format(const char* utf8Template, std::initializer_list<std::string> args) {
  std::string out;
  for (const char* p = utf8Template; *p != '\0'; ++p) {
    if (*p == '%' && p[1] >= '1' && p[1] <= '9' && size_t(p[1] - '1') < args.size()) {
      out += *(args.begin() + (p[1] - '1'));
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// ---- addresses ----

static void badAddress(const std::string& address) {
  fail(format("单元格地址 \"%1\" 无效：列须为大写字母 A 到 XFD，行须为 1 到 1048576", {address}));
}

void parseAddress(const std::string& address, uint32_t* row, uint16_t* column) {
  size_t i = 0;
  uint32_t col = 0;
  while (i < address.size() && address[i] >= 'A' && address[i] <= 'Z' && i < 4) {
    col = col * 26 + uint32_t(address[i] - 'A' + 1);
    ++i;
  }
  if (i == 0 || i > 3 || col > kMaxColumns) badAddress(address);
  const size_t digits = i;
  uint64_t r = 0;
  while (i < address.size() && address[i] >= '0' && address[i] <= '9' && i - digits < 8) {
    r = r * 10 + uint64_t(address[i] - '0');
    ++i;
  }
  if (i != address.size() || i == digits || address[digits] == '0' || r > kMaxRows) {
    badAddress(address);
  }
  *row = uint32_t(r);
  *column = uint16_t(col);
}

std::string columnLetters(uint32_t column) {
  std::string s;
  while (column > 0) {
    --column;
    s.insert(s.begin(), char('A' + column % 26));
    column /= 26;
  }
  return s;
}

// ---- sheet names ----

bool validUtf8(const std::string& text) {
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    const size_t len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || n - i < len) return false;
    uint32_t cp = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = cp << 6 | (t & 0x3F);
    }
    static const uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

void checkSheetName(const std::string& name) {
  // Anything else could not be written into the workbook's XML.
  if (!validUtf8(name)) fail("工作表名称无效：不是有效的 UTF-8 编码");
  for (unsigned char c : name) {
    if (c < 0x20) fail("工作表名称无效：不能包含换行、制表符等控制字符");
  }
  const QString q = QString::fromUtf8(name.data(), int(name.size()));
  if (q.isEmpty() || q.size() > 31) {
    fail(format("工作表名称 \"%1\" 无效：长度须为 1 到 31 个字符", {name}));
  }
  for (QChar c : q) {
    if (QStringLiteral("/\\?*:[]").contains(c)) {
      fail(format("工作表名称 \"%1\" 无效：不能包含 / \\ ? * : [ ] 这些字符", {name}));
    }
  }
  if (q.startsWith(QLatin1Char('\'')) || q.endsWith(QLatin1Char('\''))) {
    fail(format("工作表名称 \"%1\" 无效：不能以单引号开头或结尾", {name}));
  }
}

// ---- sheet references in formulas ----

static bool nameChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c >= 0x80;
}

// Whether a formula must quote the name before "!": unless it is a plain
// ASCII name that cannot be read as a cell reference.
static bool needsQuotes(const std::string& name) {
  bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
  for (unsigned char c : name) plain = plain && c < 0x80 && nameChar(c);
  if (plain) {
    size_t i = 0;
    uint32_t column = 0;
    while (i < name.size() && std::isalpha(static_cast<unsigned char>(name[i]))) {
      column = column * 26 + uint32_t(std::toupper(static_cast<unsigned char>(name[i])) - 'A' + 1);
      if (++i > 3) break;
    }
    size_t j = i;
    while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) ++j;
    if (j == name.size() && j > i && i <= 3 && column <= kMaxColumns) plain = false;  // looks like A1
    bool rc = true;  // R1C1-style: only R, C and digits
    for (char c : name) rc = rc && (std::isdigit(static_cast<unsigned char>(c)) || c == 'R' || c == 'r' || c == 'C' || c == 'c');
    if (rc) plain = false;
  }
  return !plain;
}

static std::string withDoubledQuotes(const std::string& name) {
  std::string q;
  for (char c : name) {
    q += c;
    if (c == '\'') q += '\'';
  }
  return q;
}

// The sheet part of a reference with its "!": one sheet ("Data!",
// "'My Data'!") or the first and last sheet of a 3-D reference ("A:B!",
// "'A:My B'!", quoted as a whole when either name needs it).
static std::string sheetPrefix(const std::string& first, const std::string& last) {
  if (last.empty()) return needsQuotes(first) ? "'" + withDoubledQuotes(first) + "'!" : first + "!";
  if (!needsQuotes(first) && !needsQuotes(last)) return first + ":" + last + "!";
  return "'" + withDoubledQuotes(first) + ":" + withDoubledQuotes(last) + "'!";
}

// The end of the quoted text that starts at f[i]: a string literal ('"') or
// a sheet name ('\''), the quote doubled inside.
static size_t quotedEnd(const std::string& f, size_t i) {
  const size_t n = f.size();
  const char q = f[i];
  size_t j = i + 1;
  while (j < n && !(f[j] == q && (j + 1 >= n || f[j + 1] != q))) j += (f[j] == q) ? 2 : 1;
  return std::min(j + 1, n);
}

std::string renameSheetInFormula(const std::string& f, const std::string& oldName,
                                 const std::string& newName) {
  std::string out;
  out.reserve(f.size());
  size_t i = 0;
  const size_t n = f.size();
  auto startsReference = [&](size_t at) {
    if (at == 0) return true;
    const unsigned char p = static_cast<unsigned char>(f[at - 1]);
    return !nameChar(p) && p != ']' && p != '\'' && p != '!';
  };
  auto nameEnd = [&](size_t at) {
    while (at < n && nameChar(static_cast<unsigned char>(f[at]))) ++at;
    return at;
  };
  // The sheet part naming first (and, in a 3-D reference, last) with the
  // renamed sheet's new name; false when neither is the renamed sheet.
  auto renamed = [&](std::string first, std::string last, std::string* prefix) {
    bool hit = false;
    for (std::string* name : {&first, &last}) {
      if (!name->empty() && sameSheetName(*name, oldName)) {
        *name = newName;
        hit = true;
      }
    }
    if (hit) *prefix = sheetPrefix(first, last);
    return hit;
  };
  while (i < n) {
    const char c = f[i];
    std::string prefix;
    if (c == '"') {
      const size_t j = quotedEnd(f, i);
      out.append(f, i, j - i);
      i = j;
    } else if (c == '\'' && startsReference(i)) {
      const size_t j = quotedEnd(f, i);  // past the closing quote
      std::string name;
      for (size_t k = i + 1; k + 1 < j; ++k) {
        name += f[k];
        if (f[k] == '\'') ++k;
      }
      // a sheet name holds no ":" (a 3-D reference does) and no brackets
      // (a reference into another workbook does)
      const size_t colon = name.find(':');
      const bool here = name.find_first_of("[]") == std::string::npos;
      if (j < n && f[j] == '!' && here &&
          renamed(name.substr(0, colon), colon == std::string::npos ? "" : name.substr(colon + 1), &prefix)) {
        out += prefix;
        i = j + 1;
      } else {
        out.append(f, i, j - i);
        i = j;
      }
    } else if (nameChar(static_cast<unsigned char>(c))) {
      const size_t j = nameEnd(i);
      const std::string first = f.substr(i, j - i);
      // a 3-D reference: two plain sheet names around ":" before "!"
      const size_t k = j < n && f[j] == ':' ? nameEnd(j + 1) : j;
      const bool threeD = k > j + 1 && k < n && f[k] == '!' && !needsQuotes(first);
      const bool starts = startsReference(i);
      if (starts && j < n && f[j] == '!' && renamed(first, "", &prefix)) {
        out += prefix;
        i = j + 1;
      } else if (starts && threeD && renamed(first, f.substr(j + 1, k - j - 1), &prefix)) {
        out += prefix;
        i = k + 1;
      } else {  // not the renamed sheet, or in another workbook ("[1]A:B!")
        const size_t end = threeD ? k : j;
        out.append(f, i, end - i);
        i = end;
      }
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// ---- moving a formula to another cell ----

namespace {

// One part of a reference: a column ("$B"), a row ("$3") or a cell ("B$3").
struct RefPart {
  bool hasColumn = false, hasRow = false;
  bool absColumn = false, absRow = false;
  int64_t column = 0, row = 0;
};

// Reads tok as a cell, a column or a row; false when it is none of them.
bool parseRefPart(std::string_view tok, RefPart* p) {
  size_t i = 0;
  const size_t n = tok.size();
  if (i < n && tok[i] == '$') {
    p->absColumn = true;
    ++i;
  }
  const size_t letters = i;
  while (i < n && i - letters < 4 && std::isalpha(static_cast<unsigned char>(tok[i])) &&
         static_cast<unsigned char>(tok[i]) < 0x80) {
    p->column = p->column * 26 + (std::toupper(static_cast<unsigned char>(tok[i])) - 'A' + 1);
    ++i;
  }
  p->hasColumn = i > letters;
  if (p->hasColumn && (i - letters > 3 || p->column > kMaxColumns)) return false;
  if (!p->hasColumn && p->absColumn) {  // "$3": an absolute row
    p->absColumn = false;
    p->absRow = true;
  } else if (i < n && tok[i] == '$') {
    if (!p->hasColumn) return false;
    p->absRow = true;
    ++i;
  }
  const size_t digits = i;
  while (i < n && i - digits < 8 && tok[i] >= '0' && tok[i] <= '9') {
    p->row = p->row * 10 + (tok[i] - '0');
    ++i;
  }
  p->hasRow = i > digits;
  if (i != n || (!p->hasColumn && !p->hasRow) || (p->absRow && !p->hasRow)) return false;
  return !p->hasRow || (tok[digits] != '0' && p->row <= kMaxRows);
}

// The part moved by the offset; false when it leaves the sheet.
bool movePart(RefPart* p, int64_t rows, int64_t columns) {
  if (p->hasColumn && !p->absColumn) p->column += columns;
  if (p->hasRow && !p->absRow) p->row += rows;
  return (!p->hasColumn || (p->column >= 1 && p->column <= kMaxColumns)) &&
         (!p->hasRow || (p->row >= 1 && p->row <= kMaxRows));
}

std::string partText(const RefPart& p) {
  std::string s;
  if (p.hasColumn) s += (p.absColumn ? "$" : "") + columnLetters(uint32_t(p.column));
  if (p.hasRow) s += (p.absRow ? "$" : "") + std::to_string(p.row);
  return s;
}

bool tokenChar(unsigned char c) { return nameChar(c) || c == '$' || c == '\\'; }

// Appends what starts at f[i] and holds no references to out, and moves i
// past it: a string literal, a quoted sheet name, or bracketed text (a
// workbook index, or a structured reference's columns, maybe nested). False
// when none starts there.
bool copyLiteral(const std::string& f, size_t& i, std::string& out) {
  size_t j = i;
  if (f[i] == '"' || f[i] == '\'') {
    j = quotedEnd(f, i);
  } else if (f[i] == '[') {
    size_t depth = 0;
    do {
      if (f[j] == '[') ++depth;
      else if (f[j] == ']') --depth;
      ++j;
    } while (j < f.size() && depth > 0);
  } else {
    return false;
  }
  out.append(f, i, j - i);
  i = j;
  return true;
}

}  // namespace

std::string moveFormula(const std::string& f, int64_t rows, int64_t columns) {
  std::string out;
  out.reserve(f.size() + 8);
  const size_t n = f.size();
  size_t i = 0;
  // the token that starts at `at` and where it ends
  auto tokenEnd = [&](size_t at) {
    size_t j = at;
    while (j < n && tokenChar(static_cast<unsigned char>(f[j]))) ++j;
    return j;
  };
  // a name, a function or a sheet, not a reference, when followed by these
  auto notReference = [&](size_t end) { return end < n && (f[end] == '(' || f[end] == '!' || f[end] == '['); };
  while (i < n) {
    const char c = f[i];
    if (copyLiteral(f, i, out)) {
      continue;
    } else if (c == '#') {  // an error value such as #REF! or #N/A
      size_t j = i + 1;
      while (j < n && (std::isalnum(static_cast<unsigned char>(f[j])) || f[j] == '/' || f[j] == '_')) ++j;
      if (j < n && (f[j] == '!' || f[j] == '?')) ++j;
      out.append(f, i, j - i);
      i = j;
    } else if (tokenChar(static_cast<unsigned char>(c))) {
      const size_t j = tokenEnd(i);
      RefPart a;
      if (notReference(j) || !parseRefPart(std::string_view(f).substr(i, j - i), &a)) {
        out.append(f, i, j - i);
        i = j;
        continue;
      }
      // a whole column or row is only one side of a range such as A:C or 2:5
      RefPart b;
      size_t k = j;
      const bool pairNeeded = !(a.hasColumn && a.hasRow);
      if (pairNeeded) {
        k = j < n && f[j] == ':' ? tokenEnd(j + 1) : j;
        if (k == j || notReference(k) || !parseRefPart(std::string_view(f).substr(j + 1, k - j - 1), &b) ||
            b.hasColumn != a.hasColumn || b.hasRow != a.hasRow) {
          out.append(f, i, j - i);
          i = j;
          continue;
        }
      }
      if (!movePart(&a, rows, columns) || (pairNeeded && !movePart(&b, rows, columns))) {
        out += "#REF!";
      } else {
        out += partText(a);
        if (pairNeeded) out += ":" + partText(b);
      }
      i = k;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::string renameTableInFormula(const std::string& f, const std::string& oldName,
                                 const std::string& newName) {
  std::string out;
  out.reserve(f.size() + 8);
  const size_t n = f.size();
  size_t i = 0;
  while (i < n) {
    const char c = f[i];
    if (copyLiteral(f, i, out)) {
      continue;
    } else if (tokenChar(static_cast<unsigned char>(c))) {
      size_t j = i;
      while (j < n && tokenChar(static_cast<unsigned char>(f[j]))) ++j;
      // a function or a sheet when followed by "(" or "!"; a sheet's own name after "!"
      const bool table = !(j < n && (f[j] == '(' || f[j] == '!')) && !(i > 0 && f[i - 1] == '!');
      if (table && sameSheetName(f.substr(i, j - i), oldName)) out += newName;
      else out.append(f, i, j - i);
      i = j;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// ---- _xHHHH_ escapes ----

static int hexValue(const std::string& s, size_t at) {
  if (at + 7 > s.size() || s[at] != '_' || s[at + 1] != 'x' || s[at + 6] != '_') return -1;
  int v = 0;
  for (size_t k = at + 2; k < at + 6; ++k) {
    const char c = s[k];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return -1;
    v = v * 16 + d;
  }
  return v;
}

static void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

std::string decodeEscapes(const std::string& s) {
  if (s.find("_x") == std::string::npos) return s;
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    int v = s[i] == '_' ? hexValue(s, i) : -1;
    if (v < 0) {
      out += s[i++];
      continue;
    }
    i += 7;
    uint32_t cp = uint32_t(v);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      const int low = hexValue(s, i);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + uint32_t(low - 0xDC00);
        i += 7;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    appendUtf8(out, cp);
  }
  return out;
}

std::string encodeEscapes(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  char buf[8];
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 && c != '\t' && c != '\n') {
      std::snprintf(buf, sizeof buf, "_x%04X_", unsigned(c));
      out += buf;
    } else if (c == '_' && hexValue(s, i) >= 0) {
      out += "_x005F_";
    } else {
      out += char(c);
    }
  }
  return out;
}

}  // namespace xlsx
