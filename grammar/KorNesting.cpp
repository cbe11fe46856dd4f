#include "KorNesting.h"

#include "KorLexer.h"

namespace {

size_t literalType(const antlr4::dfa::Vocabulary& v, const char* literal) {
  for (size_t t = 1; t <= v.getMaxTokenType(); ++t)
    if (v.getLiteralName(t) == literal) return t;
  return size_t(-1);
}

}  // namespace

std::string KorNestingTooDeep::message() const {
  if (kind == Stack) return "嵌套过深，语法分析所需的栈空间不足，请拆分表达式或语句";
  if (kind == FormatChain)
    return "格式字符串连续串联超过 " + std::to_string(kMaxFormatChain) +
           " 个（\"%1\" % \"%1\" % ...），请拆分表达式";
  return "嵌套层数超过 " + std::to_string(kMaxNestingDepth) +
         " 层（括号、代码块、前缀运算符或 sf/qt/while/xun 语句嵌套过深），请拆分表达式或语句";
}

KorDepthCheckedTokenStream::KorDepthCheckedTokenStream(antlr4::TokenSource* source, size_t limit)
    : CommonTokenStream(source), limit_(limit) {
  const antlr4::dfa::Vocabulary& v = static_cast<KorLexer*>(source)->getVocabulary();
  const char* opens[3] = {"'('", "'['", "'{'"};
  const char* closes[3] = {"')'", "']'", "'}'"};
  for (int i = 0; i < 3; ++i) {
    open_[i] = literalType(v, opens[i]);
    close_[i] = literalType(v, closes[i]);
  }
  semi_ = literalType(v, "';'");
  comma_ = literalType(v, "','");
  percent_ = literalType(v, "'%'");
  while_ = literalType(v, "'while'");
}

size_t KorDepthCheckedTokenStream::fetch(size_t n) {
  const size_t fetched = CommonTokenStream::fetch(n);
  while (counted_ < _tokens.size()) count(_tokens[counted_++].get());
  return fetched;
}

void KorDepthCheckedTokenStream::count(antlr4::Token* token) {
  if (token->getChannel() != antlr4::Token::DEFAULT_CHANNEL) return;
  const size_t type = token->getType();
  if (closePending_) {
    closePending_ = false;
    Level& level = levels_.back();
    // the expressions of the level have ended; `zsf` and `qt` continue the
    // statement that just ended its body
    depth_ -= level.operators;
    level.operators = 0;
    if (resetAlways_ || (type != KorLexer::ZIF_KEY && type != KorLexer::QT_KEY)) {
      depth_ -= level.statements;
      level.statements = 0;
    }
  }
  bool deeper = false;
  if (type == open_[0] || type == open_[1] || type == open_[2]) {
    levels_.emplace_back();
    ++depth_;
    deeper = true;
  } else if (type == close_[0] || type == close_[1] || type == close_[2]) {
    if (levels_.size() > 1) {
      depth_ -= levels_.back().prefixes() + 1;
      levels_.pop_back();
      if (type == close_[2]) {
        closePending_ = true;
        resetAlways_ = false;
      }
    }
  } else if (type == semi_) {
    closePending_ = true;
    resetAlways_ = false;
  } else if (type == comma_) {
    closePending_ = true;
    resetAlways_ = true;
  } else if (type == KorLexer::IF_KEY || type == KorLexer::QT_KEY || type == KorLexer::FOR_KEY ||
             type == while_) {
    ++levels_.back().statements;
    ++depth_;
    deeper = true;
  } else if (type == KorLexer::NOT || type == KorLexer::IN ||
             (type == percent_ && lastType_ == KorLexer::STRING_VALUE)) {
    ++levels_.back().operators;
    ++depth_;
    deeper = true;
  }
  // "s" % "t" % ... and "s" % x % "t" % ...: the format strings of one run
  // of operands and operators (no bracket, ',' or ';' between them)
  if (type == percent_ && lastType_ == KorLexer::STRING_VALUE) {
    if (++chain_ > kMaxFormatChain)
      throw KorNestingTooDeep(token->getLine(), token->getCharPositionInLine(),
                              KorNestingTooDeep::FormatChain);
  } else if (type == semi_ || type == comma_ || type == open_[0] || type == open_[1] ||
             type == open_[2] || type == close_[0] || type == close_[1] || type == close_[2]) {
    chain_ = 0;
  }
  lastType_ = type;
  if (deeper && depth_ > limit_)
    throw KorNestingTooDeep(token->getLine(), token->getCharPositionInLine(),
                            KorNestingTooDeep::Levels);
}
