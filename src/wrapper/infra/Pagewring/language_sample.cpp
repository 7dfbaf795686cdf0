// The language of a PDF told from a sample, so that the document itself is
// OCR'd once, in that language, rather than once more only to learn it.
#include "pagewring.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "pyutil.hpp"
#include "tess_library.hpp"
#include "text_lines.hpp"

namespace pagewring {

namespace {

// A sample with this many letters tells its language as surely as the
// OCR of the whole document would; below it the pages are looked at.
constexpr long long kEnoughLetters = 120;
// Pages rendered for the OCR sample, and their resolution: enough text to
// tell the language, a small share of the whole pass on a long document.
constexpr long long kSamplePages = 3;
constexpr double kSampleDpi = 150.0;
// Starting Tesseract and loading its model costs about as much as reading a
// short page, so the sample is read in one run where it can be: the text
// lines of the sampled pages, stacked into one strip until their letters
// (estimated from the ink) should be enough. Heights in points: a line is
// as tall as a 4- to 48-point font; a run of ink taller than that is a
// picture or a shaded box, and lower, a rule or specks.
constexpr double kShortestLine = 4.0;
constexpr double kTallestLine = 48.0;
constexpr double kLineGap = 8.0;
// A strip is lines already: Tesseract is told so rather than left to find
// the page's layout, and it does not read each doubtful line a second time
// inverted (light on dark), which a strip of dark ink on white never is.
constexpr int kStripMode = 6;
constexpr const char* kStripOptions = "--psm 6 -c tessedit_do_invert=0";
// Over the letters wanted: punctuation and digits are counted as letters by
// the estimate, and a garbled letter reads as nothing.
constexpr long long kGlyphsWanted = kEnoughLetters + kEnoughLetters / 5;
// Pages whose ink makes no lines (a photograph of a page, dark paper) are
// read whole instead, in horizontal bands of about this many pixels (seven
// lines of a typed page), at most kBands of them; a short page whole, as a
// band's edge garbles the line it cuts.
constexpr long long kBandPixels = 250;
constexpr long long kBands = 8;
// Pixels on the longer side at most, whatever size the page claims to be.
constexpr double kLongestSide = 2500.0;

// Letters and other word characters, counted on the UTF-8 bytes: an ASCII
// letter or the first byte of a multi-byte character (accented letters).
long long letters(py::handle text) {
    std::string bytes = py::str(text).cast<std::string>();
    long long count = 0;
    for (unsigned char c : bytes)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0xC0) ++count;
    return count;
}

// The language of a text, or None when no supported language is told.
py::object language_of(py::handle text) {
    try {
        return detect_language(text);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

// Up to kSamplePages of the given page numbers, spread over them, in the
// order they are read: the first, the last, then the middle.
std::vector<long long> sampled_pages(const std::vector<long long>& pages) {
    std::vector<long long> picked;
    const long long count = static_cast<long long>(pages.size());
    for (long long i : {0LL, count - 1, count / 2}) {
        if (i < 0 || i >= count) continue;
        const long long page = pages[static_cast<size_t>(i)];
        if (std::find(picked.begin(), picked.end(), page) == picked.end()) picked.push_back(page);
    }
    picked.resize(std::min<size_t>(picked.size(), kSamplePages));
    return picked;
}

// The page rendered grey, small enough to OCR quickly; None for a page whose
// contents would be unsafe to decode (the OCR pass refuses it too).
py::object pixmap_of(py::handle document, py::handle page) {
    if (!image_coded_contents(document, page).empty()) return py::none();
    if (largest_image(page) > kLargestImagePixels) return py::none();
    py::object rect = page.attr("rect");
    const double longest = std::max(rect.attr("width").cast<double>(), rect.attr("height").cast<double>());
    if (!(longest > 0.0)) return py::none();
    const double zoom = std::min(kSampleDpi / 72.0, kLongestSide / longest);
    py::object fitz = attr("fitz");
    return page.attr("get_pixmap")(py::arg("matrix") = fitz.attr("Matrix")(zoom, zoom),
                                   py::arg("colorspace") = fitz.attr("csGRAY"),
                                   py::arg("alpha") = false);
}

// A view of a grey pixmap's pixels; `bytes` keeps them alive.
GreyImage grey_of(py::handle pixmap, std::string& bytes) {
    bytes = py::bytes(pixmap.attr("samples")).cast<std::string>();
    GreyImage image;
    image.pixels = bytes;
    image.width = pixmap.attr("width").cast<long long>();
    image.height = pixmap.attr("height").cast<long long>();
    image.stride = pixmap.attr("stride").cast<long long>();
    return image;
}

// What Tesseract reads in rows [top, bottom) of a grey image: by its library
// here when it can (TESSERACT_IN_PROCESS), else by the program. `strip`
// says the rows are lines already (their layout is not looked for, nor
// their ink inverted); otherwise they are read as the program reads a page.
py::object read_rows(const GreyImage& grey, long long top, long long bottom, bool strip,
                     bool in_process) {
    if (!grey.valid() || top < 0 || bottom > grey.height || bottom <= top) return py::str("");
    const long long rows = bottom - top;
    const std::string_view pixels = grey.pixels.substr(static_cast<size_t>(top * grey.stride),
                                                       static_cast<size_t>(rows * grey.stride));
    if (in_process) {
        const double seconds = py::float_(attr("TESSERACT_SECONDS")).cast<double>();
        std::optional<std::string> text = read_grey_in_process(
            pixels, grey.width, rows, grey.stride, strip ? kStripMode : 3, !strip, seconds);
        if (text) {
            PyObject* decoded =
                PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace");
            if (decoded == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(decoded);
        }
    }
    py::object image = attr("Image").attr("frombytes")("L", py::make_tuple(grey.width, rows),
                                                      py::bytes(pixels.data(), pixels.size()),
                                                      "raw", "L", grey.stride);
    return strip ? image_to_string(image, py::none(), kStripOptions) : image_to_string(image);
}

long long pixels_of(double points, py::handle pixmap, py::handle page) {
    const double scale = pixmap.attr("height").cast<double>() /
                         std::max(1.0, page.attr("rect").attr("height").cast<double>());
    return std::max(1LL, static_cast<long long>(points * scale));
}

py::object sample_of_open(py::handle pdf_path, py::handle document) {
    const long long count = document.attr("page_count").cast<long long>();
    py::list layer;
    // The pages the OCR sample may read: not those that are all text layer
    // (letters and no picture), whose layer is what OCR would read there.
    std::vector<long long> to_read;
    for (long long i = 0; i < count; ++i) {
        py::object page = document[py::int_(i)];
        if (!image_coded_contents(document, page).empty()) {
            to_read.push_back(i);  // not rendered either: pixmap_of refuses it
            continue;
        }
        py::object page_text = page.attr("get_text")("text");
        if (letters(page_text) == 0 || py::len(page.attr("get_images")()) > 0) to_read.push_back(i);
        layer.append(page_text);
    }
    py::object text = py::str("").attr("join")(layer);
    // A text layer that tells no language may read as nothing (fonts that
    // map to no characters: a few control characters are enough), and only
    // the two-pass road OCRs such pages whole. A page number over a scan
    // goes there too: a second pass is the price of never reading a layer
    // of nothing in place of the page.
    if (wr::truthy(text.attr("strip")())) {
        py::object language = language_of(text);
        if (language.is_none()) {
            wr::log_info({"the text layer of ", py::str(pdf_path),
                          " tells no supported language; it is read twice"});
            return language;
        }
        if (letters(text) >= kEnoughLetters) {
            wr::log_info({"language of ", py::str(pdf_path), " from its text layer: ",
                          language.attr("value")});
            return language;
        }
    }

    // Read in the engine's default language, as the first pass of the
    // two-pass road reads the document: the sample then tells what that
    // pass would have told, which is what the text must not depart from.
    // OCR costs what there is to read plus a start that is worth a few
    // lines: the lines of the sampled pages go into one strip, read once
    // it should hold enough letters (or when the lines run out), and more
    // strips only if the reading fell short.
    py::list read;
    read.append(text);
    const bool in_process = wr::truthy(attr("TESSERACT_IN_PROCESS"));
    auto enough = [&] { return letters(py::str("\n").attr("join")(read)) >= kEnoughLetters; };
    std::unique_ptr<LineStrip> strip;
    auto read_strip = [&] {
        if (!strip || strip->empty()) return;
        GreyImage image;
        const std::string pixels = strip->pixels();
        image.pixels = pixels;
        image.width = image.stride = strip->width();
        image.height = strip->height();
        strip.reset();
        read.append(read_rows(image, 0, image.height, true, in_process));
    };
    long long sampled = 0;
    std::vector<py::object> lineless;  // pages with ink that makes no lines
    for (long long i : sampled_pages(to_read)) {
        if (enough()) break;
        py::object page = document[py::int_(i)];
        py::object pixmap = pixmap_of(document, page);
        if (pixmap.is_none()) continue;
        ++sampled;
        std::string bytes;
        const GreyImage grey = grey_of(pixmap, bytes);
        const std::vector<TextLine> lines = text_lines(grey, pixels_of(kShortestLine, pixmap, page),
                                                       pixels_of(kTallestLine, pixmap, page));
        if (lines.empty() && inked(grey)) lineless.push_back(pixmap);
        for (const TextLine& line : lines) {
            if (!strip) strip = std::make_unique<LineStrip>(pixels_of(kLineGap, pixmap, page));
            strip->add(grey, line);
            if (strip->glyphs() >= kGlyphsWanted) {
                read_strip();
                if (enough()) break;
            }
        }
    }
    if (!enough()) read_strip();
    for (py::handle pixmap : lineless) {
        std::string bytes;
        const GreyImage grey = grey_of(pixmap, bytes);
        const long long bands = std::clamp(grey.height / kBandPixels, 1LL, kBands);
        for (long long band = 0; band < bands && !enough(); ++band)
            read.append(read_rows(grey, band * grey.height / bands, (band + 1) * grey.height / bands,
                                  false, in_process));
    }
    py::object language = language_of(py::str("\n").attr("join")(read));
    if (language.is_none()) {
        wr::log_info({"a sample of ", py::str(pdf_path), " tells no supported language; it is read twice"});
    } else {
        wr::log_info({"language of ", py::str(pdf_path), " from ", py::int_(sampled),
                      " pages OCR'd: ", language.attr("value")});
    }
    return language;
}

// A view of pixels given from Python; `bytes` keeps them alive.
GreyImage grey_given(const py::bytes& pixels, std::string& bytes, long long width,
                     long long height, long long stride) {
    bytes = pixels;
    GreyImage image;
    image.pixels = bytes;
    image.width = width;
    image.height = height;
    image.stride = stride;
    return image;
}

}  // namespace

py::list text_lines_of(const py::bytes& pixels, long long width, long long height, long long stride,
                       long long shortest, long long tallest) {
    std::string bytes;
    const GreyImage image = grey_given(pixels, bytes, width, height, stride);
    py::list out;
    for (const TextLine& line : text_lines(image, shortest, tallest))
        out.append(py::make_tuple(line.top, line.bottom, line.glyphs));
    return out;
}

py::object tesseract_read(const py::bytes& pixels, long long width, long long height,
                          long long stride, bool strip, bool in_process) {
    std::string bytes;
    const GreyImage image = grey_given(pixels, bytes, width, height, stride);
    if (!image.valid()) wr::raise(PyExc_ValueError, {"the sizes do not describe the pixels"});
    return read_rows(image, 0, height, strip, in_process);
}

py::object sample_language(py::handle pdf_path) {
    py::object document;
    try {
        document = attr("fitz").attr("open")(pdf_path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();  // the two-pass road reports why
    }
    py::object language = py::none();
    try {
        language = sample_of_open(pdf_path, document);
    } catch (py::error_already_set& e) {
        // Whatever stops the sample (a page that cannot be rendered, an OCR
        // run out of time) is the two-pass road's to meet and report.
        if (!e.matches(PyExc_Exception)) {
            document.attr("close")();
            throw;
        }
        wr::log_info({"no language sample of ", py::str(pdf_path), ": ", py::str(e.value())});
        language = py::none();
    }
    document.attr("close")();
    return language;
}

}  // namespace pagewring
