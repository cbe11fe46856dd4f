// Operand evaluation without the antlrcpp::Any round trip, and the per-context
// caches of variable names and literal values.
#include "ExprOperands.h"
#include "CallSupport.h"
#include "Compiled.h"
#include "ContextCache.h"
#include "StackGuard.h"
#include "TypedStore.h"

#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"

#include <deque>
#include <stdexcept>
#include <typeinfo>
#include <vector>

namespace {

ContextCache<CachedName> gNameCache;
ContextCache<QString> gFormatCache;
ContextCache<ExprValue> gLiteralCache;

inline ContextCache<CachedName>& nameCache() { return gNameCache; }
inline ContextCache<QString>& formatCache() { return gFormatCache; }
inline ContextCache<ExprValue>& literalCache() { return gLiteralCache; }

enum NodeKind : uint8_t {
  NK_OTHER,
  NK_VAR,
  NK_LITERAL,
  NK_STRING,
  NK_PAREN,
  NK_ADD,
  NK_SUB,
  NK_MULT,
  NK_DIV,
  NK_REM,
  NK_NEG,
  NK_EQ,
  NK_NE,
  NK_LT,
  NK_LE,
  NK_GT,
  NK_GE,
  NK_AND,
  NK_OR,
  NK_NOT,
  NK_BITAND,
  NK_BITOR,
  NK_BITXOR,
  NK_BITNOT,
  NK_IN,
  NK_NOTIN,
  NK_AUTO,
  NK_FMT,
  NK_CALL
};

// Node kind by the dynamic type of an expression context: a small hash table
// keyed by the address of the type_info (one object per type in a program).
class KindTable {
 public:
  KindTable() {
    add(typeid(KorParser::VarExprContext), NK_VAR);
    add(typeid(KorParser::IntExprContext), NK_LITERAL);
    add(typeid(KorParser::FloatExprContext), NK_LITERAL);
    add(typeid(KorParser::BoolValueExprContext), NK_LITERAL);
    add(typeid(KorParser::CharValueExprContext), NK_LITERAL);
    add(typeid(KorParser::StrExprContext), NK_STRING);
    add(typeid(KorParser::RowStrExprContext), NK_STRING);
    add(typeid(KorParser::ParenthesesExprContext), NK_PAREN);
    add(typeid(KorParser::AddExprContext), NK_ADD);
    add(typeid(KorParser::SubExprContext), NK_SUB);
    add(typeid(KorParser::MultExprContext), NK_MULT);
    add(typeid(KorParser::DivExprContext), NK_DIV);
    add(typeid(KorParser::RemainderExprContext), NK_REM);
    add(typeid(KorParser::NegationExprContext), NK_NEG);
    add(typeid(KorParser::EqualExprContext), NK_EQ);
    add(typeid(KorParser::UnequalExprContext), NK_NE);
    add(typeid(KorParser::LessExprContext), NK_LT);
    add(typeid(KorParser::LessEqualExprContext), NK_LE);
    add(typeid(KorParser::GreaterExprContext), NK_GT);
    add(typeid(KorParser::GreaterEqualExprContext), NK_GE);
    add(typeid(KorParser::AndExprContext), NK_AND);
    add(typeid(KorParser::OrExprContext), NK_OR);
    add(typeid(KorParser::NotExprContext), NK_NOT);
    add(typeid(KorParser::LogAndExprContext), NK_BITAND);
    add(typeid(KorParser::LogOrExprContext), NK_BITOR);
    add(typeid(KorParser::LogXorExprContext), NK_BITXOR);
    add(typeid(KorParser::LogRevExprContext), NK_BITNOT);
    add(typeid(KorParser::InExprContext), NK_IN);
    add(typeid(KorParser::NotinExprContext), NK_NOTIN);
    add(typeid(KorParser::AssignAutoAddContext), NK_AUTO);
    add(typeid(KorParser::FmtStrExprContext), NK_FMT);
    add(typeid(KorParser::CallFunExprContext), NK_CALL);
  }

  NodeKind kindOf(const std::type_info& ti) const {
    size_t i = slotOf(&ti);
    for (;;) {
      const Entry& e = entries_[i];
      if (e.ti == &ti) return e.kind;
      if (e.ti == nullptr) return NK_OTHER;
      i = (i + 1) & (kSize - 1);
    }
  }

 private:
  static constexpr size_t kSize = 128;
  struct Entry {
    const std::type_info* ti = nullptr;
    NodeKind kind = NK_OTHER;
  };
  static size_t slotOf(const void* p) {
    uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ULL;
    return size_t(h >> 57);  // the top 7 bits: kSize is 128
  }
  void add(const std::type_info& ti, NodeKind kind) {
    size_t i = slotOf(&ti);
    while (entries_[i].ti != nullptr) i = (i + 1) & (kSize - 1);
    entries_[i].ti = &ti;
    entries_[i].kind = kind;
  }
  Entry entries_[kSize];
};

const KindTable gKindTable;
inline const KindTable& kindTable() { return gKindTable; }

inline KorParser::ExprContext* childExpr(antlr4::ParserRuleContext* ctx, size_t i) {
  return static_cast<KorParser::ExprContext*>(ctx->children[i]);
}

}  // namespace

const CachedName& cachedNameOf(antlr4::ParserRuleContext* ctx) {
  ContextCache<CachedName>& cache = nameCache();
  if (CachedName* hit = cache.find(ctx)) return *hit;
  CachedName entry;
  entry.name = QByteArray::fromStdString(ctx->start->getText());
  entry.hash = fnv1a(entry.name);
  return cache.insert(ctx, std::move(entry));
}

const QString& cachedFormatText(antlr4::ParserRuleContext* formatCtx) {
  ContextCache<QString>& cache = formatCache();
  if (QString* hit = cache.find(formatCtx)) return *hit;
  QByteArray token = QByteArray::fromStdString(formatCtx->start->getText());
  // a u16 literal is the same text; the prefix is no part of it
  if (token.startsWith("u16")) token.remove(0, 3);
  return cache.insert(formatCtx, utf8ToString(unescapeString(token)));
}

const ExprValue* cachedValue(antlr4::ParserRuleContext* ctx) { return literalCache().find(ctx); }

void rememberValue(antlr4::ParserRuleContext* ctx, const ExprValue& value) {
  literalCache().insert(ctx, ExprValue(value));
}

char cachedFirstByte(antlr4::ParserRuleContext* ctx, antlr4::Token* token) {
  ContextCache<ExprValue>& cache = literalCache();
  if (ExprValue* hit = cache.find(ctx)) return hit->payload.c;
  std::string text = token->getText();
  char c = text.empty() ? '\0' : text[0];
  cache.insert(ctx, makeCharValue(c));
  return c;
}

void resetExpressionCaches() {
  cx::resetCompiled();
  nameCache().clear();
  formatCache().clear();
  literalCache().clear();
  resetStructLiterals();
}



// ---- the compiled form of expressions ----
//
// An expression is compiled once, on its first evaluation, into a node with
// its handler resolved, its operand nodes linked directly and its name
// hashed; literals decode on their first evaluation and then serve the
// decoded cell. The handlers of the operators are the same apply functions
// that the visitor's operations use, behind integer fast paths.

namespace {

ContextCache<cx::Node*> gCompiled;
std::deque<cx::Node> gNodes;

cx::Node* newNode(KorParser::ExprContext* e, cx::EvalFn fn) {
  gNodes.emplace_back();
  cx::Node* n = &gNodes.back();
  n->ctx = e;
  n->eval = fn;
  return n;
}

ExprValue evVisit(ExprVisitor& v, cx::Node* n) { return v.evalValue(n->ctx); }

}  // namespace

ExprValue cx::evLit(ExprVisitor&, cx::Node* n) { return n->lit; }

namespace {

using cx::evLit;
using cx::evVarPlain;

// First evaluation of a number, boolean or character literal: decoded
// through the visitor, then served from the node.
ExprValue evLitFirst(ExprVisitor& v, cx::Node* n) {
  ExprValue value = v.evalValue(n->ctx);
  if (uint32_t(value.type) <= uint32_t(VT_WCHAR) && value.owner == nullptr) {
    n->lit = value;
    n->eval = evLit;
  }
  return value;
}

ExprValue evStr(ExprVisitor&, cx::Node* n) {
  ExprValue value;
  value.type = n->lit.type;
  if (value.type == VT_BYTES)
    value.payload.bytes = newByteString(n->bytes);
  else
    value.payload.str = newText(n->text);
  return value;
}

ExprValue evStrFirst(ExprVisitor& v, cx::Node* n) {
  ExprValue value = v.evalValue(n->ctx);
  if (value.type == VT_BYTES && value.payload.bytes) {
    n->bytes = *value.payload.bytes;
  } else if (value.type == VT_STRING && value.payload.str) {
    n->text = *value.payload.str;
  } else {
    return value;
  }
  n->lit.type = value.type;
  n->eval = evStr;
  return value;
}


}  // namespace

ExprValue cx::evVarPlain(ExprVisitor& v, cx::Node* n) {
  ScopeRecord* rec = cx::findNamed(n, n->var);
  if (uint32_t(rec->kind) <= uint32_t(VT_WCHAR)) return rec->asValue();
  return readVariableAt(v, n->var, rec, false);
}

namespace {

ExprValue evVarPath(ExprVisitor& v, cx::Node* n) {
  return readVariableAt(v, n->var, cx::findNamed(n, n->var), false);
}

// v.m on a struct variable of a script type: the member's position is kept
// for the layout in which it was found (struct values of one type share their
// layout's names), so the read is the member cell's copy without the
// resolver. Every other case (no struct, a built-in struct without a layout,
// another layout, no such member) takes the resolver, which then keeps the
// position for the next read.
inline const ExprValue* keptMember(const ScopeRecord* rec, const cx::Node* n) {
  if (rec->kind != VT_STRUCT) return nullptr;
  const StructValue* st = rec->payload.st;
  if (st == nullptr || st->members == nullptr || n->layout.isEmpty() ||
      st->layout.constBegin() != n->layout.constBegin() || size_t(n->op) >= st->members->size())
    return nullptr;
  return (*st->members)[size_t(n->op)];
}

KOR_NOINLINE ExprValue evVarMemberSlow(ExprVisitor& v, cx::Node* n, ScopeRecord* rec) {
  ExprValue out = readVariableAt(v, n->var, rec, false);
  if (rec->kind == VT_STRUCT && rec->payload.st != nullptr && rec->payload.st->members != nullptr) {
    const StructValue* st = rec->payload.st;
    if (!st->layout.isEmpty()) {
      const QByteArray& member =
          cachedNameOf(static_cast<antlr4::ParserRuleContext*>(n->var->children.back())).name;
      const int i = structMemberIndexIn(st, member, n->var);
      if (i >= 0) {
        n->layout = st->layout;
        n->op = i;
      }
    }
  }
  return out;
}

ExprValue evVarMember(ExprVisitor& v, cx::Node* n) {
  ScopeRecord* rec = cx::findNamed(n, n->var);
  if (const ExprValue* cell = keptMember(rec, n)) {
    if (uint32_t(cell->type) <= uint32_t(VT_WCHAR)) return *cell;
    return copyValue(*cell, false);
  }
  return evVarMemberSlow(v, n, rec);
}

// The text an operand would give, borrowed in place, for an operand whose
// evaluation reads and changes nothing: a string literal, a plain variable or
// a kept member holding a byte string or a string. False for every other
// operand (and for a missing variable, whose handler raises).
bool peekText(cx::Node* n, ExprValue& out) {
  if (n->eval == evStr) {
    out.type = n->lit.type;
    if (out.type == VT_BYTES)
      out.payload.bytes = &n->bytes;
    else
      out.payload.str = &n->text;
    return true;
  }
  const ExprValue* cell = nullptr;
  ExprValue held;
  if (n->eval == evVarPlain) {
    const ScopeRecord* rec = cx::lookupNamed(n);
    if (rec == nullptr) return false;
    held = rec->asValue();
    cell = &held;
  } else if (n->eval == evVarMember) {
    const ScopeRecord* rec = cx::lookupNamed(n);
    if (rec == nullptr) return false;
    cell = keptMember(rec, n);
  }
  if (cell == nullptr || (cell->type != VT_BYTES && cell->type != VT_STRING)) return false;
  out = *cell;
  return true;
}

// v[k] with a literal or plain-variable index (node a): a zs key that readInt
// reads (evaluating nothing) into a dict holding the key, or a zs position
// inside a list, whose value is a number, boolean or character, is that cell
// itself; every other case takes the resolver, the one definition of the
// reference.
KOR_ALWAYS_INLINE const ExprValue* indexedCell(const ScopeRecord* rec, cx::Node* n) {
  int32_t k;
  if (!cx::readInt(n->a, k)) return nullptr;
  const ExprValue* cell = nullptr;
  if (rec->kind == VT_DICT) {
    if (const ValueDict* dict = rec->payload.dict) {
      uint64_t hash;
      if (const ValueDict::Node* node = dict->findInteger(k, &hash)) cell = node->value;
    }
  } else if (rec->kind == VT_LIST) {
    const ValueList* list = rec->payload.list;
    if (list != nullptr && k >= 0 && size_t(k) < list->size()) cell = (*list)[size_t(k)];
  }
  return cell;
}

ExprValue evVarIndex(ExprVisitor& v, cx::Node* n) {
  ScopeRecord* rec = cx::findNamed(n, n->var);
  const ExprValue* cell = indexedCell(rec, n);
  if (cell != nullptr && uint32_t(cell->type) <= uint32_t(VT_WCHAR)) return *cell;
  return readVariableAt(v, n->var, rec, false);
}

// The zs or czs a variable operand would give, for one whose evaluation
// reads and changes nothing (a plain variable, a kept member, a simply
// indexed cell); kind -1 for every other operand or value (a missing
// variable too: its handler raises).
KOR_NOINLINE cx::Integer peekVarInteger(cx::Node* n) {
  cx::Integer out{0, -1};
  const ScopeRecord* rec = cx::lookupNamed(n);
  if (rec == nullptr) return out;
  int32_t type;
  ValuePayload payload;
  if (n->eval == evVarPlain) {
    type = rec->kind;
    payload = rec->payload;
  } else {
    const ExprValue* cell = n->eval == evVarMember  ? keptMember(rec, n)
                            : n->eval == evVarIndex ? indexedCell(rec, n)
                                                    : nullptr;
    if (cell == nullptr) return out;
    type = cell->type;
    payload = cell->payload;
  }
  if (type == VT_INT) out = {payload.i32, VT_INT};
  else if (type == VT_LONG) out = {payload.i64, VT_LONG};
  return out;
}

// Whether a compiled operand is a literal or one that peekVarInteger may read
// (a literal not yet decoded included).
bool isPureOperand(const cx::Node* n);

// Whether the reference is v[k] with k a literal or a plain variable.
bool isSimpleIndexed(KorParser::KorvarContext* var) {
  if (var->children.size() != 4) return false;  // VARNAME [ listindex ]
  auto* index = static_cast<antlr4::ParserRuleContext*>(var->children[2]);
  auto* e = static_cast<KorParser::ExprContext*>(index->children[0]);
  switch (kindTable().kindOf(typeid(*e))) {
    case NK_LITERAL: return true;
    case NK_VAR: return static_cast<antlr4::ParserRuleContext*>(e->children[0])->children.size() == 1;
    default: return false;
  }
}

// An operand: literals and plain variables without the indirect call.
inline ExprValue operand(ExprVisitor& v, cx::Node* n) {
  if (n->eval == evLit) return n->lit;
  if (n->eval == evVarPlain) {
    ScopeRecord* rec = cx::findNamed(n, n->var);
    if (uint32_t(rec->kind) <= uint32_t(VT_WCHAR)) return rec->asValue();
    return readVariableAt(v, n->var, rec, false);
  }
  return n->eval(v, n);
}

using cx::readInt;

// The right operand is evaluated with the left one guarded.
#define KOR_OPERANDS(v, n, a, b)      \
  guardStack(n->ctx);                 \
  ExprValue a = operand(v, n->a);     \
  ExprValue b;                        \
  {                                   \
    OperandGuard guard_(a);           \
    b = operand(v, n->b);             \
    guard_.release();                 \
  }

// The integer operators. Two zs operands that are literals or plain
// variables are read and combined at once; every other case evaluates the
// operands through their handlers and, unless both came out as zs, goes to
// the operator's apply function, the one definition of the general rule.
// Integer arithmetic wraps in 32 bits, as there.
struct AddOp {
  static constexpr bool kCompare = false;
  static bool fits(int32_t, int32_t) { return true; }
  static ExprValue of(int32_t x, int32_t y) { return makeIntValue(int32_t(uint32_t(x) + uint32_t(y))); }
  static ExprValue apply(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) { return applyAdd(a, b, ctx); }
};
struct SubOp {
  static constexpr bool kCompare = false;
  static bool fits(int32_t, int32_t) { return true; }
  static ExprValue of(int32_t x, int32_t y) { return makeIntValue(int32_t(uint32_t(x) - uint32_t(y))); }
  static ExprValue apply(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) { return applySub(a, b, ctx); }
};
struct MultOp {
  static constexpr bool kCompare = false;
  static bool fits(int32_t, int32_t) { return true; }
  static ExprValue of(int32_t x, int32_t y) { return makeIntValue(int32_t(uint32_t(x) * uint32_t(y))); }
  static ExprValue apply(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) { return applyMult(a, b, ctx); }
};
// A divisor of 0 or below (division by zero, x % -1) takes the general path.
struct RemOp {
  static constexpr bool kCompare = false;
  static bool fits(int32_t, int32_t y) { return y > 0; }
  static ExprValue of(int32_t x, int32_t y) { return makeIntValue(x % y); }
  static ExprValue apply(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) { return applyRemainder(a, b, ctx); }
};
// Comparisons: op 0 ==, 1 !=, 2 <, 3 <=, 4 >, 5 >=.
template <int Op>
struct CmpOp {
  static constexpr bool kCompare = true;
  static bool fits(int32_t, int32_t) { return true; }
  static ExprValue of(int32_t x, int32_t y) { return makeBoolValue(cx::compareOp(Op, x, y)); }
  static ExprValue apply(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) { return applyCompare(a, b, ctx, Op); }
};

// (A zs left value with a right operand that readInt reads is combined at
// once as well; readInt evaluates nothing, so the right operand is evaluated
// exactly once either way.)
template <class Op>
KOR_NOINLINE ExprValue evIntGeneral(ExprVisitor& v, cx::Node* n) {
  guardStack(n->ctx);
  if (Op::kCompare) {
    // two texts of one type that peekText lends: compared in place, as the
    // operator's apply function compares the copies
    ExprValue x, y;
    if (peekText(n->a, x) && peekText(n->b, y) && x.type == y.type) {
      // == and != of two byte strings need their equality only
      if (n->op <= 1 && x.type == VT_BYTES && x.payload.bytes != nullptr &&
          y.payload.bytes != nullptr)
        return makeBoolValue((*x.payload.bytes == *y.payload.bytes) == (n->op == 0));
      return makeBoolValue(cx::compareOp(n->op, compareValues(x, y, false), 0));
    }
  }
  ExprValue a = operand(v, n->a);
  int32_t y;
  if (a.type == VT_INT && readInt(n->b, y) && Op::fits(a.payload.i32, y))
    return Op::of(a.payload.i32, y);
  ExprValue b;
  {
    OperandGuard guard(a);
    b = operand(v, n->b);
    guard.release();
  }
  if (a.type == VT_INT && b.type == VT_INT && Op::fits(a.payload.i32, b.payload.i32))
    return Op::of(a.payload.i32, b.payload.i32);
  return Op::apply(a, b, n->ctx);
}

template <class Op>
ExprValue evInt(ExprVisitor& v, cx::Node* n) {
  int32_t x, y;
  if (readInt(n->a, x) && readInt(n->b, y) && Op::fits(x, y)) return Op::of(x, y);
  return evIntGeneral<Op>(v, n);
}

// A tree of + - * % over operands that read nothing (cx::Node::arith): in
// integers when evalIntegers takes it, else by the operator's general handler
// (which evaluates the operands through their own handlers). A node that
// keeps missing the integer form (decimals, say) stops trying.
template <class Op>
ExprValue evArith(ExprVisitor& v, cx::Node* n) {
  const cx::Integer r = cx::evalIntegers(n);
  if (r.kind == VT_INT) return makeIntValue(int32_t(r.value));
  if (r.kind == VT_LONG) return makeLongValue(r.value);
  if (++n->arithMisses >= 8) {
    n->arith = 0;
    n->eval = evIntGeneral<Op>;
  }
  return evIntGeneral<Op>(v, n);
}

// The same for a tree of one operator: two zs literals or plain variables
// are combined at once, as evInt does.
template <class Op>
ExprValue evArith1(ExprVisitor& v, cx::Node* n) {
  int32_t x, y;
  if (readInt(n->a, x) && readInt(n->b, y) && Op::fits(x, y)) return Op::of(x, y);
  return evArith<Op>(v, n);
}

// An operator without a fast path.
template <ExprValue (*Apply)(ExprValue, ExprValue, antlr4::ParserRuleContext*)>
ExprValue evApply(ExprVisitor& v, cx::Node* n) {
  KOR_OPERANDS(v, n, a, b)
  return Apply(a, b, n->ctx);
}

ExprValue evBitwise(ExprVisitor& v, cx::Node* n) {
  KOR_OPERANDS(v, n, a, b)
  return applyBitwise(a, b, n->ctx, char(n->op));
}

#undef KOR_OPERANDS

ExprValue evNegation(ExprVisitor& v, cx::Node* n) {
  return evalNegation(v, static_cast<KorParser::NegationExprContext*>(n->ctx));
}
// A negated number literal: computed once, then served as a literal.
ExprValue evNegLitFirst(ExprVisitor& v, cx::Node* n) {
  ExprValue value = evNegation(v, n);
  if (uint32_t(value.type) <= uint32_t(VT_WCHAR) && value.owner == nullptr) {
    n->lit = value;
    n->eval = evLit;
  }
  return value;
}
ExprValue evNot(ExprVisitor& v, cx::Node* n) {
  guardStack(n->ctx);
  return applyNot(cx::eval(v, n->a), n->ctx);
}
ExprValue evBitNot(ExprVisitor& v, cx::Node* n) {
  return evalBitNot(v, static_cast<KorParser::LogRevExprContext*>(n->ctx));
}
ExprValue evIn(ExprVisitor& v, cx::Node* n) {
  auto* in = static_cast<KorParser::InExprContext*>(n->ctx);
  return evalMembership(v, in, in->rightvar(), n->op != 0);
}
ExprValue evNotIn(ExprVisitor& v, cx::Node* n) {
  auto* in = static_cast<KorParser::NotinExprContext*>(n->ctx);
  return evalMembership(v, in, in->rightvar(), true);
}
ExprValue evFmt(ExprVisitor& v, cx::Node* n) {
  return evalFmtString(v, static_cast<KorParser::FmtStringContext*>(n->ctx->children[0]));
}
ExprValue evCall(ExprVisitor& v, cx::Node* n) {
  return callsupport::evalCallValueAt(v, static_cast<KorParser::CallFunExprContext*>(n->ctx),
                                      *n->site);
}
// The first run of a call: finds its site; the later ones take the quick
// member-call form when the site allows it.
ExprValue evCallFirst(ExprVisitor& v, cx::Node* n) {
  auto* ctx = static_cast<KorParser::CallFunExprContext*>(n->ctx);
  if (!n->site) n->site = &callsupport::callSite(ctx->realCallFun());
  ExprValue value = callsupport::evalCallValueAt(v, ctx, *n->site);
  if (n->site->quick > 0)
    n->eval = n->site->chain.empty() ? callsupport::evQuickMember : callsupport::evQuickChain;
  else
    n->eval = evCall;
  return value;
}

// x++ / x--: a plain integer variable is changed in place.
ExprValue evAuto(ExprVisitor& v, cx::Node* n) {
  if (const ScopeRecord* rec = cx::stepInt(n)) return rec->asValue();
  return evalAutoAddSub(v, n->autoCtx);
}

void nameNode(cx::Node* n, KorParser::KorvarContext* var) {
  n->var = var;
  const CachedName& name = cachedNameOf(var);
  n->name.set(name.name, name.hash);
  n->seen = name.name;
}

cx::Node* binary(ExprVisitor& v, KorParser::ExprContext* e, cx::EvalFn fn, int op = 0) {
  cx::Node* n = newNode(e, fn);
  n->op = op;
  n->a = cx::compileExpr(v, childExpr(e, 0));
  n->b = cx::compileExpr(v, childExpr(e, 2));
  return n;
}

// An integer operator: a left operand that is neither a literal nor a plain
// variable goes straight to the general handler (readInt would never read it).
template <class Op>
cx::Node* intBinary(ExprVisitor& v, KorParser::ExprContext* e, int op = 0) {
  cx::Node* n = binary(v, e, evInt<Op>, op);
  const cx::EvalFn left = n->a->eval;
  if (left != evLit && left != evLitFirst && left != evNegLitFirst && left != evVarPlain)
    n->eval = evIntGeneral<Op>;
  return n;
}

// The depth of an integer tree (cx::Node::arith) of a node: 0 for an operand
// that isPureOperand accepts, -1 for every other node.
int arithDepth(const cx::Node* n) {
  if (n->arith == 0) return isPureOperand(n) ? 0 : -1;
  const int a = arithDepth(n->a), b = arithDepth(n->b);
  return a < 0 || b < 0 ? -1 : 1 + (a > b ? a : b);
}

// + - * % (code 1..4): evaluated as an integer tree when its operands read
// nothing and the tree stays a few levels deep (the evaluation recurses
// without the stack guard).
template <class Op>
cx::Node* arithBinary(ExprVisitor& v, KorParser::ExprContext* e, uint8_t code) {
  cx::Node* n = intBinary<Op>(v, e);
  const int a = arithDepth(n->a), b = arithDepth(n->b);
  if (a >= 0 && b >= 0 && a < 8 && b < 8) {
    n->arith = code;
    n->eval = a == 0 && b == 0 ? evArith1<Op> : evArith<Op>;
  }
  return n;
}

bool isPureOperand(const cx::Node* n) {
  return n->eval == evLit || n->eval == evLitFirst || n->eval == evNegLitFirst ||
         n->eval == evVarPlain || n->eval == evVarMember || n->eval == evVarIndex;
}

cx::Node* compileNode(ExprVisitor& v, KorParser::ExprContext* e) {
  switch (kindTable().kindOf(typeid(*e))) {
    case NK_VAR: {
      auto* var = static_cast<KorParser::KorvarContext*>(e->children[0]);
      if (isSimpleIndexed(var)) {
        cx::Node* n = newNode(e, evVarIndex);
        nameNode(n, var);
        auto* index = static_cast<antlr4::ParserRuleContext*>(var->children[2]);
        n->a = cx::compileExpr(v, static_cast<KorParser::ExprContext*>(index->children[0]));
        return n;
      }
      cx::Node* n = newNode(e, var->children.size() == 1 ? evVarPlain
                               : var->children.size() == 3 ? evVarMember  // v.m
                                                            : evVarPath);
      nameNode(n, var);  // the variable of a path too: its first name
      n->op = 0;
      return n;
    }
    case NK_LITERAL: return newNode(e, evLitFirst);
    case NK_STRING: return newNode(e, evStrFirst);
    case NK_PAREN: return cx::compileExpr(v, childExpr(e, 1));
    case NK_ADD: return arithBinary<AddOp>(v, e, 1);
    case NK_SUB: return arithBinary<SubOp>(v, e, 2);
    case NK_MULT: return arithBinary<MultOp>(v, e, 3);
    case NK_DIV: return binary(v, e, evApply<applyDiv>);
    case NK_REM: return arithBinary<RemOp>(v, e, 4);
    case NK_NEG: {
      // NEG atom: a number literal or a variable
      auto* atom = static_cast<KorParser::AtomContext*>(e->children[1]);
      return newNode(e, atom->korvar() == nullptr ? evNegLitFirst : evNegation);
    }
    case NK_EQ: return intBinary<CmpOp<0>>(v, e, 0);
    case NK_NE: return intBinary<CmpOp<1>>(v, e, 1);
    case NK_LT: return intBinary<CmpOp<2>>(v, e, 2);
    case NK_LE: return intBinary<CmpOp<3>>(v, e, 3);
    case NK_GT: return intBinary<CmpOp<4>>(v, e, 4);
    case NK_GE: return intBinary<CmpOp<5>>(v, e, 5);
    case NK_AND: return binary(v, e, evApply<applyAnd>);
    case NK_OR: return binary(v, e, evApply<applyOr>);
    case NK_NOT: {
      cx::Node* n = newNode(e, evNot);
      n->a = cx::compileExpr(v, childExpr(e, 1));
      return n;
    }
    case NK_BITAND: return binary(v, e, evBitwise, '&');
    case NK_BITOR: return binary(v, e, evBitwise, '|');
    case NK_BITXOR: return binary(v, e, evBitwise, '^');
    case NK_BITNOT: return newNode(e, evBitNot);
    case NK_IN: return newNode(e, evIn);
    case NK_NOTIN: return newNode(e, evNotIn);
    case NK_AUTO: {
      auto* autoCtx = static_cast<KorParser::KorAutoAddSubContext*>(e->children[0]);
      return cx::compileAuto(v, autoCtx);
    }
    case NK_FMT: return newNode(e, evFmt);
    case NK_CALL: {
      // a call of a script function by name takes the plain path; a member
      // call works out its quick form on its first run
      cx::Node* n = newNode(e, evCallFirst);
      flow::choosePlainCall(n);
      return n;
    }
    case NK_OTHER: break;
  }
  return newNode(e, evVisit);
}

ContextCache<cx::Node*> gAutoCompiled;

}  // namespace

namespace cx {

Node* compileExpr(ExprVisitor& v, KorParser::ExprContext* e) {
  if (Node** hit = gCompiled.find(e)) return *hit;
  guardStack(e);
  Node* n = compileNode(v, e);
  gCompiled.insert(e, std::move(n));
  return n;
}

Node* compileName(KorParser::KorvarContext* var) {
  Node* n = newNode(nullptr, evVarPath);
  nameNode(n, var);
  return n;
}

}  // namespace cx

// ---- integer trees in postfix ----
//
// A tree of + - * % (cx::Node::arith) runs as a list of steps over a small
// stack of integers once all its literals are decoded: push a literal or a
// variable operand, or combine the top two entries (or the top entry and the
// step's literal: a right operand that is a literal).

struct cx::IntStep {
  // kOp + 2 * (operator 1..4 as cx::Node::arith - 1), + 1 with the literal
  // kVar: a plain variable; kCell: a kept member or an indexed cell; kSelf: a
  // plain variable of the assignment target's name
  enum Code : uint8_t { kEnd, kPush, kVar, kCell, kSelf, kOp };
  uint8_t code;
  int32_t kind;   // kPush / kOpLit: the literal's type
  int64_t value;  // the literal (a zs sign-extended)
  cx::Node* var;  // kVar
};

namespace {

using cx::IntStep;

std::deque<std::vector<IntStep>> gSteps;

// The literal of a decoded zs or czs literal node: false for every other node.
bool literalInteger(const cx::Node* n, IntStep& step) {
  if (n->eval != evLit || (n->lit.type != VT_INT && n->lit.type != VT_LONG)) return false;
  step.kind = n->lit.type;
  step.value = n->lit.type == VT_INT ? int64_t(n->lit.payload.i32) : n->lit.payload.i64;
  return true;
}

// 1: the steps of the tree appended; 0: a literal is not decoded yet; -1: a
// literal is no integer (the tree never runs in integers).
int appendSteps(const cx::Node* n, const cx::Node* target, std::vector<IntStep>& out) {
  IntStep step{};
  if (n->arith == 0) {
    if (literalInteger(n, step)) {
      step.code = IntStep::kPush;
    } else if (n->eval == evVarPlain || n->eval == evVarMember || n->eval == evVarIndex) {
      step.code = n->eval == evVarPlain && target != nullptr &&
                          n->name.hash() == target->name.hash() &&
                          n->name.bytes() == target->name.bytes()
                      ? IntStep::kSelf
                  : n->eval == evVarPlain ? IntStep::kVar
                                          : IntStep::kCell;
      step.var = const_cast<cx::Node*>(n);
    } else {
      return n->eval == evLitFirst || n->eval == evNegLitFirst ? 0 : -1;
    }
    out.push_back(step);
    return 1;
  }
  int r = appendSteps(n->a, target, out);
  if (r <= 0) return r;
  const uint8_t code = uint8_t(IntStep::kOp + 2 * (n->arith - 1));
  if (literalInteger(n->b, step)) {
    step.code = code + 1;
  } else {
    r = appendSteps(n->b, target, out);
    if (r <= 0) return r;
    step.code = code;
  }
  out.push_back(step);
  return 1;
}

// x op= y (op 1..4 as cx::Node::arith) with the operator's result type
// (applyAdd .. applyRemainder): czs when either operand is one, except that
// zs - czs and zs % czs stay zs; false for a remainder by 0 (the general rule
// raises).
template <int Op>
KOR_ALWAYS_INLINE bool combine(cx::Integer& x, int64_t yv, int32_t yk) {
  if (Op == 4) {
    if (yv == 0) return false;
    if (yv == -1) {
      x.value = 0;
      return true;
    }
  }
  if ((x.kind | yk) == VT_INT) {  // both zs
    const uint32_t a = uint32_t(x.value), b = uint32_t(yv);
    x.value = int32_t(Op == 1 ? a + b : Op == 2 ? a - b : Op == 3 ? a * b : uint32_t(int32_t(a) % int32_t(b)));
    return true;
  }
  uint64_t r;
  if (Op == 1) r = uint64_t(x.value) + uint64_t(yv);
  else if (Op == 2) r = uint64_t(x.value) - uint64_t(yv);
  else if (Op == 3) r = uint64_t(x.value) * uint64_t(yv);
  else r = uint64_t(x.value % yv);
  if (Op == 1 || Op == 3) x.kind = VT_LONG;
  x.value = x.kind == VT_LONG ? int64_t(r) : int64_t(int32_t(uint32_t(r)));
  return true;
}

KOR_NOINLINE const IntStep* buildSteps(cx::Node* n, const cx::Node* target) {
  std::vector<IntStep> steps;
  const int r = appendSteps(n, target, steps);
  if (r < 0) {
    n->arithMisses = 7;  // never in integers: the caller gives up now
    return nullptr;
  }
  if (r == 0) return nullptr;
  steps.push_back(IntStep{IntStep::kEnd, 0, 0, nullptr});
  gSteps.push_back(std::move(steps));
  n->steps = gSteps.back().data();
  return n->steps;
}

}  // namespace

namespace cx {

// The top of the stack stays in `acc`; the entries below it in `stack`.
Integer evalIntegers(Node* n, const Node* target, const ScopeRecord* self) {
  const IntStep* s = n->steps;
  if (s == nullptr && (s = buildSteps(n, target)) == nullptr) return {0, -1};
  Integer stack[16];  // a tree is at most 8 levels deep
  Integer acc{0, -1};
  int below = 0;
  for (;; ++s) {
    switch (s->code) {
      case IntStep::kPush:
        if (acc.kind >= 0) stack[below++] = acc;
        acc = {s->value, s->kind};
        break;
      case IntStep::kVar: {
        if (acc.kind >= 0) stack[below++] = acc;
        const ScopeRecord* rec = lookupNamed(s->var);
        if (rec == nullptr) return {0, -1};
        if (rec->kind == VT_INT)
          acc = {rec->payload.i32, VT_INT};
        else if (rec->kind == VT_LONG)
          acc = {rec->payload.i64, VT_LONG};
        else
          return {0, -1};
        break;
      }
      case IntStep::kCell:
        if (acc.kind >= 0) stack[below++] = acc;
        acc = peekVarInteger(s->var);
        if (acc.kind < 0) return acc;
        break;
      case IntStep::kSelf:
        if (acc.kind >= 0) stack[below++] = acc;
        if (self == nullptr) {
          acc = peekVarInteger(s->var);
        } else if (self->kind == VT_INT) {
          acc = {self->payload.i32, VT_INT};
        } else if (self->kind == VT_LONG) {
          acc = {self->payload.i64, VT_LONG};
        } else {
          return {0, -1};
        }
        if (acc.kind < 0) return acc;
        break;
#define KOR_INT_OP(op)                                                     \
  case IntStep::kOp + 2 * (op - 1): {                                      \
    Integer x = stack[--below];                                            \
    if (!combine<op>(x, acc.value, acc.kind)) return {0, -1};              \
    acc = x;                                                               \
    break;                                                                 \
  }                                                                        \
  case IntStep::kOp + 2 * (op - 1) + 1:                                    \
    if (!combine<op>(acc, s->value, s->kind)) return {0, -1};              \
    break;
      KOR_INT_OP(1)
      KOR_INT_OP(2)
      KOR_INT_OP(3)
      KOR_INT_OP(4)
#undef KOR_INT_OP
      default:
        return acc;
    }
  }
}

bool isComparison(const Node* n) {
  return n->eval == evInt<CmpOp<0>> || n->eval == evInt<CmpOp<1>> || n->eval == evInt<CmpOp<2>> ||
         n->eval == evInt<CmpOp<3>> || n->eval == evInt<CmpOp<4>> || n->eval == evInt<CmpOp<5>>;
}

void failNamed(Node* n, antlr4::ParserRuleContext* ctx) {
  findVariable(n->name.bytes(), n->name.hash(), ctx);  // raises
  throw std::logic_error("variable found on the second lookup");
}

Node* compileAuto(ExprVisitor& v, KorParser::KorAutoAddSubContext* ctx) {
  (void)v;
  if (Node** hit = gAutoCompiled.find(ctx)) return *hit;
  Node* n = newNode(nullptr, evAuto);
  n->autoCtx = ctx;
  auto* var = static_cast<KorParser::KorvarContext*>(ctx->children[0]);
  const std::string sign = ctx->stop ? ctx->stop->getText() : std::string();
  n->op = !sign.empty() && sign[0] == '+' ? 1 : -1;
  if (var->children.size() == 1) nameNode(n, var);
  gAutoCompiled.insert(ctx, std::move(n));
  return n;
}

void resetCompiled() {
  resetStatements();
  resetLoops();
  gCompiled.clear();
  gAutoCompiled.clear();
  std::deque<Node>().swap(gNodes);
  std::deque<std::vector<IntStep>>().swap(gSteps);
}

}  // namespace cx

ExprValue evalExprFast(ExprVisitor& v, KorParser::ExprContext* e) {
  guardStack(e);
  cx::Node* n = cx::compileExpr(v, e);
  return n->eval(v, n);
}
