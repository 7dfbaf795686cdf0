// BM25 ranking over term ids, and the word pieces it ranks: plain C++17, no
// Python headers.
//
// The index is built once from every document's terms and answers a query
// of weighted terms with one page of hits. Each document belongs to a group
// (the language its text was stemmed in), and each query term names the
// groups it scores: a query stemmed in each language is scored against that
// language's documents only, in one pass over the postings.
//
// Scores are those of
//
//     sum over query terms t present in d, d in t's groups, of
//         weight(t) * idf(t) * tf(t, d) * (k1 + 1) / (tf(t, d) + k1 * (1 - b + b * len(d) / avglen))
//     idf(t) = ln(1 + (N - df(t) + 0.5) / (df(t) + 0.5))
//
// (Lucene's BM25, whose idf never goes negative), with len(d) the number of
// terms of d and N every document of the index, whatever its group.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binimage.hpp"
#include "textcore.hpp"

namespace wr::bm25 {

struct Params {
    double k1 = 1.2;
    double b = 0.75;
};

struct QueryTerm {
    std::uint32_t term;
    std::uint32_t groups;  // bit g set: the term scores the documents of group g
    double weight;         // how many times the query holds it, or a share of that; 0 or
                           // less (or NaN): the term scores nothing
};

struct Hit {
    std::uint32_t doc;
    double score;
};

// The order of a page: higher scores first, equal scores in document order.
// An object, not a function: the heap's calls are inlined then.
struct RanksBefore {
    bool operator()(const Hit& a, const Hit& b) const {
        return a.score != b.score ? a.score > b.score : a.doc < b.doc;
    }
};

// Groups are numbered from 0 to kMaxGroups - 1.
inline constexpr std::size_t kMaxGroups = 32;

// What scores take from the whole collection: how many documents it holds,
// the sum of their lengths, and each term's document frequency. An index of
// part of a larger collection (a shard of it) built with the whole's scores
// each of its documents to the last bit as an index of the whole would, so
// the shards' first pages, merged by score and then by the documents' order
// in the whole, are the whole index's first page.
struct Collection {
    std::size_t documents = 0;
    double total_length = 0;                 // lengths are whole numbers: any order sums them exactly
    std::vector<std::uint32_t> frequency;    // per term id
};

// A term of a document and how many times the document holds it.
struct TermCount {
    std::uint32_t term;
    std::uint32_t count;
};

class Index {
public:
    // Document d holds the term ids tokens[starts[d] .. starts[d + 1]) (a
    // repeated id counts once more) and belongs to groups[d]. Throws
    // std::invalid_argument for a term id >= terms, a group >= kMaxGroups,
    // offsets that do not fit `tokens`, or more than 2^32 - 1 documents.
    //
    // With `whole`, the index scores with that collection's figures instead
    // of its own (see Collection), and throws std::invalid_argument for one
    // that cannot hold these documents (fewer documents, a shorter total,
    // a term less frequent than here, or not one frequency per term). Such
    // an index has no image: write() throws std::logic_error.
    Index(std::size_t terms, const std::vector<std::uint32_t>& tokens,
          const std::vector<std::size_t>& starts, const std::vector<std::uint8_t>& groups,
          Params params = {}, std::shared_ptr<const Collection> whole = nullptr);
    // The same index from each document's terms with their counts,
    // counts[starts[d] .. starts[d + 1]) (a term listed twice in a document
    // counts the sum), in any order: what a text's tokens sum up to.
    Index(std::size_t terms, const std::vector<TermCount>& counts,
          const std::vector<std::size_t>& starts, const std::vector<std::uint8_t>& groups,
          Params params = {}, std::shared_ptr<const Collection> whole = nullptr);

    std::size_t documents() const { return groups_.size(); }
    std::uint8_t group(std::uint32_t doc) const { return groups_.at(doc); }
    std::size_t terms() const { return starts_.size() - 1; }
    // As scored: the whole collection's, for an index built with one.
    std::uint32_t document_frequency(std::uint32_t term) const;
    double idf(std::uint32_t term) const;
    // Bytes held by the postings and per-document arrays.
    std::size_t footprint() const;

    // The index as an image (binimage.hpp), and an index read back from one:
    // it scores and ranks exactly as the one written. read() throws
    // image::Damaged for bytes that hold no consistent index.
    //
    // With `keep` (what holds the reader's bytes, a mapped file), the
    // postings and their block maxima are used where they lie and read only
    // when a query names their term: a read costs what the vocabulary and
    // the documents cost, not the postings. Each term's postings are then
    // checked the first time a query names it, and the query throws
    // image::Damaged for postings that do not hold. Without `keep` they are
    // copied and all checked at once.
    void write(image::Writer& out) const;
    // At least the bytes write() puts.
    std::size_t image_bytes() const;
    static Index read(image::Reader& in, std::shared_ptr<const void> keep = nullptr);

    // Every document's score, in document order (the reference form).
    std::vector<double> scores(const std::vector<QueryTerm>& query) const;
    // The ranks [start, stop) of the documents scoring above 0, best first,
    // equal scores in document order; only documents sharing a term with the
    // query are looked at, and once the terms left cannot lift an unscored
    // document into the first `stop`, only documents scored already take
    // them. Terms outside [0, terms()) throw std::out_of_range.
    // Safe to call from several threads at once.
    std::vector<Hit> rank(const std::vector<QueryTerm>& query, std::size_t start,
                          std::size_t stop) const;
    // How many documents score above 0.
    std::size_t matches(const std::vector<QueryTerm>& query) const;

private:
    Index() = default;
    // The constructors' work: `term_of(i)` and `count_of(i)` read entry i of
    // `entries` entries split into documents by `starts`.
    template <typename TermOf, typename CountOf>
    void build(std::size_t terms, std::size_t entries, const std::vector<std::size_t>& starts,
               TermOf term_of, CountOf count_of);
    // idf_, blocks_ and present_groups_ from the documents' groups and the
    // postings' offsets.
    void derive_terms();
    // top_ and block_top_ from the postings, as the constructor makes them.
    void derive_tops();
    std::size_t frequency(std::uint32_t term) const {
        return whole_ ? whole_->frequency[term] : starts_[term + 1] - starts_[term];
    }
    // The postings' addresses: the vectors' own.
    void point_at_own();
    // Throws std::out_of_range for a term outside the vocabulary, and
    // image::Damaged for one whose postings, read from an image, do not hold.
    void check(const std::vector<QueryTerm>& query) const;
    void check_postings(std::uint32_t term) const;
    // The checksum of a term's postings, documents and weights.
    std::uint64_t postings_checksum(std::uint32_t term) const;
    // A query term as scored: the groups it scores that some document is
    // in, its factor, its postings [begin, end), and the most it adds to
    // a document's score.
    struct Planned {
        std::size_t frequency;   // the term's document frequency, as scored
        std::uint32_t wanted;
        double factor;
        std::size_t begin, end;
        double bound;
    };
    // The terms that score, in the order they are added up.
    std::vector<Planned> plan(const std::vector<QueryTerm>& query) const;
    // Adds every matching document's score into `acc` (all zero before),
    // listing each document the first time it is touched in `touched`
    // (whatever it held is replaced). With `stop` above 0, documents that
    // cannot rank among the first `stop` may be left out (and those kept
    // scored in full).
    void accumulate(const std::vector<QueryTerm>& query, std::vector<double>& acc,
                    std::vector<std::uint32_t>& touched, std::size_t stop = 0) const;
    // Whether no document outside the `count` touched can rank among the
    // first `stop` once terms[next..] are added.
    bool settled(const std::vector<Planned>& terms, std::size_t next, const double* acc,
                 const std::uint32_t* touched, std::size_t count, std::size_t stop) const;

    Params params_;
    std::shared_ptr<const Collection> whole_;  // what scores are taken from, when not this index
    std::vector<std::uint8_t> groups_;   // per document
    std::uint32_t present_groups_ = 0;   // bit g: some document is in group g
    std::vector<std::size_t> starts_;    // terms() + 1 offsets into the postings
    std::vector<std::uint32_t> docs_;    // postings: documents ascending per term
    std::vector<float> saturated_;       // tf * (k1 + 1) / (tf + k1 * (1 - b + b * len / avglen))
    std::vector<double> idf_;            // per term
    std::vector<float> top_;             // per term, its largest saturated value
    static constexpr std::size_t kBlock = 64;
    std::vector<std::size_t> blocks_;    // terms() + 1 offsets into block_top_
    std::vector<float> block_top_;       // per block of a term's postings, its largest saturated value
    // Where the postings and block maxima are read: the vectors above, or
    // the bytes `keep_` holds for an index read where it lies.
    const std::uint32_t* docs_at_ = nullptr;
    const float* saturated_at_ = nullptr;
    const float* block_top_at_ = nullptr;
    std::shared_ptr<const void> keep_;
    // For an index read where it lies: per term, whether its postings were
    // checked (set once, by whichever query gets there first).
    std::unique_ptr<std::atomic<std::uint8_t>[]> checked_;
    std::vector<std::uint64_t> sums_;    // per term, postings_checksum() as written
};

// ---- pieces of text --------------------------------------------------------
//
// The engine's normalisation deletes every character that is neither a word
// character nor whitespace, so "large-deflection" is filed as one word,
// "largedeflection", and "the/second" as "thesecond". A piece keeps that
// joined word and, when dashes or slashes separate words inside it, the
// words they separate, so a ranking can file both: "large deflection" then
// finds it, and so does the joined "email" for "e-mail".

struct Piece {
    std::u32string joined;               // the piece's word characters, as normalisation joins them
    std::vector<std::u32string> parts;   // the words between its dashes and slashes; empty for one word
};

// Dash punctuation (Unicode's Pd), the minus sign and the slashes.
bool is_joiner(char32_t c);

// The whitespace-separated pieces of `text` (decomposed, combining marks
// dropped already, as normalisation has them), in order. Pieces without any
// word character are left out; so are parts without one.
std::vector<Piece> pieces_of(std::u32string_view text, const text::CharClasses& cc);

// 64-bit FNV-1a of the code points (each as four little-endian bytes): a
// cheap fingerprint of a stored text, to tell whether data kept beside it
// still belongs to it.
std::uint64_t fingerprint(std::u32string_view text);

}  // namespace wr::bm25
