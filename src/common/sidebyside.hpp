// Two pieces of work at once: one on the calling thread, one on another.
// Plain C++17, no Python headers.
#pragma once

#include <exception>
#include <system_error>
#include <thread>

namespace wr {

// Runs here() on this thread and there() on a new one, or after here() on
// this thread when no thread can be had; returns once both are done, and
// throws here()'s failure, else there()'s.
template <typename Here, typename There>
void side_by_side(const Here& here, const There& there) {
    std::exception_ptr failed;
    std::thread other;
    try {
        other = std::thread([&] {
            try {
                there();
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
    }
    try {
        here();
    } catch (...) {
        if (other.joinable()) other.join();
        throw;
    }
    if (other.joinable()) other.join();
    else there();
    if (failed) std::rethrow_exception(failed);
}

}  // namespace wr
