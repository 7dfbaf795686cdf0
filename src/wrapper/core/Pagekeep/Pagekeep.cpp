// The text of every filed document kept beside the index, page by page, with
// the term the engine made of each word, so that a hit can show where it
// matched without reading its file again. One small JSON file per document
// under <models>/pages, named by a digest of the document's id: one document
// is written, replaced or removed without touching any other.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "hosttext.hpp"
#include "passages.hpp"
#include "pyutil.hpp"

namespace py = pybind11;
namespace ps = wr::passages;

namespace {

// Version of the stored layout; a file of another version is not read.
constexpr int kVersion = 1;

py::str pages_dir(py::handle modeldir) { return wr::cat({modeldir, "/pages"}); }

// repr rather than str: the ids 1 and "1" are two documents.
py::str path(py::object modeldir, py::object id) {
    py::bytes key = py::str(py::repr(id)).attr("encode")("utf-8", "surrogatepass");
    py::str digest = wr::import_attr("hashlib", "sha256")(key).attr("hexdigest")();
    return wr::cat({pages_dir(modeldir), "/", digest[py::slice(0, 40, 1)], ".json"});
}

// Host strings joined by a blank, handed to `fn`, split again: one host call
// for all the words of a document instead of one per word. Words hold no
// whitespace and the functions used here never make any, but a count that
// does not come back whole is answered word by word.
std::vector<std::u32string> through_host(const std::vector<std::u32string>& words,
                                         const std::function<py::object(py::str)>& fn) {
    std::u32string joined;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) joined.push_back(U' ');
        joined += words[i];
    }
    std::u32string out = wr::to_u32(fn(wr::from_u32(joined)));
    std::vector<std::u32string> back;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = out.find(U' ', start);
        back.push_back(out.substr(start, end == std::u32string::npos ? end : end - start));
        if (end == std::u32string::npos) break;
        start = end + 1;
    }
    if (back.size() == words.size()) return back;
    back.clear();
    for (const std::u32string& w : words) back.push_back(wr::to_u32(fn(wr::from_u32(w))));
    return back;
}

// The engine's term for each word of each text, blank-separated, "-" for a
// word it drops: the stemming pipeline's steps (accents folded, punctuation
// deleted, stopwords dropped, Snowball stems in the document's language, or
// without a language the folded word itself), lower-cased as the term
// vectoriser reads them. Each distinct word is stemmed once.
std::vector<std::u32string> terms_of(const std::vector<std::u32string>& texts, py::handle language) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    std::vector<std::vector<ps::Word>> words;
    std::unordered_map<std::u32string, std::size_t> seen;
    std::vector<std::u32string> distinct;
    for (const std::u32string& text : texts) {
        words.push_back(ps::words_of(text, cc));
        for (const ps::Word& w : words.back()) {
            std::u32string piece = text.substr(w.word_begin, w.word_end - w.word_begin);
            if (seen.emplace(piece, distinct.size()).second) distinct.push_back(std::move(piece));
        }
    }
    std::vector<std::u32string> keys;
    if (!distinct.empty()) {
        py::object normalize = wr::import_attr("unicodedata", "normalize");
        std::vector<std::u32string> folded =
            through_host(distinct, [&](py::str s) { return normalize("NFD", s); });
        for (std::u32string& f : folded) f = wr::text::keep_word_chars(wr::text::drop_combining(f, cc), cc);
        std::vector<std::u32string> lower =
            through_host(folded, [](py::str s) { return s.attr("lower")(); });

        if (wr::truthy(language)) {
            py::object wordwash = wr::import("wrapper.infra.Wordwash");
            py::object name = wordwash.attr("Idiomark").attr("get_nltk_language")(language);
            py::set stop(wordwash.attr("stopwords").attr("words")(name));
            py::object stem = wordwash.attr("SnowballStemmer")(name).attr("stem");
            for (std::u32string& word : lower) {
                if (word.empty()) continue;
                py::str w = wr::from_u32(word);
                word = stop.contains(w) ? std::u32string() : wr::to_u32(py::str(stem(w)).attr("lower")());
            }
        }
        keys = std::move(lower);
    }
    std::vector<std::u32string> out;
    for (std::size_t t = 0; t < texts.size(); ++t) {
        std::u32string line;
        for (std::size_t i = 0; i < words[t].size(); ++i) {
            const ps::Word& w = words[t][i];
            if (i) line.push_back(U' ');
            const std::u32string& key =
                keys[seen.at(texts[t].substr(w.word_begin, w.word_end - w.word_begin))];
            // A stem never holds a blank; one that did would break the line up.
            line += key.empty() || key.find(U' ') != std::u32string::npos ? U"-" : key;
        }
        out.push_back(std::move(line));
    }
    return out;
}

py::str terms(py::object text, py::object language) {
    return wr::from_u32(terms_of({wr::to_u32(text)}, language).front());
}

// The page texts a PDF's extraction recorded for exactly this document's
// text, or None: a text translated since, or read by a road that records no
// pages, is kept as one passage source without page numbers.
py::object numbered_pages(py::handle doc, py::handle text) {
    py::object pages = py::getattr(doc, "pages", py::none());
    if (!PyList_Check(pages.ptr()) || py::len(pages) == 0) return py::none();
    for (py::handle p : pages)
        if (!PyUnicode_Check(p.ptr())) return py::none();
    if (!py::str("").attr("join")(pages).equal(text)) return py::none();
    return pages;
}

py::object keep(py::object modeldir, py::object doc) {
    // Anything without text (the engines pass such documents over) is not kept.
    py::object text = py::getattr(doc, "text", py::none());
    if (!wr::truthy(text) || !PyUnicode_Check(text.ptr())) return py::none();
    py::object language = py::none();
    if (wr::truthy(py::getattr(doc, "is_detect_language", py::none())))
        language = doc.attr("detected_language");

    py::object pages = numbered_pages(doc, text);
    std::vector<std::u32string> texts;
    if (pages.is_none()) texts.push_back(wr::to_u32(text));
    else
        for (py::handle p : pages) texts.push_back(wr::to_u32(p));
    const std::vector<std::u32string> keys = terms_of(texts, language);

    py::list stored;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        py::dict page;
        page["page"] = pages.is_none() ? py::object(py::none()) : py::object(py::int_(i + 1));
        page["text"] = wr::from_u32(texts[i]);
        page["terms"] = wr::from_u32(keys[i]);
        stored.append(page);
    }
    py::dict record;
    record["version"] = kVersion;
    record["id"] = py::repr(doc.attr("id"));
    record["pages"] = stored;
    // ASCII escapes: any host string (lone surrogates too) survives the file.
    std::string data = py::str(wr::import_attr("json", "dumps")(record)).cast<std::string>();
    py::object os = wr::import("os");
    os.attr("makedirs")(pages_dir(modeldir), py::arg("exist_ok") = true);
    py::str where = path(modeldir, doc.attr("id"));
    wr::write_file_atomic(os.attr("fsencode")(where).cast<std::string>(), data);
    return where;
}

bool forget(py::object modeldir, py::object id) {
    try {
        wr::import("os").attr("remove")(path(modeldir, id));
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
        return false;
    }
}

// The stored record of a document, or None when there is none (a document
// filed before pages were kept) or it cannot be used (logged).
py::object read_record(py::object modeldir, py::object id) {
    py::str where = path(modeldir, id);
    py::object record;
    try {
        py::object file = wr::import_attr("builtins", "open")(where, "rb");
        py::bytes data;
        try {
            data = file.attr("read")();
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        record = wr::import_attr("json", "loads")(data);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileNotFoundError)) return py::none();
        if (!e.matches(PyExc_ValueError)) throw;
        wr::log_warning({"unreadable page store ", where, ": ", e.value()});
        return py::none();
    }
    if (!PyDict_Check(record.ptr()) || !record.contains("version") ||
        !py::object(record["version"]).equal(py::int_(kVersion)) ||
        !record.contains("id") || !py::object(record["id"]).equal(py::repr(id))) {
        wr::log_warning({"page store ", where, " is not this document's; ignored"});
        return py::none();
    }
    return record;
}

// ---- finding passages ---------------------------------------------------------

struct Source {
    std::vector<ps::Page> pages;
    std::vector<py::object> numbers;  // the stored page numbers (int or None)
};

Source source_of(py::handle record) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    Source s;
    for (py::handle page : record["pages"]) {
        s.pages.push_back(ps::make_page(wr::to_u32(page["text"]), wr::to_u32(page["terms"]), cc));
        s.numbers.push_back(py::object(page["page"]));
    }
    return s;
}

ps::Terms terms_from(py::handle weights) {
    ps::Terms t;
    for (auto item : py::reinterpret_borrow<py::dict>(weights)) {
        const double w = PyFloat_AsDouble(item.second.ptr());
        if (w == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        t.add(wr::to_u32(item.first), w);
    }
    return t;
}

py::dict shown(const Source& s, const ps::Window& w, const ps::Terms& terms) {
    ps::Passage p = ps::render(s.pages[w.page], w, terms);
    py::list marks;
    for (const auto& [b, e] : p.marks) {
        py::list mark;
        mark.append(b);
        mark.append(e);
        marks.append(mark);
    }
    py::dict out;
    out["page"] = s.numbers[w.page];
    out["text"] = wr::from_u32(p.text);
    out["marks"] = marks;
    return out;
}

py::list find(py::object record, py::dict weights, std::size_t count, std::size_t words) {
    const Source s = source_of(record);
    const ps::Terms terms = terms_from(weights);
    std::vector<ps::Window> best;
    {
        py::gil_scoped_release unlocked;  // plain data from here to the rendering
        best = ps::best_windows(s.pages, terms, words, count);
        // Nothing matched (a stale store, a query of stopwords): the opening
        // words, so a hit always shows something.
        if (best.empty() && count > 0) {
            for (std::size_t p = 0; p < s.pages.size(); ++p) {
                if (s.pages[p].words.empty()) continue;
                best.push_back(ps::Window{p, 0, std::min(words, s.pages[p].words.size())});
                break;
            }
        }
    }
    py::list out;
    for (const ps::Window& w : best) out.append(shown(s, w, terms));
    return out;
}

py::list candidates(py::object record, py::dict weights, std::size_t limit, std::size_t words) {
    const Source s = source_of(record);
    const ps::Terms terms = terms_from(weights);
    py::list out;
    for (const ps::Window& w : ps::tiled_windows(s.pages, terms, words, limit))
        out.append(shown(s, w, terms));
    return out;
}

}  // namespace

PYBIND11_MODULE(Pagekeep, m) {
    wr::this_module() = m;
    m.def("path", &path, py::arg("modeldir"), py::arg("id"),
          "Where the pages of the document `id` are kept.");
    m.def("keep", &keep, py::arg("modeldir"), py::arg("doc"),
          "Write (atomically) the pages of a filed document and their terms; "
          "the path, or None for a document without text.");
    m.def("forget", &forget, py::arg("modeldir"), py::arg("id"),
          "Remove the kept pages of `id`; whether there were any.");
    m.def("read", &read_record, py::arg("modeldir"), py::arg("id"),
          "The kept record of `id`, or None.");
    m.def("terms", &terms, py::arg("text"), py::arg("language") = py::none(),
          "The engine's term of each word of `text`, blank-separated, '-' for a dropped word.");
    m.def("find", &find, py::arg("record"), py::arg("weights"), py::arg("count") = 3,
          py::arg("words") = 40,
          "Up to `count` passages of `words` words, one per page, best first, that hold "
          "the weighted terms; the opening words when none does.");
    m.def("candidates", &candidates, py::arg("record"), py::arg("weights"), py::arg("limit") = 16,
          py::arg("words") = 40,
          "Consecutive passages of `words` words, those holding the most terms first.");
}
