// One hash for words, made so that a word's one-letter edits hash in a few
// steps each: the polynomial of its code points (each in turn, the sum so
// far times kBase plus the code point, mod 2^64), mixed by splitmix64's
// finaliser so that low and high bits both spread. From a word's prefix
// and suffix sums, the polynomial of the word with a span replaced needs no
// pass over the word. 64 bits on every platform. Plain C++17.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace wr::polyhash {

constexpr std::uint64_t kBase = 0x100000001b3ull;

inline std::uint64_t step(std::uint64_t sum, char32_t c) { return sum * kBase + c; }

inline std::uint64_t mix(std::uint64_t h) {
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
    return h ^ (h >> 31);
}

inline std::uint64_t hash(std::u32string_view word) {
    std::uint64_t sum = 0;
    for (char32_t c : word) sum = step(sum, c);
    return mix(sum);
}

// A word's prefix sums (prefix[i]: of word[0, i)), suffix sums (suffix[j]:
// of word[j, n)) and the powers of kBase, for its edits' polynomials.
// Reused from word to word: filling allocates only for a longer word.
struct Sums {
    std::vector<std::uint64_t> prefix, suffix, power;

    void of(std::u32string_view word) {
        const std::size_t n = word.size();
        prefix.resize(n + 1);
        suffix.resize(n + 1);
        power.resize(n + 3);
        prefix[0] = 0;
        for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = step(prefix[i], word[i]);
        power[0] = 1;
        for (std::size_t i = 1; i < power.size(); ++i) power[i] = power[i - 1] * kBase;
        suffix[n] = 0;
        for (std::size_t j = n; j-- > 0;) suffix[j] = word[j] * power[n - 1 - j] + suffix[j + 1];
    }
    std::size_t size() const { return prefix.size() - 1; }
    // The polynomial (not yet mixed) of the word with [at, at + 1) left out.
    std::uint64_t dropped(std::size_t at) const {
        const std::size_t n = size();
        return prefix[at] * power[n - at - 1] + suffix[at + 1];
    }
};

}  // namespace wr::polyhash
