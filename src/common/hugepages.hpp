// Large tables read at random (a search index's postings, a word list's
// filters) on pages of 2 MiB instead of 4 KiB where the system allows it: a
// search reads a few dozen places scattered over megabytes, and with small
// pages nearly every one of them is also a page-table walk. The hint is
// given before a table is filled, so that its pages come large when first
// touched; moving pages already filled cost about 7 ms a MiB, which an index
// made anew by every change (and a search from the command line) cannot
// pay. Plain C++17, no Python headers.
#pragma once

#include <cstddef>
#include <vector>

namespace wr {

// Asks the system to give the whole 2 MiB pages inside [data, data + bytes)
// as large pages when they are first touched (pages touched already may be
// moved later by the system, in the background). Only a hint: where the
// system has no such pages, declines, or the range holds no whole page,
// nothing changes. Contents are never affected.
void prefer_large_pages(const void* data, std::size_t bytes);

// Room for `n` elements in `v`, hinted onto large pages before anything is
// written there; then fill it (resize, assign, push_back up to `n`).
template <class T, class A>
void reserve_on_large_pages(std::vector<T, A>& v, std::size_t n) {
    v.reserve(n);
    prefer_large_pages(v.data(), v.capacity() * sizeof(T));
}

}  // namespace wr
