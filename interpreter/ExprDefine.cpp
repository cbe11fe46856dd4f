// Struct declarations, typed and struct variable definitions, struct
// assignment forms and struct initialisers.
#include "ExprVisitor.h"
#include "Compiled.h"
#include "ContextCache.h"
#include "FlowSupport.h"
#include "VisitResult.h"

#include "ExprOperands.h"
#include "MessageFormat.h"
#include "StackGuard.h"
#include "TypedStore.h"

#include "builtins/RegexNative.h"
#include "runtime/errors.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/type_words.h"
#include "runtime/value.h"
#include "runtime/value_compare.h"
#include "runtime/value_ops.h"
#include "runtime/workbook.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>

namespace {

QString ctxText(antlr4::ParserRuleContext* ctx) { return QString::fromStdString(ctx->getText()); }

QByteArray tokenBytes(antlr4::tree::TerminalNode* node) {
  return QByteArray::fromStdString(node->getSymbol()->getText());
}

// Releases a value on the way out unless it was handed on.
struct PendingValue {
  ExprValue value;
  bool armed = true;
  ~PendingValue() {
    if (armed) freeValue(value);
  }
};

// Keeps the definition marker for exactly one definition: popped normally at
// the end, and cut back on the way out of an error, so that a failed global
// definition cannot leave its marker above the run-start status.
class DefinitionMarker {
 public:
  explicit DefinitionMarker(StatusEntry entry) {
    pushStatusEntry(entry);
    depth_ = statusStack()->size();
  }
  ~DefinitionMarker() {
    if (done_) return;
    StatusStack* s = statusStack();
    if (s != nullptr && s->size() >= depth_) s->resize(depth_ - 1);
  }
  void pop() {
    popStatus();
    done_ = true;
  }

 private:
  size_t depth_ = 0;
  bool done_ = false;
};

// Initial value of a typed variable defined without an initialiser.
void setInitialPayload(int32_t code, ValuePayload& p) {
  p.i64 = 0;
  switch (code) {
    case VT_DOUBLE:
      p.d = double(0.1f);
      break;  // 0.10000000149011612
    case VT_CHAR:
      p.c = 'a';
      break;
    case VT_WCHAR:
      p.u16 = 'a';
      break;
    case VT_BYTES:
      p.bytes = newByteString();
      break;
    case VT_STRING:
      p.str = newText();
      break;
    case VT_LIST:
      p.list = newValueList();
      break;
    case VT_DICT:
      p.dict = newValueDict();
      break;
    case VT_TIME:
      p.time = new QDateTime();
      break;
    case VT_EXCEL: {
      ExcelValue* e = new ExcelValue;
      e->doc = new Workbook();
      addSharedRef(e);
      p.excel = e;
      break;
    }
    default:
      break;
  }
}

// The description of a struct type; raises when the name is not a declared
// struct (also when it names a global that is no struct description).
ScopeRecord* structDescription(const QByteArray& name, antlr4::ParserRuleContext* ctx) {
  ScopeRecord* desc = findGlobal(name, ctx, true);
  if (desc == nullptr || desc->kind != VT_STRUCT_DESC || desc->payload.names == nullptr) {
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 找不到结构体类型 %2，语句 %3 结构体没有定义！类型 %2 "
                       "不是基本类型关键字或结构体名称，是不是写错？"),
        lineOfContext(ctx), QString::fromUtf8(name), contextSourceText(ctx)));
  }
  return desc;
}

// A new struct value of a declared type. Without an initialiser byte-string
// and string members start empty; every other member (and every member when
// an initialiser follows) starts with a zero payload.
StructValue* newStructValue(const QByteArray& typeName, const ByteStringList& names,
                            bool initialised) {
  StructValue* sv = new StructValue;
  sv->typeName = typeName;
  sv->layout = names;
  sv->builtinCode = typeRegistryCode(typeName);
  const int n = names.size() / 2;
  if (n > 0) {
    sv->members = new MemberCells;
    sv->members->reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
      ExprValue* c = takeValueCell();
      c->owner = nullptr;
      c->type = typeCodeOfKeyword(names.at(n + i));
      c->payload.i64 = 0;
      if (!initialised) {
        if (c->type == VT_BYTES)
          c->payload.bytes = newByteString();
        else if (c->type == VT_STRING)
          c->payload.str = newText();
      }
      sv->members->push_back(c);
    }
  }
  sv->native = defaultRegexNative(sv->builtinCode);
  return sv;
}

}  // namespace

antlrcpp::Any ExprVisitor::visitDeclareStruct(KorParser::DeclareStructContext* ctx) {
  if (statusTop() != LS_RUN_START) {
    raiseScriptError(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 结构体的声明，只能在全局区域中！"),
                                 lineOfContext(ctx), contextSourceText(ctx)));
  }
  const QByteArray name = tokenBytes(ctx->VARNAME());
  if (hasGlobal(name)) {
    raiseScriptError(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 全局区域变量 %3 重复定义 ！"),
                                 lineOfContext(ctx), contextSourceText(ctx),
                                 QString::fromUtf8(name)));
  }
  ByteStringList* names = new ByteStringList;
  const std::vector<KorParser::Struct_varContext*> vars = ctx->struct_body()->struct_var();
  for (KorParser::Struct_varContext* v : vars) names->append(tokenBytes(v->VARNAME()));
  for (KorParser::Struct_varContext* v : vars) names->append(tokenBytes(v->TYPE_ID()));
  ScopeRecord* rec = takeScopeRecord();
  rec->name = name;
  rec->kind = VT_STRUCT_DESC;
  rec->payload.i64 = 0;
  rec->payload.names = names;
  rec->returnSlot = nullptr;
  addGlobal(name, rec);
  return 0;
}

// defvar: TYPE_ID ( assign | VARNAME ( ',' VARNAME )* ';' )
void execDefvar(ExprVisitor& v, KorParser::DefvarContext* ctx) {
  const int32_t code = typeCodeOfKeyword(cachedNameOf(ctx).name);  // the leading type word
  const bool global = statusTop() == LS_RUN_START;
  DefinitionMarker marker({global ? LS_DEF_GLOBAL : LS_DEF_LOCAL, code});

  antlr4::tree::ParseTree* second = ctx->children.size() > 1 ? ctx->children[1] : nullptr;
  if (second != nullptr && !second->children.empty()) {
    // assign: assginNoEnd ';'   assginNoEnd: assignOne (',' assignOne)*
    antlr4::tree::ParseTree* list = second->children[0];
    for (antlr4::tree::ParseTree* one : list->children) {
      if (one->children.size() == 3)  // korvar assignOp rightvar
        execAssignVar(v, static_cast<KorParser::AssignVarContext*>(one));
      else if (!one->children.empty())
        one->accept(&v);
    }
    marker.pop();
    return;
  }

  for (size_t i = 1; i < ctx->children.size(); ++i) {
    auto* node = static_cast<antlr4::tree::TerminalNode*>(ctx->children[i]);
    if (node->getSymbol()->getType() != KorParser::VARNAME) continue;
    const QByteArray name = tokenBytes(node);
    if (isReservedWord(name)) {
      raiseScriptError(fillMessage(
          QStringLiteral("错误:行号 %1 语句 %2 变量 %3 名称使用了kor内部保留关键字，还请改名！"),
          definitionLine(ctx), ctxText(ctx), QString::fromUtf8(name)));
    }
    ScopeRecord* rec;
    if (global) {
      if (hasGlobal(name)) {
        raiseScriptError(fillMessage(
            QStringLiteral("错误:行号 %1 语句 %2 变量 %3 在全局作用域已经存在，不能重复定义！"),
            definitionLine(ctx), contextSourceText(ctx), QString::fromUtf8(name)));
      }
      rec = takeScopeRecord();
      rec->kind = code;
    } else {
      if (findInCurrentBlock(name)) {
        raiseScriptError(fillMessage(
            QStringLiteral("错误：行号 %1 语句 %2 变量 %3 在当前作用域已经存在，不能重复定义 !"),
            lineOfContext(ctx), contextSourceText(ctx), QString::fromUtf8(name)));
      }
      rec = pushScopeRecord(code);
    }
    rec->name = name;
    rec->returnSlot = nullptr;
    setInitialPayload(code, rec->payload);
    if (global) addGlobal(name, rec);
  }
  marker.pop();
}

namespace {

// Whether a definition item may take defineChecked: `name = expression`
// with "=", a name that is no reserved word and a type whose own-type store
// is a plain move (what the compiled definition decides once).
bool definesPlainly(int32_t code, const cx::Stmt* one) {
  const AssignPlan& plan = one->plan;
  return one->run == nullptr && plan.target != nullptr && plan.right != nullptr && plan.op == 0 &&
         movesOwnType(code) && !plan.name->reserved();
}

// The store of an initialiser whose value is not of the declared type: the
// general store, under the definition marker as in runDefvar.
KOR_NOINLINE void storeConverted(ExprVisitor& v, int32_t code, const cx::Stmt* one,
                                 ScopeRecord* rec, const ExprValue& value, bool marked) {
  auto* ctx = static_cast<KorParser::AssignVarContext*>(one->ctx);
  if (marked) {
    execAssignPrepared(v, ctx, one->plan, rec, value);
    return;
  }
  DefinitionMarker marker({LS_DEF_LOCAL, code});
  execAssignPrepared(v, ctx, one->plan, rec, value);
  marker.pop();
}

// `T name = expr` of definesPlainly inside a function: the record is pushed
// (unless the name is in the current block already: false, with nothing
// done, for the general path's message), the value evaluated and stored.
// A record from the pool often held this name before (the records of a loop
// body come back in the order they left): the name is then kept as it is.
KOR_ALWAYS_INLINE bool defineChecked(ExprVisitor& v, int32_t code, const cx::Stmt* one,
                                     bool marked) {
  const AssignPlan& plan = one->plan;
  const HashedName& name = plan.target->name;
  ScopeStack* st = scopeStack();
  if (definedInBlockOf(*st, name)) return false;
  ScopeRecord* rec = takeScopeRecord();
  rec->kind = code;
  if (rec->name.bytes().constData() != name.bytes().constData()) rec->name = name;
  rec->payload.i64 = 0;
  rec->returnSlot = nullptr;
  st->push_back(rec);
  ExprValue value = cx::eval(v, plan.right);
  if (!storeOwnTypeFresh(rec, value)) storeConverted(v, code, one, rec, value, marked);
  return true;
}

// `T name = expr` inside a function: defineChecked when the item is one of
// definesPlainly; false, with nothing done, for every definition the general
// path must take (a global one, a reserved or duplicate name, an operator
// other than "=", a target with suffixes, a right side that is no
// expression, a type whose own-type store is not a plain move): that path
// raises its messages.
bool defineLocal(ExprVisitor& v, int32_t code, const cx::Stmt* one) {
  return definesPlainly(code, one) && defineChecked(v, code, one, true);
}

// A compiled definition with initialisers: the type word decoded once and
// each `name = value` planned once (target name, operator, right side).
void runDefvar(ExprVisitor& v, const cx::Stmt* s) {
  const bool global = statusTop() == LS_RUN_START;
  DefinitionMarker marker({global ? LS_DEF_GLOBAL : LS_DEF_LOCAL, s->code});
  for (const cx::Stmt* one : s->list) {
    if (one->run)
      one->run(v, one);
    else if (global || !defineLocal(v, s->code, one))
      execAssignPlanned(v, static_cast<KorParser::AssignVarContext*>(one->ctx), one->plan);
  }
  marker.pop();
}

// A compiled definition all of whose items are definesPlainly, run inside
// a function without the definition marker: nothing evaluated there reads
// it (a definition, a loop, a call or a store met while the value is
// evaluated looks at the status on top only for its own marker, for the
// global start, and for a return, break or continue, and the status below
// is none of these). Any other status, and any item the general path must
// take (a duplicate name), runs as runDefvar does.
KOR_NOINLINE void defineMarkedFrom(ExprVisitor& v, const cx::Stmt* s, size_t first) {
  DefinitionMarker marker({LS_DEF_LOCAL, s->code});
  for (size_t i = first; i < s->list.size(); ++i) {
    const cx::Stmt* one = s->list[i];
    if (!defineChecked(v, s->code, one, true))
      execAssignPlanned(v, static_cast<KorParser::AssignVarContext*>(one->ctx), one->plan);
  }
  marker.pop();
}

inline bool definesUnmarked() {
  const int32_t top = statusTop();
  return top != LS_RUN_START && top != LS_RETURN && top != LS_BREAK && top != LS_CONTINUE;
}

void runDefvarLocal(ExprVisitor& v, const cx::Stmt* s) {
  if (!definesUnmarked()) {
    runDefvar(v, s);
    return;
  }
  const size_t n = s->list.size();
  for (size_t i = 0; i < n; ++i) {
    if (!defineChecked(v, s->code, s->list[i], false)) {
      defineMarkedFrom(v, s, i);
      return;
    }
  }
}

// The same for a definition of one name.
void runDefvarLocalOne(ExprVisitor& v, const cx::Stmt* s) {
  if (!definesUnmarked()) {
    runDefvar(v, s);
    return;
  }
  if (!defineChecked(v, s->code, s->list[0], false)) defineMarkedFrom(v, s, 0);
}

void runDefvarVisited(ExprVisitor& v, const cx::Stmt* s) { s->ctx->accept(&v); }

void runDefvarPlain(ExprVisitor& v, const cx::Stmt* s) {
  execDefvar(v, static_cast<KorParser::DefvarContext*>(s->ctx));
}

}  // namespace

namespace cx {

const Stmt* compileDefvar(ExprVisitor& v, KorParser::DefvarContext* ctx) {
  antlr4::tree::ParseTree* second = ctx->children.size() > 1 ? ctx->children[1] : nullptr;
  if (second == nullptr || second->children.empty()) return newStmt(ctx, runDefvarPlain);
  Stmt* s = newStmt(ctx, runDefvar);
  s->code = typeCodeOfKeyword(cachedNameOf(ctx).name);
  antlr4::tree::ParseTree* list = second->children[0];
  for (antlr4::tree::ParseTree* one : list->children) {
    if (one->children.size() == 3) {  // korvar assignOp rightvar
      Stmt* a = newStmt(one, nullptr);
      a->plan = planAssignment(v, static_cast<KorParser::AssignVarContext*>(one), true);
      s->list.push_back(a);
    } else if (!one->children.empty()) {
      s->list.push_back(newStmt(one, runDefvarVisited));
    }
  }
  if (!s->list.empty() &&
      std::all_of(s->list.begin(), s->list.end(),
                  [&](const Stmt* one) { return definesPlainly(s->code, one); }))
    s->run = s->list.size() == 1 ? runDefvarLocalOne : runDefvarLocal;
  return s;
}

}  // namespace cx

antlrcpp::Any ExprVisitor::visitDefvar(KorParser::DefvarContext* ctx) {
  execDefvar(*this, ctx);
  return 0;
}

antlrcpp::Any ExprVisitor::visitDefstvar(KorParser::DefstvarContext* ctx) {
  const std::vector<antlr4::tree::TerminalNode*> typeNodes = ctx->VARNAME();
  const QByteArray typeName = tokenBytes(typeNodes.at(0));
  for (size_t i = 1; i < typeNodes.size(); ++i) {
    const QByteArray other = tokenBytes(typeNodes[i]);
    if (other != typeName) {
      raiseScriptError(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 结构类型 %3 与 前面类型 %4 不一样， "
                         "一次性定义多个结构体时，必须都是同一个类型的结构体！"),
          lineOfContext(ctx), ctxText(ctx), QString::fromUtf8(other), QString::fromUtf8(typeName)));
    }
  }
  ScopeRecord* desc = structDescription(typeName, ctx);
  const bool global = statusTop() == LS_RUN_START;

  for (KorParser::OnestContext* one : ctx->onest()) {
    KorParser::AssignStOneContext* init = one->assignStOne();
    const QByteArray name = tokenBytes(init != nullptr ? init->VARNAME() : one->VARNAME());
    if (global) {
      if (hasGlobal(name)) {
        raiseScriptError(fillMessage(
            QStringLiteral("错误:行号 %1 语句 %2 变量 %3 在全局作用域已经存在，不能重复定义！"),
            definitionLine(ctx), contextSourceText(ctx), QString::fromUtf8(name)));
      }
    } else if (findInCurrentBlock(name)) {
      raiseScriptError(fillMessage(
          QStringLiteral("错误：行号 %1 语句 %2 变量 %3 在当前作用域已经存在，不能重复定义 !"),
          lineOfContext(ctx), contextSourceText(ctx), QString::fromUtf8(name)));
    }
    StructValue* sv = newStructValue(typeName, *desc->payload.names, init != nullptr);
    ScopeRecord* rec;
    if (global) {
      rec = takeScopeRecord();
      rec->kind = VT_STRUCT;
    } else {
      rec = pushScopeRecord(VT_STRUCT);
    }
    rec->name = name;
    rec->returnSlot = nullptr;
    rec->payload.i64 = 0;
    rec->payload.st = sv;
    if (global) addGlobal(name, rec);
    if (init != nullptr) visitAssignStOne(init);
  }
  return 0;
}

antlrcpp::Any ExprVisitor::visitAssignStOne(KorParser::AssignStOneContext* ctx) {
  const QByteArray name = tokenBytes(ctx->VARNAME());

  if (ctx->stFromExpr() != nullptr) {
    // Point p = q;   RegExp r = "a+";
    PendingValue v;
    v.value = visitResultAs<ExprValue>((visit(ctx->stFromExpr()->expr())));
    ScopeRecord* rec = lookupVariable(name, fnv1a(name));
    if (rec == nullptr) {
      raiseScriptError(
          fillMessage(QStringLiteral("错误：行号 %1 语句 %2 找不到变量%3 或者不在当前可见作用域!"),
                      lineOfContext(ctx), ctxText(ctx), QString::fromUtf8(name)));
    }
    const QByteArray varType = rec->kind == VT_STRUCT && rec->payload.st != nullptr
                                   ? rec->payload.st->typeName
                                   : QByteArray();
    if (v.value.type == VT_STRUCT && v.value.payload.st != nullptr &&
        v.value.payload.st->typeName == varType) {
      releaseScopeRecord(rec);
      rec->kind = VT_STRUCT;
      storeToRecord(rec, &v.value, ctx, true, 0);
      return 0;
    }
    if (scopeRecordStructCode(rec) == VT_REGEXP &&
        (v.value.type == VT_BYTES || v.value.type == VT_STRING)) {
      StructValue* sv = rec->payload.st;
      QString pattern;
      if (v.value.type == VT_BYTES) {
        if (v.value.payload.bytes != nullptr) pattern = utf8ToString(*v.value.payload.bytes);
      } else if (v.value.payload.str != nullptr) {
        pattern = *v.value.payload.str;
      }
      QRegularExpression* re = std::any_cast<QRegularExpression>(&sv->native);
      if (re == nullptr) {
        sv->native = QRegularExpression();
        re = std::any_cast<QRegularExpression>(&sv->native);
      }
      re->setPattern(pattern);
      if (sv->members != nullptr && !sv->members->empty())
        storeToCell(sv->members->at(0), &v.value, ctx, true, 0);
      return 0;
    }
    raiseScriptError(fillMessage(
        QStringLiteral(
            "错误：行号 %1 语句 %2 结构体类型不一样，不能把 %3 的值，赋值给类型为%4 的变量 %5"),
        lineOfContext(ctx), ctxText(ctx), typeDescription(v.value.type, &v.value),
        QString::fromUtf8(varType), QString::fromUtf8(name)));
  }

  // p = {1, "a"};   Point p = {1, "a"};
  ScopeRecord* rec = findVariable(name, fnv1a(name), ctx);
  if (rec->kind != VT_STRUCT || rec->payload.st == nullptr || rec->payload.st->members == nullptr ||
      rec->payload.st->members->empty()) {
    return 0;
  }
  StructValue* sv = rec->payload.st;
  const QByteArray typeName = sv->typeName;
  ScopeRecord* desc = structDescription(typeName, ctx);
  const ByteStringList& names = *desc->payload.names;
  const int n = names.size() / 2;
  const std::vector<KorParser::ExprContext*> exprs = ctx->expr();
  if (size_t(n) != exprs.size() || size_t(n) != sv->members->size()) {
    raiseScriptError(fillMessage(QStringLiteral("错误：行号 %1 语句 %2 结构体 %3 类型 %4 需要 "
                                                "%5个参数，赋值结构体有%6个参数，个数无法匹配!"),
                                 lineOfContext(ctx), ctxText(ctx), QString::fromUtf8(name),
                                 QString::fromUtf8(typeName), n, exprs.size()));
  }
  for (int i = 0; i < n; ++i) {
    PendingValue v;
    v.value = visitResultAs<ExprValue>((visit(exprs[size_t(i)])));
    // the member may have gone while the expression ran (p reassigned)
    if (rec->payload.st != sv) sv = rec->payload.st;
    if (sv == nullptr || sv->members == nullptr || size_t(i) >= sv->members->size()) return 0;
    ExprValue* member = sv->members->at(size_t(i));
    if (v.value.type != member->type &&
        convertForAssign(member->type, v.value.type, false, false, v.value) < 0) {
      raiseScriptError(fillMessage(
          QStringLiteral(
              "错误：行号 %1 语句 %2 结构体第%3 个参数 %4 需要%5，赋值类型是%6, 无法匹配！"),
          lineOfContext(ctx), ctxText(ctx), i + 1, QString::fromUtf8(names.at(i)),
          typeDescription(member->type), typeDescription(v.value.type, &v.value)));
    }
    freeValue(*member);
    storeToCell(member, &v.value, ctx, true, 0);
  }
  return 0;
}

namespace {

// What a struct literal keeps between runs of it: its type name, the
// description found for it while the global table has not changed since,
// the count of its expressions and their nodes, and the members' type codes
// for the layout they were read from (a share of it, so that its address
// stays its own).
struct LiteralPlan {
  QByteArray typeName;
  ScopeRecord* desc = nullptr;
  uint64_t descSeen = 0;
  size_t count = 0;
  std::vector<KorParser::ExprContext*> exprs;  // the expressions
  std::vector<cx::Node*> nodes;                // and their nodes, compiled on the first run
  ByteStringList layout;
  std::vector<int32_t> types;
};

ContextCache<LiteralPlan> gLiteralPlans;

LiteralPlan& literalPlan(KorParser::StRightVarContext* ctx) {
  if (LiteralPlan* plan = gLiteralPlans.find(ctx)) return *plan;
  LiteralPlan plan;
  plan.typeName = cachedNameOf(ctx).name;
  for (antlr4::tree::ParseTree* child : ctx->children)
    if (!child->children.empty()) ++plan.count;
  return gLiteralPlans.insert(ctx, std::move(plan));
}

}  // namespace

void resetStructLiterals() { gLiteralPlans.clear(); }

// stRightVar: VARNAME '{' expr ( ',' expr )* '}'
ExprValue evalStructLiteral(ExprVisitor& v, KorParser::StRightVarContext* ctx) {
  LiteralPlan& plan = literalPlan(ctx);
  const QByteArray& typeName = plan.typeName;
  ScopeRecord* desc = plan.desc;
  if (desc == nullptr || plan.descSeen != scope_state::globalsChanged ||
      desc->kind != VT_STRUCT_DESC || desc->payload.names == nullptr) {
    desc = structDescription(typeName, ctx);
    plan.desc = desc;
    plan.descSeen = scope_state::globalsChanged;
  }

  PendingValue result;
  result.value.type = VT_STRUCT;
  StructValue* sv = new StructValue;
  sv->typeName = typeName;
  sv->layout = *desc->payload.names;
  sv->builtinCode = 0;
  result.value.payload.st = sv;
  // the new value's own share of the names: expressions may run code
  const ByteStringList& names = sv->layout;
  const int n = names.size() / 2;
  if (n > 0) {
    sv->members = new MemberCells;
    sv->members->reserve(size_t(n));
  }
  if (plan.layout.isEmpty() || plan.layout.constBegin() != names.constBegin()) {
    plan.types.clear();
    for (int i = 0; i < n; ++i) plan.types.push_back(typeCodeOfKeyword(names.at(n + i)));
    plan.layout = names;
  }

  const size_t count = plan.count;
  if (count != size_t(n)) {
    const QString text = ctxText(ctx);
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 语句 %2 结构体 %3 声明和定义的形式语句 %4 无法匹配"),
        lineOfContext(ctx), text, QString::fromUtf8(typeName), text));
  }
  if (plan.nodes.empty()) {
    std::vector<KorParser::ExprContext*> exprs;
    std::vector<cx::Node*> nodes;
    for (antlr4::tree::ParseTree* child : ctx->children) {
      if (child->children.empty()) continue;  // a token
      auto* e = static_cast<KorParser::ExprContext*>(child);
      exprs.push_back(e);
      nodes.push_back(cx::compileExpr(v, e));
    }
    plan.exprs = std::move(exprs);
    plan.nodes = std::move(nodes);
  }
  int i = 0;
  for (cx::Node* node : plan.nodes) {
    PendingValue member;
    guardStack(plan.exprs[size_t(i)]);
    member.value = cx::eval(v, node);
    // (the expressions may have run this literal for another layout)
    const int32_t memberType = plan.layout.constBegin() == names.constBegin()
                                   ? plan.types[size_t(i)]
                                   : typeCodeOfKeyword(names.at(n + i));
    if (member.value.type == memberType) {
      sv->members->push_back(moveValueToPool(member.value));
      member.armed = false;
      ++i;
      continue;
    }
    if (convertForAssign(memberType, member.value.type, false, false, member.value) < 0) {
      raiseScriptError(fillMessage(
          QStringLiteral(
              "错误：行号 %1 语句 %2 结构体第%3个变量 %4 参数是 %5，赋值类型是%6, 类型无法匹配！"),
          lineOfContext(ctx), ctxText(ctx), i + 1, QString::fromUtf8(names.at(i)),
          typeDescription(memberType), typeDescription(member.value.type, &member.value)));
    }
    PendingValue cell;
    cell.value.type = memberType;
    storeToCell(&cell.value, &member.value, ctx, true, 0);
    sv->members->push_back(moveValueToPool(cell.value));
    cell.armed = false;
    ++i;
  }
  result.armed = false;
  return result.value;
}

antlrcpp::Any ExprVisitor::visitStRightVar(KorParser::StRightVarContext* ctx) {
  return evalStructLiteral(*this, ctx);
}
