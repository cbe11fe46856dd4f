// Statement and operand dispatch shared by blocks, loops and calls.
//
// Statements run in loops and function bodies are the hot path. Instead of
// the generic child visit (which copies every antlrcpp::Any result), the most
// common statement kinds are run directly; the result is the same as visiting
// the statement.
#pragma once

#include "ExprOperands.h"
#include "ExprVisitor.h"

#include "runtime/value.h"
#include "runtime/value_ops.h"

#include <typeinfo>

namespace flow {

// Rule index of a parse-tree node; -1 for a token (or a childless node).
inline int ruleOf(antlr4::tree::ParseTree* node) {
  if (!node || node->children.empty()) return -1;
  return int(static_cast<antlr4::RuleContext*>(node)->getRuleIndex());
}

// Runs one assignOne of an assignment list.
inline void runAssignOne(ExprVisitor& v, antlr4::tree::ParseTree* one) {
  if (&typeid(*one) == &typeid(KorParser::AssignVarContext))
    v.visitAssignVar(static_cast<KorParser::AssignVarContext*>(one));
  else
    one->accept(&v);
}

// Runs the statement proper (the one child of a `statement`).
inline void runStatement(ExprVisitor& v, antlr4::tree::ParseTree* inner) {
  switch (ruleOf(inner)) {
    case KorParser::RuleAssign: {
      // assign: assginNoEnd ';'; assginNoEnd: assignOne (',' assignOne)*
      antlr4::tree::ParseTree* list = inner->children[0];
      if (ruleOf(list) != KorParser::RuleAssginNoEnd) break;
      for (antlr4::tree::ParseTree* one : list->children)
        if (!one->children.empty()) runAssignOne(v, one);
      return;
    }
    case KorParser::RuleAssginNoEnd:
      for (antlr4::tree::ParseTree* one : inner->children)
        if (!one->children.empty()) runAssignOne(v, one);
      return;
    case KorParser::RuleRetCode:
      v.visitRetCode(static_cast<KorParser::RetCodeContext*>(inner));
      return;
    case KorParser::RuleIf:
      v.visitIf(static_cast<KorParser::IfContext*>(inner));
      return;
    case KorParser::RuleBlock:
      v.visitBlock(static_cast<KorParser::BlockContext*>(inner));
      return;
    case KorParser::RuleCallFun:
      if (&typeid(*inner) == &typeid(KorParser::NoRetCallFunContext)) {
        v.visitNoRetCallFun(static_cast<KorParser::NoRetCallFunContext*>(inner));
        return;
      }
      break;
    case KorParser::RuleSignalState: {
      // An expression used as a statement: its value is dropped.
      ExprValue value = evalExprFast(v, static_cast<KorParser::ExprContext*>(inner->children[0]));
      freeValue(value);
      return;
    }
    default:
      break;
  }
  inner->accept(&v);
}

// Value of an expression-like node (an expr, list, map or struct literal).
inline ExprValue evalNode(ExprVisitor& v, antlr4::tree::ParseTree* node) {
  if (ruleOf(node) == KorParser::RuleExpr)
    return evalExprFast(v, static_cast<KorParser::ExprContext*>(node));
  return v.evalValue(node);
}

// Value of a `rightvar` (argument, return value, loop collection); `kong`
// gives an empty cell.
inline ExprValue evalRightvar(ExprVisitor& v, antlr4::tree::ParseTree* rightvar) {
  antlr4::tree::ParseTree* inner = rightvar->children.empty() ? nullptr : rightvar->children[0];
  if (!inner || inner->children.empty()) return ExprValue();
  return evalNode(v, inner);
}

}  // namespace flow
