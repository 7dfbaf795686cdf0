// `wrapper search`: where each hit matched, under the hit or as JSON lines.
#include <string>
#include <vector>

#include "console.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"

namespace console {

namespace {

// The passage with its marked words between `open` and `close`.
py::str marked(py::handle passage, const char* open, const char* close) {
    const std::u32string text = wr::to_u32(passage["text"]);
    const std::u32string o = wr::to_u32(py::str(open)), c = wr::to_u32(py::str(close));
    std::u32string shown;
    std::size_t at = 0;
    for (py::handle mark : passage["marks"]) {
        auto b = static_cast<std::size_t>(wr::to_ssize(mark[py::int_(0)]));
        auto e = static_cast<std::size_t>(wr::to_ssize(mark[py::int_(1)]));
        if (b < at || e < b || e > text.size()) continue;  // not ours to show
        shown.append(text, at, b - at);
        shown += o;
        shown.append(text, b, e - b);
        shown += c;
        at = e;
    }
    shown.append(text, at, std::u32string::npos);
    return wr::from_u32(shown);
}

}  // namespace

void show_passage(py::handle process, py::handle hit, py::handle query, py::handle language) {
    py::list found = process.attr("passages")(hit, query, language, 1);
    if (found.empty()) return;
    py::object best = found[0];
    if (wr::truthy(best["reindex"]) && !wr::truthy(best["text"])) {
        out(py::str("      (indexed before passages were kept: index it again to see them)"));
        return;
    }
    const bool tty = wr::truthy(wr::import_attr("sys", "stdout").attr("isatty")());
    py::str text = tty ? marked(best, "\x1b[1m", "\x1b[0m") : marked(best, "[", "]");
    py::object page = best["page"];
    out(wr::cat({"      ", page.is_none() ? py::str("") : wr::cat({"p. ", page, ": "}),
                 text}));
    if (wr::truthy(best["reindex"]))
        out(py::str("      (stems only, no pages: indexed before pages were kept; index it again)"));
}

void print_json_hit(py::handle process, py::handle hit, py::handle query, py::handle language,
                    py::handle corrected, py::handle results_page, py::handle score,
                    py::handle hit_language) {
    py::dict line;
    line["query"] = corrected;
    line["results_page"] = results_page;
    line["name"] = hit["name"];
    line["score"] = wr::import_attr("builtins", "float")(score);
    line["language"] = hit_language;
    py::list passages;
    for (py::handle p : process.attr("passages")(hit, query, language, 3)) {
        py::dict shown;
        shown["page"] = p["page"];
        shown["text"] = p["text"];
        py::list marks;
        for (py::handle m : p["marks"]) marks.append(py::list(py::reinterpret_borrow<py::object>(m)));
        shown["marks"] = marks;
        shown["reindex"] = p["reindex"];
        passages.append(shown);
    }
    line["passages"] = passages;
    // A name that is not text (a host's own ids) is written as its text.
    out(wr::import_attr("json", "dumps")(line, py::arg("ensure_ascii") = false,
                                          py::arg("default") = wr::import_attr("builtins", "str")));
}

}  // namespace console
