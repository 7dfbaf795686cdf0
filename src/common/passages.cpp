#include "passages.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace wr::passages {

namespace {

constexpr std::size_t kNoTerm = Terms::kNone;

// A page's matches, or none at all when they do not line up with its words.
std::vector<std::size_t> matches_of(const Page& page) {
    if (page.match.size() == page.words.size()) return page.match;
    return std::vector<std::size_t>(page.words.size(), kNoTerm);
}

// Running counts of the query terms inside a window.
class Tally {
public:
    explicit Tally(const Terms& terms) : terms_(terms), counts_(terms.size(), 0) {}
    void add(std::size_t term) {
        if (term != kNoTerm) ++counts_[term];
    }
    void remove(std::size_t term) {
        if (term != kNoTerm) --counts_[term];
    }
    // Summed in term order every time, so that equal windows weigh exactly
    // the same whatever was added and removed before.
    void describe(Window& w) const {
        w.distinct = 0;
        w.weight = 0.0;
        for (std::size_t t = 0; t < counts_.size(); ++t) {
            if (!counts_[t]) continue;
            ++w.distinct;
            w.weight += terms_.weight(t);
        }
    }

private:
    const Terms& terms_;
    std::vector<std::size_t> counts_;
};

bool better(const Window& a, const Window& b) {
    if (a.distinct != b.distinct) return a.distinct > b.distinct;
    return a.weight > b.weight;
}

}  // namespace

Terms::Terms(std::vector<std::u32string> words, const std::vector<double>& weights) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (std::find(words_.begin(), words_.end(), words[i]) != words_.end()) continue;
        words_.push_back(std::move(words[i]));
        weights_.push_back(weights[i]);
    }
    // Views into words_, which no longer changes.
    for (std::size_t i = 0; i < words_.size(); ++i) index_.emplace(words_[i], i);
}

std::size_t Terms::find(std::u32string_view word) const {
    auto found = index_.find(word);
    return found == index_.end() ? kNone : found->second;
}

std::vector<std::size_t> match_line(std::u32string_view line, const Terms& terms) {
    std::vector<std::size_t> out;
    if (line.empty()) return out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(U' ', start);
        const std::u32string_view item =
            line.substr(start, end == std::u32string_view::npos ? end : end - start);
        out.push_back(item == U"-" ? kNoTerm : terms.find(item));
        if (end == std::u32string_view::npos) break;
        start = end + 1;
    }
    return out;
}

std::vector<Word> words_of(std::u32string_view text, const text::CharClasses& cc) {
    std::vector<Word> words;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        while (i < n && cc.is_space(text[i])) ++i;
        const std::size_t begin = i;
        std::size_t first = n, last = n;
        while (i < n && !cc.is_space(text[i])) {
            if (cc.is_word(text[i])) {
                if (first == n) first = i;
                last = i;
            }
            ++i;
        }
        if (first != n) words.push_back(Word{begin, i, first, last + 1});
    }
    return words;
}

Page make_page(std::u32string text, std::vector<std::size_t> match, const text::CharClasses& cc) {
    Page page;
    page.text = std::move(text);
    page.words = words_of(page.text, cc);
    if (match.size() == page.words.size()) page.match = std::move(match);
    return page;
}

std::vector<Window> best_windows(const std::vector<Page>& pages, const Terms& terms,
                                 std::size_t size, std::size_t count) {
    std::vector<Window> found;
    if (size == 0) return found;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        const std::vector<std::size_t> match = matches_of(pages[p]);
        const std::size_t n = match.size();
        if (n == 0) continue;
        const std::size_t width = std::min(size, n);
        Tally tally(terms);
        for (std::size_t i = 0; i < width; ++i) tally.add(match[i]);
        Window best{p, 0, width};
        tally.describe(best);
        for (std::size_t start = 1; start + width <= n; ++start) {
            tally.remove(match[start - 1]);
            tally.add(match[start + width - 1]);
            Window w{p, start, start + width};
            tally.describe(w);
            if (better(w, best)) best = w;
        }
        if (best.distinct == 0) continue;

        // Centred on the matches it holds, so the reader sees the words
        // around them rather than a window that merely ends on one.
        std::size_t f = best.first, l = best.last - 1;
        while (match[f] == kNoTerm) ++f;
        while (match[l] == kNoTerm) --l;
        const std::size_t pad = (width - (l - f + 1)) / 2;
        std::size_t first = f >= pad ? f - pad : 0;
        const std::size_t last = std::min(n, first + width);
        first = last - width;
        best.first = first;
        best.last = last;
        found.push_back(best);
    }
    std::stable_sort(found.begin(), found.end(), better);
    if (found.size() > count) found.resize(count);
    return found;
}

std::vector<Window> tiled_windows(const std::vector<Page>& pages, const Terms& terms,
                                  std::size_t size, std::size_t limit) {
    std::vector<Window> found;
    if (size == 0) return found;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        const std::vector<std::size_t> match = matches_of(pages[p]);
        for (std::size_t start = 0; start < match.size(); start += size) {
            Window w{p, start, std::min(match.size(), start + size)};
            Tally tally(terms);
            for (std::size_t i = w.first; i < w.last; ++i) tally.add(match[i]);
            tally.describe(w);
            found.push_back(w);
        }
    }
    std::stable_sort(found.begin(), found.end(), better);
    if (found.size() > limit) found.resize(limit);
    return found;
}

Passage render(const Page& page, const Window& window) {
    Passage out;
    const std::vector<std::size_t> match = matches_of(page);
    for (std::size_t i = window.first; i < window.last && i < page.words.size(); ++i) {
        const Word& w = page.words[i];
        if (i > window.first) out.text.push_back(U' ');
        const std::size_t at = out.text.size();
        out.text.append(page.text, w.piece_begin, w.piece_end - w.piece_begin);
        if (match[i] != kNoTerm)
            out.marks.emplace_back(at + (w.word_begin - w.piece_begin),
                                   at + (w.word_end - w.piece_begin));
    }
    return out;
}

std::uint16_t to_half(float value) {
    std::uint32_t f;
    std::memcpy(&f, &value, sizeof f);
    const std::uint16_t sign = static_cast<std::uint16_t>((f >> 16) & 0x8000u);
    const std::uint32_t exponent = (f >> 23) & 0xffu;
    std::uint32_t mantissa = f & 0x7fffffu;
    if (exponent == 0xffu)  // infinity, or NaN kept a NaN
        return static_cast<std::uint16_t>(sign | 0x7c00u | (mantissa ? 0x200u : 0u));
    const int e = static_cast<int>(exponent) - 127 + 15;
    if (e >= 31) return static_cast<std::uint16_t>(sign | 0x7c00u);  // too large: infinity
    std::uint32_t bits;
    int shift;
    if (e <= 0) {
        // A subnormal half, or zero: the implicit bit joins the mantissa.
        if (e < -10) return sign;
        mantissa |= 0x800000u;
        shift = 14 - e;
        bits = 0;
    } else {
        shift = 13;
        bits = static_cast<std::uint32_t>(e) << 10;
    }
    const std::uint32_t kept = mantissa >> shift;
    const std::uint32_t rest = mantissa & ((1u << shift) - 1);
    const std::uint32_t half_way = 1u << (shift - 1);
    // A carry out of the mantissa rightly bumps the exponent (to infinity at the top).
    std::uint32_t out = bits + kept;
    if (rest > half_way || (rest == half_way && (kept & 1u))) ++out;
    return static_cast<std::uint16_t>(sign | out);
}

float from_half(std::uint16_t half) {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1fu;
    std::uint32_t mantissa = half & 0x3ffu;
    std::uint32_t f;
    if (exponent == 0x1fu) {
        f = sign | 0x7f800000u | (mantissa << 13);
    } else if (exponent != 0) {
        f = sign | ((exponent - 15 + 127) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        f = sign;
    } else {
        // Subnormal: normalise it, float has the range.
        std::uint32_t e = 127 - 15 + 1;
        while (!(mantissa & 0x400u)) {
            mantissa <<= 1;
            --e;
        }
        f = sign | (e << 23) | ((mantissa & 0x3ffu) << 13);
    }
    float out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

std::size_t tile_count(const std::vector<Page>& pages, std::size_t size) {
    std::size_t n = 0;
    if (size == 0) return n;
    for (const Page& page : pages) n += (page.words.size() + size - 1) / size;
    return n;
}

std::vector<std::size_t> tile_rows(const std::vector<Page>& pages,
                                   const std::vector<Window>& windows, std::size_t size) {
    std::vector<std::size_t> rows;
    if (size == 0) return rows;
    std::vector<std::size_t> first_row(pages.size() + 1, 0);
    for (std::size_t p = 0; p < pages.size(); ++p)
        first_row[p + 1] = first_row[p] + (pages[p].words.size() + size - 1) / size;
    for (const Window& w : windows) {
        if (w.page >= pages.size() || w.first % size != 0 || w.first >= pages[w.page].words.size())
            return {};
        rows.push_back(first_row[w.page] + w.first / size);
    }
    return rows;
}

std::vector<std::size_t> rank_rows(const std::vector<std::size_t>& rows,
                                   const std::vector<std::uint16_t>& matrix, std::size_t dim,
                                   const std::vector<float>& query) {
    // Every half decoded once per process: a row is then lookups and products.
    static const std::vector<float> decoded = [] {
        std::vector<float> table(1u << 16);
        for (std::uint32_t h = 0; h < table.size(); ++h)
            table[h] = from_half(static_cast<std::uint16_t>(h));
        return table;
    }();
    const std::size_t n = std::min(dim, query.size());
    std::vector<std::pair<double, std::size_t>> scored;
    scored.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::uint16_t* row = matrix.data() + rows[i] * dim;
        double score = 0.0;
        for (std::size_t d = 0; d < n; ++d)
            score += static_cast<double>(query[d]) * static_cast<double>(decoded[row[d]]);
        scored.emplace_back(std::isnan(score) ? -HUGE_VAL : score, i);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::size_t> order;
    order.reserve(scored.size());
    for (const auto& s : scored) order.push_back(s.second);
    return order;
}

}  // namespace wr::passages
