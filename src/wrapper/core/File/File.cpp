// The document: one input file turned into the fields the engines index.
#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace py = pybind11;

namespace {

// Sibling modules are reached through this module's attributes at call time,
// so a host (or a test) that replaces one of them is honoured.
py::object infra(const char* name) { return wr::this_module().attr(name); }

void init(py::object doc, py::object base_path, py::object is_detect_language,
          py::object translate_to) {
    doc.attr("base_path") = base_path;
    doc.attr("translate_to") = translate_to;
    doc.attr("is_detect_language") = is_detect_language;
    wr::import_attr("builtins", "print")(base_path);
}

void set_base_path(py::object doc, py::object base_path) { doc.attr("base_path") = base_path; }

void create_features_base(py::object doc, py::object path) {
    doc.attr("path") = path;
    if (!wr::truthy(doc.attr("text")))
        doc.attr("text") = infra("Pagewring").attr("extract_text_from_any")(path);

    if (wr::truthy(doc.attr("text"))) {
        doc.attr("extracted_text") = doc.attr("text");
        py::object translate_to = doc.attr("translate_to");
        if (wr::truthy(doc.attr("is_detect_language")) || wr::truthy(translate_to)) {
            py::object result = infra("Tonguecheck").attr("translate")(
                doc.attr("text"), translate_to, py::arg("fix_text") = doc.attr("ocr"));
            auto parts = wr::unpack(result, 3);
            doc.attr("detected_language") = parts[0];
            py::object translated = parts[1];
            doc.attr("sentences") = parts[2];
            if (wr::truthy(translate_to)) {
                if (!wr::truthy(translated)) {
                    wr::raise_exception({"Text ", doc.attr("text"), " detected lang ",
                                         doc.attr("detected_language"), " not translated to ",
                                         translate_to});
                }
                doc.attr("text") = translated;
            }
        }
        py::object stem = infra("Wordwash").attr("preprocess_text_for_stemmetization");
        py::object result = wr::truthy(doc.attr("is_detect_language"))
                                ? stem(doc.attr("text"), doc.attr("detected_language"))
                                : stem(doc.attr("text"));
        auto parts = wr::unpack(result, 2);
        doc.attr("tokens") = parts[0];
        doc.attr("cleaned_text") = parts[1];
    }
    doc.attr("list_NER")();
}

py::object list_NER(py::object doc) {
    doc.attr("named_entities") = py::none();
    if (wr::truthy(doc.attr("text")))
        doc.attr("named_entities") = infra("extract_named_entities")(doc.attr("text"));
    return doc.attr("named_entities");
}

bool find_token(py::object doc, py::object query_text, py::object lng) {
    py::object result =
        infra("Wordwash").attr("preprocess_text_for_stemmetization")(query_text, lng);
    auto parts = wr::unpack(result, 2);
    py::object tokens = doc.attr("tokens");
    for (py::handle token : parts[0]) {
        int found = PySequence_Contains(tokens.ptr(), token.ptr());
        if (found < 0) throw py::error_already_set();
        if (found) return true;
    }
    return false;
}

}  // namespace

PYBIND11_MODULE(File, m) {
    wr::this_module() = m;
    m.attr("extract_named_entities") =
        wr::import_attr("wrapper.infra.Namepick", "extract_named_entities");
    m.attr("Pagewring") = wr::import("wrapper.infra.Pagewring");
    m.attr("Wordwash") = wr::import("wrapper.infra.Wordwash");
    m.attr("Tonguecheck") = wr::import("wrapper.infra.Tonguecheck");
    py::object Idiomark = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");
    m.attr("Idiomark") = Idiomark;

    py::object str = wr::import_attr("builtins", "str");
    py::dict annotations;
    for (const char* name : {"id", "text", "extracted_text", "text_features", "base_path", "path"})
        annotations[name] = str;
    annotations["detected_language"] = Idiomark;
    annotations["translate_to"] = Idiomark;

    // The list defaults are single objects shared by every document until it
    // is given its own; the class only ever replaces them, never mutates them.
    py::object cls = wr::make_class(m, "File",
                                    {
                                        {"__annotations__", annotations},
                                        {"id", py::none()},
                                        {"text", py::none()},
                                        {"extracted_text", py::none()},
                                        {"tokens", py::list()},
                                        {"sentences", py::list()},
                                        {"cleaned_text", py::none()},
                                        {"text_features", py::none()},
                                        {"base_path", py::none()},
                                        {"path", py::none()},
                                        {"named_entities", py::list()},
                                        {"summary", py::tuple()},
                                        {"detected_language", py::none()},
                                        {"translate_to", py::none()},
                                        {"is_detect_language", py::bool_(false)},
                                        {"ocr", py::bool_(false)},
                                    });
    wr::def_init(cls, &init, py::arg("base_path"), py::arg("is_detect_language") = false,
                 py::arg("translate_to") = py::none());
    wr::def_method(cls, "set_base_path", &set_base_path, py::arg("base_path"));
    wr::def_method(cls, "create_features_base", &create_features_base, py::arg("path"));
    // The default language is looked up once, here.
    wr::def_method(cls, "find_token", &find_token, py::arg("query_text"),
                   py::arg("lng") = Idiomark.attr("PORTUGUESE"));
    wr::def_method(cls, "list_NER", &list_NER);
}
