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
    (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace wr
