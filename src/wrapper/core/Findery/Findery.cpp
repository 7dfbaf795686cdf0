// The engine base class: the names of the engine operations, and the
// human-readable dump that both engines write next to their model file.
#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace py = pybind11;

namespace {

py::object enum_as_value(py::object obj) {
    // Engines keep a document's language as an enumeration member; the dump
    // shows its value ("pt") instead of failing after the model file has
    // already been replaced. Anything else unserialisable fails as json
    // itself would.
    if (py::isinstance(obj, wr::import_attr("enum", "Enum"))) return obj.attr("value");
    wr::raise(PyExc_TypeError, {"Object of type ", py::type::of(obj).attr("__name__"),
                                " is not JSON serializable"});
}

void save_debug_json(py::object /*self*/, py::object dc, py::object debug_file) {
    py::object now = wr::import_attr("datetime", "datetime").attr("now")();
    dc["updated_at"] = py::str(now);
    py::object text = wr::import_attr("json", "dumps")(
        dc, py::arg("indent") = 4, py::arg("default") = py::cpp_function(&enum_as_value));
    // Serialising first means a failure leaves an existing dump untouched;
    // the write itself replaces the file atomically.
    std::string path = wr::import_attr("os", "fsencode")(debug_file).cast<std::string>();
    std::string data = text.attr("encode")("ascii").cast<std::string>();
    wr::write_file_atomic(path, data);
}

}  // namespace

PYBIND11_MODULE(Findery, m) {
    m.attr("json") = wr::import("json");
    m.attr("datetime") = wr::import("datetime");

    py::object cls = wr::make_class(m, "Findery", {});
    wr::def_init(cls, [](py::object) {});
    wr::def_method(cls, "train_model", [](py::object) {});
    wr::def_method(cls, "save_model", [](py::object) {});
    wr::def_method(cls, "load_model", [](py::object) {});
    wr::def_method(cls, "search_documents", [](py::object) {});
    wr::def_method(cls, "save_debug_json", &save_debug_json, py::arg("dc"),
                   py::arg("debug_file"));
}
