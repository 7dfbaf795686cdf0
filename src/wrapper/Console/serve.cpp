// `wrapper serve`: a local web site over an index. The HTTP layer is
// waitress (a WSGI server from PyPI); the application it calls is the `Site`
// below, so routing, the checks on what a request names, the pages and the
// answers are all computed here and in the plain page code (webpage.cpp).
//
// Nothing a request says reaches the file system on its own: a document is
// looked up by its exact name among the index's documents, and only then is
// its file found under a folder the index was built from.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "console.hpp"
#include "modelstore.hpp"
#include "pyutil.hpp"
#include "webpage.hpp"

namespace console {

namespace web = wr::web;

namespace {

constexpr long kDefaultPerPage = 10;
constexpr long kMaxPerPage = 100;
// A result page is cut from the ranking's head; deeper pages are refused
// rather than ranking ever longer lists.
constexpr long kMaxRank = 100000;
constexpr int kPassagesPerHit = 3;
constexpr std::size_t kLoggedPath = 200;
constexpr long kThumbWidth = 240;
constexpr long kPageWidth = 1000;
// Rendered page images kept in memory, by size in bytes.
constexpr long kImageCacheBytes = 64L << 20;
// The most pixels one rendered page may have: a page of an extreme shape
// (a long strip, say) is scaled down to it rather than rendered at the
// readable width, which for a 3 x 14400 pt page would ask for gigabytes.
constexpr double kMaxPixels = 16e6;

// A request the site refuses: its status and one sentence for the log and
// the answer.
struct Refusal {
    int status;
    std::string message;
};

// Host text from bytes that came from a request or a file name; bytes that
// are not UTF-8 survive as the host's file names keep them.
py::str text_of(const std::string& bytes) {
    PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                       "surrogateescape");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

std::string bytes_of(py::handle text) {
    return py::str(text).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
}

std::string code_of(py::handle language) {
    if (language.is_none()) return "";
    if (py::hasattr(language, "value")) return bytes_of(language.attr("value"));
    return bytes_of(py::str(language));
}

py::object os_path() { return wr::import_attr("os", "path"); }

std::string lower_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

enum class Kind { Pdf, Image, Video };

Kind kind_of(const std::string& name) {
    auto ends = [&](const char* s) {
        const std::string suffix(s);
        return name.size() >= suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (ends(".mp4")) return Kind::Video;
    if (ends(".jpg") || ends(".jpeg") || ends(".png")) return Kind::Image;
    return Kind::Pdf;
}

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Pdf: return "PDF";
        case Kind::Image: return "image";
        case Kind::Video: return "video";
    }
    return "PDF";
}

long parse_number(const std::string& text, long low, long high, const char* what) {
    long value = 0;
    bool ok = !text.empty() && text.size() <= 9;
    for (char c : text) ok = ok && c >= '0' && c <= '9';
    if (ok) value = std::stol(text);
    if (!ok || value < low || value > high)
        throw Refusal{400, std::string(what) + " must be a whole number from " + std::to_string(low) +
                               " to " + std::to_string(high)};
    return value;
}

}  // namespace

namespace {

// The folders documents may come from: those recorded by `wrapper index`,
// the one given on the command line, and the base itself (a host filing
// through the library names documents by their path under the base).
py::list source_folders(py::handle base, py::handle root) {
    py::list folders = recorded_folders(base);
    if (!root.is_none()) folders.append(os_path().attr("abspath")(root));
    folders.append(os_path().attr("abspath")(base));
    return folders;
}

// The file behind an index's document name, or None. Whatever road the name
// takes (from the home folder, or a plain relative path under a source
// folder), the file must really lie inside one of the source folders, links
// resolved, so no name leads anywhere else.
py::object indexed_file(const py::list& folders, py::handle home, py::handle name) {
    const std::string text = bytes_of(name);
    if (text.empty() || text.front() == '/' || text.find('\0') != std::string::npos) return py::none();
    py::object path = os_path();
    py::object sep = wr::import_attr("os", "sep");
    auto inside = [&](py::handle real) {
        if (!wr::truthy(path.attr("isfile")(real))) return false;
        for (py::handle folder : folders)
            if (wr::truthy(real.attr("startswith")(path.attr("realpath")(folder) + sep))) return true;
        return false;
    };
    if (!home.is_none()) {
        py::object real = path.attr("realpath")(path.attr("join")(home, name));
        if (inside(real)) return real;
    }
    if (!web::is_plain_relative(text)) return py::none();
    for (py::handle folder : folders) {
        py::object real = path.attr("realpath")(path.attr("join")(folder, name));
        if (inside(real)) return real;
    }
    return py::none();
}

}  // namespace

// ---- the site ----------------------------------------------------------------

class Site {
public:
    Site(py::object base, py::object root, py::object allowed_hosts)
        : base_(std::move(base)), root_(std::move(root)) {
        for (py::handle host : allowed_hosts) allowed_hosts_.push_back(lower_ascii(bytes_of(host)));
        // The machine's own name, read once (no name service asked).
        allowed_hosts_.push_back(lower_ascii(bytes_of(wr::import_attr("socket", "gethostname")())));
        open_index(true);
    }

    py::object call(py::object environ, py::object start_response);

private:
    // (Re)reads what the index is: its note, its folders, a fresh engine;
    // whatever was computed from the index before is dropped. At start an
    // absent index is an error; later it is a refusal of each request.
    void open_index(bool at_start);
    // Opens the index again when a writer (`wrapper index`, `remove`, a
    // host) changed it since it was opened.
    void follow_index();
    bool host_allowed(const std::string& host) const;

    struct Answer {
        int status = 200;
        std::string type = "text/html; charset=utf-8";
        std::string body;
        bool cacheable = false;
        std::string reason;  // for a refusal, what the log says
    };

    Answer route(const std::string& method, const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& query, bool& json);
    py::dict search(const std::vector<std::pair<std::string, std::string>>& query);
    Answer search_page(const std::vector<std::pair<std::string, std::string>>& query);
    py::dict locate(const std::string& id);
    py::dict document(const std::string& id);
    Answer document_page(const std::string& id, const std::vector<std::pair<std::string, std::string>>& query);
    Answer page_image(const std::string& id, long page, bool thumbnail);
    py::list passages(py::handle hit, py::handle query, py::handle language);
    bool in_index(py::handle name);
    py::object language_of(py::handle name);

    py::object base_;
    py::object root_;
    std::vector<std::string> allowed_hosts_;
    py::object stored_ = py::none();  // the engine's stored model as opened (modelstore)
    std::string files_stamp_;         // the note and the folder list as last read
    py::object engine_;
    py::object process_;
    py::list folders_;
    py::object home_;
    py::object images_;     // (id, page, thumbnail, mtime) -> PNG bytes, oldest first
    long image_bytes_ = 0;
    py::dict located_;      // id -> its file, mtime and page count
    py::dict documents_;    // id -> (mtime, what the document view shows)
};

namespace {

std::string param(const std::vector<std::pair<std::string, std::string>>& query, const char* name) {
    for (const auto& [key, value] : query)
        if (key == name) return value;
    return "";
}

// A passage as pieces, marked where the words matched: `marks` holds
// (start, end) offsets into the text, in characters.
std::vector<web::Segment> segments_of(py::handle passage) {
    std::vector<web::Segment> out;
    if (passage.is_none()) return out;
    py::str text = passage[py::str("text")];
    const Py_ssize_t length = py::len(text);
    Py_ssize_t at = 0;
    for (py::handle mark : passage[py::str("marks")]) {
        auto span = wr::unpack(mark, 2);
        Py_ssize_t start = std::max(at, std::min(length, wr::to_ssize(span[0])));
        Py_ssize_t end = std::max(start, std::min(length, wr::to_ssize(span[1])));
        if (start > at) out.push_back({bytes_of(text[py::slice(at, start, 1)]), false});
        if (end > start) out.push_back({bytes_of(text[py::slice(start, end, 1)]), true});
        at = end;
    }
    if (at < length) out.push_back({bytes_of(text[py::slice(at, length, 1)]), false});
    return out;
}

// The term engine calls the score "Pontuação", the embedding one "Score".
py::object score_value(py::handle hit) {
    return hit.contains(py::str("Score")) ? hit[py::str("Score")] : hit[py::str("Pontuação")];
}

}  // namespace

namespace {

// What the small files of the index look like on disk (inode, time, size),
// so that a change of either shows.
std::string stamp_of(py::handle base) {
    py::object os = wr::import("os");
    std::string stamp;
    for (const char* file : {"/models/index.json", "/models/folders.json"}) {
        try {
            py::object st = os.attr("stat")(wr::cat({base, file}));
            stamp += bytes_of(py::str(py::make_tuple(st.attr("st_ino"), st.attr("st_mtime_ns"),
                                                     st.attr("st_size"))));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
            stamp += "-";
        }
        stamp += ";";
    }
    return stamp;
}

py::str model_file(py::handle base, py::handle engine) {
    return wr::cat({base, engine.equal(py::str("sb")) ? "/models/sb_model.pkl" : "/models/td_model.pkl"});
}

}  // namespace

void Site::open_index(bool at_start) {
    const std::string stamp = stamp_of(base_);
    IndexNote note = read_note(base_);
    if (note.engine.is_none()) {
        if (at_start)
            wr::raise(PyExc_FileNotFoundError,
                      {"no index at ", base_, " (run 'wrapper index' first)"});
        throw Refusal{503, "the index is gone from its folder (run 'wrapper index' again)"};
    }
    // Opened before the engine reads it: a writer that replaces it in
    // between only costs one more reading.
    py::object stored = wr::open_stored(model_file(base_, note.engine));
    const bool sb = note.engine.equal(py::str("sb"));
    py::object process = make_process(base_, note.detect && sb, note.engine, note.translate_to);
    engine_ = note.engine;
    process_ = process;
    folders_ = source_folders(base_, root_);
    home_ = note.home;
    images_ = wr::import_attr("collections", "OrderedDict")();
    image_bytes_ = 0;
    located_ = py::dict();
    documents_ = py::dict();
    stored_ = stored;
    files_stamp_ = stamp;
}

void Site::follow_index() {
    if (wr::still_stored(stored_, model_file(base_, engine_)) && stamp_of(base_) == files_stamp_)
        return;
    wr::log_info({"serve: the index at ", base_, " changed; reading it again"});
    open_index(false);
}

// DNS rebinding: a page of any site can make the browser send requests to
// this server under that site's own name, and read the answers. A request
// is answered only when its Host names this machine the way only this
// machine can be named: an address (a rebinding needs a name), "localhost",
// the machine's own name, or a name the server was told to answer to.
bool Site::host_allowed(const std::string& header) const {
    if (header.empty()) return true;  // HTTP/1.0 without a Host: no browser
    std::string host = lower_ascii(header);
    if (host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) return false;
        host = host.substr(1, close - 1);
        return !host.empty() && host.find_first_not_of("0123456789abcdef:.") == std::string::npos;
    }
    const auto colon = host.rfind(':');
    if (colon != std::string::npos) host = host.substr(0, colon);
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (host.empty()) return false;
    bool address = true;
    for (char c : host) address = address && ((c >= '0' && c <= '9') || c == '.');
    if (address) return true;
    if (host == "localhost" ||
        (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0))
        return true;
    for (const auto& allowed : allowed_hosts_)
        if (host == allowed) return true;
    return false;
}

bool Site::in_index(py::handle name) {
    py::object engine = process_.attr("document_search");
    if (py::hasattr(engine, "load_model")) engine.attr("load_model")();
    py::object names = engine.attr("document_names");
    if (names.is_none()) return false;
    if (py::isinstance<py::dict>(names)) {
        for (auto item : py::dict(names))
            if (wr::contains(item.second, name)) return true;
        return false;
    }
    return wr::contains(names, name);
}

py::object Site::language_of(py::handle name) {
    py::object engine = process_.attr("document_search");
    py::object languages = py::getattr(engine, "detected_languages", py::none());
    if (py::isinstance<py::dict>(languages) && wr::contains(languages, name))
        return languages[name];
    py::object names = engine.attr("document_names");
    // The embedding engine files documents per language key.
    if (py::isinstance<py::dict>(names))
        for (auto item : py::dict(names))
            if (wr::contains(item.second, name) && !py::str(item.first).equal(py::str("main")))
                return py::reinterpret_borrow<py::object>(item.first);
    return py::none();
}

// The best passages of a hit (its best page first); empty when the library
// finds none.
py::list Site::passages(py::handle hit, py::handle query, py::handle language) {
    return process_.attr("passages")(hit, query, language, kPassagesPerHit);
}

py::dict Site::search(const std::vector<std::pair<std::string, std::string>>& query) {
    const std::string q_bytes = param(query, "q");
    PyObject* decoded = PyUnicode_DecodeUTF8(q_bytes.data(), static_cast<Py_ssize_t>(q_bytes.size()), "strict");
    if (!decoded) {
        PyErr_Clear();
        throw Refusal{400, "the query is not UTF-8 text"};
    }
    py::str q = py::reinterpret_steal<py::str>(decoded);
    const std::string lang = param(query, "lang");
    if (!lang.empty() && lang != "en" && lang != "es" && lang != "pt")
        throw Refusal{400, "lang must be en, es or pt (or absent to detect it)"};
    const std::string page_text = param(query, "page"), per_page_text = param(query, "per_page");
    const long page = page_text.empty() ? 1 : parse_number(page_text, 1, kMaxRank, "page");
    const long per_page = per_page_text.empty() ? kDefaultPerPage
                                                : parse_number(per_page_text, 1, kMaxPerPage, "per_page");
    if (page * per_page > kMaxRank)
        throw Refusal{400, "page is past the first " + std::to_string(kMaxRank) + " results"};
    if (!wr::truthy(q.attr("strip")())) throw Refusal{400, "the query is empty"};

    py::object language = lang.empty() ? py::none() : language_member(py::str(lang));
    // The head of the ranking up to this page and one more hit, which says
    // whether a next page exists without a second search.
    py::dict out;
    out["query"] = q;
    out["language"] = lang.empty() ? py::object(py::none()) : py::object(py::str(lang));
    out["page"] = page;
    out["per_page"] = per_page;
    out["corrected"] = py::none();
    out["searched"] = py::none();
    py::list hits;
    out["hits"] = hits;
    out["has_next"] = false;
    out["languages"] = py::none();
    py::object result;
    // A query whose language cannot be told (or that the index holds no
    // documents in) is searched in the languages the index holds.
    Searched searched;
    try {
        searched = search_any_language(process_, q, language, py::int_(1), py::int_(page * per_page + 1));
        result = searched.result;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        if (no_searchable_words(e)) {
            out["note"] = py::str(kNoSearchableWords);
            return out;
        }
        py::object re = wr::import("re");
        py::str why(e.value());
        // The embedding engine has a model per language it was filled with.
        py::object missing = re.attr("fullmatch")("without model or documents for language (.*)", why);
        if (missing.is_none()) throw;
        // An index that holds nothing yet finds nothing, in any language.
        if (holds_nothing(process_)) return out;
        throw Refusal{422, "no documents in the query's language (" + bytes_of(missing.attr("group")(1)) +
                               "); choose another"};
    }
    out["languages"] = searched.languages.empty() ? py::object(py::none()) : py::object(searched.languages);
    if (!wr::truthy(result)) return out;  // nothing filed yet
    auto parts = wr::unpack(result, 2);
    py::list ranked(parts[1]);
    out["searched"] = parts[0];

    const long first = (page - 1) * per_page;
    const long count = static_cast<long>(py::len(ranked));
    for (long i = first; i < count && i < first + per_page; ++i) {
        py::object hit = ranked[py::int_(i)];
        py::object name = hit[py::str("name")];
        py::object hit_language = searched.language.is_none() ? language_member(hit[py::str("language")])
                                                              : searched.language;
        py::list all = passages(hit, q, hit_language);
        py::object found = all.empty() ? py::object(py::none()) : py::object(all[0]);
        py::dict item;
        item["id"] = name;
        item["language"] = py::str(code_of(hit[py::str("language")]));
        item["score"] = py::float_(score_value(hit));
        item["page"] = found.is_none() ? py::object(py::none()) : found[py::str("page")];
        item["passage"] = found;
        item["passages"] = all;
        const std::string id = bytes_of(name);
        item["document"] = py::str(web::document_url(id));
        const long best = found.is_none() || found[py::str("page")].is_none()
            ? 1 : static_cast<long>(wr::to_ssize(found[py::str("page")]));
        item["thumbnail"] = py::str(web::page_image_url(id, best, true));
        hits.append(item);
    }
    out["has_next"] = count > first + per_page;
    // Correction, as a reader takes it in: the query with the corrected
    // words written as the found documents write them.
    if (!searched.language.is_none())
        out["corrected"] = process_.attr("did_you_mean")(q, ranked[py::slice(first, first + per_page, 1)],
                                                         searched.language);
    return out;
}

Site::Answer Site::search_page(const std::vector<std::pair<std::string, std::string>>& query) {
    web::SearchView view;
    view.query = param(query, "q");
    view.language = param(query, "lang");
    if (view.language != "en" && view.language != "es" && view.language != "pt") view.language.clear();
    Answer answer;
    if (view.query.find_first_not_of(" \t\r\n") == std::string::npos) {
        answer.body = web::render_search(view);
        return answer;
    }
    view.searched = true;
    try {
        py::dict found = search(query);
        view.page = wr::to_ssize(found["page"]);
        view.per_page = wr::to_ssize(found["per_page"]);
        view.has_next = wr::truthy(found["has_next"]);
        if (!found["corrected"].is_none()) view.corrected = bytes_of(found["corrected"]);
        if (found.contains("note")) view.message = bytes_of(found["note"]);
        for (py::handle item : py::list(found["hits"])) {
            web::HitView hit;
            hit.id = bytes_of(item["id"]);
            hit.language = bytes_of(item["language"]);
            hit.score = bytes_of(py::str("{:.4f}").attr("format")(item["score"]));
            py::object p = item["page"];
            hit.page = p.is_none() ? 0 : static_cast<long>(wr::to_ssize(p));
            hit.passage = segments_of(item["passage"]);
            hit.reindex = !item["passage"].is_none() && wr::truthy(item["passage"].attr("get")("reindex", false));
            view.hits.push_back(std::move(hit));
        }
    } catch (Refusal& refusal) {
        view.message = refusal.message;
        answer.status = refusal.status;
        answer.reason = refusal.message;
    }
    answer.body = web::render_search(view);
    return answer;
}

// Where a document's file is and how many pages it has; the cheap part
// that page images need, kept per file version.
py::dict Site::locate(const std::string& id) {
    py::str name = text_of(id);
    if (!in_index(name)) throw Refusal{404, "no such document in the index"};
    py::object file = indexed_file(folders_, home_, name);
    if (file.is_none())
        throw Refusal{404, "the document's file is not under a folder this index was built from "
                           "(give it with --root)"};
    py::object mtime = wr::import_attr("os", "stat")(file).attr("st_mtime_ns");
    if (located_.contains(name)) {
        py::dict kept = located_[name];
        if (py::object(kept["mtime"]).equal(mtime)) return kept;
    }
    const Kind kind = kind_of(id);
    long pages = 1;
    if (kind == Kind::Pdf) {
        py::object pdf = wr::import_as_held("fitz").attr("open")(file);
        pages = static_cast<long>(py::len(pdf));
        pdf.attr("close")();
    } else if (kind == Kind::Video) {
        py::object cv2 = wr::import_as_held("cv2");
        py::object capture = cv2.attr("VideoCapture")(file);
        pages = std::max<long>(1, py::int_(capture.attr("get")(cv2.attr("CAP_PROP_FRAME_COUNT"))).cast<long>());
        capture.attr("release")();
    }
    py::dict where;
    where["name"] = name;
    where["file"] = file;
    where["mtime"] = mtime;
    where["pages"] = pages;
    located_[name] = where;
    return where;
}

// What the document view shows, computed once per file version.
py::dict Site::document(const std::string& id) {
    py::dict where = locate(id);
    py::object name = where["name"], file = where["file"], mtime = where["mtime"];
    if (documents_.contains(name)) {
        py::tuple kept = documents_[name];
        if (py::object(kept[0]).equal(mtime)) return kept[1];
    }
    const Kind kind = kind_of(id);
    const long pages = static_cast<long>(wr::to_ssize(where["pages"]));
    // The library keeps each document's pages beside the index; a PDF's
    // own text layer stands in for a document filed before it did.
    py::object text = py::none();
    py::object kept = wr::import_attr("wrapper.core.Pagekeep", "read")(process_.attr("modeldir"), name);
    if (!kept.is_none()) {
        py::list texts;
        for (py::handle page : kept[py::str("pages")]) texts.append(page[py::str("text")]);
        text = py::str("\n").attr("join")(texts);
    }
    if (text.is_none() && kind == Kind::Pdf) {
        py::object pdf = wr::import_as_held("fitz").attr("open")(file);
        py::list texts;
        for (long p = 0; p < pages; ++p) texts.append(pdf[py::int_(p)].attr("get_text")());
        pdf.attr("close")();
        text = py::str("\n").attr("join")(texts);
    }

    py::dict info;
    info["id"] = name;
    info["kind"] = py::str(kind_name(kind));
    info["pages"] = pages;
    py::object language = language_of(name);
    info["language"] = language.is_none() ? py::object(py::none()) : py::object(py::str(code_of(language)));
    py::list entities, keywords, abstract;
    info["text_note"] = py::none();
    if (text.is_none() || !wr::truthy(py::str(text).attr("strip")())) {
        info["text_note"] = py::str("(no text kept for this document: re-index it to see its abstract)");
    } else {
        for (py::handle pair : wr::import_attr("wrapper.infra.Namepick", "extract_named_entities")(text)) {
            auto both = wr::unpack(pair, 2);
            entities.append(py::make_tuple(both[0], both[1]));
        }
        py::object nltk_name = py::str("portuguese");
        if (!language.is_none())
            nltk_name = wr::import_attr("wrapper.infra.Idiomark", "Idiomark").attr("get_nltk_language")(
                language_member(py::str(code_of(language))));
        py::object precisor = wr::import("wrapper.infra.Precisor");
        try {
            py::list sentences = precisor.attr("summarize")(text, py::arg("split") = true,
                                                            py::arg("language") = nltk_name);
            for (py::handle s : sentences) {
                if (py::len(abstract) == 3) break;
                abstract.append(s);
            }
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;  // one sentence only
        }
        keywords = precisor.attr("keywords")(text, py::arg("words") = 10, py::arg("split") = true,
                                             py::arg("lemmatize") = true, py::arg("language") = nltk_name);
    }
    info["entities"] = entities;
    info["abstract"] = py::str(" ").attr("join")(abstract);
    info["keywords"] = keywords;

    // Objects: images and videos only, and only once the weights are there.
    info["objects"] = py::none();
    info["objects_note"] = py::none();
    if (kind != Kind::Pdf) {
        py::object spotter = wr::import("wrapper.infra.Picspotter");
        py::object weights = os_path().attr("join")(os_path().attr("dirname")(spotter.attr("__file__")),
                                                    "res/yolov3.weights");
        if (!wr::truthy(os_path().attr("isfile")(weights))) {
            info["objects_note"] = py::str("(not detected: the YOLOv3 weights are not installed; "
                                           "'wrapper fetch-weights' downloads them)");
        } else {
            py::list objects;
            py::object found = kind == Kind::Image
                ? spotter.attr("identify_objects_in_image")(file)
                : wr::import_attr("wrapper.infra.Reelspotter", "identify_objects_in_video")(file);
            py::list pairs;
            if (kind == Kind::Image) {
                pairs = found;
            } else {
                for (py::handle frame : found)
                    for (py::handle pair : frame) pairs.append(pair);
            }
            py::set seen;
            for (py::handle pair : pairs) {
                auto both = wr::unpack(pair, 2);
                if (seen.contains(both[0])) continue;
                seen.add(both[0]);
                objects.append(both[0]);
            }
            info["objects"] = objects;
        }
    }
    documents_[name] = py::make_tuple(mtime, info);
    return info;
}

Site::Answer Site::document_page(const std::string& id,
                                 const std::vector<std::pair<std::string, std::string>>& query) {
    py::dict info = document(id);
    web::DocumentView view;
    view.id = id;
    view.kind = bytes_of(info["kind"]);
    view.language = info["language"].is_none() ? "" : bytes_of(info["language"]);
    view.pages = static_cast<long>(wr::to_ssize(info["pages"]));
    const std::string page = param(query, "page");
    view.page = page.empty() ? 1 : parse_number(page, 1, view.pages, "page");
    for (py::handle pair : py::list(info["entities"])) {
        auto both = wr::unpack(pair, 2);
        view.entities.emplace_back(bytes_of(both[0]), bytes_of(both[1]));
    }
    view.abstract = bytes_of(info["abstract"]);
    for (py::handle k : py::list(info["keywords"])) view.keywords.push_back(bytes_of(k));
    if (!info["objects"].is_none())
        for (py::handle o : py::list(info["objects"])) view.objects.push_back(bytes_of(o));
    if (!info["objects_note"].is_none()) view.objects_note = bytes_of(info["objects_note"]);
    if (!info["text_note"].is_none()) view.text_note = bytes_of(info["text_note"]);
    Answer answer;
    answer.body = web::render_document(view);
    return answer;
}

namespace {

// The scale that brings a page of w x h to `width`, or less when that
// would pass the pixel cap; a page with no area gets the plain scale. The
// renderers round each side up, so the cap holds for (wz + 1)(hz + 1).
double scale_for(double width, double w, double h) {
    if (!(w > 0) || !(h > 0)) return 1.0;
    const double plain = width / w;
    const double a = w * h, b = w + h, c = 1.0 - kMaxPixels;
    const double capped = (-b + std::sqrt(b * b - 4.0 * a * c)) / (2.0 * a);
    return std::min(plain, capped);
}

}  // namespace

// A page of a document as PNG: a PDF page, the image itself, or a video
// frame, scaled to a thumbnail or a readable width. Kept in memory.
Site::Answer Site::page_image(const std::string& id, long page, bool thumbnail) {
    py::dict where = locate(id);
    const long pages = static_cast<long>(wr::to_ssize(where["pages"]));
    if (page < 1 || page > pages)
        throw Refusal{404, "the document has " + std::to_string(pages) + (pages == 1 ? " page" : " pages")};
    py::object file = where["file"];
    py::object key = py::make_tuple(where["name"], page, thumbnail, where["mtime"]);
    Answer answer;
    answer.type = "image/png";
    answer.cacheable = true;
    if (wr::contains(images_, key)) {
        images_.attr("move_to_end")(key);
        answer.body = py::bytes(images_[key]).cast<std::string>();
        return answer;
    }
    const double width = static_cast<double>(thumbnail ? kThumbWidth : kPageWidth);
    py::bytes png;
    const Kind kind = kind_of(id);
    if (kind == Kind::Pdf) {
        py::object fitz = wr::import_as_held("fitz");
        py::object pdf = fitz.attr("open")(file);
        try {
            py::object sheet = pdf[py::int_(page - 1)];
            const double w = py::float_(sheet.attr("rect").attr("width")).cast<double>();
            const double h = py::float_(sheet.attr("rect").attr("height")).cast<double>();
            const double zoom = scale_for(width, w, h);
            py::object matrix = fitz.attr("Matrix")(zoom, zoom);
            png = sheet.attr("get_pixmap")(py::arg("matrix") = matrix, py::arg("alpha") = false)
                      .attr("tobytes")("png");
        } catch (py::error_already_set&) {
            pdf.attr("close")();
            throw;
        }
        pdf.attr("close")();
    } else {
        py::object cv2 = wr::import_as_held("cv2");
        py::object frame;
        if (kind == Kind::Image) {
            frame = cv2.attr("imread")(file);
        } else {
            py::object capture = cv2.attr("VideoCapture")(file);
            capture.attr("set")(cv2.attr("CAP_PROP_POS_FRAMES"), page - 1);
            py::object read = capture.attr("read")();
            capture.attr("release")();
            frame = wr::truthy(read[py::int_(0)]) ? py::object(read[py::int_(1)]) : py::object(py::none());
        }
        if (frame.is_none()) throw Refusal{404, "the page could not be read from the file"};
        py::tuple shape = frame.attr("shape");
        const double w = py::int_(shape[1]).cast<double>(), h = py::int_(shape[0]).cast<double>();
        const double scale = scale_for(width, w, h);
        frame = cv2.attr("resize")(frame, py::make_tuple(std::max(1L, static_cast<long>(w * scale)),
                                                         std::max(1L, static_cast<long>(h * scale))));
        png = cv2.attr("imencode")(".png", frame)[py::int_(1)].attr("tobytes")();
    }
    answer.body = png.cast<std::string>();
    images_[key] = png;
    image_bytes_ += static_cast<long>(answer.body.size());
    while (image_bytes_ > kImageCacheBytes && py::len(images_) > 1) {
        py::tuple oldest = images_.attr("popitem")(py::arg("last") = false);
        image_bytes_ -= static_cast<long>(py::len(oldest[1]));
    }
    return answer;
}

Site::Answer Site::route(const std::string& method, const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& query, bool& json) {
    auto starts = [&](const char* prefix) { return path.rfind(prefix, 0) == 0; };
    json = starts("/api/");
    if (method != "GET" && method != "HEAD") throw Refusal{405, "only GET is served"};
    if (path == "/" || path == "/search") return search_page(query);
    if (starts("/documents/")) return document_page(path.substr(11), query);
    if (path == "/api/search") {
        py::dict found = search(query);
        Answer answer;
        answer.type = "application/json";
        answer.body = bytes_of(wr::import_attr("json", "dumps")(found));
        return answer;
    }
    if (starts("/api/documents/")) {
        py::dict info = document(path.substr(15));
        py::dict shown = info.attr("copy")();
        shown.attr("pop")("objects_note");
        Answer answer;
        answer.type = "application/json";
        answer.body = bytes_of(wr::import_attr("json", "dumps")(shown));
        return answer;
    }
    if (starts("/api/pages/")) {
        // /api/pages/<id>/<n>.png, where the id may itself hold slashes.
        const std::string rest = path.substr(11);
        const std::size_t slash = rest.rfind('/');
        const std::string file = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (slash == std::string::npos || file.size() <= 4 || file.compare(file.size() - 4, 4, ".png") != 0)
            throw Refusal{404, "not a page image address (/api/pages/<id>/<n>.png)"};
        const long page = parse_number(file.substr(0, file.size() - 4), 1, kMaxRank, "page");
        const std::string size = param(query, "size");
        if (!size.empty() && size != "thumb" && size != "page")
            throw Refusal{400, "size must be thumb or page"};
        return page_image(rest.substr(0, slash), page, size == "thumb");
    }
    throw Refusal{404, "no such page"};
}

py::object Site::call(py::object environ, py::object start_response) {
    // PATH_INFO arrives percent-decoded, its bytes held as latin-1 text.
    auto raw = [&](const char* key) {
        py::object value = environ.attr("get")(key, "");
        return py::str(value).attr("encode")("latin-1", "replace").cast<std::string>();
    };
    const std::string method = raw("REQUEST_METHOD");
    const std::string path = raw("PATH_INFO");
    Answer answer;
    bool json = path.rfind("/api/", 0) == 0;
    try {
        if (!host_allowed(raw("HTTP_HOST")))
            throw Refusal{403, "this server answers to this machine's own names and addresses "
                               "only (start it with --allow-host NAME to add one)"};
        follow_index();
        answer = route(method, path, web::parse_query(raw("QUERY_STRING")), json);
    } catch (Refusal& refusal) {
        answer = Answer();
        answer.status = refusal.status;
        answer.body = json ? bytes_of(wr::import_attr("json", "dumps")(py::dict(py::arg("error") = text_of(refusal.message))))
                           : web::render_error(refusal.status, refusal.message);
        if (json) answer.type = "application/json";
        answer.reason = refusal.message;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        wr::log_error({"serve: 500 ", text_of(method), " ", py::repr(text_of(path)), ": ",
                       wr::format_exc(e)});
        answer = Answer();
        answer.status = 500;
        const char* why = "the library failed on this request; see the log";
        if (json) {
            answer.type = "application/json";
            answer.body = bytes_of(wr::import_attr("json", "dumps")(py::dict(py::arg("error") = py::str(why))));
        } else {
            answer.body = web::render_error(500, why);
        }
    }
    // One line for each refusal; the path is quoted (and cut), so whatever
    // it holds stays on one short line.
    if (answer.status >= 400 && answer.status < 500)
        wr::log_warning({"serve: ", answer.status, " ", text_of(method), " ",
                         py::repr(text_of(path.substr(0, kLoggedPath))),
                         path.size() > kLoggedPath ? "..." : "", ": ", text_of(answer.reason)});
    if (json && answer.type == "application/json") answer.type = "application/json; charset=utf-8";

    static const std::pair<int, const char*> reasons[] = {
        {200, "OK"}, {400, "Bad Request"}, {403, "Forbidden"}, {404, "Not Found"},
        {405, "Method Not Allowed"}, {422, "Unprocessable Content"}, {500, "Internal Server Error"},
        {503, "Service Unavailable"}};
    std::string status = std::to_string(answer.status);
    for (const auto& [code, reason] : reasons)
        if (code == answer.status) status += std::string(" ") + reason;
    py::list headers;
    headers.append(py::make_tuple("Content-Type", answer.type));
    headers.append(py::make_tuple("Content-Length", std::to_string(answer.body.size())));
    headers.append(py::make_tuple("X-Content-Type-Options", "nosniff"));
    // The pages need no script at all; a name that slipped past escaping
    // still could not run one.
    headers.append(py::make_tuple("Content-Security-Policy",
                                  "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'; "
                                  "form-action 'self'"));
    headers.append(py::make_tuple("Cache-Control", answer.cacheable ? "private, max-age=300" : "no-store"));
    start_response(status, headers);
    py::list body;
    if (method != "HEAD") body.append(py::bytes(answer.body));
    return body;
}

// ---- the command --------------------------------------------------------------

void add_serve_parser(py::handle sub) {
    py::object serve = sub.attr("add_parser")(
        "serve", py::arg("help") = "a local search page and JSON API over an index");
    serve.attr("add_argument")("--base", py::arg("required") = true,
                               py::arg("help") = "base path given to index");
    serve.attr("add_argument")("--host", py::arg("default") = "127.0.0.1",
                               py::arg("help") = "address to listen on (default 127.0.0.1: this "
                                                 "machine only)");
    serve.attr("add_argument")("--port", py::arg("type") = wr::import_attr("builtins", "int"),
                               py::arg("default") = 8765,
                               py::arg("help") = "port to listen on (default 8765; 0 picks a free one)");
    serve.attr("add_argument")(
        "--allow-host", py::arg("action") = "append", py::arg("default") = py::list(),
        py::arg("metavar") = "NAME",
        py::arg("help") = "a further name this server may be reached by (its addresses, "
                          "localhost and the machine's name always are); may be repeated");
    serve.attr("add_argument")(
        "--root", py::arg("default") = py::none(),
        py::arg("help") = "the folder the index was built from, for an index that does not "
                          "record it (made before it did)");
}

int run_serve(py::handle args) {
    // A server's log is its record of refused requests: warnings show
    // unless the user chose a level.
    if (args.attr("log_level").is_none()) {
        py::object logging = wr::import("logging");
        logging.attr("disable")(logging.attr("NOTSET"));
        logging.attr("basicConfig")(py::arg("level") = "WARNING",
                                    py::arg("format") = "%(levelname)s %(message)s");
    }
    // The page ranks as the command line does (see SearchSettings).
    SearchSettings settings;
    auto site = std::make_shared<Site>(args.attr("base"), args.attr("root"), args.attr("allow_host"));
    py::object app = py::cast(site);
    py::object server = wr::import_attr("waitress.server", "create_server")(
        app, py::arg("host") = args.attr("host"), py::arg("port") = args.attr("port"),
        py::arg("threads") = 4, py::arg("ident") = "wrapper");
    try {
        out(wr::cat({"serving ", args.attr("base"), " at http://", server.attr("effective_host"), ":",
                     server.attr("effective_port"), "/ (Ctrl-C stops)"}));
        wr::import_attr("sys", "stdout").attr("flush")();
        server.attr("run")();
    } catch (py::error_already_set&) {
        server.attr("close")();
        throw;
    }
    return 0;
}

void bind_serve(py::module_& m) {
    py::class_<Site, std::shared_ptr<Site>>(m, "_Site",
                                            "The local search site as a WSGI application.")
        .def(py::init<py::object, py::object, py::object>(), py::arg("base"),
             py::arg("root") = py::none(), py::arg("allowed_hosts") = py::tuple())
        .def("__call__", &Site::call, py::arg("environ"), py::arg("start_response"));
}

}  // namespace console
