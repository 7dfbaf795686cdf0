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
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console.hpp"
#include "entitycount.hpp"
#include "modelstore.hpp"
#include "pyutil.hpp"
#include "sitetemplate.hpp"
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
constexpr long kLargeWidth = 2000;  // the document view's zoom
// The longest Tesseract may take to find the words on a page image that
// holds no text of its own (a scan, a photograph, a video frame).
constexpr int kOcrSeconds = 60;
// Named entities the document view shows unfolded: about one screen.
constexpr std::size_t kEntitiesPerGroup = 8;
constexpr std::size_t kEntitiesShown = 24;
// How often `wrapper serve` looks whether the index changed on disk: the
// metadata of three files on every request is a cost a busy page need not
// pay, and a change then shows within a second.
constexpr double kServeFollowsEvery = 1.0;
// What every page may load: its own stylesheet, script and images, nothing
// inline, so a name that slipped past escaping still could not run.
constexpr const char* kPagePolicy =
    "default-src 'none'; img-src 'self'; style-src 'self'; script-src 'self'; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'";
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

bool has_suffix(const std::string& name, std::string_view suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Kind kind_of(const std::string& name) {
    auto ends = [&](const char* suffix) { return has_suffix(name, suffix); };
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

// The value of the kind filter.
const char* kind_code(Kind kind) {
    switch (kind) {
        case Kind::Pdf: return "pdf";
        case Kind::Image: return "image";
        case Kind::Video: return "video";
    }
    return "pdf";
}

// The folder a document name is in, as the index names it ("" at the top).
std::string folder_of(const std::string& id) {
    const auto slash = id.rfind('/');
    return slash == std::string::npos ? std::string() : id.substr(0, slash);
}

// The type an original file is served with, from its name's suffix alone:
// the four kinds the index files; anything else is offered as a download.
const char* file_type(const std::string& id) {
    const std::string name = [&] {
        std::string lower = id;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return lower;
    }();
    auto ends = [&](const char* suffix) { return has_suffix(name, suffix); };
    if (ends(".pdf")) return "application/pdf";
    if (ends(".png")) return "image/png";
    if (ends(".jpg") || ends(".jpeg")) return "image/jpeg";
    if (ends(".mp4")) return "video/mp4";
    return "application/octet-stream";
}

// Content-Disposition for a file: its base name, in ASCII for old clients
// and in full (RFC 5987) for the rest.
std::string disposition(const std::string& id, bool inline_shown) {
    const std::string base = id.substr(id.rfind('/') == std::string::npos ? 0 : id.rfind('/') + 1);
    std::string plain;
    for (unsigned char c : base) plain += (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') ? '_' : static_cast<char>(c);
    return std::string(inline_shown ? "inline" : "attachment") + "; filename=\"" + plain +
           "\"; filename*=UTF-8''" + web::percent_encode(base);
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
    // `follow_every`: seconds between looks at whether the index changed
    // (0: at every request).
    Site(py::object base, py::object root, py::object allowed_hosts, double follow_every)
        : base_(std::move(base)), root_(std::move(root)),
          follow_every_(std::isfinite(follow_every) && follow_every > 0 ? follow_every : 0.0) {
        for (py::handle host : allowed_hosts) allowed_hosts_.push_back(lower_ascii(bytes_of(host)));
        // The machine's own name, read once (no name service asked).
        allowed_hosts_.push_back(lower_ascii(bytes_of(wr::import_attr("socket", "gethostname")())));
        // A fault in a template stops the server at start, not at a page.
        web::check_templates();
        open_index(true);
    }

    py::object call(py::object environ, py::object start_response);
    // Does now what the first search would: the ranked search's index built
    // from the model, the word lists read, the engine's model loaded.
    void warm();

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
        std::string policy = kPagePolicy;  // Content-Security-Policy; empty for none
        py::object file = py::none();      // an open file sent as it is, instead of `body`
        std::string length;                // its length
        std::string disposition;
    };

    Answer route(const std::string& method, const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& query, bool& json);
    py::dict search(const std::vector<std::pair<std::string, std::string>>& query);
    Answer search_page(const std::vector<std::pair<std::string, std::string>>& query);
    py::dict locate(const std::string& id);
    py::dict document(const std::string& id);
    Answer document_page(const std::string& id, const std::vector<std::pair<std::string, std::string>>& query);
    Answer page_image(const std::string& id, long page, const std::string& size);
    Answer original(const std::string& id);
    // What the index holds, for the filters: languages, kinds and folders.
    py::dict facets();
    py::object modified(py::handle name);
    bool doubtful(const std::string& text, py::handle language);
    py::list words_on_image(py::dict where, long page, py::handle language, std::string& failure,
                            long& width, long& height);
    void page_text(web::DocumentView& view, py::dict where, const std::string& query);
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
    py::object facets_ = py::none();
    py::dict modified_;     // id -> its file's mtime (None: no file)
    py::dict stopwords_;    // language code -> its stop words, casefolded
    py::dict read_words_;   // (id, page, mtime) -> the words OCR found on its image, with their boxes
    std::chrono::duration<double> follow_every_;
    std::chrono::steady_clock::time_point followed_;
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
    facets_ = py::none();
    modified_ = py::dict();
    read_words_ = py::dict();
    stored_ = stored;
    files_stamp_ = stamp;
    followed_ = std::chrono::steady_clock::now();
}

void Site::follow_index() {
    const auto now = std::chrono::steady_clock::now();
    if (now - followed_ < follow_every_) return;
    followed_ = now;
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
    for (const py::object& names : name_lists(process_))
        if (wr::contains(names, name)) return true;
    return false;
}

py::object Site::language_of(py::handle name) {
    py::object engine = process_.attr("document_search");
    py::object stored = stored_documents(engine);
    py::object languages = stored.is_none() ? py::getattr(engine, "detected_languages", py::none())
                                            : py::object(stored[py::int_(1)]);
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

namespace {

// The reader's choices on a results page, checked: a refusal names the one
// that is wrong.
web::SearchState state_of(const std::vector<std::pair<std::string, std::string>>& query) {
    web::SearchState state;
    state.default_per_page = kDefaultPerPage;
    state.query = param(query, "q");
    state.lang = param(query, "lang");
    if (!state.lang.empty() && state.lang != "en" && state.lang != "es" && state.lang != "pt")
        throw Refusal{400, "lang must be en, es or pt (or absent to detect it)"};
    state.language = param(query, "language");
    if (!state.language.empty() && web::language_name(state.language).empty())
        throw Refusal{400, "language must be en, es or pt (or absent for all)"};
    state.kind = param(query, "kind");
    if (!state.kind.empty() && state.kind != "pdf" && state.kind != "image" && state.kind != "video")
        throw Refusal{400, "kind must be pdf, image or video (or absent for all)"};
    state.folder = param(query, "folder");
    state.sort = param(query, "sort");
    if (state.sort == "relevance") state.sort.clear();
    if (!state.sort.empty() && state.sort != "date")
        throw Refusal{400, "sort must be relevance or date"};
    const std::string page_text = param(query, "page"), per_page_text = param(query, "per_page");
    state.page = page_text.empty() ? 1 : parse_number(page_text, 1, kMaxRank, "page");
    state.per_page = per_page_text.empty() ? kDefaultPerPage
                                           : parse_number(per_page_text, 1, kMaxPerPage, "per_page");
    if (state.page * state.per_page > kMaxRank)
        throw Refusal{400, "page is past the first " + std::to_string(kMaxRank) + " results"};
    return state;
}

bool in_folder(const std::string& id, const std::string& folder) {
    const std::string where = folder_of(id);
    if (folder == ".") return where.empty();
    return where == folder || (where.size() > folder.size() && where.compare(0, folder.size(), folder) == 0 &&
                               where[folder.size()] == '/');
}

}  // namespace

py::dict Site::facets() {
    if (!facets_.is_none()) return facets_;
    py::list all;
    for (const py::object& names : name_lists(process_))
        for (py::handle name : names) all.append(name);
    std::vector<std::string> kinds, folders, languages;
    auto once = [](std::vector<std::string>& list, const std::string& value) {
        if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
    };
    for (py::handle name : all) {
        const std::string id = bytes_of(name);
        once(kinds, kind_code(kind_of(id)));
        once(folders, folder_of(id).empty() ? "." : folder_of(id));
        const std::string code = code_of(language_of(name));
        if (!web::language_name(code).empty()) once(languages, code);
    }
    std::sort(folders.begin(), folders.end());
    std::sort(languages.begin(), languages.end());
    py::dict out;
    auto listed = [](const std::vector<std::string>& values) {
        py::list l;
        for (const auto& v : values) l.append(text_of(v));
        return l;
    };
    // In a fixed order: PDF, images, video.
    std::vector<std::string> ordered;
    for (const char* k : {"pdf", "image", "video"})
        if (std::find(kinds.begin(), kinds.end(), k) != kinds.end()) ordered.push_back(k);
    out["languages"] = listed(languages);
    out["kinds"] = listed(ordered);
    out["folders"] = listed(folders);
    facets_ = out;
    return out;
}

// The mtime of a document's file, or None when the index names no file
// that can be found; kept until the index changes.
py::object Site::modified(py::handle name) {
    if (modified_.contains(name)) return modified_[name];
    py::object file = indexed_file(folders_, home_, name);
    py::object when = py::none();
    if (!file.is_none()) {
        try {
            when = wr::import_attr("os", "stat")(file).attr("st_mtime");
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
    modified_[name] = when;
    return when;
}

void Site::warm() {
    std::vector<std::string> codes;
    for (py::handle code : py::list(facets()["languages"])) codes.push_back(bytes_of(code));
    if (codes.empty()) codes.emplace_back();
    for (const std::string& code : codes) {
        // A word no index holds: it is looked up in the word lists too.
        std::vector<std::pair<std::string, std::string>> query{{"q", "qzxwarm"}, {"lang", code}};
        try {
            search(query);
        } catch (Refusal&) {
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            // The first reader's search meets it again, and the log then says so.
            wr::log_debug({"serve: warming the search in '", text_of(code), "' failed: ", e.value()});
        }
    }
}

py::dict Site::search(const std::vector<std::pair<std::string, std::string>>& query) {
    const std::string q_bytes = param(query, "q");
    PyObject* decoded = PyUnicode_DecodeUTF8(q_bytes.data(), static_cast<Py_ssize_t>(q_bytes.size()), "strict");
    if (!decoded) {
        PyErr_Clear();
        throw Refusal{400, "the query is not UTF-8 text"};
    }
    py::str q = py::reinterpret_steal<py::str>(decoded);
    const web::SearchState state = state_of(query);
    const long page = state.page, per_page = state.per_page;
    const std::string& lang = state.lang;
    if (!wr::truthy(q.attr("strip")())) throw Refusal{400, "the query is empty"};
    if (!state.folder.empty()) {
        bool known = false;
        for (py::handle f : py::list(facets()["folders"])) known = known || bytes_of(f) == state.folder;
        if (!known) throw Refusal{400, "folder must be one the index holds documents in"};
    }

    py::object language = lang.empty() ? py::none() : language_member(py::str(lang));
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
    out["total"] = 0;
    out["languages"] = py::none();
    py::object result;
    // The whole ranking (to its cap), so that the filters, the date order
    // and the count see every document found, not a page of them.
    // A query whose language cannot be told (or that the index holds no
    // documents in) is searched in the languages the index holds.
    Searched searched;
    try {
        searched = search_any_language(process_, q, language, py::int_(1), py::int_(kMaxRank));
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

    // The best score of all, which the page's bars are drawn against.
    double best = 0.0;
    for (py::handle hit : ranked) best = std::max(best, py::float_(score_value(hit)).cast<double>());

    py::list kept;
    for (py::handle hit : ranked) {
        py::object name = hit[py::str("name")];
        const std::string id = bytes_of(name);
        if (!state.kind.empty() && state.kind != kind_code(kind_of(id))) continue;
        if (!state.folder.empty() && !in_folder(id, state.folder)) continue;
        if (!state.language.empty()) {
            std::string code = code_of(hit[py::str("language")]);
            if (web::language_name(code).empty()) code = code_of(language_of(name));
            if (code != state.language) continue;
        }
        kept.append(hit);
    }
    if (state.sort == "date") {
        // Newest file first; a file that cannot be found last; ties keep
        // the order of relevance (the sort is stable).
        py::cpp_function key([this](py::handle hit) {
            py::object when = modified(hit[py::str("name")]);
            return py::make_tuple(when.is_none() ? 1 : 0,
                                  when.is_none() ? py::float_(0.0) : py::float_(-py::float_(when).cast<double>()));
        });
        kept.attr("sort")(py::arg("key") = key);
    }

    const long first = (page - 1) * per_page;
    const long count = static_cast<long>(py::len(kept));
    out["total"] = count;
    py::list shown;
    py::object date = wr::import_attr("datetime", "datetime");
    for (long i = first; i < count && i < first + per_page; ++i) {
        py::object hit = kept[py::int_(i)];
        shown.append(hit);
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
        const long best_page = found.is_none() || found[py::str("page")].is_none()
            ? 1 : static_cast<long>(wr::to_ssize(found[py::str("page")]));
        item["thumbnail"] = py::str(web::page_image_url(id, best_page, true));
        item["kind"] = py::str(kind_code(kind_of(id)));
        item["folder"] = text_of(folder_of(id));
        item["file"] = py::str(web::file_url(id));
        py::object when = modified(name);
        item["modified"] = when.is_none() ? py::object(py::none())
                                          : date.attr("fromtimestamp")(when).attr("date")().attr("isoformat")();
        const double relevance = best > 0 ? py::float_(score_value(hit)).cast<double>() / best : NAN;
        item["relevance"] = std::isfinite(relevance) ? py::object(py::float_(relevance)) : py::object(py::none());
        hits.append(item);
    }
    out["has_next"] = count > first + per_page;
    // Correction, as a reader takes it in: the query with the corrected
    // words written as the found documents write them.
    if (!searched.language.is_none())
        out["corrected"] = process_.attr("did_you_mean")(q, shown, searched.language);
    return out;
}

Site::Answer Site::search_page(const std::vector<std::pair<std::string, std::string>>& query) {
    web::SearchView view;
    Answer answer;
    try {
        view.state = state_of(query);
    } catch (Refusal& refusal) {
        // The form still shows, with what can be kept of the choices.
        view.state = web::SearchState{};
        view.state.query = param(query, "q");
        view.message = refusal.message;
        answer.status = refusal.status;
        answer.reason = refusal.message;
    }
    py::dict held = facets();
    for (py::handle code : py::list(held["languages"])) view.languages.push_back(bytes_of(code));
    for (py::handle kind : py::list(held["kinds"])) view.kinds.push_back(bytes_of(kind));
    for (py::handle folder : py::list(held["folders"])) {
        const std::string value = bytes_of(folder);
        view.folders.push_back({value, value == "." ? std::string("(top folder)") : value});
    }
    if (view.state.query.find_first_not_of(" \t\r\n") == std::string::npos || answer.status != 200) {
        answer.body = web::render_search(view);
        return answer;
    }
    view.searched = true;
    try {
        py::dict found = search(query);
        view.has_next = wr::truthy(found["has_next"]);
        view.total = static_cast<long>(wr::to_ssize(found["total"]));
        if (!found["corrected"].is_none()) view.corrected = bytes_of(found["corrected"]);
        if (found.contains("note")) view.message = bytes_of(found["note"]);
        for (py::handle item : py::list(found["hits"])) {
            web::HitView hit;
            hit.id = bytes_of(item["id"]);
            hit.language = bytes_of(item["language"]);
            hit.kind = kind_name(kind_of(hit.id));
            hit.folder = folder_of(hit.id);
            if (!item["modified"].is_none()) hit.date = bytes_of(item["modified"]);
            hit.score = bytes_of(py::str("{:.4f}").attr("format")(item["score"]));
            if (!item["relevance"].is_none()) {
                const double r = py::float_(item["relevance"]).cast<double>();
                if (std::isfinite(r)) hit.percent = static_cast<int>(std::lround(std::clamp(r, 0.0, 1.0) * 100.0));
            }
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

// Whether a named entity is one a reader would call junk: no letter in it,
// a start that is no letter or digit ("< PER"), or a lone word that is a
// stop word of the document's language (a capitalised "The" or "If").
bool Site::doubtful(const std::string& text, py::handle language) {
    py::str t = text_of(text);
    py::object stripped = t.attr("strip")();
    if (!wr::truthy(stripped) || !wr::truthy(stripped[py::int_(0)].attr("isalnum")())) return true;
    bool letter = false;
    for (py::handle c : stripped) letter = letter || wr::truthy(c.attr("isalpha")());
    if (!letter) return true;
    const std::string code = code_of(language);
    if (!stopwords_.contains(py::str(code))) {
        py::set words;
        const char* name = code == "en" ? "english" : code == "es" ? "spanish" : code == "pt" ? "portuguese" : nullptr;
        try {
            if (name)
                for (py::handle w : wr::import_attr("nltk.corpus", "stopwords").attr("words")(name))
                    words.add(w.attr("casefold")());
            else
                for (const char* n : {"english", "spanish", "portuguese"})
                    for (py::handle w : wr::import_attr("nltk.corpus", "stopwords").attr("words")(n))
                        words.add(w.attr("casefold")());
        } catch (py::error_already_set& e) {
            // Without the word lists only the plainer junk is told.
            if (!e.matches(PyExc_LookupError) && !e.matches(PyExc_OSError)) throw;
        }
        stopwords_[py::str(code)] = words;
    }
    return py::set(stopwords_[py::str(code)]).contains(stripped.attr("casefold")());
}

// The words Tesseract reads on the page's rendered image, as (word, x, y,
// w, h) in the image's pixels, and the image's size; kept per file version.
// Empty, with `failure` set, when the image cannot be made or read in time.
py::list Site::words_on_image(py::dict where, long page, py::handle language, std::string& failure,
                              long& width, long& height) {
    py::object key = py::make_tuple(where["name"], page, where["mtime"]);
    if (!read_words_.contains(key)) {
        const std::string code = code_of(language);
        const char* tongue = code == "en" ? "eng" : code == "es" ? "spa" : code == "pt" ? "por" : "eng+spa+por";
        py::list words;
        long w = 0, h = 0;
        std::string why;
        try {
            const Answer image = page_image(bytes_of(where["name"]), page, "page");
            // The PNG header's IHDR: width and height, big-endian.
            auto u32 = [&](std::size_t at) {
                long v = 0;
                for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(image.body[at + i]);
                return v;
            };
            if (image.body.size() >= 24) {
                w = u32(16);
                h = u32(20);
            }
            py::object picture = wr::import_attr("PIL.Image", "open")(
                wr::import_attr("io", "BytesIO")(py::bytes(image.body)));
            py::object tesseract = wr::import("pytesseract");
            py::dict found = tesseract.attr("image_to_data")(
                picture, py::arg("lang") = tongue, py::arg("output_type") = tesseract.attr("Output").attr("DICT"),
                py::arg("timeout") = kOcrSeconds);
            py::list text = found["text"], left = found["left"], top = found["top"], wide = found["width"],
                     high = found["height"];
            for (std::size_t i = 0; i < text.size(); ++i)
                if (wr::truthy(py::str(text[i]).attr("strip")()))
                    words.append(py::make_tuple(text[i], left[i], top[i], wide[i], high[i]));
        } catch (Refusal& refusal) {
            why = "the page image could not be made: " + refusal.message;
        } catch (py::error_already_set& e) {
            // The page not rendered, Tesseract missing (OSError), failing or
            // out of time (RuntimeError): the text below still shows the words.
            if (!e.matches(PyExc_Exception)) throw;
            wr::log_warning({"serve: the words on page ", page, " of ", where["name"],
                             " could not be read: ", e.value()});
            why = "the words could not be found on the page image";
        }
        // A failure is kept too: a page Tesseract cannot read in time is
        // not given to it again at every view.
        if (!why.empty()) words = py::list();
        read_words_[key] = py::make_tuple(words, w, h, text_of(why));
    }
    py::tuple kept = read_words_[key];
    width = py::int_(kept[1]).cast<long>();
    height = py::int_(kept[2]).cast<long>();
    failure = bytes_of(kept[3]);
    return kept[0];
}

// The text of the page shown, the query's words marked as the passages
// mark them, and where those words stand on the page image: their boxes
// from the PDF's own text layer (a scan's page has none).
void Site::page_text(web::DocumentView& view, py::dict where, const std::string& query) {
    py::object name = where["name"];
    py::object pagekeep = wr::import("wrapper.core.Pagekeep");
    py::object record = pagekeep.attr("read")(process_.attr("modeldir"), name);
    py::object entry = py::none();
    if (!record.is_none()) {
        py::list pages = record[py::str("pages")];
        for (py::handle p : pages)
            if (!p[py::str("page")].is_none() && wr::to_ssize(p[py::str("page")]) == view.page)
                entry = py::reinterpret_borrow<py::object>(p);
        // Kept as one piece: it is the page only when there is one.
        if (entry.is_none() && view.pages == 1 && py::len(pages) == 1) entry = pages[0];
    }
    const Kind kind = kind_of(view.id);
    py::object fitz = py::none(), pdf = py::none();
    if (kind == Kind::Pdf) {
        fitz = wr::import_as_held("fitz");
        pdf = fitz.attr("open")(where["file"]);
    }
    try {
        py::object text = entry.is_none() ? py::object(py::none()) : py::object(entry[py::str("text")]);
        py::object sheet = py::none();
        if (!pdf.is_none()) {
            sheet = pdf[py::int_(view.page - 1)];
            if (text.is_none()) text = sheet.attr("get_text")();
            const double w = py::float_(sheet.attr("rect").attr("width")).cast<double>();
            const double h = py::float_(sheet.attr("rect").attr("height")).cast<double>();
            view.page_width = w;
            view.page_height = h;
            const double zoom = scale_for(static_cast<double>(kPageWidth), w, h);
            view.image_width = static_cast<long>(std::ceil(w * zoom));
            view.image_height = static_cast<long>(std::ceil(h * zoom));
        }
        if (text.is_none() || !wr::truthy(py::str(text).attr("strip")())) {
            view.page_text_note = entry.is_none() && kind != Kind::Pdf
                ? "(no text kept for this page: index the document again to see it)"
                : "(no text found on this page)";
            if (!pdf.is_none()) pdf.attr("close")();
            return;
        }
        py::object marked = py::none();
        if (query.find_first_not_of(" \t\r\n") != std::string::npos) {
            py::object language = language_of(name);
            py::object idiom = language.is_none() ? py::object(py::none()) : language_member(py::str(code_of(language)));
            py::dict weights;
            for (py::handle term : py::str(pagekeep.attr("terms")(text_of(query), idiom)).attr("split")())
                if (!py::str(term).equal(py::str("-"))) weights[term] = py::float_(1.0);
            py::dict one;
            one["page"] = py::int_(view.page);
            one["text"] = text;
            one["terms"] = entry.is_none() ? pagekeep.attr("terms")(text, idiom)
                                           : py::object(entry[py::str("terms")]);
            py::list pages;
            pages.append(one);
            py::dict single;
            single["pages"] = pages;
            // One window as long as the page: the whole text, marked.
            const Py_ssize_t words = py::len(py::str(text).attr("split")()) + 1;
            py::list found = pagekeep.attr("find")(single, weights, 1, words);
            if (!found.empty()) marked = found[0];
        }
        if (marked.is_none()) {
            view.text.push_back({bytes_of(text), false});
        } else {
            view.text = segments_of(marked);
            // The words marked, as a PDF's text layer holds them.
            py::set wanted;
            auto bare = [](py::handle word) {
                py::str folded = py::str(word).attr("casefold")();
                py::list chars;
                for (py::handle c : folded)
                    if (wr::truthy(c.attr("isalnum")())) chars.append(c);
                return py::str("").attr("join")(chars);
            };
            py::str marked_text = marked[py::str("text")];
            for (py::handle mark : marked[py::str("marks")]) {
                auto span = wr::unpack(mark, 2);
                wanted.add(bare(marked_text[py::slice(wr::to_ssize(span[0]), wr::to_ssize(span[1]), 1)]));
            }
            bool layer = false;
            if (!sheet.is_none()) {
                py::object rotate = sheet.attr("rotation_matrix");
                const bool turned = wr::to_ssize(sheet.attr("rotation")) % 360 != 0;
                py::list layer_words = sheet.attr("get_text")("words");
                layer = !layer_words.empty();
                for (py::handle word : layer_words) {
                    if (!wanted.contains(bare(word[py::int_(4)]))) continue;
                    py::object box = fitz.attr("Rect")(word[py::int_(0)], word[py::int_(1)], word[py::int_(2)],
                                                       word[py::int_(3)]);
                    if (turned) box = box * rotate;
                    auto at = [&](const char* side) { return py::float_(box.attr(side)).cast<double>(); };
                    view.boxes.push_back({at("x0"), at("y0"), at("width"), at("height")});
                }
            }
            std::string failure;
            if (!layer) {
                // No text layer (a scan) or no PDF at all: the words as OCR
                // reads them on the very image shown, in its pixels.
                long width = 0, height = 0;
                py::list read = words_on_image(where, view.page, language_of(name), failure, width, height);
                if (width > 0 && height > 0) {
                    view.image_width = width;
                    view.image_height = height;
                    view.page_width = static_cast<double>(width);
                    view.page_height = static_cast<double>(height);
                }
                for (py::handle word : read) {
                    if (!wanted.contains(bare(word[py::int_(0)]))) continue;
                    auto n = [&](int i) { return py::float_(word[py::int_(i)]).cast<double>(); };
                    view.boxes.push_back({n(1), n(2), n(3), n(4)});
                }
            }
            if (view.boxes.empty())
                view.box_note = !failure.empty() ? failure : "the words are marked in the text below";
        }
    } catch (py::error_already_set&) {
        if (!pdf.is_none()) pdf.attr("close")();
        throw;
    }
    if (!pdf.is_none()) pdf.attr("close")();
}

Site::Answer Site::document_page(const std::string& id,
                                 const std::vector<std::pair<std::string, std::string>>& query) {
    py::dict info = document(id);
    py::dict where = locate(id);
    web::DocumentView view;
    view.id = id;
    view.kind = bytes_of(info["kind"]);
    view.language = info["language"].is_none() ? "" : bytes_of(info["language"]);
    view.pages = static_cast<long>(wr::to_ssize(info["pages"]));
    const std::string page = param(query, "page");
    view.page = page.empty() ? 1 : parse_number(page, 1, view.pages, "page");
    // Reached from a results page: the search travels along, for the marks
    // and the way back. A search that does not check out is dropped, not
    // refused: the document is still worth showing.
    if (!param(query, "q").empty()) {
        try {
            std::vector<std::pair<std::string, std::string>> back;
            for (const auto& [key, value] : query)
                if (key != "page" && key != "from") back.emplace_back(key, value);
            const std::string from = param(query, "from");
            if (!from.empty()) back.emplace_back("page", from);
            view.back = state_of(back);
            view.from_search = true;
        } catch (Refusal&) {
            view.back = web::SearchState{};
        }
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    for (py::handle pair : py::list(info["entities"])) {
        auto both = wr::unpack(pair, 2);
        pairs.emplace_back(bytes_of(both[0]), bytes_of(both[1]));
    }
    py::object language = info["language"];
    view.entities = wr::fold_entities(
        wr::count_entities(pairs), [&](const std::string& text) { return doubtful(text, language); },
        kEntitiesPerGroup, kEntitiesShown);
    view.abstract = bytes_of(info["abstract"]);
    for (py::handle k : py::list(info["keywords"])) view.keywords.push_back(bytes_of(k));
    if (!info["objects"].is_none())
        for (py::handle o : py::list(info["objects"])) view.objects.push_back(bytes_of(o));
    if (!info["objects_note"].is_none()) view.objects_note = bytes_of(info["objects_note"]);
    if (!info["text_note"].is_none()) view.text_note = bytes_of(info["text_note"]);
    page_text(view, where, view.from_search ? view.back.query : std::string());
    Answer answer;
    answer.body = web::render_document(view);
    return answer;
}


// A page of a document as PNG: a PDF page, the image itself, or a video
// frame, scaled to a thumbnail or a readable width. Kept in memory.
Site::Answer Site::page_image(const std::string& id, long page, const std::string& size) {
    const bool thumbnail = size == "thumb";
    py::dict where = locate(id);
    const long pages = static_cast<long>(wr::to_ssize(where["pages"]));
    if (page < 1 || page > pages)
        throw Refusal{404, "the document has " + std::to_string(pages) + (pages == 1 ? " page" : " pages")};
    py::object file = where["file"];
    py::object key = py::make_tuple(where["name"], page, py::str(size), where["mtime"]);
    Answer answer;
    answer.type = "image/png";
    answer.cacheable = true;
    if (wr::contains(images_, key)) {
        images_.attr("move_to_end")(key);
        answer.body = py::bytes(images_[key]).cast<std::string>();
        return answer;
    }
    const double width = static_cast<double>(thumbnail ? kThumbWidth : size == "large" ? kLargeWidth : kPageWidth);
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

// The document's own file, as it is: only a file the index names, found as
// every other answer finds it (locate), never a path the request spells.
Site::Answer Site::original(const std::string& id) {
    py::dict where = locate(id);
    Answer answer;
    answer.type = file_type(id);
    try {
        answer.file = wr::import_attr("builtins", "open")(where["file"], "rb");
        answer.length = bytes_of(py::str(wr::import_attr("os", "fstat")(answer.file.attr("fileno")()).attr("st_size")));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        if (!answer.file.is_none()) answer.file.attr("close")();
        throw Refusal{404, "the document's file cannot be read"};
    }
    answer.disposition = disposition(id, answer.type != std::string("application/octet-stream"));
    // The browser's own viewers show PDFs and video; the page's policy
    // would stop them, and the type is never one that runs in the page.
    answer.policy.clear();
    answer.cacheable = true;
    return answer;
}

Site::Answer Site::route(const std::string& method, const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& query, bool& json) {
    auto starts = [&](const char* prefix) { return path.rfind(prefix, 0) == 0; };
    json = starts("/api/");
    if (method != "GET" && method != "HEAD") throw Refusal{405, "only GET is served"};
    if (path == "/" || path == "/search") return search_page(query);
    if (starts("/documents/")) return document_page(path.substr(11), query);
    if (starts("/files/")) return original(path.substr(7));
    {
        // The site's stylesheet, script and icon; /favicon.ico is where
        // browsers look for an icon unasked.
        Answer answer;
        const std::string file = path == "/favicon.ico" ? "favicon.svg" : path.substr(1);
        if (path.find('/', 1) == std::string::npos && web::static_file(file, answer.body, answer.type)) {
            answer.cacheable = true;
            return answer;
        }
    }
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
        std::string size = param(query, "size");
        if (!size.empty() && size != "thumb" && size != "page" && size != "large")
            throw Refusal{400, "size must be thumb, page or large"};
        if (size.empty()) size = "page";
        return page_image(rest.substr(0, slash), page, size);
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
    } catch (web::TemplateError& e) {
        // A template the site cannot fill: no page can be made of it.
        wr::log_error({"serve: 500 ", text_of(method), " ", py::repr(text_of(path)), ": ", e.what()});
        answer = Answer();
        answer.status = 500;
        answer.type = "text/plain; charset=utf-8";
        answer.body = "the site's templates are faulty; see the log\n";
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
    // A file is sent from its open handle, in pieces (a video may be large).
    py::object stream = answer.file;
    const std::string length = stream.is_none() ? std::to_string(answer.body.size()) : answer.length;
    py::list headers;
    headers.append(py::make_tuple("Content-Type", answer.type));
    headers.append(py::make_tuple("Content-Length", length));
    headers.append(py::make_tuple("X-Content-Type-Options", "nosniff"));
    headers.append(py::make_tuple("Referrer-Policy", "no-referrer"));
    if (!answer.policy.empty()) headers.append(py::make_tuple("Content-Security-Policy", answer.policy));
    if (!answer.disposition.empty()) headers.append(py::make_tuple("Content-Disposition", answer.disposition));
    headers.append(py::make_tuple("Cache-Control", answer.cacheable ? "private, max-age=300" : "no-store"));
    start_response(status, headers);
    if (!stream.is_none()) {
        if (method == "HEAD") {
            stream.attr("close")();
            return py::list();
        }
        py::object wrapper = environ.attr("get")("wsgi.file_wrapper", py::none());
        if (!wrapper.is_none()) return wrapper(stream, 1 << 16);
        py::list body;
        try {
            body.append(stream.attr("read")());
        } catch (py::error_already_set&) {
            stream.attr("close")();
            throw;
        }
        stream.attr("close")();
        return body;
    }
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
    auto site = std::make_shared<Site>(args.attr("base"), args.attr("root"), args.attr("allow_host"),
                                       kServeFollowsEvery);
    site->warm();
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

namespace {

// Template values from a host dict: str, int, bool and lists of dicts.
web::Fields fields_of(py::handle values) {
    web::Fields fields;
    for (auto item : py::dict(py::reinterpret_borrow<py::object>(values))) {
        const std::string name = bytes_of(item.first);
        py::handle v = item.second;
        if (PyBool_Check(v.ptr())) {
            fields.flag(name, v.ptr() == Py_True);
        } else if (PyLong_Check(v.ptr())) {
            fields.set(name, bytes_of(py::str(v)));
        } else if (PyUnicode_Check(v.ptr())) {
            fields.set(name, bytes_of(v));
        } else if (PyList_Check(v.ptr())) {
            std::vector<web::Fields>& list = fields.list(name);
            for (py::handle each : v) {
                if (!PyDict_Check(each.ptr())) wr::raise(PyExc_TypeError, {"the items of ", item.first, " must be dicts"});
                list.push_back(fields_of(each));
            }
        } else {
            wr::raise(PyExc_TypeError, {"a template value is a str, an int, a bool or a list of dicts, not ",
                                        py::repr(v)});
        }
    }
    return fields;
}

// A template of the site's language filled with values: the site's own
// filling, for tests of the language.
py::str fill_template(py::str source, py::dict values, py::dict partials) {
    std::vector<std::pair<std::string, web::Template>> others;
    try {
        for (auto item : partials) others.emplace_back(bytes_of(item.first), web::Template(bytes_of(item.first), bytes_of(item.second)));
        web::Template main("template", bytes_of(source));
        return text_of(main.fill(fields_of(values), [&](std::string_view name) -> const web::Template* {
            for (const auto& [n, t] : others)
                if (n == name) return &t;
            return nullptr;
        }));
    } catch (web::TemplateError& e) {
        wr::raise(PyExc_ValueError, {text_of(e.what())});
    }
}

}  // namespace

void bind_serve(py::module_& m) {
    m.def("_fill_template", &fill_template, py::arg("source"), py::arg("values"),
          py::arg("partials") = py::dict(), "A template of the search site's language, filled (for tests).");
    py::class_<Site, std::shared_ptr<Site>>(m, "_Site",
                                            "The local search site as a WSGI application.")
        .def(py::init<py::object, py::object, py::object, double>(), py::arg("base"),
             py::arg("root") = py::none(), py::arg("allowed_hosts") = py::tuple(),
             py::arg("follow_every") = 0.0)
        .def("__call__", &Site::call, py::arg("environ"), py::arg("start_response"));
}

}  // namespace console
