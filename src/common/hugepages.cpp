#include "hugepages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wr {

void prefer_large_pages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLarge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (!data || bytes < kLarge || begin > UINTPTR_MAX - bytes) return;
    const std::uintptr_t from = (begin + kLarge - 1) & ~(kLarge - 1);
    const std::uintptr_t to = (begin + bytes) & ~(kLarge - 1);
    if (to <= from) return;
    void* at = reinterpret_cast<void*>(from);
    const std::size_t length = to - from;
    // Pages touched from now on come large; those the table fills already
    // are moved now (Linux 6.1 on; older kernels refuse, which is fine).
    if (madvise(at, length, MADV_HUGEPAGE) != 0) return;
#if defined(MADV_COLLAPSE)
    (void)madvise(at, length, MADV_COLLAPSE);
#else
    (void)madvise(at, length, 25);  // MADV_COLLAPSE, before the headers named it
#endif
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace wr
