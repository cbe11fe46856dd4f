// ValueDict: the payload of dict values. A chained hash map whose nodes form
// one doubly linked list (the walk order); each bucket records its first and
// last node, and the nodes of one bucket are always adjacent in the list.
// A new key goes to the end of the list when its bucket is empty, otherwise
// directly before its bucket's first node.
#pragma once

#include "recycle_pool.h"
#include "value.h"
#include "value_compare.h"

#include <cstdint>
#include <utility>
#include <vector>

class ValueDict {
 public:
  struct Node {
    Node* prev;
    Node* next;
    ExprValue key;     // stored by value; a 9/10 key's payload belongs to the dict
    ExprValue* value;  // pooled cell owned by the dict
    uint64_t hash;
  };

  ValueDict();
  ~ValueDict();  // frees the nodes only (keys and values must be released before)
  ValueDict(const ValueDict&) = delete;
  ValueDict& operator=(const ValueDict&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t bucketCount() const { return buckets_.size(); }
  Node* first() const { return head_; }  // walk: for (n = first(); n; n = n->next)
  Node* last() const { return tail_; }

  // Node with an equal key (hash from hashValueKey), or null.
  Node* find(const ExprValue& key, uint64_t hash) const;
  // The same, hashing the key (raises for bad keys) unless it equals the key
  // of the node found or inserted last: a key looked up several times in a
  // row (contains, value, store) is hashed once.
  Node* find(const ExprValue& key) const {
    uint64_t hash;
    return find(key, &hash);
  }
  // The same; when the key is absent, `hash` is its hash (for insertNew).
  Node* find(const ExprValue& key, uint64_t* hash) const;
  // The same for an integer key (zs or czs), with the bucket walked inline.
  Node* findInteger(int64_t value, uint64_t* hash) const {
    const uint64_t h = hashIntegerKey(value);
    *hash = h;
    const Bucket& b = buckets_[bucketOf(h)];
    for (Node* n = b.first; n != nullptr; n = n->next) {
      if (n->hash == h && (n->key.type == VT_INT || n->key.type == VT_LONG) &&
          n->key.asInt64() == value)
        return n;
      if (n == b.last) break;
    }
    return nullptr;
  }
  // Inserts when absent: returns the node and whether it is new. A new node
  // takes the key cell as it is (its payload now belongs to the dict) and has
  // value == null for the caller to fill with a pooled cell. When the key was
  // present, the caller keeps its key.
  std::pair<Node*, bool> emplace(const ExprValue& key, uint64_t hash);
  // Inserts a key known to be absent (as emplace does for a new key).
  Node* insertNew(const ExprValue& key, uint64_t hash) {
    if (size_ + 1 > buckets_.size()) grow(size_ + 1);
    Node* node = new (SlotPool<sizeof(Node)>::take()) Node{nullptr, nullptr, key, nullptr, hash};
    link(node);
    ++size_;
    recent_ = node;
    return node;
  }
  // Unlinks and frees the node; its key payload and value cell are returned
  // to the caller through the out parameters (may be null to drop them).
  void erase(Node* node, ExprValue* keyOut = nullptr, ExprValue** valueOut = nullptr);
  // Unlinks and frees every node (keys and values must be released before).
  void unlinkAll();
  // Hands every node to `release` (in walk order, for its key and value),
  // then unlinks and frees them all as unlinkAll does. Without `reuse` the
  // buckets are left as they were: the dict is to be deleted next.
  template <class Release>
  void releaseAll(Release release, bool reuse = true) {
    Node* n = head_;
    while (n != nullptr) {
      Node* next = n->next;
      release(n);
      freeNode(n);
      n = next;
    }
    head_ = tail_ = nullptr;
    recent_ = nullptr;
    size_ = 0;
    if (reuse) clearBuckets();
  }

  SharedCount shared;  // holders of the dict value

 private:
  struct Bucket {
    Node* first;
    Node* last;
  };
  // Bucket of a hash: the hash modulo the bucket count, which is always a
  // power of two (8, then 8 or 2 times larger on each growth).
  size_t bucketOf(uint64_t hash) const { return size_t(hash) & (buckets_.size() - 1); }
  // Links a node by the insertion rule: at the end of the list when its bucket
  // is empty, otherwise directly before the bucket's first node.
  void link(Node* node) {
    Bucket& b = buckets_.data()[bucketOf(node->hash)];
    if (b.first == nullptr) {
      node->next = nullptr;
      node->prev = tail_;
      if (tail_ != nullptr)
        tail_->next = node;
      else
        head_ = node;
      tail_ = node;
      b.first = b.last = node;
    } else {
      Node* before = b.first;
      node->next = before;
      node->prev = before->prev;
      if (before->prev != nullptr)
        before->prev->next = node;
      else
        head_ = node;
      before->prev = node;
      b.first = node;
    }
  }
  void clearBuckets();
  // Nodes come from a slot pool (insertNew): a dict that fills and empties in
  // a loop makes no heap call per entry.
  static void freeNode(Node* node) {
    node->~Node();
    SlotPool<sizeof(Node)>::give(node);
  }
  void grow(size_t needed);

  std::vector<Bucket> buckets_;
  mutable Node* recent_ = nullptr;  // a node of this dict, or null
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  size_t size_ = 0;
};

// Lookup and insert-if-absent (see ValueDict::find / emplace).
ValueDict::Node* dictFindNode(ValueDict* map, const ExprValue& key, uint64_t hash);
std::pair<ValueDict::Node*, bool> dictEmplace(ValueDict* map, const ExprValue& key);
