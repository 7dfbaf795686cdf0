// The video document: text by OCR of the video, then File's feature pipeline.
#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace py = pybind11;

namespace {

void create_features(py::object doc, py::object path) {
    doc.attr("ocr") = true;
    doc.attr("text") = wr::this_module().attr("Pagewring").attr("extract_text_from_video")(path);
    doc.attr("create_features_base")(path);
}

}  // namespace

PYBIND11_MODULE(Video, m) {
    wr::this_module() = m;
    py::object File = wr::import_attr("wrapper.core.File", "File");
    m.attr("File") = File;
    m.attr("Pagewring") = wr::import("wrapper.infra.Pagewring");

    // Construction is File's own: base path, detection flag, target language.
    py::object cls = wr::make_class(m, "Video", {}, py::make_tuple(File));
    wr::def_method(cls, "create_features", &create_features, py::arg("path"));
}
