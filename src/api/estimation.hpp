// What estimate and effect share at the boundary: identifying and reducing the query, the
// bootstrap's arguments, reading and counting the data, and building the result's columns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/data_input.hpp"
#include "estimate/bootstrap.hpp"
#include "estimate/plugin.hpp"

namespace zeph::api::py {

// id's checks and answer, reduced as zeph.formula reduces it; a QueryError where the effect is
// not identifiable ("P(Y | do(X)) is not identifiable ..."), never a Hedge.
struct Identified {
  form::Form formula = form::hedge<VarId>();
  ReverseTable names;
};
Identified identify(const QueryArgs& q);

// Names in the caller's order, each once.
void add_unique(std::vector<std::string>& out, const NameSet& names);
// The result's keys: the interventions, then the conditioning variables, then the outcomes.
std::vector<std::string> result_keys(const QueryArgs& q);

// The bootstrap's arguments. `on`: an interval was asked for (ci not None).
struct Sampling {
  bool on = false;
  double level = 0.95;
  std::size_t replicates = 2000;
  std::uint64_t seed = 0;
};
// Reads ci (absent: `default_ci`, NaN for None), replicates and seed (absent: 2000 and 0), with
// their messages; seed None draws 64 bits from the operating system (os.urandom).
bool extract_sampling(PyObject* ci, double default_ci, PyObject* replicates, PyObject* seed,
                      Sampling& out);
// The weights argument: None (or absent) or a str; `name` is set and `out` points to it for a str.
bool extract_weights(PyObject* arg, std::string& name, const std::string*& out);

// The data read and counted for the formula: the plug-in over the result's keys, and the values
// of the columns read (the keys first, in the order of `keys`).
struct Counted {
  Input input;
  std::unique_ptr<estimate::PlugIn> plugin;
};
// Reads the columns that the keys and the formula need from `data` and counts them (the lock
// released). With `counts`, the weights must be whole numbers (the bootstrap resamples units).
Counted count_data(const Identified& found, const std::vector<std::string>& keys,
                   std::size_t context, PyObject* data, const std::string* weights,
                   const std::string& weights_name, const char* reader, bool counts);

// The formula at every row of the result, on the data's own counts (the lock released).
void evaluate_data(const estimate::PlugIn& plugin, std::vector<double>& out);

// Replicates of the plug-in with the given statistic, on the threads the process may use.
estimate::Replicates run_bootstrap(const estimate::PlugIn& plugin, std::size_t statistics,
                                   const estimate::Statistic& statistic, const Sampling& sampling);

// The RuntimeWarning of rows that lost replicates; false with an exception set when the warning
// was turned into an error.
bool warn_lost_replicates(const estimate::Intervals& intervals, const char* what);

// A list of `rows` values of key i: value codes[(r / block) % codes.size()] at row r.
PyObject* key_column(const Input& input, std::size_t i, const std::vector<data::Code>& codes,
                     std::size_t rows, std::size_t block);
// A list of floats.
PyObject* float_list(const std::vector<double>& values);

// Sets ValueError from a DataError's message.
void raise_data_error(const data::DataError& e);

}  // namespace zeph::api::py
