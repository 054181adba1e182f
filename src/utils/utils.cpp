#include "utils/utils.hpp"

namespace zeph::utils {

std::pair<std::vector<form::Form>, std::vector<form::Form>> remove_duplicates_sorted(
    std::vector<form::Form> first, std::vector<form::Form> second) {
  // What remains of each list is compacted in place: a kept form moves only to a place the walk
  // has already passed.
  std::size_t i = 0;
  std::size_t j = 0;
  std::size_t a = 0;
  std::size_t b = 0;
  auto keep = [](std::vector<form::Form>& list, std::size_t& to, std::size_t& from) {
    if (to != from) list[to] = std::move(list[from]);
    ++to;
    ++from;
  };
  while (i < first.size() && j < second.size()) {
    if (form::eq(first[i], second[j])) {
      ++i;
      ++j;
    } else if (form::do_cmp(first[i], second[j]) == form::Ordering::Less) {
      keep(first, a, i);
    } else {
      // Greater, and also Equal without structural equality: move on in the second list.
      keep(second, b, j);
    }
  }
  while (i < first.size()) keep(first, a, i);
  while (j < second.size()) keep(second, b, j);
  first.erase(first.begin() + static_cast<std::ptrdiff_t>(a), first.end());
  second.erase(second.begin() + static_cast<std::ptrdiff_t>(b), second.end());
  return {std::move(first), std::move(second)};
}

}  // namespace zeph::utils
