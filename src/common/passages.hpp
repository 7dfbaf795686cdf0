// Where a hit matched: the words of a document's pages, the windows of a few
// dozen words that hold the most (and the rarest) query terms, and those
// windows as display text with the matching words marked. Plain C++17, no
// Python headers; character classes come from the caller.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The query's terms with their weights (rarer terms weigh more), in a fixed
// order; a term given twice counts once, with its first weight.
class Terms {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    Terms() = default;
    Terms(std::vector<std::u32string> words, const std::vector<double>& weights);
    Terms(const Terms&) = delete;  // the index points into the words
    Terms& operator=(const Terms&) = delete;

    std::size_t size() const { return words_.size(); }
    double weight(std::size_t term) const { return weights_[term]; }
    // The term `word` is, or kNone.
    std::size_t find(std::u32string_view word) const;

private:
    std::vector<std::u32string> words_;
    std::vector<double> weights_;
    std::unordered_map<std::u32string_view, std::size_t> index_;
};

// The query term of each blank-separated item of a stored line of terms
// (Terms::kNone for the others, "-" included).
std::vector<std::size_t> match_line(std::u32string_view line, const Terms& terms);

struct Page {
    std::u32string text;
    std::vector<Word> words;
    // The query term each word is (Terms::kNone when none), aligned with
    // `words`; empty when the page's terms do not line up with its words.
    std::vector<std::size_t> match;
};

// A page from its text and the match_line of its stored terms; terms that
// do not line up with the words are dropped: the page then matches nothing.
Page make_page(std::u32string text, std::vector<std::size_t> match, const text::CharClasses& cc);

// A run of words [first, last) of page `page`, and what it holds.
struct Window {
    std::size_t page = 0;
    std::size_t first = 0, last = 0;
    std::size_t distinct = 0;  // distinct query terms held
    double weight = 0.0;       // their weights summed, in term order
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
Passage render(const Page& page, const Window& window);

// ---- windows ranked by stored embeddings ---------------------------------------

// IEEE half precision, the stored form of window embeddings: half the size
// of float32, and its rounding (nearest, ties to even) moves an inner product
// of unit vectors by far less than windows differ by.
std::uint16_t to_half(float value);
float from_half(std::uint16_t half);

// The tiled_windows of `pages` in reading order are the rows of a stored
// matrix; the row of each window in `windows` (all from those tilings), or
// an empty vector when a window does not start a tile.
std::vector<std::size_t> tile_rows(const std::vector<Page>& pages,
                                   const std::vector<Window>& windows, std::size_t size);
// The number of rows the tilings of `pages` make.
std::size_t tile_count(const std::vector<Page>& pages, std::size_t size);

// Indexes into `rows` ordered by the inner product of their row of `matrix`
// (`dim` halves a row) with `query`, greatest first, earlier entries first
// among equals; a NaN product ranks last. Rows must lie inside the matrix.
std::vector<std::size_t> rank_rows(const std::vector<std::size_t>& rows,
                                   const std::vector<std::uint16_t>& matrix, std::size_t dim,
                                   const std::vector<float>& query);

}  // namespace wr::passages
