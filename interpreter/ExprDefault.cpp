// Contexts without an evaluation of their own visit their children.
#include "ExprVisitor.h"
#include "StackGuard.h"

#include "VisitResult.h"
#include "runtime/value.h"

ExprValue ExprVisitor::evalValue(antlr4::tree::ParseTree* ctx) {
  guardStack(ctx);
  VisitResult r = ctx->accept(this);
  return visitResultAs<ExprValue>(r);
}

antlrcpp::Any ExprVisitor::visitChildrenDefault(antlr4::tree::ParseTree* ctx) {
  guardStack(ctx);
  return visitChildren(ctx);
}

#define KOR_DEFAULT_VISIT(Name)                                         \
  antlrcpp::Any ExprVisitor::visit##Name(KorParser::Name##Context* ctx) { \
    return visitChildrenDefault(ctx);                                   \
  }

KOR_DEFAULT_VISIT(Program)
KOR_DEFAULT_VISIT(Defglobal)
KOR_DEFAULT_VISIT(Globalstate)
KOR_DEFAULT_VISIT(Statement)
KOR_DEFAULT_VISIT(Pass)
KOR_DEFAULT_VISIT(Onest)
KOR_DEFAULT_VISIT(Assign)
KOR_DEFAULT_VISIT(AssginNoEnd)
KOR_DEFAULT_VISIT(AssignStructVar)
KOR_DEFAULT_VISIT(Rightvar)
KOR_DEFAULT_VISIT(StFromExpr)
KOR_DEFAULT_VISIT(AssignOp)
KOR_DEFAULT_VISIT(PrintFormatPart)
KOR_DEFAULT_VISIT(SingleExpr)
KOR_DEFAULT_VISIT(MultiExpr)
KOR_DEFAULT_VISIT(AssignAutoAdd)
KOR_DEFAULT_VISIT(VarExpr)
KOR_DEFAULT_VISIT(FlagExpr)
KOR_DEFAULT_VISIT(FmtStrExpr)
KOR_DEFAULT_VISIT(Element)
KOR_DEFAULT_VISIT(Mapelement)
KOR_DEFAULT_VISIT(Mapkey)
KOR_DEFAULT_VISIT(Atom)
KOR_DEFAULT_VISIT(RevVar)
KOR_DEFAULT_VISIT(ListMapVar)
KOR_DEFAULT_VISIT(Listindex)
KOR_DEFAULT_VISIT(StructMem)
KOR_DEFAULT_VISIT(StructMemVar)
KOR_DEFAULT_VISIT(StMemVar)
KOR_DEFAULT_VISIT(MemberFunAccess)
KOR_DEFAULT_VISIT(Funobj)
KOR_DEFAULT_VISIT(DefFunRet)
KOR_DEFAULT_VISIT(FunretArg)
KOR_DEFAULT_VISIT(DefArgumentList)
KOR_DEFAULT_VISIT(DefArgument)
KOR_DEFAULT_VISIT(RealCallFun)
KOR_DEFAULT_VISIT(MultiCallFun)
KOR_DEFAULT_VISIT(Fun_ret)
KOR_DEFAULT_VISIT(Ret_id)
KOR_DEFAULT_VISIT(ArgumentList)
KOR_DEFAULT_VISIT(Forinvar)
KOR_DEFAULT_VISIT(Forinit)
KOR_DEFAULT_VISIT(Struct_body)
KOR_DEFAULT_VISIT(Struct_var)
KOR_DEFAULT_VISIT(Unknown)
