// Large tables read at random (a search index's postings, a word list's
// filters) on pages of 2 MiB instead of 4 KiB where the system allows it: a
// search reads a few dozen places scattered over megabytes, and with small
// pages nearly every one of them is also a page-table walk. Plain C++17, no
// Python headers.
#pragma once

#include <cstddef>
#include <vector>

namespace wr {

// Asks the system to keep the whole 2 MiB pages inside [data, data + bytes)
// on large pages, moving what they hold there now. Only a hint: where the
// system has no such pages, declines, or the range holds no whole page,
// nothing changes. Contents are never affected.
void prefer_large_pages(const void* data, std::size_t bytes);

template <class T, class A>
void prefer_large_pages(const std::vector<T, A>& v) {
    prefer_large_pages(v.data(), v.size() * sizeof(T));
}

}  // namespace wr
