// Parsing a script in two stages.
//
// SLL prediction (conflicts resolved to the first alternative, without the
// costly full-context prediction) gives this grammar's trees everywhere but
// at the choice among the primary alternatives of expr, where a variable
// followed by "(" can, with SLL's global follow sets, also be an `if`
// condition followed by a parenthesised statement (so a call with arguments
// inside an expression would be taken for a variable), and at the decisions
// of korvar, where ".m" after a variable can also be a member (so `x.m(1)`
// would lose its method). The first stage therefore predicts those decisions
// with LL and every other one with SLL, and gives up at the first syntax
// error; the second stage parses again
// from the start with full LL everywhere and the caller's error reporting.
// When the first stage succeeds its tree is the LL tree: a choice that is
// viable for the whole input is also LL's choice. (At the primary decision LL
// is needed only before a variable name: a string followed by '%' is a format
// string for LL as for SLL, and LL's full-context search over chained format
// strings grows exponentially.)
//
// A full-context prediction starts from the parser's whole rule-context
// chain; the simulator keeps the prediction context built for each active
// rule context, so that deeply nested input (f(f(f(...))), l[l[l[...]]])
// costs one new context per prediction rather than one per level. The primary
// decision before a call with a long argument list goes to the full-context
// search directly: its SLL pass would read ahead to the end of the arguments
// (SLL's global follow sets keep the variable alternative alive), which made
// nested calls quadratic, while the full-context search settles it at the
// '(' (short argument lists keep the SLL pass, faster for them). Before a
// variable with indexes (l[l[l[0]]]) the LL decision reads to the end of the
// indexes to see whether a '.' or ++/-- follows; the first stage finds that
// token by the pairs of brackets (each pair found once) and takes the
// variable alternative when neither follows, the only one that can match.
//
// Most first-stage decisions are settled before any of that from the next
// few tokens: a walk of the ATN finds the alternatives that can begin with
// them, first without the parser's context (kept by decision and tokens),
// then with it; when one alone can, every parse takes it (ANTLR's own
// prediction would build DFA states for it at a high price on each run,
// its SLL closures reaching every place a rule is invoked). A statement that
// is an assignment or a call alone, and `name = value`, whose alternatives
// read the same tokens, take the first of those alternatives, as the
// prediction resolves them; `xun _, x in name {` followed by statements
// takes the expression, not a struct value `name {a, b}`; `"..." % (a, b)`
// is a format string with a list of values (brackets holding a ',' are no
// bracketed expression).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "KorParser.h"

// The parser's simulator for the two stages: in the first stage LL at the
// primary decision of expr before a variable name and in korvar, SLL
// elsewhere; in the second full LL everywhere. It shares the ATN, the DFA cache and the
// prediction-context cache of the generated simulator it replaces.
class KorStagedPredictor : public antlr4::atn::ParserATNSimulator {
 public:
  // Replaces the parser's simulator (the parser deletes the old one now and
  // this one with itself).
  static KorStagedPredictor* install(KorParser& parser);

  void setFirstStage(bool on) { firstStage_ = on; }
  // Whether the first stage decides from the tokens where it can (on).
  void setTokenDecisions(bool on) { tokenDecisions_ = on; }
  // Lowest machine-stack address a prediction may start at (0: no check).
  // Below it the parse ends with KorNestingTooDeep (KorNesting.h).
  void setStackLimit(uintptr_t limit) { stackLimit_ = limit; }

  size_t adaptivePredict(antlr4::TokenStream* input, size_t decision,
                         antlr4::ParserRuleContext* outerContext) override;
  void reset() override;

 protected:
  std::unique_ptr<antlr4::atn::ATNConfigSet> computeStartState(antlr4::atn::ATNState* p,
                                                               antlr4::RuleContext* ctx,
                                                               bool fullCtx) override;

 private:
  KorStagedPredictor(KorParser& parser, antlr4::atn::ParserATNSimulator& base);
  // PredictionContext::fromRuleContext(atn, ctx), with the contexts of the
  // active rule contexts kept.
  Ref<antlr4::atn::PredictionContext> contextOf(antlr4::RuleContext* ctx);
  // Token index of the bracket closing the one at token index `open`, or
  // npos; the pairs found are kept.
  size_t closingBracket(antlr4::TokenStream* input, size_t open);
  // True when the input is a variable with indexes that only the variable
  // alternative of the primary decision can match.
  bool plainIndexedVariable(antlr4::TokenStream* input);
  // The first-stage decisions taken from the tokens: the alternative, or 0.
  size_t predictDirectly(antlr4::TokenStream* input, size_t decision,
                         antlr4::ParserRuleContext* outerContext);
  // The alternative of `decision` that alone can begin with the next tokens,
  // or 0 (see predictByTokens in the .cpp).
  size_t predictByTokens(antlr4::TokenStream* input, size_t decision,
                         antlr4::ParserRuleContext* outerContext);
  // Bit sets (bit i - 1 for alternative i) of the alternatives of
  // `decision` that can begin with the first 1, 2, ... `k` of the token types
  // `types` (masks[0 .. k-1]); an alternative that can leave the decision's
  // rule before them counts as able. Returns the number of outer contexts
  // the walk went through (withContext).
  size_t alternativesStartingWith(size_t decision, const size_t* types, size_t k,
                                  bool withContext, uint64_t* masks);
  // The walk's set of configurations seen: emptied, and added to (false
  // when `key` was in it).
  void clearSeen();
  bool insertSeen(uint64_t key);
  // The interned stack `stack` with `follow` pushed.
  uint32_t pushFollow(uint32_t stack, uint32_t follow);
  // The alternative of the statement decision for a statement that is an
  // assignment or a call alone, or 0.
  size_t assignmentOrCall(antlr4::TokenStream* input);
  // True when the brackets opening at token index `open` hold a token of
  // type `type`, inside inner brackets too or not.
  bool bracketsHold(antlr4::TokenStream* input, size_t open, size_t type, bool inner);
  // The alternative of `decision` that starts by invoking `rule`, or 0.
  size_t alternativeInvoking(size_t decision, size_t rule) const;
  // SLL prediction (conflicts resolved to the first alternative).
  size_t predictWithSll(antlr4::TokenStream* input, size_t decision,
                        antlr4::ParserRuleContext* outerContext);
  // LL prediction without the SLL pass.
  size_t predictWithFullContext(antlr4::TokenStream* input, size_t decision,
                                antlr4::ParserRuleContext* outerContext);

  struct KnownContext {
    antlr4::tree::ParseTree* parent;
    decltype(antlr4::RuleContext::invokingState) invokingState;
    Ref<antlr4::atn::PredictionContext> context;
  };
  bool firstStage_ = true;
  bool tokenDecisions_ = true;
  uintptr_t stackLimit_ = 0;
  // token types of the punctuation
  size_t callOpen_ = 0, callClose_ = 0, indexOpen_ = 0, indexClose_ = 0, blockOpen_ = 0,
         blockClose_ = 0, dot_ = 0, percent_ = 0;
  size_t semicolon_ = 0, comma_ = 0;
  std::vector<size_t> assignOps_;  // '=' first
  size_t variableAlt_ = 0;  // the variable alternative of the primary decision
  size_t statementDecision_ = npos, assignAlt_ = 0, callAlt_ = 0;
  size_t assignOneDecision_ = npos, assignVarAlt_ = 0;  // plain assignment
  size_t rightvarDecision_ = npos, rightvarExprAlt_ = 0;
  size_t formatAlt_ = 0;  // the format string alternative of the primary decision
  size_t formatPartDecision_ = npos, formatListAlt_ = 0;  // '%' (a, b)
  static constexpr size_t npos = size_t(-1);
  std::unordered_map<size_t, size_t> closes_;  // bracket token index -> its closing one
  // predictByTokens' results without the context: by decision and one token
  // type (one mask), by decision and kTokenLookahead of them (a mask for each
  // count)
  std::unordered_map<uint64_t, uint64_t> firstToken_;
  std::unordered_map<uint64_t, std::array<uint64_t, 3>> firstTokens_;
  // results with the context: by decision, precedence and token types, each
  // with the follow states the walk went through
  std::unordered_map<std::u32string, std::vector<std::pair<std::u32string, uint64_t>>>
      withContext_;
  std::vector<uint32_t> follows_;  // follow states of the outer rule contexts
  // the walk's stacks of follow states: node 0 the empty stack, each other
  // one (below, follow state)
  std::vector<std::pair<uint32_t, uint32_t>> stackNodes_{{0, 0}};
  struct WalkConfig {
    antlr4::atn::ATNState* state;
    uint32_t stack;  // interned
    uint32_t outer;  // rule contexts of the parser left
  };
  std::vector<WalkConfig> walkCurrent_, walkWork_, walkClosed_;
  // open addressing; a slot is used when its mark is the generation
  std::vector<uint64_t> seenKeys_;
  std::vector<uint32_t> seenMarks_;
  uint32_t seenGeneration_ = 1;
  size_t seenCount_ = 0;
  std::unordered_map<uint64_t, uint32_t> stackIds_;
  static constexpr size_t kTokenLookahead = 3;
  static constexpr size_t kContextLookahead = 4;
  // outer contexts a walk goes through at most (beyond: able)
  static constexpr size_t kOuterWalk = 256;
  std::unordered_map<antlr4::RuleContext*, KnownContext> known_;
  std::vector<antlr4::RuleContext*> chain_;  // contextOf's work list
  static constexpr size_t kShallowChain = 64;
  // argument lists longer than this (in tokens) skip the SLL pass
  static constexpr size_t kLongArguments = 64;
};

// Stage 1: mixed prediction with the bailing strategy and no listeners.
// Returns the tree, or null when the stage gives up; the parser is then
// reset to the start of the input with full LL prediction, ready for stage 2
// (the caller installs its own error strategy and listeners).
KorParser::ProgramContext* parseProgramFirstStage(KorParser& parser);
