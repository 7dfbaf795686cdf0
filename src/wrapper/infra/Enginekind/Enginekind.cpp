// The kinds of search engine a Process can be built with.
#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace py = pybind11;

PYBIND11_MODULE(Enginekind, m) {
    m.attr("Enum") = wr::import_attr("enum", "Enum");
    wr::make_enum(m, "Enginekind", {{"SB", py::str("SB")}, {"TD", py::str("TD")}});
}
