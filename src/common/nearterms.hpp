// The terms of a vocabulary at most one edit (a letter dropped, added,
// changed, or two neighbours swapped) from a word, through the words each
// term gives with one letter dropped: two strings are one edit apart only if
// they share such a word or one is such a word of the other. A misspelling
// is nearly always one edit from the word meant, and this finds its
// candidates with a few lookups instead of a pass over the vocabulary.
// Plain C++17, no Python headers.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
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
    std::unordered_map<std::u32string, std::vector<std::uint32_t>> by_deletion_;
};

}  // namespace wr
