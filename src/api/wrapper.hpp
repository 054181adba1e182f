#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "form/form.hpp"
#include "formula/write.hpp"
#include "model/model.hpp"

namespace zeph::api {

// A query that is not well formed (a variable in two roles, a cyclic graph): raised in
// Python as ValueError.
class QueryError : public std::runtime_error {
 public:
  explicit QueryError(const std::string& message)
      : std::runtime_error(message), message_(message) {}
  // The whole text: names may hold NUL characters, which what() would cut short.
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

using Name = std::string;
// Hashes names for the table of one request: FNV-1a over the bytes, looked up by string_view
// without building a string. Names are short and many, and the table is built anew per call.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ULL;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

// The names of one request and their ids: the ids number the names in order of first sight, and
// an open-addressed index over them finds a name's id without a node per name.
class NameTable {
 public:
  // The id of `name`, or -1.
  VarId find(std::string_view name) const noexcept {
    if (slots_.empty()) return -1;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash_of(name) & mask;; i = (i + 1) & mask) {
      const std::uint32_t slot = slots_[i];
      if (slot == 0) return -1;
      if (names_[slot - 1] == name) return static_cast<VarId>(slot - 1);
    }
  }
  // Numbers a name that find() does not know.
  VarId add(std::string_view name) {
    if ((names_.size() + 1) * 2 > slots_.size()) {
      rehash(std::max<std::size_t>(16, slots_.size() * 2));
    }
    names_.emplace_back(name);
    place(names_.size() - 1);
    return static_cast<VarId>(names_.size() - 1);
  }
  // An index with room for `n` names in all, and the list with room for as many, up to a few
  // thousand (past that it grows as names come).
  void reserve(std::size_t n) {
    names_.reserve(std::min<std::size_t>(n, 4096));
    std::size_t want = 16;
    while (want < n * 2) want *= 2;
    if (want > slots_.size()) rehash(want);
  }
  std::size_t size() const noexcept { return names_.size(); }
  // Id to name.
  const std::vector<Name>& names() const noexcept { return names_; }

 private:
  static std::size_t hash_of(std::string_view name) noexcept { return NameHash{}(name); }
  void place(std::size_t id) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash_of(names_[id]) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<std::uint32_t>(id + 1);
  }
  void rehash(std::size_t count) {
    slots_.assign(count, 0);
    for (std::size_t id = 0; id < names_.size(); ++id) place(id);
  }

  std::vector<Name> names_;
  std::vector<std::uint32_t> slots_;  // 0 for empty, else id + 1; the count is a power of two
};

using NamePair = std::pair<Name, Name>;
// The names of one role, in the caller's order (repeats allowed; they count once).
using NameSet = std::vector<Name>;
// Variable id to name.
using ReverseTable = std::vector<Name>;

// The JSON text of one identification.
struct IDResult {
  std::string json;
};

// A query that has passed every check: the model conditioned on the query's conditioning
// variables, the outcomes and interventions as ids, and the name of every id.
struct Query {
  model::Model model;
  VarSet outcomes;
  VarSet interventions;
  ReverseTable names;
};

// Serves one request: numbers the names of the edges, collects the edges, and answers a query
// in the caller's names.
class ModelWrapper {
 public:
  static ModelWrapper new_() { return ModelWrapper(); }

  // The id of a name, numbering it (0, 1, 2, ... in order of first sight) if it is new.
  VarId get_or_add_var(std::string_view name);
  // The id of a name, or -1 when no edge has it.
  VarId find(std::string_view name) const { return names_.find(name); }
  // d_edges are (cause, effect) pairs; b_edges unordered pairs.
  void load_edges(const std::vector<NamePair>& d_edges, const std::vector<NamePair>& b_edges);
  // P(outcomes | conditioning, do(interventions)) as JSON text. The wrapper is only read.
  IDResult id(const NameSet& outcomes, const NameSet& interventions,
              const NameSet& conditioning) const&;
  // The same for a wrapper that is used up: its edges move into the model instead of being copied.
  IDResult id(const NameSet& outcomes, const NameSet& interventions,
              const NameSet& conditioning) &&;
  // The same for the graph of two edge lists, through the kept graph of prepare() below.
  static IDResult id(const std::vector<NamePair>& d_edges, const std::vector<NamePair>& b_edges,
                     const NameSet& outcomes, const NameSet& interventions,
                     const NameSet& conditioning);

  // Checks a query as id does, in the same order and with the same messages (a name that occurs
  // in no edge, a variable in two roles, a directed cycle), and returns it ready for the core.
  // The caller opens a StackGuard::Scope first.
  Query prepare(const NameSet& outcomes, const NameSet& interventions,
                const NameSet& conditioning) const&;
  Query prepare(const NameSet& outcomes, const NameSet& interventions,
                const NameSet& conditioning) &&;

  // The same check for the graph of two edge lists, without a wrapper: a thread keeps the names
  // and the model of the last small graph it was given, and the next request with the same
  // edges (a loop of queries over one graph) starts from them instead of building them again.
  static Query prepare(const std::vector<NamePair>& d_edges, const std::vector<NamePair>& b_edges,
                       const NameSet& outcomes, const NameSet& interventions,
                       const NameSet& conditioning);

  const model::ModelBuilder& builder() const noexcept { return builder_; }
  std::size_t size() const noexcept { return names_.size(); }

 private:
  // The three roles as ids, with the message of a name that no edge has or of a variable in two
  // roles.
  struct Roles {
    VarSet y;
    VarSet x;
    VarSet z;
  };
  static Roles roles(const NameTable& table, const NameSet& outcomes, const NameSet& interventions,
                     const NameSet& conditioning);
  // The model of the builder's edges, with the message of a directed cycle.
  static model::Model build(model::ModelBuilder builder, const ReverseTable& names);
  // The answer of a checked query as JSON.
  static IDResult answer(const Query& q);
  Query check(const NameSet& outcomes, const NameSet& interventions, const NameSet& conditioning,
              model::ModelBuilder builder) const;
  ReverseTable reverse_table() const;

  model::ModelBuilder builder_;
  NameTable names_;
};

// QueryError "d_edges contain a directed cycle: A -> B -> A" when g has a directed cycle.
void check_acyclic(const graph::DiGraph& g, const ReverseTable& names);

namespace form_sub {
// The same tree with every id replaced by its name.
form::NamedForm substitute(const form::Form& form, const ReverseTable& names);
}  // namespace form_sub

// One line of JSON; every name is a JSON string that decodes back to exactly that name.
std::string to_json(const form::NamedForm& form);
// The same text straight from an id form.
std::string to_json(const form::Form& form, const ReverseTable& names);
// The same, with each summed name of a Marginal as its own string ("sub": ["M", "W"]).
// Terms of other sources than the observational one carry "do" (the experiment's variables) and
// "domain" (the population's name) after "given".
std::string to_json_listed(const form::Form& form, const ReverseTable& names,
                           const formula::SourceLabels* labels = nullptr);

}  // namespace zeph::api
