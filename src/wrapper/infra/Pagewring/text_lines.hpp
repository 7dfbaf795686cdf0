// Lines of text found in a greyscale page image from the ink of its rows and
// columns, and a strip of such lines stacked into one image: the language
// sample's OCR reads only the lines, once, rather than the page band by band.
// Plain C++: no Python here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pagewring {

// A greyscale image, one byte a pixel (0 black), rows `stride` bytes apart.
struct GreyImage {
    std::string_view pixels;
    long long width = 0;
    long long height = 0;
    long long stride = 0;

    // Whether the sizes describe the buffer; nothing is read from one that
    // does not.
    bool valid() const;
};

// Rows [top, bottom) of one line, and an estimate of its letters: the runs
// of inked columns in it (a letter each at the sizes that typed text is
// scanned at; touching letters count once, so it errs low).
struct TextLine {
    long long top = 0;
    long long bottom = 0;
    long long glyphs = 0;
};

// The lines of an image, top to bottom: runs of rows with ink, where a run
// taller than `tallest` rows (a picture, a shaded box, a dark scan) or
// shorter than `shortest` (a rule, specks) is no line. Empty for an invalid
// image.
std::vector<TextLine> text_lines(const GreyImage& image, long long shortest, long long tallest);

// Whether any row of the image has ink: a page without lines may still be
// worth reading whole, a blank one is not.
bool inked(const GreyImage& image);

// Lines of several images stacked on white, with a white gap between them,
// as wide as the widest image added.
class LineStrip {
public:
    explicit LineStrip(long long gap) : gap_(gap) {}
    void add(const GreyImage& image, const TextLine& line);
    bool empty() const { return rows_.empty(); }
    long long glyphs() const { return glyphs_; }
    long long width() const { return width_; }
    long long height() const;
    // width() * height() bytes, row by row.
    std::string pixels() const;

private:
    long long gap_;
    long long width_ = 0;
    long long glyphs_ = 0;
    std::vector<std::string> rows_;  // each a copy of one line's rows, its own width
    std::vector<long long> widths_;
};

}  // namespace pagewring
