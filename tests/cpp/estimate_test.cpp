#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "data/columns.hpp"
#include "estimate/bootstrap.hpp"
#include "estimate/plugin.hpp"
#include "form/form.hpp"

namespace {

using zeph::VarId;
using zeph::VarSet;
using zeph::data::Code;
using zeph::data::Column;
using zeph::data::DataError;
using zeph::data::StringCoder;
using zeph::data::ValueCoder;
using zeph::estimate::Data;
using zeph::estimate::plug_in;
using zeph::form::Form;
namespace form = zeph::form;

template <class Coder, class K>
std::vector<Code> code_all(Coder& coder, const std::vector<K>& values) {
  for (const auto& v : values) coder.mark(v);
  coder.finish();
  std::vector<Code> out;
  for (const auto& v : values) out.push_back(coder.code(v));
  return out;
}

TEST(ValueCoder, NumbersValuesInAscendingOrderWithAndWithoutATable) {
  std::vector<std::int64_t> values{7, -3, 7, 0};
  ValueCoder<std::int64_t> dense;
  dense.set_range(-3, 7);
  EXPECT_TRUE(dense.dense());
  EXPECT_EQ(code_all(dense, values), (std::vector<Code>{2, 0, 2, 1}));
  EXPECT_EQ(dense.values(), (std::vector<std::int64_t>{-3, 0, 7}));

  std::vector<std::int64_t> wide{INT64_MAX, INT64_MIN, 0, INT64_MAX};
  ValueCoder<std::int64_t> hashed;
  hashed.set_range(INT64_MIN, INT64_MAX);
  EXPECT_FALSE(hashed.dense());
  EXPECT_EQ(code_all(hashed, wide), (std::vector<Code>{2, 0, 1, 2}));

  ValueCoder<double> floats;
  EXPECT_EQ(code_all(floats, std::vector<double>{0.5, -0.0, 0.0}), (std::vector<Code>{1, 0, 0}));

  StringCoder strings;
  EXPECT_EQ(code_all(strings, std::vector<std::string>{"b", "\xc3\xa9", "a", "b"}),
            (std::vector<Code>{1, 2, 0, 1}));
}

TEST(Columns, ValuesSeenOnlyWithWeightZeroAreDropped) {
  Column c{zeph::data::Codes{0, 1, 2, 1, 0}, 3};
  std::vector<Code> kept = zeph::data::drop_unweighted(c, {1, 0, 2, 0, 1});
  EXPECT_EQ(kept, (std::vector<Code>{0, 2}));
  EXPECT_EQ(c.cardinality, 2u);
  EXPECT_EQ(c.codes, (zeph::data::Codes{0, 0, 1, 0, 0}));
}

// Variables 0 = X, 1 = M, 2 = Y.
Data front_door_data(const std::vector<Code>& x, const std::vector<Code>& m,
                     const std::vector<Code>& y, Code kx, Code km, Code ky) {
  Data d;
  d.rows = x.size();
  auto column = [](const std::vector<Code>& v, Code k) {
    return Column{zeph::data::Codes(v.begin(), v.end()), k};
  };
  d.columns = {column(x, kx), column(m, km), column(y, ky)};
  d.names = {"X", "M", "Y"};
  return d;
}

// sum_m P(m | x) sum_x' P(y | m, x') P(x'), the front-door formula, written as id writes it.
Form front_door() {
  auto p = [](std::vector<VarId> v) { return form::p<VarId>(std::move(v), {}); };
  Form inner = form::marginal<VarId>(
      VarSet{0}, form::quotient<VarId>(form::product<VarId>({p({0}), p({0, 1, 2})}), p({0, 1})));
  return form::marginal<VarId>(
      VarSet{1}, form::quotient<VarId>(form::product<VarId>({inner, p({0, 1})}), p({0})));
}

TEST(PlugIn, FrontDoorByHand) {
  std::vector<Code> x{0, 0, 0, 1, 1, 1, 0, 1};
  std::vector<Code> m{0, 0, 1, 1, 1, 0, 0, 1};
  std::vector<Code> y{0, 1, 0, 1, 1, 0, 0, 1};
  auto n = [&](int xv, int mv, int yv) {
    double c = 0;
    for (std::size_t r = 0; r < x.size(); ++r) {
      if ((xv < 0 || x[r] == Code(xv)) && (mv < 0 || m[r] == Code(mv)) &&
          (yv < 0 || y[r] == Code(yv))) {
        ++c;
      }
    }
    return c;
  };
  auto result = plug_in(front_door(), {0, 2}, 1, front_door_data(x, m, y, 2, 2, 2));
  ASSERT_EQ(result.probability.size(), 4u);
  for (int xv = 0; xv < 2; ++xv) {
    for (int yv = 0; yv < 2; ++yv) {
      double want = 0;
      for (int mv = 0; mv < 2; ++mv) {
        double inner = 0;
        for (int xp = 0; xp < 2; ++xp) inner += n(xp, mv, yv) / n(xp, mv, -1) * n(xp, -1, -1) / 8;
        want += n(xv, mv, -1) / n(xv, -1, -1) * inner;
      }
      EXPECT_NEAR(result.probability[static_cast<std::size_t>(xv * 2 + yv)], want, 1e-12);
    }
  }
}

TEST(PlugIn, AHoleInTheDataIsNaNOnlyWhereItIsNeeded) {
  // X = 1 never occurs with M = 0; X = 1 needs no M = 0 term, X = 0 and X = 2 do.
  auto result =
      plug_in(front_door(), {0, 2}, 1,
              front_door_data({0, 0, 1, 1, 2, 2}, {0, 1, 1, 1, 0, 1}, {0, 1, 1, 0, 1, 0}, 3, 2, 2));
  std::vector<bool> nan;
  for (double p : result.probability) nan.push_back(std::isnan(p));
  EXPECT_EQ(nan, (std::vector<bool>{true, true, false, false, true, true}));
}

TEST(PlugIn, RefusesBadData) {
  auto message = [](Data d) {
    try {
      plug_in(front_door(), {0, 2}, 1, std::move(d));
    } catch (const DataError& e) {
      return e.message();
    }
    return std::string("no error");
  };
  Data weighted = front_door_data({0, 1}, {0, 1}, {0, 1}, 2, 2, 2);
  weighted.weights = {1, -0.5};
  weighted.weights_name = "w";
  EXPECT_EQ(message(weighted),
            "weights column 'w' holds -0.5 at row 1: weights must be finite and non-negative");
  weighted.weights = {0, 0};
  EXPECT_EQ(message(weighted), "data has no rows: every weight is 0");
  EXPECT_EQ(message(front_door_data({}, {}, {}, 0, 0, 0)), "data has no rows");
  // Weight 0 drops X = 1 and Y = 1 from the result.
  weighted.weights = {1, 0};
  auto result = plug_in(front_door(), {0, 2}, 1, weighted);
  EXPECT_EQ(result.values, (std::vector<std::vector<Code>>{{0}, {0}}));
  EXPECT_EQ(result.probability, (std::vector<double>{1.0}));
}

}  // namespace

namespace {

TEST(Bootstrap, ReplicatesDoNotDependOnTheThreads) {
  std::vector<Code> x, m, y;
  for (int i = 0; i < 300; ++i) {
    x.push_back(static_cast<Code>(i % 2));
    m.push_back(static_cast<Code>((i / 2 + i / 7) % 2));
    y.push_back(static_cast<Code>((i / 3 + i / 5) % 2));
  }
  zeph::estimate::PlugIn plugin(front_door(), {0, 2}, 1, front_door_data(x, m, y, 2, 2, 2));
  auto same = [](const std::vector<double>& rows, std::vector<double>& out) { out = rows; };
  auto one = zeph::estimate::resample(plugin, plugin.rows(), same, 100, 9, 1);
  auto three = zeph::estimate::resample(plugin, plugin.rows(), same, 100, 9, 3);
  EXPECT_EQ(one.values, three.values);
  auto other = zeph::estimate::resample(plugin, plugin.rows(), same, 100, 10, 2);
  EXPECT_NE(one.values, other.values);
  // The intervals hold the estimate and nest by level.
  std::vector<double> estimate;
  plugin.evaluate(plugin.joint().weight, estimate, *plugin.scratch());
  auto wide = zeph::estimate::percentile_intervals(one, estimate, 0.95);
  auto narrow = zeph::estimate::percentile_intervals(one, estimate, 0.5);
  for (std::size_t r = 0; r < estimate.size(); ++r) {
    EXPECT_LE(wide.lower[r], narrow.lower[r]);
    EXPECT_LE(narrow.lower[r], narrow.upper[r]);
    EXPECT_LE(narrow.upper[r], wide.upper[r]);
  }
  EXPECT_EQ(wide.short_rows, 0u);
}

}  // namespace
