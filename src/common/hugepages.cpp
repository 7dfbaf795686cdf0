#include "hugepages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wr {

namespace {

// The whole 2 MiB pages inside [data, data + bytes), hinted large; false
// when there are none or the system refuses.
bool hinted(const void* data, std::size_t bytes, std::uintptr_t& from, std::uintptr_t& to) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLarge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (!data || bytes < kLarge || begin > UINTPTR_MAX - bytes) return false;
    from = (begin + kLarge - 1) & ~(kLarge - 1);
    to = (begin + bytes) & ~(kLarge - 1);
    return to > from && madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE) == 0;
#else
    (void)data;
    (void)bytes;
    (void)from;
    (void)to;
    return false;
#endif
}

}  // namespace

void prefer_large_pages(const void* data, std::size_t bytes) {
    std::uintptr_t from = 0, to = 0;
    (void)hinted(data, bytes, from, to);
}

void prefer_large_pages_discarding(void* data, std::size_t bytes) {
    std::uintptr_t from = 0, to = 0;
    if (!hinted(data, bytes, from, to)) return;
#if defined(__linux__) && defined(MADV_DONTNEED)
    (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
#endif
}

void prefer_small_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_NOHUGEPAGE)
    constexpr std::uintptr_t kLarge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (!data || bytes < kLarge || begin > UINTPTR_MAX - bytes) return;
    const std::uintptr_t from = (begin + kLarge - 1) & ~(kLarge - 1), to = (begin + bytes) & ~(kLarge - 1);
    if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_NOHUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace wr
