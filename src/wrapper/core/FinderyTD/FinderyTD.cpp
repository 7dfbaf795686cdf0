// The term-weighting search engine: TF-IDF vectors of the documents' cleaned
// texts, query correction towards the index's vocabulary, cosine ranking.
#include "finderytd.hpp"

#include "pyutil.hpp"

namespace finderytd {

py::object& stemming_bound_at_import() {
    static py::object* fn = new py::object();  // leaked: outlives the interpreter
    return *fn;
}

py::object& cosine_bound_at_import() {
    static py::object* fn = new py::object();  // leaked, as above
    return *fn;
}

py::object& tfidf_bound_at_import() {
    static py::object* cls = new py::object();  // leaked, as above
    return *cls;
}

py::object& tfidf_transformer_bound_at_import() {
    static py::object* cls = new py::object();  // leaked, as above
    return *cls;
}

py::object& tfidf_transform_bound_at_import() {
    static py::object* fn = new py::object();  // leaked, as above
    return *fn;
}

namespace {

py::object& engine_class() {
    static py::object* cls = new py::object();  // leaked, as above
    return *cls;
}

void init(py::object engine, py::object basepath) {
    // super() rather than Findery itself, so a host subclass that mixes in
    // another base still runs every constructor of its order.
    wr::import_attr("builtins", "super")(engine_class(), engine).attr("__init__")();
    // Plain concatenation: the directory is expected without a trailing "/".
    engine.attr("is_loaded") = py::bool_(false);
    engine.attr("model_filename") = basepath + py::str("/td_model.pkl");
    engine.attr("debug_model_filename") = basepath + py::str("/debug_td_model.json");
    engine.attr("tfidf_vectorizer") = py::none();
    engine.attr("tfidf_matrix") = py::none();
    engine.attr("document_names") = py::list();
    engine.attr("detected_languages") = py::dict();
    engine.attr("cleaned_text") = py::dict();
}

}  // namespace

}  // namespace finderytd

PYBIND11_MODULE(FinderyTD, m) {
    namespace py = pybind11;
    wr::this_module() = m;

    // Loading depends on each of these, in this order; nothing is built here.
    py::object findery = wr::import_attr("wrapper.core.Findery", "Findery");
    m.attr("Findery") = findery;
    m.attr("File") = wr::import_attr("wrapper.core.File", "File");
    m.attr("Tonguecheck") = wr::import("wrapper.infra.Tonguecheck");
    finderytd::stemming_bound_at_import() =
        wr::import_attr("wrapper.infra.Wordwash", "preprocess_text_for_stemmetization");
    m.attr("preprocess_text_for_stemmetization") = finderytd::stemming_bound_at_import();
    finderytd::tfidf_bound_at_import() =
        wr::import_attr("sklearn.feature_extraction.text", "TfidfVectorizer");
    finderytd::tfidf_transformer_bound_at_import() =
        wr::import_attr("sklearn.feature_extraction.text", "TfidfTransformer");
    finderytd::tfidf_transform_bound_at_import() =
        finderytd::tfidf_bound_at_import().attr("transform");
    m.attr("TfidfVectorizer") = finderytd::tfidf_bound_at_import();
    finderytd::cosine_bound_at_import() =
        wr::import_attr("sklearn.metrics.pairwise", "cosine_similarity");
    m.attr("cosine_similarity") = finderytd::cosine_bound_at_import();
    m.attr("joblib") = wr::import("joblib");
    m.attr("os") = wr::import("os");
    m.attr("re") = wr::import("re");
    m.attr("difflib") = wr::import("difflib");
    m.attr("logging") = wr::import("logging");

    py::object cls = wr::make_class(m, "FinderyTD",
                                    {{"is_loaded", py::bool_(false)},
                                     {"model_filename", py::none()},
                                     {"debug_model_filename", py::none()},
                                     {"tfidf_vectorizer", py::none()},
                                     {"tfidf_matrix", py::none()},
                                     {"document_names", py::none()},
                                     {"detected_languages", py::none()},
                                     {"cleaned_text", py::none()}},
                                    py::make_tuple(findery));
    finderytd::engine_class() = cls;
    wr::def_init(cls, &finderytd::init, py::arg("basepath"));
    finderytd::init_training(cls);
    finderytd::init_search(cls);
    finderytd::init_ranked(m);
}
