#include "passages.hpp"

#include <algorithm>
#include <limits>

namespace wr::passages {

namespace {

constexpr std::size_t kNoTerm = std::numeric_limits<std::size_t>::max();

// The query term each word of the page is, or kNoTerm.
std::vector<std::size_t> matches_of(const Page& page, const Terms& terms) {
    std::vector<std::size_t> out(page.words.size(), kNoTerm);
    if (page.keys.size() != page.words.size()) return out;
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto found = terms.index.find(page.keys[i]);
        if (found != terms.index.end()) out[i] = found->second;
    }
    return out;
}

// Running counts of the query terms inside a window.
class Tally {
public:
    explicit Tally(const Terms& terms) : terms_(terms), counts_(terms.words.size(), 0) {}
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
            w.weight += terms_.weights[t];
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

void Terms::add(const std::u32string& word, double weight) {
    if (index.count(word)) return;
    index.emplace(word, words.size());
    words.push_back(word);
    weights.push_back(weight);
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

Page make_page(std::u32string text, std::u32string_view terms, const text::CharClasses& cc) {
    Page page;
    page.text = std::move(text);
    page.words = words_of(page.text, cc);
    std::vector<std::u32string> keys;
    std::size_t start = 0;
    while (!terms.empty() && start <= terms.size()) {
        std::size_t end = terms.find(U' ', start);
        if (end == std::u32string_view::npos) end = terms.size();
        std::u32string key(terms.substr(start, end - start));
        keys.push_back(key == U"-" ? std::u32string() : std::move(key));
        start = end + 1;
    }
    if (keys.size() == page.words.size()) page.keys = std::move(keys);
    return page;
}

std::vector<Window> best_windows(const std::vector<Page>& pages, const Terms& terms,
                                 std::size_t size, std::size_t count) {
    std::vector<Window> found;
    if (size == 0) return found;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        const std::vector<std::size_t> match = matches_of(pages[p], terms);
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
        const std::vector<std::size_t> match = matches_of(pages[p], terms);
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

Passage render(const Page& page, const Window& window, const Terms& terms) {
    Passage out;
    const bool keyed = page.keys.size() == page.words.size();
    for (std::size_t i = window.first; i < window.last && i < page.words.size(); ++i) {
        const Word& w = page.words[i];
        if (i > window.first) out.text.push_back(U' ');
        const std::size_t at = out.text.size();
        out.text.append(page.text, w.piece_begin, w.piece_end - w.piece_begin);
        if (keyed && terms.index.count(page.keys[i]))
            out.marks.emplace_back(at + (w.word_begin - w.piece_begin),
                                   at + (w.word_end - w.piece_begin));
    }
    return out;
}

}  // namespace wr::passages
