#include "yolo.hpp"

#include <cmath>

namespace wr::yolo {

std::size_t argmax(const float* values, std::size_t n) {
    std::size_t best = 0;
    if (std::isnan(values[0])) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if (std::isnan(values[i])) return i;
        if (values[i] > values[best]) best = i;
    }
    return best;
}

namespace {

// int() of a float32 value: truncation toward zero, refused for infinities
// and NaN. The value is exact in a double, and so is its truncation.
Failure whole(float value, double& out) {
    if (std::isnan(value)) return Failure::not_a_number;
    if (std::isinf(value)) return Failure::infinite;
    out = std::trunc(static_cast<double>(value));
    return Failure::none;
}

}  // namespace

Failure decode(const float* rows, std::size_t count, std::size_t columns, std::int64_t width,
               std::int64_t height, std::vector<Detection>& out) {
    // The host multiplies a float32 by an integer in float32: the integer is
    // rounded to float32 first, then the product rounded to float32. Storing
    // into a float variable discards any wider intermediate precision.
    const float fw = static_cast<float>(width);
    const float fh = static_cast<float>(height);
    for (std::size_t r = 0; r < count; ++r) {
        const float* row = rows + r * columns;
        if (columns <= kFirstScore) return Failure::no_scores;
        const float* scores = row + kFirstScore;
        const std::size_t class_id = argmax(scores, columns - kFirstScore);
        const float confidence = scores[class_id];
        // False for NaN, as the host's comparison is.
        if (!(static_cast<double>(confidence) > kScoreThreshold)) continue;

        const float products[4] = {row[0] * fw, row[1] * fh, row[2] * fw, row[3] * fh};
        // centre x, centre y, width, height, converted in this order, so the
        // first bad value decides the error, as it would for the host.
        double v[4];
        for (int k = 0; k < 4; ++k) {
            const Failure failure = whole(products[k], v[k]);
            if (failure != Failure::none) return failure;
        }
        // Whole numbers minus halves: the difference is exact or rounded
        // once in double, as the host does it, then truncated.
        const Box box{std::trunc(v[0] - v[2] / 2), std::trunc(v[1] - v[3] / 2), v[2], v[3]};
        out.push_back(Detection{class_id, static_cast<double>(confidence), box});
    }
    return Failure::none;
}

std::vector<std::size_t> survivors(std::size_t n, const std::vector<std::int64_t>& kept) {
    std::vector<bool> keep(n, false);
    for (std::int64_t index : kept)
        if (index >= 0 && static_cast<std::uint64_t>(index) < n) keep[index] = true;
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < n; ++i)
        if (keep[i]) out.push_back(i);
    return out;
}

}  // namespace wr::yolo
