#include "KorTwoStageParse.h"

#include "KorNesting.h"

#include <string>

#if defined(_MSC_VER)
#include <intrin.h>
#define KOR_PARSE_STACK_HERE() _AddressOfReturnAddress()
#else
#define KOR_PARSE_STACK_HERE() __builtin_frame_address(0)
#endif

namespace {
// The first decision of a rule (of expr: the choice among the primary
// alternatives).
size_t firstDecisionOf(const antlr4::atn::ATN& atn, size_t rule) {
  for (size_t d = 0; d < atn.decisionToState.size(); ++d)
    if (atn.decisionToState[d]->ruleIndex == rule) return d;
  return size_t(-1);
}
}  // namespace

KorStagedPredictor::KorStagedPredictor(KorParser& parser, antlr4::atn::ParserATNSimulator& base)
    : ParserATNSimulator(&parser, base.atn, base.decisionToDFA, base.getSharedContextCache()) {
  setPredictionMode(antlr4::atn::PredictionMode::LL);
  const antlr4::dfa::Vocabulary& v = parser.getVocabulary();
  for (size_t t = 1; t <= v.getMaxTokenType(); ++t) {
    const std::string name = v.getLiteralName(t);
    if (name == "'('") callOpen_ = t;
    if (name == "')'") callClose_ = t;
    if (name == "'['") indexOpen_ = t;
    if (name == "']'") indexClose_ = t;
    if (name == "'{'") blockOpen_ = t;
    if (name == "'}'") blockClose_ = t;
    if (name == "'.'") dot_ = t;
    if (name == "'%'") percent_ = t;
  }
  for (const char* op : {"'='", "'/='", "'*/'", "'+='", "'-='"})
    for (size_t t = 1; t <= v.getMaxTokenType(); ++t)
      if (v.getLiteralName(t) == op) assignOps_.push_back(t);
  for (size_t t = 1; t <= v.getMaxTokenType(); ++t)
    if (v.getLiteralName(t) == "';'") semicolon_ = t;
    else if (v.getLiteralName(t) == "','") comma_ = t;
  // the primary alternative that starts with a korvar: the variable
  variableAlt_ = alternativeInvoking(firstDecisionOf(atn, KorParser::RuleExpr), KorParser::RuleKorvar);
  statementDecision_ = firstDecisionOf(atn, KorParser::RuleStatement);
  assignAlt_ = alternativeInvoking(statementDecision_, KorParser::RuleAssign);
  callAlt_ = alternativeInvoking(statementDecision_, KorParser::RuleCallFun);
  assignOneDecision_ = firstDecisionOf(atn, KorParser::RuleAssignOne);
  formatAlt_ = alternativeInvoking(firstDecisionOf(atn, KorParser::RuleExpr), KorParser::RuleFmtString);
  formatPartDecision_ = firstDecisionOf(atn, KorParser::RulePrintFormatPart);
  formatListAlt_ = alternativeInvoking(formatPartDecision_, KorParser::RuleMultiExpr);
  rightvarDecision_ = firstDecisionOf(atn, KorParser::RuleRightvar);
  rightvarExprAlt_ = alternativeInvoking(rightvarDecision_, KorParser::RuleExpr);
  assignVarAlt_ = alternativeInvoking(assignOneDecision_, KorParser::RuleKorvar);
}

size_t KorStagedPredictor::alternativeInvoking(size_t decision, size_t rule) const {
  if (decision == npos) return 0;
  antlr4::atn::DecisionState* d = atn.getDecisionState(decision);
  for (size_t i = 0; i < d->transitions.size(); ++i) {
    antlr4::atn::ATNState* s = d->transitions[i]->target;
    while (s->transitions.size() == 1 && s->transitions[0]->isEpsilon() &&
           s->transitions[0]->getSerializationType() != antlr4::atn::Transition::RULE)
      s = s->transitions[0]->target;
    if (s->transitions.size() == 1 &&
        s->transitions[0]->getSerializationType() == antlr4::atn::Transition::RULE &&
        s->transitions[0]->target->ruleIndex == rule)
      return i + 1;
  }
  return 0;
}

KorStagedPredictor* KorStagedPredictor::install(KorParser& parser) {
  auto* current = parser.getInterpreter<antlr4::atn::ParserATNSimulator>();
  if (auto* staged = dynamic_cast<KorStagedPredictor*>(current)) return staged;
  auto* staged = new KorStagedPredictor(parser, *current);
  parser.setInterpreter(staged);  // deletes the generated simulator
  return staged;
}


void KorStagedPredictor::reset() {
  known_.clear();
  closes_.clear();
  ParserATNSimulator::reset();
}

Ref<antlr4::atn::PredictionContext> KorStagedPredictor::contextOf(antlr4::RuleContext* ctx) {
  // the chain up to the nearest context already known (and unchanged)
  std::vector<antlr4::RuleContext*>& chain = chain_;
  chain.clear();
  Ref<antlr4::atn::PredictionContext> result = antlr4::atn::PredictionContext::EMPTY;
  bool found = false;
  for (antlr4::RuleContext* c = ctx; c != nullptr; c = static_cast<antlr4::RuleContext*>(c->parent)) {
    if (c->parent == nullptr || c == &antlr4::ParserRuleContext::EMPTY) break;
    if (!known_.empty()) {
      auto it = known_.find(c);
      if (it != known_.end() && it->second.parent == c->parent &&
          it->second.invokingState == c->invokingState) {
        result = it->second.context;
        found = true;
        break;
      }
    }
    chain.push_back(c);
  }
  // shallow chains (the usual case) are built afresh; deep ones are kept
  const bool keep = found || chain.size() > kShallowChain;
  for (size_t i = chain.size(); i-- > 0;) {
    antlr4::RuleContext* c = chain[i];
    antlr4::atn::ATNState* state = atn.states.at(size_t(c->invokingState));
    auto* call = static_cast<antlr4::atn::RuleTransition*>(state->transitions[0]);
    result = antlr4::atn::SingletonPredictionContext::create(result, call->followState->stateNumber);
    if (keep) known_[c] = KnownContext{c->parent, c->invokingState, result};
  }
  return result;
}

std::unique_ptr<antlr4::atn::ATNConfigSet> KorStagedPredictor::computeStartState(
    antlr4::atn::ATNState* p, antlr4::RuleContext* ctx, bool fullCtx) {
  if (!fullCtx) return ParserATNSimulator::computeStartState(p, ctx, fullCtx);
  const Ref<antlr4::atn::PredictionContext> initial = contextOf(ctx);
  auto configs = std::make_unique<antlr4::atn::ATNConfigSet>(fullCtx);
  for (size_t i = 0; i < p->transitions.size(); i++) {
    antlr4::atn::ATNState* target = p->transitions[i]->target;
    Ref<antlr4::atn::ATNConfig> c = std::make_shared<antlr4::atn::ATNConfig>(target, i + 1, initial);
    antlr4::atn::ATNConfig::Set closureBusy;
    closure(c, configs.get(), closureBusy, true, fullCtx, false);
  }
  return configs;
}

size_t KorStagedPredictor::predictWithFullContext(antlr4::TokenStream* input, size_t decision,
                                                  antlr4::ParserRuleContext* outerContext) {
  antlr4::dfa::DFA& dfa = decisionToDFA[decision];
  const size_t index = input->index();
  const ssize_t marker = input->mark();
  struct Restore {
    KorStagedPredictor& p;
    antlr4::TokenStream* input;
    size_t index;
    ssize_t marker;
    ~Restore() {
      p.mergeCache.clear();
      p._dfa = nullptr;
      input->seek(index);
      input->release(marker);
    }
  } restore{*this, input, index, marker};
  _dfa = &dfa;
  _startIndex = index;
  _outerContext = outerContext;
  std::unique_ptr<antlr4::atn::ATNConfigSet> start =
      computeStartState(dfa.atnStartState, outerContext, true);
  return execATNWithFullContext(dfa, nullptr, start.get(), input, index, outerContext);
}

size_t KorStagedPredictor::closingBracket(antlr4::TokenStream* input, size_t open) {
  auto known = closes_.find(open);
  if (known != closes_.end()) return known->second;
  // one scan records every pair closed on the way, so that the brackets
  // nested inside are known when their own decisions ask
  const size_t here = input->index();
  std::vector<size_t> opened;
  size_t result = npos;
  for (size_t i = open;; ++i) {
    input->seek(i);  // fetches the token (seek moves on to the next on-channel one)
    i = input->index();
    const size_t type = input->LA(1);
    if (type == antlr4::Token::EOF) break;
    if (type == callOpen_ || type == indexOpen_ || type == blockOpen_) {
      opened.push_back(i);
    } else if (type == callClose_ || type == indexClose_ || type == blockClose_) {
      if (opened.empty()) break;
      closes_[opened.back()] = i;
      opened.pop_back();
      if (opened.empty()) {
        result = i;
        break;
      }
    }
  }
  input->seek(here);
  return result;
}

bool KorStagedPredictor::plainIndexedVariable(antlr4::TokenStream* input) {
  // VARNAME [ ... ] [ ... ] ... followed by neither '.' nor ++/--: only the
  // variable alternative can match (a member call needs the '.', ++/-- its
  // own alternative, a call by name the '(' right after the name)
  const size_t here = input->index();
  size_t at = input->LT(2)->getTokenIndex();
  size_t after = 0;
  for (;;) {
    const size_t close = closingBracket(input, at);
    if (close == npos) break;
    input->seek(close + 1);
    if (input->LA(1) != indexOpen_) {
      after = input->LA(1);
      break;
    }
    at = input->index();
  }
  input->seek(here);
  return after != 0 && after != dot_ && after != KorParser::AUTO_ADD_SUB;
}

void KorStagedPredictor::clearSeen() {
  if (++seenGeneration_ == 0) {  // the marks wrapped around: start afresh
    std::fill(seenMarks_.begin(), seenMarks_.end(), 0);
    seenGeneration_ = 1;
  }
  seenCount_ = 0;
}

bool KorStagedPredictor::insertSeen(uint64_t key) {
  if (2 * (seenCount_ + 1) > seenKeys_.size()) {  // grow, keeping the keys of this generation
    std::vector<uint64_t> keys;
    for (size_t i = 0; i < seenKeys_.size(); ++i)
      if (seenMarks_[i] == seenGeneration_) keys.push_back(seenKeys_[i]);
    const size_t size = std::max<size_t>(1024, 2 * seenKeys_.size());
    seenKeys_.assign(size, 0);
    seenMarks_.assign(size, 0);
    seenCount_ = 0;
    for (uint64_t k : keys) insertSeen(k);
  }
  const size_t mask = seenKeys_.size() - 1;
  for (size_t i = (key * 0x9E3779B97F4A7C15ull) >> 20 & mask;; i = (i + 1) & mask) {
    if (seenMarks_[i] != seenGeneration_) {
      seenMarks_[i] = seenGeneration_;
      seenKeys_[i] = key;
      ++seenCount_;
      return true;
    }
    if (seenKeys_[i] == key) return false;
  }
}

uint32_t KorStagedPredictor::pushFollow(uint32_t stack, uint32_t follow) {
  const uint64_t key = (uint64_t(stack) << 32) | follow;
  auto known = stackIds_.find(key);
  if (known != stackIds_.end()) return known->second;
  stackNodes_.emplace_back(stack, follow);
  return stackIds_[key] = uint32_t(stackNodes_.size() - 1);
}

size_t KorStagedPredictor::alternativesStartingWith(size_t decision, const size_t* types,
                                                    size_t k, bool withContext,
                                                    uint64_t* masks) {
  // A walk of the ATN: each configuration is a state with the follow states
  // of the rules entered since the decision and the number of the parser's
  // rule contexts left. Without the context, leaving the decision's rule
  // counts as able to match (anything may follow); with it, the walk goes on
  // in the rules that invoked it (follows_), and reaching the start rule's
  // end counts as able. Predicates pass as true, except a precedence
  // predicate in the decision's own rule invocation with the context, which
  // is evaluated as the parser would; so the sets found may be larger than
  // the sets of alternatives that really match, never smaller.
  using antlr4::atn::ATNState;
  using antlr4::atn::Transition;
  using Config = WalkConfig;
  const int precedence = parser->getPrecedence();
  size_t used = 0;
  antlr4::atn::DecisionState* start = atn.getDecisionState(decision);
  std::fill(masks, masks + k, 0);
  std::vector<Config>& current = walkCurrent_;
  std::vector<Config>& work = walkWork_;
  std::vector<Config>& closed = walkClosed_;
  for (size_t alt = 0; alt < start->transitions.size() && alt < 64; ++alt) {
    current.assign(1, Config{start->transitions[alt]->target, 0, 0});
    size_t matched = 0;  // tokens matched (k: all, or the rule left before)
    for (size_t step = 0; !current.empty(); ++step) {
      if (step == k) {
        matched = k;
        break;
      }
      // the closure over transitions that match no token
      work.clear();
      closed.clear();
      clearSeen();
      std::swap(work, current);
      bool left = false;
      while (!work.empty() && !left) {
        Config c = work.back();
        work.pop_back();
        if (!insertSeen((uint64_t(c.stack) << 32) | (uint64_t(c.outer) << 16) | c.state->stateNumber))
          continue;
        if (c.state->getStateType() == ATNState::RULE_STOP) {
          if (c.stack != 0) {
            const auto& [below, follow] = stackNodes_[c.stack];
            work.push_back(Config{atn.states[follow], below, c.outer});
          } else if (withContext && c.outer < follows_.size() && c.outer < kOuterWalk) {
            used = std::max(used, size_t(c.outer) + 1);
            work.push_back(Config{atn.states[follows_[c.outer]], 0, c.outer + 1});
          } else {
            if (withContext) used = std::max(used, c.outer < kOuterWalk ? follows_.size() + 1 : size_t(c.outer));
            left = true;
          }
          continue;
        }
        bool matchesToken = false;
        for (const Transition* t : c.state->transitions) {
          const size_t type = t->getSerializationType();
          if (type == Transition::RULE) {
            work.push_back(Config{
                t->target,
                pushFollow(c.stack, uint32_t(static_cast<const antlr4::atn::RuleTransition*>(t)
                                                 ->followState->stateNumber)),
                c.outer});
          } else if (type == Transition::PRECEDENCE && withContext && c.outer == 0 &&
                     c.stack == 0) {
            if (static_cast<const antlr4::atn::PrecedencePredicateTransition*>(t)->precedence >=
                precedence)
              work.push_back(Config{t->target, c.stack, c.outer});
          } else if (t->isEpsilon()) {
            work.push_back(Config{t->target, c.stack, c.outer});
          } else {
            matchesToken = true;
          }
        }
        if (matchesToken) closed.push_back(c);
      }
      if (left) {
        matched = k;
        break;
      }
      for (const Config& c : closed)
        for (const Transition* t : c.state->transitions)
          if (!t->isEpsilon() &&
              t->matches(types[step], antlr4::Token::MIN_USER_TOKEN_TYPE, atn.maxTokenType))
            current.push_back(Config{t->target, c.stack, c.outer});
      if (!current.empty()) matched = step + 1;
    }
    for (size_t i = 0; i < matched; ++i) masks[i] |= uint64_t(1) << alt;
  }
  return used;
}

size_t KorStagedPredictor::predictByTokens(antlr4::TokenStream* input, size_t decision,
                                           antlr4::ParserRuleContext* outerContext) {
  // When one alternative alone can begin with the next tokens, every parse
  // takes it, the full-context prediction too. First without the parser's
  // context (the results kept by decision and tokens), then with it (kept
  // with the part of the context that the walk went through).
  auto decided = [](uint64_t alts) -> int {  // the alternative, 0 for none, -1: several
    if (alts == 0) return 0;
    return (alts & (alts - 1)) == 0 ? __builtin_ctzll(alts) + 1 : -1;
  };
  auto typeKey = [](size_t type) -> uint64_t { return type < 255 ? type + 1 : 0; };
  size_t types[kContextLookahead];
  types[0] = input->LA(1);
  uint64_t masks[kContextLookahead];
  const uint64_t key1 = decision * 256 + typeKey(types[0]);
  auto first = firstToken_.find(key1);
  if (first == firstToken_.end()) {
    alternativesStartingWith(decision, types, 1, false, masks);
    first = firstToken_.emplace(key1, masks[0]).first;
  }
  int alt = decided(first->second);
  // no alternative: the parser's prediction reports the error
  if (alt >= 0 || types[0] == antlr4::Token::EOF) return size_t(alt);
  size_t k = 1;
  for (; k < kContextLookahead && types[k - 1] != antlr4::Token::EOF; ++k)
    types[k] = input->LA(ssize_t(k + 1));
  if (k >= kTokenLookahead) {
    uint64_t key = decision;
    for (size_t i = 0; i < kTokenLookahead; ++i) key = key * 256 + typeKey(types[i]);
    auto known = firstTokens_.find(key);
    if (known == firstTokens_.end()) {
      alternativesStartingWith(decision, types, kTokenLookahead, false, masks);
      known = firstTokens_.emplace(key, std::array<uint64_t, 3>{masks[0], masks[1], masks[2]}).first;
    }
    for (size_t i = 1; i < kTokenLookahead; ++i)
      if ((alt = decided(known->second[i])) >= 0) return size_t(alt);
  }
  // the follow state of each rule context, innermost first
  follows_.clear();
  for (antlr4::RuleContext* c = outerContext;
       c != nullptr && c->parent != nullptr && c != &antlr4::ParserRuleContext::EMPTY;
       c = static_cast<antlr4::RuleContext*>(c->parent))
    follows_.push_back(uint32_t(static_cast<antlr4::atn::RuleTransition*>(
                                    atn.states.at(size_t(c->invokingState))->transitions[0])
                                    ->followState->stateNumber));
  std::u32string key;
  key.push_back(char32_t(decision));
  key.push_back(char32_t(parser->getPrecedence() + 1));
  for (size_t i = 0; i < k; ++i) key.push_back(char32_t(typeKey(types[i])));
  std::vector<std::pair<std::u32string, uint64_t>>& known = withContext_[key];
  for (const auto& [context, alts] : known) {
    // the recorded context: follow states, ending in 0 where the start
    // rule's end was reached
    bool same = true;
    for (size_t i = 0; same && i < context.size(); ++i)
      same = context[i] == 0 ? i == follows_.size()
                             : i < follows_.size() && context[i] == char32_t(follows_[i] + 1);
    if (same) return size_t(std::max(decided(alts), 0));
  }
  const size_t used = alternativesStartingWith(decision, types, k, true, masks);
  std::u32string context;
  for (size_t i = 0; i < used; ++i)
    context.push_back(i < follows_.size() ? char32_t(follows_[i] + 1) : char32_t(0));
  known.emplace_back(std::move(context), masks[k - 1]);
  return size_t(std::max(decided(masks[k - 1]), 0));
}

bool KorStagedPredictor::bracketsHold(antlr4::TokenStream* input, size_t open, size_t type,
                                      bool inner) {
  const size_t close = closingBracket(input, open);
  if (close == npos) return false;
  const size_t here = input->index();
  bool found = false;
  for (size_t i = open + 1; i < close && !found; ++i) {
    input->seek(i);  // on to the next on-channel token
    i = input->index();
    if (i >= close) break;
    const size_t t = input->LA(1);
    if (!inner && (t == callOpen_ || t == indexOpen_ || t == blockOpen_))
      i = closingBracket(input, i);  // known: closed before `close`
    else
      found = t == type;
  }
  input->seek(here);
  return found;
}

size_t KorStagedPredictor::assignmentOrCall(antlr4::TokenStream* input) {
  // A statement that starts with a variable (VARNAME [...]... .member) and
  // an assignment operator is an assignment: a call taking its results
  // (`x = f();`) reads the same tokens, but the assignment comes first. One
  // that is a call alone (`f(...);`, `x[i].m(...).n(...);`) is a call
  // statement (so is `zfc.m(...);` on a type or package): it reads as an
  // expression statement too, which comes later.
  if (assignAlt_ == 0 || callAlt_ == 0) return 0;
  const size_t here = input->index();
  struct Restore {
    antlr4::TokenStream* input;
    size_t index;
    ~Restore() { input->seek(index); }
  } restore{input, here};
  auto skipTo = [&](size_t ahead) { input->seek(input->LT(ssize_t(ahead))->getTokenIndex()); };
  auto skipBrackets = [&]() {  // past the pair opening here
    const size_t close = closingBracket(input, input->index());
    if (close == npos) return false;
    input->seek(close + 1);
    return true;
  };
  auto callAlone = [&]() -> size_t {  // from the '(' of the first call
    for (;;) {
      if (!skipBrackets()) return 0;
      if (input->LA(1) != dot_ || input->LA(2) != KorParser::VARNAME || input->LA(3) != callOpen_)
        break;
      skipTo(3);
    }
    return input->LA(1) == semicolon_ ? callAlt_ : 0;
  };
  if (input->LA(1) != KorParser::VARNAME) {
    // TYPE.METHOD( or PACKAGE.METHOD(
    if (input->LA(2) != dot_ || input->LA(3) != KorParser::VARNAME || input->LA(4) != callOpen_)
      return 0;
    skipTo(4);
    return callAlone();
  }
  skipTo(2);
  bool indexed = false;
  while (input->LA(1) == indexOpen_) {
    if (!skipBrackets()) return 0;
    indexed = true;
  }
  bool member = false;
  if (input->LA(1) == dot_ && input->LA(2) == KorParser::VARNAME) {
    skipTo(3);
    member = true;
  }
  for (size_t op : assignOps_)
    if (input->LA(1) == op) return assignAlt_;
  // the call: NAME( or OBJECT.METHOD(, OBJECT being a variable
  if (input->LA(1) == dot_ && member && input->LA(2) == KorParser::VARNAME &&
      input->LA(3) == callOpen_)
    skipTo(3);
  else if (input->LA(1) != callOpen_ || (indexed && !member))
    return 0;
  return callAlone();
}

size_t KorStagedPredictor::predictDirectly(antlr4::TokenStream* input, size_t decision,
                                           antlr4::ParserRuleContext* outerContext) {
  if (const size_t alt = predictByTokens(input, decision, outerContext)) return alt;
  if (decision == statementDecision_ &&
      (input->LA(1) == KorParser::VARNAME || input->LA(1) == KorParser::TYPE_ID ||
       input->LA(1) == KorParser::PACK_NAME))
    if (const size_t alt = assignmentOrCall(input)) return alt;
  // `name = ...` but for `name = {`: the struct assignment alternative reads
  // the same tokens as a plain one, which comes first and so is taken
  if (decision == assignOneDecision_ && assignVarAlt_ != 0 && !assignOps_.empty() &&
      input->LA(1) == KorParser::VARNAME && input->LA(2) == assignOps_[0] &&
      input->LA(3) != blockOpen_)
    return assignVarAlt_;
  // `name {` with a statement inside the braces: not a struct value (names
  // and expressions), so an expression before a block
  if (decision == rightvarDecision_ && rightvarExprAlt_ != 0 &&
      input->LA(1) == KorParser::VARNAME && input->LA(2) == blockOpen_ &&
      bracketsHold(input, input->LT(2)->getTokenIndex(), semicolon_, true))
    return rightvarExprAlt_;
  // `"..." % (a, b)`: brackets holding a ',' are the values of a format
  // string, not a bracketed expression
  if (decision == formatPartDecision_ && formatListAlt_ != 0 && input->LA(1) == callOpen_ &&
      bracketsHold(input, input->LT(1)->getTokenIndex(), comma_, false))
    return formatListAlt_;
  static const size_t primary = firstDecisionOf(atn, KorParser::RuleExpr);
  if (decision == primary && formatAlt_ != 0 && input->LA(1) == KorParser::STRING_VALUE &&
      input->LA(2) == percent_ && input->LA(3) == callOpen_ &&
      bracketsHold(input, input->LT(3)->getTokenIndex(), comma_, false))
    return formatAlt_;
  return 0;
}

size_t KorStagedPredictor::adaptivePredict(antlr4::TokenStream* input, size_t decision,
                                           antlr4::ParserRuleContext* outerContext) {
  if (stackLimit_ != 0 && reinterpret_cast<uintptr_t>(KOR_PARSE_STACK_HERE()) < stackLimit_) {
    antlr4::Token* at = parser->getCurrentToken();
    throw KorNestingTooDeep(at->getLine(), at->getCharPositionInLine(), KorNestingTooDeep::Stack);
  }
  static const size_t primary = firstDecisionOf(atn, KorParser::RuleExpr);
  if (!firstStage_) return ParserATNSimulator::adaptivePredict(input, decision, outerContext);
  if (tokenDecisions_)
    if (const size_t alt = predictDirectly(input, decision, outerContext)) return alt;
  if (decision == primary && input->LA(1) == KorParser::VARNAME) {
    if (input->LA(2) == callOpen_) {
      // the SLL pass reads to the end of the arguments: fine for short ones
      const size_t open = input->LT(2)->getTokenIndex();
      const size_t close = closingBracket(input, open);
      if (close == npos || close - open > kLongArguments)
        return predictWithFullContext(input, decision, outerContext);
      return ParserATNSimulator::adaptivePredict(input, decision, outerContext);
    }
    if (input->LA(2) == indexOpen_ && variableAlt_ != 0 && plainIndexedVariable(input))
      return variableAlt_;
    return ParserATNSimulator::adaptivePredict(input, decision, outerContext);
  }
  if (atn.decisionToState[decision]->ruleIndex == KorParser::RuleKorvar)
    return ParserATNSimulator::adaptivePredict(input, decision, outerContext);
  return predictWithSll(input, decision, outerContext);
}

size_t KorStagedPredictor::predictWithSll(antlr4::TokenStream* input, size_t decision,
                                          antlr4::ParserRuleContext* outerContext) {
  setPredictionMode(antlr4::atn::PredictionMode::SLL);
  size_t alt;
  try {
    alt = ParserATNSimulator::adaptivePredict(input, decision, outerContext);
  } catch (...) {
    setPredictionMode(antlr4::atn::PredictionMode::LL);
    throw;
  }
  setPredictionMode(antlr4::atn::PredictionMode::LL);
  return alt;
}

KorParser::ProgramContext* parseProgramFirstStage(KorParser& parser) {
  KorStagedPredictor* predictor = KorStagedPredictor::install(parser);
  predictor->reset();
  predictor->setFirstStage(true);
  parser.removeErrorListeners();
  parser.setErrorHandler(std::make_shared<antlr4::BailErrorStrategy>());
  // A program followed by tokens that begin nothing (the rule has no EOF)
  // ends where it is, without an error unless a prediction read on into
  // those tokens; that depends on how far each prediction reads, so such an
  // input is parsed again without the decisions taken from the tokens.
  for (const bool direct : {true, false}) {
    predictor->setTokenDecisions(direct);
    try {
      KorParser::ProgramContext* tree = parser.program();
      if (!direct || parser.getTokenStream()->LA(1) == antlr4::Token::EOF) {
        predictor->setFirstStage(false);
        predictor->setTokenDecisions(true);
        predictor->reset();
        return tree;
      }
    } catch (antlr4::ParseCancellationException&) {
      break;
    }
    parser.getTokenStream()->seek(0);
    parser.reset();
    predictor->reset();
  }
  predictor->setFirstStage(false);
  predictor->setTokenDecisions(true);
  parser.getTokenStream()->seek(0);
  parser.reset();
  return nullptr;
}
