// Refitting the vectoriser over every indexed text is most of the cost of a
// change of the index, and most of that is the vectoriser's counting: a
// Python loop over every word of every text (CountVectorizer._count_vocab).
// Here the counting is done in C++ and handed to scikit-learn in place of
// that method, for the one fit_transform call; scikit-learn does the rest
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
#include <unordered_map>
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

template <typename Index>
py::array_t<Index> as_array(const std::vector<std::int64_t>& values) {
    py::array_t<Index> out(static_cast<py::ssize_t>(values.size()));
    Index* data = out.mutable_data();
    for (std::size_t i = 0; i < values.size(); ++i) data[i] = static_cast<Index>(values[i]);
    return out;
}

// CountVectorizer._count_vocab(raw_documents, fixed_vocab=False) of the
// vectoriser: (vocabulary in the order terms were first met, count matrix).
py::tuple count_vocabulary(py::handle vectorizer, py::handle raw_documents) {
    // For its side effects on the vectoriser, as the method calls it.
    vectorizer.attr("build_analyzer")();

    const wr::text::CharClasses& cc = wr::host_char_classes();
    std::unordered_map<std::u32string, std::int64_t> ids;
    std::vector<std::u32string> terms;
    std::vector<std::int64_t> j_indices, indptr{0};
    std::vector<std::int32_t> values;
    std::vector<std::int64_t> last_seen;   // per term: the document that last counted it
    std::vector<std::size_t> position;     // per term: where that document counts it
    std::int64_t document = 0;
    std::u32string word;  // reused: a word already counted costs no allocation
    for (py::handle text : raw_documents) {
        const std::u32string lower = wr::to_u32(text.attr("lower")());
        // Runs of two or more word characters, as the token pattern
        // (?u)\b\w\w+\b finds them.
        wr::text::for_each_word(lower, cc, 2, [&](std::size_t at, std::size_t length) {
            word.assign(lower, at, length);
            auto found = ids.find(word);
            if (found == ids.end()) {
                found = ids.emplace(word, static_cast<std::int64_t>(terms.size())).first;
                terms.push_back(word);
                last_seen.push_back(-1);
                position.push_back(0);
            }
            const auto id = static_cast<std::size_t>(found->second);
            if (last_seen[id] == document) {
                ++values[position[id]];
            } else {
                last_seen[id] = document;
                position[id] = j_indices.size();
                j_indices.push_back(found->second);
                values.push_back(1);
            }
        });
        indptr.push_back(static_cast<std::int64_t>(j_indices.size()));
        ++document;
    }
    if (terms.empty())
        wr::raise(PyExc_ValueError, {"empty vocabulary; perhaps the documents only contain stop words"});

    py::module_ text = wr::import("sklearn.feature_extraction.text");
    py::object indices, pointers;
    if (indptr.back() > std::numeric_limits<std::int32_t>::max()) {
        if (sizeof(void*) < 8)
            wr::raise(PyExc_ValueError, {"sparse CSR array has ", indptr.back(),
                                         " non-zero elements and requires 64 bit indexing, "
                                         "which is unsupported with 32 bit Python."});
        indices = as_array<std::int64_t>(j_indices);
        pointers = as_array<std::int64_t>(indptr);
    } else {
        indices = as_array<std::int32_t>(j_indices);
        pointers = as_array<std::int32_t>(indptr);
    }
    py::array_t<int> counts(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), counts.mutable_data());

    py::dict vocabulary;
    for (std::size_t t = 0; t < terms.size(); ++t) vocabulary[wr::from_u32(terms[t])] = py::int_(t);
    py::object X = text.attr("sp").attr("csr_array")(
        py::make_tuple(counts, indices, pointers),
        py::arg("shape") = py::make_tuple(indptr.size() - 1, terms.size()),
        py::arg("dtype") = vectorizer.attr("dtype"));
    X.attr("sort_indices")();
    return py::make_tuple(vocabulary, text.attr("_align_api_if_sparse")(X));
}

}  // namespace

py::object fit_transform(py::object vectorizer, py::object texts) {
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
    py::cpp_function count([self](py::object raw_documents, py::object fixed) -> py::object {
        if (wr::truthy(fixed))
            return py::type::handle_of(self).attr("_count_vocab")(self, raw_documents, fixed);
        return count_vocabulary(self, raw_documents);
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
