#include "hugepages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wr {

namespace {

// The whole 2 MiB pages inside [data, data + bytes), given `advice`; false
// when there are none, the system has no such advice, or refuses it.
bool advised(const void* data, std::size_t bytes, int advice, std::uintptr_t& from, std::uintptr_t& to) {
#if defined(__linux__)
    constexpr std::uintptr_t kLarge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (advice < 0 || !data || bytes < kLarge || begin > UINTPTR_MAX - bytes) return false;
    from = (begin + kLarge - 1) & ~(kLarge - 1);
    to = (begin + bytes) & ~(kLarge - 1);
    return to > from && madvise(reinterpret_cast<void*>(from), to - from, advice) == 0;
#else
    (void)data;
    (void)bytes;
    (void)advice;
    (void)from;
    (void)to;
    return false;
#endif
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr int kLargePages = MADV_HUGEPAGE;
#else
constexpr int kLargePages = -1;
#endif
#if defined(__linux__) && defined(MADV_NOHUGEPAGE)
constexpr int kSmallPages = MADV_NOHUGEPAGE;
#else
constexpr int kSmallPages = -1;
#endif

}  // namespace

void prefer_large_pages(const void* data, std::size_t bytes) {
    std::uintptr_t from = 0, to = 0;
    (void)advised(data, bytes, kLargePages, from, to);
}

void prefer_large_pages_discarding(void* data, std::size_t bytes) {
    std::uintptr_t from = 0, to = 0;
    if (!advised(data, bytes, kLargePages, from, to)) return;
#if defined(__linux__) && defined(MADV_DONTNEED)
    (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
#endif
}

void prefer_small_pages(void* data, std::size_t bytes) {
    std::uintptr_t from = 0, to = 0;
    (void)advised(data, bytes, kSmallPages, from, to);
}

}  // namespace wr
