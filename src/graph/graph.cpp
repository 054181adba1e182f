#include "graph/graph.hpp"

#include <algorithm>
#include <cstring>

#include "utils/allocation.hpp"

namespace zeph::graph {

IdList::IdList(const IdList& other) : size_(other.size_) {
  // A copy is made at its size: inline when it fits, however large the other's storage is.
  VarId* d = inline_;
  if (size_ > kInline) {
    capacity_ = size_;
    d = heap_ = static_cast<VarId*>(::operator new (std::size_t{capacity_} * sizeof(VarId)));
  }
  std::memcpy(d, other.data(), std::size_t{size_} * sizeof(VarId));
}

IdList& IdList::operator=(const IdList& other) {
  if (this != &other) {
    IdList copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void IdList::take(IdList& other) noexcept {
  size_ = other.size_;
  capacity_ = other.capacity_;
  std::memcpy(static_cast<void*>(inline_), static_cast<const void*>(other.inline_), sizeof inline_);
  other.size_ = 0;
  other.capacity_ = kInline;
}

void IdList::release() noexcept {
  if (capacity_ > kInline) allocation::release_own(heap_, std::size_t{capacity_} * sizeof(VarId));
}

void IdList::insert(VarId v) {
  VarId* at = std::lower_bound(data(), data() + size_, v);
  if (at != data() + size_ && *at == v) return;
  const auto offset = static_cast<std::size_t>(at - data());
  if (size_ == capacity_) {
    const std::uint32_t grown = 2 * capacity_;
    auto* fresh = static_cast<VarId*>(::operator new (std::size_t{grown} * sizeof(VarId)));
    std::memcpy(fresh, data(), std::size_t{size_} * sizeof(VarId));
    release();
    heap_ = fresh;
    capacity_ = grown;
  }
  VarId* d = data();
  std::memmove(d + offset + 1, d + offset, (size_ - offset) * sizeof(VarId));
  d[offset] = v;
  ++size_;
}

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
  lists_[static_cast<std::size_t>(u)].insert(v);
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
