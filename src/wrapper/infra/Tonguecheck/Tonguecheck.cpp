// Language services: offline detection with lingua, translation and
// detection through the online translation service (googletrans).
#include "tonguecheck.hpp"

#include "pyutil.hpp"

namespace tonguecheck {

py::module_& self() { return wr::this_module(); }

}  // namespace tonguecheck

namespace py = pybind11;

PYBIND11_MODULE(Tonguecheck, m) {
    tonguecheck::self() = m;

    // Loading depends on each of these, in this order; nothing is built here.
    m.attr("Wordwash") = wr::import("wrapper.infra.Wordwash");
    m.attr("Translator") = wr::import_attr("googletrans", "Translator");
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
