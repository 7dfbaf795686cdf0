// The term-weighting search engine: TF-IDF vectors of the documents' cleaned
// texts, query correction towards the index's vocabulary, cosine ranking.
#include "finderytd.hpp"

#include <map>
#include <string>
#include <utility>

#include "pyutil.hpp"

namespace finderytd {

py::object& stemming_bound_at_import() {
    static py::object* fn = new py::object();  // leaked: outlives the interpreter
    return *fn;
}

namespace {

// scikit-learn and joblib take a second or more to import, and a search
// from the stored index needs neither: they load on first use (PEP 562).
// name -> (module, attribute; null for the module itself).
const std::map<std::string, std::pair<const char*, const char*>>& lazy_names() {
    static const auto* names = new std::map<std::string, std::pair<const char*, const char*>>{
        {"TfidfVectorizer", {"sklearn.feature_extraction.text", "TfidfVectorizer"}},
        {"cosine_similarity", {"sklearn.metrics.pairwise", "cosine_similarity"}},
        {"joblib", {"joblib", nullptr}},
    };
    return *names;
}

// What each lazy name is bound to when the library loads it. Leaked: host objects.
std::map<std::string, py::object>& originals() {
    static auto* loaded = new std::map<std::string, py::object>();
    return *loaded;
}

py::object original(const std::string& name) {
    auto& all = originals();
    auto at = all.find(name);
    if (at != all.end()) return at->second;
    const auto& where = lazy_names().at(name);
    py::object value = where.second ? wr::import_attr(where.first, where.second) : wr::import(where.first);
    return all.emplace(name, value).first->second;
}

py::object module_getattr(py::str name) {
    const std::string key = name.cast<std::string>();
    if (!lazy_names().count(key))
        wr::raise(PyExc_AttributeError, {"module 'wrapper.core.FinderyTD' has no attribute '", name, "'"});
    py::object value = original(key);
    // Kept in the module from now on, so a host's patch replaces it as it
    // replaced the eagerly bound name before.
    py::dict fields = wr::this_module().attr("__dict__");
    if (fields.contains(name)) return fields[name];  // the import ran host code that set it
    wr::this_module().attr(name) = value;
    return value;
}

}  // namespace

bool lazy_untouched(const char* name) {
    py::dict fields = wr::this_module().attr("__dict__");
    if (!fields.contains(name)) return true;
    auto loaded = originals().find(name);
    return loaded != originals().end() && loaded->second.is(fields[name]);
}

py::object& cosine_bound_at_import() {
    static py::object* fn = new py::object();  // leaked: outlives the interpreter
    if (!*fn) *fn = original("cosine_similarity");
    return *fn;
}

py::object& tfidf_bound_at_import() {
    static py::object* cls = new py::object();  // leaked, as above
    if (!*cls) *cls = original("TfidfVectorizer");
    return *cls;
}

py::object& tfidf_transformer_bound_at_import() {
    static py::object* cls = new py::object();  // leaked, as above
    if (!*cls) *cls = wr::import_attr("sklearn.feature_extraction.text", "TfidfTransformer");
    return *cls;
}

py::object& tfidf_transform_bound_at_import() {
    static py::object* fn = new py::object();  // leaked, as above
    if (!*fn) *fn = tfidf_bound_at_import().attr("transform");
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
    // TfidfVectorizer, cosine_similarity and joblib load on first use.
    m.def("__getattr__", &finderytd::module_getattr, py::arg("name"));
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
    finderytd::init_stored(m);
    finderytd::init_counts(m);
}
