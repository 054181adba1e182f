// The functions of the module beyond hello_world and id, one group of them per file of
// src/api/. Each returns the method definition that the module registers; the definition lives
// for the life of the process.
#pragma once

#include "api/boundary.hpp"

namespace zeph::api::py {

// formula.cpp: the readable form of an answer.
PyMethodDef* formula_def();
// hedge.cpp: the witness of non-identifiability.
PyMethodDef* hedge_def();
// estimate.cpp: the identified effect evaluated on data.
PyMethodDef* estimate_def();
// effect.cpp: the contrast of two interventions.
PyMethodDef* effect_def();
// criteria.cpp: what a graph implies and what to measure.
PyMethodDef* implications_def();
// implication_tests.cpp: the implications tested on data.
PyMethodDef* implication_tests_def();
// adjustment.cpp: what to measure.
PyMethodDef* adjustment_sets_def();
PyMethodDef* is_adjustment_set_def();
PyMethodDef* optimal_adjustment_set_def();
PyMethodDef* instruments_def();
// fusion.cpp: identification from experiments and other populations.
PyMethodDef* gid_def();
PyMethodDef* transport_def();
// graphs.cpp: graphs as people write them.
PyMethodDef* project_latent_def();
PyMethodDef* from_dagitty_def();

}  // namespace zeph::api::py
