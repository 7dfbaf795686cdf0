// Pieces of the term-weighting engine shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

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

// Training and persistence: train_model, load_model.
void init_training(py::handle cls);
// Search and query correction: search_documents, correct_query.
void init_search(py::handle cls);

// ---- the ranked search (ranked.cpp) ------------------------------------------

// Whether search_documents ranks by BM25 (the module's RANKING is "bm25")
// rather than by the TF-IDF cosine ("tfidf", the default); any
// other value is refused with ValueError.
bool ranking_is_bm25();
// search_documents with the ranked search; the engine's model is loaded.
py::object search_ranked(py::object engine, py::object query, py::object language,
                         py::object page, py::object results_per_page, py::object cutoff);
// RANKING, WORD_LISTS, and the module's private views of the ranking core,
// for the tests.
void init_ranked(py::module_& m);
// Where the last search on this thread spent its time (stemming,
// correction, vectorising, scoring, ranking), for the benchmark.
void note_search_split(const double (&seconds)[5]);

// ---- one word's term (terms.cpp) ---------------------------------------------

// Text decomposed (NFD) with its combining marks dropped, as normalisation
// folds accents.
std::u32string folded(py::handle text);
// The term the stemming pipeline files for `word` (folded, word characters
// only) in the language of this code: lower-cased, "" for a stopword, else
// its Snowball stem; with the code "" (no language) the lower-cased word.
std::u32string term_of(const std::u32string& word, const std::string& code);
// The Snowball stem of `word` (stopwords too), lower-cased; nothing is
// remembered (for words looked at once).
std::u32string stem_word(const std::u32string& word, const std::string& code);
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
