// The readable form at the boundary, shared by formula and the functions that answer with one.
#pragma once

#include <string>

#include "api/boundary.hpp"
#include "formula/write.hpp"

namespace zeph::api::py {

enum class Style { Json, Text, Latex };

// The style argument: absent means JSON; a str must be one of the three names.
bool extract_style(PyObject* obj, Style& out);

// The readable formula written in `style`; `visible` holds the query's own variables, `labels`
// the sources of terms other than observational ones.
std::string write_formula(const form::Form& readable, const ReverseTable& names,
                          const VarSet& visible, Style style,
                          const formula::SourceLabels* labels = nullptr);

}  // namespace zeph::api::py
