// Each document's terms with how often it uses them, kept so that a refit of
// the term weights does not tokenise every stored text again: a change of an
// index then tokenises only the texts it brings. Plain C++17, no Python
// headers.
//
// A text's terms are the vectoriser's tokens: in the lower-cased text, runs
// of two or more word characters. A row lists its terms in the order the
// text first uses each, which is the order in which a counting pass over the
// texts meets them; term ids are given in the order the rows first use them,
// so counts built row by row over the texts in order number the terms as
// that counting pass does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binimage.hpp"
#include "textcore.hpp"

namespace wr::counts {

struct Entry {
    std::uint32_t term;
    std::uint32_t count;
};

class TermCounts {
public:
    TermCounts() = default;
    TermCounts(TermCounts&&) = default;
    TermCounts& operator=(TermCounts&&) = default;

    std::size_t rows() const { return starts_.size() - 1; }
    std::size_t terms() const { return terms_.size(); }
    std::size_t entries() const { return entries_.size(); }
    const std::u32string& term(std::uint32_t t) const { return terms_[t]; }
    const Entry* row_begin(std::size_t r) const { return entries_.data() + starts_[r]; }
    const Entry* row_end(std::size_t r) const { return entries_.data() + starts_[r + 1]; }

    // Appends the row of a text already lower-cased.
    std::size_t add_text(std::u32string_view lower, const text::CharClasses& cc);
    // Appends a copy of row `r` of `other`; `mapped` carries other's term
    // ids to this one's between calls (sized and filled as needed).
    std::size_t add_row(const TermCounts& other, std::size_t r, std::vector<std::uint32_t>& mapped);

    // The counts as an image (binimage.hpp), and counts read back from one;
    // read() throws image::Damaged for bytes that hold no consistent counts.
    void write(image::Writer& out) const;
    static TermCounts read(image::Reader& in);

private:
    std::uint32_t id_of(std::u32string_view word);
    // The id of `word` in the table of ids, or kNone; `hash` is hash_of(word).
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    std::uint32_t find(std::u32string_view word, std::uint64_t hash) const;
    // Files term `id` (not in the table yet) under `hash`.
    void file(std::uint32_t id, std::uint64_t hash);
    // Counts one use of `term` in the row being added.
    void use(std::uint32_t term);
    void close_row();

    std::vector<std::u32string> terms_;
    // Term ids by the hash of their letters, open addressing: a slot holds
    // the hash's high half and 1 + the id (0: free). Kept at most half full.
    struct Slot {
        std::uint32_t tag = 0, id = 0;
    };
    std::vector<Slot> slots_;
    std::vector<Entry> entries_;
    std::vector<std::uint64_t> starts_{0};
    // Scratch for the row being added: per term, 1 + the row that last used
    // it, and where that row counts it.
    std::vector<std::uint64_t> last_row_;
    std::vector<std::uint64_t> at_;
};

}  // namespace wr::counts
