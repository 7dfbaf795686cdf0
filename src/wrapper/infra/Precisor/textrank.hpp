// Extractive summaries and keywords by TextRank, computed the way gensim
// 3.8.3's `summarization` package computes them: its sentence splitter and
// token filters, a BM25-weighted sentence graph, a word co-occurrence graph,
// weighted PageRank with damping 0.85, and its keyphrase assembly.
//
// Plain C++17 over code points, no Python headers. Everything the host's
// Unicode database decides (case mapping, accents, \w, \s, \d) and the
// language's stopwords and stemmer come in through `Toolkit`, so results
// follow the interpreter the library runs in.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "textcore.hpp"

namespace wr::textrank {

struct Toolkit {
    const text::CharClasses* classes = nullptr;          // \w and \s
    std::function<bool(char32_t)> is_decimal;             // \d
    std::function<std::u32string(const std::u32string&)> lower;
    // Canonical decomposition, combining marks (category Mn) dropped, then
    // canonical composition again.
    std::function<std::u32string(const std::u32string&)> deaccent;
    // One lower-case word to its stem.
    std::function<std::u32string(const std::u32string&)> stem;
    std::unordered_set<std::u32string> stopwords;
};

// Sentences as gensim splits them: abbreviations such as "Mr. X" or ".e. x"
// are protected first, then the text is cut after ".", "!" or "?" followed by
// whitespace, and at line feeds. A sentence never spans a line feed.
std::vector<std::u32string> split_sentences(const std::u32string& text, const text::CharClasses& cc);

// The tokens gensim keeps of a piece of text: lower-cased, markup tags,
// ASCII punctuation and ASCII digits removed, stopwords and words shorter
// than three characters dropped, the rest stemmed.
std::vector<std::u32string> preprocess(const std::u32string& text, Toolkit& tk);

// Runs of word characters that are not decimal digits.
std::vector<std::u32string> alphabetic_tokens(const std::u32string& text, const Toolkit& tk);

// Removes the dots of letter acronyms ("U.S." -> "US").
std::u32string drop_acronym_dots(const std::u32string& text);

// Power iteration for the principal eigenvector of the PageRank matrix of an
// undirected weighted graph whose every node has at least one edge. `adj[i]`
// lists (neighbour, weight) pairs; a self-loop appears once. The result has
// unit Euclidean length, as an eigen-solver returns it.
std::vector<double> pagerank(const std::vector<std::vector<std::pair<std::size_t, double>>>& adj,
                             double damping = 0.85);

// BM25 scores of every document against every other one, sparse: row i holds
// (j, score) for every j whose score is positive, j ascending, i included.
// Documents are sequences of term ids; a term's frequency in a document is
// how often it occurs there.
std::vector<std::vector<std::pair<std::size_t, double>>> bm25_weights(
    const std::vector<std::vector<std::size_t>>& docs, std::size_t term_count);

// Scores are compared after rounding to this fraction of the best score, so
// values equal up to floating-point noise count as equal and keep their text
// order (the host's sort is stable).
double tie_key(double score, double best);

enum class Outcome { kEmpty, kSingleSentence, kTooFewNodes, kNothingSelected, kSummary };

struct Summary {
    Outcome outcome = Outcome::kEmpty;
    std::vector<std::u32string> sentences;  // text order
    std::size_t unit_count = 0;             // sentences that kept any token
};

// `word_count` given: sentences in rank order while the word total gets
// closer to it, and `ratio` is ignored.
Summary summarize(const std::u32string& text, double ratio, std::optional<double> word_count,
                  Toolkit& tk);

struct Keyword {
    std::u32string phrase;
    double score;  // mean score of its words
};

// `words` given: that many best-ranked lemmas, else `ratio` of them.
// `deaccent`: strip accents from the words (the word sequence used for the
// co-occurrence graph always loses them, as in gensim).
std::vector<Keyword> keywords(const std::u32string& text, double ratio, std::optional<double> words,
                              bool lemmatize, bool deaccent, Toolkit& tk);

// The stemmer gensim applies to English text (its own Porter variant).
std::u32string porter_stem(const std::u32string& word);

// nltk's Portuguese Snowball stemmer, for a lower-case word.
std::u32string portuguese_stem(const std::u32string& word);

// gensim's English stopword list.
const std::vector<std::u32string>& gensim_stopwords();

}  // namespace wr::textrank
