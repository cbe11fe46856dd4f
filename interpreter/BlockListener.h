// The declaration pre-pass: walks a script's parse tree once before anything
// is evaluated. It rejects statements outside the global block and the
// functions, allows one global block, and registers the global block and
// every function (also as a function value) so that calls can reach
// functions defined later in the text.
#pragma once

#include "KorBaseListener.h"

// Name of the run driver's frame around the entry call; no script function
// may have it.
inline constexpr char kEntryWrapperName[] = "cmain";

class BlockListener : public KorBaseListener {
 public:
  explicit BlockListener(antlr4::CommonTokenStream* tokens) : tokens_(tokens) {}

  void enterDefglobal(KorParser::DefglobalContext* ctx) override;
  void exitDefglobal(KorParser::DefglobalContext* ctx) override;
  void enterBlock(KorParser::BlockContext* ctx) override;
  void exitBlock(KorParser::BlockContext* ctx) override;
  void enterStatement(KorParser::StatementContext* ctx) override;
  void enterDeclareStruct(KorParser::DeclareStructContext* ctx) override;
  void enterFunction(KorParser::FunctionContext* ctx) override;
  void exitFunction(KorParser::FunctionContext* ctx) override;

  void rejectStrayStatement(antlr4::ParserRuleContext* ctx);

  int depth() const { return depth_; }
  int globalBlockCount() const { return globalCount_; }

 private:
  void leave() { --depth_; }

  antlr4::CommonTokenStream* tokens_;
  int depth_ = 0;
  int globalCount_ = 0;
};
