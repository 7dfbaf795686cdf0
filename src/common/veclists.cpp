#include "veclists.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace wr::veclists {

namespace {

// The inner products are the whole cost. Written over GCC's generic vectors
// (eight floats), which the compiler lowers to whatever the target has; on
// x86-64 a second copy for AVX2 and FMA is chosen at load time where the
// processor has them. (Not under the address sanitizer, whose start-up comes
// after the choice is made.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define WR_WIDE __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define WR_WIDE
#endif

typedef float v8 __attribute__((vector_size(32)));

constexpr std::size_t kLanes = 8;
// k-means rounds over the sample, and sample rows per list.
constexpr int kRounds = 6;
constexpr std::size_t kSamplePerList = 32;
// Centroids scored against a block of rows while they are in cache.
constexpr std::size_t kCentroidTile = 128;
constexpr std::size_t kRowBlock = 64;

float lane_sum(const v8& v) {
    float s = 0;
    for (std::size_t j = 0; j < kLanes; ++j) s += v[j];
    return s;
}

// Four rows against one centroid: the centroid is loaded once for the four.
WR_WIDE void dot4(const float* c, const float* const* rows, std::size_t dim, float* out) {
    v8 a0 = {}, a1 = {}, a2 = {}, a3 = {};
    std::size_t i = 0;
    for (; i + kLanes <= dim; i += kLanes) {
        v8 cv, r0, r1, r2, r3;
        std::memcpy(&cv, c + i, sizeof cv);
        std::memcpy(&r0, rows[0] + i, sizeof r0);
        std::memcpy(&r1, rows[1] + i, sizeof r1);
        std::memcpy(&r2, rows[2] + i, sizeof r2);
        std::memcpy(&r3, rows[3] + i, sizeof r3);
        a0 += cv * r0;
        a1 += cv * r1;
        a2 += cv * r2;
        a3 += cv * r3;
    }
    float s[4] = {lane_sum(a0), lane_sum(a1), lane_sum(a2), lane_sum(a3)};
    for (; i < dim; ++i)
        for (int r = 0; r < 4; ++r) s[r] += c[i] * rows[r][i];
    for (int r = 0; r < 4; ++r) out[r] = s[r];
}

// A score that orders: NaN (a damaged vector) counts as the worst.
float orderable(float s) { return std::isnan(s) ? -std::numeric_limits<float>::infinity() : s; }

bool better(const Hit& a, const Hit& b) {
    return a.score > b.score || (a.score == b.score && a.row < b.row);
}

// Splits [0, n) between up to `threads` threads, this one included. A
// thread that cannot be started leaves its share to this one; an exception
// in any share is thrown here once every thread is done.
template <typename F>
void in_parallel(std::size_t n, unsigned threads, F work) {
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, n / kRowBlock + 1));
    const std::size_t step = (n + parts - 1) / parts;
    std::vector<std::exception_ptr> failed(parts);
    auto share = [&](std::size_t p) {
        const std::size_t begin = std::min(n, p * step), end = std::min(n, begin + step);
        try {
            work(begin, end);
        } catch (...) {
            failed[p] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    std::vector<std::size_t> left;
    for (std::size_t p = 1; p < parts; ++p) {
        try {
            helpers.emplace_back(share, p);
        } catch (const std::system_error&) {
            left.push_back(p);
        }
    }
    share(0);
    for (std::size_t p : left) share(p);
    for (std::thread& t : helpers) t.join();
    for (const std::exception_ptr& e : failed)
        if (e) std::rethrow_exception(e);
}

// For rows [begin, end) of x: the `keep` best centroids of `centroids`
// (lists x dim), best first, into best[keep * row + j].
void best_centroids(const float* x, std::size_t begin, std::size_t end, std::size_t dim,
                    const std::vector<float>& centroids, std::size_t keep, std::uint32_t* best) {
    const std::size_t lists = centroids.size() / dim;
    std::vector<Hit> top(kRowBlock * keep);
    for (std::size_t block = begin; block < end; block += kRowBlock) {
        const std::size_t rows = std::min(kRowBlock, end - block);
        for (Hit& h : top) h = {-std::numeric_limits<float>::infinity(), UINT32_MAX};
        auto offer = [&](std::size_t r, Hit h) {
            Hit* t = &top[r * keep];
            if (!better(h, t[keep - 1])) return;
            std::size_t j = keep - 1;
            for (; j > 0 && better(h, t[j - 1]); --j) t[j] = t[j - 1];
            t[j] = h;
        };
        for (std::size_t tile = 0; tile < lists; tile += kCentroidTile) {
            const std::size_t tile_end = std::min(lists, tile + kCentroidTile);
            for (std::size_t r = 0; r < rows; r += 4) {
                const float* four[4];
                for (std::size_t j = 0; j < 4; ++j) four[j] = x + (block + std::min(r + j, rows - 1)) * dim;
                float s[4];
                for (std::size_t l = tile; l < tile_end; ++l) {
                    dot4(&centroids[l * dim], four, dim, s);
                    for (std::size_t j = 0; j < 4 && r + j < rows; ++j)
                        offer(r + j, {orderable(s[j]), static_cast<std::uint32_t>(l)});
                }
            }
        }
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t j = 0; j < keep; ++j) {
                // Fewer lists than `keep`: the best one again.
                const Hit& h = top[r * keep + j].row == UINT32_MAX ? top[r * keep] : top[r * keep + j];
                best[(block - begin + r) * keep + j] = h.row == UINT32_MAX ? 0 : h.row;
            }
    }
}

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

void normalise(float* v, std::size_t dim) {
    double sum = 0;
    for (std::size_t i = 0; i < dim; ++i) sum += static_cast<double>(v[i]) * v[i];
    if (!(sum > 0) || !std::isfinite(sum)) return;
    const float scale = static_cast<float>(1.0 / std::sqrt(sum));
    for (std::size_t i = 0; i < dim; ++i) v[i] *= scale;
}

}  // namespace

WR_WIDE float dot(const float* a, const float* b, std::size_t dim) {
    v8 acc0 = {}, acc1 = {};
    std::size_t i = 0;
    for (; i + 2 * kLanes <= dim; i += 2 * kLanes) {
        v8 x0, y0, x1, y1;
        std::memcpy(&x0, a + i, sizeof x0);
        std::memcpy(&y0, b + i, sizeof y0);
        std::memcpy(&x1, a + i + kLanes, sizeof x1);
        std::memcpy(&y1, b + i + kLanes, sizeof y1);
        acc0 += x0 * y0;
        acc1 += x1 * y1;
    }
    float s = lane_sum(acc0 + acc1);
    for (; i < dim; ++i) s += a[i] * b[i];
    return s;
}

std::size_t lists_for(std::size_t n) {
    const auto k = static_cast<std::size_t>(std::lround(4.0 * std::sqrt(static_cast<double>(n))));
    return std::max<std::size_t>(1, std::min(n, k));
}

Lists train(const float* x, std::size_t n, std::size_t dim, std::uint64_t seed, unsigned threads) {
    if (n == 0 || dim == 0) throw std::invalid_argument("lists need vectors");
    if (n >= UINT32_MAX) throw std::invalid_argument("too many vectors for lists");
    Lists out;
    out.dim = dim;
    out.trained = n;
    const std::size_t k = lists_for(n);
    const std::size_t m = std::min(n, k * kSamplePerList);

    // The sample: m distinct rows, drawn by a partial shuffle.
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::uint64_t state = seed ^ (0x5851f42d4c957f2dull * n);
    for (std::size_t i = 0; i < m; ++i) std::swap(order[i], order[i + splitmix(state) % (n - i)]);
    std::vector<float> sample(m * dim);
    for (std::size_t i = 0; i < m; ++i) std::memcpy(&sample[i * dim], x + order[i] * dim, dim * sizeof(float));

    // Spherical k-means: each centroid the normalised mean of its rows.
    std::vector<float>& centroids = out.centroids;
    centroids.assign(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(k * dim));
    for (std::size_t l = 0; l < k; ++l) normalise(&centroids[l * dim], dim);
    std::vector<std::uint32_t> assigned(m);
    std::vector<double> sums(k * dim);
    std::vector<std::size_t> counts(k);
    for (int round = 0; round < kRounds; ++round) {
        in_parallel(m, threads, [&](std::size_t b, std::size_t e) {
            best_centroids(sample.data(), b, e, dim, centroids, 1, assigned.data() + b);
        });
        std::fill(sums.begin(), sums.end(), 0.0);
        std::fill(counts.begin(), counts.end(), 0);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t l = assigned[i];
            ++counts[l];
            for (std::size_t d = 0; d < dim; ++d) sums[l * dim + d] += sample[i * dim + d];
        }
        for (std::size_t l = 0; l < k; ++l) {
            float* c = &centroids[l * dim];
            if (counts[l] == 0) {
                // An empty list starts again from a sample row.
                std::memcpy(c, &sample[(splitmix(state) % m) * dim], dim * sizeof(float));
            } else {
                for (std::size_t d = 0; d < dim; ++d) c[d] = static_cast<float>(sums[l * dim + d]);
            }
            normalise(c, dim);
        }
    }
    file_rows(out, x, 0, n, threads);
    return out;
}

void file(const Lists& lists, const float* v, std::uint32_t* out) {
    best_centroids(v, 0, 1, lists.dim, lists.centroids, kSpill, out);
}

void file_rows(Lists& lists, const float* x, std::size_t first, std::size_t n, unsigned threads) {
    if (n >= UINT32_MAX) throw std::invalid_argument("too many vectors for lists");
    lists.home.resize(kSpill * n);
    if (first < n) {
        in_parallel(n - first, threads, [&](std::size_t b, std::size_t e) {
            best_centroids(x + first * lists.dim, b, e, lists.dim, lists.centroids, kSpill,
                           lists.home.data() + kSpill * (first + b));
        });
    }
    arrange(lists);
}

void arrange(Lists& lists) {
    const std::size_t k = lists.lists(), n = lists.size();
    lists.start.assign(k + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t* h = &lists.home[kSpill * i];
        for (std::size_t j = 0; j < kSpill; ++j) {
            if (h[j] >= k) throw std::invalid_argument("a vector is filed in a list that does not exist");
            // The same list twice (fewer lists than kSpill) is one entry.
            if (j > 0 && h[j] == h[0]) continue;
            ++lists.start[h[j] + 1];
        }
    }
    for (std::size_t l = 0; l < k; ++l) lists.start[l + 1] += lists.start[l];
    lists.members.resize(lists.start[k]);
    std::vector<std::uint32_t> at(lists.start.begin(), lists.start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t* h = &lists.home[kSpill * i];
        for (std::size_t j = 0; j < kSpill; ++j) {
            if (j > 0 && h[j] == h[0]) continue;
            lists.members[at[h[j]]++] = static_cast<std::uint32_t>(i);
        }
    }
}

std::vector<Hit> search(const Lists& lists, const float* x, const float* q, std::size_t count,
                        std::size_t probes) {
    const std::size_t k = lists.lists(), n = lists.size(), dim = lists.dim;
    std::vector<Hit> heap;
    if (count == 0 || k == 0 || n == 0) return heap;
    probes = std::max<std::size_t>(1, std::min(probes, k));

    std::vector<Hit> near(k);
    for (std::size_t l = 0; l < k; ++l)
        near[l] = {orderable(dot(&lists.centroids[l * dim], q, dim)), static_cast<std::uint32_t>(l)};
    std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(probes), near.end(), better);

    // A vector filed in two of the probed lists is scored once.
    std::vector<std::uint8_t> seen(n, 0);
    heap.reserve(count + 1);
    auto worse = [](const Hit& a, const Hit& b) { return better(a, b); };  // heap top: the worst kept
    for (std::size_t p = 0; p < probes; ++p) {
        const std::size_t l = near[p].row;
        for (std::uint32_t at = lists.start[l]; at < lists.start[l + 1]; ++at) {
            const std::uint32_t row = lists.members[at];
            if (seen[row]) continue;
            seen[row] = 1;
            // The rows of a list lie anywhere in the matrix: the next one is
            // asked for while this one is scored.
            if (at + 1 < lists.start[l + 1]) {
                const char* next = reinterpret_cast<const char*>(x + static_cast<std::size_t>(lists.members[at + 1]) * dim);
                for (std::size_t b = 0; b < dim * sizeof(float); b += 64) __builtin_prefetch(next + b);
            }
            const Hit h{orderable(dot(x + static_cast<std::size_t>(row) * dim, q, dim)), row};
            if (heap.size() < count) {
                heap.push_back(h);
                std::push_heap(heap.begin(), heap.end(), worse);
            } else if (better(h, heap.front())) {
                std::pop_heap(heap.begin(), heap.end(), worse);
                heap.back() = h;
                std::push_heap(heap.begin(), heap.end(), worse);
            }
        }
    }
    std::sort(heap.begin(), heap.end(), better);
    return heap;
}

}  // namespace wr::veclists
