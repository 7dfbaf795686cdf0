// Pieces of the term-weighting engine shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace finderytd {

namespace py = pybind11;

// Collaborators bound into this module (TfidfVectorizer, cosine_similarity,
// joblib, os, Tonguecheck, ...) are read from it at call time, so a host or a
// test that patches one is honoured.
inline py::object attr(const char* name) { return wr::this_module().attr(name); }
// Wordwash's stemming function as bound into this module when it loaded.
py::object& stemming_bound_at_import();
// cosine_similarity as bound into this module when it loaded: search computes
// the same scores itself only while that one is in place.
py::object& cosine_bound_at_import();
// Likewise TfidfVectorizer and the transformer class it fits: search computes
// a query's row itself only for a vectoriser of exactly these classes.
py::object& tfidf_bound_at_import();
py::object& tfidf_transformer_bound_at_import();
py::object& tfidf_transform_bound_at_import();  // TfidfVectorizer.transform

// Training and persistence: train_model, load_model.
void init_training(py::handle cls);
// Search and query correction: search_documents, correct_query.
void init_search(py::handle cls);

}  // namespace finderytd
