// Text routines over code points, free of any Python header. Character
// classes come from the caller (CharClasses), so the results follow whatever
// Unicode database the host interpreter carries.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace wr::text {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

// Word and whitespace classes of every code point, as a regular-expression
// engine sees `\w` and `\s`, plus canonical combining classes. Combining
// classes are looked up lazily through `combining_lookup` and remembered;
// several threads may read one table at once (the lookup must allow that).
class CharClasses {
public:
    enum : std::uint8_t { kWord = 1, kSpace = 2 };

    CharClasses(std::vector<std::uint8_t> flags,
                std::function<std::uint8_t(char32_t)> combining_lookup);

    bool is_word(char32_t c) const { return c <= kMaxCodePoint && (flags_[c] & kWord); }
    bool is_space(char32_t c) const { return c <= kMaxCodePoint && (flags_[c] & kSpace); }
    std::uint8_t combining(char32_t c) const;

private:
    std::vector<std::uint8_t> flags_;
    // 0xFF: not looked up yet. Atomic because threads fill it concurrently;
    // two threads looking up one code point store the same value.
    std::unique_ptr<std::atomic<std::uint8_t>[]> combining_;
    std::function<std::uint8_t(char32_t)> lookup_;
};

// Drops every code point whose combining class is not 0 (the text is
// expected to be decomposed already).
std::u32string drop_combining(std::u32string_view text, const CharClasses& cc);

// Deletes every character that is neither a word character nor whitespace,
// then collapses each whitespace run into one blank. Not trimmed. With
// `drop_marks` the combining marks are dropped first.
std::u32string wash(std::u32string_view text, bool drop_marks, const CharClasses& cc);

// Deletes every character that is neither a word character nor whitespace;
// whitespace is kept as it is.
std::u32string drop_punctuation(std::u32string_view text, const CharClasses& cc);

// Deletes every non-word character.
std::u32string keep_word_chars(std::u32string_view text, const CharClasses& cc);

// Maximal runs of word characters, in order.
std::vector<std::u32string> find_words(std::u32string_view text, const CharClasses& cc);

// Calls found(start, length) for each maximal run of word characters of at
// least `shortest` characters, in order: find_words without a string per
// word, for counting millions of them.
template <typename Found>
void for_each_word(std::u32string_view text, const CharClasses& cc, std::size_t shortest, Found&& found) {
    for (std::size_t at = 0; at < text.size();) {
        if (!cc.is_word(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && cc.is_word(text[end])) ++end;
        if (end - at >= shortest) found(at, end - at);
        at = end;
    }
}

}  // namespace wr::text
