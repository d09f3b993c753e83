// A small map from names to values that keeps insertion order.
//
// The installer's views of the engine's networks, volumes and containers are
// walked in the order the engine listed them and then in the order they were
// added; they hold tens to a few hundred entries, so a vector with linear
// lookup is both simplest and fast enough.
#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bootstrap::installer {

template <typename Value>
class OrderedMap {
 public:
  using Entry = std::pair<std::string, Value>;

  bool contains(const std::string& key) const { return find(key) != entries_.end(); }

  // Inserts, or replaces the value of an existing key in place (keeping its
  // position).
  void put(const std::string& key, Value value) {
    auto it = find(key);
    if (it != entries_.end())
      it->second = std::move(value);
    else
      entries_.emplace_back(key, std::move(value));
  }

  // Throws std::out_of_range naming the key when absent.
  const Value& at(const std::string& key) const {
    auto it = find(key);
    if (it == entries_.end()) throw std::out_of_range("no entry named " + key);
    return it->second;
  }

  // Removes the key if present; returns whether it was.
  bool erase(const std::string& key) {
    auto it = find(key);
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
  }

  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) out.push_back(e.first);
    return out;
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  typename std::vector<Entry>::const_iterator find(const std::string& key) const {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& e) { return e.first == key; });
  }
  typename std::vector<Entry>::iterator find(const std::string& key) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& e) { return e.first == key; });
  }

  std::vector<Entry> entries_;
};

}  // namespace bootstrap::installer
