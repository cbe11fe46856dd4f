#include "KorTwoStageParse.h"

KorStagedPredictor::KorStagedPredictor(KorParser& parser, antlr4::atn::ParserATNSimulator& base)
    : ParserATNSimulator(&parser, base.atn, base.decisionToDFA, base.getSharedContextCache()) {
  setPredictionMode(antlr4::atn::PredictionMode::LL);
}

KorStagedPredictor* KorStagedPredictor::install(KorParser& parser) {
  auto* current = parser.getInterpreter<antlr4::atn::ParserATNSimulator>();
  if (auto* staged = dynamic_cast<KorStagedPredictor*>(current)) return staged;
  auto* staged = new KorStagedPredictor(parser, *current);
  parser.setInterpreter(staged);  // deletes the generated simulator
  return staged;
}

namespace {
// The decision that chooses among the primary alternatives of expr: the
// first decision of the rule.
size_t exprPrimaryDecision(const antlr4::atn::ATN& atn) {
  for (size_t d = 0; d < atn.decisionToState.size(); ++d)
    if (atn.decisionToState[d]->ruleIndex == KorParser::RuleExpr) return d;
  return size_t(-1);
}
}  // namespace

size_t KorStagedPredictor::adaptivePredict(antlr4::TokenStream* input, size_t decision,
                                           antlr4::ParserRuleContext* outerContext) {
  static const size_t primary = exprPrimaryDecision(atn);
  if (!firstStage_ || decision == primary ||
      atn.decisionToState[decision]->ruleIndex == KorParser::RuleKorvar)
    return ParserATNSimulator::adaptivePredict(input, decision, outerContext);
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
  predictor->setFirstStage(true);
  parser.removeErrorListeners();
  parser.setErrorHandler(std::make_shared<antlr4::BailErrorStrategy>());
  try {
    KorParser::ProgramContext* tree = parser.program();
    predictor->setFirstStage(false);
    return tree;
  } catch (antlr4::ParseCancellationException&) {
  }
  predictor->setFirstStage(false);
  parser.getTokenStream()->seek(0);
  parser.reset();
  return nullptr;
}
