// The pages behind the last PDF text read on this thread. The specified
// readers return one joined string; the page each part came from is kept
// here beside it, and handed out only for that very text, so a document can
// store its pages without the readers' results changing.
#include <string>
#include <vector>

#include "hosttext.hpp"
#include "pagewring.hpp"
#include "pyutil.hpp"

namespace pagewring {

namespace {

// Per thread: extractions side by side on other threads keep their own.
// Plain code points, so nothing here outlives the interpreter badly.
thread_local std::vector<std::u32string> last_pages;

}  // namespace

void record_pages(const py::list& pages) {
    std::vector<std::u32string> read;
    for (py::handle p : pages) read.push_back(PyUnicode_Check(p.ptr()) ? wr::to_u32(p) : std::u32string());
    last_pages = std::move(read);
}

py::object pages_of(py::object text) {
    std::vector<std::u32string> pages = std::move(last_pages);
    last_pages.clear();
    if (pages.empty() || !PyUnicode_Check(text.ptr())) return py::none();
    std::u32string joined;
    for (const std::u32string& p : pages) joined += p;
    if (joined != wr::to_u32(text)) return py::none();
    py::list out;
    for (const std::u32string& p : pages) out.append(wr::from_u32(p));
    return out;
}

}  // namespace pagewring
