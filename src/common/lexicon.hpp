// A word list for membership and for the listed words one edit from a
// misspelling: plain C++17, no Python headers.
//
// The words lie end to end in one block (the Portuguese lists alone are
// 700,000 lines: one allocation a word, or sorting them all, cost more than
// everything else a cold search does) and are filed in a term table
// (termids.hpp) whose slots hold a word's place and the high half of its
// hash, so the words themselves are rarely read.
//
// A misspelt word has some fifty edits a letter, nearly all no word at all.
// Most are told by bit filters, sixteen bits a word (three bits a look-up,
// in one 64-bit word: a few false passes a misspelling), kept in regions:
// one region per word length and first three letters, and again per length
// and last three letters. An edit past the third letter keeps the word's
// first three, and one before the last three keeps its last three, so the
// twenty-six letters tried at a place look in one small region (a few
// cache lines, and none at all when no word has that length and start)
// instead of twenty-six places anywhere in the filter: searched between
// other work, the filter's cache misses were most of the cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "termids.hpp"

namespace wr {

class Lexicon {
public:
    // `words`: the words end to end, with repeats; `spans` their places in
    // it. `ordered`: keep them sorted too.
    Lexicon(const std::u32string& words, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& spans,
            bool ordered);
    // The words are views into the block.
    Lexicon(const Lexicon&) = delete;
    Lexicon& operator=(const Lexicon&) = delete;

    bool contains(std::u32string_view word) const;
    bool empty() const { return words_.empty(); }
    std::size_t size() const { return words_.size(); }
    // Folded, lower-cased, distinct, in the lists' order.
    const std::vector<std::u32string_view>& words() const { return words_; }
    // Folded, lower-cased, sorted, distinct; empty unless made `ordered`.
    const std::vector<std::u32string_view>& sorted() const { return sorted_; }

    // The listed words one edit from `word` (a letter left out, two
    // adjacent ones swapped, or a letter of a-z put in or in place of
    // one), sorted, without `word` itself.
    std::vector<std::u32string> neighbours(std::u32string_view word) const;

private:
    // A region of the filters: `size` 64-bit words from `bits`; size 0 for
    // a key no word has.
    struct Region {
        const std::uint64_t* bits = nullptr;
        std::uint32_t size = 0;
        // The 64-bit word of the region that hash `h` falls in.
        std::size_t place(std::uint64_t h) const;
        bool may_hold(std::uint64_t h) const;
    };
    struct Directory {
        std::uint64_t key = 0;
        std::uint32_t offset = 0;
        std::uint32_t size = 0;  // 0: an empty place
    };
    // The key of a region: side 0 for first letters, 1 for last ones;
    // `window` the word's first (or last) three letters, or all of a
    // shorter word.
    static std::uint64_t region_key(int side, std::size_t length, std::u32string_view window);
    Region region(std::uint64_t key) const;
    // `h`: hash(word), and a filter let it through.
    bool holds(std::u32string_view word, std::uint64_t h) const;

    std::u32string chars_;
    std::vector<std::u32string_view> words_;   // in the lists' order
    std::vector<std::u32string_view> sorted_;  // when made `ordered`
    TermIds ids_;                              // word -> its place in words_
    std::vector<Directory> directory_;         // at most half full
    std::vector<std::uint64_t> filters_;       // every region end to end
};

}  // namespace wr
