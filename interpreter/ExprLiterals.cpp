// Literals, list and dict literals, named constants.
//
// Every visit returns one fresh ExprValue whose payload belongs to the caller.
#include "ExprVisitor.h"
#include "StackGuard.h"
#include "VisitResult.h"

#include "ExprOperands.h"
#include "MessageFormat.h"

#include "runtime/errors.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace {

// Releases a container built by a literal when an element fails.
struct PendingValue {
  ExprValue value;
  bool armed = true;
  ~PendingValue() {
    if (armed) freeValue(value);
  }
};

// Named constants: the full token text and its value.
const std::unordered_map<std::string, int32_t>& flagTable() {
  static const std::unordered_map<std::string, int32_t> table = {
      {"Kor::UTF8", 0},
      {"Kor::UTF-8", 0},
      {"Kor::UTF16-LE", 2},
      {"Kor::UTF16-BE", 3},
      {"Kor::GB18030", 4},
      {"Kor::GBK", 4},
      {"Kor::EUC-JP", 5},
      {"Kor::Shift-JIS", 6},
      {"Kor::EUC-KR", 7},
      {"Kor::KOI8-R", 8},
      {"Kor::TSCII", 9},
      {"Kor::TIS-620", 10},
      {"Kor::Big5", 11},
      {"Kor::IBM866", 14},
      {"Kor::CaseSens", 1},
      {"Kor::NoCaseSens", 0},
      {"Kor::Base64Encode", 0},
      {"Kor::Base64UrlEncode", 1},
      {"Kor::KeepTrailingEquals", 0},
      {"Kor::OmitTrailingEquals", 2},
      {"Kor::IgnoreDecodeErrors", 0},
      {"Kor::AbortOnDecodeErrors", 4},
      {"Kor::AllDirs", 1024},
      {"Kor::Files", 2},
      {"Kor::NoFilter", 0},
      {"Kor::NoSymLinks", 8},
      {"Kor::NoDotAndDotDot", 0x6000},
      {"Kor::Readable", 16},
      {"Kor::Writable", 32},
      {"Kor::Executable", 64},
      {"Kor::Modified", 128},
      {"Kor::Hidden", 256},
      {"Kor::System", 512},
      {"Kor::BottomUp", 0x8000},
      {"Kor::Name", 0},
      {"Kor::Time", 1},
      {"Kor::Size", 2},
      {"Kor::Type", 128},
      {"Kor::DirsFirst", 4},
      {"Kor::DirsLast", 32},
      {"Kor::IgnoreCase", 16},
      {"Kor::Reversed", 8},
      {"Reg::NoPattern", 0},
      {"Reg::CaseInsensitive", 1},
      {"Reg::DotMatchesEverything", 2},
      {"Reg::Multiline", 4},
      {"Reg::ExtendedPatternSyntax", 8},
      {"Reg::InvertedGreediness", 16},
      {"Reg::DontCapture", 32},
      {"Reg::UseUnicodeProperties", 64},
  };
  return table;
}

[[noreturn]] void raiseIllegalChar(antlr4::ParserRuleContext* ctx, const std::string& text) {
  raiseScriptError(fillMessage(
      QStringLiteral(
          "错误：行号 %1 语句 %2 非法的字符类型，字符格式需要是单字符'c'或16进制 0xff 格式！"),
      lineOfContext(ctx), QString::fromStdString(text)));
}

}  // namespace

// Integer literal: base 16 after "0x"/"0X", else 10, with the rules of
// std::stoll (leading blanks and a sign accepted); 32-bit values give zs.
ExprValue parseIntLiteral(std::string text) {
  const char* s = text.c_str();
  const int base =
      (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
  char* end = nullptr;
  const int savedErrno = errno;
  errno = 0;
  const long long v = std::strtoll(s, &end, base);
  if (end == s) {
    errno = savedErrno;
    throw std::invalid_argument("invalid stoll argument");
  }
  if (errno == ERANGE) {
    errno = savedErrno;
    throw std::out_of_range("stoll argument out of range");
  }
  errno = savedErrno;
  if (v >= INT32_MIN && v <= INT32_MAX) return makeIntValue(int32_t(v));
  return makeLongValue(int64_t(v));
}

antlrcpp::Any ExprVisitor::visitIntExpr(KorParser::IntExprContext* ctx) {
  return parseIntLiteral(ctx->INT_VALUE()->getSymbol()->getText());
}

antlrcpp::Any ExprVisitor::visitFloatExpr(KorParser::FloatExprContext* ctx) {
  return parseDecimalLiteral(ctx->FLOAT_VALUE()->getSymbol()->getText());
}

ExprValue parseDecimalLiteral(const std::string& text) {
  const char* s = text.c_str();
  char* end = nullptr;
  const int savedErrno = errno;
  errno = 0;
  const double v = std::strtod(s, &end);
  if (end == s) {
    errno = savedErrno;
    throw std::invalid_argument("invalid stod argument");
  }
  if (errno == ERANGE) {
    errno = savedErrno;
    throw std::out_of_range("stod argument out of range");
  }
  errno = savedErrno;
  return makeDoubleValue(v);
}

antlrcpp::Any ExprVisitor::visitBoolValueExpr(KorParser::BoolValueExprContext* ctx) {
  const std::string text = ctx->BOOL_VALUE()->getSymbol()->getText();
  return makeBoolValue(!text.empty() && (text[0] == 'z' || text[0] == 't'));
}

antlrcpp::Any ExprVisitor::visitCharValueExpr(KorParser::CharValueExprContext* ctx) {
  const std::string text = ctx->CHAR_VALUE()->getSymbol()->getText();
  switch (text.size()) {
    case 3:
      if (text[0] != '\'') raiseIllegalChar(ctx, text);
      return makeCharValue(text[1]);
    case 4: {
      if (text[0] != '\'' || text[1] != '\\') raiseIllegalChar(ctx, text);
      char c;
      switch (text[2]) {
        case '"':
          c = 34;
          break;
        case '\'':
          c = 39;
          break;
        case 'b':
          c = 8;
          break;
        case 'n':
          c = 10;
          break;
        case 'r':
          c = 13;
          break;
        case 't':
          c = 9;
          break;
        default:
          raiseScriptError(
              fillMessage(QStringLiteral("错误：行号 %1 语句 %2 非法的转义字符类型，转义支持 \\t "
                                         "\\r \\n \\b \\\" \\' ,其余不支持！"),
                          lineOfContext(ctx), QString::fromStdString(text)));
      }
      return makeCharValue(c);
    }
    case 5:
    case 6: {
      const QString s = QString::fromUtf8(text.data(), int(text.size()));
      if (s.size() == 3) return makeWCharValue(s.at(1).unicode());
      return ExprValue();  // outside the 16-bit range: no value
    }
    default:
      raiseIllegalChar(ctx, text);
  }
}

antlrcpp::Any ExprVisitor::visitStrExpr(KorParser::StrExprContext* ctx) {
  const std::string token = ctx->STRING_VALUE()->getSymbol()->getText();
  QByteArray text = QByteArray::fromRawData(token.data(), int(token.size()));
  const bool wide = text.startsWith("u16");
  if (wide) {
    const int dq = text.indexOf('"', 3);
    const int sq = text.indexOf('\'', 3);
    int from = dq < 0 ? sq : (sq < 0 ? dq : std::min(dq, sq));
    if (from < 0) from = text.size();
    text = text.mid(from);
  }
  QByteArray bytes = unescapeString(text);
  if (wide) return makeStringValue(QString::fromUtf8(bytes));
  ExprValue v;
  makeByteStringValue(v, std::move(bytes));
  return v;
}

antlrcpp::Any ExprVisitor::visitRowStrExpr(KorParser::RowStrExprContext* ctx) {
  const std::string token = ctx->RAW_STRING_VALUE()->getSymbol()->getText();
  ExprValue v;
  makeByteStringValue(v, rawStringBody(QByteArray(token.data(), int(token.size()))));
  return v;
}

antlrcpp::Any ExprVisitor::visitParenthesesExpr(KorParser::ParenthesesExprContext* ctx) {
  return visit(ctx->expr());
}

antlrcpp::Any ExprVisitor::visitList(KorParser::ListContext* ctx) {
  guardStack(ctx);
  PendingValue result;
  result.value.type = VT_LIST;
  result.value.payload.list = newValueList();
  ValueList* list = result.value.payload.list;
  const std::vector<KorParser::ElementContext*> elements = ctx->element();
  list->reserve(elements.size());
  for (KorParser::ElementContext* el : elements) {
    ExprValue v;
    if (el->list() != nullptr)
      v = visitResultAs<ExprValue>((visitList(el->list())));
    else if (el->expr() != nullptr)
      v = evalExprFast(*this, el->expr());
    else
      v = visitResultAs<ExprValue>((visit(el->stRightVar())));
    list->push_back(moveValueToPool(v));
  }
  result.armed = false;
  return result.value;
}

antlrcpp::Any ExprVisitor::visitMap(KorParser::MapContext* ctx) {
  guardStack(ctx);
  PendingValue result;
  result.value.type = VT_DICT;
  result.value.payload.dict = newValueDict();
  ValueDict* dict = result.value.payload.dict;
  for (KorParser::MapelementContext* el : ctx->mapelement()) {
    PendingValue key;
    key.value = evalExprFast(*this, el->mapkey()->expr());
    const int32_t kt = key.value.type;
    if (kt != VT_INT && kt != VT_LONG && kt != VT_BYTES) {
      raiseScriptError(fillMessage(
          QStringLiteral(
              "错误：函数 %1 语句 %2 字典类型表达式 %3 不是整数或字符串，无法做字典的关键字！"),
          functionNameForMessage(), QString::fromStdString(ctx->getText()),
          QString::fromStdString(el->mapkey()->getText())));
    }
    PendingValue value;
    KorParser::RightvarContext* rv = el->rightvar();
    antlr4::tree::ParseTree* inner = rv->children.empty() ? nullptr : rv->children[0];
    if (inner != nullptr && !inner->children.empty() &&
        static_cast<antlr4::RuleContext*>(inner)->getRuleIndex() == KorParser::RuleExpr)
      value.value = evalExprFast(*this, static_cast<KorParser::ExprContext*>(inner));
    else
      value.value = visitResultAs<ExprValue>((visit(rv)));  // a literal or initialiser; kong has no value
    const std::pair<ValueDict::Node*, bool> slot = dictEmplace(dict, key.value);
    if (slot.second) {
      key.armed = false;  // the key's payload belongs to the dict now
      slot.first->value = moveValueToPool(value.value);
      value.armed = false;
    }
    // a repeated key keeps its first value; key and value are released
  }
  result.armed = false;
  return result.value;
}

antlrcpp::Any ExprVisitor::visitKorFlag(KorParser::KorFlagContext* ctx) {
  const std::string text = ctx->KOR_STATIC_FLAG()->getSymbol()->getText();
  if (text == "Kor::line") return makeIntValue(lineOfContext(ctx));
  if (text == "Kor::fun") return makeBytesValue(currentFunctionName());
  const auto& table = flagTable();
  const auto it = table.find(text);
  if (it == table.end()) {
    raiseScriptError(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 未知的常量名称！"),
                                 lineOfContext(ctx), QString::fromStdString(text)));
  }
  return makeIntValue(it->second);
}
