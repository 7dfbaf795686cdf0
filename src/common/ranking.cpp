#include "ranking.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace wr::ranking {

namespace {

// Clips one bound the way the host's slice adjustment does for a step of 1.
std::size_t clip(std::int64_t bound, std::size_t length) {
    const auto n = static_cast<std::int64_t>(length);
    if (bound < 0) {
        bound += n;  // cannot overflow: bound is negative and n is not
        return bound < 0 ? 0 : static_cast<std::size_t>(bound);
    }
    return bound >= n ? length : static_cast<std::size_t>(bound);
}

}  // namespace

Span slice_span(std::size_t length, std::int64_t start, std::int64_t stop) {
    const std::size_t b = clip(start, length);
    const std::size_t e = clip(stop, length);
    return {b, e > b ? e : b};
}

std::vector<std::size_t> ranked_rows(const std::vector<double>& scores, Span span) {
    const std::size_t n = scores.size();
    span.end = std::min(span.end, n);
    if (span.size() == 0) return {};

    // A strict total order (score descending, then row ascending) selects and
    // sorts exactly like the stable sort it stands for, without sorting the
    // ranks outside the page.
    auto before = [&scores](std::size_t a, std::size_t b) {
        const double x = scores[a], y = scores[b];
        const bool xn = std::isnan(x), yn = std::isnan(y);
        if (xn != yn) return yn;
        if (!xn && x != y) return x > y;
        return a < b;
    };
    std::vector<std::size_t> rows(n);
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    const auto first = rows.begin() + static_cast<std::ptrdiff_t>(span.begin);
    const auto last = rows.begin() + static_cast<std::ptrdiff_t>(span.end);
    if (first != rows.begin()) std::nth_element(rows.begin(), first, rows.end(), before);
    if (last != rows.end()) std::nth_element(first, last, rows.end(), before);
    std::sort(first, last, before);
    return std::vector<std::size_t>(first, last);
}

std::vector<std::size_t> page_hits(const std::vector<double>& scores, std::int64_t start,
                                   std::int64_t stop) {
    // Rows with a positive score are ranked before every other row, so they
    // hold exactly ranks [0, positives) and only they can be hits: the page
    // is cut from the full ranking's bounds, then narrowed to those ranks.
    const Span span = slice_span(scores.size(), start, stop);
    if (span.size() == 0) return {};
    std::vector<std::size_t> positive;
    for (std::size_t r = 0; r < scores.size(); ++r)
        if (scores[r] > 0.0) positive.push_back(r);
    if (span.begin >= positive.size()) return {};

    std::vector<double> kept(positive.size());
    for (std::size_t i = 0; i < positive.size(); ++i) kept[i] = scores[positive[i]];
    std::vector<std::size_t> ranks = ranked_rows(kept, {span.begin, std::min(span.end, kept.size())});
    for (std::size_t& i : ranks) i = positive[i];
    return ranks;
}

}  // namespace wr::ranking
