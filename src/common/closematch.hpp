// Best close match of a word in a vocabulary, with exactly the answer of
// Python's difflib.get_close_matches(word, possibilities, n=1, cutoff=cutoff)
// (the same code from CPython 3.9 to 3.13: SequenceMatcher with isjunk None
// and autojunk on, the word as the second sequence, ties between equal scores
// won by the larger string in code point order). Plain C++17, no Python
// headers; text is code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wr {

// A vocabulary prepared once for many queries. Immutable after construction;
// best() may be called from several threads at once.
class CloseMatcher {
public:
    // Duplicates are allowed: they cannot change the answer.
    explicit CloseMatcher(std::vector<std::u32string> vocabulary);

    // The term difflib would return for get_close_matches(word, vocabulary,
    // n=1, cutoff=cutoff), or nothing when no term scores at least `cutoff`.
    // Throws std::invalid_argument unless 0.0 <= cutoff <= 1.0 (NaN included),
    // the case where difflib raises ValueError.
    std::optional<std::u32string> best(const std::u32string& word, double cutoff) const;

    // The same answer among some of the terms only, given by their places in
    // the vocabulary as passed to the constructor: what
    // get_close_match(word, those terms, cutoff) gives, without preparing
    // them again. Throws std::out_of_range for a place past the vocabulary.
    std::optional<std::u32string> best_among(const std::u32string& word, double cutoff,
                                             const std::vector<std::uint32_t>& among) const;

    // What best() gives, for a caller that has found no term one edit from
    // the word (a letter dropped, added, changed, or two swapped) scoring
    // `cutoff`: the lengths where only such a term could score it are
    // passed over (where every letter of the shorter of the two must
    // match: a term one letter longer or shorter than the word, or as
    // long).
    std::optional<std::u32string> best_beyond_one_edit(const std::u32string& word, double cutoff) const;

    // Number of terms, duplicates included.
    std::size_t size() const { return terms_.size(); }

private:
    struct Run {             // terms of one length: positions [first, last)
        std::size_t length;  // of a list, or of terms_ itself
        std::size_t first;
        std::size_t last;
    };
    static void check_cutoff(double cutoff);
    // The whole vocabulary, a run for each length.
    std::vector<Run> every_run() const;
    // The search over the runs (ascending by length); `positions` maps a
    // run's places to terms_, or is null when they are terms_'s own.
    // `beyond_one_edit`: as best_beyond_one_edit() says.
    std::optional<std::u32string> scan(const std::u32string& word, double cutoff,
                                       const std::vector<Run>& runs, const std::size_t* positions,
                                       bool beyond_one_edit = false) const;

    struct Bucket {          // all terms of one length, a run of terms_
        std::size_t length;
        std::size_t first;
        std::size_t last;    // one past
    };
    struct Count {           // one distinct character of a term
        std::uint32_t id;
        std::uint32_t n;
    };

    std::vector<std::u32string> terms_;     // by length, otherwise in the given order
    std::vector<std::size_t> placed_;       // per term as given: its place in terms_
    std::vector<char32_t> alphabet_;        // sorted; a character's id is its index
    std::vector<std::uint32_t> chars_;      // terms' characters as ids, concatenated
    std::vector<std::size_t> char_start_;   // terms_.size() + 1 offsets into chars_
    std::vector<Count> counts_;             // terms' character histograms, concatenated
    std::vector<std::size_t> count_start_;  // terms_.size() + 1 offsets into counts_
    std::vector<Bucket> buckets_;           // by length
    // A coarse histogram per term: 16 classes of characters, the count of each
    // in 4 bits (0..7); kNoSketch for a term with more than 7 in some class.
    std::vector<std::uint64_t> sketches_;
    std::vector<std::uint8_t> class_of_;    // per id: its class, 0..15

    class Query;                            // per-call state of best()
};

// One-shot form of CloseMatcher(possibilities).best(word, cutoff).
std::optional<std::u32string> get_close_match(const std::u32string& word,
                                              const std::vector<std::u32string>& possibilities,
                                              double cutoff);

}  // namespace wr
