// Flat binary images of in-memory structures, for files that a later process
// reads back instead of rebuilding them: numbers little-endian, arrays as a
// 64-bit count then their elements. Plain C++17, no Python headers.
//
// A reader never trusts the bytes: every read is bounds-checked and a short,
// oversized or otherwise malformed image throws Damaged, never reads past
// the end.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace wr::image {

struct Damaged : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Images are written and read in the machine's own order, which must be
// little-endian (every platform the library runs on is); the header of a
// file says so and a reader on another order refuses it.
inline bool little_endian() {
    const std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// A 64-bit checksum of `bytes`, eight at a time: every step is a bijection
// of the running value for the bytes it takes in, so any change within one
// eight-byte word (one flipped bit, one byte written wrong) always shows,
// and any other damage almost always does.
inline std::uint64_t checksum(std::string_view bytes) {
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ bytes.size();
    auto step = [&h](std::uint64_t word) {
        h = (h ^ word) * 0x100000001b3ull;
        h ^= h >> 29;
    };
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, 8);
        step(word);
    }
    std::uint64_t last = 0;
    if (at < bytes.size()) std::memcpy(&last, bytes.data() + at, bytes.size() - at);
    step(last);
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
    return h ^ (h >> 31);
}

// A checksum with checksum()'s guarantee (a change within one eight-byte
// word always shows) for long arrays read once where they lie: four
// running values over 32 bytes at a time, so their steps overlap instead of
// waiting on each other, folded together at the end by steps that are each
// a bijection of the running value.
inline std::uint64_t wide_checksum(std::string_view bytes) {
    std::uint64_t lane[4] = {0x9e3779b97f4a7c15ull ^ bytes.size(), 0xc2b2ae3d27d4eb4full, 0x165667b19e3779f9ull,
                             0x27d4eb2f165667c5ull};
    std::size_t at = 0;
    for (; at + 32 <= bytes.size(); at += 32) {
        for (int i = 0; i < 4; ++i) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + at + 8 * i, 8);
            lane[i] = (lane[i] ^ word) * 0x100000001b3ull;
            lane[i] ^= lane[i] >> 29;
        }
    }
    std::uint64_t h = checksum(bytes.substr(at));  // the last 0 to 31 bytes
    for (std::uint64_t l : lane) {
        h = (h ^ l) * 0xbf58476d1ce4e5b9ull;
        h ^= h >> 31;
    }
    return h;
}

// The checksum of an image but for the regions listed (offset, size; in
// order, not overlapping): arrays that are checked piece by piece when used.
// Made when a file is opened, over its vocabulary and document list: the
// wide form, which runs at about memory speed.
inline std::uint64_t checksum_except(std::string_view bytes,
                                     const std::vector<std::pair<std::size_t, std::size_t>>& skipped) {
    std::uint64_t h = 0x243f6a8885a308d3ull;
    std::size_t at = 0;
    auto fold = [&](std::size_t end) {
        h = (h ^ wide_checksum(bytes.substr(at, end - at))) * 0x100000001b3ull;
        h ^= h >> 31;
    };
    for (const auto& [from, size] : skipped) {
        fold(from);
        at = from + size;
    }
    fold(bytes.size());
    return h;
}

class Writer {
public:
    template <typename T>
    void put(T value) {
        static_assert(std::is_arithmetic_v<T>);
        const auto at = out_.size();
        out_.resize(at + sizeof(T));
        std::memcpy(&out_[at], &value, sizeof(T));
    }
    template <typename T>
    void put_array(const T* data, std::size_t count) {
        static_assert(std::is_arithmetic_v<T>);
        put<std::uint64_t>(count);
        if (count) out_.append(reinterpret_cast<const char*>(data), count * sizeof(T));
    }
    template <typename T>
    void put_vector(const std::vector<T>& values) {
        put_array(values.data(), values.size());
    }
    void put_bytes(std::string_view bytes) { put_array(bytes.data(), bytes.size()); }
    void put_raw(std::string_view bytes) { out_.append(bytes); }
    // Zeros up to the next multiple of `to` bytes from the image's start, so
    // that an array put next can be used where it lies (Reader::view).
    void align(std::size_t to) { out_.resize((out_.size() + to - 1) / to * to, '\0'); }
    // An array a reader can use where it lies (Reader::view): its count,
    // then its elements from an aligned place.
    // `summed` false: its elements are left out of summed_checksum() (the
    // reader checks them piece by piece as it uses them).
    template <typename T>
    void put_aligned(const T* data, std::size_t count, bool summed = true) {
        static_assert(std::is_arithmetic_v<T>);
        put<std::uint64_t>(count);
        align(alignof(T) > 8 ? alignof(T) : 8);
        if (!summed) unsummed_.emplace_back(out_.size(), count * sizeof(T));
        if (count) out_.append(reinterpret_cast<const char*>(data), count * sizeof(T));
    }
    // The checksum of the image so far, but for the arrays put unsummed.
    std::uint64_t summed_checksum() const { return checksum_except(out_, unsummed_); }

    // Room for `more` bytes past what the image holds: an image of hundreds
    // of megabytes then grows without copying itself (and touching twice
    // its size in fresh memory) on the way.
    void reserve(std::size_t more) { out_.reserve(out_.size() + more); }

    const std::string& bytes() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
    std::vector<std::pair<std::size_t, std::size_t>> unsummed_;
};

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}

    template <typename T>
    T get() {
        static_assert(std::is_arithmetic_v<T>);
        T value;
        std::memcpy(&value, take(sizeof(T)), sizeof(T));
        return value;
    }
    // An array of at most `most` elements (a bound the caller knows, so a
    // damaged count cannot ask for more memory than the data could hold).
    template <typename T>
    std::vector<T> get_vector(std::uint64_t most = UINT64_MAX) {
        static_assert(std::is_arithmetic_v<T>);
        const auto count = get<std::uint64_t>();
        if (count > most || count > (in_.size() - at_) / sizeof(T)) throw Damaged("an array runs past its end");
        std::vector<T> out(static_cast<std::size_t>(count));
        if (count) std::memcpy(out.data(), take(out.size() * sizeof(T)), out.size() * sizeof(T));
        return out;
    }
    std::string get_bytes() {
        const auto count = get<std::uint64_t>();
        if (count > in_.size() - at_) throw Damaged("a text runs past its end");
        const char* at = take(static_cast<std::size_t>(count));
        return std::string(at, static_cast<std::size_t>(count));
    }
    std::string_view get_raw(std::size_t count) { return std::string_view(take(count), count); }
    // Past the zeros Writer::align put.
    void align(std::size_t to) {
        const std::size_t next = (at_ + to - 1) / to * to;
        if (next > in_.size()) throw Damaged("the data ends too soon");
        for (; at_ < next; ++at_)
            if (in_[at_] != '\0') throw Damaged("padding is not blank");
    }
    // An array put after Writer::align, used where it lies: its first
    // element and count. The image must start at an address aligned for T
    // (a mapped file's does; so does any heap buffer's).
    // `summed` as the writer put it.
    template <typename T>
    std::pair<const T*, std::size_t> view(std::uint64_t most = UINT64_MAX, bool summed = true) {
        static_assert(std::is_arithmetic_v<T>);
        const auto count = get<std::uint64_t>();
        align(alignof(T) > 8 ? alignof(T) : 8);
        if (count > most || count > (in_.size() - at_) / sizeof(T)) throw Damaged("an array runs past its end");
        if (!summed) unsummed_.emplace_back(at_, static_cast<std::size_t>(count) * sizeof(T));
        const char* at = take(static_cast<std::size_t>(count) * sizeof(T));
        if (reinterpret_cast<std::uintptr_t>(at) % alignof(T) != 0) throw Damaged("an array is not aligned");
        return {reinterpret_cast<const T*>(at), static_cast<std::size_t>(count)};
    }

    bool done() const { return at_ == in_.size(); }
    // Writer::summed_checksum() of the bytes read so far.
    std::uint64_t summed_checksum() const { return checksum_except(in_.substr(0, at_), unsummed_); }

private:
    const char* take(std::size_t count) {
        if (count > in_.size() - at_) throw Damaged("the data ends too soon");
        const char* at = in_.data() + at_;
        at_ += count;
        return at;
    }

    std::string_view in_;
    std::size_t at_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> unsummed_;
};

// The whole file at `path` in one buffer sized once (a file of hundreds of
// megabytes read in chunks is copied again each time the buffer grows), or
// nothing when it cannot be opened or read.
inline std::optional<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> out;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        bool failed = false;
        while (done < bytes.size()) {
            const ssize_t got = ::read(fd, &bytes[done], bytes.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                failed = got < 0;
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        bytes.resize(done);
        // A file that grew since is read to its end.
        char chunk[1 << 16];
        while (!failed && done == static_cast<std::size_t>(st.st_size)) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                failed = got < 0;
                break;
            }
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        if (!failed) out = std::move(bytes);
    }
    ::close(fd);
    return out;
}

// A file mapped read-only, for as long as the object lives. A writer
// replaces such files by renaming a new one over them, so the mapped bytes
// never change under a reader.
class Mapped {
public:
    Mapped(const Mapped&) = delete;
    Mapped& operator=(const Mapped&) = delete;
    ~Mapped() {
        if (size_) ::munmap(data_, size_);
    }
    std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

    // The file at `path`, or nothing when it cannot be opened or mapped.
    static std::shared_ptr<const Mapped> open(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        std::shared_ptr<Mapped> out;
        struct stat st;
        // A file larger than the address space can hold is none to map.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) <= std::numeric_limits<std::size_t>::max() / 2) {
            out.reset(new Mapped());
            if (st.st_size > 0) {
                void* at = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
                if (at == MAP_FAILED) out.reset();
                else out->data_ = at, out->size_ = static_cast<std::size_t>(st.st_size);
            }
        }
        ::close(fd);
        return out;
    }

private:
    Mapped() = default;
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// Offsets of consecutive pieces in one blob: `offsets` has one more entry
// than there are pieces, starts at 0, never decreases and ends at the blob's
// size. Throws Damaged otherwise.
template <typename Offset>
void check_offsets(const std::vector<Offset>& offsets, std::uint64_t blob_size) {
    if (offsets.empty() || offsets.front() != 0 || offsets.back() != blob_size)
        throw Damaged("offsets do not fit their data");
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1]) throw Damaged("offsets decrease");
}

}  // namespace wr::image
