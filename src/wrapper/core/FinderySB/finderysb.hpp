// Pieces of the sentence-embedding engine shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace finderysb {

namespace py = pybind11;

// Collaborators bound into this module (Phrasecoder, Idiomark, Tonguecheck,
// numpy, joblib, os) are read from it at call time, so a host or a test that
// patches one is honoured.
inline py::object attr(const char* name) { return wr::this_module().attr(name); }

// Training and persistence: load_model, train_model, train_batch, save_model.
void init_training(py::handle cls);
// Search: search_documents.
void init_search(py::handle cls);

}  // namespace finderysb
