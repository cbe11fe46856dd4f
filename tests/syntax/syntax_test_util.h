// Shared helpers of the syntax-reporting tests.
#pragma once

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "KorErrListener.h"
#include "KorSyntaxErrors.h"
#include "run_state.h"

namespace syntaxtest {

// Redirects std::cout and std::cerr into strings for its lifetime.
class CaptureStreams {
public:
  CaptureStreams() : oldOut_(std::cout.rdbuf(out_.rdbuf())), oldErr_(std::cerr.rdbuf(err_.rdbuf())) {}
  ~CaptureStreams() {
    std::cout.rdbuf(oldOut_);
    std::cerr.rdbuf(oldErr_);
  }
  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

private:
  std::ostringstream out_, err_;
  std::streambuf* oldOut_;
  std::streambuf* oldErr_;
};

struct Report {
  size_t line;
  size_t column;
  std::string offending;  // "-" without a token
  std::string msg;
  bool hasException;
};

class RecordingListener : public antlr4::BaseErrorListener {
public:
  std::vector<Report> reports;
  void syntaxError(antlr4::Recognizer*, antlr4::Token* t, size_t line, size_t column,
                   const std::string& msg, std::exception_ptr e) override {
    reports.push_back({line, column, t ? t->getText() : "-", msg, bool(e)});
  }
};

// One parse with the Chinese lexer; the error strategy is set by the test.
struct ChineseParse {
  antlr4::ANTLRInputStream input;
  ChineseKorLexer lexer;
  antlr4::CommonTokenStream tokens;
  KorParser parser;
  explicit ChineseParse(const std::string& text) : input(text), lexer(&input), tokens(&lexer), parser(&tokens) {}
};

}  // namespace syntaxtest
