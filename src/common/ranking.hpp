// Ranking and paging of search scores: which rows make one page of hits.
// Plain C++17, no Python headers. The results are those of
//
//     ranked = sorted(enumerate(scores), key=lambda p: -p[1])
//     [row for row, score in ranked[start:stop] if score > 0]
//
// for finite scores, with the host's slice semantics for start and stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wr::ranking {

// A half-open range [begin, end) of positions in a sequence.
struct Span {
    std::size_t begin;
    std::size_t end;
    std::size_t size() const { return end > begin ? end - begin : 0; }
};

// What seq[start:stop] covers in a sequence of `length` items: a negative
// bound counts from the end, bounds past either end are clipped, and a stop
// before the start gives an empty span. The bounds are expected clamped to
// the host's index range already, as the host does before slicing.
Span slice_span(std::size_t length, std::int64_t start, std::int64_t stop);

// The rows at ranks [span.begin, span.end) of the ranking, best first. The
// ranking orders rows by descending score and equal scores by ascending row,
// which is what a stable sort by the negated score gives. A NaN has no place
// in a stable sort's order, so it is put after every number (by row); cosine
// scores never hold one. Only the requested ranks are ordered, so a page
// costs linear time in the number of rows plus the page's own sort.
std::vector<std::size_t> ranked_rows(const std::vector<double>& scores, Span span);

// The rows of one page of hits: the ranks seq[start:stop] of the ranking,
// keeping only rows whose score is greater than 0, in ranked order. Pages are
// cut before the filter, so rows without any score still take up places.
std::vector<std::size_t> page_hits(const std::vector<double>& scores, std::int64_t start,
                                   std::int64_t stop);

}  // namespace wr::ranking
