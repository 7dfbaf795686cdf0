#include "cosine.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace wr::cosine {

void normalize_l2(std::vector<double>& values) {
    double sum = 0.0;
    for (double v : values) sum += v * v;
    if (sum == 0.0) return;
    sum = std::sqrt(sum);
    // A division per value, not a multiplication by the reciprocal: the two
    // differ in the last bit.
    for (double& v : values) v /= sum;
}

TermIndex::TermIndex(std::size_t rows, std::size_t terms, const double* data,
                     const std::int64_t* indices, const std::int64_t* indptr)
    : rows_(rows), starts_(terms + 1, 0) {
    if (rows > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("too many rows");
    if (indptr[0] != 0) throw std::invalid_argument("indptr must start at 0");
    for (std::size_t r = 0; r < rows; ++r)
        if (indptr[r + 1] < indptr[r]) throw std::invalid_argument("indptr must not decrease");
    const auto nnz = static_cast<std::size_t>(indptr[rows]);

    // Counting sort by term, stable in row and stored order.
    for (std::size_t p = 0; p < nnz; ++p) {
        const std::int64_t t = indices[p];
        if (t < 0 || static_cast<std::size_t>(t) >= terms)
            throw std::invalid_argument("term index out of range");
        ++starts_[static_cast<std::size_t>(t) + 1];
    }
    for (std::size_t t = 0; t < terms; ++t) starts_[t + 1] += starts_[t];
    rowids_.resize(nnz);
    values_.resize(nnz);
    std::vector<std::size_t> next(starts_.begin(), starts_.end() - 1);
    for (std::size_t r = 0; r < rows; ++r) {
        for (auto p = static_cast<std::size_t>(indptr[r]); p < static_cast<std::size_t>(indptr[r + 1]);
             ++p) {
            const std::size_t at = next[static_cast<std::size_t>(indices[p])]++;
            rowids_[at] = static_cast<std::uint32_t>(r);
            values_[at] = data[p];
        }
    }
}

std::size_t TermIndex::footprint() const {
    return starts_.capacity() * sizeof(std::size_t) + rowids_.capacity() * sizeof(std::uint32_t) +
           values_.capacity() * sizeof(double);
}

std::vector<double> TermIndex::scores(const Row& query) const {
    if (query.terms.size() != query.values.size())
        throw std::invalid_argument("a row needs one value per term");
    std::vector<double> out(rows_, 0.0);
    for (std::size_t i = 0; i < query.terms.size(); ++i) {
        const std::int64_t t = query.terms[i];
        if (t < 0 || static_cast<std::size_t>(t) >= terms())
            throw std::out_of_range("query term outside the vocabulary");
        const double a = query.values[i];
        const auto u = static_cast<std::size_t>(t);
        for (std::size_t p = starts_[u]; p < starts_[u + 1]; ++p) out[rowids_[p]] += a * values_[p];
    }
    return out;
}

}  // namespace wr::cosine
