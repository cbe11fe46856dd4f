// A last-in-first-out pool of heap records given back for reuse. The list is
// created on the first give-back and lives until freeAll(), so records can
// come back at any time of a run.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

// Raw memory slots of one size (for objects aligned at most like a pointer)
// on a free list, carved from chunks that stay
// for the rest of the process: taking and giving back a slot is a pointer
// swap, not a heap call. Checked builds (AddressSanitizer) take every slot
// from the heap instead, so the checker still sees each one.
template <size_t Size>
class SlotPool {
 public:
#if defined(__SANITIZE_ADDRESS__)
  static constexpr bool kPooled = false;
#else
  static constexpr bool kPooled = true;
#endif

  static void* take() {
    if (kPooled && freeList_ != nullptr) {
      Slot* s = freeList_;
      freeList_ = s->next;
      return s;
    }
    return takeSlow();
  }

  static void give(void* slot) {
    if (!kPooled) {
      ::operator delete(slot);
      return;
    }
    Slot* s = static_cast<Slot*>(slot);
    s->next = freeList_;
    freeList_ = s;
  }

 private:
  union Slot {
    Slot* next;
    alignas(void*) unsigned char bytes[Size];
  };
  static constexpr size_t kChunkBytes = 16384;
  static constexpr size_t kChunkSlots = kChunkBytes / sizeof(Slot) > 1 ? kChunkBytes / sizeof(Slot) : 2;

  static void* takeSlow() {
    if (!kPooled) return ::operator new(Size);
    Slot* chunk = static_cast<Slot*>(::operator new(sizeof(Slot) * kChunkSlots));
    for (size_t i = 1; i + 1 < kChunkSlots; ++i) chunk[i].next = &chunk[i + 1];
    chunk[kChunkSlots - 1].next = freeList_;
    freeList_ = &chunk[1];
    return &chunk[0];
  }

  inline static Slot* freeList_ = nullptr;
};

// Blocks of up to 64 bytes from the slot pool of the next size class (8, 16,
// 32 or 64 bytes); larger ones from the heap. The size given back must be
// the size asked for.
inline void* takeSlotBytes(size_t bytes) {
  if (bytes <= 8) return SlotPool<8>::take();
  if (bytes <= 16) return SlotPool<16>::take();
  if (bytes <= 32) return SlotPool<32>::take();
  if (bytes <= 64) return SlotPool<64>::take();
  return ::operator new(bytes);
}

inline void giveSlotBytes(void* p, size_t bytes) {
  if (p == nullptr) return;
  if (bytes <= 8) return SlotPool<8>::give(p);
  if (bytes <= 16) return SlotPool<16>::give(p);
  if (bytes <= 32) return SlotPool<32>::give(p);
  if (bytes <= 64) return SlotPool<64>::give(p);
  ::operator delete(p);
}

// Base of a small record whose new / delete take and give back slots.
struct SlotAllocated {
  static void* operator new(size_t bytes) { return takeSlotBytes(bytes); }
  static void operator delete(void* p, size_t bytes) { giveSlotBytes(p, bytes); }
};

// Standard allocator over takeSlotBytes / giveSlotBytes, for the small
// arrays of a container that is made and freed often.
template <typename T>
struct SlotAllocator {
  using value_type = T;
  SlotAllocator() noexcept = default;
  template <typename U>
  SlotAllocator(const SlotAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return static_cast<T*>(takeSlotBytes(n * sizeof(T))); }
  void deallocate(T* p, size_t n) noexcept { giveSlotBytes(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const SlotAllocator<U>&) const noexcept { return true; }
  template <typename U>
  bool operator!=(const SlotAllocator<U>&) const noexcept { return false; }
};

template <typename T>
class RecyclePool {
 public:
  static_assert(alignof(T) <= alignof(void*), "records come from pointer-aligned slots");

  // The most recently given-back record (its fields as they were left), or a
  // new default-built one (in a slot of a SlotPool).
  T* take() {
    if (items_ != nullptr && !items_->empty()) {
      T* item = items_->back();
      items_->pop_back();
      return item;
    }
    return new (SlotPool<sizeof(T)>::take()) T();
  }

  // Keeps the record for reuse; the caller has cleared what must not be kept.
  void give(T* item) {
    if (items_ == nullptr) {
      items_ = new std::vector<T*>();
      items_->reserve(256);
    }
    items_->push_back(item);
  }

  size_t size() const { return items_ == nullptr ? 0 : items_->size(); }

  // Destroys a record taken from a pool of this type without keeping it.
  static void destroy(T* item) {
    if (item == nullptr) return;
    item->~T();
    SlotPool<sizeof(T)>::give(item);
  }

  // Deletes every pooled record and the list.
  void freeAll() {
    if (items_ == nullptr) return;
    for (T* item : *items_) destroy(item);
    delete items_;
    items_ = nullptr;
  }

 private:
  std::vector<T*>* items_ = nullptr;
};
