#include "api/wrapper.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

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

// Appends to a string through a pointer: room is made in large steps, so that a piece of the
// answer costs a copy, not a call into the string. finish() cuts the string to what was written.
class Sink {
 public:
  explicit Sink(std::string& out) : out_(out), used_(out.size()) {
    out_.resize(std::max<std::size_t>(out_.capacity(), used_ + 1024));
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  // Room for `n` more characters, written from the pointer returned; advance() takes the end.
  char* room(std::size_t n) {
    if (out_.size() - used_ < n) grow(n);
    return out_.data() + used_;
  }
  void advance(const char* end) { used_ = static_cast<std::size_t>(end - out_.data()); }
  void put(char c) { *room(1) = c, ++used_; }
  template <std::size_t N>
  void put(const char (&text)[N]) {
    std::memcpy(room(N - 1), text, N - 1);
    used_ += N - 1;
  }
  void put(std::string_view text) {
    std::memcpy(room(text.size()), text.data(), text.size());
    used_ += text.size();
  }
  void finish() { out_.resize(used_); }

 private:
  [[gnu::noinline]] void grow(std::size_t n) { out_.resize(std::max(2 * out_.size(), used_ + n)); }
  std::string& out_;
  std::size_t used_;
};

// A JSON string's characters: quotes, backslashes and control characters escaped.
void write_escaped(Sink& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  char* p = out.room(6 * s.size());  // "\u00XX" at most for each
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != '"' && c != '\\') {
      *p++ = ch;
      continue;
    }
    *p++ = '\\';
    switch (c) {
      case '"':
        *p++ = '"';
        break;
      case '\\':
        *p++ = '\\';
        break;
      case '\n':
        *p++ = 'n';
        break;
      case '\t':
        *p++ = 't';
        break;
      case '\r':
        *p++ = 'r';
        break;
      case '\b':
        *p++ = 'b';
        break;
      case '\f':
        *p++ = 'f';
        break;
      default:
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 15];
    }
  }
  out.advance(p);
}

// Writes a form over ids or over names; `name` turns one variable into its text. With
// `kListed`, a Marginal's "sub" holds one string per summed name instead of one joined string.
template <bool kListed = false, class V, class NameFn>
void write_form(Sink& out, const form::AbstractForm<V>& f, const NameFn& name,
                const formula::SourceLabels* labels = nullptr) {
  StackGuard::check();
  using K = typename form::AbstractForm<V>::Kind;
  auto write_list = [&](const form::VarList<V>& vars) {
    bool first = true;
    for (const auto& v : vars) {
      if (!first) out.put(", ");
      first = false;
      out.put('"');
      write_escaped(out, name(v));
      out.put('"');
    }
  };
  switch (f.kind()) {
    case K::Hedge:
      out.put("{\"type\": \"Hedge\"}");
      return;
    case K::P:
      out.put("{\"type\": \"P\", \"vars\": [");
      write_list(form::as_p(f).vars);
      out.put("], \"given\": [");
      write_list(form::as_p(f).given);
      out.put(']');
      if constexpr (std::is_same_v<V, VarId>) {
        const std::int32_t source = form::as_p(f).source;
        if (labels && source > 0 && static_cast<std::size_t>(source) < labels->size()) {
          const formula::SourceLabel& label = (*labels)[static_cast<std::size_t>(source)];
          if (!label.fixed.empty()) {
            out.put(", \"do\": [");
            write_list(form::VarList<VarId>(label.fixed));
            out.put(']');
          }
          if (!label.domain.empty()) {
            out.put(", \"domain\": \"");
            write_escaped(out, label.domain);
            out.put('"');
          }
        }
      }
      out.put('}');
      return;
    case K::Quotient:
      out.put("{\"type\": \"Quotient\", \"numer\": ");
      write_form<kListed>(out, form::as_quotient(f).numer, name, labels);
      out.put(", \"denom\": ");
      write_form<kListed>(out, form::as_quotient(f).denom, name, labels);
      out.put('}');
      return;
    case K::Product: {
      out.put("{\"type\": \"Product\", \"exprs\": [");
      bool first = true;
      for (const auto& e : form::as_product(f).exprs) {
        if (!first) out.put(", ");
        first = false;
        write_form<kListed>(out, e, name, labels);
      }
      out.put("]}");
      return;
    }
    case K::Marginal: {
      // All summed names in one string, joined by ", ", in ascending order of their ids; or,
      // listed, one string each in that order.
      out.put("{\"type\": \"Marginal\", \"sub\": [\"");
      bool first = true;
      for (const auto& v : form::as_marginal(f).sub) {
        if (!first) out.put(kListed ? std::string_view("\", \"") : std::string_view(", "));
        first = false;
        write_escaped(out, name(v));
      }
      out.put("\"], \"exp\": ");
      write_form<kListed>(out, form::as_marginal(f).exp, name, labels);
      out.put('}');
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
  Sink sink(out);
  write_form(sink, form, [](const Name& n) -> const Name& { return n; });
  sink.finish();
  return out;
}

std::string to_json(const Form& form, const ReverseTable& names) {
  std::string out;
  Sink sink(out);  // with room for most answers of everyday graphs
  write_form(sink, form, [&](VarId v) -> const Name& { return name_of(names, v); });
  sink.finish();
  return out;
}

std::string to_json_listed(const Form& form, const ReverseTable& names,
                           const formula::SourceLabels* labels) {
  std::string out;
  Sink sink(out);
  write_form<true>(
      sink, form, [&](VarId v) -> const Name& { return name_of(names, v); }, labels);
  sink.finish();
  return out;
}

}  // namespace zeph::api
