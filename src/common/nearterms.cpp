#include "nearterms.hpp"
#include "hugepages.hpp"

#include <algorithm>

#include "polyhash.hpp"

namespace wr {

namespace {

// Calls `each(hash)` for the word itself and for every word it gives with
// one letter dropped (a doubled letter gives one), hashed without spelling
// any of them out.
template <typename Each>
void deletion_hashes(std::u32string_view word, polyhash::Sums& sums, Each each) {
    sums.of(word);
    each(polyhash::mix(sums.prefix[word.size()]));
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (i > 0 && word[i] == word[i - 1]) continue;  // the same word as dropping word[i - 1]
        each(polyhash::mix(sums.dropped(i)));
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
    reserve_on_large_pages(chars_, total);
    starts_.reserve(terms.size() + 1);
    starts_.push_back(0);
    reserve_on_large_pages(filed_, total + terms.size());
    polyhash::Sums sums;
    for (std::size_t t = 0; t < terms.size(); ++t) {
        chars_ += terms[t];
        starts_.push_back(chars_.size());
        deletion_hashes(terms[t], sums,
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
    polyhash::Sums sums;
    std::vector<std::uint32_t> out;
    std::size_t k = 0;
    deletion_hashes(word, sums, [&](std::uint64_t h) {
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
