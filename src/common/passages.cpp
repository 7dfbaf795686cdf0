#include "passages.hpp"

#include <algorithm>
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

}  // namespace wr::passages
