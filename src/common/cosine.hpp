// Cosine scores of one query row against many stored rows, with exactly the
// arithmetic of scikit-learn's cosine_similarity on sparse float64 input:
// each row divided by its l2 norm (sum of squares in stored order, square
// root, one division per value), then the dot products accumulated per stored
// row in the order of the query's stored terms. Plain C++17, no Python
// headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wr::cosine {

// One sparse row: term ids and their values, in stored order.
struct Row {
    std::vector<std::int64_t> terms;
    std::vector<double> values;
};

// Divides the values by their l2 norm as sklearn.preprocessing.normalize
// does for one CSR row; a row whose sum of squares is 0 is left as it is.
void normalize_l2(std::vector<double>& values);

// Rows already normalised, kept term by term (a posting list per term) so a
// query touches only the rows that share one of its terms. Immutable after
// construction; scores() may run on several threads at once.
class TermIndex {
public:
    // A CSR matrix of `rows` x `terms`: row r holds the entries
    // [indptr[r], indptr[r + 1]) of `indices` and `data`. The postings keep,
    // per term, rows ascending and a row's entries in stored order: the
    // order in which the CSC-to-CSR transposition used by the reference
    // visits them, so duplicated entries are summed alike too.
    // Throws std::invalid_argument for arrays that do not form such a matrix.
    TermIndex(std::size_t rows, std::size_t terms, const double* data,
              const std::int64_t* indices, const std::int64_t* indptr);

    std::size_t rows() const { return rows_; }
    std::size_t terms() const { return starts_.size() - 1; }
    // Bytes held by the postings.
    std::size_t footprint() const;

    // The dot product of every stored row with `query` (normalised already),
    // in row order. Terms outside [0, terms()) throw std::out_of_range.
    std::vector<double> scores(const Row& query) const;

private:
    std::size_t rows_;
    std::vector<std::size_t> starts_;   // terms() + 1 offsets into the postings
    std::vector<std::uint32_t> rowids_;
    std::vector<double> values_;
};

}  // namespace wr::cosine
