// Feeds the causes' core (reasons.cpp) from the host: the error a file
// failed with, the OCR failure the library logged, or a document that came
// out empty; and keeps the PDF library's own messages off standard output.
#include <string>

#include "indexbase.hpp"
#include "pyutil.hpp"
#include "reasons.hpp"

namespace wr {

namespace {

std::string text_of(py::handle value) {
    // surrogateescape: a file name in another encoding still comes through.
    return py::bytes(py::str(value).attr("encode")("utf-8", "surrogateescape"))
        .cast<std::string>();
}

// The first bytes of a file, "" when it cannot be read.
std::string head_of(py::handle path) {
    try {
        py::object f = wr::import_attr("builtins", "open")(path, "rb");
        py::bytes head = f.attr("read")(1024);
        f.attr("close")();
        return head.cast<std::string>();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return "";
    }
}

py::str explained(std::string traceback, py::handle path, py::handle name, bool ocr) {
    reasons::Failure f;
    f.traceback = std::move(traceback);
    f.path = text_of(path);
    f.name = text_of(name);
    f.head = head_of(path);
    f.ocr = ocr;
    std::string line = reasons::explain(f);
    return py::bytes(line).attr("decode")("utf-8", "replace");
}

}  // namespace

py::str explain_error(py::error_already_set& e, py::handle path, py::handle name) {
    return explained(text_of(wr::format_exc(e)), path, name, false);
}

py::str explain_ocr_failure(py::handle traceback_text, py::handle path, py::handle name) {
    return explained(text_of(traceback_text), path, name, true);
}

// Why a document came out of the library with no text.
py::str explain_empty(py::handle path) {
    std::string detail = "nothing to index";
    py::object lower = py::str(path).attr("lower")();
    if (!wr::truthy(lower.attr("endswith")(".pdf")))
        return py::str(reasons::reason(reasons::Cause::NoText, "no text found in it"));
    try {
        py::object document = wr::import_attr("fitz", "open")(path);
        const bool locked = wr::truthy(document.attr("needs_pass"));
        const long long pages = document.attr("page_count").cast<long long>();
        document.attr("close")();
        // A PDF that needs a password shows no pages until it is given.
        if (locked) return py::str(reasons::reason(reasons::Cause::Encrypted, ""));
        // Every PDF has a page; none found means its page tree is lost.
        if (pages == 0)
            return py::str(reasons::reason(reasons::Cause::Damaged, "no page can be found in it"));
        detail = std::to_string(pages) + (pages == 1 ? " page" : " pages") +
                 ", no text found by OCR nor in the PDF itself";
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return py::str(reasons::reason(reasons::Cause::NoText, detail));
}

py::str reason_line(reasons::Cause cause, const char* detail) {
    return py::str(reasons::reason(cause, detail));
}

MupdfMessagesAside::MupdfMessagesAside() : tools_(wr::import_attr("fitz", "TOOLS")) {
    tools_.attr("mupdf_display_errors")(false);
    tools_.attr("mupdf_display_warnings")(false);
    tools_.attr("reset_mupdf_warnings")();
}

MupdfMessagesAside::~MupdfMessagesAside() {
    try {
        py::str kept = tools_.attr("mupdf_warnings")();
        tools_.attr("reset_mupdf_warnings")();
        if (wr::truthy(kept)) wr::log_info({"MuPDF said:\n", kept});
    } catch (py::error_already_set&) {
        // Only the log loses: the file's own outcome matters more.
    }
}

}  // namespace wr
