// The terms of a vocabulary at most one edit (a letter dropped, added,
// changed, or two neighbours swapped) from a word, through the words each
// term gives with one letter dropped: two strings are one edit apart only if
// they share such a word or one is such a word of the other. A misspelling
// is nearly always one edit from the word meant, and this finds its
// candidates with a few lookups instead of a pass over the vocabulary.
//
// The dropped-letter words are never spelt out: each is filed by a hash
// made from its term's prefix and suffix sums, in one sorted array, and a
// term found by hash is checked against the word before it counts. Made
// once per vocabulary when a first word needs correcting, it costs a sort
// of some ten entries a term, not a map node and a string for each.
// Plain C++17, no Python headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wr {

class NearTerms {
public:
    explicit NearTerms(const std::vector<std::u32string>& terms);

    // Indices into the vocabulary of the terms that share a one-letter
    // deletion with `word`, or are it, or one of its deletions: a superset
    // of those one edit away (some two edits away come too), without
    // repeats, in ascending order.
    std::vector<std::uint32_t> candidates(const std::u32string& word) const;

private:
    std::u32string_view term(std::uint32_t t) const {
        return std::u32string_view(chars_).substr(starts_[t], starts_[t + 1] - starts_[t]);
    }

    std::u32string chars_;              // the terms end to end
    std::vector<std::size_t> starts_;   // terms + 1 offsets into chars_
    std::vector<std::pair<std::uint64_t, std::uint32_t>> filed_;  // (hash of a deletion, term), sorted
};

}  // namespace wr
