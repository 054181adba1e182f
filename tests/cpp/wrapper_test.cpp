#include "api/wrapper.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utils/panic.hpp"

namespace {

using zeph::VarId;
using zeph::VarSet;
using zeph::api::ModelWrapper;
using zeph::api::NamePair;
using zeph::api::NameSet;
using zeph::form::NamedForm;
namespace api = zeph::api;
namespace form = zeph::form;

ModelWrapper wrapper(const std::vector<NamePair>& d, const std::vector<NamePair>& b = {}) {
  ModelWrapper w = ModelWrapper::new_();
  w.load_edges(d, b);
  return w;
}

// The message of the failure of a query, with a tag for its kind.
std::string failure(const ModelWrapper& w, const NameSet& outcomes, const NameSet& interventions,
                    const NameSet& conditioning) {
  try {
    return "answer: " + w.id(outcomes, interventions, conditioning).json;
  } catch (const api::QueryError& e) {
    return std::string("QueryError: ") + e.what();
  } catch (const zeph::Panic& e) {
    return std::string("Panic: ") + e.what();
  }
}

TEST(ModelWrapper, NumbersNamesInOrderOfFirstSight) {
  ModelWrapper w = wrapper({{"A", "B"}, {"B", "C"}}, {{"C", "D"}});
  ASSERT_EQ(w.size(), 4U);
  EXPECT_EQ(w.get_or_add_var("A"), 0);
  EXPECT_EQ(w.get_or_add_var("B"), 1);
  EXPECT_EQ(w.get_or_add_var("C"), 2);
  EXPECT_EQ(w.get_or_add_var("D"), 3);
  EXPECT_EQ(w.size(), 4U);
  // Every name is a node of both graphs, whichever kind of edge named it.
  EXPECT_EQ(w.builder().directed.nodes.to_vector(), (std::vector<VarId>{0, 1, 2, 3}));
  EXPECT_EQ(w.builder().bidirected.nodes.to_vector(), (std::vector<VarId>{0, 1, 2, 3}));
  EXPECT_EQ(w.builder().directed.edges.to_string(), "{1: {0}, 2: {1}}");
  EXPECT_EQ(w.builder().bidirected.edges.to_string(), "{2: {3}}");
  EXPECT_EQ(w.get_or_add_var("E"), 4);
  EXPECT_TRUE(w.builder().directed.nodes.contains(4));
  EXPECT_TRUE(w.builder().bidirected.nodes.contains(4));

  // The cause is recorded as a parent of the effect, whatever the order of first sight.
  ModelWrapper r = wrapper({{"B", "A"}, {"B", "A"}});
  EXPECT_EQ(r.get_or_add_var("B"), 0);
  EXPECT_EQ(r.size(), 2U);
  EXPECT_EQ(r.builder().directed.edges.to_string(), "{1: {0}}");
  // Names are compared byte for byte.
  ModelWrapper c = wrapper({{"x", "X"}, {"X ", "x"}});
  EXPECT_EQ(c.size(), 3U);
}

// The index of names grows past its first size, with or without room made for it first; names
// that share a prefix, or hash alike, stay apart.
TEST(NameTable, GrowsAndFinds) {
  for (std::size_t room : {0, 1, 5000}) {
    api::NameTable t;
    t.reserve(room);
    EXPECT_EQ(t.find("V0"), -1);
    for (int i = 0; i < 3000; ++i) {
      const std::string name = "V" + std::to_string(i);
      ASSERT_EQ(t.find(name), -1) << name;
      ASSERT_EQ(t.add(name), i);
    }
    t.add(std::string("V\0", 2));
    EXPECT_EQ(t.size(), 3001U);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(t.find("V" + std::to_string(i)), i);
    EXPECT_EQ(t.find(std::string("V\0", 2)), 3000);
    EXPECT_EQ(t.find("V"), -1);
    EXPECT_EQ(t.find("V3000"), -1);
    EXPECT_EQ(t.names()[1234], "V1234");
  }
}

TEST(ModelWrapper, MissingNames) {
  const ModelWrapper w = wrapper({{"X", "Y"}}, {{"Y", "Q"}});
  struct Case {
    NameSet outcomes, interventions, conditioning;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"Y", "W", "V"}, {}, {}, "Panic: Variable W not found"},
      {{"Y"}, {"R", "S"}, {"T"}, "Panic: Variable R not found"},
      {{"A"}, {"B"}, {}, "Panic: Variable A not found"},
      {{"Y"}, {"X"}, {"T", "Y"}, "Panic: Variable T not found"},
      {{"Y", "W"}, {"Y"}, {}, "Panic: Variable W not found"},  // before the roles check
      {{"y"}, {}, {}, "Panic: Variable y not found"},
      // A name of the bidirected edges only is a variable like any other.
      {{"Q"}, {"X"}, {}, R"(answer: {"type": "P", "vars": ["Q"], "given": []})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(failure(w, c.outcomes, c.interventions, c.conditioning), c.expected);
  }
  EXPECT_EQ(failure(wrapper({}), {"Y"}, {}, {}), "Panic: Variable Y not found");
}

// Messages carry names whole, even past a NUL character.
TEST(ModelWrapper, NamesWithNulInMessages) {
  const std::string a("a\0b", 3);
  const ModelWrapper w = wrapper({{a, "Y"}});
  try {
    w.id({"Y"}, {std::string("q\0r", 3)}, {});
    ADD_FAILURE() << "no failure";
  } catch (const zeph::Panic& e) {
    EXPECT_EQ(e.message(), "Variable " + std::string("q\0r", 3) + " not found");
  }
  try {
    w.id({a}, {a}, {});
    ADD_FAILURE() << "no failure";
  } catch (const api::QueryError& e) {
    EXPECT_EQ(e.message(), "Variable " + a + " cannot be both an outcome and an intervention");
  }
  EXPECT_EQ(w.id({"Y"}, {a}, {}).json,
            R"({"type": "Quotient", "numer": {"type": "P", "vars": ["a\u0000b", "Y"], )"
            R"("given": []}, "denom": {"type": "P", "vars": ["a\u0000b"], "given": []}})");
}

TEST(ModelWrapper, RolesAndCycles) {
  struct Case {
    std::vector<NamePair> d;
    NameSet outcomes, interventions, conditioning;
    std::string expected;
  };
  const std::vector<NamePair> abc = {{"A", "B"}, {"B", "C"}};
  const std::string q = "QueryError: Variable ";
  const std::string cycle = "QueryError: d_edges contain a directed cycle: ";
  const std::vector<Case> cases = {
      // The variable with the smallest id is named.
      {abc, {"C", "B"}, {"B", "C"}, {}, q + "B cannot be both an outcome and an intervention"},
      {abc, {"C"}, {"C"}, {"C"}, q + "C cannot be both an outcome and an intervention"},
      {abc,
       {"A"},
       {"C"},
       {"C", "A"},
       q + "A cannot be both an outcome and a conditioning variable"},
      {abc,
       {"A"},
       {"B"},
       {"B"},
       q + "B cannot be both an intervention and a conditioning variable"},
      {abc,
       {"B", "B"},
       {"A", "A"},
       {},
       R"(answer: {"type": "Quotient", "numer": {"type": "P", "vars": ["A", "B"], "given": []}, )"
       R"("denom": {"type": "P", "vars": ["A"], "given": []}})"},
      {{{"X", "X"}, {"X", "Y"}}, {"Y"}, {"X"}, {}, cycle + "X -> X"},
      {{{"X", "Y"}, {"A", "B"}, {"B", "A"}}, {"Y"}, {"X"}, {}, cycle + "A -> B -> A"},
      {{{"X", "Y"}, {"A", "B"}, {"B", "C"}, {"C", "B"}}, {"Y"}, {"X"}, {}, cycle + "B -> C -> B"},
      {{{"X", "A"}, {"A", "B"}, {"B", "X"}, {"X", "Y"}}, {"Y"}, {}, {}, cycle + "X -> A -> B -> X"},
      // Roles are checked before the graph.
      {{{"X", "X"}, {"X", "Y"}},
       {"X"},
       {"X"},
       {},
       q + "X cannot be both an outcome and an intervention"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(failure(wrapper(c.d), c.outcomes, c.interventions, c.conditioning), c.expected);
  }
}

TEST(ModelWrapper, EndToEnd) {
  const ModelWrapper xy = wrapper({{"X", "Y"}});
  EXPECT_EQ(xy.id({"Y"}, {"X"}, {}).json,
            R"({"type": "Quotient", "numer": {"type": "P", "vars": ["X", "Y"], "given": []}, )"
            R"("denom": {"type": "P", "vars": ["X"], "given": []}})");
  EXPECT_EQ(xy.id({"Y"}, {}, {}).json, R"({"type": "P", "vars": ["Y"], "given": []})");
  // The wrapper is only read: the same edges answer again.
  EXPECT_EQ(xy.size(), 2U);
  EXPECT_EQ(xy.builder().directed.edges.to_string(), "{1: {0}}");
  EXPECT_EQ(xy.id({"Y"}, {"X"}, {}).json, xy.id({"Y"}, {"X"}, {}).json);

  EXPECT_EQ(wrapper({{"X", "Y"}}, {{"X", "Y"}}).id({"Y"}, {"X"}, {}).json, R"({"type": "Hedge"})");
  // A bidirected self-loop confounds nothing.
  EXPECT_EQ(wrapper({{"X", "Y"}}, {{"X", "X"}}).id({"Y"}, {"X"}, {}).json,
            xy.id({"Y"}, {"X"}, {}).json);

  EXPECT_EQ(
      wrapper({{"X", "Y"}, {"Z", "Y"}}).id({"Y"}, {"X"}, {"Z"}).json,
      R"({"type": "Quotient", "numer": {"type": "Product", "exprs": [{"type": "P", "vars": )"
      R"(["X", "Y", "Z"], "given": []}, {"type": "P", "vars": ["Z"], "given": []}]}, "denom": )"
      R"({"type": "Product", "exprs": [{"type": "Marginal", "sub": ["Y"], "exp": {"type": )"
      R"("Quotient", "numer": {"type": "Product", "exprs": [{"type": "P", "vars": ["X", "Y", )"
      R"("Z"], "given": []}, {"type": "P", "vars": ["Z"], "given": []}]}, "denom": {"type": )"
      R"("P", "vars": ["X", "Z"], "given": []}}}, {"type": "P", "vars": ["X", "Z"], "given": )"
      R"([]}]}})");
}

NamedForm P(std::vector<std::string> vars, std::vector<std::string> given = {}) {
  return form::p<std::string>(std::move(vars), std::move(given));
}

TEST(Json, Variants) {
  const std::vector<std::pair<NamedForm, std::string>> cases = {
      {form::hedge<std::string>(), R"({"type": "Hedge"})"},
      {P({}), R"({"type": "P", "vars": [], "given": []})"},
      {P({"A", "B", "A"}, {"C"}), R"({"type": "P", "vars": ["A", "B", "A"], "given": ["C"]})"},
      {form::product<std::string>({}), R"({"type": "Product", "exprs": []})"},
      {form::product<std::string>({P({"A"}), form::hedge<std::string>()}),
       R"({"type": "Product", "exprs": [{"type": "P", "vars": ["A"], "given": []}, )"
       R"({"type": "Hedge"}]})"},
      {form::marginal<std::string>({}, P({"A"})),
       R"({"type": "Marginal", "sub": [""], "exp": {"type": "P", "vars": ["A"], "given": []}})"},
      {form::marginal<std::string>({"Z", "W"}, P({})),
       R"({"type": "Marginal", "sub": ["Z, W"], "exp": {"type": "P", "vars": [], "given": []}})"},
      {form::quotient<std::string>(P({"A", "B"}),
                                   form::marginal<std::string>({"A"}, P({"A", "B"}))),
       R"({"type": "Quotient", "numer": {"type": "P", "vars": ["A", "B"], "given": []}, )"
       R"("denom": {"type": "Marginal", "sub": ["A"], "exp": {"type": "P", "vars": ["A", "B"], )"
       R"("given": []}}})"},
  };
  for (const auto& [f, expected] : cases) EXPECT_EQ(api::to_json(f), expected);
  EXPECT_EQ(api::to_json(form::hedge<std::string>()).size(), 17U);
}

// Every name becomes a JSON string that decodes back to exactly that name.
TEST(Json, Escaping) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain name_1", "plain name_1"},
      {"it's (x)", "it's (x)"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\\\"", "\\\\\\\""},
      {"a\nb", "a\\nb"},
      {"\t", "\\t"},
      {"\r", "\\r"},
      {"\b", "\\b"},
      {"\f", "\\f"},
      {std::string("a\0b", 3), "a\\u0000b"},
      {"\x01", "\\u0001"},
      {"\x0b", "\\u000b"},
      {"\x1b", "\\u001b"},
      {"\x1f", "\\u001f"},
      {"\x7f", "\x7f"},
      {"Größe", "Größe"},
      {"e\u0301", "e\u0301"},    // combining mark
      {"a\u00a0b", "a\u00a0b"},  // no-break space
      {"\u2028\u200b", "\u2028\u200b"},
      {"\U0001F600", "\U0001F600"},
  };
  for (const auto& [name, escaped] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(api::to_json(P({name}, {name})),
              R"({"type": "P", "vars": [")" + escaped + R"("], "given": [")" + escaped + R"("]})");
  }
  for (int c = 0; c < 0x20; ++c) {
    const std::string out = api::to_json(P({std::string(1, static_cast<char>(c))}));
    for (unsigned char ch : out) EXPECT_GE(ch, 0x20) << "raw control character " << c;
  }
  // Answers and names past the writer's first room: a name escaped to six times its length, and
  // a product of many terms.
  std::string wide_escaped;
  for (int i = 0; i < 3000; ++i) wide_escaped += "\\u0001";
  EXPECT_EQ(api::to_json(P({std::string(3000, '\x01'), "b"})),
            R"({"type": "P", "vars": [")" + wide_escaped + R"(", "b"], "given": []})");
  std::vector<form::NamedForm> terms;
  std::string listed;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "v\"" + std::to_string(i);
    terms.push_back(P({name}));
    listed += std::string(i ? ", " : "") + R"({"type": "P", "vars": ["v\")" + std::to_string(i) +
              R"("], "given": []})";
  }
  EXPECT_EQ(api::to_json(form::product<std::string>(std::move(terms))),
            R"({"type": "Product", "exprs": [)" + listed + "]}");
  // The names of a sum are joined first and the joined text is escaped as a whole.
  EXPECT_EQ(api::to_json(form::marginal<std::string>({"a\"b", "c\\d"}, form::hedge<std::string>())),
            R"({"type": "Marginal", "sub": ["a\"b, c\\d"], "exp": {"type": "Hedge"}})");
}

TEST(Json, Substitute) {
  using zeph::form::Form;
  const api::ReverseTable names = {"A", "B\"", "C"};
  const Form f =
      form::quotient<VarId>(form::marginal<VarId>(VarSet{2, 0}, form::p<VarId>({1, 1}, {0})),
                            form::product<VarId>({form::hedge<VarId>(), form::unit<VarId>()}));
  const NamedForm named = api::form_sub::substitute(f, names);
  const auto& q = form::as_quotient(named);
  // The names of a sum in ascending order of their ids; lists element by element.
  EXPECT_EQ(form::as_marginal(q.numer).sub, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(form::as_p(form::as_marginal(q.numer).exp).vars,
            (std::vector<std::string>{"B\"", "B\""}));
  EXPECT_EQ(form::as_p(form::as_marginal(q.numer).exp).given, (std::vector<std::string>{"A"}));
  EXPECT_EQ(form::as_product(q.denom).exprs.size(), 2U);
  const std::string expected =
      R"({"type": "Quotient", "numer": {"type": "Marginal", "sub": ["A, C"], "exp": {"type": )"
      R"("P", "vars": ["B\"", "B\""], "given": ["A"]}}, "denom": {"type": "Product", "exprs": )"
      R"([{"type": "Hedge"}, {"type": "P", "vars": [], "given": []}]}})";
  EXPECT_EQ(api::to_json(named), expected);
  EXPECT_EQ(api::to_json(f, names), expected);

  const Form stray = form::p<VarId>({3}, {});
  for (auto call :
       {+[](const Form&g, const api::ReverseTable&t) { api::form_sub::substitute(g, t); },
        +[](const Form&g, const api::ReverseTable&t) { api::to_json(g, t); }}) {
    try {
      call(stray, names);
      ADD_FAILURE() << "no failure";
    } catch (const zeph::Panic& e) {
      EXPECT_STREQ(e.what(), "no entry found for key");
    }
  }
}

}  // namespace
