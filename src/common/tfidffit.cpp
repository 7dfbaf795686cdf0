#include "tfidffit.hpp"
#include "sidebyside.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace wr::tfidf {

std::vector<std::uint32_t> sorted_places(const counts::TermCounts& counts) {
    const auto n = static_cast<std::uint32_t>(counts.terms());
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    // Terms are distinct, so the order is total.
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return counts.term(a) < counts.term(b); });
    std::vector<std::uint32_t> places(n);
    for (std::uint32_t i = 0; i < n; ++i) places[order[i]] = i;
    return places;
}

std::vector<std::uint64_t> row_frequencies(const counts::TermCounts& counts,
                                           const std::vector<std::uint32_t>& places) {
    std::vector<std::uint64_t> df(counts.terms(), 0);
    for (std::size_t r = 0; r < counts.rows(); ++r)
        for (const counts::Entry* e = counts.row_begin(r); e != counts.row_end(r); ++e) ++df[places[e->term]];
    return df;
}

namespace {

// Rows [from, to) of fill_rows, whose entries go where the counts hold them.
template <typename Index>
void fill_part(const counts::TermCounts& counts, const std::vector<std::uint32_t>& places, const double* idf,
               Index* pointers, Index* columns, double* weights, std::size_t from, std::size_t to) {
    constexpr std::uint32_t kLargest = std::numeric_limits<std::int32_t>::max();
    const counts::Entry* const base = counts.row_begin(0);
    std::vector<std::uint64_t> row;  // term << 32 | count: a row's terms are distinct
    for (std::size_t r = from; r < to; ++r) {
        row.clear();
        for (const counts::Entry* e = counts.row_begin(r); e != counts.row_end(r); ++e)
            row.push_back(std::uint64_t{e->term} << 32 | std::min(e->count, kLargest));
        std::sort(row.begin(), row.end());
        const std::size_t first = static_cast<std::size_t>(counts.row_begin(r) - base);
        std::size_t at = first;
        for (const std::uint64_t entry : row) {
            const std::uint32_t place = places[entry >> 32];
            columns[at] = static_cast<Index>(place);
            weights[at] = static_cast<double>(static_cast<std::uint32_t>(entry)) * idf[place];
            ++at;
        }
        // One term at a time, as a plain loop adds them: no reordering, and
        // no fused multiply-add (this file is compiled without contraction).
        double sum = 0.0;
        for (std::size_t i = first; i < at; ++i) sum += weights[i] * weights[i];
        if (sum != 0.0) {
            const double length = std::sqrt(sum);
            for (std::size_t i = first; i < at; ++i) weights[i] /= length;
        }
        pointers[r + 1] = static_cast<Index>(at);
    }
}

}  // namespace

template <typename Index>
void fill_rows(const counts::TermCounts& counts, const std::vector<std::uint32_t>& places,
               const double* idf, Index* pointers, Index* columns, double* weights) {
    pointers[0] = 0;
    const std::size_t rows = counts.rows(), entries = counts.entries();
    if (rows == 0) return;
    // Two halves side by side for a large matrix: rows are independent.
    std::size_t split = rows;
    if (entries >= kSideBySide) {
        const counts::Entry* const base = counts.row_begin(0);
        split = 0;
        while (split < rows && static_cast<std::size_t>(counts.row_begin(split) - base) < entries / 2) ++split;
    }
    if (split == rows) {
        fill_part(counts, places, idf, pointers, columns, weights, 0, rows);
        return;
    }
    side_by_side([&] { fill_part(counts, places, idf, pointers, columns, weights, 0, split); },
                 [&] { fill_part(counts, places, idf, pointers, columns, weights, split, rows); });
}

template void fill_rows<std::int32_t>(const counts::TermCounts&, const std::vector<std::uint32_t>&,
                                      const double*, std::int32_t*, std::int32_t*, double*);
template void fill_rows<std::int64_t>(const counts::TermCounts&, const std::vector<std::uint32_t>&,
                                      const double*, std::int64_t*, std::int64_t*, double*);

}  // namespace wr::tfidf
