// A slow, line-by-line port of CPython 3.11's difflib.SequenceMatcher (isjunk
// None, autojunk on) and of difflib.get_close_matches, kept only to check the
// fast matcher of closematch.hpp against it. Nothing in the package calls it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace wr::closematch_ref {

class SequenceMatcher {
public:
    struct Match {
        std::size_t a, b, size;
    };

    // difflib.SequenceMatcher.set_seq1: `a` is the candidate.
    void set_seq1(const std::u32string& a) {
        a_ = a;
        blocks_valid_ = false;
    }

    // difflib.SequenceMatcher.set_seq2 followed by __chain_b: `b` is the word.
    void set_seq2(const std::u32string& b) {
        b_ = b;
        blocks_valid_ = false;
        fullbcount_valid_ = false;
        b2j_.clear();
        for (std::size_t i = 0; i < b_.size(); ++i) b2j_[b_[i]].push_back(i);
        // isjunk is None: bjunk stays empty. The "popular" heuristic:
        const std::size_t n = b_.size();
        if (n >= 200) {
            const std::size_t ntest = n / 100 + 1;
            std::set<char32_t> popular;
            for (const auto& [elt, idxs] : b2j_)
                if (idxs.size() > ntest) popular.insert(elt);
            for (char32_t elt : popular) b2j_.erase(elt);
        }
    }

    Match find_longest_match(std::size_t alo, std::size_t ahi, std::size_t blo,
                             std::size_t bhi) const {
        std::size_t besti = alo, bestj = blo, bestsize = 0;
        std::map<std::size_t, std::size_t> j2len;
        for (std::size_t i = alo; i < ahi; ++i) {
            std::map<std::size_t, std::size_t> newj2len;
            auto it = b2j_.find(a_[i]);
            if (it != b2j_.end()) {
                for (std::size_t j : it->second) {
                    if (j < blo) continue;
                    if (j >= bhi) break;
                    std::size_t prev = 0;
                    if (j > 0) {
                        auto p = j2len.find(j - 1);
                        if (p != j2len.end()) prev = p->second;
                    }
                    const std::size_t k = newj2len[j] = prev + 1;
                    if (k > bestsize) {
                        besti = i - k + 1;
                        bestj = j - k + 1;
                        bestsize = k;
                    }
                }
            }
            j2len = std::move(newj2len);
        }
        // bjunk is empty, so only the first pair of extension loops can move;
        // they do extend over "popular" elements.
        while (besti > alo && bestj > blo && a_[besti - 1] == b_[bestj - 1]) {
            --besti;
            --bestj;
            ++bestsize;
        }
        while (besti + bestsize < ahi && bestj + bestsize < bhi &&
               a_[besti + bestsize] == b_[bestj + bestsize])
            ++bestsize;
        return {besti, bestj, bestsize};
    }

    std::vector<Match> get_matching_blocks() {
        if (blocks_valid_) return blocks_;
        const std::size_t la = a_.size(), lb = b_.size();
        std::vector<std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>> queue{
            {0, la, 0, lb}};
        std::vector<std::tuple<std::size_t, std::size_t, std::size_t>> found;
        while (!queue.empty()) {
            auto [alo, ahi, blo, bhi] = queue.back();
            queue.pop_back();
            const Match x = find_longest_match(alo, ahi, blo, bhi);
            const std::size_t i = x.a, j = x.b, k = x.size;
            if (k) {
                found.emplace_back(i, j, k);
                if (alo < i && blo < j) queue.emplace_back(alo, i, blo, j);
                if (i + k < ahi && j + k < bhi) queue.emplace_back(i + k, ahi, j + k, bhi);
            }
        }
        std::sort(found.begin(), found.end());
        std::size_t i1 = 0, j1 = 0, k1 = 0;
        std::vector<Match> non_adjacent;
        for (auto [i2, j2, k2] : found) {
            if (i1 + k1 == i2 && j1 + k1 == j2) {
                k1 += k2;
            } else {
                if (k1) non_adjacent.push_back({i1, j1, k1});
                i1 = i2;
                j1 = j2;
                k1 = k2;
            }
        }
        if (k1) non_adjacent.push_back({i1, j1, k1});
        non_adjacent.push_back({la, lb, 0});
        blocks_ = non_adjacent;
        blocks_valid_ = true;
        return blocks_;
    }

    static double calculate_ratio(std::size_t matches, std::size_t length) {
        if (length) return 2.0 * static_cast<double>(matches) / static_cast<double>(length);
        return 1.0;
    }

    double ratio() {
        std::size_t matches = 0;
        for (const Match& m : get_matching_blocks()) matches += m.size;
        return calculate_ratio(matches, a_.size() + b_.size());
    }

    double quick_ratio() {
        if (!fullbcount_valid_) {
            fullbcount_.clear();
            for (char32_t elt : b_) ++fullbcount_[elt];
            fullbcount_valid_ = true;
        }
        std::map<char32_t, long> avail;
        std::size_t matches = 0;
        for (char32_t elt : a_) {
            long numb;
            auto it = avail.find(elt);
            if (it != avail.end()) {
                numb = it->second;
            } else {
                auto f = fullbcount_.find(elt);
                numb = f == fullbcount_.end() ? 0 : f->second;
            }
            avail[elt] = numb - 1;
            if (numb > 0) ++matches;
        }
        return calculate_ratio(matches, a_.size() + b_.size());
    }

    double real_quick_ratio() const {
        const std::size_t la = a_.size(), lb = b_.size();
        return calculate_ratio(std::min(la, lb), la + lb);
    }

private:
    std::u32string a_, b_;
    std::map<char32_t, std::vector<std::size_t>> b2j_;
    std::map<char32_t, long> fullbcount_;
    bool fullbcount_valid_ = false;
    std::vector<Match> blocks_;
    bool blocks_valid_ = false;
};

// difflib.get_close_matches(word, possibilities, n, cutoff).
inline std::vector<std::u32string> get_close_matches(
    const std::u32string& word, const std::vector<std::u32string>& possibilities,
    std::size_t n, double cutoff) {
    if (!(n > 0)) throw std::invalid_argument("n must be > 0");
    if (!(0.0 <= cutoff && cutoff <= 1.0))
        throw std::invalid_argument("cutoff must be in [0.0, 1.0]");
    std::vector<std::pair<double, std::u32string>> result;
    SequenceMatcher s;
    s.set_seq2(word);
    for (const std::u32string& x : possibilities) {
        s.set_seq1(x);
        if (s.real_quick_ratio() >= cutoff && s.quick_ratio() >= cutoff &&
            s.ratio() >= cutoff)
            result.emplace_back(s.ratio(), x);
    }
    // heapq.nlargest(n, result): equal (score, x) tuples are interchangeable.
    std::stable_sort(result.begin(), result.end(),
                     [](const auto& l, const auto& r) { return r < l; });
    if (result.size() > n) result.resize(n);
    std::vector<std::u32string> out;
    out.reserve(result.size());
    for (auto& r : result) out.push_back(std::move(r.second));
    return out;
}

}  // namespace wr::closematch_ref
