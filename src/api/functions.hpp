// The functions of the module beyond hello_world and id, one group of them per file of
// src/api/. Each returns the method definition the module registers, kept for the life of the
// process.
#pragma once

#include "api/boundary.hpp"

namespace zeph::api::py {}  // namespace zeph::api::py
