#include "ocrdocument.hpp"

#include <string>

#include "pyutil.hpp"

namespace wr {

void define_ocr_document(py::module_& m, const char* name, const char* reader,
                         const char* detector_module, const char* detector) {
    this_module() = m;
    py::object File = import_attr("wrapper.core.File", "File");
    m.attr("File") = File;
    m.attr("Pagewring") = import("wrapper.infra.Pagewring");
    m.attr(detector_module) = import((std::string("wrapper.infra.") + detector_module).c_str());

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
    def_method(cls, "detect_objects",
               [module = std::string(detector_module), detector = std::string(detector)](
                   py::object doc) -> py::object {
                   py::object path = doc.attr("path");
                   if (path.is_none())
                       raise_exception({"no file to detect objects in: call create_features "
                                        "first"});
                   return this_module().attr(module.c_str()).attr(detector.c_str())(path);
               });
}

}  // namespace wr
