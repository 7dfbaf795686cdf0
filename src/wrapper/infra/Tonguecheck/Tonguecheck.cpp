// Language services: offline detection with lingua, translation and
// detection through the online translation service (googletrans).
#include "tonguecheck.hpp"

#include <string>

#include "pyutil.hpp"

namespace tonguecheck {

py::module_& self() { return wr::this_module(); }

namespace {

// googletrans's Translator, imported on first use (PEP 562): only
// translation and service detection need it, and importing it (httpx with
// it) costs a tenth of a second of every command's start-up.
py::object module_getattr(py::str name) {
    if (name.cast<std::string>() != "Translator")
        wr::raise(PyExc_AttributeError,
                  {"module 'wrapper.infra.Tonguecheck' has no attribute '", name, "'"});
    py::object translator = wr::import_attr("googletrans", "Translator");
    self().attr("Translator") = translator;
    return translator;
}

}  // namespace

}  // namespace tonguecheck

namespace py = pybind11;

PYBIND11_MODULE(Tonguecheck, m) {
    tonguecheck::self() = m;

    // Loading depends on each of these, in this order; nothing is built here.
    m.attr("Wordwash") = wr::import("wrapper.infra.Wordwash");
    m.def("__getattr__", &tonguecheck::module_getattr, py::arg("name"));  // Translator
    // Nothing calls it; importing it keeps loading dependent on the module.
    m.attr("fix_word") = wr::import_attr("wrapper.infra.Spellmend", "fix_word");
    m.attr("traceback") = wr::import("traceback");
    m.attr("time") = wr::import("time");
    m.attr("logging") = wr::import("logging");
    m.attr("Language") = wr::import_attr("lingua", "Language");
    m.attr("LanguageDetectorBuilder") = wr::import_attr("lingua", "LanguageDetectorBuilder");
    m.attr("Idiomark") = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");

    // The translation service's endpoints, the global one first, then one
    // regional; the only place they are named. Read at every call.
    py::list urls;
    urls.append("translate.google.com");
    urls.append("translate.google.com.br");
    m.attr("SERVICE_URLS") = urls;

    tonguecheck::init_detect(m);
    tonguecheck::init_translate(m);
}
