// What the ranked search needs of a document beyond the stored model: the
// terms of the words its dashes and slashes join (the stored text holds
// "large-deflection" as the one term "largedeflect"), and the language it
// was stemmed in where that is not its detected language (a document
// translated without detection is filed unstemmed).
//
// Kept in memory as the engine's `_split_terms`, {id: (fingerprint of the
// stored cleaned text, stemming language code or None, terms)}, for the
// documents that need an entry, and stored beside the model as
// td_split_terms.pkl, written under the model's lock just before the model
// itself. An entry counts only while the model holds exactly the text it was
// made for, so a writer killed between the two files, or one that does not
// know this file, costs those documents their split words (they are still
// found by their stored terms), never a wrong answer. An index none of whose
// documents needs an entry has no such file.
#include <string>
#include <vector>

#include "atomicfile.hpp"
#include "bm25.hpp"
#include "finderytd.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"

namespace finderytd {

namespace {

constexpr const char* kAttr = "_split_terms";
constexpr const char* kFileName = "td_split_terms.pkl";
constexpr int kFormat = 1;

py::object split_path(py::handle engine) {
    py::object path = wr::import("os").attr("path");
    return path.attr("join")(path.attr("dirname")(engine.attr("model_filename")), kFileName);
}

// The language a document was stemmed in: its detected language when the
// document detected it (File's stemming step), none otherwise. A host's own
// document object without the flag is taken as stemmed in its language.
std::string stemmed_in(py::handle doc) {
    py::object language = py::getattr(doc, "detected_language", py::none());
    py::object detect = py::getattr(doc, "is_detect_language", py::none());
    if (!detect.is_none() && !wr::truthy(detect)) return "";
    return stemming_code(language);
}

}  // namespace

py::dict split_terms(py::handle engine) {
    py::object held = py::getattr(engine, wr::name(kAttr), py::none());
    if (py::isinstance<py::dict>(held)) return held;
    py::dict fresh;
    engine.attr(kAttr) = fresh;
    return fresh;
}

std::u32string split_terms_of(py::handle text, const std::string& code) {
    if (!PyUnicode_Check(text.ptr())) return {};
    const std::u32string raw = wr::to_u32(text);
    bool joined = false;
    for (char32_t c : raw) joined = joined || wr::bm25::is_joiner(c);
    if (!joined) return {};
    std::u32string out;
    for (const wr::bm25::Piece& piece : wr::bm25::pieces_of(folded(text), wr::host_char_classes())) {
        for (const std::u32string& part : piece.parts) {
            std::u32string term = term_of(part, code);
            if (term.empty()) continue;
            if (!out.empty()) out.push_back(U' ');
            out += term;
        }
    }
    return out;
}

py::object split_entry(py::handle doc) {
    const std::string code = stemmed_in(doc);
    const std::u32string terms = split_terms_of(py::getattr(doc, "text", py::none()), code);
    py::object detected = py::getattr(doc, "detected_language", py::none());
    const bool other_language = code != stemming_code(detected);
    py::object cleaned = doc.attr("cleaned_text");
    if ((terms.empty() && !other_language) || !PyUnicode_Check(cleaned.ptr())) return py::none();
    const std::uint64_t print = wr::bm25::fingerprint(wr::to_u32(cleaned));
    return py::make_tuple(py::int_(print), code.empty() ? py::object(py::none()) : py::str(code),
                          wr::from_u32(terms));
}

void set_split_entry(py::handle engine, py::handle id, py::handle entry) {
    py::dict entries = split_terms(engine);
    if (!entry.is_none()) entries[id] = entry;
    else if (entries.contains(id)) entries.attr("__delitem__")(id);
}

void reset_split_terms(py::handle engine) { engine.attr(kAttr) = py::dict(); }

void read_split_terms(py::handle engine) {
    py::dict entries;
    py::object path = split_path(engine);
    if (wr::truthy(wr::import_attr("os.path", "exists")(path))) {
        try {
            py::object stored = wr::import("pickle").attr("loads")(
                wr::import("pathlib").attr("Path")(path).attr("read_bytes")());
            if (py::isinstance<py::dict>(stored) &&
                py::dict(stored).contains("format") &&
                py::object(stored[py::str("format")]).equal(py::int_(kFormat)) &&
                py::isinstance<py::dict>(stored[py::str("documents")]))
                entries = stored[py::str("documents")];
            else
                wr::log_warning({"td--", path, " is not in a known format; split words not used"});
        } catch (py::error_already_set& e) {
            // Damaged: the documents are still found by their stored terms.
            if (!e.matches(PyExc_Exception)) throw;
            wr::log_warning({"td--", path, " could not be read (", e.value(), "); split words not used"});
        }
    }
    engine.attr(kAttr) = entries;
}

void write_split_terms(py::handle engine) {
    py::dict entries = split_terms(engine);
    py::dict kept;
    for (py::handle id : engine.attr("document_names"))
        if (entries.contains(id)) kept[id] = entries[id];
    engine.attr(kAttr) = kept;
    py::object path = split_path(engine);
    py::object os = wr::import("os");
    if (kept.empty()) {
        if (wr::truthy(os.attr("path").attr("exists")(path))) os.attr("remove")(path);
        return;
    }
    py::dict stored;
    stored["format"] = py::int_(kFormat);
    stored["documents"] = kept;
    py::bytes data = wr::import("pickle").attr("dumps")(stored, py::arg("protocol") = 5);
    wr::replace_file_with(path, [&](py::handle tmp) {
        wr::import("pathlib").attr("Path")(tmp).attr("write_bytes")(data);
    });
}

}  // namespace finderytd
