#include "BlockListener.h"

#include <iostream>

#include "runtime/errors.h"
#include "runtime/scope.h"
#include "runtime/source_text.h"

namespace {
// Text of the tokens from..to of the stream, hidden tokens included.
QString streamText(antlr4::CommonTokenStream* tokens, size_t from, size_t to) {
  if (!tokens || from > to) return QString();
  return QString::fromStdString(tokens->getText(antlr4::misc::Interval(from, to)));
}
}  // namespace

void BlockListener::enterDefglobal(KorParser::DefglobalContext* ctx) {
  ++depth_;
  if (globalCount_ > 0) {
    raiseScriptError(
        QStringLiteral("错误：行号：%1 有多个global 或 quanju_dingyi ，不能定义多个全区作用域！")
            .arg(lineOfContext(ctx)));
  }
  ++globalCount_;
  QByteArray name = ctx->GLOBAL() ? QByteArray::fromStdString(ctx->GLOBAL()->getText())
                                  : QByteArray("quanju_dingyi");
  FunctionRecord* rec = registerFunction(name, QByteArray(), {}, {});
  if (rec) {
    rec->context = ctx;
    rec->startLine = lineOfContext(ctx);
  }
}

void BlockListener::exitDefglobal(KorParser::DefglobalContext*) { leave(); }

void BlockListener::enterBlock(KorParser::BlockContext*) { ++depth_; }

void BlockListener::exitBlock(KorParser::BlockContext*) { leave(); }

void BlockListener::enterStatement(KorParser::StatementContext* ctx) { rejectStrayStatement(ctx); }

void BlockListener::enterDeclareStruct(KorParser::DeclareStructContext* ctx) {
  rejectStrayStatement(ctx);
}

void BlockListener::rejectStrayStatement(antlr4::ParserRuleContext* ctx) {
  if (depth_ != 0) return;
  std::string text = ctx->getText();
  std::cout << text << std::endl;

  int line = lineOfContext(ctx);
  QString lineText;
  antlr4::Token* start = ctx->getStart();
  if (tokens_ && start && start->getTokenIndex() != INVALID_INDEX) {
    tokens_->fill();
    size_t idx = start->getTokenIndex();
    size_t from = idx, to = idx;
    while (from > 0 && int(tokens_->get(from - 1)->getLine()) == line) --from;
    size_t n = tokens_->size();
    while (to + 1 < n && int(tokens_->get(to + 1)->getLine()) <= line &&
           tokens_->get(to + 1)->getType() != antlr4::Token::EOF)
      ++to;
    lineText = streamText(tokens_, from, to).trimmed();
  }
  raiseScriptError(fillMessage(
      QStringLiteral(
          "错误：行号 %1 字段 %2 语句 %3 不是合法的语句，请检查拼写错误！有不能识别的错误词，"
          "或存在不受作用域约束的随意语句!\n所有语句只能出现在函数块或全局定义quanju_dinyi "
          "块中，不能随处写！"),
      lineOfContext(ctx), QString::fromStdString(text), lineText));
}

void BlockListener::enterFunction(KorParser::FunctionContext* ctx) {
  ++depth_;
  antlr4::tree::TerminalNode* nameTok = ctx->VARNAME();
  if (!nameTok) return;
  QByteArray name = QByteArray::fromStdString(nameTok->getText());
  int startLine = lineOfContext(ctx);
  if (FunctionRecord* earlier = findFunction(name)) {
    raiseScriptError(
        fillMessage(QStringLiteral("错误：行号 %1 函数 %2 重复定义，行 %3 已经存在一个同名函数 %1"),
                    startLine, QString::fromUtf8(name), earlier->startLine));
  }
  // The prelude declares the built-in struct types under these names, and the
  // run driver calls the entry through a frame of its own name.
  if (builtinStructCode(name) != 0 || name == kEntryWrapperName) {
    raiseScriptError(fillMessage(
        QStringLiteral("错误：行号 %1 函数名 %2 是系统保留的名称（内置结构体类型或入口调用的包装函数），"
                       "不能定义同名函数，请改名！"),
        startLine, QString::fromUtf8(name)));
  }
  KorParser::BlockContext* body = ctx->block();
  if (!body) return;

  ByteStringList params;
  ByteStringList types;
  if (KorParser::DefArgumentListContext* list = ctx->defArgumentList()) {
    for (KorParser::DefArgumentContext* arg : list->defArgument()) {
      auto names = arg->VARNAME();
      if (!names.empty()) params << QByteArray::fromStdString(names.back()->getText());
    }
    for (KorParser::DefArgumentContext* arg : list->defArgument()) {
      auto names = arg->VARNAME();
      if (arg->TYPE_ID()) {
        types << QByteArray::fromStdString(arg->TYPE_ID()->getText());
      } else if (arg->HUIDIAO()) {
        types << QByteArray("hs");
      } else if (names.size() == 2) {
        types << QByteArray::fromStdString(names[0]->getText());
      } else {
        raiseScriptError(QStringLiteral("错误：函数 %1 非法的参数类型").arg(QString::fromUtf8(name)));
      }
    }
  }
  ByteStringList parameterList = params + types;

  ByteStringList returnTypes;
  if (KorParser::DefFunRetContext* ret = ctx->defFunRet()) {
    for (KorParser::FunretArgContext* r : ret->funretArg()) {
      if (r->TYPE_ID())
        returnTypes << QByteArray::fromStdString(r->TYPE_ID()->getText());
      else if (r->VARNAME())
        returnTypes << QByteArray::fromStdString(r->VARNAME()->getText());
    }
  }

  FunctionRecord* rec = registerFunction(name, QByteArray(), parameterList, returnTypes);
  if (rec) {
    rec->startLine = startLine;
    rec->secondLine = body->getStart() ? int32_t(body->getStart()->getLine()) : startLine;
    rec->context = body;
    antlr4::Token* first = ctx->getStart();
    antlr4::Token* brace = body->getStart();
    if (tokens_ && first && brace && brace->getTokenIndex() > first->getTokenIndex()) {
      rec->definitionText =
          streamText(tokens_, first->getTokenIndex(), brace->getTokenIndex() - 1).trimmed().toUtf8();
    }
  }

  ScopeRecord* fnValue = takeScopeRecord();
  fnValue->name = name;
  fnValue->kind = VT_FUNC;
  fnValue->returnSlot = nullptr;
  fnValue->payload.fn = new FunctionName{name};
  addGlobal(name, fnValue);
}

void BlockListener::exitFunction(KorParser::FunctionContext*) { leave(); }
