#include "text_lines.hpp"

#include <algorithm>

namespace pagewring {

namespace {

// Darker than this is ink: well under the paper of a grey or yellowed scan,
// well over the core of a letter, even anti-aliased at a low resolution.
constexpr unsigned char kInk = 128;
// A row with fewer dark pixels than this is blank: a speck of dust is not
// a line.
constexpr long long kRowInk = 3;

bool dark(const GreyImage& image, long long x, long long y) {
    return static_cast<unsigned char>(image.pixels[static_cast<size_t>(y * image.stride + x)]) < kInk;
}

bool inked_row(const GreyImage& image, long long y) {
    long long count = 0;
    for (long long x = 0; x < image.width && count < kRowInk; ++x) count += dark(image, x, y);
    return count >= kRowInk;
}

long long column_runs(const GreyImage& image, long long top, long long bottom) {
    long long runs = 0;
    bool previous = false;
    for (long long x = 0; x < image.width; ++x) {
        bool inked = false;
        for (long long y = top; y < bottom && !inked; ++y) inked = dark(image, x, y);
        runs += inked && !previous;
        previous = inked;
    }
    return runs;
}

}  // namespace

bool GreyImage::valid() const {
    // Divided, not multiplied: sizes from outside must not overflow into a
    // product that fits.
    return width > 0 && height > 0 && stride >= width &&
           static_cast<unsigned long long>(height) <=
               pixels.size() / static_cast<unsigned long long>(stride);
}

bool inked(const GreyImage& image) {
    if (!image.valid()) return false;
    for (long long y = 0; y < image.height; ++y)
        if (inked_row(image, y)) return true;
    return false;
}

std::vector<TextLine> text_lines(const GreyImage& image, long long shortest, long long tallest) {
    std::vector<TextLine> lines;
    if (!image.valid()) return lines;
    // A single blank row inside a line (between an accent and its capital,
    // a dot and its i) does not split it.
    constexpr long long kJoin = 1;
    std::vector<TextLine> runs;
    for (long long y = 0; y < image.height;) {
        if (!inked_row(image, y)) {
            ++y;
            continue;
        }
        long long end = y;
        while (end < image.height && inked_row(image, end)) ++end;
        if (!runs.empty() && y - runs.back().bottom <= kJoin)
            runs.back().bottom = end;
        else
            runs.push_back({y, end, 0});
        y = end;
    }
    for (TextLine& run : runs) {
        const long long rows = run.bottom - run.top;
        if (rows < shortest || rows > tallest) continue;
        run.glyphs = column_runs(image, run.top, run.bottom);
        lines.push_back(run);
    }
    return lines;
}

void LineStrip::add(const GreyImage& image, const TextLine& line) {
    if (!image.valid() || line.top < 0 || line.bottom > image.height || line.top >= line.bottom) return;
    std::string rows;
    rows.reserve(static_cast<size_t>((line.bottom - line.top) * image.width));
    for (long long y = line.top; y < line.bottom; ++y)
        rows.append(image.pixels.substr(static_cast<size_t>(y * image.stride), static_cast<size_t>(image.width)));
    rows_.push_back(std::move(rows));
    widths_.push_back(image.width);
    width_ = std::max(width_, image.width);
    glyphs_ += line.glyphs;
}

long long LineStrip::height() const {
    if (rows_.empty()) return 0;
    long long height = gap_;  // a margin above the first line, as below each
    for (size_t i = 0; i < rows_.size(); ++i)
        height += static_cast<long long>(rows_[i].size()) / widths_[i] + gap_;
    return height;
}

std::string LineStrip::pixels() const {
    const long long w = width_;
    std::string out(static_cast<size_t>(w * height()), static_cast<char>(255));
    long long y = gap_;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const long long lw = widths_[i];
        const long long count = static_cast<long long>(rows_[i].size()) / lw;
        for (long long r = 0; r < count; ++r)
            out.replace(static_cast<size_t>((y + r) * w), static_cast<size_t>(lw),
                        rows_[i], static_cast<size_t>(r * lw), static_cast<size_t>(lw));
        y += count + gap_;
    }
    return out;
}

}  // namespace pagewring
