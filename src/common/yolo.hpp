// Decoding of a YOLO network's detection rows, plain C++17 (no Python
// headers). For float32 rows the results are exactly those of
//
//     scores = row[5:]
//     class_id = np.argmax(scores)
//     confidence = scores[class_id]
//     if confidence > 0.5:
//         center_x = int(row[0] * width)     # a float32 product
//         center_y = int(row[1] * height)
//         w = int(row[2] * width)
//         h = int(row[3] * height)
//         x = int(center_x - w / 2)
//         y = int(center_y - h / 2)
//
// including the errors int() and np.argmax raise on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wr::yolo {

// The detector's fixed thresholds.
constexpr double kScoreThreshold = 0.5;    // a row is kept when its best score is above
constexpr double kNmsScoreThreshold = 0.5;
constexpr double kNmsOverlapThreshold = 0.4;
constexpr std::size_t kFirstScore = 5;     // class scores start at this column

// A box in pixels: left, top, width, height. Each value is a whole number
// (truncated toward zero) held as a double, since a wild network output can
// give boxes far beyond any integer type, and the host's integers take them
// exactly.
struct Box {
    double x, y, w, h;
};

struct Detection {
    std::size_t class_id;
    double confidence;
    Box box;
};

// Why a block of rows could not be decoded; the rows before the failing one
// were decoded. Each stands for the error the arithmetic above raises.
enum class Failure {
    none,
    no_scores,  // a row with no class column: argmax of an empty sequence
    infinite,   // a box value overflowed to infinity: int() cannot take it
    not_a_number,
};

// The first index of the largest value; a NaN counts as larger than any
// number, so the first NaN wins, as in np.argmax. `n` must be positive.
std::size_t argmax(const float* values, std::size_t n);

// Decodes `count` rows of `columns` floats each (row-major) for an image of
// `width` × `height` pixels, appending the rows that pass the threshold to
// `out` in row order.
Failure decode(const float* rows, std::size_t count, std::size_t columns, std::int64_t width,
               std::int64_t height, std::vector<Detection>& out);

// The positions 0 .. n-1, ascending, that occur among `kept` (the indexes
// non-maximum suppression returned; anything outside the range is ignored).
std::vector<std::size_t> survivors(std::size_t n, const std::vector<std::int64_t>& kept);

}  // namespace wr::yolo
