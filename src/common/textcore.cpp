#include "textcore.hpp"

#include <stdexcept>
#include <utility>

namespace wr::text {

CharClasses::CharClasses(std::vector<std::uint8_t> flags,
                         std::function<std::uint8_t(char32_t)> combining_lookup)
    : flags_(std::move(flags)), lookup_(std::move(combining_lookup)) {
    constexpr auto kSize = static_cast<std::size_t>(kMaxCodePoint) + 1;
    if (flags_.size() != kSize)
        throw std::invalid_argument("character class table must cover every code point");
    combining_.reset(new std::atomic<std::uint8_t>[kSize]);
    for (std::size_t c = 0; c < kSize; ++c) combining_[c].store(0xFF, std::memory_order_relaxed);
}

std::uint8_t CharClasses::combining(char32_t c) const {
    if (c > kMaxCodePoint) return 0;
    std::atomic<std::uint8_t>& slot = combining_[c];
    // Canonical combining classes stop at 240, so 0xFF is free as "unknown".
    std::uint8_t known = slot.load(std::memory_order_relaxed);
    if (known == 0xFF) {
        known = lookup_(c);
        slot.store(known, std::memory_order_relaxed);
    }
    return known;
}

std::u32string drop_combining(std::u32string_view text, const CharClasses& cc) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text)
        if (cc.combining(c) == 0) out.push_back(c);
    return out;
}

std::u32string wash(std::u32string_view text, bool drop_marks, const CharClasses& cc) {
    std::u32string out;
    out.reserve(text.size());
    bool in_space = false;
    for (char32_t c : text) {
        if (drop_marks && cc.combining(c) != 0) continue;
        if (cc.is_word(c)) {
            out.push_back(c);
            in_space = false;
        } else if (cc.is_space(c)) {
            if (!in_space) out.push_back(U' ');
            in_space = true;
        }
        // Anything else is deleted; deleting it does not end a whitespace
        // run, exactly as deleting first and collapsing afterwards would.
    }
    return out;
}

std::u32string drop_punctuation(std::u32string_view text, const CharClasses& cc) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text)
        if (cc.is_word(c) || cc.is_space(c)) out.push_back(c);
    return out;
}

std::u32string keep_word_chars(std::u32string_view text, const CharClasses& cc) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text)
        if (cc.is_word(c)) out.push_back(c);
    return out;
}

std::vector<std::u32string> find_words(std::u32string_view text, const CharClasses& cc) {
    std::vector<std::u32string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!cc.is_word(text[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && cc.is_word(text[j])) ++j;
        words.emplace_back(text.substr(i, j - i));
        i = j;
    }
    return words;
}

}  // namespace wr::text
