// Refitting the vectoriser over every indexed text is most of the cost of a
// change of the index. scikit-learn's fit counts in a Python loop over every
// word of every text (CountVectorizer._count_vocab), then copies the count
// matrix several times over (pruning that prunes nothing with the defaults,
// widening its indices twice to count document frequencies, gathering the
// idf weights): at a million documents those copies are gigabytes.
//
// Here the counting is done in C++ (and a text counted before, by this
// engine object or by the writer of the stored model, is not tokenised
// again: countstore.cpp). With the vectoriser's defaults the rest of the fit
// follows from the counts in C++ as well (tfidffit.cpp): the vectoriser
// fits one small text itself, which sets every attribute a fit sets, in its
// order, and those of the vocabulary, the idf weights and the matrix are
// then replaced by the whole fit's. The idf weights' logarithm is numpy's,
// as in the transformer's fit. The first such fit in a process is checked
// against scikit-learn's own on a set of texts made for it (down to the
// pickled bytes): a platform whose arithmetic differs keeps scikit-learn's
// fit. Otherwise (other settings, an index of more entries than 32-bit
// indices hold) the counting alone is handed to scikit-learn, in place of
// its method, and scikit-learn does the rest.
//
// Either way the fitted vectoriser and the matrix are those scikit-learn
// makes (tested down to their pickled bytes). Only for a TfidfVectorizer of
// scikit-learn's own class with the defaults that counting depends on, over
// texts that are all strings; anything else is left to scikit-learn alone.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "finderytd.hpp"
#include "hosttext.hpp"
#include "hugepages.hpp"
#include "pyutil.hpp"
#include "tfidffit.hpp"

namespace finderytd {

namespace {

// The defaults the counting below reproduces: the analyzer lower-cases and
// takes runs of two or more word characters, nothing else.
bool counts_as_here(py::handle vectorizer) {
    if (!py::type::handle_of(vectorizer).is(tfidf_bound_at_import())) return false;
    auto is = [&](const char* name, py::object value) {
        return py::getattr(vectorizer, name, py::none()).equal(value);
    };
    return is("input", py::str("content")) && is("analyzer", py::str("word")) &&
           is("lowercase", py::bool_(true)) && py::getattr(vectorizer, "preprocessor", py::int_(0)).is_none() &&
           py::getattr(vectorizer, "tokenizer", py::int_(0)).is_none() &&
           is("token_pattern", py::str(R"((?u)\b\w\w+\b)")) && is("ngram_range", py::make_tuple(1, 1)) &&
           py::getattr(vectorizer, "stop_words", py::int_(0)).is_none() &&
           py::getattr(vectorizer, "strip_accents", py::int_(0)).is_none() &&
           py::getattr(vectorizer, "vocabulary", py::int_(0)).is_none();
}

// CountVectorizer._count_vocab(raw_documents, fixed_vocab=False) of the
// vectoriser over the texts these counts were made from: (vocabulary in the
// order terms were first met, count matrix).
py::tuple count_vocabulary(py::handle vectorizer, const wr::counts::TermCounts& counts) {
    // For its side effects on the vectoriser, as the method calls it.
    vectorizer.attr("build_analyzer")();
    if (counts.terms() == 0)
        wr::raise(PyExc_ValueError, {"empty vocabulary; perhaps the documents only contain stop words"});

    // The arrays scikit-learn's counting makes, filled in place (at a
    // million documents a copy of them is gigabytes).
    const std::size_t entries = counts.entries();
    py::object indices, pointers;
    py::array_t<int> numbers(static_cast<py::ssize_t>(entries));
    int* number = numbers.mutable_data();
    auto fill = [&](auto* index, auto* pointer) {
        pointer[0] = 0;
        std::size_t at = 0;
        for (std::size_t r = 0; r < counts.rows(); ++r) {
            for (const wr::counts::Entry* e = counts.row_begin(r); e != counts.row_end(r); ++e, ++at) {
                index[at] = e->term;
                number[at] = static_cast<int>(std::min<std::uint32_t>(e->count, std::numeric_limits<int>::max()));
            }
            pointer[r + 1] = static_cast<std::remove_pointer_t<decltype(pointer)>>(at);
        }
    };
    if (entries > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        if (sizeof(void*) < 8)
            wr::raise(PyExc_ValueError, {"sparse CSR array has ", entries,
                                         " non-zero elements and requires 64 bit indexing, "
                                         "which is unsupported with 32 bit Python."});
        py::array_t<std::int64_t> i(static_cast<py::ssize_t>(entries)), p(static_cast<py::ssize_t>(counts.rows() + 1));
        fill(i.mutable_data(), p.mutable_data());
        indices = i, pointers = p;
    } else {
        py::array_t<std::int32_t> i(static_cast<py::ssize_t>(entries)), p(static_cast<py::ssize_t>(counts.rows() + 1));
        fill(i.mutable_data(), p.mutable_data());
        indices = i, pointers = p;
    }
    py::module_ text = wr::import("sklearn.feature_extraction.text");

    py::dict vocabulary;
    for (std::uint32_t t = 0; t < counts.terms(); ++t) vocabulary[wr::from_u32(counts.term(t))] = py::int_(t);
    py::object X = text.attr("sp").attr("csr_array")(
        py::make_tuple(numbers, indices, pointers),
        py::arg("shape") = py::make_tuple(counts.rows(), counts.terms()),
        py::arg("dtype") = vectorizer.attr("dtype"));
    X.attr("sort_indices")();
    return py::make_tuple(vocabulary, text.attr("_align_api_if_sparse")(X));
}

// The settings the whole fit below depends on, beyond counting's: nothing
// pruned (max_df the float 1.0, min_df the int 1, no feature limit), counts
// as counted, float64 weights, smoothed idf, rows of unit length.
bool fits_as_here(py::handle vectorizer) {
    auto get = [&](const char* name) { return py::getattr(vectorizer, name, py::none()); };
    py::object max_df = get("max_df"), min_df = get("min_df");
    return PyFloat_CheckExact(max_df.ptr()) && PyFloat_AS_DOUBLE(max_df.ptr()) == 1.0 &&
           PyLong_CheckExact(min_df.ptr()) && min_df.equal(py::int_(1)) && get("max_features").is_none() &&
           get("binary").ptr() == Py_False && get("dtype").is(wr::import_attr("numpy", "float64")) &&
           PyUnicode_CheckExact(get("norm").ptr()) && get("norm").equal(py::str("l2")) &&
           get("use_idf").ptr() == Py_True && get("smooth_idf").ptr() == Py_True &&
           get("sublinear_tf").ptr() == Py_False;
}

// The whole fit of `vectorizer` (scikit-learn's own class, fits_as_here)
// over the texts these counts were made from, or None where it is left to
// scikit-learn: an empty vocabulary (scikit-learn says why) or more entries
// than 32-bit indices hold.
py::object fit_counted(py::object vectorizer, const wr::counts::TermCounts& counts) {
    constexpr std::size_t kLargest = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    const std::size_t rows = counts.rows(), terms = counts.terms(), entries = counts.entries();
    if (terms == 0 || entries > kLargest || rows >= kLargest) return py::none();

    // Every attribute a fit sets, in the order it sets them.
    py::list small;
    small.append(py::str("aa"));
    py::object matrix = vectorizer.attr("fit_transform")(small);
    py::object transformer = vectorizer.attr("_tfidf");
    py::object own = py::getattr(matrix, "__dict__", py::none());
    if (!py::isinstance<py::dict>(own)) return py::none();
    py::dict held = py::reinterpret_borrow<py::dict>(own);
    py::object int32 = wr::import_attr("numpy", "int32");
    for (const char* key : {"data", "indices", "indptr", "_shape"})
        if (!held.contains(key)) return py::none();
    for (const char* key : {"indices", "indptr"}) {
        py::object dtype = py::object(held[key]).attr("dtype");
        if (!dtype.equal(int32)) return py::none();
    }

    const std::vector<std::uint32_t> places = wr::tfidf::sorted_places(counts);
    const std::vector<std::uint64_t> df = wr::tfidf::row_frequencies(counts, places);
    // The transformer's fit: (n + 1) / (df + 1), its logarithm taken by
    // numpy in place, plus one.
    py::array_t<double> idf(static_cast<py::ssize_t>(terms));
    double* weight = idf.mutable_data();
    const double smoothed_rows = static_cast<double>(rows + 1);
    for (std::size_t t = 0; t < terms; ++t) weight[t] = smoothed_rows / (static_cast<double>(df[t]) + 1.0);
    wr::import_attr("numpy", "log")(idf, py::arg("out") = idf);
    for (std::size_t t = 0; t < terms; ++t) weight[t] += 1.0;

    py::array_t<std::int32_t> pointers(static_cast<py::ssize_t>(rows + 1)), columns(static_cast<py::ssize_t>(entries));
    py::array_t<double> data(static_cast<py::ssize_t>(entries));
    {
        // Nothing else changes these counts meanwhile: their holder keeps
        // them, and counts held by more than the engine are not extended.
        const double* weights = idf.data();
        std::int32_t *starts = pointers.mutable_data(), *places_of = columns.mutable_data();
        double* values = data.mutable_data();
        wr::prefer_small_pages(places_of, entries * sizeof(std::int32_t));
        wr::prefer_small_pages(values, entries * sizeof(double));
        py::gil_scoped_release released;
        wr::tfidf::fill_rows<std::int32_t>(counts, places, weights, starts, places_of, values);
    }

    // Keys in the order the terms were first met, as counting adds them.
    py::dict vocabulary;
    for (std::uint32_t t = 0; t < terms; ++t) vocabulary[wr::from_u32(counts.term(t))] = py::int_(places[t]);
    vectorizer.attr("vocabulary_") = vocabulary;
    transformer.attr("n_features_in_") = py::int_(terms);
    transformer.attr("idf_") = idf;
    held["data"] = data;
    held["indices"] = columns;
    held["indptr"] = pointers;
    held["_shape"] = py::make_tuple(py::int_(rows), py::int_(terms));
    return matrix;
}

// Texts for the check of the fit above: words of several scripts, cases and
// lengths (one letter words are no tokens), repeated, and a text without
// any token.
std::vector<py::object> check_texts() {
    static const char* const words[] = {
        "aa", "Bb", "a\u00e7\u00e3o", "\u00fcber", "x1", "_t", "\u65e5\u672c", "\u03a3\u0391\u03a3", "\u0130x",
        "na\u00efve", "zz", "a", "ab", "ba", "aab", "\u01c5a", "\u00df1", "caf\u00e9", "CAFE", "z\u0301z",
        "9", "42", "x\u00b2", "\u2167v", "mm", "mmm", "m_m", "\u00c5ngstr\u00f6m", "r\u00e9sum\u00e9", "the"};
    constexpr std::size_t kWords = sizeof words / sizeof words[0];
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&](std::uint64_t below) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (state >> 33) % below;
    };
    std::vector<py::object> texts;
    texts.push_back(py::str("a b -"));
    for (int d = 0; d < 96; ++d) {
        std::string text;
        const std::uint64_t length = next(40);
        for (std::uint64_t w = 0; w < length; ++w) {
            if (w) text += next(5) ? " " : ", ";
            text += words[next(kWords)];
        }
        texts.push_back(py::str(text));
    }
    return texts;
}

// Whether the fit above gives scikit-learn's own bytes in this process:
// checked once, on the texts above.
bool fit_counted_holds() {
    static int holds = -1;  // under the interpreter's lock
    if (holds >= 0) return holds == 1;
    const std::vector<py::object> texts = check_texts();
    const wr::text::CharClasses& cc = wr::host_char_classes();
    wr::counts::TermCounts counts;
    py::list listed;
    for (const py::object& text : texts) {
        counts.add_text(wr::to_u32(text.attr("lower")()), cc);
        listed.append(text);
    }
    py::object cls = tfidf_bound_at_import();
    py::object ours = cls(), theirs = cls();
    py::object mine = fit_counted(ours, counts);
    py::object expected = theirs.attr("fit_transform")(listed);
    py::object dumps = wr::import_attr("pickle", "dumps");
    holds = !mine.is_none() && dumps(py::make_tuple(ours, mine)).equal(dumps(py::make_tuple(theirs, expected)));
    if (!holds) wr::log_debug({"td--the vectoriser's fit is left to scikit-learn in this process"});
    return holds == 1;
}

}  // namespace

py::object fit_transform(py::handle engine, py::object vectorizer, py::object texts) {
    bool here = counts_as_here(vectorizer);
    std::vector<py::object> listed;
    if (here) {
        for (py::handle text : texts) {
            if (!PyUnicode_Check(text.ptr())) {
                here = false;
                break;
            }
            listed.push_back(py::reinterpret_borrow<py::object>(text));
        }
    }
    if (!here) return vectorizer.attr("fit_transform")(texts);
    std::shared_ptr<const KeptCounts> kept = count_texts(engine, listed);
    if (fits_as_here(vectorizer) && fit_counted_holds()) {
        py::object matrix = fit_counted(vectorizer, kept->counts);
        if (!matrix.is_none()) return matrix;
    }

    // The vectoriser calls self._count_vocab(raw_documents, fixed): an
    // attribute of the object stands in for the method during the call.
    py::handle self = vectorizer;
    py::cpp_function count([self, kept](py::object raw_documents, py::object fixed) -> py::object {
        if (wr::truthy(fixed))
            return py::type::handle_of(self).attr("_count_vocab")(self, raw_documents, fixed);
        return count_vocabulary(self, kept->counts);
    });
    vectorizer.attr("_count_vocab") = count;
    try {
        py::object matrix = vectorizer.attr("fit_transform")(texts);
        py::delattr(vectorizer, "_count_vocab");
        return matrix;
    } catch (...) {
        py::error_scope pending;  // the failure survives the clean-up
        PyObject_DelAttrString(vectorizer.ptr(), "_count_vocab");
        PyErr_Clear();
        throw;
    }
}

}  // namespace finderytd
