// The PDF document: text by OCR first (falling back to the file's own text),
// then the shared feature pipeline of File.
#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace py = pybind11;

namespace {

void init(py::object doc, py::object base_path, py::object is_detect_language,
          py::object translate_to) {
    wr::this_module().attr("File").attr("__init__")(doc, base_path, is_detect_language, translate_to);
}

void create_features(py::object doc, py::object path) {
    // Every PDF counts as OCR'd, whichever reader ends up giving the text.
    doc.attr("ocr") = true;
    doc.attr("text") =
        wr::this_module().attr("Pagewring").attr("extract_text_from_pdf")(path, doc.attr("base_path"));
    // The pages that text came from, so hits can name the page they matched.
    // Asked of the module itself: a stand-in reader records no pages.
    doc.attr("pages") = wr::import_attr("wrapper.infra.Pagewring", "_pages_of")(doc.attr("text"));
    doc.attr("create_features_base")(path);
}

}  // namespace

PYBIND11_MODULE(PDF, m) {
    wr::this_module() = m;
    py::object File = wr::import_attr("wrapper.core.File", "File");
    m.attr("File") = File;
    m.attr("Pagewring") = wr::import("wrapper.infra.Pagewring");
    m.attr("Idiomark") = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");

    py::object cls = wr::make_class(m, "PDF", {{"objects", py::list()}, {"pages", py::none()}}, py::make_tuple(File));
    wr::def_init(cls, &init, py::arg("base_path"), py::arg("is_detect_language") = false,
                 py::arg("translate_to") = py::none());
    wr::def_method(cls, "create_features", &create_features, py::arg("path"));
}
