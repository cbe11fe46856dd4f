// Open-addressing map from a parse context to an item worked out for it.
#pragma once

#include "antlr4-runtime.h"

#include <cstdint>
#include <deque>
#include <vector>

// Open-addressing map from a parse context to a cached item. A slot also
// remembers the context's first token, and a lookup only hits when it still
// matches, so a context allocated at the address of a freed one is not taken
// for it (the run driver also clears the caches when a run starts). Items
// live in a deque and keep their addresses until clear().
template <typename T>
class ContextCache {
 public:
  T* find(antlr4::ParserRuleContext* ctx) {
    if (slots_.empty()) return nullptr;
    size_t i = slotOf(ctx);
    for (;;) {
      Slot& s = slots_[i];
      if (s.key == ctx) return s.token == ctx->start ? s.value : nullptr;
      if (s.key == nullptr) return nullptr;
      i = (i + 1) & mask_;
    }
  }

  T& insert(antlr4::ParserRuleContext* ctx, T&& value) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    size_t i = slotOf(ctx);
    while (slots_[i].key != nullptr && slots_[i].key != ctx) i = (i + 1) & mask_;
    Slot& s = slots_[i];
    if (s.key == nullptr) ++used_;
    s.key = ctx;
    s.token = ctx->start;
    items_.push_back(std::move(value));
    s.value = &items_.back();
    return *s.value;
  }

  void clear() {
    std::vector<Slot>().swap(slots_);
    std::deque<T>().swap(items_);
    used_ = 0;
    mask_ = 0;
    shift_ = 63;
  }

 private:
  struct Slot {
    const void* key = nullptr;
    const antlr4::Token* token = nullptr;
    T* value = nullptr;
  };

  size_t slotOf(const void* p) const {
    uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ULL;
    return size_t(h >> shift_);
  }

  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    size_t n = old.empty() ? 1024 : old.size() * 2;
    slots_.resize(n);
    mask_ = n - 1;
    shift_ = 64 - unsigned(__builtin_ctzll(uint64_t(n)));
    used_ = 0;
    for (Slot& s : old) {
      if (s.key == nullptr) continue;
      size_t i = slotOf(s.key);
      while (slots_[i].key != nullptr) i = (i + 1) & mask_;
      slots_[i] = std::move(s);
      ++used_;
    }
  }

  std::vector<Slot> slots_;
  std::deque<T> items_;
  size_t used_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 63;
};
