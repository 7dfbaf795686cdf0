#include "bm25.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

namespace wr::bm25 {

Index::Index(std::size_t terms, const std::vector<std::uint32_t>& tokens,
             const std::vector<std::size_t>& starts, const std::vector<std::uint8_t>& groups,
             Params params, std::shared_ptr<const Collection> whole)
    : params_(params), whole_(std::move(whole)), groups_(groups), starts_(terms + 1, 0) {
    build(terms, tokens.size(), starts, [&](std::size_t i) { return tokens[i]; },
          [](std::size_t) { return std::uint32_t{1}; });
}

Index::Index(std::size_t terms, const std::vector<TermCount>& counts,
             const std::vector<std::size_t>& starts, const std::vector<std::uint8_t>& groups,
             Params params, std::shared_ptr<const Collection> whole)
    : params_(params), whole_(std::move(whole)), groups_(groups), starts_(terms + 1, 0) {
    build(terms, counts.size(), starts, [&](std::size_t i) { return counts[i].term; },
          [&](std::size_t i) { return counts[i].count; });
}

template <typename TermOf, typename CountOf>
void Index::build(std::size_t terms, std::size_t entries, const std::vector<std::size_t>& starts,
                  TermOf term_of, CountOf count_of) {
    const std::size_t n = groups_.size();
    if (n >= std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("too many documents");
    if (starts.size() != n + 1 || starts[0] != 0 || starts[n] != entries)
        throw std::invalid_argument("document offsets do not fit the tokens");
    for (std::size_t d = 0; d < n; ++d) {
        if (starts[d + 1] < starts[d]) throw std::invalid_argument("document offsets must not decrease");
        if (groups_[d] >= kMaxGroups) throw std::invalid_argument("group out of range");
    }
    for (std::size_t i = 0; i < entries; ++i)
        if (term_of(i) >= terms) throw std::invalid_argument("term id out of range");

    // Per document, its distinct terms with their counts (in the order the
    // document first holds them: the postings below are laid out per term,
    // in document order, whatever that order), and its length. Documents
    // given as counts already name each term once; the entries are then
    // used where they lie, and copied, summed per term, only when some
    // document repeats a term.
    std::vector<double> lengths(n, 0.0);
    std::vector<std::size_t> last(terms, SIZE_MAX);  // per term: the document that last held it
    double total_length = 0;
    bool repeated = false;
    for (std::size_t d = 0; d < n; ++d) {
        double length = 0;
        for (std::size_t i = starts[d]; i < starts[d + 1]; ++i) {
            const std::uint32_t t = term_of(i);
            length += count_of(i);
            if (last[t] == d) {
                repeated = true;
                continue;
            }
            last[t] = d;
            ++starts_[t + 1];
        }
        lengths[d] = length;
        total_length += length;
    }
    std::vector<std::uint32_t> distinct;   // term of each (document, term) pair, when copied
    std::vector<std::uint32_t> counts;     // its count
    std::vector<std::size_t> pair_start;
    if (repeated) {
        std::fill(last.begin(), last.end(), SIZE_MAX);
        std::vector<std::size_t> where(terms, 0);  // where the document that last held a term counts it
        pair_start.assign(n + 1, 0);
        for (std::size_t d = 0; d < n; ++d) {
            for (std::size_t i = starts[d]; i < starts[d + 1]; ++i) {
                const std::uint32_t t = term_of(i);
                if (last[t] == d) {
                    counts[where[t]] += count_of(i);
                    continue;
                }
                last[t] = d;
                where[t] = distinct.size();
                distinct.push_back(t);
                counts.push_back(count_of(i));
            }
            pair_start[d + 1] = distinct.size();
        }
    }
    const std::size_t pairs = repeated ? distinct.size() : entries;
    for (std::size_t t = 0; t < terms; ++t) starts_[t + 1] += starts_[t];
    if (whole_) {
        if (whole_->frequency.size() != terms || whole_->documents < n || !(whole_->total_length >= total_length))
            throw std::invalid_argument("the whole collection cannot hold this index's documents");
        for (std::size_t t = 0; t < terms; ++t)
            if (whole_->frequency[t] < starts_[t + 1] - starts_[t])
                throw std::invalid_argument("a term is less frequent in the whole collection than in its part");
        total_length = whole_->total_length;
    }
    const std::size_t scored = whole_ ? whole_->documents : n;

    // The same expression as for the whole collection's own index: the
    // saturated weights must come out equal to the last bit.
    const double average = scored ? total_length / static_cast<double>(scored) : 0.0;
    const double k1 = params_.k1, b = params_.b;
    // On the pages the system gives by default: every change of an index
    // builds its postings anew, mostly to write them to a file, and large
    // pages taken fresh cost more to touch than they save a search where
    // the system hands free memory back to a host (hugepages.hpp); a
    // search from the command line reads them mapped from that file anyway.
    docs_.resize(pairs);
    saturated_.resize(pairs);
    std::vector<std::size_t> next(starts_.begin(), starts_.end() - 1);
    auto fill = [&](std::size_t d, auto term, auto count, std::size_t begin, std::size_t end) {
        // A collection of empty documents has no average length; none of
        // them holds a term either, so the norm is never used.
        const double norm = k1 * (1.0 - b + (average > 0 ? b * lengths[d] / average : 0.0));
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t at = next[term(p)]++;
            const double tf = count(p);
            docs_[at] = static_cast<std::uint32_t>(d);
            saturated_[at] = static_cast<float>(tf * (k1 + 1.0) / (tf + norm));
        }
    };
    if (repeated) {
        for (std::size_t d = 0; d < n; ++d)
            fill(d, [&](std::size_t p) { return distinct[p]; }, [&](std::size_t p) { return counts[p]; },
                 pair_start[d], pair_start[d + 1]);
    } else {
        for (std::size_t d = 0; d < n; ++d) fill(d, term_of, count_of, starts[d], starts[d + 1]);
    }
    derive_terms();
    derive_tops();
    point_at_own();
}

void Index::derive_terms() {
    const std::size_t terms = starts_.size() - 1;
    const double all = static_cast<double>(whole_ ? whole_->documents : groups_.size());
    idf_.assign(terms, 0.0);
    for (std::size_t t = 0; t < terms; ++t) {
        const double df = static_cast<double>(frequency(static_cast<std::uint32_t>(t)));
        idf_[t] = std::log(1.0 + (all - df + 0.5) / (df + 0.5));
    }
    // Each term's postings in blocks of kBlock from its first.
    blocks_.assign(terms + 1, 0);
    for (std::size_t t = 0; t < terms; ++t)
        blocks_[t + 1] = blocks_[t] + (starts_[t + 1] - starts_[t] + kBlock - 1) / kBlock;
    present_groups_ = 0;
    for (std::uint8_t g : groups_) present_groups_ |= std::uint32_t{1} << g;
}

void Index::derive_tops() {
    // The largest saturated value of each block, and of the term.
    const std::size_t terms = starts_.size() - 1;
    block_top_.assign(blocks_[terms], 0.0f);
    top_.assign(terms, 0.0f);
    for (std::size_t t = 0; t < terms; ++t) {
        for (std::size_t p = starts_[t], b = blocks_[t]; p < starts_[t + 1]; p += kBlock, ++b) {
            float top = 0.0f;
            for (std::size_t q = p; q < std::min(p + kBlock, starts_[t + 1]); ++q) top = std::max(top, saturated_[q]);
            block_top_[b] = top;
            top_[t] = std::max(top_[t], top);
        }
    }
}

void Index::point_at_own() {
    docs_at_ = docs_.data();
    saturated_at_ = saturated_.data();
    block_top_at_ = block_top_.data();
    keep_.reset();
    checked_.reset();
    sums_.clear();
}

void Index::write(image::Writer& out) const {
    // An image is read back with the index's own figures.
    if (whole_) throw std::logic_error("an index scored as part of a larger collection has no image");
    out.put<double>(params_.k1);
    out.put<double>(params_.b);
    out.put_vector(groups_);
    std::vector<std::uint64_t> starts(starts_.begin(), starts_.end());
    out.put_vector(starts);
    // The postings and block maxima are left out of the image's checksum:
    // each term's postings carry their own, checked when a query first
    // names the term, and its block maxima are compared with theirs then.
    const std::size_t postings = starts_.back();
    out.put_aligned(docs_at_, postings, false);
    out.put_aligned(saturated_at_, postings, false);
    out.put_vector(top_);
    out.put_aligned(block_top_at_, blocks_.back(), false);
    std::vector<std::uint64_t> sums(terms());
    for (std::size_t t = 0; t < sums.size(); ++t) sums[t] = postings_checksum(static_cast<std::uint32_t>(t));
    out.put_vector(sums);
}

std::size_t Index::image_bytes() const {
    // Each array: its count and at most 16 bytes of alignment.
    constexpr std::size_t kEach = 24;
    const std::size_t postings = starts_.empty() ? 0 : starts_.back();
    const std::size_t blocks = blocks_.empty() ? 0 : blocks_.back();
    return 2 * sizeof(double) + groups_.size() + starts_.size() * sizeof(std::uint64_t) +
           postings * (sizeof(std::uint32_t) + sizeof(float)) + top_.size() * sizeof(float) +
           blocks * sizeof(float) + terms() * sizeof(std::uint64_t) + 6 * kEach;
}

std::uint64_t Index::postings_checksum(std::uint32_t term) const {
    const std::size_t begin = starts_[term], count = starts_[term + 1] - begin;
    const std::string_view docs(reinterpret_cast<const char*>(docs_at_ + begin), count * sizeof(std::uint32_t));
    const std::string_view weights(reinterpret_cast<const char*>(saturated_at_ + begin), count * sizeof(float));
    return image::wide_checksum(docs) ^ (image::wide_checksum(weights) * 0x9e3779b97f4a7c15ull);
}

Index Index::read(image::Reader& in, std::shared_ptr<const void> keep) {
    Index index;
    index.params_.k1 = in.get<double>();
    index.params_.b = in.get<double>();
    index.groups_ = in.get_vector<std::uint8_t>(std::numeric_limits<std::uint32_t>::max() - 1);
    const std::vector<std::uint64_t> starts = in.get_vector<std::uint64_t>();
    const auto [docs, postings] = in.view<std::uint32_t>(UINT64_MAX, false);
    const auto [saturated, weights] = in.view<float>(postings, false);
    if (weights != postings) throw image::Damaged("postings and their weights differ in number");
    image::check_offsets(starts, postings);
    index.starts_.assign(starts.begin(), starts.end());  // fits: at most `postings`
    for (std::uint8_t g : index.groups_)
        if (g >= kMaxGroups) throw image::Damaged("a document's group is out of range");
    const std::size_t terms = index.starts_.size() - 1;
    index.top_ = in.get_vector<float>(terms);
    if (index.top_.size() != terms) throw image::Damaged("terms and their largest weights differ in number");
    index.derive_terms();
    const auto [block_top, blocks] = in.view<float>(index.blocks_.back(), false);
    if (blocks != index.blocks_.back()) throw image::Damaged("blocks and their largest weights differ in number");
    index.sums_ = in.get_vector<std::uint64_t>(terms);
    if (index.sums_.size() != terms) throw image::Damaged("terms and their postings' checksums differ in number");
    index.docs_at_ = docs;
    index.saturated_at_ = saturated;
    index.block_top_at_ = block_top;
    index.checked_.reset(new std::atomic<std::uint8_t>[terms]);
    for (std::size_t t = 0; t < terms; ++t) index.checked_[t].store(0, std::memory_order_relaxed);
    if (keep) {
        index.keep_ = std::move(keep);
        return index;
    }
    // Copied: every term checked now, while the reader's bytes are there.
    for (std::size_t t = 0; t < terms; ++t) index.check_postings(static_cast<std::uint32_t>(t));
    index.docs_.assign(docs, docs + postings);
    index.saturated_.assign(saturated, saturated + postings);
    index.block_top_.assign(block_top, block_top + blocks);
    index.point_at_own();
    return index;
}

// A term's postings as written (their checksum) and as the constructor lays
// them out: documents ascending and in range, weights that are numbers, and
// the block maxima theirs. The scoring loops index the accumulator by these
// documents and skip blocks by these maxima, so postings read from an image
// are never used unchecked.
void Index::check_postings(std::uint32_t term) const {
    if (!checked_ || checked_[term].load(std::memory_order_acquire)) return;
    if (postings_checksum(term) != sums_[term]) throw image::Damaged("a term's postings are not as written");
    const std::size_t n = groups_.size(), begin = starts_[term], end = starts_[term + 1];
    if (begin < end && docs_at_[begin] >= n) throw image::Damaged("postings out of order or out of range");
    float term_top = 0.0f;
    // Faults are gathered a block at a time, without a branch per posting.
    for (std::size_t p = begin, b = blocks_[term]; p < end; p += kBlock, ++b) {
        const std::size_t last = std::min(p + kBlock, end);
        bool bad = false;
        for (std::size_t q = std::max(p, begin + 1); q < last; ++q)
            bad |= (docs_at_[q] >= n) | (docs_at_[q] <= docs_at_[q - 1]);
        if (bad) throw image::Damaged("postings out of order or out of range");
        float top = 0.0f;
        for (std::size_t q = p; q < last; ++q) {
            const float w = saturated_at_[q];
            bad |= !(w >= 0.0f) | !(w <= std::numeric_limits<float>::max());
            top = std::max(top, w);
        }
        if (bad) throw image::Damaged("a posting's weight is not a number");
        if (!(block_top_at_[b] == top)) throw image::Damaged("a block's largest weight is not its own");
        term_top = std::max(term_top, top);
    }
    if (!(top_[term] == term_top)) throw image::Damaged("a term's largest weight is not its own");
    checked_[term].store(1, std::memory_order_release);
}

std::uint32_t Index::document_frequency(std::uint32_t term) const {
    if (term >= terms()) throw std::out_of_range("term outside the vocabulary");
    return static_cast<std::uint32_t>(frequency(term));
}

double Index::idf(std::uint32_t term) const {
    if (term >= terms()) throw std::out_of_range("term outside the vocabulary");
    return idf_[term];
}

std::size_t Index::footprint() const {
    return groups_.capacity() + starts_.capacity() * sizeof(std::size_t) +
           docs_.capacity() * sizeof(std::uint32_t) + saturated_.capacity() * sizeof(float) +
           idf_.capacity() * sizeof(double) + top_.capacity() * sizeof(float) +
           blocks_.capacity() * sizeof(std::size_t) + block_top_.capacity() * sizeof(float);
}

void Index::check(const std::vector<QueryTerm>& query) const {
    for (const QueryTerm& q : query) {
        if (q.term >= terms()) throw std::out_of_range("query term outside the vocabulary");
        check_postings(q.term);
    }
}

std::vector<Index::Planned> Index::plan(const std::vector<QueryTerm>& query) const {
    // The terms that score, rarest first (their documents are few and their
    // weight high: the best scores are known early), ties in query order.
    // Rarest as scored: an index of part of a collection adds a document's
    // terms up in the whole index's order, and so to the same last bit.
    std::vector<Planned> out;
    for (const QueryTerm& q : query) {
        const std::uint32_t wanted = q.groups & present_groups_;
        // Only positive contributions: a document's first touch is then told
        // by its accumulator still being 0, and scores only grow.
        if (!wanted || !(q.weight > 0.0)) continue;
        const double factor = q.weight * idf_[q.term];
        out.push_back({frequency(q.term), wanted, factor, starts_[q.term], starts_[q.term + 1],
                       factor * top_[q.term]});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Planned& a, const Planned& b) { return a.frequency < b.frequency; });
    return out;
}

void Index::accumulate(const std::vector<QueryTerm>& query, std::vector<double>& acc,
                       std::vector<std::uint32_t>& touched, std::size_t stop) const {
    // The accumulator is read at random: the slot of the posting this far
    // ahead is fetched while this one is added to.
    constexpr std::size_t kAhead = 16;
    // Raw pointers in the loops: through the vectors, every store made the
    // compiler read their bounds again (and, for this thread's accumulator,
    // its address: a call per posting).
    double* const a = acc.data();
    const std::uint32_t* const docs = docs_at_;
    const float* const saturated = saturated_at_;
    const std::uint8_t* const groups = groups_.data();
    const std::vector<Planned> terms = plan(query);
    std::size_t postings = 0;
    for (const Planned& t : terms) postings += t.end - t.begin;
    touched.resize(postings);
    std::uint32_t* const out = touched.data();
    std::size_t count = 0;
    // Where each term's new documents begin in `touched` (each run ascends).
    std::vector<std::size_t> runs;
    std::size_t i = 0;
    for (; i < terms.size(); ++i) {
        if (stop && i > 0 && count >= stop && settled(terms, i, a, out, count, stop)) break;
        const Planned& t = terms[i];
        runs.push_back(count);
        if (t.wanted == present_groups_) {
            for (std::size_t p = t.begin; p < t.end; ++p) {
                if (p + kAhead < t.end) __builtin_prefetch(&a[docs[p + kAhead]], 1);
                const std::uint32_t d = docs[p];
                out[count] = d;
                count += a[d] == 0.0;
                a[d] += t.factor * saturated[p];
            }
        } else {
            for (std::size_t p = t.begin; p < t.end; ++p) {
                const std::uint32_t d = docs[p];
                if (!((t.wanted >> groups[d]) & 1u)) continue;
                out[count] = d;
                count += a[d] == 0.0;
                a[d] += t.factor * saturated[p];
            }
        }
    }
    touched.resize(count);
    if (i == terms.size()) return;

    // The rest of the terms can lift no document that is not scored yet
    // into the first `stop`: they are only added to the documents touched
    // already, each looked for in their postings. Merged in document order,
    // those documents are found by galloping forward.
    std::vector<std::uint32_t> merged;
    for (std::size_t r = 1; r < runs.size(); ++r) {
        const std::size_t end = r + 1 < runs.size() ? runs[r + 1] : count;
        merged.resize(end);
        std::merge(touched.begin(), touched.begin() + static_cast<std::ptrdiff_t>(runs[r]),
                   touched.begin() + static_cast<std::ptrdiff_t>(runs[r]),
                   touched.begin() + static_cast<std::ptrdiff_t>(end), merged.begin());
        std::copy(merged.begin(), merged.end(), touched.begin());
    }
    for (; i < terms.size(); ++i) {
        const Planned& t = terms[i];
        const std::uint32_t* at = docs + t.begin;
        const std::uint32_t* const end = docs + t.end;
        for (std::uint32_t d : touched) {
            // The first posting >= d: doubling steps, then halving.
            const auto left = static_cast<std::size_t>(end - at);
            std::size_t step = 1;
            while (step < left && at[step] < d) step *= 2;
            at = std::lower_bound(at + step / 2, at + std::min(step + 1, left), d);
            if (at == end) break;
            if (*at != d || !((t.wanted >> groups[d]) & 1u)) continue;
            a[d] += t.factor * saturated[at - docs];
        }
    }
}

bool Index::settled(const std::vector<Planned>& terms, std::size_t next, const double* acc,
                    const std::uint32_t* touched, std::size_t count, std::size_t stop) const {
    // Worth asking only when the postings left outnumber the documents
    // touched: otherwise looking those up costs what adding them does.
    std::size_t left = 0;
    for (std::size_t j = next; j < terms.size(); ++j) left += terms[j].end - terms[j].begin;
    if (left < 4 * count) return false;
    // A document not touched yet scores at most the bounds of the terms
    // left, summed in the order its score would be (floating-point addition
    // is monotonic, so the sum bounds the score exactly).
    double most = 0.0;
    for (std::size_t j = next; j < terms.size(); ++j) most += terms[j].bound;
    // No document touched scores more than the bounds of the terms added.
    double reached = 0.0;
    for (std::size_t j = 0; j < next; ++j) reached += terms[j].bound;
    if (!(most < reached)) return false;
    // The `stop`th best score so far: a floor under the `stop`th best
    // score at the end, since scores only grow. Below it strictly, an
    // untouched document has `stop` documents ahead of it whatever it ties.
    thread_local std::vector<double> scores;
    scores.resize(count);
    for (std::size_t k = 0; k < count; ++k) scores[k] = acc[touched[k]];
    std::nth_element(scores.begin(), scores.begin() + static_cast<std::ptrdiff_t>(stop - 1), scores.end(),
                     std::greater<double>());
    return most < scores[stop - 1];
}

namespace {

// The accumulator of this thread, all zeros between calls; grown to the
// largest index searched, so a search allocates nothing after the first.
std::vector<double>& scratch(std::size_t size) {
    thread_local std::vector<double> acc;
    if (acc.size() < size) acc.assign(size, 0.0);
    return acc;
}

// A search zeroes the places it added to as it reads them back. One that
// fails midway (an allocation refused) has the whole accumulator zeroed
// instead, so the thread's next search does not start from its sums.
class ZeroedOnFailure {
public:
    explicit ZeroedOnFailure(std::vector<double>& acc) : acc_(acc) {}
    ZeroedOnFailure(const ZeroedOnFailure&) = delete;
    ZeroedOnFailure& operator=(const ZeroedOnFailure&) = delete;
    ~ZeroedOnFailure() {
        if (!done_) std::fill(acc_.begin(), acc_.end(), 0.0);
    }
    void done() { done_ = true; }

private:
    std::vector<double>& acc_;
    bool done_ = false;
};

}  // namespace

std::vector<double> Index::scores(const std::vector<QueryTerm>& query) const {
    check(query);
    std::vector<double> out(documents(), 0.0);
    std::vector<std::uint32_t> touched;
    accumulate(query, out, touched);
    return out;
}

namespace {

// The best `stop` hits offered, in a heap whose top is the worst of them:
// once it is full, most documents are turned away by one comparison with
// that worst score, where sorting or selecting among every match cost more
// than the scoring itself.
class Best {
public:
    explicit Best(std::size_t stop) : stop_(stop) {}

    void offer(std::uint32_t doc, double score) {
        if (!(score > 0.0) || score < floor_) return;
        const Hit hit{doc, score};
        if (heap_.size() < stop_) {
            heap_.push_back(hit);
            std::push_heap(heap_.begin(), heap_.end(), before);
        } else if (before(hit, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), before);
            heap_.back() = hit;
            std::push_heap(heap_.begin(), heap_.end(), before);
        } else {
            return;
        }
        if (heap_.size() == stop_) floor_ = heap_.front().score;
    }

    // No score below this can be offered with effect.
    double floor() const { return floor_; }

    // From the `start`th best on.
    std::vector<Hit> from(std::size_t start) {
        std::sort_heap(heap_.begin(), heap_.end(), before);
        if (start >= heap_.size()) return {};
        return std::vector<Hit>(heap_.begin() + static_cast<std::ptrdiff_t>(start), heap_.end());
    }

private:
    static constexpr RanksBefore before{};
    std::size_t stop_;
    double floor_ = -std::numeric_limits<double>::infinity();
    std::vector<Hit> heap_;
};

}  // namespace

std::vector<Hit> Index::rank(const std::vector<QueryTerm>& query, std::size_t start,
                             std::size_t stop) const {
    check(query);
    if (stop == 0) return {};
    Best best(stop);
    // One term that scores (a query of one word, most often): its postings
    // are the matches, each scored as the accumulator would score it.
    const QueryTerm* only = nullptr;
    std::size_t scoring = 0;
    for (const QueryTerm& q : query)
        if ((q.groups & present_groups_) && q.weight > 0.0) only = &q, ++scoring;
    if (scoring == 1) {
        // A block of postings whose largest value scores below the page's
        // last score so far has nothing for the page.
        const std::uint32_t wanted = only->groups & present_groups_;
        const double factor = only->weight * idf_[only->term];
        const std::size_t begin = starts_[only->term], end = starts_[only->term + 1];
        // The blocks holding the term's largest value first: the floor is
        // then as high as it gets before most blocks are looked at (which
        // document is offered first changes nothing in the page).
        const float top = top_[only->term];
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t b = blocks_[only->term], from = begin; from < end; ++b, from += kBlock) {
                if ((block_top_at_[b] == top) != (pass == 0) || 0.0 + factor * block_top_at_[b] < best.floor())
                    continue;
                const std::size_t last = std::min(from + kBlock, end);
                if (wanted == present_groups_) {
                    for (std::size_t p = from; p < last; ++p) best.offer(docs_at_[p], 0.0 + factor * saturated_at_[p]);
                } else {
                    for (std::size_t p = from; p < last; ++p)
                        if ((wanted >> groups_[docs_at_[p]]) & 1u) best.offer(docs_at_[p], 0.0 + factor * saturated_at_[p]);
                }
            }
        }
        return best.from(start);
    }
    std::vector<double>& acc = scratch(documents());
    ZeroedOnFailure zeroed(acc);
    std::vector<std::uint32_t> touched;
    accumulate(query, acc, touched, stop);
    double* const a = acc.data();
    for (std::uint32_t d : touched) {
        const double score = a[d];
        a[d] = 0.0;
        best.offer(d, score);
    }
    zeroed.done();
    return best.from(start);
}

std::size_t Index::matches(const std::vector<QueryTerm>& query) const {
    check(query);
    std::vector<double>& acc = scratch(documents());
    ZeroedOnFailure zeroed(acc);
    std::vector<std::uint32_t> touched;
    accumulate(query, acc, touched);
    std::size_t count = 0;
    for (std::uint32_t d : touched) {
        count += acc[d] > 0.0;
        acc[d] = 0.0;
    }
    zeroed.done();
    return count;
}

// ---- pieces ------------------------------------------------------------------

bool is_joiner(char32_t c) {
    switch (c) {
        case U'-': case U'/': case U'\\':
        case 0x058A: case 0x05BE: case 0x1400: case 0x1806:
        case 0x2010: case 0x2011: case 0x2012: case 0x2013: case 0x2014: case 0x2015:
        case 0x2044: case 0x2212: case 0x2215:
        case 0x2E17: case 0x2E1A: case 0x2E3A: case 0x2E3B: case 0x2E40: case 0x2E5D:
        case 0x301C: case 0x3030: case 0x30A0:
        case 0xFE31: case 0xFE32: case 0xFE58: case 0xFE63: case 0xFF0D: case 0xFF0F:
        case 0x10EAD:
            return true;
        default:
            return false;
    }
}

std::vector<Piece> pieces_of(std::u32string_view text, const text::CharClasses& cc) {
    std::vector<Piece> out;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        while (i < n && cc.is_space(text[i])) ++i;
        if (i == n) break;
        Piece piece;
        std::u32string part;
        std::size_t parts_seen = 0;
        auto close_part = [&] {
            if (!part.empty()) {
                piece.parts.push_back(std::move(part));
                ++parts_seen;
            }
            part.clear();
        };
        for (; i < n && !cc.is_space(text[i]); ++i) {
            const char32_t c = text[i];
            if (is_joiner(c)) {
                close_part();
            } else if (cc.is_word(c)) {
                piece.joined.push_back(c);
                part.push_back(c);
            }
        }
        close_part();
        if (piece.joined.empty()) continue;
        if (parts_seen < 2) piece.parts.clear();  // one word: nothing was joined
        out.push_back(std::move(piece));
    }
    return out;
}

std::uint64_t fingerprint(std::u32string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char32_t c : text) {
        for (int k = 0; k < 4; ++k) {
            h ^= static_cast<std::uint64_t>((c >> (8 * k)) & 0xFF);
            h *= 0x100000001b3ull;
        }
    }
    return h;
}

}  // namespace wr::bm25
