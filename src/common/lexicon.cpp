#include "lexicon.hpp"
#include "hugepages.hpp"

#include <algorithm>
#include <unordered_map>

#include "polyhash.hpp"

namespace wr {

namespace {

// Sixteen bits a word: four words to a 64-bit word of a region.
constexpr std::size_t kWordsPerFilterWord = 4;

// A word's three bits in the 64-bit word it falls in.
std::uint64_t filter_mask(std::uint64_t h) {
    return std::uint64_t{1} << ((h >> 40) & 63) | std::uint64_t{1} << ((h >> 46) & 63) |
           std::uint64_t{1} << ((h >> 52) & 63);
}

std::u32string_view head(std::u32string_view word) { return word.substr(0, 3); }
std::u32string_view tail(std::u32string_view word) { return word.substr(word.size() > 3 ? word.size() - 3 : 0); }

}  // namespace

Lexicon::Lexicon(const std::u32string& words, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& spans,
                 bool ordered) {
    // Each word once, in the lists' order: filed in the term table as views
    // into `words`, then copied into the block (same ids).
    const std::u32string_view all(words);
    std::vector<std::uint64_t> hashes;
    std::size_t length = 0;
    ids_.reserve(spans.size());
    for (const auto& [start, size] : spans) {
        const std::u32string_view word = all.substr(start, size);
        const std::uint64_t h = polyhash::hash(word);
        if (ids_.find(word, words_, h)) continue;
        words_.push_back(word);
        ids_.add(static_cast<std::uint32_t>(words_.size() - 1), words_, h);
        hashes.push_back(h);
        length += size;
    }
    reserve_on_large_pages(chars_, length);
    for (std::u32string_view w : words_) chars_ += w;
    for (std::size_t at = 0, k = 0; k < words_.size(); at += words_[k].size(), ++k)
        words_[k] = std::u32string_view(chars_).substr(at, words_[k].size());

    // The regions: how many words each key has, a place for each key's
    // bits, then the bits.
    std::vector<std::uint64_t> keys(2 * words_.size());
    std::unordered_map<std::uint64_t, std::uint32_t> counts;
    counts.reserve(words_.size() / 4);
    for (std::size_t k = 0; k < words_.size(); ++k) {
        const std::u32string_view w = words_[k];
        keys[2 * k] = region_key(0, w.size(), head(w));
        keys[2 * k + 1] = region_key(1, w.size(), tail(w));
        ++counts[keys[2 * k]];
        ++counts[keys[2 * k + 1]];
    }
    std::size_t places = 16;
    while (places < 2 * counts.size()) places *= 2;
    reserve_on_large_pages(directory_, places);
    directory_.assign(places, Directory{});
    std::size_t offset = 0;
    for (const auto& [key, count] : counts) {
        const auto size = static_cast<std::uint32_t>((count + kWordsPerFilterWord - 1) / kWordsPerFilterWord);
        std::size_t at = static_cast<std::size_t>(key) & (places - 1);
        while (directory_[at].size) at = (at + 1) & (places - 1);
        directory_[at] = Directory{key, static_cast<std::uint32_t>(offset), size};
        offset += size;
    }
    reserve_on_large_pages(filters_, offset);
    filters_.assign(offset, 0);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const std::uint64_t h = hashes[k / 2];
        const Region r = region(keys[k]);
        filters_[static_cast<std::size_t>(r.bits - filters_.data()) + r.place(h)] |= filter_mask(h);
    }
    if (ordered) {
        sorted_ = words_;
        std::sort(sorted_.begin(), sorted_.end());
    }
}

std::uint64_t Lexicon::region_key(int side, std::size_t length, std::u32string_view window) {
    std::uint64_t sum = polyhash::step(static_cast<std::uint64_t>(side) + 1, static_cast<char32_t>(length));
    for (char32_t c : window) sum = polyhash::step(sum, c);
    return polyhash::mix(sum);
}

Lexicon::Region Lexicon::region(std::uint64_t key) const {
    const std::size_t mask = directory_.size() - 1;
    for (std::size_t at = static_cast<std::size_t>(key) & mask;; at = (at + 1) & mask) {
        const Directory& d = directory_[at];
        if (!d.size) return Region{};
        if (d.key == key) return Region{filters_.data() + d.offset, d.size};
    }
}

std::size_t Lexicon::Region::place(std::uint64_t h) const {
    return static_cast<std::size_t>(((h >> 8) & 0xFFFFFFFFu) * size >> 32);
}

bool Lexicon::Region::may_hold(std::uint64_t h) const {
    if (!size) return false;
    const std::uint64_t mask = filter_mask(h);
    return (bits[place(h)] & mask) == mask;
}

bool Lexicon::holds(std::u32string_view word, std::uint64_t h) const {
    return ids_.find(word, words_, h).has_value();
}

bool Lexicon::contains(std::u32string_view word) const {
    if (words_.empty()) return false;
    const std::uint64_t h = polyhash::hash(word);
    return region(region_key(0, word.size(), head(word))).may_hold(h) && holds(word, h);
}

std::vector<std::u32string> Lexicon::neighbours(std::u32string_view word) const {
    std::vector<std::u32string> out;
    if (words_.empty()) return out;
    // Each edit's hash is made from the word's prefix and suffix sums, and
    // the edit is only spelt out when a filter lets it through.
    const std::size_t n = word.size();
    thread_local polyhash::Sums sums;  // reused: no allocation a word
    sums.of(word);
    const std::vector<std::uint64_t>& prefix = sums.prefix;
    const std::vector<std::uint64_t>& suffix = sums.suffix;
    const std::vector<std::uint64_t>& power = sums.power;

    // The regions of edits that keep the word's first three letters, or its
    // last three, by the edit's length: n - 1, n, n + 1.
    Region first[3], last[3];
    for (std::size_t k = 0; k < 3 && n >= 3; ++k) {
        first[k] = region(region_key(0, n - 1 + k, head(word)));
        last[k] = region(region_key(1, n - 1 + k, tail(word)));
    }
    // Whether the edit of [at, at + dropped) keeps the word's first three
    // letters (it starts past them) or its last three (it ends before them).
    auto keeps_an_end = [&](std::size_t at, std::size_t dropped) { return at >= 3 || at + dropped + 3 <= n; };
    // The region of the edit that replaces [at, at + dropped) by `put`
    // letters (`letters`, read only when the edit keeps neither end).
    auto region_of = [&](std::size_t at, std::size_t dropped, std::size_t put, const char32_t* letters) {
        if (keeps_an_end(at, dropped)) return at >= 3 ? first[1 + put - dropped] : last[1 + put - dropped];
        const std::size_t m = n - dropped + put;
        char32_t window[3];
        const std::size_t length = std::min<std::size_t>(3, m);
        for (std::size_t j = 0; j < length; ++j)
            window[j] = j < at ? word[j] : j < at + put ? letters[j - at] : word[j - put + dropped];
        return region(region_key(0, m, std::u32string_view(window, length)));
    };

    // An edit a filter let through: [at, at + dropped) replaced by the
    // `put` letters (0 to 2) of `letters`.
    struct Passed {
        std::uint64_t h;
        std::uint32_t at, dropped, put;
        char32_t letters[2];
    };
    thread_local std::vector<Passed> passed;
    passed.clear();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t h = polyhash::mix(sums.dropped(i));
        if (region_of(i, 1, 0, nullptr).may_hold(h)) passed.push_back({h, std::uint32_t(i), 1, 0, {}});
        if (i + 1 < n) {
            const char32_t swapped[2] = {word[i + 1], word[i]};
            const std::uint64_t sum = polyhash::step(polyhash::step(prefix[i], swapped[0]), swapped[1]);
            const std::uint64_t hs = polyhash::mix(sum * power[n - i - 2] + suffix[i + 2]);
            if (region_of(i, 2, 2, swapped).may_hold(hs))
                passed.push_back({hs, std::uint32_t(i), 2, 2, {swapped[0], swapped[1]}});
        }
    }
    // A letter put in at i, or in place of the one there: the polynomial is
    // (prefix * kBase + c) * P + suffix, so each letter adds P to a base.
    // Where the edit keeps an end of the word, every letter looks in the
    // one region, and none needs looking at when that region is empty.
    auto try_letters = [&](std::size_t i, std::size_t dropped, std::uint64_t base, std::uint64_t each) {
        std::uint64_t raw = base + U'a' * each;
        if (keeps_an_end(i, dropped)) {
            const Region r = region_of(i, dropped, 1, nullptr);
            if (!r.size) return;
            for (char32_t c = U'a'; c <= U'z'; ++c, raw += each) {
                const std::uint64_t h = polyhash::mix(raw);
                if (r.may_hold(h) && !(dropped && word[i] == c)) passed.push_back({h, std::uint32_t(i), std::uint32_t(dropped), 1, {c}});
            }
        } else {
            for (char32_t c = U'a'; c <= U'z'; ++c, raw += each) {
                const std::uint64_t h = polyhash::mix(raw);
                if (!(dropped && word[i] == c) && region_of(i, dropped, 1, &c).may_hold(h))
                    passed.push_back({h, std::uint32_t(i), std::uint32_t(dropped), 1, {c}});
            }
        }
    };
    for (std::size_t i = 0; i <= n; ++i) {
        try_letters(i, 0, prefix[i] * polyhash::kBase * power[n - i] + suffix[i], power[n - i]);
        if (i < n)
            try_letters(i, 1, prefix[i] * polyhash::kBase * power[n - i - 1] + suffix[i + 1], power[n - i - 1]);
    }
    for (const Passed& e : passed) {
        std::u32string edit(word.substr(0, e.at));
        edit.append(e.letters, e.put);
        edit += word.substr(e.at + e.dropped);
        if (edit != word && holds(edit, e.h)) out.push_back(std::move(edit));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace wr
