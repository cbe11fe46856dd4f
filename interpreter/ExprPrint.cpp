// Printing (hs_dayin / dy / dyh / print / println) and format strings.
#include "ExprOperands.h"

#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"

#include <QString>
#include <QStringList>

#include <iostream>
#include <vector>

namespace {

// dyh and println end the output with a line end; hs_dayin, dy and print do
// not. The five keywords differ in length, so the token's length decides.
bool endsLine(antlr4::tree::TerminalNode* keyword) {
  antlr4::Token* t = keyword->getSymbol();
  size_t length = t->getStopIndex() - t->getStartIndex() + 1;
  return length == 3 || length == 7;
}

void writeUtf8(const QString& text) {
  QByteArray bytes = text.toUtf8();
  std::cout.write(bytes.constData(), bytes.size());
}

// Evaluates the operands in order; all values or none (the ones already
// evaluated are released when a later one fails).
void evalAll(ExprVisitor& v, const std::vector<KorParser::ExprContext*>& exprs,
             std::vector<ExprValue>& values) {
  values.reserve(exprs.size());
  try {
    for (KorParser::ExprContext* e : exprs) values.push_back(evalExprFast(v, e));
  } catch (...) {
    for (ExprValue& value : values) freeValue(value);
    throw;
  }
}

// Operands joined by single blanks, each value released after use.
void printValues(ExprVisitor& v, antlr4::tree::TerminalNode* keyword,
                 const std::vector<KorParser::ExprContext*>& exprs) {
  std::vector<ExprValue> values;
  evalAll(v, exprs, values);
  QString text;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += QLatin1Char(' ');
    text += valueToText(values[i]);
    freeValue(values[i]);
  }
  writeUtf8(text);
  if (endsLine(keyword)) std::cout << std::endl;
}

}  // namespace

ExprValue evalFmtString(ExprVisitor& v, KorParser::FmtStringContext* ctx) {
  auto* part = static_cast<KorParser::PrintFormatPartContext*>(ctx->children[1]);
  std::vector<KorParser::ExprContext*> exprs;
  if (KorParser::SingleExprContext* single = part->singleExpr())
    exprs.push_back(single->expr());
  else
    exprs = part->multiExpr()->expr();
  const size_t n = exprs.size();

  // Pieces of the format: the text before %1, between %1 and %2, and so on.
  // Placeholders are searched in increasing order only, each behind the
  // previous one; a missing one ends the search and the rest of the text,
  // even when empty, is the last piece.
  const QString& format = cachedFormatText(static_cast<antlr4::ParserRuleContext*>(ctx->children[0]));
  QStringList pieces;
  int pos = 0;
  bool allFound = true;
  for (size_t k = 1; k <= n; ++k) {
    QString placeholder = QLatin1Char('%') + QString::number(qulonglong(k));
    int at = format.indexOf(placeholder, pos, Qt::CaseSensitive);
    if (at < 0) {
      pieces << format.mid(pos);
      allFound = false;
      break;
    }
    pieces << format.mid(pos, at - pos);
    pos = at + placeholder.size();
  }
  if (allFound && pos < format.size()) pieces << format.mid(pos);

  std::vector<ExprValue> values;
  evalAll(v, exprs, values);

  QString text;
  for (int i = 0; i < pieces.size(); ++i) {
    text += pieces.at(i);
    if (size_t(i) < n) text += valueToText(values[size_t(i)]);
  }
  for (size_t j = size_t(pieces.size()); j < n; ++j) {
    text += QLatin1Char(' ');
    text += valueToText(values[j]);
  }
  for (ExprValue& value : values) freeValue(value);

  ExprValue result;
  makeByteStringValue(result, text.toUtf8());
  return result;
}

antlrcpp::Any ExprVisitor::visitFmtString(KorParser::FmtStringContext* ctx) {
  return evalFmtString(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitFormatPrintExpr(KorParser::FormatPrintExprContext* ctx) {
  ExprValue value = evalFmtString(*this, ctx->fmtString());
  if (value.payload.bytes != nullptr)
    std::cout.write(value.payload.bytes->constData(), value.payload.bytes->size());
  if (endsLine(ctx->DA_YIN_KEY())) std::cout << std::endl;
  freeValue(value);
  return 0;
}

antlrcpp::Any ExprVisitor::visitPrintExpr(KorParser::PrintExprContext* ctx) {
  printValues(*this, ctx->DA_YIN_KEY(), ctx->expr());
  return 0;
}

antlrcpp::Any ExprVisitor::visitOutputExpr(KorParser::OutputExprContext* ctx) {
  printValues(*this, ctx->DA_YIN_KEY(), ctx->expr());
  return 0;
}

antlrcpp::Any ExprVisitor::visitFormat_string(KorParser::Format_stringContext* ctx) {
  // A QByteArray, not a std::string: an antlrcpp::Any silently drops contents
  // whose copy may throw.
  return QByteArray::fromStdString(ctx->STRING_VALUE()->getText());
}
