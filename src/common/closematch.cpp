// How the answer stays difflib's while most terms are never matched in full:
//
// * difflib keeps a term x iff ratio() >= cutoff (real_quick_ratio and
//   quick_ratio are upper bounds of ratio, computed as 2.0*m/T with the same T
//   and a larger m, and that expression does not decrease as m grows), and
//   with n=1 returns the largest (ratio, x) pair. So any upper bound on the
//   number of matched characters M may rule a term out, as long as the test is
//   made on the double 2.0*m/T itself, never on an algebraic rearrangement.
// * Terms are grouped by length. For the word's length every group has one
//   real_quick_ratio; groups are visited from the highest, and the scan ends
//   as soon as a group's bound falls below the cutoff or the best score.
// * Within a group the least M that could still win is an integer, found
//   once per group and again after each new best. A term is skipped when a
//   coarse histogram (16 classes of characters, a few bit operations) shows
//   it cannot share that many characters with the word, then when its exact
//   multiset intersection with the word (quick_ratio's count) falls short;
//   one that could at most tie the best score is matched only if it is the
//   larger string, which is how difflib breaks ties.
// * A word that is itself a term is the answer: only identical strings score
//   1.0, and 1.0 passes any cutoff.
// * The full match count follows get_matching_blocks and find_longest_match
//   step by step (the tie-breaking of equal-length blocks decides M), and
//   gives up once the blocks still open cannot bring M to the least needed.
#include "closematch.hpp"
#include "hugepages.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace wr {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kNoTerm = std::numeric_limits<std::size_t>::max();
constexpr std::uint64_t kNoSketch = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kSketchMax = 7;

// Given two sketches (16 counts of 0..7 in 4-bit fields, top bits clear),
// the sum over fields of min(a, b).
inline std::size_t sketch_common(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t kTop = 0x8888888888888888ull;
    constexpr std::uint64_t kLow = 0x7777777777777777ull;
    const std::uint64_t a_ge_b = ((a | kTop) - b) & kTop;  // no borrow between fields
    const std::uint64_t pick_b = a_ge_b - (a_ge_b >> 3);    // 7 in fields where a >= b
    const std::uint64_t mins = (b & pick_b) | (a & ~pick_b & kLow);
    const std::uint64_t pairs = (mins & 0x0F0F0F0F0F0F0F0Full) + ((mins >> 4) & 0x0F0F0F0F0F0F0F0Full);
    return static_cast<std::size_t>((pairs * 0x0101010101010101ull) >> 56);  // <= 112
}

// difflib's _calculate_ratio, with the same double operations.
inline double ratio_of(std::size_t matches, std::size_t length) {
    if (length) return 2.0 * static_cast<double>(matches) / static_cast<double>(length);
    return 1.0;
}

// The least m in [0, top] with ratio_of(m, length) >= bar (> bar if strict),
// or top + 1 when there is none. ratio_of is non-decreasing in m.
std::size_t least_matches(double bar, bool strict, std::size_t length, std::size_t top) {
    auto enough = [&](std::size_t m) {
        const double r = ratio_of(m, length);
        return strict ? r > bar : r >= bar;
    };
    const double guess = bar * static_cast<double>(length) / 2.0;
    std::size_t m = 0;
    if (guess >= static_cast<double>(top))
        m = top;
    else if (guess > 0.0)
        m = static_cast<std::size_t>(guess);
    while (m > 0 && enough(m - 1)) --m;
    while (m <= top && !enough(m)) ++m;
    return m;
}

}  // namespace

// ---- the vocabulary ---------------------------------------------------------

CloseMatcher::CloseMatcher(std::vector<std::u32string> vocabulary) {
    // Grouped by length with a counting sort; within a group the order does
    // not matter (the answer is the largest (score, term) pair, and a
    // duplicate can only tie with itself), so no string is ever compared.
    std::size_t longest = 0;
    for (const std::u32string& term : vocabulary) longest = std::max(longest, term.size());
    std::vector<std::size_t> at(longest + 2, 0);
    for (const std::u32string& term : vocabulary) ++at[term.size() + 1];
    for (std::size_t len = 0; len <= longest; ++len) {
        if (at[len + 1]) buckets_.push_back({len, at[len], at[len] + at[len + 1]});
        at[len + 1] += at[len];
    }
    terms_.resize(vocabulary.size());
    placed_.resize(vocabulary.size());
    for (std::size_t i = 0; i < vocabulary.size(); ++i) {
        placed_[i] = at[vocabulary[i].size()]++;
        terms_[placed_[i]] = std::move(vocabulary[i]);
    }

    // Characters get dense ids in order of first appearance, through a flat
    // table for the basic plane (nearly every character of real text) and a
    // map beyond it; the ids are then renumbered in code point order, so
    // that a word's characters are found by binary search.
    constexpr char32_t kFlat = 0x10000;
    std::vector<std::uint32_t> flat(kFlat, kNone);
    std::unordered_map<char32_t, std::uint32_t> astral;
    std::size_t total = 0;
    for (const std::u32string& term : terms_) total += term.size();
    reserve_on_large_pages(chars_, total);
    char_start_.reserve(terms_.size() + 1);
    char_start_.push_back(0);
    for (const std::u32string& term : terms_) {
        for (char32_t c : term) {
            std::uint32_t& id = c < kFlat ? flat[c] : astral.try_emplace(c, kNone).first->second;
            if (id == kNone) {
                id = static_cast<std::uint32_t>(alphabet_.size());
                alphabet_.push_back(c);
            }
            chars_.push_back(id);
        }
        char_start_.push_back(chars_.size());
    }
    std::vector<std::uint32_t> by_code(alphabet_.size());
    std::iota(by_code.begin(), by_code.end(), 0u);
    std::sort(by_code.begin(), by_code.end(),
              [this](std::uint32_t l, std::uint32_t r) { return alphabet_[l] < alphabet_[r]; });
    std::vector<std::uint32_t> renumber(alphabet_.size());
    std::vector<char32_t> sorted_alphabet(alphabet_.size());
    for (std::uint32_t id = 0; id < by_code.size(); ++id) {
        renumber[by_code[id]] = id;
        sorted_alphabet[id] = alphabet_[by_code[id]];
    }
    alphabet_ = std::move(sorted_alphabet);
    for (std::uint32_t& id : chars_) id = renumber[id];

    // Each term's character histogram, as (id, count) pairs in order of
    // first appearance.
    reserve_on_large_pages(counts_, total);
    count_start_.reserve(terms_.size() + 1);
    count_start_.push_back(0);
    std::vector<std::uint32_t> seen(alphabet_.size(), 0);
    for (std::size_t t = 0; t < terms_.size(); ++t) {
        const std::size_t first = counts_.size();
        for (std::size_t k = char_start_[t]; k < char_start_[t + 1]; ++k)
            if (seen[chars_[k]]++ == 0) counts_.push_back({chars_[k], 0});
        for (std::size_t k = first; k < counts_.size(); ++k) {
            counts_[k].n = seen[counts_[k].id];
            seen[counts_[k].id] = 0;
        }
        count_start_.push_back(counts_.size());
    }

    // Classes: the 16 most frequent characters one each, the rest round-robin
    // by frequency, so that common letters are told apart.
    std::vector<std::pair<std::size_t, std::uint32_t>> freq(alphabet_.size());
    for (std::uint32_t id = 0; id < alphabet_.size(); ++id) freq[id] = {0, id};
    for (const Count& c : counts_) freq[c.id].first += c.n;
    std::sort(freq.begin(), freq.end(), [](const auto& l, const auto& r) {
        return l.first != r.first ? l.first > r.first : l.second < r.second;
    });
    class_of_.resize(alphabet_.size());
    for (std::size_t rank = 0; rank < freq.size(); ++rank)
        class_of_[freq[rank].second] = static_cast<std::uint8_t>(rank % 16);
    reserve_on_large_pages(sketches_, terms_.size());
    for (std::size_t t = 0; t < terms_.size(); ++t) {
        std::uint32_t fields[16] = {};
        for (std::size_t k = count_start_[t]; k < count_start_[t + 1]; ++k)
            fields[class_of_[counts_[k].id]] += counts_[k].n;
        std::uint64_t sketch = 0;
        for (int f = 0; f < 16 && sketch != kNoSketch; ++f) {
            if (fields[f] > kSketchMax)
                sketch = kNoSketch;  // a capped count would not bound the term
            else
                sketch |= static_cast<std::uint64_t>(fields[f]) << (4 * f);
        }
        sketches_.push_back(sketch);
    }
}

// ---- one query --------------------------------------------------------------

class CloseMatcher::Query {
public:
    Query(const CloseMatcher& vocab, const std::u32string& word);

    // An upper bound on common(t, ...), from the sketches.
    std::size_t rough_common(std::size_t t) const {
        const std::uint64_t sketch = vocab_.sketches_[t];
        return sketch == kNoSketch ? vocab_.terms_[t].size() : sketch_common(sketch, sketch_);
    }

    // How many characters term t shares with the word as multisets (the count
    // behind quick_ratio), or some number below `need` if that is below need.
    std::size_t common(std::size_t t, std::size_t need) const;

    // The sum of difflib's matching block sizes for term t against the word,
    // or some number below `need` if that sum is below need.
    std::size_t matches(std::size_t t, std::size_t need);

private:
    struct Block {
        std::size_t i, j, size;
    };
    struct Range {
        std::size_t alo, ahi, blo, bhi;
        std::size_t room() const { return std::min(ahi - alo, bhi - blo); }
    };
    struct Cell {             // one entry of find_longest_match's j2len
        std::uint64_t row;    // which row wrote it
        std::size_t len;
    };

    Block longest(const std::uint32_t* a, const Range& r);

    const CloseMatcher& vocab_;
    std::vector<std::uint32_t> b_;           // the word as ids, kNone if in no term
    std::vector<std::uint32_t> count_;       // per id: occurrences in the word
    std::uint64_t sketch_ = 0;               // the word's, counts capped at 7
    std::vector<std::uint32_t> slot_;        // per id: its b2j list, kNone if none
    std::vector<std::size_t> where_start_;   // b2j as lists of ascending positions
    std::vector<std::size_t> where_;
    std::vector<Cell> cells_[2];             // j2len of the previous and current row
    std::uint64_t row_ = 0;
    std::vector<Range> todo_;
};

CloseMatcher::Query::Query(const CloseMatcher& vocab, const std::u32string& word)
    : vocab_(vocab), count_(vocab.alphabet_.size(), 0), slot_(vocab.alphabet_.size(), kNone) {
    const auto& alphabet = vocab.alphabet_;
    const std::size_t lb = word.size();
    b_.resize(lb);
    for (std::size_t j = 0; j < lb; ++j) {
        auto it = std::lower_bound(alphabet.begin(), alphabet.end(), word[j]);
        b_[j] = (it != alphabet.end() && *it == word[j])
                    ? static_cast<std::uint32_t>(it - alphabet.begin())
                    : kNone;
        if (b_[j] != kNone) ++count_[b_[j]];
    }
    // Capping the word's counts keeps the sketch bound: a term's are <= 7.
    std::uint32_t fields[16] = {};
    for (std::uint32_t id : b_)
        if (id != kNone) ++fields[vocab.class_of_[id]];
    for (int f = 0; f < 16; ++f)
        sketch_ |= static_cast<std::uint64_t>(std::min(fields[f], kSketchMax)) << (4 * f);

    // autojunk: in a word of 200 or more characters, a character occurring
    // more than len // 100 + 1 times has no b2j entry (it is not junk, so
    // blocks may still be extended over it).
    const std::size_t ntest = lb >= 200 ? lb / 100 + 1 : std::numeric_limits<std::size_t>::max();
    std::uint32_t slots = 0;
    where_start_.push_back(0);
    for (std::uint32_t id : b_) {
        if (id == kNone || slot_[id] != kNone || count_[id] > ntest) continue;
        slot_[id] = slots++;
        where_start_.push_back(where_start_.back() + count_[id]);
    }
    where_.resize(where_start_.back());
    std::vector<std::size_t> fill(where_start_.begin(), where_start_.end() - 1);
    for (std::size_t j = 0; j < lb; ++j)
        if (b_[j] != kNone && slot_[b_[j]] != kNone) where_[fill[slot_[b_[j]]]++] = j;
    cells_[0].assign(lb, Cell{0, 0});
    cells_[1].assign(lb, Cell{0, 0});
}

std::size_t CloseMatcher::Query::common(std::size_t t, std::size_t need) const {
    std::size_t rest = vocab_.terms_[t].size(), got = 0;
    const Count* c = vocab_.counts_.data() + vocab_.count_start_[t];
    const Count* end = vocab_.counts_.data() + vocab_.count_start_[t + 1];
    for (; c != end; ++c) {
        rest -= c->n;
        got += std::min(c->n, count_[c->id]);
        if (got + rest < need) return got + rest;
    }
    return got;
}

// difflib's find_longest_match(alo, ahi, blo, bhi) with a = term, b = word.
CloseMatcher::Query::Block CloseMatcher::Query::longest(const std::uint32_t* a, const Range& r) {
    std::size_t besti = r.alo, bestj = r.blo, bestsize = 0;
    ++row_;  // no row of an earlier call can pass for the row before the first
    for (std::size_t i = r.alo; i < r.ahi; ++i) {
        ++row_;
        const std::uint32_t slot = slot_[a[i]];
        if (slot == kNone) continue;  // an empty row
        Cell* cur = cells_[row_ & 1].data();
        const Cell* prev = cells_[(row_ & 1) ^ 1].data();
        const std::size_t* p = where_.data() + where_start_[slot];
        const std::size_t* end = where_.data() + where_start_[slot + 1];
        if (r.blo) p = std::lower_bound(p, end, r.blo);
        for (; p != end && *p < r.bhi; ++p) {
            const std::size_t j = *p;
            std::size_t k = 1;
            if (j > r.blo && prev[j - 1].row == row_ - 1) k += prev[j - 1].len;
            cur[j] = Cell{row_, k};
            if (k > bestsize) {
                besti = i + 1 - k;
                bestj = j + 1 - k;
                bestsize = k;
            }
        }
    }
    // Nothing is junk, so only these two of difflib's four extension loops
    // can move; they reach over characters that autojunk took out of b2j.
    const std::vector<std::uint32_t>& b = b_;
    while (besti > r.alo && bestj > r.blo && a[besti - 1] == b[bestj - 1]) {
        --besti;
        --bestj;
        ++bestsize;
    }
    while (besti + bestsize < r.ahi && bestj + bestsize < r.bhi &&
           a[besti + bestsize] == b[bestj + bestsize])
        ++bestsize;
    return {besti, bestj, bestsize};
}

// get_matching_blocks, summing the sizes; the order in which ranges are split
// does not change the sum.
std::size_t CloseMatcher::Query::matches(std::size_t t, std::size_t need) {
    const std::uint32_t* a = vocab_.chars_.data() + vocab_.char_start_[t];
    const std::size_t la = vocab_.char_start_[t + 1] - vocab_.char_start_[t];
    todo_.clear();
    todo_.push_back({0, la, 0, b_.size()});
    std::size_t total = 0, open = todo_.back().room();
    while (!todo_.empty()) {
        if (total + open < need) return total + open;
        const Range r = todo_.back();
        todo_.pop_back();
        open -= r.room();
        const Block x = longest(a, r);
        if (x.size == 0) continue;
        total += x.size;
        if (r.alo < x.i && r.blo < x.j) {
            todo_.push_back({r.alo, x.i, r.blo, x.j});
            open += todo_.back().room();
        }
        if (x.i + x.size < r.ahi && x.j + x.size < r.bhi) {
            todo_.push_back({x.i + x.size, r.ahi, x.j + x.size, r.bhi});
            open += todo_.back().room();
        }
    }
    return total;
}

// ---- the search -------------------------------------------------------------

std::vector<CloseMatcher::Run> CloseMatcher::every_run() const {
    std::vector<Run> runs;
    runs.reserve(buckets_.size());
    for (const Bucket& b : buckets_) runs.push_back({b.length, b.first, b.last});
    return runs;
}

std::optional<std::u32string> CloseMatcher::best(const std::u32string& word, double cutoff) const {
    check_cutoff(cutoff);
    return scan(word, cutoff, every_run(), nullptr);
}

std::optional<std::u32string> CloseMatcher::best_beyond_one_edit(const std::u32string& word,
                                                                 double cutoff) const {
    check_cutoff(cutoff);
    return scan(word, cutoff, every_run(), nullptr, true);
}

std::optional<std::u32string> CloseMatcher::best_among(const std::u32string& word, double cutoff,
                                                       const std::vector<std::uint32_t>& among) const {
    check_cutoff(cutoff);
    std::vector<std::size_t> at;
    at.reserve(among.size());
    for (std::uint32_t i : among) {
        if (i >= placed_.size()) throw std::out_of_range("a term outside the vocabulary");
        at.push_back(placed_[i]);
    }
    // Positions ascending are grouped by length, as the buckets are.
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    std::vector<Run> runs;
    for (std::size_t k = 0; k < at.size();) {
        const std::size_t length = terms_[at[k]].size();
        const std::size_t first = k;
        while (k < at.size() && terms_[at[k]].size() == length) ++k;
        runs.push_back({length, first, k});
    }
    return scan(word, cutoff, runs, at.data());
}

void CloseMatcher::check_cutoff(double cutoff) {
    if (!(cutoff >= 0.0 && cutoff <= 1.0))
        throw std::invalid_argument("cutoff must be in [0.0, 1.0]");
}

std::optional<std::u32string> CloseMatcher::scan(const std::u32string& word, double cutoff,
                                                 const std::vector<Run>& runs,
                                                 const std::size_t* positions,
                                                 bool beyond_one_edit) const {
    if (runs.empty()) return std::nullopt;
    auto term_at = [&](std::size_t p) { return positions ? positions[p] : p; };

    const std::size_t lb = word.size();
    std::vector<std::pair<double, std::size_t>> order;  // (real_quick_ratio, run)
    order.reserve(runs.size());
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const std::size_t la = runs[k].length;
        order.emplace_back(ratio_of(std::min(la, lb), la + lb), k);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& l, const auto& r) { return l.first > r.first; });

    // A word among the terms: (T - 1) / T rounds to 1.0 only past 2**53.
    if (lb < (std::size_t{1} << 50)) {
        auto it = std::lower_bound(runs.begin(), runs.end(), lb,
                                   [](const Run& r, std::size_t n) { return r.length < n; });
        if (it != runs.end() && it->length == lb) {
            for (std::size_t p = it->first; p < it->last; ++p)
                if (terms_[term_at(p)] == word) return word;
        }
    }

    Query query(*this, word);
    std::size_t best = kNoTerm;
    double best_score = 0.0;
    for (const auto& [bound, k] : order) {
        if (bound < cutoff || (best != kNoTerm && bound < best_score)) break;
        const Run& run = runs[k];
        const std::size_t total = run.length + lb;
        const std::size_t top = std::min(run.length, lb);
        // need: the least M that keeps a term in the running; win: the least
        // that beats the best score outright (below it, only a tie).
        std::size_t need = 0, win = 0;
        auto reckon = [&] {
            need = win = least_matches(cutoff, false, total, top);
            if (best != kNoTerm) {
                need = std::max(need, least_matches(best_score, false, total, top));
                win = std::max(need, least_matches(best_score, true, total, top));
            }
        };
        reckon();
        // Matching every letter of the shorter string makes it a
        // subsequence of the other: a term one letter shorter is the word
        // less one, one letter longer is the word with one added, and one
        // as long is the word itself (looked for above).
        if (beyond_one_edit && need == top && top + 1 >= std::max(run.length, lb)) continue;
        for (std::size_t p = run.first; p < run.last; ++p) {
            const std::size_t t = term_at(p);
            if (need > top) break;
            if (query.rough_common(t) < need) continue;
            const std::size_t shared = query.common(t, need);
            if (shared < need) continue;
            if (shared < win && !(terms_[t] > terms_[best])) continue;
            const std::size_t m = query.matches(t, need);
            if (m < need) continue;
            const double score = ratio_of(m, total);
            if (score >= cutoff &&
                (best == kNoTerm || score > best_score ||
                 (score == best_score && terms_[t] > terms_[best]))) {
                best = t;
                best_score = score;
                reckon();
            }
        }
    }
    if (best == kNoTerm) return std::nullopt;
    return terms_[best];
}

std::optional<std::u32string> get_close_match(const std::u32string& word,
                                              const std::vector<std::u32string>& possibilities,
                                              double cutoff) {
    return CloseMatcher(possibilities).best(word, cutoff);
}

}  // namespace wr
