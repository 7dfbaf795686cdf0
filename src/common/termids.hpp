// A vocabulary's term -> id table, flat: one array of 64-bit slots (a
// 32-bit hash tag and the id), open addressing with linear probing, the
// terms themselves kept by the caller. A look-up reads one slot (rarely two)
// and compares a string only when the tags agree, so a word the vocabulary
// lacks (what correction asks about most) costs one cache miss, and filling
// it allocates nothing per term. The terms are any vector of strings or
// string views (`terms[id]` compared with a std::u32string_view). Plain
// C++17, no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hugepages.hpp"
#include "polyhash.hpp"

namespace wr {

inline std::uint64_t hash_u32(std::u32string_view s) { return polyhash::hash(s); }

class TermIds {
public:
    // `terms[id]` for every id the table holds; the table never outgrows
    // 2^32 - 1 terms. `h`: hash_u32(term), when the caller has it.
    template <class Terms>
    std::optional<std::uint32_t> find(std::u32string_view term, const Terms& terms, std::uint64_t h) const {
        if (slots_.empty()) return std::nullopt;
        const auto tag = static_cast<std::uint32_t>(h >> 32);
        for (std::size_t at = h & mask_;; at = (at + 1) & mask_) {
            const std::uint64_t slot = slots_[at];
            if (slot == 0) return std::nullopt;
            if (static_cast<std::uint32_t>(slot >> 32) == tag) {
                const auto id = static_cast<std::uint32_t>(slot) - 1;
                if (std::u32string_view(terms[id]) == term) return id;
            }
        }
    }
    template <class Terms>
    std::optional<std::uint32_t> find(std::u32string_view term, const Terms& terms) const {
        return find(term, terms, hash_u32(term));
    }

    // Files `id` as `terms[id]`'s, which the table must not hold yet.
    template <class Terms>
    void add(std::uint32_t id, const Terms& terms) {
        add(id, terms, hash_u32(terms[id]));
    }
    template <class Terms>
    void add(std::uint32_t id, const Terms& terms, std::uint64_t h) {
        if (2 * (count_ + 1) > slots_.size()) grow(terms);
        place(h, id);
        ++count_;
    }

    // The table for every term of `terms`, their ids their positions;
    // false when a term is listed twice.
    template <class Terms>
    bool assign(const Terms& terms) {
        clear();
        reserve(terms.size());
        for (std::size_t t = 0; t < terms.size(); ++t) {
            if (find(terms[t], terms)) return false;
            add(static_cast<std::uint32_t>(t), terms);
        }
        return true;
    }

    void reserve(std::size_t n) {
        std::size_t want = 16;
        while (want < 2 * n) want *= 2;
        if (want > slots_.size() && count_ == 0) {
            slots_ = empty_slots(want);
            mask_ = want - 1;
        }
    }

    void clear() {
        slots_.clear();
        mask_ = 0;
        count_ = 0;
    }

    std::size_t size() const { return count_; }

private:
    void place(std::uint64_t h, std::uint32_t id) {
        std::size_t at = h & mask_;
        while (slots_[at] != 0) at = (at + 1) & mask_;
        slots_[at] = (h >> 32 << 32) | (std::uint64_t{id} + 1);
    }

    // `size` empty slots, on large pages where the system has them (the
    // table is read at random).
    static std::vector<std::uint64_t> empty_slots(std::size_t size) {
        std::vector<std::uint64_t> out;
        reserve_on_large_pages(out, size);
        out.assign(size, 0);
        return out;
    }

    template <class Terms>
    void grow(const Terms& terms) {
        std::vector<std::uint64_t> old = std::move(slots_);
        const std::size_t size = old.empty() ? 16 : 2 * old.size();
        slots_ = empty_slots(size);
        mask_ = size - 1;
        for (std::uint64_t slot : old)
            if (slot != 0) {
                const auto id = static_cast<std::uint32_t>(slot) - 1;
                place(hash_u32(terms[id]), id);
            }
    }

    std::vector<std::uint64_t> slots_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace wr
