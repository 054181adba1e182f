#include "api/wrapper.hpp"

#include <algorithm>
#include <limits>
#include <optional>

#include "identification/shpitser.hpp"
#include "utils/panic.hpp"
#include "utils/thread_cache.hpp"

namespace zeph::api {

using form::Form;
using form::NamedForm;
using Kind = Form::Kind;

VarId ModelWrapper::get_or_add_var(std::string_view name) {
  if (VarId known = names_.find(name); known >= 0) return known;
  if (names_.size() >= static_cast<std::size_t>(std::numeric_limits<VarId>::max())) {
    throw QueryError("too many variables");
  }
  VarId id = names_.add(name);
  builder_.directed.nodes.insert(id);
  builder_.bidirected.nodes.insert(id);
  return id;
}

void ModelWrapper::load_edges(const std::vector<NamePair>& d_edges,
                              const std::vector<NamePair>& b_edges) {
  names_.reserve(names_.size() + d_edges.size() + b_edges.size() + 1);
  // Room for the entries of small graphs at once; large ones grow as they go.
  const std::size_t room = std::min<std::size_t>(2 * (d_edges.size() + b_edges.size()), 1024);
  builder_.directed.edges.reserve(room);
  builder_.bidirected.edges.reserve(room);
  for (const auto& [a, b] : d_edges) {
    VarId ia = get_or_add_var(a);
    VarId ib = get_or_add_var(b);
    // The map runs from child to parents: a is recorded as a parent of b.
    builder_.directed.add_edge(ib, ia);
  }
  for (const auto& [a, b] : b_edges) {
    VarId ia = get_or_add_var(a);
    VarId ib = get_or_add_var(b);
    builder_.bidirected.add_edge(ia, ib);
  }
}

namespace {

VarSet translate(const NameTable& table, const NameSet& names) {
  VarSet out;
  for (const auto& name : names) {
    VarId id = table.find(name);
    if (id < 0) throw Panic("Variable " + name + " not found");
    out.insert(id);
  }
  return out;
}

}  // namespace

ReverseTable ModelWrapper::reverse_table() const {
  return names_.names();
}

IDResult ModelWrapper::answer(const Query& q) {
  return IDResult{to_json(shpitser::id(q.model, q.outcomes, q.interventions), q.names)};
}

IDResult ModelWrapper::id(const NameSet& outcomes, const NameSet& interventions,
                          const NameSet& conditioning) const& {
  StackGuard::Scope stack_bound;
  return answer(check(outcomes, interventions, conditioning, builder_));
}

IDResult ModelWrapper::id(const NameSet& outcomes, const NameSet& interventions,
                          const NameSet& conditioning) && {
  StackGuard::Scope stack_bound;
  return answer(check(outcomes, interventions, conditioning, std::move(builder_)));
}

IDResult ModelWrapper::id(const std::vector<NamePair>& d_edges,
                          const std::vector<NamePair>& b_edges, const NameSet& outcomes,
                          const NameSet& interventions, const NameSet& conditioning) {
  StackGuard::Scope stack_bound;
  return answer(prepare(d_edges, b_edges, outcomes, interventions, conditioning));
}

Query ModelWrapper::prepare(const NameSet& outcomes, const NameSet& interventions,
                            const NameSet& conditioning) const& {
  return check(outcomes, interventions, conditioning, builder_);
}

Query ModelWrapper::prepare(const NameSet& outcomes, const NameSet& interventions,
                            const NameSet& conditioning) && {
  return check(outcomes, interventions, conditioning, std::move(builder_));
}

void check_acyclic(const graph::DiGraph& g, const ReverseTable& names) {
  std::vector<VarId> cycle = g.find_cycle();
  if (cycle.empty()) return;
  std::string text = "d_edges contain a directed cycle: ";
  for (std::size_t i = 0; i < cycle.size(); ++i) {
    if (i) text += " -> ";
    text += names[static_cast<std::size_t>(cycle[i])];
  }
  throw QueryError(text);
}

ModelWrapper::Roles ModelWrapper::roles(const NameTable& table, const NameSet& outcomes,
                                        const NameSet& interventions, const NameSet& conditioning) {
  Roles r{translate(table, outcomes), translate(table, interventions),
          translate(table, conditioning)};
  const std::pair<const VarSet*, const VarSet*> clashes[] = {
      {&r.y, &r.x}, {&r.y, &r.z}, {&r.x, &r.z}};
  const char* kinds[] = {"an outcome and an intervention", "an outcome and a conditioning variable",
                         "an intervention and a conditioning variable"};
  for (std::size_t i = 0; i < 3; ++i) {
    VarSet both = set_utils::intersection(*clashes[i].first, *clashes[i].second);
    if (!both.empty()) {
      throw QueryError("Variable " + table.names()[static_cast<std::size_t>(both.front())] +
                       " cannot be both " + kinds[i]);
    }
  }
  return r;
}

model::Model ModelWrapper::build(model::ModelBuilder builder, const ReverseTable& names) {
  model::Model model = std::move(builder).to_model();
  check_acyclic(model.digraph, names);
  return model;
}

Query ModelWrapper::check(const NameSet& outcomes, const NameSet& interventions,
                          const NameSet& conditioning, model::ModelBuilder builder) const {
  Roles r = roles(names_, outcomes, interventions, conditioning);
  ReverseTable names = reverse_table();
  model::Model conditioned = build(std::move(builder), names).cond(r.z);
  return Query{std::move(conditioned), std::move(r.y), std::move(r.x), std::move(names)};
}

namespace {

// The graph of a thread's last request, while it is small: its edge lists as given, their names
// and their model (acyclic, conditioning on nothing).
struct LastGraph {
  std::vector<NamePair> d_edges;
  std::vector<NamePair> b_edges;
  NameTable names;
  std::optional<model::Model> model;
};

// Graphs of up to this many edges are kept: past it, building the model is a small part of a call.
constexpr std::size_t kKeptEdges = 256;

}  // namespace

Query ModelWrapper::prepare(const std::vector<NamePair>& d_edges,
                            const std::vector<NamePair>& b_edges, const NameSet& outcomes,
                            const NameSet& interventions, const NameSet& conditioning) {
  const bool small = d_edges.size() + b_edges.size() <= kKeptEdges;
  LastGraph* last = small ? thread_cache<LastGraph>() : nullptr;
  if (last != nullptr && last->model && last->d_edges == d_edges && last->b_edges == b_edges) {
    Roles r = roles(last->names, outcomes, interventions, conditioning);
    return Query{last->model->cond(r.z), std::move(r.y), std::move(r.x), last->names.names()};
  }
  ModelWrapper wrapper;
  wrapper.load_edges(d_edges, b_edges);
  Roles r = roles(wrapper.names_, outcomes, interventions, conditioning);
  ReverseTable names = wrapper.reverse_table();
  model::Model model = build(std::move(wrapper.builder_), names);
  if (last != nullptr) {
    // Only a graph that passed every check is kept, and only whole: one that cannot be copied
    // leaves nothing kept.
    try {
      last->d_edges = d_edges;
      last->b_edges = b_edges;
      last->names = wrapper.names_;
      last->model = model;
    } catch (const std::bad_alloc&) {
      last->model.reset();  // the answer does not need it
    }
  }
  return Query{model.cond(r.z), std::move(r.y), std::move(r.x), std::move(names)};
}

namespace {

const Name& name_of(const ReverseTable& names, VarId v) {
  if (v < 0 || static_cast<std::size_t>(v) >= names.size()) throw Panic("no entry found for key");
  return names[static_cast<std::size_t>(v)];
}

void write_escaped(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t plain = 0;  // start of the run of characters written as they are
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"':
        out.append("\\\"", 2);
        break;
      case '\\':
        out.append("\\\\", 2);
        break;
      case '\n':
        out.append("\\n", 2);
        break;
      case '\t':
        out.append("\\t", 2);
        break;
      case '\r':
        out.append("\\r", 2);
        break;
      case '\b':
        out.append("\\b", 2);
        break;
      case '\f':
        out.append("\\f", 2);
        break;
      default: {
        const char code[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(code, sizeof code);
      }
    }
  }
  out.append(s.data() + plain, s.size() - plain);
}

// Writes a form over ids or over names; `name` turns one variable into its text. With
// `kListed`, a Marginal's "sub" holds one string per summed name instead of one joined string.
template <bool kListed = false, class V, class NameFn>
void write_form(std::string& out, const form::AbstractForm<V>& f, const NameFn& name,
                const formula::SourceLabels* labels = nullptr) {
  StackGuard::check();
  using K = typename form::AbstractForm<V>::Kind;
  auto write_list = [&](const form::VarList<V>& vars) {
    bool first = true;
    for (const auto& v : vars) {
      if (!first) out += ", ";
      first = false;
      out += '"';
      write_escaped(out, name(v));
      out += '"';
    }
  };
  switch (f.kind()) {
    case K::Hedge:
      out += "{\"type\": \"Hedge\"}";
      return;
    case K::P:
      out += "{\"type\": \"P\", \"vars\": [";
      write_list(form::as_p(f).vars);
      out += "], \"given\": [";
      write_list(form::as_p(f).given);
      out += ']';
      if constexpr (std::is_same_v<V, VarId>) {
        const std::int32_t source = form::as_p(f).source;
        if (labels && source > 0 && static_cast<std::size_t>(source) < labels->size()) {
          const formula::SourceLabel& label = (*labels)[static_cast<std::size_t>(source)];
          if (!label.fixed.empty()) {
            out += ", \"do\": [";
            write_list(form::VarList<VarId>(label.fixed));
            out += ']';
          }
          if (!label.domain.empty()) {
            out += ", \"domain\": \"";
            write_escaped(out, label.domain);
            out += '"';
          }
        }
      }
      out += '}';
      return;
    case K::Quotient:
      out += "{\"type\": \"Quotient\", \"numer\": ";
      write_form<kListed>(out, form::as_quotient(f).numer, name, labels);
      out += ", \"denom\": ";
      write_form<kListed>(out, form::as_quotient(f).denom, name, labels);
      out += '}';
      return;
    case K::Product: {
      out += "{\"type\": \"Product\", \"exprs\": [";
      bool first = true;
      for (const auto& e : form::as_product(f).exprs) {
        if (!first) out += ", ";
        first = false;
        write_form<kListed>(out, e, name, labels);
      }
      out += "]}";
      return;
    }
    case K::Marginal: {
      // All summed names in one string, joined by ", ", in ascending order of their ids; or,
      // listed, one string each in that order.
      out += "{\"type\": \"Marginal\", \"sub\": [\"";
      bool first = true;
      for (const auto& v : form::as_marginal(f).sub) {
        if (!first) out += kListed ? "\", \"" : ", ";
        first = false;
        write_escaped(out, name(v));
      }
      out += "\"], \"exp\": ";
      write_form<kListed>(out, form::as_marginal(f).exp, name, labels);
      out += '}';
      return;
    }
  }
}

NamedForm substitute_rec(const Form& f, const ReverseTable& names) {
  StackGuard::check();
  switch (f.kind()) {
    case Kind::Marginal: {
      std::vector<Name> sub;
      for (VarId v : form::as_marginal(f).sub) sub.push_back(name_of(names, v));
      return form::marginal<Name>(std::move(sub), substitute_rec(form::as_marginal(f).exp, names));
    }
    case Kind::Product: {
      std::vector<NamedForm> exprs;
      for (const auto& e : form::as_product(f).exprs) exprs.push_back(substitute_rec(e, names));
      return form::product<Name>(std::move(exprs));
    }
    case Kind::Quotient:
      return form::quotient<Name>(substitute_rec(form::as_quotient(f).numer, names),
                                  substitute_rec(form::as_quotient(f).denom, names));
    case Kind::P: {
      std::vector<Name> vars;
      std::vector<Name> given;
      for (VarId v : form::as_p(f).vars) vars.push_back(name_of(names, v));
      for (VarId v : form::as_p(f).given) given.push_back(name_of(names, v));
      return form::p<Name>(std::move(vars), std::move(given));
    }
    case Kind::Hedge:
      break;
  }
  return form::hedge<Name>();
}

}  // namespace

namespace form_sub {
NamedForm substitute(const Form& form, const ReverseTable& names) {
  return substitute_rec(form, names);
}
}  // namespace form_sub

std::string to_json(const NamedForm& form) {
  std::string out;
  write_form(out, form, [](const Name& n) -> const Name& { return n; });
  return out;
}

std::string to_json(const Form& form, const ReverseTable& names) {
  std::string out;
  out.reserve(1024);  // room for most answers of everyday graphs
  write_form(out, form, [&](VarId v) -> const Name& { return name_of(names, v); });
  return out;
}

std::string to_json_listed(const Form& form, const ReverseTable& names,
                           const formula::SourceLabels* labels) {
  std::string out;
  out.reserve(1024);  // room for most answers of everyday graphs
  write_form<true>(
      out, form, [&](VarId v) -> const Name& { return name_of(names, v); }, labels);
  return out;
}

}  // namespace zeph::api
