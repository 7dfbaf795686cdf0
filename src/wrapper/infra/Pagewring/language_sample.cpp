// The language of a PDF told from a sample, so that the document itself is
// OCR'd once, in that language, rather than once more only to learn it.
#include "pagewring.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "pyutil.hpp"

namespace pagewring {

namespace {

// A sample with this many letters tells its language as surely as the
// OCR of the whole document would; below it the pages are looked at.
constexpr long long kEnoughLetters = 200;
// Pages rendered for the OCR sample, and their resolution: enough text to
// tell the language, a small share of the whole pass on a long document.
constexpr long long kSamplePages = 3;
constexpr double kSampleDpi = 150.0;
// A tall page is read in horizontal bands of about this many pixels (seven
// lines of a typed page), at most kBands of them; a short one whole, as a
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

// Up to kSamplePages page numbers spread over the document, in the order
// they are read: the first, the last, then the middle.
std::vector<long long> sampled_pages(long long count) {
    std::vector<long long> picked;
    for (long long i : {0LL, count - 1, count / 2})
        if (i >= 0 && std::find(picked.begin(), picked.end(), i) == picked.end()) picked.push_back(i);
    picked.resize(std::min<size_t>(picked.size(), kSamplePages));
    return picked;
}

// The page as a greyscale image small enough to OCR quickly; None for a page
// whose contents would be unsafe to decode (the OCR pass refuses it too).
py::object rendered(py::handle document, py::handle page) {
    if (!image_coded_contents(document, page).empty()) return py::none();
    if (largest_image(page) > kLargestImagePixels) return py::none();
    py::object rect = page.attr("rect");
    const double longest = std::max(rect.attr("width").cast<double>(), rect.attr("height").cast<double>());
    if (!(longest > 0.0)) return py::none();
    const double zoom = std::min(kSampleDpi / 72.0, kLongestSide / longest);
    py::object fitz = attr("fitz");
    py::object pixmap = page.attr("get_pixmap")(py::arg("matrix") = fitz.attr("Matrix")(zoom, zoom),
                                                py::arg("colorspace") = fitz.attr("csGRAY"),
                                                py::arg("alpha") = false);
    py::object png = pixmap.attr("tobytes")("png");
    py::object image = attr("Image").attr("open")(attr("io").attr("BytesIO")(png));
    image.attr("load")();
    return image;
}

py::object sample_of_open(py::handle pdf_path, py::handle document) {
    const long long count = document.attr("page_count").cast<long long>();
    py::list layer;
    for (long long i = 0; i < count; ++i) {
        py::object page = document[py::int_(i)];
        if (!image_coded_contents(document, page).empty()) continue;
        layer.append(page.attr("get_text")("text"));
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
    // OCR costs what there is to read: a dense page reads as slowly at
    // the sample's resolution as in the whole pass, so a page is read band
    // by band, and pages and bands only until the sample holds enough
    // letters (a band of a typed page mostly does).
    py::list read;
    read.append(text);
    auto enough = [&] { return letters(py::str("\n").attr("join")(read)) >= kEnoughLetters; };
    long long sampled = 0;
    for (long long i : sampled_pages(count)) {
        if (enough()) break;
        py::object page = document[py::int_(i)];
        py::object image = rendered(document, page);
        if (image.is_none()) continue;
        ++sampled;
        const long long width = image.attr("width").cast<long long>();
        const long long height = image.attr("height").cast<long long>();
        const long long bands = std::clamp(height / kBandPixels, 1LL, kBands);
        for (long long band = 0; band < bands && !enough(); ++band) {
            py::object box = py::make_tuple(0, band * height / bands, width,
                                            (band + 1) * height / bands);
            read.append(image_to_string(image.attr("crop")(box)));
        }
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

}  // namespace

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
