// The size of a darknet weights file, from the network definition (.cfg)
// alone, plain C++ (no Python headers).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace picspotter::darknet {

// A definition whose size cannot be worked out: a layer type with weights
// that is not understood here, or a value that is not a count.
struct CfgError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How many float32 parameters darknet reads for the network: for each
// convolutional layer its biases, the batch-norm scales, means and variances
// where batch_normalize=1, then its filters.
std::uint64_t parameter_count(const std::string& cfg);

// The header of a weights file: three int32 (major, minor, revision), then
// the count of images seen, 64 bits wide from format 0.2 on, else 32.
constexpr std::uint64_t kHeaderPrefix = 12;
std::uint64_t header_bytes(std::int32_t major, std::int32_t minor);

}  // namespace picspotter::darknet
