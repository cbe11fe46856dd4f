// Machine-stack bounds of the running thread, for the guards that end deep
// recursion (script calls, nested expressions and statements, the parse) with
// an error instead of overflowing the stack.
#pragma once

#include <cstddef>
#include <cstdint>

// Lowest stack address this thread's recursive paths may reach: the bottom of
// the stack plus a reserve for the error path (0 while unknown). Set by
// noteThreadStack(); read directly by the guards, so a check is one compare.
inline thread_local uintptr_t korStackLimit = 0;

inline thread_local bool korStackNoted = false;

// Looks up the current thread's stack and sets korStackLimit; leaves it 0
// when the platform cannot tell.
void lookUpThreadStack();

// Sets korStackLimit once per thread.
inline void noteThreadStack() {
  if (!korStackNoted) lookUpThreadStack();
}

// True when `frame` (an address on the current stack) lies below the limit.
inline bool stackBelowLimit(const void* frame) {
  return reinterpret_cast<uintptr_t>(frame) < korStackLimit;
}

#if defined(_MSC_VER)
#include <intrin.h>
#define KOR_STACK_HERE() _AddressOfReturnAddress()
#else
#define KOR_STACK_HERE() __builtin_frame_address(0)
#endif
