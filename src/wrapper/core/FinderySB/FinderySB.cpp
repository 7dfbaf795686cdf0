// The sentence-embedding search engine: one embedding per document, computed
// by the model of the document's language, and queries ranked by the inner
// product of their embedding with those of one language's documents.
#include "finderysb.hpp"

#include "pyutil.hpp"

namespace finderysb {

namespace {

py::object& engine_class() {
    static py::object* cls = new py::object();  // leaked: outlives the interpreter
    return *cls;
}

void init(py::object engine, py::object base_path, py::object supported_languages) {
    // super() rather than Findery itself, so a host subclass that mixes in
    // another base still runs every constructor of its order.
    wr::import_attr("builtins", "super")(engine_class(), engine).attr("__init__")();
    engine.attr("is_loaded") = py::bool_(false);
    engine.attr("base_path") = base_path;
    // Plain concatenation: the directory is expected without a trailing "/".
    engine.attr("model_filename") = base_path + py::str("/sb_model.pkl");
    engine.attr("debug_model_filename") = base_path + py::str("/debug_sb_model.json");
    engine.attr("multilang_models") = py::dict();
    engine.attr("embedded_documents") = py::dict();
    engine.attr("document_names") = py::dict();
    engine.attr("supported_languages") = supported_languages;
    // Construction already reads the stored state, or creates and saves one.
    engine.attr("load_model")();
}

}  // namespace

}  // namespace finderysb

PYBIND11_MODULE(FinderySB, m) {
    namespace py = pybind11;
    wr::this_module() = m;

    // Loading depends on each of these, in this order; nothing is built here.
    py::object findery = wr::import_attr("wrapper.core.Findery", "Findery");
    m.attr("Findery") = findery;
    m.attr("File") = wr::import_attr("wrapper.core.File", "File");
    m.attr("Phrasecoder") = wr::import_attr("wrapper.core.Phrasecoder", "Phrasecoder");
    m.attr("Idiomark") = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");
    m.attr("Tonguecheck") = wr::import("wrapper.infra.Tonguecheck");
    m.attr("np") = wr::import("numpy");
    // Hits must score above this (0 by default).
    m.attr("SCORE_FLOOR") = py::float_(0.0);
    m.attr("joblib") = wr::import("joblib");
    m.attr("os") = wr::import("os");
    m.attr("logging") = wr::import("logging");

    py::object cls = wr::make_class(m, "FinderySB",
                                    {{"supported_languages", py::bool_(false)},
                                     {"model_main", py::str("main")}},
                                    py::make_tuple(findery));
    finderysb::engine_class() = cls;
    wr::def_init(cls, &finderysb::init, py::arg("base_path"),
                 py::arg("supported_languages") = false);
    finderysb::init_training(cls);
    finderysb::init_search(cls);
    finderysb::init_lists(m);
}
