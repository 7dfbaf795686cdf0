// Where a hit matched: the words of a document's pages, the windows of a few
// dozen words that hold the most (and the rarest) query terms, and those
// windows as display text with the matching words marked. Plain C++17, no
// Python headers; character classes come from the caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "textcore.hpp"

namespace wr::passages {

// One word of a page: a whitespace-delimited piece that holds at least one
// word character. The piece (with its punctuation) is what a passage shows;
// the word proper, from its first to its last word character, is what a mark
// covers.
struct Word {
    std::size_t piece_begin, piece_end;
    std::size_t word_begin, word_end;
};

std::vector<Word> words_of(std::u32string_view text, const text::CharClasses& cc);

struct Page {
    std::u32string text;
    std::vector<Word> words;
    // The engine's term for each word (its stem, or its folded form), aligned
    // with `words`; empty when the page's terms are unknown, and "" for a
    // word the engine drops (a stopword).
    std::vector<std::u32string> keys;
};

// Builds a page from its text and its stored terms (blank-separated, one per
// word, "-" for a dropped word). Terms that do not line up with the words are
// ignored: the page then matches nothing.
Page make_page(std::u32string text, std::u32string_view terms, const text::CharClasses& cc);

// A run of words [first, last) of page `page`, and what it holds.
struct Window {
    std::size_t page = 0;
    std::size_t first = 0, last = 0;
    std::size_t distinct = 0;  // distinct query terms held
    double weight = 0.0;       // their weights summed, in term order
};

// Query terms with their weights (rarer terms weigh more), in a fixed order.
struct Terms {
    std::vector<std::u32string> words;
    std::vector<double> weights;
    std::unordered_map<std::u32string, std::size_t> index;
    void add(const std::u32string& word, double weight);
};

// The best window of `size` words of each page that holds a query term, the
// pages ranked: more distinct terms first, then the greater weight, then the
// earlier page. Each window is then re-centred on the matches it holds.
// At most `count` windows.
std::vector<Window> best_windows(const std::vector<Page>& pages, const Terms& terms,
                                 std::size_t size, std::size_t count);

// The page's consecutive windows of `size` words (the last may be shorter),
// every page in turn; at most `limit`, those holding more distinct terms
// (then more weight) first and, among equals, in reading order. Candidates
// for a ranking that is not by terms (embeddings).
std::vector<Window> tiled_windows(const std::vector<Page>& pages, const Terms& terms,
                                  std::size_t size, std::size_t limit);

// A window as display text: its pieces joined by single blanks, and the
// code-point ranges [begin, end) of the words that match a query term.
struct Passage {
    std::u32string text;
    std::vector<std::pair<std::size_t, std::size_t>> marks;
};
Passage render(const Page& page, const Window& window, const Terms& terms);

}  // namespace wr::passages
