// Answering a query: stemming, correction towards the index's vocabulary,
// cosine scores, ranking and one page of hits.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "closematch.hpp"
#include "finderytd.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"
#include "ranking.hpp"

namespace finderytd {

namespace {

// ---- the vocabulary of a fitted vectoriser ---------------------------------
//
// Preparing a vocabulary for matching costs far more than matching a query's
// few words, and so does get_feature_names_out itself on a large index (it
// sorts the whole vocabulary). Both are kept per vectoriser object: training
// always installs a new one, and loading a stored model brings another.
struct Vocabulary {
    // The vectoriser, by identity only. Its weak reference removes the entry
    // while the object is being destroyed, before its address can be reused,
    // so a matching address always means the same live object.
    PyObject* vectorizer = nullptr;
    py::object vectorizer_ref;
    py::object vocabulary;  // its vocabulary_ when read; a refit replaces it
    py::object names;       // get_feature_names_out(), made read-only
    std::shared_ptr<const wr::CloseMatcher> matcher;
};

// A few engines may be searched in turn; each has one live vectoriser.
constexpr std::size_t kKeptVocabularies = 4;

// Python code that runs while an entry is being built may collect another
// vectoriser and so remove its entry: no iterator into this list is held
// across a call into the host.
std::vector<Vocabulary>& vocabularies() {
    // Leaked: the entries hold host objects and must not be released after
    // the interpreter is gone.
    static auto* entries = new std::vector<Vocabulary>();
    return *entries;
}

std::shared_ptr<const wr::CloseMatcher> matcher_of(py::handle terms) {
    std::vector<std::u32string> words;
    for (py::handle term : terms) words.push_back(wr::to_u32(term));
    return std::make_shared<const wr::CloseMatcher>(std::move(words));
}

void forget_vectorizer(py::handle ref) {
    auto& entries = vocabularies();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].vectorizer_ref.is(ref)) {
            Vocabulary gone = std::move(entries[i]);  // released after the erase
            entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

// vectoriser.vocabulary_, or an empty object when it has none (unfitted:
// get_feature_names_out then raises the library's own error).
py::object fitted_vocabulary(py::handle vectorizer) {
    PyObject* v = PyObject_GetAttrString(vectorizer.ptr(), "vocabulary_");
    if (v) return py::reinterpret_steal<py::object>(v);
    py::error_already_set err;
    if (!err.matches(PyExc_AttributeError)) throw err;
    return py::object();
}

// The vectoriser's feature names; for a vectoriser seen before, the same
// array object as then, so that correct_query finds its prepared matcher.
py::object feature_names(py::handle vectorizer) {
    py::object vocabulary = fitted_vocabulary(vectorizer);
    {
        auto& entries = vocabularies();
        Vocabulary stale;  // released after the lookup
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].vectorizer != vectorizer.ptr()) continue;
            const auto at = entries.begin() + static_cast<std::ptrdiff_t>(i);
            if (vocabulary && entries[i].vocabulary.is(vocabulary)) {
                std::rotate(entries.begin(), at, at + 1);
                return entries.front().names;
            }
            stale = std::move(*at);  // refitted in place since
            entries.erase(at);
            break;
        }
    }

    py::object names =
        py::reinterpret_borrow<py::object>(vectorizer).attr("get_feature_names_out")();
    if (!vocabulary) return names;  // nothing to key the entry on
    py::cpp_function forget(&forget_vectorizer);
    PyObject* ref = PyWeakref_NewRef(vectorizer.ptr(), forget.ptr());
    if (!ref) {
        py::error_already_set err;
        if (!err.matches(PyExc_TypeError)) throw err;
        return names;  // an object without weak references is not kept
    }
    Vocabulary entry;
    entry.vectorizer = vectorizer.ptr();
    entry.vectorizer_ref = py::reinterpret_steal<py::object>(ref);
    entry.vocabulary = vocabulary;
    // A shared array must not change under the matcher prepared from it.
    if (py::hasattr(names, "flags")) names.attr("flags").attr("writeable") = py::bool_(false);
    entry.names = names;
    entry.matcher = matcher_of(names);

    auto& entries = vocabularies();
    Vocabulary evicted;
    if (entries.size() >= kKeptVocabularies) {
        evicted = std::move(entries.back());
        entries.pop_back();
    }
    entries.insert(entries.begin(), std::move(entry));
    return names;
}

// ---- correct_query ----------------------------------------------------------

// The terms of `corpus` as difflib sees them on each call: a container gives
// its items every time, an iterator only to the first word's call.
class Corpus {
public:
    explicit Corpus(py::object corpus) : corpus_(std::move(corpus)) {}

    std::shared_ptr<const wr::CloseMatcher> for_next_word() {
        if (matcher_) return once_ ? empty() : matcher_;
        for (const Vocabulary& e : vocabularies()) {
            if (e.names.is(corpus_)) return matcher_ = e.matcher;
        }
        py::iterator it = py::iter(corpus_);
        once_ = it.is(corpus_);
        matcher_ = matcher_of(it);
        return matcher_;
    }

private:
    static std::shared_ptr<const wr::CloseMatcher> empty() {
        static const auto none = std::make_shared<const wr::CloseMatcher>(std::vector<std::u32string>{});
        return none;
    }

    py::object corpus_;
    std::shared_ptr<const wr::CloseMatcher> matcher_;
    bool once_ = false;
};

py::str correct_query(py::object /*engine*/, py::object query, py::object corpus,
                      py::object cutoff) {
    const std::vector<std::u32string> words =
        wr::text::find_words(wr::to_u32(query), wr::host_char_classes());
    if (words.empty()) return py::str("");

    // difflib checks the cutoff on every call, before it reads the corpus.
    const double bar = PyFloat_AsDouble(cutoff.ptr());
    if (bar == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!(bar >= 0.0 && bar <= 1.0))
        wr::raise(PyExc_ValueError, {"cutoff must be in [0.0, 1.0]: ", py::repr(cutoff)});

    Corpus terms(std::move(corpus));
    std::u32string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::optional<std::u32string> best = terms.for_next_word()->best(words[i], bar);
        if (i) out.push_back(U' ');
        out += best ? *best : words[i];
    }
    return wr::from_u32(out);
}

// ---- search_documents -------------------------------------------------------

// The stemming function as it is now: our own module's name if a host has
// rebound it, else Wordwash's current one, so a patch of either is seen.
py::object stemming_pipeline() {
    py::object ours = attr("preprocess_text_for_stemmetization");
    if (!ours.is(stemming_bound_at_import())) return ours;
    return wr::import_attr("wrapper.infra.Wordwash", "preprocess_text_for_stemmetization");
}

// A slice bound as the host reads it: anything with __index__, clamped to the
// index range; anything else is the host's TypeError.
std::int64_t slice_index(py::handle bound) {
    if (!PyIndex_Check(bound.ptr()))
        wr::raise(PyExc_TypeError,
                  {"slice indices must be integers or None or have an __index__ method"});
    Py_ssize_t v = PyNumber_AsSsize_t(bound.ptr(), nullptr);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(v);
}

std::vector<double> as_doubles(py::handle scores) {
    py::object arr = wr::import("numpy").attr("ascontiguousarray")(scores, py::arg("dtype") = "float64");
    py::buffer_info info = py::buffer(arr).request();
    const auto* data = static_cast<const double*>(info.ptr);
    return std::vector<double>(data, data + info.size);
}

py::object search_documents(py::object engine, py::object search_query,
                            py::object detected_search_language, py::object page,
                            py::object results_per_page, py::object cutoff_for_fix_query) {
    if (!wr::truthy(engine.attr("load_model")())) return py::list();

    py::object language = detected_search_language;
    if (!wr::truthy(language)) language = attr("Tonguecheck").attr("detect_lang")(search_query);
    // The facade passes a language's code ("pt"); the stemming pipeline
    // takes the member.
    if (PyUnicode_Check(language.ptr()))
        language = wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(language);

    py::object prepared = stemming_pipeline()(search_query, language)[py::int_(1)];
    py::object vectorizer = engine.attr("tfidf_vectorizer");
    py::object corrected = engine.attr("correct_query")(prepared, feature_names(vectorizer),
                                                        cutoff_for_fix_query);

    py::list one;
    one.append(corrected);
    py::object row = vectorizer.attr("transform")(one);
    py::object scores =
        attr("cosine_similarity")(row, engine.attr("tfidf_matrix")).attr("flatten")();

    // Python int arithmetic first, so huge or negative pages slice as the
    // host would slice them.
    py::object start = (page - py::int_(1)) * results_per_page;
    py::object stop = start + results_per_page;
    const std::vector<std::size_t> rows =
        wr::ranking::page_hits(as_doubles(scores), slice_index(start), slice_index(stop));

    py::object names = engine.attr("document_names");
    py::object languages = engine.attr("detected_languages");
    py::list hits;
    for (std::size_t r : rows) {
        py::object name = names[py::int_(r)];
        py::dict hit;
        hit["name"] = name;
        hit["Pontuação"] = scores[py::int_(r)];
        hit["language"] = languages[name];
        hits.append(hit);
    }
    return py::make_tuple(corrected, hits);
}

}  // namespace

void init_search(py::handle cls) {
    wr::def_method(cls, "search_documents", &search_documents, py::arg("search_query"),
                   py::arg("detected_search_language") = py::none(), py::arg("page") = 1,
                   py::arg("results_per_page") = 10, py::arg("cutoff_for_fix_query") = 0.9);
    wr::def_method(cls, "correct_query", &correct_query, py::arg("query"), py::arg("corpus"),
                   py::arg("cutoff") = 0.6);
}

}  // namespace finderytd
