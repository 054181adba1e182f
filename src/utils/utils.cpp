#include "utils/utils.hpp"

namespace zeph::utils {

std::pair<std::vector<form::Form>, std::vector<form::Form>> remove_duplicates_sorted(
    std::vector<form::Form> first, std::vector<form::Form> second) {
  if (first.empty() || second.empty()) return {std::move(first), std::move(second)};
  std::vector<form::Form> a;
  std::vector<form::Form> b;
  a.reserve(first.size());
  b.reserve(second.size());
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < first.size() && j < second.size()) {
    if (form::eq(first[i], second[j])) {
      ++i;
      ++j;
    } else if (form::do_cmp(first[i], second[j]) == form::Ordering::Less) {
      a.push_back(std::move(first[i++]));
    } else {
      // Greater, and also Equal without structural equality: move on in the second list.
      b.push_back(std::move(second[j++]));
    }
  }
  for (; i < first.size(); ++i) a.push_back(std::move(first[i]));
  for (; j < second.size(); ++j) b.push_back(std::move(second[j]));
  return {std::move(a), std::move(b)};
}

}  // namespace zeph::utils
