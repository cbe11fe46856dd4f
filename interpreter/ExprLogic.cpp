// Comparisons, logical and bitwise operators, and the membership tests
// `in` and `not in`.
#include "ExprOperands.h"
#include "VisitResult.h"
#include "ValueInContainer.h"

#include "runtime/errors.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"

#include <QString>

#include <typeinfo>

namespace {

QString lineOf(antlr4::ParserRuleContext* ctx) { return QString::number(lineOfContext(ctx)); }
QString textOf(antlr4::tree::ParseTree* node) { return QString::fromStdString(node->getText()); }

inline KorParser::ExprContext* childExpr(antlr4::ParserRuleContext* ctx, size_t i) {
  return static_cast<KorParser::ExprContext*>(ctx->children[i]);
}

void releaseBoth(ExprValue& a, ExprValue& b) {
  freeValue(a);
  freeValue(b);
}

}  // namespace

// ---- comparisons ----

ExprValue applyCompare(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx, int op) {
  int32_t c;
  if (a.type == VT_INT && b.type == VT_INT) {
    c = a.payload.i32 < b.payload.i32 ? -1 : (a.payload.i32 == b.payload.i32 ? 0 : 1);
  } else {
    c = compareValues(a, b, true);
    releaseBoth(a, b);
    if (c == -100)
      raiseScriptError(QStringLiteral("错误类型进行对比：函数 %1 语句 %2 表达式或变量无法进行对比！")
                           .arg(currentFunctionQName(), textOf(ctx)));
  }
  bool r;
  switch (op) {
    case 0: r = c == 0; break;
    case 1: r = c != 0; break;
    case 2: r = c == -1; break;
    case 3: r = c == -1 || c == 0; break;
    case 4: r = c == 1; break;
    default: r = c == 0 || c == 1; break;
  }
  return makeBoolValue(r);
}

antlrcpp::Any ExprVisitor::visitEqualExpr(KorParser::EqualExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitUnequalExpr(KorParser::UnequalExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitLessExpr(KorParser::LessExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitLessEqualExpr(KorParser::LessEqualExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitGreaterExpr(KorParser::GreaterExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitGreaterEqualExpr(KorParser::GreaterEqualExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

// ---- logical operators: both operands are always evaluated ----

ExprValue applyAnd(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) {
  if (a.type != VT_BOOL || b.type != VT_BOOL) {
    antlr4::tree::ParseTree* offender = a.type != VT_BOOL ? ctx->children[0] : ctx->children[2];
    releaseBoth(a, b);
    raiseScriptError(
        QStringLiteral("错误:行号 %1 错误类型进行 and 布尔逻辑并且计算。\n语句 %2 表达式 %3 不是布尔逻辑类型，无法进行逻辑操作！")
            .arg(lineOf(ctx), textOf(ctx), textOf(offender)));
  }
  return makeBoolValue(a.payload.b != 0 && b.payload.b != 0);
}

ExprValue applyOr(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx) {
  if (a.type != VT_BOOL || b.type != VT_BOOL) {
    releaseBoth(a, b);
    raiseScriptError(QStringLiteral("错误类型进行 or 逻辑或计算：函数 %1 语句 %2 表达式不是逻辑类型，无法进行操作！")
                         .arg(currentFunctionQName(), textOf(ctx)));
  }
  return makeBoolValue(a.payload.b != 0 || b.payload.b != 0);
}

ExprValue applyNot(ExprValue a, antlr4::ParserRuleContext* ctx) {
  if (a.type != VT_BOOL) {
    freeValue(a);
    raiseScriptError(QStringLiteral("错误类型进行 not 逻辑非计算：函数 %1 语句 %2 表达式不是逻辑类型，无法进行操作！")
                         .arg(currentFunctionQName(), textOf(ctx)));
  }
  return makeBoolValue(a.payload.b == 0);
}

antlrcpp::Any ExprVisitor::visitAndExpr(KorParser::AndExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitOrExpr(KorParser::OrExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitNotExpr(KorParser::NotExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

// ---- bitwise operators ----

namespace {

template <typename T>
T applyBits(T a, T b, char op) {
  switch (op) {
    case '&': return a & b;
    case '|': return a | b;
    default: return a ^ b;
  }
}

}  // namespace

ExprValue applyBitwise(ExprValue a, ExprValue b, antlr4::ParserRuleContext* ctx, char op) {
  if (a.type == VT_INT && b.type == VT_INT)
    return makeIntValue(applyBits<int32_t>(a.payload.i32, b.payload.i32, op));
  if (a.isInteger() && b.isInteger())
    return makeLongValue(applyBits<int64_t>(a.asInt64(), b.asInt64(), op));
  releaseBoth(a, b);
  QString message;
  switch (op) {
    case '&':
      message = QStringLiteral("错误类型进行 & 位并且计算：行号 %1 语句 %2 表达式不是整数类型，无法进行位操作！");
      break;
    case '|':
      message = QStringLiteral("错误类型进行 & 位或计算：行号 %1 语句 %2 表达式不是整数类型，无法进行位操作！");
      break;
    default:
      message = QStringLiteral("错误类型进行 ^ 位异或计算：行号 %1 语句 %2 表达式不是整数类型，无法进行位操作！");
      break;
  }
  raiseScriptError(message.arg(lineOf(ctx), textOf(ctx)));
}

ExprValue evalBitNot(ExprVisitor& v, KorParser::LogRevExprContext* ctx) {
  auto* rev = static_cast<antlr4::ParserRuleContext*>(ctx->children[1]);
  ExprValue a = readVariable(v, static_cast<KorParser::KorvarContext*>(rev->children[0]), false);
  if (a.type == VT_INT) return makeIntValue(~a.payload.i32);
  if (a.type == VT_LONG) return makeLongValue(~a.payload.i64);
  freeValue(a);
  raiseScriptError(QStringLiteral("错误类型进行 ~ 位取反计算：行号 %1 语句 %2 表达式不是整数类型，无法进行位操作！")
                       .arg(lineOf(ctx), textOf(ctx)));
}

antlrcpp::Any ExprVisitor::visitLogAndExpr(KorParser::LogAndExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitLogOrExpr(KorParser::LogOrExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitLogXorExpr(KorParser::LogXorExprContext* ctx) {
  return evalExprFast(*this, ctx);
}

antlrcpp::Any ExprVisitor::visitLogRevExpr(KorParser::LogRevExprContext* ctx) {
  return evalBitNot(*this, ctx);
}

// ---- membership ----

namespace {

QString bytesText(const ExprValue& cell) {
  return cell.payload.bytes != nullptr ? utf8ToString(*cell.payload.bytes) : QString();
}
const QString& stringOf(const ExprValue& cell) {
  static const QString empty;
  return cell.payload.str != nullptr ? *cell.payload.str : empty;
}
const QByteArray& bytesOf(const ExprValue& cell) {
  static const QByteArray empty;
  return cell.payload.bytes != nullptr ? *cell.payload.bytes : empty;
}

// Member names of a struct's type: the first half of its description.
bool structHasMember(const ExprValue& st, const QByteArray& name) {
  if (st.payload.st == nullptr) return false;
  ScopeRecord* desc = findGlobal(st.payload.st->typeName, nullptr, false);
  if (desc == nullptr || desc->kind != VT_STRUCT_DESC || desc->payload.names == nullptr)
    return false;
  const ByteStringList& names = *desc->payload.names;
  const int members = names.size() / 2;
  for (int i = 0; i < members; ++i)
    if (names.at(i) == name) return true;
  return false;
}

// Literals and plain variable names: evaluating them changes nothing.
bool withoutSideEffects(KorParser::ExprContext* e) {
  const std::type_info& t = typeid(*e);
  if (t == typeid(KorParser::VarExprContext))
    return static_cast<antlr4::ParserRuleContext*>(e->children[0])->children.size() == 1;
  return t == typeid(KorParser::StrExprContext) || t == typeid(KorParser::CharValueExprContext) ||
         t == typeid(KorParser::IntExprContext) || t == typeid(KorParser::RowStrExprContext) ||
         t == typeid(KorParser::FloatExprContext) || t == typeid(KorParser::BoolValueExprContext);
}

}  // namespace

void valueInContainer(const ExprValue& needle, const ExprValue& container, ExprValue& result) {
  if (!isKeyType(needle)) return;
  bool found = false;
  switch (container.type) {
    case VT_LIST:
      if (container.payload.list != nullptr)
        for (ExprValue* element : *container.payload.list)
          if (compareValues(*element, needle, false) == 0) {
            found = true;
            break;
          }
      break;
    case VT_DICT:
      // a text needle without payload is no key of any dict
      if (container.payload.dict != nullptr &&
          !((needle.type == VT_BYTES || needle.type == VT_STRING) && needle.payload.ptr == nullptr))
        found = container.payload.dict->find(needle) != nullptr;
      break;
    case VT_BYTES:
      switch (needle.type) {
        case VT_CHAR: found = bytesOf(container).contains(needle.payload.c); break;
        case VT_WCHAR: found = bytesText(container).contains(QChar(needle.payload.u16)); break;
        case VT_BYTES: found = bytesOf(container).contains(bytesOf(needle)); break;
        case VT_STRING: found = bytesText(container).contains(stringOf(needle)); break;
        default: break;
      }
      break;
    case VT_STRING:
      switch (needle.type) {
        case VT_CHAR: found = stringOf(container).contains(QChar(uchar(needle.payload.c))); break;
        case VT_WCHAR: found = stringOf(container).contains(QChar(needle.payload.u16)); break;
        case VT_BYTES: found = stringOf(container).contains(bytesText(needle)); break;
        case VT_STRING: found = stringOf(container).contains(stringOf(needle)); break;
        default: break;
      }
      break;
    case VT_STRUCT:
      if (needle.type == VT_BYTES) found = structHasMember(container, bytesOf(needle));
      break;
    default:
      break;
  }
  if (found) result.payload.b = 1;
}

ExprValue evalMembership(ExprVisitor& v, antlr4::ParserRuleContext* ctx,
                         KorParser::RightvarContext* containerCtx, bool negate) {
  // The container first. A plain variable is only looked at, so it is read by
  // reference instead of being copied.
  ExprValue container;
  bool borrowed = false;
  KorParser::ExprContext* containerExpr = containerCtx->expr();
  if (containerExpr != nullptr &&
      typeid(*containerExpr) == typeid(KorParser::VarExprContext)) {
    container = readVariable(v, static_cast<KorParser::KorvarContext*>(containerExpr->children[0]),
                             true);
    borrowed = true;
  } else if (containerExpr != nullptr) {
    container = evalExprFast(v, containerExpr);
  } else {
    container = visitResultAs<ExprValue>((v.visit(containerCtx)));
  }
  auto release = [&](ExprValue& cell) {
    if (borrowed)
      releaseReference(cell);
    else
      freeValue(cell);
  };

  switch (container.type) {
    case VT_STRUCT:
    case VT_BYTES:
    case VT_STRING:
    case VT_LIST:
    case VT_DICT:
      break;
    default: {
      QString typeText = typeDescription(container.type);
      release(container);
      raiseScriptError(
          (negate ? QStringLiteral("错误：行号 %1 语句 %2 只有列表、字典、结构体、字符串可以做 not in 操作对象！变量或表达式 %3 类型是 %4")
                  : QStringLiteral("错误：行号 %1 语句 %2 只有列表、字典、结构体、字符串可以做 in 操作对象！变量或表达式 %3 类型是 %4"))
              .arg(lineOf(ctx), statementTextAt(ctx), contextSourceText(containerCtx), typeText));
    }
  }

  // A borrowed string or struct must outlive the needle's evaluation, which
  // might assign the variable; only a needle without side effects may keep it.
  KorParser::ExprContext* needleExpr = childExpr(ctx, 0);
  if (borrowed && (container.type == VT_BYTES || container.type == VT_STRING ||
                   container.type == VT_STRUCT) &&
      !withoutSideEffects(needleExpr)) {
    container = copyValue(container, false);
    borrowed = false;
  }

  ExprValue result = makeBoolValue(false);
  ExprValue needle;
  try {
    needle = evalExprFast(v, needleExpr);
  } catch (...) {
    release(container);
    throw;
  }
  valueInContainer(needle, container, result);
  freeValue(needle);
  release(container);
  if (negate) result.payload.b = result.payload.b ? 0 : 1;
  return result;
}

antlrcpp::Any ExprVisitor::visitInExpr(KorParser::InExprContext* ctx) {
  return evalMembership(*this, ctx, ctx->rightvar(), false);
}

antlrcpp::Any ExprVisitor::visitNotinExpr(KorParser::NotinExprContext* ctx) {
  return evalMembership(*this, ctx, ctx->rightvar(), true);
}
