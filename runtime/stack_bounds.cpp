#include "stack_bounds.h"

#include <algorithm>

#if defined(__linux__)
#include <pthread.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace {

// Machine stack kept free below the deepest guarded frame: room for one
// statement or call level, a built-in method and the error path.
constexpr size_t kStackReserve = 512 * 1024;

void noteStack(uintptr_t low, size_t size) {
  korStackLimit = low + std::min(kStackReserve, size / 4);
}

}  // namespace

void lookUpThreadStack() {
  korStackNoted = true;
  korStackLimit = 0;
#if defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size > 0)
      noteStack(reinterpret_cast<uintptr_t>(addr), size);
    pthread_attr_destroy(&attr);
  }
#elif defined(_WIN32)
  // The stack's reservation starts at the allocation base of any address on it.
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(&info, &info, sizeof(info)) != 0) {
    const uintptr_t low = reinterpret_cast<uintptr_t>(info.AllocationBase);
    const uintptr_t here = reinterpret_cast<uintptr_t>(&info);
    if (here > low) noteStack(low, size_t(here - low));
  }
#endif
}
