// Inverted lists over embeddings, for answering an inner-product query
// without scoring every vector: the vectors are grouped around centroids
// (spherical k-means on a sample), each vector is filed in the lists of its
// two best centroids, and a query scores the vectors of the lists whose
// centroids suit it best. Filing a vector twice costs two list entries and
// no copy of it, and finds most of the neighbours a single filing loses at a
// list's border.
//
// Plain C++ over std types. The vectors themselves stay the caller's (one
// row-major n x dim matrix): the lists hold row numbers only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wr::veclists {

// Lists each vector is filed in.
constexpr std::size_t kSpill = 2;

struct Lists {
    std::size_t dim = 0;
    // How many vectors there were when the centroids were trained.
    std::size_t trained = 0;
    std::vector<float> centroids;  // lists x dim, row-major
    // Vector i is filed in lists home[kSpill * i] .. home[kSpill * i + kSpill - 1].
    std::vector<std::uint32_t> home;
    // Made by arrange(): the vectors of list l are members[start[l] .. start[l + 1]).
    std::vector<std::uint32_t> start, members;

    std::size_t lists() const { return dim ? centroids.size() / dim : 0; }
    std::size_t size() const { return home.size() / kSpill; }
};

struct Hit {
    float score;
    std::uint32_t row;
};

float dot(const float* a, const float* b, std::size_t dim);

// How many lists n vectors are grouped in: about 4 sqrt(n), at most n.
std::size_t lists_for(std::size_t n);

// Trains centroids on a sample of the n x dim matrix x and files every row.
// The same vectors and seed give the same lists. `threads` at least 1.
Lists train(const float* x, std::size_t n, std::size_t dim, std::uint64_t seed, unsigned threads);

// The kSpill lists vector v belongs in, best first, into out[0 .. kSpill).
void file(const Lists& lists, const float* v, std::uint32_t* out);

// Files rows [first, n) of x (rows before keep the homes they have) and
// arranges the lists again.
void file_rows(Lists& lists, const float* x, std::size_t first, std::size_t n, unsigned threads);

// Builds start and members from home. Throws std::invalid_argument when a
// home names no list (a damaged file).
void arrange(Lists& lists);

// The best `count` rows of x among those filed in the `probes` lists whose
// centroids score best against q, best first (equal scores: the lower row
// first). x is the matrix the lists were filed from.
std::vector<Hit> search(const Lists& lists, const float* x, const float* q, std::size_t count,
                        std::size_t probes);

}  // namespace wr::veclists
