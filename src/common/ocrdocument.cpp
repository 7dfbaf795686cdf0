#include "ocrdocument.hpp"

#include <string>

#include "pyutil.hpp"

namespace wr {

void define_ocr_document(py::module_& m, const char* name, const char* reader) {
    this_module() = m;
    py::object File = import_attr("wrapper.core.File", "File");
    m.attr("File") = File;
    m.attr("Pagewring") = import("wrapper.infra.Pagewring");

    py::object cls = make_class(m, name, {}, py::make_tuple(File));
    def_method(
        cls, "create_features",
        [reader = std::string(reader)](py::object doc, py::object path) {
            doc.attr("ocr") = true;
            // Through the module attribute at call time, so a replaced
            // Pagewring is honoured.
            doc.attr("text") = this_module().attr("Pagewring").attr(reader.c_str())(path);
            doc.attr("create_features_base")(path);
        },
        py::arg("path"));
}

}  // namespace wr
