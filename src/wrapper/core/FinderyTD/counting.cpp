// Refitting the vectoriser over every indexed text is most of the cost of a
// change of the index, and most of that is the vectoriser's counting: a
// Python loop over every word of every text (CountVectorizer._count_vocab).
// Here the counting is done in C++ (and a text counted before, by this
// engine object or by the writer of the stored model, is not tokenised
// again: countstore.cpp) and handed to scikit-learn in place of that
// method, for the one fit_transform call; scikit-learn does the rest
// itself (pruning, sorting the vocabulary, the idf weights, normalising),
// so the fitted vectoriser and the matrix are those scikit-learn makes
// (tested down to their pickled bytes).
//
// Only for a TfidfVectorizer of scikit-learn's own class with the defaults
// that counting depends on, over texts that are all strings; anything else
// is left to scikit-learn alone.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "finderytd.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"

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
// vectoriser: (vocabulary in the order terms were first met, count matrix).
// The texts the engine has counted before are not tokenised again.
py::tuple count_vocabulary(py::handle engine, py::handle vectorizer, py::handle raw_documents) {
    // For its side effects on the vectoriser, as the method calls it.
    vectorizer.attr("build_analyzer")();

    std::vector<py::object> texts;
    for (py::handle text : raw_documents) texts.push_back(py::reinterpret_borrow<py::object>(text));
    std::shared_ptr<const KeptCounts> kept = count_texts(engine, texts);
    const wr::counts::TermCounts& counts = kept->counts;
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

}  // namespace

py::object fit_transform(py::handle engine, py::object vectorizer, py::object texts) {
    bool here = counts_as_here(vectorizer);
    if (here) {
        for (py::handle text : texts) {
            if (!PyUnicode_Check(text.ptr())) {
                here = false;
                break;
            }
        }
    }
    if (!here) return vectorizer.attr("fit_transform")(texts);

    // The vectoriser calls self._count_vocab(raw_documents, fixed): an
    // attribute of the object stands in for the method during the call.
    py::handle self = vectorizer;
    py::cpp_function count([self, engine](py::object raw_documents, py::object fixed) -> py::object {
        if (wr::truthy(fixed))
            return py::type::handle_of(self).attr("_count_vocab")(self, raw_documents, fixed);
        return count_vocabulary(engine, self, raw_documents);
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
