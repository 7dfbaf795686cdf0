// The term-weighting fit from counts already made: the sorted vocabulary,
// each term's document frequency and the rows of the weighted matrix, as the
// vectoriser's own fit makes them from the same counts (counts in each row
// in the order of the terms' first use over the texts, idf weights,
// rows scaled to unit length, in the same order of operations, so every
// weight comes out equal to the last bit). The idf weights themselves are
// left to the caller, who computes them with the library that defines them.
// Plain C++17, no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "termcounts.hpp"

namespace wr::tfidf {

// For each term id, its place in the vocabulary sorted by code points.
std::vector<std::uint32_t> sorted_places(const counts::TermCounts& counts);

// For each place in the sorted vocabulary, how many rows hold its term.
std::vector<std::uint64_t> row_frequencies(const counts::TermCounts& counts,
                                           const std::vector<std::uint32_t>& places);

// Fills a CSR matrix of counts.rows() rows: `pointers` (rows + 1 values),
// and per entry its column (the term's place) and weight: the count times
// idf[place], each row then divided by its Euclidean length (the sum of the
// squares taken in the row's order; a row of no entries, or of zero length,
// is left as it is). A row's entries are in the order of their term ids.
// Counts are clipped to the largest 32-bit signed value, as the counting
// arrays hold them. A matrix of kSideBySide entries or more is filled by two
// threads; nothing here needs the caller's locks.
constexpr std::size_t kSideBySide = std::size_t{1} << 20;
template <typename Index>
void fill_rows(const counts::TermCounts& counts, const std::vector<std::uint32_t>& places,
               const double* idf, Index* pointers, Index* columns, double* weights);

extern template void fill_rows<std::int32_t>(const counts::TermCounts&, const std::vector<std::uint32_t>&,
                                             const double*, std::int32_t*, std::int32_t*, double*);
extern template void fill_rows<std::int64_t>(const counts::TermCounts&, const std::vector<std::uint32_t>&,
                                             const double*, std::int64_t*, std::int64_t*, double*);

}  // namespace wr::tfidf
