#pragma once

#include <utility>
#include <vector>

#include "form/form.hpp"

namespace zeph::utils {

// Cancels the forms two canonically sorted lists have in common, one occurrence from each
// side per match; returns what remains of each, in its order.
std::pair<std::vector<form::Form>, std::vector<form::Form>> remove_duplicates_sorted(
    std::vector<form::Form> first, std::vector<form::Form> second);

}  // namespace zeph::utils
