#include "utils/utils.hpp"

namespace zeph::utils {

std::pair<std::vector<form::Form>, std::vector<form::Form>> remove_duplicates_sorted(
    const std::vector<form::Form>& first, const std::vector<form::Form>& second) {
  if (first.empty() || second.empty()) return {first, second};
  std::vector<form::Form> a;
  std::vector<form::Form> b;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < first.size() && j < second.size()) {
    if (form::eq(first[i], second[j])) {
      ++i;
      ++j;
    } else if (form::do_cmp(first[i], second[j]) == form::Ordering::Less) {
      a.push_back(first[i++]);
    } else {
      // Greater, and also Equal without structural equality: move on in the second list.
      b.push_back(second[j++]);
    }
  }
  a.insert(a.end(), first.begin() + static_cast<std::ptrdiff_t>(i), first.end());
  b.insert(b.end(), second.begin() + static_cast<std::ptrdiff_t>(j), second.end());
  return {std::move(a), std::move(b)};
}

}  // namespace zeph::utils
