#include "graph/graph.hpp"

#include <algorithm>

namespace zeph::graph {

void AdjacencyMap::add_entry(VarId u) {
  if (!keys_.insert(u)) return;
  if (u < 0 || u >= 128) {
    small_ = false;
    bits_ = {};
  }
  if (lists_.size() <= static_cast<std::size_t>(u)) {
    lists_.resize(std::max<std::size_t>(static_cast<std::size_t>(u) + 1, 2 * lists_.size()));
  }
}

void AdjacencyMap::insert(VarId u, VarId v) {
  add_entry(u);
  std::vector<VarId>& list = lists_[static_cast<std::size_t>(u)];
  // Most lists stay short: room for a few members at once saves the first regrowths.
  if (list.capacity() == 0) list.reserve(4);
  auto at = std::lower_bound(list.begin(), list.end(), v);
  if (at == list.end() || *at != v) list.insert(at, v);
  if (small_ && (v < 0 || v >= 128)) {
    small_ = false;
    bits_ = {};
  }
  if (small_) {
    const auto i = static_cast<std::size_t>(u);
    if (bits_.size() <= i) bits_.resize(i + 1, {0, 0});
    (v < 64 ? bits_[i].first : bits_[i].second) |= VarSet::Word{1} << (v % 64);
  }
}

std::size_t AdjacencyMap::stored_members() const noexcept {
  std::size_t total = 0;
  for (VarId k : keys_) total += lists_[static_cast<std::size_t>(k)].size();
  return total;
}

std::string AdjacencyMap::to_string() const {
  std::string out = "{";
  bool first_entry = true;
  for (VarId k : keys_) {
    if (!first_entry) out += ", ";
    first_entry = false;
    out += std::to_string(k) + ": {";
    bool first = true;
    for (VarId v : lists_[static_cast<std::size_t>(k)]) {
      if (!first) out += ", ";
      first = false;
      out += std::to_string(v);
    }
    out += "}";
  }
  out += "}";
  return out;
}

}  // namespace zeph::graph
