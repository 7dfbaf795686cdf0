// PDF text: OCR first, then the PDF's own text layer and embedded images.
#include "pagewring.hpp"

#include <unistd.h>

#include <algorithm>
#include <string>

#include "pyutil.hpp"

namespace pagewring {

namespace {

// range(document.page_count), as the number the host gives.
long long page_count(py::handle document) {
    py::object count = document.attr("page_count");
    long long n = PyLong_AsLongLong(count.ptr());
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

py::object page_at(py::handle document, long long index) {
    return document[py::int_(index)];
}

// A name in the base path that no other call, thread or machine picks. It
// names the machine and the process that writes it, so that the copy of a
// process killed meanwhile can be told from one still being written and
// removed later (by `wrapper index`).
py::str private_copy_path(py::handle base_path) {
    py::object token = wr::import("uuid").attr("uuid4")().attr("hex");
    py::object host = wr::import("socket").attr("gethostname")();
    return wr::cat({base_path, "/.output-", host, "-", py::int_(::getpid()), "-", token, ".pdf"});
}

}  // namespace

long long largest_image(py::handle page) {
    long long largest = 0;
    for (py::handle info : page.attr("get_images")(py::arg("full") = true)) {
        long long pixels = py::int_(info[py::int_(2)]).cast<long long>() *
                           py::int_(info[py::int_(3)]).cast<long long>();
        largest = std::max(largest, pixels);
    }
    return largest;
}

namespace {

void rename_onto(py::handle from, py::handle to) { wr::import("os").attr("replace")(from, to); }

// The copy may be half written, or never started: either way it goes, and
// nothing here may hide the error that made it go.
void remove_quietly(py::handle path) {
    std::string name = wr::import("os").attr("fsencode")(path).cast<std::string>();
    ::unlink(name.c_str());
}

// ocrmypdf refuses every encrypted input, even one whose user password is
// empty, which any reader opens without asking. Such a PDF is given to it as
// a decrypted private copy (the input itself is never changed); None when
// the input is not such a PDF or cannot be opened here (the tool then says why).
py::object decrypted_copy(py::handle pdf_path, py::handle base_path) {
    py::object fitz = attr("fitz");
    py::object document;
    try {
        document = fitz.attr("open")(pdf_path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
    py::object plain = py::none();
    try {
        py::object metadata = document.attr("metadata");
        const bool empty_password = !wr::truthy(document.attr("needs_pass")) &&
                                    py::isinstance<py::dict>(metadata) &&
                                    wr::truthy(metadata.attr("get")("encryption"));
        if (empty_password) {
            plain = private_copy_path(base_path);
            document.attr("save")(plain, py::arg("encryption") = fitz.attr("PDF_ENCRYPT_NONE"));
            wr::log_info({py::str(pdf_path), " is encrypted with an empty password; "
                          "ocrmypdf reads a decrypted copy"});
        }
        document.attr("close")();
    } catch (py::error_already_set& e) {
        if (!plain.is_none()) remove_quietly(plain);
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
    return plain;
}

// Whether a detection refused a text because it reads as nothing in any
// language (no language told, or letters of another script): what a text
// layer drawn with fonts that map to no characters gives.
bool unreadable_text(py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) return false;
    std::string message = py::str(e.value()).cast<std::string>();
    return message == "Language None not supported" || message.rfind("Script ", 0) == 0;
}

// The text of every page OCR'd whole, first to tell the language, then in
// it; the finished copy replaces `output`.
py::object ocr_whole_pages(py::handle input, py::handle base_path, py::handle output) {
    py::str copy = private_copy_path(base_path);
    try {
        run_ocrmypdf_in(py::reinterpret_borrow<py::object>(input), copy, py::none(), true);
        py::object detected = detect_language(call("get_text_from_pdf", copy));
        run_ocrmypdf_in(py::reinterpret_borrow<py::object>(input), copy, detected, true);
        py::object text = call("get_text_from_pdf", copy);
        rename_onto(copy, output);
        return text;
    } catch (py::error_already_set&) {
        remove_quietly(copy);
        throw;
    }
}

}  // namespace

std::string image_coded_contents(py::handle document, py::handle page) {
    static const char* const kImageCodecs[] = {"JBIG2Decode", "DCTDecode", "JPXDecode",
                                               "CCITTFaxDecode"};
    for (py::handle xref : page.attr("get_contents")()) {
        py::object filter = document.attr("xref_get_key")(xref, "Filter");
        std::string value = py::str(filter[py::int_(1)]).cast<std::string>();
        for (const char* codec : kImageCodecs)
            if (value.find(codec) != std::string::npos) return codec;
    }
    return "";
}

py::object extract_text_from_pdf(py::object pdf_path, py::object base_path, py::object language) {
    if (!wr::truthy(language) && wr::truthy(setting("OCR_ONE_PASS"))) {
        // The language comes from a sample, and the document is read once,
        // exactly as the two-pass road reads it the second time. A sample
        // that tells nothing leaves the document to that road.
        py::object sampled = sample_language(pdf_path);
        if (!sampled.is_none()) return call("extract_text_from_pdf", pdf_path, base_path, sampled);
    }
    py::str output = wr::cat({base_path, "/output.pdf"});
    wr::log_debug({"output pdf ", output});
    // The tool writes a copy of this call's own, so that extractions running
    // side by side over one base path never read each other's copy; the
    // finished copy then replaces output.pdf, which keeps holding the last
    // one finished.
    py::str copy = private_copy_path(base_path);

    py::object result = py::str("");
    bool ocr_failed = false;
    py::object plain = decrypted_copy(pdf_path, base_path);
    try {
        py::object input = plain.is_none() ? pdf_path : plain;
        call("run_ocrmypdf", input, copy, language);
        result = call("get_text_from_pdf", copy);
        rename_onto(copy, output);
        py::object detected = py::none();
        if (!wr::truthy(language)) {
            try {
                detected = detect_language(result);
            } catch (py::error_already_set& e) {
                // --redo-ocr keeps a text layer that is there but reads as
                // nothing (fonts without a character map, mis-encoded
                // text); the pages themselves are still readable.
                if (!wr::truthy(result.attr("strip")()) || !unreadable_text(e)) throw;
                wr::log_info({"the text layer of ", py::str(pdf_path),
                              " reads as nothing; its pages are OCR'd whole"});
                result = ocr_whole_pages(input, base_path, output);
            }
        }
        if (!plain.is_none()) remove_quietly(plain);
        if (!detected.is_none()) {
            wr::log_debug({"extracting text using language ", detected.attr("value")});
            // The pass in the detected language starts again from the input,
            // not from the first pass's output: --redo-ocr (ocrmypdf 14) keeps
            // the OCR layer it finds and adds a new one, so a copy of the
            // copy would carry the text twice, once read in the wrong
            // language. Its own finished copy replaces this one's.
            result = call("extract_text_from_pdf", pdf_path, base_path, detected);
        }
    } catch (py::error_already_set& e) {
        remove_quietly(copy);
        if (!plain.is_none()) remove_quietly(plain);
        if (!e.matches(PyExc_Exception)) throw;
        wr::log_error(wr::format_exc(e));
        ocr_failed = true;
    }
    if (ocr_failed) {
        // Any failure of the OCR road, including a text in no supported
        // language, is answered from the input itself; an error of this
        // reader is the caller's.
        wr::log_info({"trying new method to extract text from pdf"});
        result = call("_extract_text_from_pdf", pdf_path);
    }
    return result;
}

py::object get_text_from_pdf(py::object pdf_path) {
    // Page texts are joined once, not appended page by page to a growing string.
    py::list pages_text;
    py::object document;
    bool opened = false;
    try {
        document = attr("fitz").attr("open")(pdf_path);
        opened = true;
        const long long pages = page_count(document);
        for (long long i = 0; i < pages; ++i) {
            py::object page = page_at(document, i);
            std::string codec = image_coded_contents(document, page);
            if (!codec.empty()) {
                wr::log_warning({"page ", i + 1, " of ", py::str(pdf_path), " not read: its content is ",
                                 codec.c_str(), "-compressed"});
                continue;
            }
            py::object text = page.attr("get_text")("text");
            pages_text.append(text.attr("strip")());
            wr::log_debug({"Page ", i + 1, " Text:\n", text, "\n"});
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            if (opened) document.attr("close")();
            throw;
        }
        wr::log_error(wr::format_exc(e));
        // Without a document there is no text to return, not even an empty
        // one: a missing or unreadable file must look like a failure to the
        // caller (the OCR road relies on it), so the opening error goes on.
        if (!opened) throw;
    }
    // Pages read before a failing page are kept.
    document.attr("close")();
    record_pages(pages_text);
    return py::str("").attr("join")(pages_text);
}

py::object extract_text_from_pdf_direct(py::object pdf_path) {
    // Opening is not guarded: a file that is not a readable document is the
    // caller's error, with nothing logged.
    py::object document = attr("fitz").attr("open")(pdf_path);
    // The text is kept as pieces and joined when it is needed whole: adding
    // each piece to a growing string would copy the text again every time.
    py::list pieces;
    py::list page_texts;  // the same text, one item per page
    auto text_so_far = [&] { return py::str("").attr("join")(pieces); };

    auto finish = [&] {
        py::object result = text_so_far();
        record_pages(page_texts);
        wr::log_debug({"final text extracted from pdf"});
        wr::log_debug(result);
        document.attr("close")();
        return result;
    };

    try {
        const long long pages = page_count(document);
        std::string refused;
        for (long long i = 0; i < pages; ++i) {
            py::object page = page_at(document, i);
            const Py_ssize_t page_start = py::len(pieces);
            std::string codec = image_coded_contents(document, page);
            if (!codec.empty()) {
                refused = "its page " + std::to_string(i + 1) + " has " + codec +
                          "-compressed content, too large to decode safely";
                wr::log_warning({py::str(pdf_path), ": ", refused.c_str()});
                page_texts.append(py::str(""));  // the pages after it keep their numbers
                continue;
            }
            pieces.append(page.attr("get_text")("text"));
            // The line carries all the text so far; it is built only when it
            // is kept, or every page would cost as much as the whole text.
            if (wr::debug_enabled())
                wr::log_debug({"Page ", i + 1, " Text:\n", text_so_far(), "\n"});

            py::object blocks;
            const long long pixels = largest_image(page);
            if (pixels > kLargestImagePixels) {
                refused = "an image of " + std::to_string(pixels / 1000000) +
                          " megapixels on page " + std::to_string(i + 1) +
                          " is too large to OCR";
                wr::log_warning({py::str(pdf_path), ": ", refused.c_str()});
                py::object fitz = attr("fitz");
                py::int_ flags = py::int_(fitz.attr("TEXTFLAGS_DICT")).attr("__and__")(
                    py::int_(fitz.attr("TEXT_PRESERVE_IMAGES")).attr("__invert__")());
                blocks = page.attr("get_text")("dict", py::arg("flags") = flags)["blocks"];
            } else {
                blocks = page.attr("get_text")("dict")["blocks"];
            }
            py::list images;
            for (py::handle block : blocks) {
                if (py::object(block["type"]).equal(py::int_(1))) images.append(block);
            }
            long long index = 0;
            for (py::handle block : images) {
                wr::log_debug({"working on meta image"});
                // The block itself, not its text: logging formats it (image
                // bytes included) only when debug lines are actually kept.
                wr::log_debug(block);
                // Names are for the log only; nothing is written to disk.
                py::str name = wr::cat({i, "_", index, ".", block["ext"]});
                wr::log_debug({"image name ", name, "..."});
                py::object image;
                try {
                    image = attr("Image").attr("open")(attr("io").attr("BytesIO")(block["image"]));
                    image.attr("load")();
                } catch (py::error_already_set& e) {
                    // One damaged picture costs its own text, not the file's.
                    if (!e.matches(PyExc_OSError)) throw;
                    wr::log_warning({"image ", name, " on page ", i + 1, " of ", py::str(pdf_path),
                                     " cannot be decoded, skipped: ", py::str(e.value())});
                    ++index;
                    continue;
                }
                py::object text = image_to_string(image);
                pieces.append(text);
                wr::log_debug({"OCR Result for Image ", name, " on Page ", i + 1, ":\n", text, "\n"});
                ++index;
            }
            page_texts.append(py::str("").attr("join")(pieces[py::slice(page_start, py::len(pieces), 1)]));
        }
        // What could not be read safely is the reason when nothing else was.
        if (!refused.empty() && !wr::truthy(text_so_far().attr("strip")()))
            wr::raise(PyExc_ValueError, {"too large: ", refused.c_str()});
    } catch (py::error_already_set& e) {
        wr::log_error(wr::format_exc(e));
        finish();
        throw;
    }
    return finish();
}

}  // namespace pagewring
