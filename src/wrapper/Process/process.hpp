// Pieces of the facade shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

namespace process {

namespace py = pybind11;

// Keeps the pages of documents the engine has just filed (Pagekeep), so that
// hits can show where they matched. A failure is logged, not raised: the
// document is in the index already, and its hits then say to index it again.
void keep_pages(py::handle proc, py::handle docs);

// Drops the kept pages of documents removed from the index. Like keeping,
// a failure is logged: the index is already right, and a stale page store
// is only read for ids the index still names.
void forget_pages(py::handle proc, py::handle ids);

// What Process.search settled for its last query, for passages() to reuse.
void remember_query(py::handle proc, py::handle query, py::handle detected_language,
                    py::handle language, py::handle settled_query, py::handle result);

// Process.passages.
void init_passages(py::handle cls);

}  // namespace process
