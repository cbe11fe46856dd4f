#include "value_dict.h"

#include "recycle_pool.h"
#include "value_compare.h"

namespace {
constexpr size_t kInitialBuckets = 8;
constexpr size_t kFastGrowLimit = 512;
}  // namespace

ValueDict::ValueDict() : buckets_(kInitialBuckets, Bucket{nullptr, nullptr}) {}

// The bucket array goes with the dict: only the nodes are freed.
ValueDict::~ValueDict() {
  releaseAll([](Node*) {}, false);
}

ValueDict::Node* ValueDict::find(const ExprValue& key, uint64_t hash) const {
  const Bucket& b = buckets_[bucketOf(hash)];
  if (b.first == nullptr) return nullptr;
  for (Node* n = b.first;; n = n->next) {
    if (n->hash == hash && valueKeyEqual(n->key, key)) return n;
    if (n == b.last) break;
  }
  return nullptr;
}

ValueDict::Node* ValueDict::find(const ExprValue& key, uint64_t* hash) const {
  // Keys are unique, so a node whose key equals this one is the answer; a
  // key that cannot be a key never equals a stored one and is refused by the
  // hash below. Only text keys are worth it: an integer hashes at once.
  if (recent_ != nullptr && (key.type == VT_BYTES || key.type == VT_STRING) &&
      valueKeyEqual(recent_->key, key))
    return recent_;
  *hash = hashValueKey(key);
  Node* found = find(key, *hash);
  if (found != nullptr) recent_ = found;
  return found;
}

// Grows to 8 times the bucket count below 512 buckets and to twice the count
// above (doubling further until the needed count is reached); the nodes are re-linked in their old
// walk order by the insertion rule.
void ValueDict::grow(size_t needed) {
  size_t cur = buckets_.size();
  size_t count = cur < kFastGrowLimit ? cur * 8 : cur * 2;
  while (count < needed) count *= 2;
  Node* n = head_;
  head_ = tail_ = nullptr;
  buckets_.assign(count, Bucket{nullptr, nullptr});
  while (n != nullptr) {
    Node* next = n->next;
    link(n);
    n = next;
  }
}

std::pair<ValueDict::Node*, bool> ValueDict::emplace(const ExprValue& key, uint64_t hash) {
  if (Node* found = find(key, hash)) return {found, false};
  return {insertNew(key, hash), true};
}

void ValueDict::erase(Node* node, ExprValue* keyOut, ExprValue** valueOut) {
  Bucket& b = buckets_[bucketOf(node->hash)];
  if (b.first == node && b.last == node) {
    b.first = b.last = nullptr;
  } else if (b.first == node) {
    b.first = node->next;
  } else if (b.last == node) {
    b.last = node->prev;
  }
  if (node->prev != nullptr)
    node->prev->next = node->next;
  else
    head_ = node->next;
  if (node->next != nullptr)
    node->next->prev = node->prev;
  else
    tail_ = node->prev;
  if (node == recent_) recent_ = nullptr;
  if (keyOut != nullptr) *keyOut = node->key;
  if (valueOut != nullptr) *valueOut = node->value;
  freeNode(node);
  --size_;
}

void ValueDict::unlinkAll() {
  Node* n = head_;
  while (n != nullptr) {
    Node* next = n->next;
    freeNode(n);
    n = next;
  }
  head_ = tail_ = nullptr;
  recent_ = nullptr;
  size_ = 0;
  clearBuckets();
}

void ValueDict::clearBuckets() {
  for (Bucket& b : buckets_) b.first = b.last = nullptr;
}

ValueDict::Node* dictFindNode(ValueDict* map, const ExprValue& key, uint64_t hash) {
  return map == nullptr ? nullptr : map->find(key, hash);
}

std::pair<ValueDict::Node*, bool> dictEmplace(ValueDict* map, const ExprValue& key) {
  return map->emplace(key, hashValueKey(key));
}
