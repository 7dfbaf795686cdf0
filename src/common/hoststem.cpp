#include "hoststem.hpp"

#include <pybind11/eval.h>
#include <pybind11/gil_safe_call_once.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "hosttext.hpp"
#include "pyutil.hpp"

namespace wr {

namespace fs = std::filesystem;

namespace {

// The Greek capital sigma lower-cases to a final or a medial sigma
// depending on its neighbours; every other code point on its own.
constexpr char32_t kCapitalSigma = 0x3A3;
// Lower-cases to two code points, so it is left out of the one-to-one table
// run below and asked on its own.
constexpr char32_t kDottedCapitalI = 0x130;

const stem::Lowering* build_lowering() {
    std::u32string all;
    all.reserve(static_cast<std::size_t>(text::kMaxCodePoint) + 1);
    for (char32_t c = 0; c <= text::kMaxCodePoint; ++c)
        if (c != kCapitalSigma && c != kDottedCapitalI) all.push_back(c);
    const std::u32string lowered = to_u32(from_u32(all).attr("lower")());
    std::vector<std::pair<char32_t, std::u32string>> mappings;
    if (lowered.size() == all.size()) {
        for (std::size_t i = 0; i < all.size(); ++i)
            if (lowered[i] != all[i]) mappings.emplace_back(all[i], std::u32string(1, lowered[i]));
    } else {
        // A Unicode version where more code points lower-case to several:
        // one at a time, which is slower but exact.
        for (char32_t c : all) {
            std::u32string one = to_u32(from_u32(std::u32string(1, c)).attr("lower")());
            if (one != std::u32string(1, c)) mappings.emplace_back(c, std::move(one));
        }
    }
    mappings.emplace_back(kDottedCapitalI,
                          to_u32(from_u32(std::u32string(1, kDottedCapitalI)).attr("lower")()));
    auto contextual = [](std::u32string_view word, std::u32string& out) {
        py::gil_scoped_acquire gil;
        out.append(to_u32(from_u32(std::u32string(word)).attr("lower")()));
    };
    return new stem::Lowering(std::move(mappings), {kCapitalSigma}, contextual);
}

// The directories nltk searches, as nltk.data builds its path when it is
// imported; taken once, as nltk takes it once.
const char* const kDefaultPathCode = R"(
import os, sys
path = [d for d in os.environ.get("NLTK_DATA", "").split(os.pathsep) if d]
if "APPENGINE_RUNTIME" not in os.environ and os.path.expanduser("~/") != "~/":
    path.append(os.path.expanduser("~/nltk_data"))
if sys.platform.startswith("win"):
    path += [
        os.path.join(sys.prefix, "nltk_data"),
        os.path.join(sys.prefix, "share", "nltk_data"),
        os.path.join(sys.prefix, "lib", "nltk_data"),
        os.path.join(os.environ.get("APPDATA", "C:\\"), "nltk_data"),
        r"C:\nltk_data",
        r"D:\nltk_data",
        r"E:\nltk_data",
    ]
else:
    path += [
        os.path.join(sys.prefix, "nltk_data"),
        os.path.join(sys.prefix, "share", "nltk_data"),
        os.path.join(sys.prefix, "lib", "nltk_data"),
        "/usr/share/nltk_data",
        "/usr/local/share/nltk_data",
        "/usr/lib/nltk_data",
        "/usr/local/lib/nltk_data",
    ]
)";

py::object default_search_path() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            py::dict scope;
            py::exec(kDefaultPathCode, scope);
            return py::object(scope["path"]);
        })
        .get_stored();
}

// nltk.data.path when nltk is loaded (a host may have changed it), else the
// list it will start with. Empty when an entry is not a string: nltk's
// own search then decides.
std::optional<std::vector<std::string>> search_path() {
    // Converted again only when the list changed: this runs on every call.
    static auto* last = new py::object();  // leaked: a host object
    static auto* converted = new std::optional<std::vector<std::string>>();
    py::object modules = import_attr("sys", "modules");
    py::object data = modules.attr("get")("nltk.data");
    py::object path = data.is_none() ? default_search_path() : data.attr("path");
    if (*last && PyList_Check(path.ptr()) && path.equal(*last)) return *converted;
    py::object fsencode = import_attr("os", "fsencode");
    std::vector<std::string> out;
    bool plain = true;
    for (py::handle entry : path) {
        if (!PyUnicode_Check(entry.ptr())) {
            plain = false;
            break;
        }
        out.push_back(py::bytes(fsencode(entry)).cast<std::string>());
    }
    *last = py::list(path);
    *converted = plain ? std::optional<std::vector<std::string>>(std::move(out)) : std::nullopt;
    return *converted;
}

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// nltk.data.find(resource) over plain directories: the first entry holding
// it. Null where nltk would look into a zip file first, or find nothing
// (and then try zip files, or raise).
std::optional<fs::path> find_resource(const std::vector<std::string>& paths,
                                      const std::string& resource) {
    std::error_code ec;
    for (const std::string& entry : paths) {
        if (!entry.empty() && ends_with(entry, ".zip") && fs::is_regular_file(entry, ec))
            return std::nullopt;
        if (entry.empty() || fs::is_directory(entry, ec)) {
            fs::path p = entry.empty() ? fs::path(resource) : fs::path(entry) / resource;
            if (fs::exists(p, ec)) return p;
        }
    }
    return std::nullopt;
}

// The root of a stopwords corpus nltk has loaded already (found when it
// loaded, not searched again); none when it is not loaded yet.
std::optional<std::optional<fs::path>> loaded_root(py::handle stopwords) {
    if (stopwords.is_none()) return std::nullopt;
    if (std::string(py::str(py::type::of(stopwords).attr("__name__"))) == "LazyCorpusLoader")
        return std::nullopt;
    py::dict fields = stopwords.attr("__dict__");
    if (!fields.contains("_root")) return std::optional<fs::path>();
    py::object root = fields["_root"];
    if (std::string(py::str(py::type::of(root).attr("__name__"))) != "FileSystemPathPointer")
        return std::optional<fs::path>();  // a zip or gzip pointer: nltk reads it
    py::object fsencode = import_attr("os", "fsencode");
    return std::optional<fs::path>(py::bytes(fsencode(root.attr("path"))).cast<std::string>());
}

struct ReadList {
    fs::path file;
    std::uintmax_t size = 0;
    fs::file_time_type modified;
    std::shared_ptr<const stem::StopSet> stop;
};

struct Resolved {
    std::vector<std::string> paths;
    std::optional<fs::path> root;    // loaded corpus root, when it was one
    bool searched = false;
    std::optional<fs::path> file;    // the language's stopword file
};

std::map<std::string, Resolved>& resolutions() {
    static auto* all = new std::map<std::string, Resolved>();
    return *all;
}

// Whether the sentence tokenizer's tables for a language are installed, by
// the search path it was answered for.
std::map<std::string, std::pair<std::vector<std::string>, bool>>& punkt_answers() {
    static auto* all = new std::map<std::string, std::pair<std::vector<std::string>, bool>>();
    return *all;
}

bool punkt_present(const std::vector<std::string>& paths, const std::string& language) {
    auto& answer = punkt_answers()[language];
    if (answer.first == paths && !paths.empty()) return answer.second;
    bool present = false;
    if (std::optional<fs::path> punkt = find_resource(paths, "tokenizers/punkt_tab/" + language + "/")) {
        std::error_code ec;
        present = true;
        for (const char* name :
             {"collocations.tab", "sent_starters.txt", "abbrev_types.txt", "ortho_context.tab"})
            present = present && fs::is_regular_file(*punkt / name, ec);
    }
    answer = {paths, present};
    return present;
}

std::map<fs::path, ReadList>& read_lists() {
    static auto* all = new std::map<fs::path, ReadList>();
    return *all;
}

// The lines of the file that are not blank, as WordListCorpusReader.words
// gives them; null when the file is not plain UTF-8 (nltk decides then).
std::shared_ptr<const stem::StopSet> read_stopwords(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return nullptr;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return nullptr;
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                             "strict");
    if (!decoded) {
        PyErr_Clear();  // nltk raises its own decoding error when it reads the file
        return nullptr;
    }
    py::str text = py::reinterpret_steal<py::str>(decoded);
    auto stop = std::make_shared<stem::StopSet>();
    for (py::handle line : text.attr("splitlines")()) {
        if (!truthy(line.attr("rstrip")())) continue;
        stop->insert(to_u32(line));
    }
    return stop;
}

}  // namespace

const stem::Lowering& host_lowering(std::u32string_view text) {
    static const auto* ascii = new stem::Lowering({}, {}, nullptr);
    bool plain = true;
    for (char32_t c : text) plain = plain && c < 0x80;
    if (plain) return *ascii;
    // Leaked on purpose, like the character classes: it holds a host
    // callback that must not run after the interpreter is gone.
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<const stem::Lowering*> storage;
    return *storage.call_once_and_store_result(build_lowering).get_stored();
}

std::shared_ptr<const stem::StopSet> nltk_stem_data(const std::string& language,
                                                    py::handle stopwords) {
    const std::optional<std::vector<std::string>> paths = search_path();
    if (!paths) return nullptr;
    const std::optional<std::optional<fs::path>> loaded = loaded_root(stopwords);
    if (loaded && !*loaded) return nullptr;

    Resolved& r = resolutions()[language];
    const std::optional<fs::path> root = loaded ? *loaded : std::optional<fs::path>();
    if (!r.searched || r.paths != *paths || r.root != root) {
        r = Resolved();
        r.paths = *paths;
        r.root = root;
        r.searched = true;
        std::optional<fs::path> corpus = root ? root : find_resource(*paths, "corpora/stopwords");
        std::error_code ec;
        if (corpus && fs::is_regular_file(*corpus / language, ec)) r.file = *corpus / language;
    }
    if (!r.file || !punkt_present(*paths, language)) return nullptr;

    // Read again when the file changed, as nltk reads it on every call.
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(*r.file, ec);
    if (ec) return nullptr;
    const fs::file_time_type modified = fs::last_write_time(*r.file, ec);
    if (ec) return nullptr;
    ReadList& list = read_lists()[*r.file];
    if (!list.stop || list.size != size || list.modified != modified) {
        list.file = *r.file;
        list.size = size;
        list.modified = modified;
        list.stop = read_stopwords(*r.file);
    }
    return list.stop;
}

std::optional<NativeStemming> native_stemming(py::handle wordwash, py::handle nltk_language) {
    if (!PyUnicode_Check(nltk_language.ptr())) return std::nullopt;
    const std::string name = nltk_language.cast<std::string>();
    const std::optional<stem::Language> language = stem::language_named(name);
    if (!language) return std::nullopt;
    py::dict fields = wordwash.attr("__dict__");
    py::object corpus = fields.contains("stopwords") ? py::object(fields["stopwords"]) : py::none();
    std::shared_ptr<const stem::StopSet> stop = nltk_stem_data(name, corpus);
    if (!stop) return std::nullopt;
    return NativeStemming{*language, std::move(stop)};
}

bool nltk_punkt_present(const std::string& language) {
    const std::optional<std::vector<std::string>> paths = search_path();
    return paths && punkt_present(*paths, language);
}

}  // namespace wr
