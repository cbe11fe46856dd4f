// The compiled form that the evaluator runs.
//
// A function body (and every block, loop and condition reached from it) is
// compiled once, on its first run, into nodes of our own: the handler of
// each construct is resolved, operand and statement nodes are linked
// directly, names carry their hash, literals keep their decoded cell. The
// parse contexts stay in the nodes as the source of messages. Each visit
// operation of a compiled construct compiles its context (found through a
// per-run map, only on entry from code that is not compiled) and runs the
// node, so the nodes are the one definition of what the construct does.
#pragma once

#include "ExprVisitor.h"
#include "FlowSupport.h"

#include "runtime/scope.h"
#include "runtime/value.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace callsupport {
struct CallSite;
}  // namespace callsupport

// Small readers of the hot paths, inlined at every use.
#if defined(_MSC_VER)
#define KOR_ALWAYS_INLINE __forceinline
#else
#define KOR_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace cx {

struct Node;
using EvalFn = ExprValue (*)(ExprVisitor&, Node*);

// An expression.
struct Node {
  EvalFn eval = nullptr;                 // the resolved handler
  KorParser::ExprContext* ctx = nullptr;  // messages and the visitor's path
  Node* a = nullptr;                     // operands
  Node* b = nullptr;
  int op = 0;                            // comparison / bit operator, ++ step
  ExprValue lit;                         // decoded literal (type of a string literal)
  KorParser::KorvarContext* var = nullptr;  // a variable reference
  KorParser::KorAutoAddSubContext* autoCtx = nullptr;
  HashedName name;                       // a plain variable's name
  callsupport::CallSite* site = nullptr;  // a call, found on its first run
  QByteArray bytes;                      // string literals
  QString text;
  // Variable lookups: the name as the last record found held it (shared
  // bytes compare by address), and the global table's record once found.
  QByteArray seen;
  ScopeRecord* global = nullptr;
  uint64_t globalSeen = 0;  // scope_state::globalsChanged when it was found
  // The record found deep in the scope stack, its position and
  // scope_state::changesOf(name) then.
  ScopeRecord* local = nullptr;
  size_t localAt = 0;
  uint64_t localSeen = 0;
  // A member read `v.m`: the layout of the struct it last read (a share, so
  // that the address stays its own) and the member's position there (op).
  ByteStringList layout;
  // + - * % (1..4) over operands that read and change nothing (literals,
  // plain variables, kept members, simply indexed cells) a few levels deep:
  // evaluated in integers by evalIntegers; 0 for every other node.
  uint8_t arith = 0;
  // evaluations the integer form could not take: from 8 on it is not tried
  uint8_t arithMisses = 0;
  const struct IntStep* steps = nullptr;  // the tree in postfix, once its literals are decoded
};

inline ExprValue eval(ExprVisitor& v, Node* n) { return n->eval(v, n); }

// The variable named by a node (a plain variable or ++/--): the nearest
// record above the current function frame, else the global; null when none.
// The same search as lookupVariable.
//
// A record found below two others or more is kept with its position (one
// nearer the top is found as fast by the search, and is often one that a
// loop body defines anew each time, which the check below would miss
// anyway): it is still the answer while it stands there under the same name
// (shared bytes), no record of that name has been named or pushed since and
// no function frame either (scope_state::changesOf). Records leaving the
// stack change nothing above the kept one.
KOR_ALWAYS_INLINE ScopeRecord* lookupNamed(Node* n) {
  if (const ScopeStack* st = scope_state::scopeStack) {
    const uint64_t h = n->name.hash();
    if (ScopeRecord* kept = n->local) {
      if (n->localSeen == scope_state::changesOf(h) && n->localAt < st->size() &&
          (*st)[n->localAt] == kept && kept->kind < 100 &&
          kept->name.bytes().constData() == n->seen.constData())
        return kept;
    }
    const size_t top = st->size();
    for (size_t i = top; i-- > 0;) {
      ScopeRecord* r = (*st)[i];
      if (r->kind < 100) {
        if (r->name.hash() != h) continue;
        const QByteArray& held = r->name.bytes();
        if (held.constData() != n->seen.constData()) {
          if (held != n->name.bytes()) continue;
          n->seen = held;
        }
        if (top - i > 2) {
          n->local = r;
          n->localAt = i;
          n->localSeen = scope_state::changesOf(h);
        }
        return r;
      } else if (r->kind == SK_FUNCTION) {
        break;
      }
    }
  }
  if (n->global == nullptr || n->globalSeen != scope_state::globalsChanged) {
    n->global = findGlobal(n->name.bytes(), nullptr, false);
    n->globalSeen = scope_state::globalsChanged;
  }
  return n->global;
}
// Raises "找不到变量" for the node's name and the context.
[[noreturn]] void failNamed(Node* n, antlr4::ParserRuleContext* ctx);
// lookupNamed, raising "找不到变量" for the context when there is none.
KOR_ALWAYS_INLINE ScopeRecord* findNamed(Node* n, antlr4::ParserRuleContext* ctx) {
  if (ScopeRecord* rec = lookupNamed(n)) return rec;
  failNamed(n, ctx);
}

// The handlers of a decoded literal and of a plain variable: operands of
// these two kinds are read without the call.
ExprValue evLit(ExprVisitor& v, Node* n);
ExprValue evVarPlain(ExprVisitor& v, Node* n);

// The integer of a literal or plain-variable operand that holds a zs, read
// without its handler and without a cell; false for every other operand (a
// missing variable too: its handler raises the error).
KOR_ALWAYS_INLINE bool readInt(Node* n, int32_t& out) {
  if (n->eval == evLit) {
    if (n->lit.type != VT_INT) return false;
    out = n->lit.payload.i32;
    return true;
  }
  if (n->eval == evVarPlain) {
    const ScopeRecord* rec = lookupNamed(n);
    if (rec == nullptr || rec->kind != VT_INT) return false;
    out = rec->payload.i32;
    return true;
  }
  return false;
}

// The value of a node with `arith` set when all its operands hold zs or czs
// and no operation needs the general rules (a remainder by 0): the result
// (kind VT_INT or VT_LONG, a zs sign-extended) as the operator's apply
// functions would give it; kind -1, with nothing evaluated or changed,
// otherwise. An assignment passes its plain target and the record found for
// it: a variable of that name in the tree is that record.
struct Integer {
  int64_t value;
  int32_t kind;
};
Integer evalIntegers(Node* n, const Node* target = nullptr, const ScopeRecord* self = nullptr);

// x++ / x-- (a node of compileAuto) on a plain variable that holds a zs,
// changed in place (wrapping): its record; null, with nothing done, for every
// other case.
KOR_ALWAYS_INLINE ScopeRecord* stepInt(Node* n) {
  if (n->var == nullptr) return nullptr;
  ScopeRecord* rec = lookupNamed(n);
  if (rec == nullptr || rec->kind != VT_INT) return nullptr;
  rec->payload.i32 = int32_t(uint32_t(rec->payload.i32) + uint32_t(n->op));
  return rec;
}

// Whether a node is a comparison (== != < <= > >=; op 0..5) whose left
// operand is a literal or a plain variable (the ones compareInts may read).
bool isComparison(const Node* n);
// A comparison node's result when both operands are ones that readInt reads:
// true with the result set; false otherwise (evaluate the node).
inline bool compareOp(int op, int32_t x, int32_t y) {
  switch (op) {
    case 0: return x == y;
    case 1: return x != y;
    case 2: return x < y;
    case 3: return x <= y;
    case 4: return x > y;
    default: return x >= y;
  }
}
KOR_ALWAYS_INLINE bool compareInts(Node* n, bool& result) {
  int32_t x, y;
  if (!readInt(n->a, x) || !readInt(n->b, y)) return false;
  result = compareOp(n->op, x, y);
  return true;
}

// The node of an expression (compiled on the first request).
Node* compileExpr(ExprVisitor& v, KorParser::ExprContext* e);
// A node for looking up a plain variable (findNamed / lookupNamed).
Node* compileName(KorParser::KorvarContext* var);
// x++ / x-- as a node.
Node* compileAuto(ExprVisitor& v, KorParser::KorAutoAddSubContext* ctx);

struct Stmt;
using RunFn = void (*)(ExprVisitor&, const Stmt*);

// A statement.
struct Stmt {
  RunFn run = nullptr;
  antlr4::tree::ParseTree* ctx = nullptr;  // the statement's context
  Node* cond = nullptr;                    // if / loop condition, expression statement
  const Stmt* body = nullptr;              // if: then branch; loops: body
  const Stmt* init = nullptr;              // counted loop: initialisation
  const Stmt* other = nullptr;             // if: qt branch
  std::vector<const Stmt*> list;           // block: statements; if: zif branches; loop: steps
  std::vector<Node*> conds;                // if: zif conditions
  std::vector<antlr4::ParserRuleContext*> parts;  // if: the zif / qt contexts (messages)
  mutable callsupport::CallSite* site = nullptr;   // call statement, found on its first run
  AssignPlan plan;                                 // assignment
  int32_t code = 0;                                // definition: the type's code
  // Whether running the statement may define a variable that the duplicate
  // check of a later definition would find in the enclosing block (unknown
  // kinds: yes). A block none of whose statements does so runs without a
  // scope marker of its own: nothing would be defined above it, so no lookup,
  // duplicate check or release could tell the difference.
  bool defines = true;
  bool bare = false;  // block: runs without its own marker
};

inline void run(ExprVisitor& v, const Stmt* s) { s->run(v, s); }

Stmt* newStmt(antlr4::tree::ParseTree* ctx, RunFn fn);
// The statement proper (the child of a `statement`), compiled.
const Stmt* compileStatement(ExprVisitor& v, antlr4::tree::ParseTree* inner);
// A `statement` run as a branch or loop body (a block, or one statement in a
// scope of its own); null statement: nothing to run.
const Stmt* compileBranch(ExprVisitor& v, KorParser::StatementContext* stmt);
// Cached per context (entries from code that is not compiled).
const Stmt* compileBlock(ExprVisitor& v, KorParser::BlockContext* block);
const Stmt* compileIf(ExprVisitor& v, KorParser::IfContext* ctx);
const Stmt* compileFor(ExprVisitor& v, KorParser::ForStateContext* ctx);
const Stmt* compileWhile(ExprVisitor& v, KorParser::WhileStateContext* ctx);
// A typed definition (`zs a = 1, b;`).
const Stmt* compileDefvar(ExprVisitor& v, KorParser::DefvarContext* ctx);
// for-in over a list, dict or struct.
const Stmt* compileForIn(ExprVisitor& v, KorParser::ForInStateContext* ctx);

// Forgets every compiled node (the run driver's cache reset at run start).
void resetCompiled();
void resetStatements();  // the statement nodes (part of resetCompiled)
void resetLoops();       // the loop nodes (part of resetCompiled)

}  // namespace cx
