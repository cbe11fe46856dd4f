// A last-in-first-out pool of heap records given back for reuse. The list is
// created on the first give-back and lives until freeAll(), so records can
// come back at any time of a run.
#pragma once

#include <cstddef>
#include <vector>

template <typename T>
class RecyclePool {
 public:
  // The most recently given-back record (its fields as they were left), or a
  // new default-built one.
  T* take() {
    if (items_ != nullptr && !items_->empty()) {
      T* item = items_->back();
      items_->pop_back();
      return item;
    }
    return new T();
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

  // Deletes every pooled record and the list.
  void freeAll() {
    if (items_ == nullptr) return;
    for (T* item : *items_) delete item;
    delete items_;
    items_ = nullptr;
  }

 private:
  std::vector<T*>* items_ = nullptr;
};
