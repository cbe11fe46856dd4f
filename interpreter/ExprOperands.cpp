// Operand evaluation without the antlrcpp::Any round trip, and the per-context
// caches of variable names and literal values.
#include "ExprOperands.h"
#include "StackGuard.h"

#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"

#include <deque>
#include <typeinfo>
#include <vector>

namespace {

// Open-addressing map from a parse context to a cached item. A slot also
// remembers the context's first token, and a lookup only hits when it still
// matches, so a context allocated at the address of a freed one is not taken
// for it (the run driver also clears the caches when a run starts). Items
// live in a deque and keep their addresses until clear().
template <typename T>
class ContextCache {
 public:
  T* find(antlr4::ParserRuleContext* ctx) {
    if (slots_.empty()) return nullptr;
    size_t i = slotOf(ctx);
    for (;;) {
      Slot& s = slots_[i];
      if (s.key == ctx) return s.token == ctx->start ? s.value : nullptr;
      if (s.key == nullptr) return nullptr;
      i = (i + 1) & mask_;
    }
  }

  T& insert(antlr4::ParserRuleContext* ctx, T&& value) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    size_t i = slotOf(ctx);
    while (slots_[i].key != nullptr && slots_[i].key != ctx) i = (i + 1) & mask_;
    Slot& s = slots_[i];
    if (s.key == nullptr) ++used_;
    s.key = ctx;
    s.token = ctx->start;
    items_.push_back(std::move(value));
    s.value = &items_.back();
    return *s.value;
  }

  void clear() {
    std::vector<Slot>().swap(slots_);
    std::deque<T>().swap(items_);
    used_ = 0;
    mask_ = 0;
    shift_ = 63;
  }

 private:
  struct Slot {
    const void* key = nullptr;
    const antlr4::Token* token = nullptr;
    T* value = nullptr;
  };

  size_t slotOf(const void* p) const {
    uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ULL;
    return size_t(h >> shift_);
  }

  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    size_t n = old.empty() ? 1024 : old.size() * 2;
    slots_.resize(n);
    mask_ = n - 1;
    shift_ = 64 - unsigned(__builtin_ctzll(uint64_t(n)));
    used_ = 0;
    for (Slot& s : old) {
      if (s.key == nullptr) continue;
      size_t i = slotOf(s.key);
      while (slots_[i].key != nullptr) i = (i + 1) & mask_;
      slots_[i] = std::move(s);
      ++used_;
    }
  }

  std::vector<Slot> slots_;
  std::deque<T> items_;
  size_t used_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 63;
};

// A string literal's value, kept so that evaluating the literal again only
// shares the bytes (Qt's implicit sharing) instead of decoding the token.
struct StringLiteral {
  int32_t type = VT_EMPTY;
  QByteArray bytes;  // type 9
  QString text;      // type 10
};

ContextCache<CachedName> gNameCache;
ContextCache<StringLiteral> gStringCache;
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

ExprValue cachedLiteral(ExprVisitor& v, KorParser::ExprContext* e) {
  ContextCache<ExprValue>& cache = literalCache();
  if (ExprValue* hit = cache.find(e)) return *hit;
  ExprValue value = v.evalValue(e);
  // only the inline types: their cells own nothing and can be handed out again
  if (uint32_t(value.type) <= uint32_t(VT_WCHAR) && value.owner == nullptr)
    cache.insert(e, ExprValue(value));
  return value;
}

ExprValue cachedStringLiteral(ExprVisitor& v, KorParser::ExprContext* e) {
  if (StringLiteral* hit = gStringCache.find(e)) {
    ExprValue value;
    value.type = hit->type;
    if (hit->type == VT_BYTES)
      value.payload.bytes = new QByteArray(hit->bytes);
    else
      value.payload.str = new QString(hit->text);
    return value;
  }
  ExprValue value = v.evalValue(e);
  StringLiteral lit;
  lit.type = value.type;
  if (value.type == VT_BYTES && value.payload.bytes) {
    lit.bytes = *value.payload.bytes;
    gStringCache.insert(e, std::move(lit));
  } else if (value.type == VT_STRING && value.payload.str) {
    lit.text = *value.payload.str;
    gStringCache.insert(e, std::move(lit));
  }
  return value;
}

const QString& cachedFormatText(antlr4::ParserRuleContext* formatCtx) {
  ContextCache<QString>& cache = formatCache();
  if (QString* hit = cache.find(formatCtx)) return *hit;
  QByteArray token = QByteArray::fromStdString(formatCtx->start->getText());
  // a u16 literal is the same text; the prefix is no part of it
  if (token.startsWith("u16")) token.remove(0, 3);
  return cache.insert(formatCtx, QString::fromUtf8(unescapeString(token)));
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
  nameCache().clear();
  gStringCache.clear();
  formatCache().clear();
  literalCache().clear();
}

OperandGuard::~OperandGuard() {
  if (cell_ != nullptr) freeValue(*cell_);
}

void evalOperandPair(ExprVisitor& v, antlr4::ParserRuleContext* ctx, ExprValue& left,
                     ExprValue& right) {
  left = evalExprFast(v, childExpr(ctx, 0));
  OperandGuard guard(left);
  right = evalExprFast(v, childExpr(ctx, 2));
  guard.release();
}

ExprValue evalExprFast(ExprVisitor& v, KorParser::ExprContext* e) {
  guardStack(e);
  switch (kindTable().kindOf(typeid(*e))) {
    case NK_VAR:
      return readVariable(v, static_cast<KorParser::KorvarContext*>(e->children[0]), false);
    case NK_LITERAL:
      return cachedLiteral(v, e);
    case NK_STRING:
      return cachedStringLiteral(v, e);
    case NK_PAREN:
      return evalExprFast(v, childExpr(e, 1));
    case NK_ADD:
      return evalAdd(v, static_cast<KorParser::AddExprContext*>(e));
    case NK_SUB:
      return evalSub(v, static_cast<KorParser::SubExprContext*>(e));
    case NK_MULT:
      return evalMult(v, static_cast<KorParser::MultExprContext*>(e));
    case NK_DIV:
      return evalDiv(v, static_cast<KorParser::DivExprContext*>(e));
    case NK_REM:
      return evalRemainder(v, static_cast<KorParser::RemainderExprContext*>(e));
    case NK_NEG:
      return evalNegation(v, static_cast<KorParser::NegationExprContext*>(e));
    case NK_EQ: return evalCompare(v, e, 0);
    case NK_NE: return evalCompare(v, e, 1);
    case NK_LT: return evalCompare(v, e, 2);
    case NK_LE: return evalCompare(v, e, 3);
    case NK_GT: return evalCompare(v, e, 4);
    case NK_GE: return evalCompare(v, e, 5);
    case NK_AND:
      return evalAnd(v, static_cast<KorParser::AndExprContext*>(e));
    case NK_OR:
      return evalOr(v, static_cast<KorParser::OrExprContext*>(e));
    case NK_NOT:
      return evalNot(v, static_cast<KorParser::NotExprContext*>(e));
    case NK_BITAND: return evalBitwise(v, e, '&');
    case NK_BITOR: return evalBitwise(v, e, '|');
    case NK_BITXOR: return evalBitwise(v, e, '^');
    case NK_BITNOT:
      return evalBitNot(v, static_cast<KorParser::LogRevExprContext*>(e));
    case NK_IN: {
      auto* in = static_cast<KorParser::InExprContext*>(e);
      return evalMembership(v, in, in->rightvar(), false);
    }
    case NK_NOTIN: {
      auto* in = static_cast<KorParser::NotinExprContext*>(e);
      return evalMembership(v, in, in->rightvar(), true);
    }
    case NK_AUTO:
      return evalAutoAddSub(v, static_cast<KorParser::KorAutoAddSubContext*>(e->children[0]));
    case NK_FMT:
      return evalFmtString(v, static_cast<KorParser::FmtStringContext*>(e->children[0]));
    case NK_CALL:
      return evalCallValue(v, static_cast<KorParser::CallFunExprContext*>(e));
    case NK_OTHER:
      break;
  }
  return v.evalValue(e);
}
