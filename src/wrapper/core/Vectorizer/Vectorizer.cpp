// Persistence of one named model under a directory, in joblib's format.
#include <pybind11/pybind11.h>

#include "atomicfile.hpp"
#include "pyutil.hpp"

namespace py = pybind11;

namespace {

// Read from the module at call time, so a host or a test that patches one of
// these names is honoured.
py::object attr(const char* name) { return wr::this_module().attr(name); }

void init(py::object model, py::object path, py::object corpus_name) {
    model.attr("corpus_name") = corpus_name;
    model.attr("path") = path;
    model.attr("model_filename") = attr("os").attr("path").attr("join")(path, corpus_name);
    py::object directory = attr("os").attr("path").attr("dirname")(model.attr("model_filename"));
    attr("os").attr("makedirs")(directory, py::arg("exist_ok") = true);
}

void encode(py::object /*model*/, py::object /*file*/) {}

void load_model(py::object model) {
    py::object filename = model.attr("model_filename");
    wr::log_debug({"loading model ", filename});
    if (!wr::truthy(attr("os").attr("path").attr("exists")(filename))) return;
    model.attr("model") = attr("joblib").attr("load")(filename);
    wr::log_debug({"loaded model ", filename});
}

void save_model(py::object self_, py::object model) {
    py::object filename = self_.attr("model_filename");
    wr::log_debug({"saving model ", filename});
    self_.attr("model") = model;
    // Written beside the old file, flushed and renamed over it: a failed or
    // interrupted dump leaves the previous model readable instead of a
    // truncated file.
    wr::replace_file_with(filename, [&](py::handle tmp) { attr("joblib").attr("dump")(model, tmp); });
}

}  // namespace

PYBIND11_MODULE(Vectorizer, m) {
    wr::this_module() = m;
    // Loading depends on each of these; nothing is built here.
    m.attr("File") = wr::import_attr("wrapper.core.File", "File");
    m.attr("joblib") = wr::import("joblib");
    m.attr("os") = wr::import("os");
    m.attr("logging") = wr::import("logging");

    py::object cls = wr::make_class(m, "Vectorizer", {{"model", py::none()}});
    wr::def_init(cls, &init, py::arg("path"), py::arg("corpus_name"));
    wr::def_method(cls, "encode", &encode, py::arg("file"));
    wr::def_method(cls, "load_model", &load_model);
    wr::def_method(cls, "save_model", &save_model, py::arg("model"));
}
