// Replacing a file that some other library writes (joblib, for instance) so
// that a reader always finds either the old or the new complete file.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace wr {

namespace py = pybind11;

// Calls `write` with the host path (a str) of a fresh sibling of `path` for it
// to create and fill, then flushes that file to disk and renames it over
// `path`. If `write` raises, or anything after it fails, the sibling is
// removed and `path` is left as it was. `path` is anything os.fsencode takes.
void replace_file_with(py::handle path, const std::function<void(py::handle)>& write);

}  // namespace wr
