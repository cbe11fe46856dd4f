// Machine-stack guard of the evaluator's recursive paths (expressions,
// nested blocks and branches, list and dict literals): one compare against
// the thread's precomputed stack limit; below it the run ends with a script
// error instead of overflowing the stack.
#pragma once

#include "antlr4-runtime.h"
#include "runtime/stack_bounds.h"

// Raises the script error for a construct nested too deeply at `node`.
[[noreturn]] void failStackExhausted(antlr4::tree::ParseTree* node);

inline void guardStack(antlr4::tree::ParseTree* node) {
  if (stackBelowLimit(KOR_STACK_HERE())) failStackExhausted(node);
}
