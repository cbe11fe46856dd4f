#include "KorTwoStageParse.h"

#include "KorNesting.h"

#if defined(_MSC_VER)
#include <intrin.h>
#define KOR_PARSE_STACK_HERE() _AddressOfReturnAddress()
#else
#define KOR_PARSE_STACK_HERE() __builtin_frame_address(0)
#endif

namespace {
// The decision that chooses among the primary alternatives of expr: the
// first decision of the rule.
size_t exprPrimaryDecision(const antlr4::atn::ATN& atn) {
  for (size_t d = 0; d < atn.decisionToState.size(); ++d)
    if (atn.decisionToState[d]->ruleIndex == KorParser::RuleExpr) return d;
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
  // the primary alternative that starts with a korvar: the variable
  const size_t primary = exprPrimaryDecision(atn);
  if (primary != size_t(-1)) {
    antlr4::atn::DecisionState* d = atn.getDecisionState(primary);
    for (size_t i = 0; i < d->transitions.size(); ++i) {
      antlr4::atn::ATNState* s = d->transitions[i]->target;
      while (s->transitions.size() == 1 && s->transitions[0]->isEpsilon() &&
             s->transitions[0]->getSerializationType() != antlr4::atn::Transition::RULE)
        s = s->transitions[0]->target;
      if (s->transitions.size() == 1 &&
          s->transitions[0]->getSerializationType() == antlr4::atn::Transition::RULE &&
          s->transitions[0]->target->ruleIndex == KorParser::RuleKorvar)
        variableAlt_ = i + 1;
    }
  }
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

size_t KorStagedPredictor::adaptivePredict(antlr4::TokenStream* input, size_t decision,
                                           antlr4::ParserRuleContext* outerContext) {
  if (stackLimit_ != 0 && reinterpret_cast<uintptr_t>(KOR_PARSE_STACK_HERE()) < stackLimit_) {
    antlr4::Token* at = parser->getCurrentToken();
    throw KorNestingTooDeep(at->getLine(), at->getCharPositionInLine(), KorNestingTooDeep::Stack);
  }
  static const size_t primary = exprPrimaryDecision(atn);
  if (!firstStage_) return ParserATNSimulator::adaptivePredict(input, decision, outerContext);
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
  try {
    KorParser::ProgramContext* tree = parser.program();
    predictor->setFirstStage(false);
    predictor->reset();
    return tree;
  } catch (antlr4::ParseCancellationException&) {
  }
  predictor->setFirstStage(false);
  parser.getTokenStream()->seek(0);
  parser.reset();
  return nullptr;
}
