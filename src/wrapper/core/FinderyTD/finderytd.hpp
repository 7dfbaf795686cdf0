// Pieces of the term-weighting engine shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "besidefile.hpp"
#include "binimage.hpp"
#include "termcounts.hpp"
#include "pyutil.hpp"

namespace finderytd {

namespace py = pybind11;

// Collaborators bound into this module (TfidfVectorizer, cosine_similarity,
// joblib, os, Tonguecheck, ...) are read from it at call time, so a host or a
// test that patches one is honoured.
inline py::object attr(const char* name) { return wr::this_module().attr(name); }
// Wordwash's stemming function as bound into this module when it loaded.
py::object& stemming_bound_at_import();
// cosine_similarity as bound into this module when it loaded: search computes
// the same scores itself only while that one is in place.
py::object& cosine_bound_at_import();
// Likewise TfidfVectorizer and the transformer class it fits: search computes
// a query's row itself only for a vectoriser of exactly these classes.
py::object& tfidf_bound_at_import();
py::object& tfidf_transformer_bound_at_import();
py::object& tfidf_transform_bound_at_import();  // TfidfVectorizer.transform

// Whether the module's lazily loaded name (TfidfVectorizer,
// cosine_similarity, joblib) is still the library's own: not loaded yet, or
// loaded and not replaced by a host since.
bool lazy_untouched(const char* name);

// vectorizer.fit_transform(texts), with the counting done in C++ when the
// vectoriser is scikit-learn's own with the defaults (counting.cpp): the
// same vectoriser and matrix either way. The counts come from the engine's
// kept term counts where they hold a text (countstore.cpp).
py::object fit_transform(py::handle engine, py::object vectorizer, py::object texts);

// Training and persistence: train_model, load_model.
void init_training(py::handle cls);
// Whether `bound` (the engine's load_model, as looked up on it) is this
// module's own, bound to the engine: for a loaded engine it would only
// answer so, and an engine not loaded reads its model as this module does.
bool own_load_model(py::handle engine, py::handle bound);
// Search and query correction: search_documents, correct_query.
void init_search(py::handle cls);

// ---- the ranked search (ranked.cpp) ------------------------------------------

// The ranked index derived from an engine's documents (opaque here).
struct Ranked;
// A hit's name and language, by the document's number in the index.
using Describe = std::function<std::pair<py::object, py::object>(std::uint32_t)>;

// Whether search_documents ranks by BM25 (the module's RANKING is "bm25")
// rather than by the TF-IDF cosine ("tfidf", the default); any
// other value is refused with ValueError.
bool ranking_is_bm25();
// search_documents with the ranked search; the engine's model is loaded.
py::object search_ranked(py::object engine, py::object query, py::object language,
                         py::object page, py::object results_per_page, py::object cutoff);
// The same search over a ranked index read from its stored image
// (searchstore.cpp), which names the hits.
py::object search_ranked(const std::shared_ptr<Ranked>& r, py::object query, py::object language,
                         py::object page, py::object results_per_page, py::object cutoff,
                         const Describe& describe);
// The ranked index of the engine's loaded documents (made once per model).
std::shared_ptr<Ranked> ranked_index(py::handle engine);
std::size_t documents_of(const Ranked& r);
std::optional<std::uint32_t> term_id(const Ranked& r, const std::u32string& term);
const std::vector<std::u32string>& terms_of(const Ranked& r);
// Its image, and one read back (wr::image::Damaged for bytes that are none).
void write_ranked(const Ranked& r, wr::image::Writer& out);
// At least the bytes write_ranked puts.
std::size_t ranked_image_bytes(const Ranked& r);
// With `keep`, the postings stay in the reader's bytes, which it holds
// (bm25::Index::read).
std::shared_ptr<Ranked> read_ranked(wr::image::Reader& in, std::shared_ptr<const void> keep = nullptr);
// ---- the search index stored beside the model (searchstore.cpp) -------------

using wr::ModelIdentity;
using wr::model_identity;
using wr::model_identity_of_fd;
using wr::put_identity;
using wr::get_identity;
using wr::beside_model;
using wr::write_beside_model;
using wr::held_on;
using wr::hold_on;

struct StoredSearch;
// The current stored index of an engine object that has not read its model
// (read once, then kept on the object), or null: loaded already, a host's own
// loading, no index or a stale or damaged one.
std::shared_ptr<StoredSearch> stored_search(py::handle engine);
void forget_stored_search(py::handle engine);
// Whether the model is the one the current stored index was written with,
// and so a standard pickle (which the C unpickler reads ten times faster
// than joblib.load does).
bool model_is_plain_pickle(py::handle engine);
// search_documents with the ranked search, answered from the stored index.
py::object search_stored(const std::shared_ptr<StoredSearch>& s, py::object query, py::object language,
                         py::object page, py::object results_per_page, py::object cutoff);
// The language codes its documents are in, most documents first.
std::vector<std::string> stored_languages(const StoredSearch& s);
// The vectoriser's idf of a term, when its vocabulary holds it.
std::optional<double> stored_idf(const StoredSearch& s, const std::u32string& term);
// Under the model's lock, right after the model: the index of the engine's
// documents (removed when they cannot be stored so).
void write_search_index(py::handle engine);
// _languages_held and _stored_idf, for the facade and the command line.
void init_stored(py::module_& m);

// RANKING, WORD_LISTS, and the module's private views of the ranking core,
// for the tests.
void init_ranked(py::module_& m);
// Where the last search on this thread spent its time (stemming,
// correction, vectorising, scoring, ranking), for the benchmark.
void note_search_split(const double (&seconds)[5]);

// ---- each document's term counts, kept (countstore.cpp) ----------------------

// The term counts of texts, each text known by the object itself: texts are
// immutable, and the counted ones are held here, so that no other object
// can take a counted text's address.
struct KeptCounts {
    wr::counts::TermCounts counts;
    py::list texts;  // row r counts texts[r]
    std::unordered_map<PyObject*, std::uint32_t> rows;
    // The row of this text, or nothing when it is not counted here.
    std::optional<std::size_t> row(py::handle text) const {
        auto at = rows.find(text.ptr());
        if (at == rows.end()) return std::nullopt;
        return at->second;
    }
};
// The engine's kept counts (those of the stored model read from beside it
// at the first need), or an empty set.
std::shared_ptr<const KeptCounts> kept_counts(py::handle engine);
// The counts of `texts` (str objects), a row each in their order, from the
// kept rows where they hold a text and by tokenising the rest; they become
// the engine's kept counts.
std::shared_ptr<const KeptCounts> count_texts(py::handle engine, const std::vector<py::object>& texts);
// After load_model read the model of this identity (nothing: not one this
// module wrote): its texts' counts are those stored beside it, if current.
void expect_stored_counts(py::handle engine, const std::optional<ModelIdentity>& model);
void forget_counts(py::handle engine);
// Under the model's lock, right after the model: the counts of every stored
// text (removed when the texts cannot be counted so).
void write_counts(py::handle engine);
// _term_counts, for the tests.
void init_counts(py::module_& m);

// ---- one word's term (terms.cpp) ---------------------------------------------

// Text decomposed (NFD) with its combining marks dropped, as normalisation
// folds accents.
std::u32string folded(py::handle text);
// The term the stemming pipeline files for `word` (folded, word characters
// only) in the language of this code: lower-cased, "" for a stopword, else
// its Snowball stem; with the code "" (no language) the lower-cased word.
// Terms are remembered per word; `remember` false for words asked about once
// (a misspelling's candidates), where remembering costs more than stemming
// in C++ again.
std::u32string term_of(const std::u32string& word, const std::string& code, bool remember = true);
// While one lives on this thread (the reading of one query), each
// language's stemming is looked up in Wordwash once, at its first word,
// not at every word: a patch of Wordwash is seen by the next query.
class TermScope {
public:
    TermScope();
    ~TermScope();
    TermScope(const TermScope&) = delete;
    TermScope& operator=(const TermScope&) = delete;
    // A number of the scope open on this thread, different for each
    // outermost one it opens; 0 when none is open.
    static std::uint64_t current();
};

// Entries of a table that are looked up once per language within a
// TermScope (per thread): the table's entries must never be removed, only
// replaced in place, so that a pointer to one stays good. Outside a scope
// every call looks up.
template <typename Entry>
class ScopedLookups {
public:
    template <typename LookUp>
    Entry& get(const std::string& code, LookUp look_up) {
        const std::uint64_t scope = TermScope::current();
        if (scope == 0) return look_up(code);
        if (scope != scope_) seen_.clear(), scope_ = scope;
        for (const auto& [c, entry] : seen_)
            if (c == code) return *entry;
        Entry& entry = look_up(code);
        seen_.emplace_back(code, &entry);
        return entry;
    }

private:
    std::uint64_t scope_ = 0;
    std::vector<std::pair<std::string, Entry*>> seen_;
};
// The Snowball stem of `word` (stopwords too), lower-cased; nothing is
// remembered (for words looked at once).
std::u32string stem_word(const std::u32string& word, const std::string& code);
// Whether term_of stems in C++ for `code` now (nltk as shipped).
bool stems_natively(const std::string& code);
// An Idiomark member's code, or a code given as such; "" for none.
std::string stemming_code(py::handle language);

// ---- what the ranked search keeps beside the model (splitstore.cpp) -----------

// The engine's entries, {id: (fingerprint of the cleaned text, stemming code
// or None, split terms)}; made empty when it has none.
py::dict split_terms(py::handle engine);
// The terms of the parts of every joined word of `text`, blank-separated.
std::u32string split_terms_of(py::handle text, const std::string& code);
// A document's entry, or None when it needs none.
py::object split_entry(py::handle doc);
void set_split_entry(py::handle engine, py::handle id, py::handle entry);
void reset_split_terms(py::handle engine);
// Read beside a model just loaded; a missing or damaged file reads as empty.
void read_split_terms(py::handle engine);
// Under the model's lock, before the model: the entries of the documents
// the engine holds (the file is removed when there are none).
void write_split_terms(py::handle engine);

}  // namespace finderytd
