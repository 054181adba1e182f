#include "estimate/plugin.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <span>
#include <sstream>
#include <unordered_map>

#include "utils/memory.hpp"
#include "utils/panic.hpp"
#include "utils/stack_guard.hpp"

namespace zeph::estimate {

using form::Form;
using Kind = Form::Kind;

namespace {

void p_terms(const Form& f, std::vector<const form::P<VarId>*>& out) {
  StackGuard::check();
  switch (f.kind()) {
    case Kind::Marginal:
      return p_terms(form::as_marginal(f).exp, out);
    case Kind::Product:
      for (const auto& e : form::as_product(f).exprs) p_terms(e, out);
      return;
    case Kind::Quotient:
      p_terms(form::as_quotient(f).numer, out);
      return p_terms(form::as_quotient(f).denom, out);
    case Kind::P:
      out.push_back(&form::as_p(f));
      return;
    case Kind::Hedge:
      return;
  }
}

std::vector<VarId> ascending(const VarSet& s) {
  return s.to_vector();
}

}  // namespace

VarSet mentioned(const Form& form) {
  std::vector<const form::P<VarId>*> terms;
  p_terms(form, terms);
  VarSet out;
  for (const auto* p : terms) {
    for (VarId v : p->vars) out.insert(v);
    for (VarId v : p->given) out.insert(v);
  }
  return out;
}

// ---- The plan ------------------------------------------------------------------------------

namespace {

// The values that `env` (codes by variable id) gives some variables, in their order; on the stack
// for the few variables of most terms.
class Tuple {
 public:
  template <class Vars>
  Tuple(const Vars& vars, const std::vector<Code>& env) {
    const std::size_t n = vars.size();
    if (n > small_.size()) {
      large_.resize(n);
      data_ = large_.data();
    }
    std::size_t i = 0;
    for (VarId v : vars) data_[i++] = env[static_cast<std::size_t>(v)];
  }
  Tuple(const Tuple&) = delete;
  Tuple& operator=(const Tuple&) = delete;
  const Code* data() const noexcept { return data_; }

 private:
  std::array<Code, 16> small_;
  std::vector<Code> large_;
  Code* data_ = small_.data();
};

// The cells of a margin grouped by their values of some of its variables.
class Groups {
 public:
  Groups() = default;
  Groups(const Margin& margin, std::vector<VarId> by) : by_(std::move(by)), index_(by_.size()) {
    std::vector<std::size_t> position;
    for (VarId v : by_) {
      const auto& vars = margin.vars();
      position.push_back(
          static_cast<std::size_t>(std::lower_bound(vars.begin(), vars.end(), v) - vars.begin()));
    }
    std::vector<std::uint32_t> group(margin.size());
    std::vector<Code> tuple(by_.size());
    for (std::uint32_t m = 0; m < margin.size(); ++m) {
      const Code* codes = margin.at(m);
      for (std::size_t i = 0; i < by_.size(); ++i) tuple[i] = codes[position[i]];
      group[m] = index_.insert(tuple.data());
    }
    start_.assign(index_.size() + 1, 0);
    for (std::uint32_t g : group) ++start_[g + 1];
    for (std::size_t g = 0; g < index_.size(); ++g) start_[g + 1] += start_[g];
    cells_.resize(margin.size());
    std::vector<std::uint32_t> fill(start_.begin(), start_.end() - 1);
    for (std::uint32_t m = 0; m < margin.size(); ++m) cells_[fill[group[m]]++] = m;
  }

  // The margin cells whose values of the grouping variables are those `env` gives them.
  std::span<const std::uint32_t> of(const std::vector<Code>& env) const {
    Tuple tuple(by_, env);
    const std::uint32_t g = index_.find(tuple.data());
    if (g == TupleIndex::kMissing) return {};
    return {cells_.data() + start_[g], start_[g + 1] - start_[g]};
  }

 private:
  std::vector<VarId> by_;
  TupleIndex index_;
  std::vector<std::uint32_t> start_;
  std::vector<std::uint32_t> cells_;
};

// One level of a sum: the variables it binds, where their candidate values come from, and the
// factors that can be evaluated once they are bound.
struct Step {
  std::vector<VarId> bind;
  // The joint term of a factor P(S | G) with G bound before this level: the cells of its
  // margin that agree with what is bound give every value at which it is not 0 (when n(G) > 0).
  int source = -1;
  int source_given = -1;                   // the margin of G; -1 for the total
  std::vector<std::size_t> bind_position;  // of `bind` in the source margin's variables
  Groups candidates;
  std::vector<int> factors;
};

struct Node {
  Kind kind = Kind::P;
  std::vector<int> children;  // factors of a product or a sum; numerator and denominator
  int joint = -1;             // P: the margin of vars and given
  int given = -1;             // P: the margin of given; -1 for the total
  VarSet free;
  VarSet sum;               // Marginal: the summed variables
  std::vector<int> outer;   // Marginal: factors without a summed variable
  std::vector<Step> steps;  // Marginal
  bool memo = false;        // Marginal: values kept by the values of its free variables
};

}  // namespace

struct PlugIn::Plan {
  std::vector<VarId> keys;
  std::size_t context = 0;
  std::vector<std::vector<Code>> values;
  std::size_t rows = 0;
  std::vector<Code> cardinality;  // by variable id
  Joint joint;
  std::vector<Margin> margins;
  std::map<std::vector<VarId>, int> margin_of;
  std::vector<int> single;  // by variable id: the margin of the variable alone, -1 if none
  std::vector<Node> nodes;
  int root = -1;
  // Free variables beyond the keys, averaged given the context.
  std::vector<VarId> extra;
  int context_margin = -1;  // -1: no context (the total)
  int extra_margin = -1;
  Groups extra_groups;
  std::vector<std::size_t> extra_position;

  int margin(const VarSet& vars) {
    std::vector<VarId> list = ascending(vars);
    auto [it, added] = margin_of.emplace(list, static_cast<int>(margins.size()));
    if (added) margins.emplace_back(joint, std::move(list));
    return it->second;
  }

  int compile(const Form& f);
  void plan_sum(Node& node);
};

int PlugIn::Plan::compile(const Form& f) {
  StackGuard::check();
  Node node;
  node.kind = f.kind();
  switch (f.kind()) {
    case Kind::P: {
      const auto& p = form::as_p(f);
      VarSet given = set_utils::make_set(p.given);
      node.free = set_utils::union_(set_utils::make_set(p.vars), given);
      node.joint = margin(node.free);
      if (!given.empty()) node.given = margin(given);
      break;
    }
    case Kind::Product:
      for (const auto& e : form::as_product(f).exprs) node.children.push_back(compile(e));
      break;
    case Kind::Quotient:
      node.children.push_back(compile(form::as_quotient(f).numer));
      node.children.push_back(compile(form::as_quotient(f).denom));
      break;
    case Kind::Marginal: {
      const auto& m = form::as_marginal(f);
      node.sum = m.sub;
      if (m.exp.kind() == Kind::Product) {
        for (const auto& e : form::as_product(m.exp).exprs) node.children.push_back(compile(e));
      } else {
        node.children.push_back(compile(m.exp));
      }
      node.memo = true;
      break;
    }
    case Kind::Hedge:
      throw Panic("a formula that is not identifiable cannot be evaluated");
  }
  if (node.kind != Kind::P) {
    for (int c : node.children)
      node.free = set_utils::union_(node.free, nodes[static_cast<std::size_t>(c)].free);
    node.free = set_utils::difference(node.free, node.sum);
  }
  if (node.kind == Kind::Marginal) plan_sum(node);
  nodes.push_back(std::move(node));
  return static_cast<int>(nodes.size()) - 1;
}

// Orders the summed variables: at each level, a P factor whose conditioning variables are all
// bound gives the candidates of its unbound variables (the smallest such margin first); a
// variable that no factor can give is visited over all its observed values.
void PlugIn::Plan::plan_sum(Node& node) {
  VarSet bound = node.free;
  VarSet unbound = node.sum;
  std::vector<bool> placed(node.children.size(), false);
  auto take_ready = [&](std::vector<int>& out) {
    // P terms first: they are cheap, and a 0 among them spares the rest.
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t i = 0; i < node.children.size(); ++i) {
        const Node& f = nodes[static_cast<std::size_t>(node.children[i])];
        if (placed[i] || (f.kind == Kind::P) != (pass == 0) || !f.free.is_subset(bound)) continue;
        placed[i] = true;
        out.push_back(node.children[i]);
      }
    }
  };
  take_ready(node.outer);
  while (!unbound.empty()) {
    Step step;
    int best = -1;
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      const Node& f = nodes[static_cast<std::size_t>(node.children[i])];
      if (placed[i] || f.kind != Kind::P) continue;
      const VarSet given =
          f.given < 0 ? VarSet()
                      : set_utils::make_set(margins[static_cast<std::size_t>(f.given)].vars());
      if (!given.is_subset(bound) || set_utils::intersection(f.free, unbound).empty()) continue;
      if (best < 0 ||
          margins[static_cast<std::size_t>(f.joint)].size() <
              margins[static_cast<std::size_t>(nodes[static_cast<std::size_t>(best)].joint)]
                  .size()) {
        best = node.children[i];
      }
    }
    if (best >= 0) {
      const Node& f = nodes[static_cast<std::size_t>(best)];
      const Margin& source = margins[static_cast<std::size_t>(f.joint)];
      step.bind = ascending(set_utils::intersection(f.free, unbound));
      step.source = f.joint;
      step.source_given = f.given;
      for (VarId v : step.bind) {
        step.bind_position.push_back(static_cast<std::size_t>(
            std::lower_bound(source.vars().begin(), source.vars().end(), v) -
            source.vars().begin()));
      }
      step.candidates = Groups(source, ascending(set_utils::intersection(f.free, bound)));
    } else {
      step.bind = {unbound.front()};
    }
    for (VarId v : step.bind) {
      bound.insert(v);
      unbound.erase(v);
    }
    take_ready(step.factors);
    node.steps.push_back(std::move(step));
  }
}

struct PlugIn::Scratch {
  std::vector<std::vector<double>> margin_weight;
  double total = 0;
  std::vector<Code> env;
  std::vector<TupleIndex> memo_index;
  std::vector<std::vector<double>> memo_value;
};

namespace {

// One evaluation over the plan, with the weights of one scratch.
class Evaluator {
 public:
  Evaluator(const PlugIn::Plan& plan, PlugIn::Scratch& s) : plan_(plan), s_(s) {}

  double count(int margin) const {
    if (margin < 0) return s_.total;
    const std::uint32_t m = plan_.margins[static_cast<std::size_t>(margin)].find(s_.env);
    return m == Margin::kMissing ? 0.0 : s_.margin_weight[static_cast<std::size_t>(margin)][m];
  }

  bool observed(VarId v, Code c) const {
    const int m = plan_.single[static_cast<std::size_t>(v)];
    return s_.margin_weight[static_cast<std::size_t>(m)][c] > 0;
  }

  double value(int n) {
    const Node& node = plan_.nodes[static_cast<std::size_t>(n)];
    switch (node.kind) {
      case Kind::P:
        return count(node.joint) / count(node.given);
      case Kind::Quotient:
        return value(node.children[0]) / value(node.children[1]);
      case Kind::Product: {
        double p = 1;
        for (int c : node.children) {
          const double v = value(c);
          if (v == 0) return 0;
          p *= v;
        }
        return p;
      }
      case Kind::Marginal:
        return node.memo && n != plan_.root ? remembered(n, node) : sum(node);
      case Kind::Hedge:
        break;
    }
    return std::nan("");
  }

 private:
  double remembered(int n, const Node& node) {
    TupleIndex& index = s_.memo_index[static_cast<std::size_t>(n)];
    std::vector<double>& values = s_.memo_value[static_cast<std::size_t>(n)];
    Tuple tuple(node.free, s_.env);
    const std::uint32_t at = index.insert(tuple.data());
    if (at < values.size()) return values[at];
    const double v = sum(node);
    values.push_back(v);
    return v;
  }

  double sum(const Node& node) {
    StackGuard::check();
    // The summed variables may shadow bound ones of the same id: keep what the caller had.
    std::vector<Code> saved;
    for (VarId v : node.sum) saved.push_back(s_.env[static_cast<std::size_t>(v)]);
    double p = 1;
    bool zero = false;
    for (int f : node.outer) {
      const double v = value(f);
      if (v == 0) {
        zero = true;
        break;
      }
      p *= v;
    }
    double total = 0;
    if (!zero && !enumerate(node, 0, p, total)) total = std::nan("");
    if (zero) total = 0;
    std::size_t i = 0;
    for (VarId v : node.sum) s_.env[static_cast<std::size_t>(v)] = saved[i++];
    return total;
  }

  // Adds the terms of levels `level` on; false as soon as one is NaN (the sum is NaN).
  bool enumerate(const Node& node, std::size_t level, double p, double& total) {
    if (level == node.steps.size()) {
      if (std::isnan(p)) return false;
      total += p;
      return true;
    }
    const Step& step = node.steps[level];
    auto visit = [&]() {
      double q = p;
      for (int f : step.factors) {
        const double v = value(f);
        if (v == 0) return true;
        q *= v;
      }
      return enumerate(node, level + 1, q, total);
    };
    if (step.source >= 0 && count(step.source_given) > 0) {
      const Margin& source = plan_.margins[static_cast<std::size_t>(step.source)];
      const std::vector<double>& weight = s_.margin_weight[static_cast<std::size_t>(step.source)];
      for (std::uint32_t m : step.candidates.of(s_.env)) {
        if (!(weight[m] > 0)) continue;
        const Code* codes = source.at(m);
        for (std::size_t k = 0; k < step.bind.size(); ++k) {
          s_.env[static_cast<std::size_t>(step.bind[k])] = codes[step.bind_position[k]];
        }
        if (!visit()) return false;
      }
      return true;
    }
    // No factor gives the candidates (or the one that would divides by 0 here): every
    // observed value.
    return each_value(step.bind, 0, visit);
  }

  template <class Visit>
  bool each_value(const std::vector<VarId>& vars, std::size_t k, Visit& visit) {
    if (k == vars.size()) return visit();
    const VarId v = vars[k];
    const Code n = plan_.cardinality[static_cast<std::size_t>(v)];
    for (Code c = 0; c < n; ++c) {
      if (!observed(v, c)) continue;
      s_.env[static_cast<std::size_t>(v)] = c;
      if (!each_value(vars, k + 1, visit)) return false;
    }
    return true;
  }

  const PlugIn::Plan& plan_;
  PlugIn::Scratch& s_;
};

}  // namespace

// ---- PlugIn --------------------------------------------------------------------------------

PlugIn::PlugIn(const Form& formula, std::vector<VarId> keys, std::size_t context, Data data)
    : plan_(std::make_unique<Plan>()) {
  Plan& plan = *plan_;
  plan.keys = std::move(keys);
  plan.context = context;
  std::vector<std::vector<Code>> kept = prepare(data);

  // One row per combination of the keys' observed values.
  double product = 1;
  std::string factors;
  for (std::size_t i = 0; i < plan.keys.size(); ++i) {
    std::size_t dim = data.columns[static_cast<std::size_t>(plan.keys[i])].cardinality;
    product *= static_cast<double>(dim);
    if (i) factors += " x ";
    factors +=
        std::to_string(dim) + " (" + data.names[static_cast<std::size_t>(plan.keys[i])] + ")";
  }
  if (product > static_cast<double>(kMaxResultRows)) {
    std::ostringstream n;
    n.precision(0);
    n << std::fixed << product;
    throw DataError("the result would have " + n.str() + " rows (" + factors +
                    " observed values), more than the limit of 10,000,000");
  }
  plan.rows = static_cast<std::size_t>(product);

  VarSet key_set = set_utils::make_set(plan.keys);
  VarSet context_set = set_utils::make_set(std::span<const VarId>(plan.keys.data(), context));
  VarSet extra = set_utils::difference(form::free(formula), key_set);
  VarSet read = set_utils::union_(mentioned(formula), key_set);
  plan.cardinality.assign(data.columns.size(), 0);
  for (VarId v : read) {
    plan.cardinality[static_cast<std::size_t>(v)] =
        data.columns[static_cast<std::size_t>(v)].cardinality;
    if (plan.cardinality[static_cast<std::size_t>(v)] == 0)
      throw Panic("no column read for a variable of the formula");
  }
  auto names_of = [&](const VarSet& vars) {
    std::string text;
    for (VarId v : vars)
      text += (text.empty() ? "" : ", ") + data.names[static_cast<std::size_t>(v)];
    return text;
  };
  plan.joint = while_building(
      [&] {
        return "counting the combinations of values of " + names_of(read) + " in " +
               std::to_string(data.rows) + " rows";
      },
      [&] { return group_rows(data, ascending(read)); });
  const std::string read_names = names_of(read);
  data = Data();  // the rows are counted: free them before the margins are made

  while_building(
      [&] {
        return "counting the terms of the formula over " + std::to_string(plan.joint.size) +
               " combinations of values of " + read_names;
      },
      [&] {
        plan.single.assign(plan.cardinality.size(), -1);
        for (VarId v : read) plan.single[static_cast<std::size_t>(v)] = plan.margin(VarSet{v});
        plan.root = plan.compile(formula);
      });
  plan.extra = ascending(extra);
  if (!extra.empty()) {
    if (!context_set.empty()) plan.context_margin = plan.margin(context_set);
    plan.extra_margin = plan.margin(set_utils::union_(extra, context_set));
    const Margin& m = plan.margins[static_cast<std::size_t>(plan.extra_margin)];
    plan.extra_groups = Groups(m, ascending(context_set));
    for (VarId v : plan.extra) {
      plan.extra_position.push_back(static_cast<std::size_t>(
          std::lower_bound(m.vars().begin(), m.vars().end(), v) - m.vars().begin()));
    }
  }
  for (VarId k : plan.keys) plan.values.push_back(std::move(kept[static_cast<std::size_t>(k)]));
}

PlugIn::~PlugIn() = default;
PlugIn::PlugIn(PlugIn&&) noexcept = default;
PlugIn& PlugIn::operator=(PlugIn&&) noexcept = default;

std::size_t PlugIn::rows() const noexcept {
  return plan_->rows;
}
const std::vector<std::vector<Code>>& PlugIn::values() const noexcept {
  return plan_->values;
}
const Joint& PlugIn::joint() const noexcept {
  return plan_->joint;
}

void PlugIn::ScratchDeleter::operator()(Scratch* s) const noexcept {
  delete s;
}

PlugIn::ScratchPtr PlugIn::scratch() const {
  ScratchPtr s(new Scratch());
  s->margin_weight.resize(plan_->margins.size());
  s->env.assign(plan_->cardinality.size(), 0);
  s->memo_value.resize(plan_->nodes.size());
  for (const Node& n : plan_->nodes) s->memo_index.emplace_back(n.free.size());
  return s;
}

void PlugIn::evaluate(const std::vector<double>& cell_weight, std::vector<double>& out,
                      Scratch& s) const {
  const Plan& plan = *plan_;
  for (std::size_t m = 0; m < plan.margins.size(); ++m) {
    plan.margins[m].sum(cell_weight, s.margin_weight[m]);
  }
  s.total = 0;
  for (double w : cell_weight) s.total += w;
  for (std::size_t n = 0; n < plan.nodes.size(); ++n) {
    s.memo_index[n].clear();
    s.memo_value[n].clear();
  }
  Evaluator evaluator(plan, s);
  out.assign(plan.rows, std::nan(""));
  const std::size_t width = plan.keys.size();
  std::vector<Code> digit(width, 0);
  for (std::size_t r = 0; r < plan.rows; ++r) {
    if (r > 0) {
      for (std::size_t k = width; k-- > 0;) {
        if (++digit[k] < plan.values[k].size()) break;
        digit[k] = 0;
      }
    }
    bool present = true;
    for (std::size_t k = 0; k < width; ++k) {
      s.env[static_cast<std::size_t>(plan.keys[k])] = digit[k];
      present = present && evaluator.observed(plan.keys[k], digit[k]);
    }
    if (!present) continue;
    if (plan.extra.empty()) {
      out[r] = evaluator.value(plan.root);
      continue;
    }
    const double seen = evaluator.count(plan.context_margin);
    if (!(seen > 0)) continue;
    const Margin& m = plan.margins[static_cast<std::size_t>(plan.extra_margin)];
    const std::vector<double>& weight =
        s.margin_weight[static_cast<std::size_t>(plan.extra_margin)];
    double total = 0;
    for (std::uint32_t cell : plan.extra_groups.of(s.env)) {
      if (!(weight[cell] > 0)) continue;
      const Code* codes = m.at(cell);
      for (std::size_t k = 0; k < plan.extra.size(); ++k) {
        s.env[static_cast<std::size_t>(plan.extra[k])] = codes[plan.extra_position[k]];
      }
      const double v = evaluator.value(plan.root);
      if (v == 0) continue;
      total += (weight[cell] / seen) * v;
      if (std::isnan(total)) break;
    }
    out[r] = total;
  }
}

Estimate plug_in(const Form& formula, const std::vector<VarId>& keys, std::size_t context,
                 Data data) {
  PlugIn plan(formula, keys, context, std::move(data));
  Estimate result;
  while_building(
      [&] {
        return "evaluating the formula at the " + std::to_string(plan.rows()) +
               " rows of the result";
      },
      [&] {
        auto scratch = plan.scratch();
        plan.evaluate(plan.joint().weight, result.probability, *scratch);
      });
  result.values = plan.values();
  return result;
}

}  // namespace zeph::estimate
