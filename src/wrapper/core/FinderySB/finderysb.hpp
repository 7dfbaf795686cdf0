// Pieces of the sentence-embedding engine shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

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

// A new list of the same items, and whether `list` (a list proper) holds
// exactly the objects of `held`, in that order.
py::list copy_of(py::handle list);
bool same_items(const py::list& held, py::handle list);

// What np.inner receives as a key's documents: the list of embeddings as one
// matrix, kept while the list holds the same objects (search.cpp).
py::object document_matrix(py::handle embeddings);

// ---- the inverted lists of large keys (lists.cpp) ---------------------------
// APPROXIMATE_FROM, APPROXIMATE_PROBES and the tests' view.
void init_lists(py::module_& m);
// After the state was read from the file `opened` (open_stored): the lists
// stored beside it, when they were made from that file.
void read_lists(py::handle engine, py::handle opened);
// Under the state's lock, right after it was written: the lists of its
// large keys, beside it.
void write_lists(py::handle engine);
// The rows of ranks [start, stop) for the query's embedding, best first,
// when the key is searched through lists, with the matrix of embeddings they
// were chosen from (the list may change while the lists are searched); none
// when the key is searched exactly.
struct ApproximatePage {
    std::vector<std::int64_t> rows;
    py::object matrix;
};
std::optional<ApproximatePage> approximate_rows(py::handle engine, py::handle key, py::handle embeddings,
                                                py::handle embedding, std::int64_t start, std::int64_t stop);

}  // namespace finderysb
