#include "nearterms.hpp"

#include <algorithm>

namespace wr {

namespace {

constexpr std::uint64_t kBase = 0x100000001b3ull;

std::uint64_t mixed(std::uint64_t h) {
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
    return h ^ (h >> 31);
}

// Calls `each(hash)` for the word itself and for every word it gives with
// one letter dropped (a doubled letter gives one), each hashed as the
// polynomial of its code points, made from the word's prefix and suffix
// sums so that no deletion is spelt out.
template <typename Each>
void deletion_hashes(std::u32string_view word, std::vector<std::uint64_t>& prefix,
                     std::vector<std::uint64_t>& suffix, std::vector<std::uint64_t>& power, Each each) {
    const std::size_t n = word.size();
    prefix.resize(n + 1);
    suffix.resize(n + 1);
    power.resize(n + 1);
    prefix[0] = 0;
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] * kBase + word[i];
    power[0] = 1;
    for (std::size_t i = 1; i <= n; ++i) power[i] = power[i - 1] * kBase;
    suffix[n] = 0;
    for (std::size_t j = n; j-- > 0;) suffix[j] = word[j] * power[n - 1 - j] + suffix[j + 1];
    each(mixed(prefix[n]));
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && word[i] == word[i - 1]) continue;  // the same word as dropping word[i - 1]
        each(mixed(prefix[i] * power[n - i - 1] + suffix[i + 1]));
    }
}

// Whether `shorter` is `longer` or `longer` with one code point dropped.
bool is_deletion_of(std::u32string_view shorter, std::u32string_view longer) {
    if (shorter.size() == longer.size()) return shorter == longer;
    if (shorter.size() + 1 != longer.size()) return false;
    std::size_t i = 0;
    while (i < shorter.size() && shorter[i] == longer[i]) ++i;
    return shorter.substr(i) == longer.substr(i + 1);
}

}  // namespace

NearTerms::NearTerms(const std::vector<std::u32string>& terms) {
    std::size_t total = 0;
    for (const std::u32string& t : terms) total += t.size();
    chars_.reserve(total);
    starts_.reserve(terms.size() + 1);
    starts_.push_back(0);
    filed_.reserve(total + terms.size());
    std::vector<std::uint64_t> prefix, suffix, power;
    for (std::size_t t = 0; t < terms.size(); ++t) {
        chars_ += terms[t];
        starts_.push_back(chars_.size());
        deletion_hashes(terms[t], prefix, suffix, power,
                        [&](std::uint64_t h) { filed_.emplace_back(h, static_cast<std::uint32_t>(t)); });
    }
    std::sort(filed_.begin(), filed_.end());
    filed_.erase(std::unique(filed_.begin(), filed_.end()), filed_.end());
}

std::vector<std::uint32_t> NearTerms::candidates(const std::u32string& word) const {
    // The word's deletions, spelt out: few, and each term filed under the
    // same hash is checked against one of them.
    std::vector<std::u32string> deletions{word};
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (i > 0 && word[i] == word[i - 1]) continue;
        deletions.push_back(word.substr(0, i) + word.substr(i + 1));
    }
    std::vector<std::uint64_t> prefix, suffix, power;
    std::vector<std::uint32_t> out;
    std::size_t k = 0;
    deletion_hashes(word, prefix, suffix, power, [&](std::uint64_t h) {
        const std::u32string_view d = deletions[k++];
        auto it = std::lower_bound(filed_.begin(), filed_.end(), std::make_pair(h, std::uint32_t{0}));
        for (; it != filed_.end() && it->first == h; ++it)
            if (is_deletion_of(d, term(it->second))) out.push_back(it->second);
    });
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace wr
