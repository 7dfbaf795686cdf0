#include "stempipe.hpp"

#include <algorithm>
#include <numeric>

namespace wr::stem {

Lowering::Lowering(std::vector<std::pair<char32_t, std::u32string>> mappings,
                   std::vector<char32_t> context_dependent, Contextual contextual)
    : context_dependent_(std::move(context_dependent)), contextual_(std::move(contextual)) {
    std::sort(mappings.begin(), mappings.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    from_.reserve(mappings.size());
    to_.reserve(mappings.size());
    for (auto& [from, to] : mappings) {
        from_.push_back(from);
        to_.push_back(std::move(to));
    }
    std::sort(context_dependent_.begin(), context_dependent_.end());
}

void Lowering::lower(std::u32string_view word, std::u32string& out) const {
    out.clear();
    for (char32_t c : word) {
        if (c < 0x80) {
            out.push_back(c >= U'A' && c <= U'Z' ? c + (U'a' - U'A') : c);
            continue;
        }
        if (std::binary_search(context_dependent_.begin(), context_dependent_.end(), c)) {
            out.clear();
            contextual_(word, out);
            return;
        }
        auto at = std::lower_bound(from_.begin(), from_.end(), c);
        if (at != from_.end() && *at == c)
            out.append(to_[static_cast<std::size_t>(at - from_.begin())]);
        else
            out.push_back(c);
    }
}

namespace {

// Whether `c` matches the pattern letter `letter` (lower-case ASCII) under
// the host regular-expression engine's IGNORECASE for str patterns: its own
// case, and for "i" also the dotted capital and the dotless small i.
bool matches_ignoring_case(char32_t c, char32_t letter) {
    if (c == letter || c == letter - (U'a' - U'A')) return true;
    return letter == U'i' && (c == U'\u0130' || c == U'\u0131');
}

bool equals_ignoring_case(std::u32string_view run, std::u32string_view word) {
    if (run.size() != word.size()) return false;
    for (std::size_t i = 0; i < run.size(); ++i)
        if (!matches_ignoring_case(run[i], word[i])) return false;
    return true;
}

// The Treebank contractions a run of word characters can be: the first
// part's length splits it.
struct Contraction {
    std::u32string_view word;
    std::size_t split;
};
constexpr Contraction kContractions[] = {
    {U"cannot", 3}, {U"gimme", 3}, {U"gonna", 3}, {U"gotta", 3}, {U"lemme", 3}, {U"wanna", 3},
};

}  // namespace

void tokenize_normalized(std::u32string_view text, const text::CharClasses& cc,
                         std::vector<std::u32string_view>& tokens) {
    tokens.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        if (cc.is_space(text[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && !cc.is_space(text[j])) ++j;
        const std::u32string_view run = text.substr(i, j - i);
        std::size_t split = 0;
        if (run.size() == 5 || run.size() == 6)
            for (const Contraction& c : kContractions)
                if (equals_ignoring_case(run, c.word)) {
                    split = c.split;
                    break;
                }
        if (split) {
            tokens.push_back(run.substr(0, split));
            tokens.push_back(run.substr(split));
        } else {
            tokens.push_back(run);
        }
        i = j;
    }
}

bool stem_text(std::u32string_view normalized, Stemmer& stemmer, const StopSet& stop,
               const Lowering& lowering, const text::CharClasses& cc, std::u32string& stems,
               std::vector<std::size_t>& ends) {
    stems.clear();
    ends.clear();
    std::vector<std::u32string_view> tokens;
    tokenize_normalized(normalized, cc, tokens);
    std::u32string lowered, stem;
    for (std::u32string_view token : tokens) {
        lowering.lower(token, lowered);
        if (stop.count(lowered)) continue;
        if (!stemmer.stem(lowered, stem)) return false;
        stems.append(stem);
        ends.push_back(stems.size());
    }
    return true;
}

}  // namespace wr::stem
