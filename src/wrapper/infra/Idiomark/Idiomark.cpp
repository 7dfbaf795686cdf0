// The document languages of the system and their names in the outside tools.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

#include "pyutil.hpp"

namespace py = pybind11;
using wr::Piece;

namespace {

// The enumeration class, set once when the module loads.
py::object& idiomark() {
    static py::object* cls = new py::object();  // leaked: outlives the interpreter
    return *cls;
}

py::object table(const char* name) { return idiomark().attr(name).attr("value"); }

[[noreturn]] void not_supported(py::handle language) {
    wr::raise(PyExc_ValueError, {"Language ", language, " not supported"});
}

py::object get_language_from_lingua(py::object language) {
    // lingua's class is found once; an import per call would cost more than
    // the comparisons. Kept for the process's life (it must outlive module
    // teardown), made under the GIL-safe once because the import may let
    // another thread take the GIL.
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> lingua_language;
    const py::object& Language =
        lingua_language
            .call_once_and_store_result([] { return wr::import_attr("lingua", "Language"); })
            .get_stored();
    // The lingua member is on the left of each comparison, in this order.
    const std::pair<const char*, const char*> order[] = {
        {"ENGLISH", "ENGLISH"}, {"SPANISH", "SPANISH"}, {"PORTUGUESE", "PORTUGUESE"}};
    for (const auto& [lingua_name, member] : order) {
        if (py::object(Language.attr(lingua_name)).equal(language)) return idiomark().attr(member);
    }
    not_supported(language);
}

py::object get_nltk_language(py::object language) {
    return table("nltk_languages")[language.attr("value")];
}

py::object get_tesseract_language(py::object language) {
    return table("ocrmypdf_languages")[language.attr("value")];
}

py::object reverse_lookup(py::handle code, const char* argname,
                          const std::pair<const char*, const char*> (&order)[3]) {
    wr::require_exact_str(code, argname);
    for (const auto& [key, member] : order) {
        if (py::str(key).equal(code)) return idiomark().attr(member);
    }
    not_supported(code);
}

py::object get_language_from_nltk_language(py::object nltk_language) {
    static const std::pair<const char*, const char*> order[3] = {
        {"pt", "PORTUGUESE"}, {"en", "ENGLISH"}, {"es", "SPANISH"}};
    return reverse_lookup(nltk_language, "nltk_language", order);
}

py::object get_language_from_tesseract_language(py::object ocrmypdf_language) {
    static const std::pair<const char*, const char*> order[3] = {
        {"por", "PORTUGUESE"}, {"eng", "ENGLISH"}, {"spa", "SPANISH"}};
    return reverse_lookup(ocrmypdf_language, "ocrmypdf_language", order);
}

py::dict code_table(const char* pt, const char* en, const char* es) {
    // Key order "pt", "en", "es" is visible to callers that iterate a table.
    py::dict d;
    d["pt"] = pt;
    d["en"] = en;
    d["es"] = es;
    return d;
}

}  // namespace

PYBIND11_MODULE(Idiomark, m) {
    // lingua is part of this module's contract: loading fails without it.
    wr::import_attr("lingua", "Language");

    idiomark() = wr::make_enum(
        m, "Idiomark",
        {
            // The tables come first: as plain values of the enumeration body
            // they become members too, reached as Idiomark.<table>.value.
            {"nltk_languages", code_table("portuguese", "english", "spanish")},
            {"ocrmypdf_languages", code_table("por", "eng", "spa")},
            {"ENGLISH", py::str("en")},
            {"SPANISH", py::str("es")},
            {"PORTUGUESE", py::str("pt")},
        },
        {
            {"get_language_from_lingua",
             py::cpp_function(&get_language_from_lingua, py::name("get_language_from_lingua"),
                              py::arg("language"))},
            {"get_nltk_language",
             py::cpp_function(&get_nltk_language, py::name("get_nltk_language"),
                              py::arg("language"))},
            {"get_language_from_nltk_language",
             py::cpp_function(&get_language_from_nltk_language,
                              py::name("get_language_from_nltk_language"),
                              py::arg("nltk_language"))},
            {"get_tesseract_language",
             py::cpp_function(&get_tesseract_language, py::name("get_tesseract_language"),
                              py::arg("language"))},
            {"get_language_from_tesseract_language",
             py::cpp_function(&get_language_from_tesseract_language,
                              py::name("get_language_from_tesseract_language"),
                              py::arg("ocrmypdf_language"))},
        });
    m.attr("Enum") = wr::import_attr("enum", "Enum");
    m.attr("Language") = wr::import_attr("lingua", "Language");
}
