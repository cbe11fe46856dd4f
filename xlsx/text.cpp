// Texts of the layer: messages, cell addresses, sheet names, sheet
// references inside formulas and the _xHHHH_ escapes of cell text.
#include "internal.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cstdio>

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

// The name as a formula writes it before "!": bare when it is a plain ASCII
// name that cannot be read as a cell reference, else quoted.
static std::string referenceName(const std::string& name) {
  bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
  for (unsigned char c : name) plain = plain && c < 0x80 && nameChar(c);
  if (plain) {
    size_t i = 0;
    while (i < name.size() && std::isalpha(static_cast<unsigned char>(name[i]))) ++i;
    size_t j = i;
    while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) ++j;
    if (j == name.size() && j > i) plain = false;  // looks like A1
    bool rc = true;  // R1C1-style: only R, C and digits
    for (char c : name) rc = rc && (std::isdigit(static_cast<unsigned char>(c)) || c == 'R' || c == 'r' || c == 'C' || c == 'c');
    if (rc) plain = false;
  }
  if (plain) return name;
  std::string q = "'";
  for (char c : name) {
    q += c;
    if (c == '\'') q += '\'';
  }
  return q + "'";
}

std::string renameSheetInFormula(const std::string& f, const std::string& oldName,
                                 const std::string& newName) {
  std::string out;
  out.reserve(f.size());
  const std::string replacement = referenceName(newName) + "!";
  size_t i = 0;
  const size_t n = f.size();
  auto startsReference = [&](size_t at) {
    if (at == 0) return true;
    const unsigned char p = static_cast<unsigned char>(f[at - 1]);
    return !nameChar(p) && p != ']' && p != '\'' && p != '!';
  };
  while (i < n) {
    const char c = f[i];
    if (c == '"') {  // string literal, "" inside
      size_t j = i + 1;
      while (j < n && !(f[j] == '"' && (j + 1 >= n || f[j + 1] != '"'))) j += (f[j] == '"') ? 2 : 1;
      j = std::min(j + 1, n);
      out.append(f, i, j - i);
      i = j;
    } else if (c == '\'' && startsReference(i)) {
      std::string name;
      size_t j = i + 1;
      while (j < n) {
        if (f[j] == '\'') {
          if (j + 1 < n && f[j + 1] == '\'') {
            name += '\'';
            j += 2;
            continue;
          }
          break;
        }
        name += f[j++];
      }
      if (j + 1 < n && f[j + 1] == '!' && sameSheetName(name, oldName)) {
        out += replacement;
        i = j + 2;
      } else {
        j = std::min(j + 1, n);
        out.append(f, i, j - i);
        i = j;
      }
    } else if (nameChar(static_cast<unsigned char>(c)) && startsReference(i)) {
      size_t j = i;
      while (j < n && nameChar(static_cast<unsigned char>(f[j]))) ++j;
      if (j < n && f[j] == '!' && sameSheetName(f.substr(i, j - i), oldName)) {
        out += replacement;
        i = j + 1;
      } else {
        out.append(f, i, j - i);
        i = j;
      }
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
