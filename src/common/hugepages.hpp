// Large tables read at random (a word list's filters, the near terms of a
// vocabulary) on pages of 2 MiB instead of 4 KiB where the system allows it: a
// search reads a few dozen places scattered over megabytes, and with small
// pages nearly every one of them is also a page-table walk. The room of a
// table is put on large pages before it is filled, so that its pages come
// large when first touched; moving pages already filled cost about 7 ms a
// MiB, which an index made anew by every change (and a search from the
// command line) cannot pay. Plain C++17, no Python headers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace wr {

// Asks the system to give the whole 2 MiB pages inside [data, data + bytes)
// as large pages from now on (pages touched already may be moved later by
// the system, in the background). Only a hint: where the system has no such
// pages, declines, or the range holds no whole page, nothing changes.
// Contents are never affected.
void prefer_large_pages(const void* data, std::size_t bytes);

// The same for memory whose contents do not matter (room not yet filled):
// the whole 2 MiB pages inside the range are also given back, so that they
// come large when next touched even if the allocator had touched them
// before. They read as zeros then.
void prefer_large_pages_discarding(void* data, std::size_t bytes);

// The opposite, for memory written once and then read in order (a matrix
// handed to the host, an image on its way to a file): the whole 2 MiB pages
// inside the range come small when first touched, whatever the allocator
// hinted (numpy hints its large arrays large). Large pages gain such memory
// nothing, and where the system's free memory is handed back to a host
// (virtual machines reporting free pages) a large page taken is one the
// host faults in again: here a first touch ran at 0.2-0.9 GB/s on large
// pages against 2.4 GB/s on small ones. Only a hint, as above.
void prefer_small_pages(void* data, std::size_t bytes);

// Room for `n` elements in `v`, on large pages where the system has them;
// then fill it (resize, assign, push_back up to `n`). The room of an empty
// vector is discarded first; one that holds something is only hinted.
template <class T, class A>
void reserve_on_large_pages(std::vector<T, A>& v, std::size_t n) {
    const bool empty = v.empty();
    v.reserve(n);
    if (empty)
        prefer_large_pages_discarding(v.data(), v.capacity() * sizeof(T));
    else
        prefer_large_pages(v.data(), v.capacity() * sizeof(T));
}

// The same for a string of code points (its terminator is left alone).
inline void reserve_on_large_pages(std::u32string& s, std::size_t n) {
    const bool empty = s.empty();
    s.reserve(n);
    if (empty)
        prefer_large_pages_discarding(&s[0] + 1, s.capacity() * sizeof(char32_t));
    else
        prefer_large_pages(s.data(), s.capacity() * sizeof(char32_t));
}

}  // namespace wr
