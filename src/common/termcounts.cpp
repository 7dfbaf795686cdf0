#include "termcounts.hpp"

#include <limits>
#include <stdexcept>

namespace wr::counts {

namespace {
constexpr std::uint32_t kUnmapped = std::numeric_limits<std::uint32_t>::max();

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

std::uint64_t get_varint(const std::string& in, std::size_t& at) {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (at >= in.size()) throw image::Damaged("a number runs past its end");
        const auto byte = static_cast<unsigned char>(in[at++]);
        v |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return v;
    }
    throw image::Damaged("a number too long");
}
}  // namespace

static std::uint64_t hash_of(std::u32string_view word) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ word.size();
    for (const char32_t c : word) {
        h ^= c;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    return h;
}

std::uint32_t TermCounts::find(std::u32string_view word, std::uint64_t hash) const {
    if (slots_.empty()) return kNone;
    const std::size_t mask = slots_.size() - 1;
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& s = slots_[at];
        if (s.id == 0) return kNone;
        if (s.tag == tag && terms_[s.id - 1] == word) return s.id - 1;
    }
}

void TermCounts::file(std::uint32_t id, std::uint64_t hash) {
    if ((terms_.size() + 1) * 2 > slots_.size()) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<std::size_t>(64, old.size() * 2), Slot{});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.id == 0) continue;
            std::size_t at = hash_of(terms_[s.id - 1]) & mask;
            while (slots_[at].id != 0) at = (at + 1) & mask;
            slots_[at] = s;
        }
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = hash & mask;
    while (slots_[at].id != 0) at = (at + 1) & mask;
    slots_[at] = {static_cast<std::uint32_t>(hash >> 32), id + 1};
}

std::uint32_t TermCounts::id_of(std::u32string_view word) {
    const std::uint64_t hash = hash_of(word);
    const std::uint32_t found = find(word, hash);
    if (found != kNone) return found;
    if (terms_.size() >= kUnmapped - 1) throw std::length_error("too many terms");
    const auto id = static_cast<std::uint32_t>(terms_.size());
    file(id, hash);
    terms_.emplace_back(word);
    last_row_.push_back(0);
    at_.push_back(0);
    return id;
}

void TermCounts::use(std::uint32_t term) {
    const std::uint64_t row = rows() + 1;
    if (last_row_[term] == row) {
        ++entries_[at_[term]].count;
    } else {
        last_row_[term] = row;
        at_[term] = entries_.size();
        entries_.push_back({term, 1});
    }
}

void TermCounts::close_row() { starts_.push_back(entries_.size()); }

std::size_t TermCounts::add_text(std::u32string_view lower, const text::CharClasses& cc) {
    text::for_each_word(lower, cc, 2, [&](std::size_t at, std::size_t length) {
        use(id_of(lower.substr(at, length)));
    });
    close_row();
    return rows() - 1;
}

std::size_t TermCounts::add_row(const TermCounts& other, std::size_t r, std::vector<std::uint32_t>& mapped) {
    if (mapped.size() < other.terms()) mapped.resize(other.terms(), kUnmapped);
    for (const Entry* e = other.row_begin(r); e != other.row_end(r); ++e) {
        std::uint32_t& here = mapped[e->term];
        if (here == kUnmapped) here = id_of(other.term(e->term));
        // A row lists each term once, so this row's entry is new.
        last_row_[here] = rows() + 1;
        at_[here] = entries_.size();
        entries_.push_back({here, e->count});
    }
    close_row();
    return rows() - 1;
}

// Terms as their code points one after another with offsets; rows as their
// entry counts, entries as variable-length numbers (term, count): the terms
// a text uses most are numbered early and most counts are small, so most
// entries take two or three bytes instead of eight.
void TermCounts::write(image::Writer& out) const {
    std::u32string letters;
    std::vector<std::uint64_t> offsets{0};
    for (const std::u32string& t : terms_) {
        letters += t;
        offsets.push_back(letters.size());
    }
    out.put_array(letters.data(), letters.size());
    out.put_vector(offsets);
    std::string packed;
    packed.reserve(entries_.size() * 3 + rows() * 2);
    for (std::size_t r = 0; r < rows(); ++r) {
        put_varint(packed, starts_[r + 1] - starts_[r]);
        for (const Entry* e = row_begin(r); e != row_end(r); ++e) {
            put_varint(packed, e->term);
            put_varint(packed, e->count);
        }
    }
    out.reserve(3 * sizeof(std::uint64_t) + packed.size());  // the two numbers, then the packed bytes
    out.put<std::uint64_t>(rows());
    out.put<std::uint64_t>(entries_.size());
    out.put_bytes(packed);
}

TermCounts TermCounts::read(image::Reader& in) {
    TermCounts c;
    const std::vector<char32_t> letters = in.get_vector<char32_t>();
    const std::vector<std::uint64_t> offsets = in.get_vector<std::uint64_t>();
    image::check_offsets(offsets, letters.size());
    const std::size_t terms = offsets.size() - 1;
    if (terms >= kUnmapped) throw image::Damaged("too many terms");
    c.terms_.reserve(terms);
    for (std::size_t t = 0; t < terms; ++t) {
        const std::u32string_view term(letters.data() + offsets[t], offsets[t + 1] - offsets[t]);
        const std::uint64_t hash = hash_of(term);
        if (c.find(term, hash) != kNone) throw image::Damaged("a term listed twice");
        c.file(static_cast<std::uint32_t>(t), hash);
        c.terms_.emplace_back(term);
    }
    c.last_row_.assign(terms, 0);
    c.at_.assign(terms, 0);
    const auto rows = in.get<std::uint64_t>();
    const auto entries = in.get<std::uint64_t>();
    const std::string packed = in.get_bytes();
    // Every row takes a byte at least, every entry two.
    if (rows > packed.size() || entries > packed.size() / 2) throw image::Damaged("more rows than data");
    c.starts_.reserve(static_cast<std::size_t>(rows) + 1);
    c.entries_.reserve(static_cast<std::size_t>(entries));
    std::size_t at = 0;
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t n = get_varint(packed, at);
        if (n > entries - c.entries_.size()) throw image::Damaged("more entries than listed");
        const std::uint64_t row = c.rows() + 1;
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t term = get_varint(packed, at);
            const std::uint64_t count = get_varint(packed, at);
            if (term >= terms) throw image::Damaged("an entry names no term");
            if (count == 0 || count > std::numeric_limits<std::uint32_t>::max())
                throw image::Damaged("a count out of range");
            if (c.last_row_[term] == row) throw image::Damaged("a term twice in a row");
            c.last_row_[term] = row;
            c.entries_.push_back({static_cast<std::uint32_t>(term), static_cast<std::uint32_t>(count)});
        }
        c.close_row();
    }
    if (c.entries_.size() != entries || at != packed.size()) throw image::Damaged("entries and rows differ");
    return c;
}

}  // namespace wr::counts
