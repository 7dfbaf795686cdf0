// Word fixing hook. The language module imports it; nothing calls it yet, so
// it returns the word unchanged.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(Spellmend, m) {
    m.def("fix_word", [](py::object word) { return word; }, py::arg("word"),
          "Return the word unchanged.");
}
