// The evaluator: walks the parse tree of a script and evaluates it directly.
//
// Every visit returns an antlrcpp::Any: an ExprValue for expressions, the
// integer 0 when there is no value. The class has no data members; all run
// state lives in the process-wide tables and stacks of the runtime.
//
// The implementation is split by area over several source files:
//   ExprLiterals.cpp   literals, list and dict literals, named constants
//   TypedStore.cpp     storeToRecord / storeToCell / loadFromRecord
//   ExprDefine.cpp     struct declarations, typed and struct definitions
//   ExprAssign.cpp     typed assignment and compound assignment
//   ExprVariable.cpp   variable access, ++ and --
//   ExprPrint.cpp      printing and format strings
//   ExprArith.cpp      + - * / % and unary minus
//   ExprLogic.cpp      comparisons, logical, bitwise and membership operators
//   ExprControl.cpp    blocks, conditionals, break/continue, expression statements
//   ExprLoops.cpp      counted, while, for-in and directory-walk loops
//   ExprCalls.cpp      user function calls and returns
//   ExprMethods.cpp    built-in and member method calls
#pragma once

#include <string>

#include "KorBaseVisitor.h"
#include "KorParser.h"

struct ExprValue;
struct ScopeRecord;

// Bits passed down the call machinery.
enum CallFlags : int {
  CALL_STATEMENT = 0x1,    // statement call, no value taken
  CALL_VALUE = 0x2,        // the value is taken
  CALL_CHAINED = 0x10,     // the call has chained calls
  CALL_LAST_CHAINED = 0x20,// this is the last chained call
  CALL_DIRECT = 0x40,      // an expression takes the first value at once: a
                           // built-in call may leave it for takeDirectMethodValue
  CALL_CHAIN_DIRECT = 0x80 // a built-in call that a chained call follows leaves
                           // its first value for takeDirectMethodValue too
};

class ExprVisitor : public KorBaseVisitor {
 public:
  ExprVisitor() = default;

  // Evaluates an expression-like context and returns its value. Shortcut for
  // visit(ctx).as<ExprValue>() used on the hot paths.
  ExprValue evalValue(antlr4::tree::ParseTree* ctx);

  // Default visit for every context without a member of its own: visits the
  // children in order and returns the result of the last one.
  antlrcpp::Any visitChildrenDefault(antlr4::tree::ParseTree* ctx);

  // ---- literals, list and dict literals, named constants (ExprLiterals.cpp)
  antlrcpp::Any visitIntExpr(KorParser::IntExprContext* ctx) override;
  antlrcpp::Any visitFloatExpr(KorParser::FloatExprContext* ctx) override;
  antlrcpp::Any visitBoolValueExpr(KorParser::BoolValueExprContext* ctx) override;
  antlrcpp::Any visitCharValueExpr(KorParser::CharValueExprContext* ctx) override;
  antlrcpp::Any visitStrExpr(KorParser::StrExprContext* ctx) override;
  antlrcpp::Any visitRowStrExpr(KorParser::RowStrExprContext* ctx) override;
  antlrcpp::Any visitParenthesesExpr(KorParser::ParenthesesExprContext* ctx) override;
  antlrcpp::Any visitList(KorParser::ListContext* ctx) override;
  antlrcpp::Any visitMap(KorParser::MapContext* ctx) override;
  antlrcpp::Any visitKorFlag(KorParser::KorFlagContext* ctx) override;

  // ---- definitions (ExprDefine.cpp)
  antlrcpp::Any visitDeclareStruct(KorParser::DeclareStructContext* ctx) override;
  antlrcpp::Any visitDefvar(KorParser::DefvarContext* ctx) override;
  antlrcpp::Any visitDefstvar(KorParser::DefstvarContext* ctx) override;
  antlrcpp::Any visitAssignStOne(KorParser::AssignStOneContext* ctx) override;
  antlrcpp::Any visitStRightVar(KorParser::StRightVarContext* ctx) override;

  // ---- assignment (ExprAssign.cpp)
  antlrcpp::Any visitAssignVar(KorParser::AssignVarContext* ctx) override;

  // ---- variable access (ExprVariable.cpp)
  // Resolves a variable reference with its [index] and .member suffixes.
  // newValue null: reads (a copy, or by reference); otherwise stores newValue
  // at the resolved place with the assignment operator code and returns 0.
  // A store consumes newValue: on success its payload is null afterwards;
  // when the store throws, newValue may still hold its payload, which the
  // caller then releases with freeValue (always safe). A reference
  // read hands out the variable's own payload: give it back with
  // releaseReference (ExprOperands.h), never with freeValue.
  antlrcpp::Any evalVariable(KorParser::KorvarContext* ctx, bool byReference, ExprValue* newValue,
                             int assignOp);
  antlrcpp::Any visitKorvar(KorParser::KorvarContext* ctx) override;
  antlrcpp::Any visitKorAutoAddSub(KorParser::KorAutoAddSubContext* ctx) override;

  // ---- printing and format strings (ExprPrint.cpp)
  antlrcpp::Any visitFmtString(KorParser::FmtStringContext* ctx) override;
  antlrcpp::Any visitFormatPrintExpr(KorParser::FormatPrintExprContext* ctx) override;
  antlrcpp::Any visitPrintExpr(KorParser::PrintExprContext* ctx) override;
  antlrcpp::Any visitOutputExpr(KorParser::OutputExprContext* ctx) override;
  antlrcpp::Any visitFormat_string(KorParser::Format_stringContext* ctx) override;

  // ---- arithmetic (ExprArith.cpp)
  antlrcpp::Any visitAddExpr(KorParser::AddExprContext* ctx) override;
  antlrcpp::Any visitSubExpr(KorParser::SubExprContext* ctx) override;
  antlrcpp::Any visitMultExpr(KorParser::MultExprContext* ctx) override;
  antlrcpp::Any visitDivExpr(KorParser::DivExprContext* ctx) override;
  antlrcpp::Any visitRemainderExpr(KorParser::RemainderExprContext* ctx) override;
  antlrcpp::Any visitNegationExpr(KorParser::NegationExprContext* ctx) override;

  // ---- comparison, logical, bitwise, membership (ExprLogic.cpp)
  antlrcpp::Any visitEqualExpr(KorParser::EqualExprContext* ctx) override;
  antlrcpp::Any visitUnequalExpr(KorParser::UnequalExprContext* ctx) override;
  antlrcpp::Any visitLessExpr(KorParser::LessExprContext* ctx) override;
  antlrcpp::Any visitLessEqualExpr(KorParser::LessEqualExprContext* ctx) override;
  antlrcpp::Any visitGreaterExpr(KorParser::GreaterExprContext* ctx) override;
  antlrcpp::Any visitGreaterEqualExpr(KorParser::GreaterEqualExprContext* ctx) override;
  antlrcpp::Any visitAndExpr(KorParser::AndExprContext* ctx) override;
  antlrcpp::Any visitOrExpr(KorParser::OrExprContext* ctx) override;
  antlrcpp::Any visitNotExpr(KorParser::NotExprContext* ctx) override;
  antlrcpp::Any visitLogAndExpr(KorParser::LogAndExprContext* ctx) override;
  antlrcpp::Any visitLogOrExpr(KorParser::LogOrExprContext* ctx) override;
  antlrcpp::Any visitLogXorExpr(KorParser::LogXorExprContext* ctx) override;
  antlrcpp::Any visitLogRevExpr(KorParser::LogRevExprContext* ctx) override;
  antlrcpp::Any visitInExpr(KorParser::InExprContext* ctx) override;
  antlrcpp::Any visitNotinExpr(KorParser::NotinExprContext* ctx) override;

  // ---- blocks, conditionals, break and continue (ExprControl.cpp)
  antlrcpp::Any visitBlock(KorParser::BlockContext* ctx) override;
  antlrcpp::Any visitIf(KorParser::IfContext* ctx) override;
  antlrcpp::Any visitZif(KorParser::ZifContext* ctx) override;
  antlrcpp::Any visitQt(KorParser::QtContext* ctx) override;
  antlrcpp::Any visitBreak(KorParser::BreakContext* ctx) override;
  antlrcpp::Any visitContinue(KorParser::ContinueContext* ctx) override;
  antlrcpp::Any visitSignalState(KorParser::SignalStateContext* ctx) override;
  // Runs the statement of a branch or loop body: a block is visited (it makes
  // its own scope); a single statement gets a block marker of its own.
  void runBranch(KorParser::StatementContext* stmt);

  // ---- loops (ExprLoops.cpp)
  antlrcpp::Any visitForState(KorParser::ForStateContext* ctx) override;
  antlrcpp::Any visitForinc(KorParser::ForincContext* ctx) override;
  antlrcpp::Any visitWhileState(KorParser::WhileStateContext* ctx) override;
  antlrcpp::Any visitForInState(KorParser::ForInStateContext* ctx) override;
  antlrcpp::Any visitForwalk(KorParser::ForwalkContext* ctx) override;

  // ---- user function calls and returns (ExprCalls.cpp)
  antlrcpp::Any visitNoRetCallFun(KorParser::NoRetCallFunContext* ctx) override;
  antlrcpp::Any visitWithRetCallFun(KorParser::WithRetCallFunContext* ctx) override;
  antlrcpp::Any visitReturnCallFun(KorParser::ReturnCallFunContext* ctx) override;
  antlrcpp::Any visitCallFunExpr(KorParser::CallFunExprContext* ctx) override;
  antlrcpp::Any visitRetCode(KorParser::RetCodeContext* ctx) override;
  antlrcpp::Any visitFunction(KorParser::FunctionContext* ctx) override;
  antlrcpp::Any visitArgument(KorParser::ArgumentContext* ctx) override;
  antlrcpp::Any evalCallExpr(KorParser::RealCallFunContext* call, antlr4::ParserRuleContext* stmt,
                             int flags);
  antlrcpp::Any callUserFunctionByName(KorParser::RealCallFunContext* call,
                                       antlr4::ParserRuleContext* stmt, int flags);
  antlrcpp::Any invokeUserFunction(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt,
                                   const std::string& name, KorParser::ArgumentListContext* args,
                                   int flags);

  // ---- built-in and member method calls (ExprMethods.cpp)
  antlrcpp::Any callMemberFunction(KorParser::RealCallFunContext* call,
                                   antlr4::ParserRuleContext* stmt, int flags);
  antlrcpp::Any callBuiltinMethod(antlr4::ParserRuleContext* call, antlr4::ParserRuleContext* stmt,
                                  ExprValue receiver, const std::string& name,
                                  KorParser::ArgumentListContext* args, int flags);

  // ---- everything else goes through the default child visit
  antlrcpp::Any visitProgram(KorParser::ProgramContext* ctx) override;
  antlrcpp::Any visitDefglobal(KorParser::DefglobalContext* ctx) override;
  antlrcpp::Any visitGlobalstate(KorParser::GlobalstateContext* ctx) override;
  antlrcpp::Any visitStatement(KorParser::StatementContext* ctx) override;
  antlrcpp::Any visitPass(KorParser::PassContext* ctx) override;
  antlrcpp::Any visitOnest(KorParser::OnestContext* ctx) override;
  antlrcpp::Any visitAssign(KorParser::AssignContext* ctx) override;
  antlrcpp::Any visitAssginNoEnd(KorParser::AssginNoEndContext* ctx) override;
  antlrcpp::Any visitAssignStructVar(KorParser::AssignStructVarContext* ctx) override;
  antlrcpp::Any visitRightvar(KorParser::RightvarContext* ctx) override;
  antlrcpp::Any visitStFromExpr(KorParser::StFromExprContext* ctx) override;
  antlrcpp::Any visitAssignOp(KorParser::AssignOpContext* ctx) override;
  antlrcpp::Any visitPrintFormatPart(KorParser::PrintFormatPartContext* ctx) override;
  antlrcpp::Any visitSingleExpr(KorParser::SingleExprContext* ctx) override;
  antlrcpp::Any visitMultiExpr(KorParser::MultiExprContext* ctx) override;
  antlrcpp::Any visitAssignAutoAdd(KorParser::AssignAutoAddContext* ctx) override;
  antlrcpp::Any visitVarExpr(KorParser::VarExprContext* ctx) override;
  antlrcpp::Any visitFlagExpr(KorParser::FlagExprContext* ctx) override;
  antlrcpp::Any visitFmtStrExpr(KorParser::FmtStrExprContext* ctx) override;
  antlrcpp::Any visitElement(KorParser::ElementContext* ctx) override;
  antlrcpp::Any visitMapelement(KorParser::MapelementContext* ctx) override;
  antlrcpp::Any visitMapkey(KorParser::MapkeyContext* ctx) override;
  antlrcpp::Any visitAtom(KorParser::AtomContext* ctx) override;
  antlrcpp::Any visitRevVar(KorParser::RevVarContext* ctx) override;
  antlrcpp::Any visitListMapVar(KorParser::ListMapVarContext* ctx) override;
  antlrcpp::Any visitListindex(KorParser::ListindexContext* ctx) override;
  antlrcpp::Any visitStructMem(KorParser::StructMemContext* ctx) override;
  antlrcpp::Any visitStructMemVar(KorParser::StructMemVarContext* ctx) override;
  antlrcpp::Any visitStMemVar(KorParser::StMemVarContext* ctx) override;
  antlrcpp::Any visitMemberFunAccess(KorParser::MemberFunAccessContext* ctx) override;
  antlrcpp::Any visitFunobj(KorParser::FunobjContext* ctx) override;
  antlrcpp::Any visitDefFunRet(KorParser::DefFunRetContext* ctx) override;
  antlrcpp::Any visitFunretArg(KorParser::FunretArgContext* ctx) override;
  antlrcpp::Any visitDefArgumentList(KorParser::DefArgumentListContext* ctx) override;
  antlrcpp::Any visitDefArgument(KorParser::DefArgumentContext* ctx) override;
  antlrcpp::Any visitRealCallFun(KorParser::RealCallFunContext* ctx) override;
  antlrcpp::Any visitMultiCallFun(KorParser::MultiCallFunContext* ctx) override;
  antlrcpp::Any visitFun_ret(KorParser::Fun_retContext* ctx) override;
  antlrcpp::Any visitRet_id(KorParser::Ret_idContext* ctx) override;
  antlrcpp::Any visitArgumentList(KorParser::ArgumentListContext* ctx) override;
  antlrcpp::Any visitForinvar(KorParser::ForinvarContext* ctx) override;
  antlrcpp::Any visitForinit(KorParser::ForinitContext* ctx) override;
  antlrcpp::Any visitStruct_body(KorParser::Struct_bodyContext* ctx) override;
  antlrcpp::Any visitStruct_var(KorParser::Struct_varContext* ctx) override;
  antlrcpp::Any visitUnknown(KorParser::UnknownContext* ctx) override;
};

// Integer literal text -> zs cell, or czs when the value does not fit in 32
// bits (hex literals too). Also used by unary minus on an integer literal.
ExprValue parseIntLiteral(std::string text);
// Decimal literal text -> xs cell; out of range (or no digits) throws the
// standard exception that std::stod throws, with its usual text. Also used
// by unary minus on a decimal literal.
ExprValue parseDecimalLiteral(const std::string& text);
