// Helpers shared by the grammar tests: tokenising a text, parsing it with a
// listener that records every report instead of printing it, and a compact
// bracketed rendering of expression trees.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KorLexer.h"
#include "KorParser.h"

namespace kortest {

struct Report {
  size_t line;
  size_t column;
  std::string msg;
};

class RecordingListener : public antlr4::BaseErrorListener {
public:
  std::vector<Report> reports;
  void syntaxError(antlr4::Recognizer*, antlr4::Token*, size_t line, size_t column,
                   const std::string& msg, std::exception_ptr) override {
    reports.push_back({line, column, msg});
  }
};

struct Tok {
  size_t type;
  std::string text;
  size_t channel;
};

// Every token of `text` up to end of input, hidden ones included; lexer
// reports go to `errors` when given.
inline std::vector<Tok> lex(const std::string& text, std::vector<Report>* errors = nullptr) {
  antlr4::ANTLRInputStream in(text);
  KorLexer lexer(&in);
  RecordingListener rec;
  lexer.removeErrorListeners();
  lexer.addErrorListener(&rec);
  std::vector<Tok> out;
  for (auto t = lexer.nextToken(); t->getType() != antlr4::Token::EOF; t = lexer.nextToken())
    out.push_back({t->getType(), t->getText(), t->getChannel()});
  if (errors) *errors = rec.reports;
  return out;
}

// Token types only, hidden tokens left out.
inline std::vector<size_t> visibleTypes(const std::string& text, std::vector<Report>* errors = nullptr) {
  std::vector<size_t> out;
  for (const auto& t : lex(text, errors))
    if (t.channel == antlr4::Token::DEFAULT_CHANNEL) out.push_back(t.type);
  return out;
}

// A lexer, token stream and parser over one text; reports of both recognizers
// are recorded, nothing is printed.
struct Parse {
  antlr4::ANTLRInputStream input;
  KorLexer lexer;
  antlr4::CommonTokenStream tokens;
  KorParser parser;
  RecordingListener lexErrors;
  RecordingListener parseErrors;

  explicit Parse(const std::string& text) : input(text), lexer(&input), tokens(&lexer), parser(&tokens) {
    lexer.removeErrorListeners();
    lexer.addErrorListener(&lexErrors);
    parser.removeErrorListeners();
    parser.addErrorListener(&parseErrors);
  }
  size_t errorCount() const { return lexErrors.reports.size() + parseErrors.reports.size(); }
  // True when the parser stopped at the end of input.
  bool atEnd() { return tokens.LA(1) == antlr4::Token::EOF; }
};

// Renders an expression with every operator node in parentheses:
// "a / b * c" parsed right comes out as "(a / (b * c))". Primary
// alternatives (variables, literals, calls) are shown by their text.
inline std::string shape(antlr4::tree::ParseTree* t) {
  auto* rule = dynamic_cast<antlr4::ParserRuleContext*>(t);
  if (!rule) return t->getText();
  if (auto* paren = dynamic_cast<KorParser::ParenthesesExprContext*>(rule)) return shape(paren->expr());
  bool isExpr = dynamic_cast<KorParser::ExprContext*>(rule) != nullptr;
  bool operatorNode = isExpr && rule->children.size() > 1 &&
                      !dynamic_cast<KorParser::CallFunExprContext*>(rule) &&
                      !dynamic_cast<KorParser::VarExprContext*>(rule) &&
                      !dynamic_cast<KorParser::NegationExprContext*>(rule) &&
                      !dynamic_cast<KorParser::LogRevExprContext*>(rule);
  if (!operatorNode) {
    // look through single-child wrappers such as rightvar, keep the rest whole
    if (!isExpr && rule->children.size() == 1) return shape(rule->children[0]);
    return rule->getText();
  }
  std::string s = "(";
  for (size_t i = 0; i < rule->children.size(); ++i) {
    if (i) s += ' ';
    s += shape(rule->children[i]);
  }
  return s + ")";
}

}  // namespace kortest
