// Answering a query: stemming, correction towards the index's vocabulary,
// cosine scores, ranking and one page of hits.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "closematch.hpp"
#include "cosine.hpp"
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

// One per live vectoriser: a host may search any number of engines in turn,
// and an entry goes with its vectoriser.

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

    vocabularies().insert(vocabularies().begin(), std::move(entry));
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
    std::vector<std::shared_ptr<const wr::CloseMatcher>> matchers;
    for (std::size_t i = 0; i < words.size(); ++i) matchers.push_back(terms.for_next_word());
    std::vector<std::optional<std::u32string>> best(words.size());
    {
        // Matching reads only the prepared vocabularies, which the shared
        // pointers keep alive: other host threads may run meanwhile.
        py::gil_scoped_release unlocked;
        for (std::size_t i = 0; i < words.size(); ++i) best[i] = matchers[i]->best(words[i], bar);
    }
    std::u32string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) out.push_back(U' ');
        out += best[i] ? *best[i] : words[i];
    }
    return wr::from_u32(out);
}


// ---- the stored matrix, normalised once --------------------------------------
//
// cosine_similarity normalises both of its arguments on every call; for the
// stored matrix that is the whole index again for each query. The rows are
// normalised here once per matrix object, by the same routine, and kept term
// by term for scoring. Nothing of it is stored: a stored model stays what
// plain joblib and older versions read.
struct ScoringIndex {
    // The matrix, by identity, as for the vectorisers above; the arrays it
    // was derived from, so a matrix given new arrays is derived again.
    // Values written into those same arrays in place are not noticed:
    // neither training nor loading ever does that, and checking would cost
    // what the index saves.
    PyObject* matrix = nullptr;
    py::object matrix_ref;
    py::object data, indices, indptr;
    // Null when the matrix is not one whose scores are computed here (not
    // CSR float64, empty, or with values cosine_similarity refuses).
    std::shared_ptr<const wr::cosine::TermIndex> index;
};

// One per live matrix, though each holds a copy of its matrix's values: with
// fewer kept than a host searches engines in turn, every search would derive
// its engine's index again (a tenth of a second at 20,000 documents, a
// thousand times the search). An entry goes as soon as its matrix does.

std::vector<ScoringIndex>& scoring_indexes() {
    static auto* entries = new std::vector<ScoringIndex>();  // leaked, as above
    return *entries;
}

void forget_matrix(py::handle ref) {
    auto& entries = scoring_indexes();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].matrix_ref.is(ref)) {
            ScoringIndex gone = std::move(entries[i]);  // released after the erase
            entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

// A contiguous copy (or view) of `array` with the given dtype.
py::buffer_info buffer_of(py::handle array, const char* dtype, py::object& keep) {
    keep = wr::import("numpy").attr("ascontiguousarray")(array, py::arg("dtype") = dtype);
    return py::buffer(keep).request();
}

bool is_csr_float64(py::handle matrix) {
    py::object issparse = wr::import_attr("scipy.sparse", "issparse");
    if (!wr::truthy(issparse(matrix))) return false;
    if (!py::str(matrix.attr("format")).equal(py::str("csr"))) return false;
    py::object dtype = matrix.attr("dtype");
    return dtype.equal(wr::import_attr("numpy", "float64"));
}

bool all_finite(const py::buffer_info& values) {
    const auto* v = static_cast<const double*>(values.ptr);
    for (py::ssize_t i = 0; i < values.size; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

// Rows and columns of a 2-d matrix; nothing when it is not 2-d.
std::optional<std::pair<std::size_t, std::size_t>> shape_of(py::handle matrix) {
    py::tuple shape = matrix.attr("shape");
    if (shape.size() != 2) return std::nullopt;
    return std::make_pair(shape[0].cast<std::size_t>(), shape[1].cast<std::size_t>());
}

std::shared_ptr<const wr::cosine::TermIndex> derive(py::handle matrix) {
    auto shape = shape_of(matrix);
    // cosine_similarity refuses a matrix without rows or columns and one
    // with a value that is not finite: such a matrix is left to it.
    if (!shape || shape->first == 0 || shape->second == 0) return nullptr;
    py::object keep_raw;
    if (!all_finite(buffer_of(matrix.attr("data"), "float64", keep_raw))) return nullptr;

    py::object normalized = wr::import_attr("sklearn.preprocessing", "normalize")(
        matrix, py::arg("copy") = true);
    py::object keep_data, keep_indices, keep_indptr;
    py::buffer_info data = buffer_of(normalized.attr("data"), "float64", keep_data);
    py::buffer_info indices = buffer_of(normalized.attr("indices"), "int64", keep_indices);
    py::buffer_info indptr = buffer_of(normalized.attr("indptr"), "int64", keep_indptr);
    if (indptr.size != static_cast<py::ssize_t>(shape->first) + 1) return nullptr;
    const auto* bounds = static_cast<const std::int64_t*>(indptr.ptr);
    const std::int64_t nnz = bounds[shape->first];
    if (nnz < 0 || nnz > data.size || nnz > indices.size) return nullptr;

    py::gil_scoped_release unlocked;  // the buffers stay referenced meanwhile
    try {
        return std::make_shared<const wr::cosine::TermIndex>(
            shape->first, shape->second, static_cast<const double*>(data.ptr),
            static_cast<const std::int64_t*>(indices.ptr), bounds);
    } catch (const std::invalid_argument&) {
        return nullptr;  // malformed arrays: cosine_similarity says what is wrong
    }
}

// The scoring index of `matrix`, derived on its first search.
std::shared_ptr<const wr::cosine::TermIndex> scoring_index(py::handle matrix) {
    if (!is_csr_float64(matrix)) return nullptr;
    py::object data = matrix.attr("data"), indices = matrix.attr("indices"),
               indptr = matrix.attr("indptr");
    auto find = [&]() -> std::optional<std::shared_ptr<const wr::cosine::TermIndex>> {
        auto& entries = scoring_indexes();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            ScoringIndex& e = entries[i];
            if (e.matrix != matrix.ptr()) continue;
            if (e.data.is(data) && e.indices.is(indices) && e.indptr.is(indptr)) {
                std::rotate(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(i),
                            entries.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                return entries.front().index;
            }
            ScoringIndex stale = std::move(e);  // given new arrays since
            entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
            return std::nullopt;
        }
        return std::nullopt;
    };
    if (auto found = find()) return *found;

    std::shared_ptr<const wr::cosine::TermIndex> index = derive(matrix);
    // Another thread may have derived the same matrix while this one had
    // released the interpreter.
    if (auto found = find()) return *found;
    py::cpp_function forget(&forget_matrix);
    PyObject* ref = PyWeakref_NewRef(matrix.ptr(), forget.ptr());
    if (!ref) {
        py::error_already_set err;
        if (!err.matches(PyExc_TypeError)) throw err;
        return index;  // not kept: derived again next time
    }
    ScoringIndex entry;
    entry.matrix = matrix.ptr();
    entry.matrix_ref = py::reinterpret_steal<py::object>(ref);
    entry.data = data;
    entry.indices = indices;
    entry.indptr = indptr;
    entry.index = index;
    scoring_indexes().insert(scoring_indexes().begin(), std::move(entry));
    return index;
}

// The values of a one-row CSR matrix of `terms` columns as plain data, or
// nothing when the row is not one cosine_similarity would take unchanged.
std::optional<wr::cosine::Row> row_values(py::handle row, std::size_t terms) {
    if (!is_csr_float64(row)) return std::nullopt;
    auto shape = shape_of(row);
    if (!shape || shape->first != 1 || shape->second != terms) return std::nullopt;
    py::object keep_data, keep_indices, keep_indptr;
    py::buffer_info data = buffer_of(row.attr("data"), "float64", keep_data);
    if (!all_finite(data)) return std::nullopt;
    py::buffer_info indices = buffer_of(row.attr("indices"), "int64", keep_indices);
    py::buffer_info indptr = buffer_of(row.attr("indptr"), "int64", keep_indptr);
    if (indptr.size != 2) return std::nullopt;
    const auto* bounds = static_cast<const std::int64_t*>(indptr.ptr);
    if (bounds[0] != 0 || bounds[1] < 0 || bounds[1] > data.size || bounds[1] > indices.size)
        return std::nullopt;
    wr::cosine::Row q;
    const auto* t = static_cast<const std::int64_t*>(indices.ptr);
    const auto* v = static_cast<const double*>(data.ptr);
    for (std::int64_t p = 0; p < bounds[1]; ++p) {
        if (t[p] < 0 || static_cast<std::size_t>(t[p]) >= terms) return std::nullopt;
        q.terms.push_back(t[p]);
        q.values.push_back(v[p]);
    }
    return q;
}

// ---- the vectoriser's transform, for its default configuration ---------------
//
// TfidfVectorizer.transform of one short text spends nearly all its time
// validating and building matrices. For a vectoriser of sklearn's own class
// with the settings this engine always fits (its defaults), the row is
// computed here with the same steps: lower-case, tokens of two or more word
// characters, vocabulary counts by ascending term, times idf, l2-normalised.
// Anything else goes to the vectoriser itself.

bool is_default(py::handle vectorizer) {
    auto get = [&](const char* name) { return py::object(vectorizer.attr(name)); };
    return get("input").equal(py::str("content")) && get("lowercase").is(py::bool_(true)) &&
           get("preprocessor").is_none() && get("tokenizer").is_none() &&
           get("stop_words").is_none() && get("strip_accents").is_none() &&
           get("analyzer").equal(py::str("word")) &&
           get("token_pattern").equal(py::str(R"((?u)\b\w\w+\b)")) &&
           get("ngram_range").equal(py::make_tuple(1, 1)) && get("binary").is(py::bool_(false)) &&
           get("dtype").is(wr::import_attr("numpy", "float64"));
}

std::optional<wr::cosine::Row> transformed_here(py::handle vectorizer, py::handle text,
                                                std::size_t terms) {
    py::object cls = attr("TfidfVectorizer");
    if (!cls.is(tfidf_bound_at_import()) || !py::type::handle_of(vectorizer).is(cls) ||
        !py::object(cls.attr("transform")).is(tfidf_transform_bound_at_import()) ||
        !PyUnicode_CheckExact(text.ptr()))
        return std::nullopt;
    // An instance attribute (a host's or a benchmark's wrapper) is honoured.
    py::object own = py::reinterpret_borrow<py::object>(vectorizer).attr("__dict__");
    if (own.contains("transform") || !own.contains("vocabulary_") || !own.contains("_tfidf"))
        return std::nullopt;
    py::object vocabulary = own["vocabulary_"];
    if (!PyDict_CheckExact(vocabulary.ptr()) || static_cast<std::size_t>(py::len(vocabulary)) != terms)
        return std::nullopt;
    if (!is_default(vectorizer)) return std::nullopt;
    py::object transformer = own["_tfidf"];
    if (!py::type::handle_of(transformer).is(tfidf_transformer_bound_at_import()) ||
        !py::str(transformer.attr("norm")).equal(py::str("l2")) ||
        wr::truthy(transformer.attr("sublinear_tf")) || !py::hasattr(transformer, "idf_"))
        return std::nullopt;
    py::object idf_array = transformer.attr("idf_");
    py::object dtype = idf_array.attr("dtype");
    if (!dtype.equal(wr::import_attr("numpy", "float64"))) return std::nullopt;
    py::object keep_idf;
    py::buffer_info idf = buffer_of(idf_array, "float64", keep_idf);
    if (idf.ndim != 1 || static_cast<std::size_t>(idf.size) != terms) return std::nullopt;

    // Counts per vocabulary term; tokens outside it are ignored.
    const std::vector<std::u32string> words =
        wr::text::find_words(wr::to_u32(py::reinterpret_borrow<py::str>(text).attr("lower")()),
                             wr::host_char_classes());
    std::vector<std::pair<std::int64_t, int>> counts;
    for (const std::u32string& word : words) {
        if (word.size() < 2) continue;
        py::str token = wr::from_u32(word);
        PyObject* found = PyDict_GetItemWithError(vocabulary.ptr(), token.ptr());
        if (!found) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        Py_ssize_t at = PyNumber_AsSsize_t(found, PyExc_OverflowError);
        if (at == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (at < 0 || static_cast<std::size_t>(at) >= terms) return std::nullopt;
        counts.emplace_back(at, 1);
    }
    std::sort(counts.begin(), counts.end());
    wr::cosine::Row q;
    for (const auto& [term, one] : counts) {
        if (!q.terms.empty() && q.terms.back() == term) {
            q.values.back() += one;  // a count, exact in a double
            continue;
        }
        q.terms.push_back(term);
        q.values.push_back(one);
    }
    const auto* weight = static_cast<const double*>(idf.ptr);
    for (std::size_t i = 0; i < q.terms.size(); ++i)
        q.values[i] *= weight[static_cast<std::size_t>(q.terms[i])];
    wr::cosine::normalize_l2(q.values);
    return q;
}

// ---- search_documents -------------------------------------------------------

// Where the last search on this thread spent its time, for the benchmark;
// reading a clock five times costs nothing next to a search.
struct Split {
    using clock = std::chrono::steady_clock;
    clock::time_point mark = clock::now();
    double seconds[5] = {};
    void lap(int part) {
        const clock::time_point now = clock::now();
        seconds[part] = std::chrono::duration<double>(now - mark).count();
        mark = now;
    }
};
thread_local Split last_split;
const char* const kSplitParts[5] = {"stemming", "correction", "vectorising", "scoring", "ranking"};

py::dict last_search_split() {
    py::dict out;
    for (int i = 0; i < 5; ++i) out[kSplitParts[i]] = last_split.seconds[i];
    return out;
}

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

// (corrected query, hits) for the ranked rows.
template <typename Score>
py::object make_result(py::handle engine, py::handle corrected, const std::vector<std::size_t>& rows,
                       Score score) {
    py::object names = engine.attr("document_names");
    py::object languages = engine.attr("detected_languages");
    py::list hits;
    for (std::size_t r : rows) {
        py::object name = names[py::int_(r)];
        py::dict hit;
        hit["name"] = name;
        hit["Pontuação"] = score(r);
        hit["language"] = languages[name];
        hits.append(hit);
    }
    return py::make_tuple(corrected, hits);
}

py::object search_documents(py::object engine, py::object search_query,
                            py::object detected_search_language, py::object page,
                            py::object results_per_page, py::object cutoff_for_fix_query) {
    // The ranked search, when the host chose it (ranked.cpp): from the
    // index stored beside the model while this object has not read the
    // model (searchstore.cpp).
    const bool was_loaded = wr::truthy(engine.attr(wr::name("is_loaded")));
    if (!was_loaded && ranking_is_bm25()) {
        if (std::shared_ptr<StoredSearch> stored = stored_search(engine)) {
            try {
                return search_stored(stored, search_query, detected_search_language, page, results_per_page,
                                     cutoff_for_fix_query);
            } catch (const wr::image::Damaged& e) {
                // Postings a query met for the first time did not hold: the
                // model answers this search and the ones after it.
                forget_stored_search(engine);
                wr::log_warning({"td--the stored search index is damaged (", e.what(), "); reading the model instead"});
            }
        }
    }
    // This module's load_model of a loaded engine would only say so: not
    // called then (the call was a good part of a short search). A host's
    // is called plainly (pybind11's argument packing showed too).
    py::object load = engine.attr(wr::name("load_model"));
    if (!(was_loaded && own_load_model(engine, load))) {
        PyObject* loaded = PyObject_CallNoArgs(load.ptr());
        if (!loaded) throw py::error_already_set();
        if (!wr::truthy(py::reinterpret_steal<py::object>(loaded))) return py::list();
    }
    if (ranking_is_bm25())
        return search_ranked(engine, search_query, detected_search_language, page, results_per_page,
                             cutoff_for_fix_query);
    // An index whose documents were all removed answers as one never filled.
    if (engine.attr("tfidf_vectorizer").is_none()) return py::list();
    Split split;

    py::object language = detected_search_language;
    if (!wr::truthy(language)) language = attr("Tonguecheck").attr("detect_lang")(search_query);
    // The facade passes a language's code ("pt"); the stemming pipeline
    // takes the member.
    if (PyUnicode_Check(language.ptr()))
        language = wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(language);

    py::object prepared = stemming_pipeline()(search_query, language)[py::int_(1)];
    split.lap(0);
    py::object vectorizer = engine.attr("tfidf_vectorizer");
    py::object corrected = engine.attr("correct_query")(prepared, feature_names(vectorizer),
                                                        cutoff_for_fix_query);
    split.lap(1);

    py::object matrix = engine.attr("tfidf_matrix");
    auto transform = [&] {
        py::list one;
        one.append(corrected);
        return vectorizer.attr("transform")(one);
    };

    // The scores cosine_similarity would give, from the matrix normalised
    // once; a host's own cosine_similarity, or input it would treat
    // otherwise, takes the call itself.
    std::vector<double> scores;
    py::object computed;  // the array of that call
    py::object row;
    std::shared_ptr<const wr::cosine::TermIndex> index;
    std::optional<wr::cosine::Row> query;
    if (attr("cosine_similarity").is(cosine_bound_at_import()) && (index = scoring_index(matrix))) {
        query = transformed_here(vectorizer, corrected, index->terms());
        if (!query) query = row_values(row = transform(), index->terms());
    }
    if (query) {
        split.lap(2);
        // cosine_similarity normalises the query row once more.
        wr::cosine::normalize_l2(query->values);
        py::gil_scoped_release unlocked;
        scores = index->scores(*query);
    } else {
        if (!row) row = transform();
        split.lap(2);
        computed = attr("cosine_similarity")(row, matrix).attr("flatten")();
        scores = as_doubles(computed);
    }
    split.lap(3);

    // Python int arithmetic first, so huge or negative pages slice as the
    // host would slice them.
    py::object start = (page - py::int_(1)) * results_per_page;
    py::object stop = start + results_per_page;
    const std::int64_t first = slice_index(start), last = slice_index(stop);
    std::vector<std::size_t> rows;
    {
        py::gil_scoped_release unlocked;
        rows = wr::ranking::page_hits(scores, first, last);
    }

    py::object result;
    if (computed) {
        // The hits carry the score objects of the returned array itself.
        result = make_result(engine, corrected, rows,
                             [&](std::size_t r) { return py::object(computed[py::int_(r)]); });
    } else {
        py::object float64 = wr::import_attr("numpy", "float64");
        result = make_result(engine, corrected, rows,
                             [&](std::size_t r) { return float64(scores[r]); });
    }
    split.lap(4);
    last_split = split;
    return result;
}

}  // namespace

void note_search_split(const double (&seconds)[5]) {
    for (int i = 0; i < 5; ++i) last_split.seconds[i] = seconds[i];
}

void init_search(py::handle cls) {
    wr::def_method(cls, "search_documents", &search_documents, py::arg("search_query"),
                   py::arg("detected_search_language") = py::none(), py::arg("page") = 1,
                   py::arg("results_per_page") = 10, py::arg("cutoff_for_fix_query") = 0.9);
    // Not part of the engine: the benchmark's view of the last search.
    wr::this_module().def("_last_search_split", &last_search_split);
    wr::def_method(cls, "correct_query", &correct_query, py::arg("query"), py::arg("corpus"),
                   py::arg("cutoff") = 0.6);
}

}  // namespace finderytd
