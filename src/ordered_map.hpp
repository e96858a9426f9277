// A hash map that keeps its entries in insertion order.
#pragma once

#include <cstddef>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvel {

// Iteration follows insertion order. Inserting an existing key replaces its value in place;
// removing a key moves the last entry into the hole, so only that position changes.
template <typename K, typename V, typename Hash = std::hash<K>>
class OrderedMap {
 public:
  using Entry = std::pair<K, V>;
  using iterator = typename std::vector<Entry>::iterator;
  using const_iterator = typename std::vector<Entry>::const_iterator;

  OrderedMap() = default;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const Entry& at_index(size_t i) const { return entries_[i]; }
  void reserve(size_t n) {
    entries_.reserve(n);
    index_.reserve(n);
  }

  // Inserts or replaces; returns the entry's position.
  size_t insert(K key, V value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      entries_[it->second].second = std::move(value);
      return it->second;
    }
    size_t pos = entries_.size();
    index_.emplace(key, pos);
    entries_.emplace_back(std::move(key), std::move(value));
    return pos;
  }

  const V* find(const K& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  V* find(const K& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  bool contains(const K& key) const { return index_.count(key) != 0; }
  // Position of the key, or size() when absent.
  size_t position(const K& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? entries_.size() : it->second;
  }

  // Removes the key; the last entry takes its position. Returns whether it was present.
  bool remove(const K& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return false;
    size_t pos = it->second;
    index_.erase(it);
    size_t last = entries_.size() - 1;
    if (pos != last) {
      entries_[pos] = std::move(entries_[last]);
      index_[entries_[pos].first] = pos;
    }
    entries_.pop_back();
    return true;
  }

  void clear() {
    entries_.clear();
    index_.clear();
  }

  bool operator==(const OrderedMap& other) const { return entries_ == other.entries_; }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<K, size_t, Hash> index_;
};

}  // namespace korvel
