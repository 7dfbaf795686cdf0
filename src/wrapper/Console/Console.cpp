// The command-line program: index a folder of documents into a base path with
// the term-weighting or the sentence-embedding engine, and search it page by
// page.
//
//   wrapper index FOLDER --base BASE [--detect] [--translate-to LANG]
//                 [--engine td|sb]
//   wrapper search QUERY... --base BASE [--language LANG] [--page N]
//                  [--per-page N] [--pages N] [--translate-to LANG]
//                  [--engine td|sb]
//   wrapper remove PATH... --base BASE
//   wrapper show FILE [--no-detect] [--translate-to LANG]
//   wrapper fetch-weights [--url URL] [--timeout SECONDS]
//   wrapper serve --base BASE [--host 127.0.0.1] [--port 8765]
//
// A failure is one line on standard error; --traceback shows the whole story.
// The library logs through the root logger; this program is its host, so it
// is the one place that sets up logging (quiet unless --log-level is given).
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "console.hpp"
#include "entitycount.hpp"
#include "pyutil.hpp"
#include "reasons.hpp"

namespace py = pybind11;

namespace console {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;

py::object builtin(const char* name) { return wr::import_attr("builtins", name); }

void out(py::handle text) { builtin("print")(text); }

void err(py::handle text) {
    py::object stderr_ = wr::import_attr("sys", "stderr");
    builtin("print")(text, py::arg("file") = stderr_);
}

// The argument type of the page options: a whole number from 1 up, kept as
// the host's integer (of any size: the search pages with host arithmetic).
// Anything else is a usage error, in argparse's own words.
py::object counting_number() {
    py::cpp_function parse(
        [](py::object text) -> py::object {
            py::object value = py::none();
            try {
                value = builtin("int")(text);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
            }
            if (value.is_none() || !(value >= py::int_(1)))
                wr::raise(wr::import_attr("argparse", "ArgumentTypeError").ptr(),
                          {"invalid value: ", py::repr(text), " (a whole number from 1 up)"});
            return value;
        },
        py::name("count"));
    return parse;
}

// A number of seconds above zero, finite.
py::object positive_seconds() {
    py::cpp_function parse(
        [](py::object text) -> py::object {
            double value = 0;
            try {
                value = py::float_(builtin("float")(text)).cast<double>();
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
            }
            if (!(value > 0) || !std::isfinite(value) || value > 1e9)
                wr::raise(wr::import_attr("argparse", "ArgumentTypeError").ptr(),
                          {"invalid value: ", py::repr(text), " (seconds above 0)"});
            return py::float_(value);
        },
        py::name("seconds"));
    return parse;
}

py::object make_parser() {
    py::object argparse = wr::import("argparse");
    py::object parser = argparse.attr("ArgumentParser")(
        py::arg("prog") = "wrapper",
        py::arg("description") =
            "Index a folder of PDFs, images and videos and search it (OCR, language "
            "detection, stemming, TF-IDF with query correction).");
    parser.attr("add_argument")("--traceback", py::arg("action") = "store_true",
                                py::arg("help") = "show the full traceback of a failure");
    parser.attr("add_argument")(
        "--log-level", py::arg("default") = py::none(),
        py::arg("choices") = py::make_tuple("debug", "info", "warning", "error"),
        py::arg("help") = "show the library's log lines from this level up");
    py::object sub = parser.attr("add_subparsers")(py::arg("dest") = "command",
                                                   py::arg("required") = true);
    py::list codes;
    for (const char* c : {"en", "es", "pt"}) codes.append(c);

    py::object index = sub.attr("add_parser")(
        "index", py::arg("help") = "index every supported file under a folder",
        py::arg("epilog") = "exit status: 0 when every file was indexed (or was unchanged), "
                            "3 when the run finished but some files failed (listed), 1 when "
                            "the run itself failed, 2 for a wrong command line, 130 when "
                            "interrupted");
    index.attr("add_argument")("folder", py::arg("help") = "folder to index (recursively)");
    index.attr("add_argument")("--base", py::arg("required") = true,
                               py::arg("help") = "base path: the index lives in BASE/models");
    index.attr("add_argument")("--detect", py::arg("action") = "store_true",
                               py::arg("help") = "detect each document's language");
    index.attr("add_argument")("--translate-to", py::arg("choices") = codes,
                               py::arg("help") = "translate documents into this language");
    index.attr("add_argument")(
        "--engine", py::arg("choices") = py::make_tuple("td", "sb"),
        py::arg("help") = "td: term weighting (the default); sb: sentence embeddings. "
                          "An index keeps the engine it was built with");
    index.attr("add_argument")(
        "--jobs", py::arg("type") = counting_number(), py::arg("default") = py::none(),
        py::arg("help") = "files compiled at once, each in its own process (default: the "
                          "machine's cores)");
    index.attr("add_argument")(
        "--batch", py::arg("type") = counting_number(), py::arg("default") = 50,
        py::arg("help") = "documents filed per write of the index, at least (default 50)");
    index.attr("add_argument")(
        "--file-timeout", py::arg("type") = positive_seconds(), py::arg("default") = py::none(),
        py::arg("metavar") = "SECONDS",
        py::arg("help") = "time a file may take per page (one page at least) before its "
                          "worker is killed and it is reported failed (default 300)");
    index.attr("add_argument")(
        "--scheduler", py::arg("default") = py::none(),
        py::arg("help") = "compile on a Dask cluster, e.g. tcp://HOST:8786 (needs the "
                          "'cluster' extra)");

    py::object remove = sub.attr("add_parser")(
        "remove", py::arg("help") = "drop files (or every file under a folder) from an index "
                                    "without deleting them");
    remove.attr("add_argument")("paths", py::arg("nargs") = "+", py::arg("metavar") = "PATH",
                                py::arg("help") = "files or folders as given to index");
    remove.attr("add_argument")("--base", py::arg("required") = true,
                                py::arg("help") = "base path given to index");

    py::object show = sub.attr("add_parser")(
        "show", py::arg("help") = "turn one file into a document and show what was found");
    show.attr("add_argument")("file", py::arg("help") = "a PDF, image or MP4 video");
    show.attr("add_argument")("--no-detect", py::arg("action") = "store_true",
                              py::arg("help") = "do not detect the language");
    show.attr("add_argument")("--translate-to", py::arg("choices") = codes,
                              py::arg("help") = "translate the text into this language");

    py::object fetch = sub.attr("add_parser")(
        "fetch-weights", py::arg("help") = "download the YOLOv3 weights (248 MB) that object "
                                           "detection in images and videos needs");
    fetch.attr("add_argument")("--url", py::arg("help") = "download from here instead of the "
                                                          "weights' public address");
    fetch.attr("add_argument")("--timeout", py::arg("type") = builtin("float"),
                               py::arg("default") = 3600.0,
                               py::arg("help") = "give up after this many seconds");

    py::object search = sub.attr("add_parser")("search", py::arg("help") = "search an index");
    search.attr("add_argument")("query", py::arg("nargs") = "+", py::arg("help") = "query words");
    search.attr("add_argument")("--base", py::arg("required") = true,
                                py::arg("help") = "base path given to index");
    search.attr("add_argument")("--language", py::arg("choices") = codes,
                                py::arg("help") = "the query's language (detected if absent)");
    search.attr("add_argument")("--translate-to", py::arg("choices") = codes,
                                py::arg("help") = "the language the index was translated into");
    py::object count = counting_number();
    search.attr("add_argument")("--page", py::arg("type") = count,
                                py::arg("default") = 1, py::arg("help") = "first page (from 1)");
    search.attr("add_argument")("--per-page", py::arg("type") = count,
                                py::arg("default") = 5, py::arg("help") = "hits per page");
    search.attr("add_argument")("--pages", py::arg("type") = count,
                                py::arg("default") = 1,
                                py::arg("help") = "how many pages to show at most");
    search.attr("add_argument")(
        "--engine", py::arg("choices") = py::make_tuple("td", "sb"),
        py::arg("help") = "the engine the index was built with (found by itself if absent)");
    search.attr("add_argument")("--json", py::arg("action") = "store_true",
                                py::arg("help") = "one JSON line per hit (query, score, pages, passages)");
    add_serve_parser(sub);
    return parser;
}

// The reason a document failed, on one line.
py::str one_line_reason(py::error_already_set& e) {
    py::object value = e.value();
    py::str text = py::str(value);
    py::object first = text.attr("strip")().attr("split")("\n")[py::int_(0)];
    py::str type_name = py::type::handle_of(value).attr("__name__");
    if (!wr::truthy(first)) return type_name;
    return wr::cat({type_name, ": ", first});
}

Progress::Progress(std::size_t total) : total_(total) {
    tty_ = wr::truthy(wr::import_attr("sys", "stderr").attr("isatty")());
}

// Called before a file (the bar shows what is being worked on) and after
// it; without a terminal only the line after each file is written.
void Progress::step(std::size_t done, py::handle name, bool after) {
    if (!tty_ && !after) return;
    const std::size_t width = 30;
    const std::size_t filled = total_ == 0 ? width : width * done / total_;
    std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
                      std::to_string(done) + "/" + std::to_string(total_) + " ";
    py::str line = wr::cat({bar.c_str(), name});
    py::object stderr_ = wr::import_attr("sys", "stderr");
    if (tty_) {
        // Redraw in place; pad so a shorter name wipes the longer one.
        stderr_.attr("write")(wr::cat({"\r", line.attr("ljust")(100)}));
        stderr_.attr("flush")();
    } else {
        err(line);
    }
}

void Progress::finish() {
    if (!tty_) return;
    py::object stderr_ = wr::import_attr("sys", "stderr");
    stderr_.attr("write")("\n");
    stderr_.attr("flush")();
}

// Whitespace runs as single blanks, cut to `limit` characters.
py::str preview(py::handle text, std::size_t limit) {
    if (text.is_none()) return py::str("(none)");
    py::str flat = py::str(" ").attr("join")(text.attr("split")());
    if (py::len(flat) <= limit) return flat;
    return wr::cat({flat[py::slice(0, static_cast<py::ssize_t>(limit), 1)], "..."});
}

std::string utf8_of(py::handle text) {
    return py::str(text).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
}

py::str from_utf8(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                       "surrogateescape");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// Each entity once with the number of times the text names it, grouped by
// label: a long document names its people and places many times over.
py::str entity_list(py::handle entities) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!entities.is_none()) {
        for (py::handle pair : entities) {
            auto parts = wr::unpack(pair, 2);
            pairs.emplace_back(utf8_of(preview(parts[0], 60)), utf8_of(parts[1]));
        }
    }
    if (pairs.empty()) return py::str("(none)");
    py::list groups;
    for (const wr::EntityGroup& group : wr::count_entities(pairs)) {
        py::list shown;
        for (const wr::CountedEntity& e : group.entities)
            shown.append(wr::cat({from_utf8(e.text), " (", py::int_(e.count), ")"}));
        groups.append(wr::cat({from_utf8(group.label), ": ", py::str(", ").attr("join")(shown)}));
    }
    return py::str("; ").attr("join")(groups);
}

py::str confidence(py::handle value) { return py::str("{:.2f}").attr("format")(value); }

// The objects the detectors find in an image or a video: for an image each
// one with its confidence, for a video each label with the number of frames
// it shows up in. The weights are fetched by the user, so their absence is a
// note, not a failure.
void show_objects(py::handle file) {
    const bool video = wr::truthy(file.attr("endswith")(".mp4"));
    if (!video && !wr::truthy(file.attr("endswith")(py::make_tuple(".jpg", ".jpeg", ".png"))))
        return;
    py::object spotter = wr::import("wrapper.infra.Picspotter");
    py::object path = wr::import_attr("os", "path");
    py::object weights =
        path.attr("join")(path.attr("dirname")(spotter.attr("__file__")), "res/yolov3.weights");
    if (!wr::truthy(path.attr("isfile")(weights))) {
        out(py::str("objects:   (not detected: the YOLOv3 weights are not installed; "
                    "'wrapper fetch-weights' downloads them)"));
        return;
    }
    py::list shown;
    if (!video) {
        py::object found;
        {
            LibraryPrintsAside aside;
            found = spotter.attr("identify_objects_in_image")(file);
        }
        for (py::handle pair : found) {
            auto parts = wr::unpack(pair, 2);
            shown.append(wr::cat({parts[0], " (", confidence(parts[1]), ")"}));
        }
    } else {
        py::object frames = wr::import_attr("wrapper.infra.Reelspotter",
                                            "identify_objects_in_video")(file);
        py::dict seen;  // label -> frames it is in, in order of first sight
        for (py::handle frame : frames) {
            py::set counted;
            for (py::handle pair : frame) {
                py::object label = wr::unpack(pair, 2)[0];
                if (counted.contains(label)) continue;
                counted.add(label);
                seen[label] = py::int_(seen.attr("get")(label, 0)) + py::int_(1);
            }
        }
        for (auto item : seen)
            shown.append(wr::cat({item.first, " in ", item.second, " of ", py::len(frames),
                                  " frames"}));
    }
    out(wr::cat({"objects:   ", shown.empty() ? py::str("(none)")
                                              : py::str(", ").attr("join")(shown)}));
}

// The abstract and keywords of the document's working text, cleaned with the
// rules of its language (Portuguese when none is known). A text too short to
// summarise gets a one-line note instead of an abstract.
void show_abstract(py::handle doc) {
    py::object text = doc.attr("text");
    if (!PyUnicode_Check(text.ptr()) || !wr::truthy(text)) {
        out(py::str("abstract:  (no text)"));
        return;
    }
    py::object language = doc.attr("translate_to");
    if (language.is_none()) language = doc.attr("detected_language");
    py::object name = py::str("portuguese");
    if (!language.is_none())
        name = wr::import_attr("wrapper.infra.Idiomark", "Idiomark").attr("get_nltk_language")(language);
    py::object precisor = wr::import("wrapper.infra.Precisor");
    py::list sentences;
    try {
        sentences = precisor.attr("summarize")(text, py::arg("split") = true, py::arg("language") = name);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // one sentence only
    }
    py::object head = sentences[py::slice(0, std::min<py::ssize_t>(3, py::len(sentences)), 1)];
    out(wr::cat({"abstract:  ", sentences.empty() ? py::str("(text too short to summarise)")
                                                  : preview(py::str(" ").attr("join")(head), 480)}));
    py::list words = precisor.attr("keywords")(text, py::arg("words") = 10, py::arg("split") = true,
                                               py::arg("lemmatize") = true, py::arg("language") = name);
    out(wr::cat({"keywords:  ", words.empty() ? py::str("(none)") : py::str(", ").attr("join")(words)}));
}

int run_show(py::handle args) {
    py::object os = wr::import("os");
    py::object file = os.attr("path").attr("abspath")(args.attr("file"));
    if (!wr::truthy(os.attr("path").attr("isfile")(file)))
        wr::raise(PyExc_FileNotFoundError, {"no such file: ", args.attr("file")});
    // The OCR step leaves its intermediate file in the base path; a scratch
    // directory keeps it away from the user's files.
    py::object scratch = wr::import("tempfile").attr("TemporaryDirectory")(
        py::arg("prefix") = "wrapper-show-");
    py::object base = scratch.attr("name");
    py::object doc;
    try {
        LibraryPrintsAside aside;
        py::object Process = wr::import_attr("wrapper.Process", "Process");
        doc = Process.attr("compile")(base, os.attr("path").attr("relpath")(file, base),
                                      !wr::truthy(args.attr("no_detect")),
                                      language_member(args.attr("translate_to")));
    } catch (py::error_already_set&) {
        scratch.attr("cleanup")();
        throw;
    }
    scratch.attr("cleanup")();

    py::object language = doc.attr("detected_language");
    py::object tokens = doc.attr("tokens");
    py::object entities = doc.attr("named_entities");
    out(wr::cat({"file:      ", args.attr("file")}));
    out(wr::cat({"language:  ", language.is_none() ? py::str("(not detected)")
                                                   : py::str(language.attr("value"))}));
    out(wr::cat({"text:      ", preview(doc.attr("extracted_text"), 240)}));
    if (!doc.attr("text").is(doc.attr("extracted_text")))
        out(wr::cat({"working:   ", preview(doc.attr("text"), 240)}));
    out(wr::cat({"stems:     ", preview(py::str(" ").attr("join")(tokens), 160), " (",
                 py::len(tokens), ")"}));
    out(wr::cat({"entities:  ", entity_list(entities)}));
    show_abstract(doc);
    show_objects(file);
    return kExitOk;
}

int run_fetch_weights(py::handle args) {
    out(py::str("downloading the YOLOv3 weights (248 MB)..."));
    py::object path = wr::import_attr("wrapper.infra.Picspotter", "_fetch_weights")(
        args.attr("url"), args.attr("timeout"));
    out(wr::cat({"saved ", path}));
    return kExitOk;
}

py::str show_language(py::handle value) {
    if (py::hasattr(value, "value")) return py::str(value.attr("value"));
    return py::str(value);
}

// Packages that a search imports (through the library's modules) but never
// calls: named-entity recognition and the OCR stack. Together they take most
// of a search command's start-up.
const char* const kUnusedBySearch[] = {"spacy", "cv2", "fitz", "pytesseract", "PIL.Image"};

// While it lives, the packages above are imported lazily (the standard
// library's LazyLoader): the module object exists at once, its code runs on
// first use. A search never uses them, so they never load; anything that
// does use one still gets the whole module.
class DeferredImports {
public:
    DeferredImports() {
        py::cpp_function find_spec(
            [](py::object name, py::object path, py::object /*target*/) -> py::object {
                bool deferred = false;
                for (const char* n : kUnusedBySearch) deferred = deferred || name.equal(py::str(n));
                if (!deferred) return py::none();
                py::object machinery = wr::import("importlib.machinery");
                py::object found = machinery.attr("PathFinder").attr("find_spec")(name, path);
                // Only modules written in Python can wait; anything else is
                // left to the ordinary finders.
                if (found.is_none() ||
                    !py::isinstance(found.attr("loader"), machinery.attr("SourceFileLoader")))
                    return py::none();
                found.attr("loader") = wr::import_attr("importlib.util", "LazyLoader")(found.attr("loader"));
                return found;
            },
            py::arg("name"), py::arg("path"), py::arg("target") = py::none());
        finder_ = wr::import_attr("types", "SimpleNamespace")(py::arg("find_spec") = find_spec);
        wr::import_attr("sys", "meta_path").attr("insert")(0, finder_);
    }
    ~DeferredImports() {
        // Modules made meanwhile stay lazy, and load if anything uses them.
        py::error_scope pending;  // an error on its way out survives the removal
        PyObject* meta_path = PySys_GetObject("meta_path");  // borrowed
        if (meta_path && PyList_Check(meta_path)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(meta_path); ++i) {
                if (PyList_GET_ITEM(meta_path, i) == finder_.ptr()) {
                    PySequence_DelItem(meta_path, i);
                    break;
                }
            }
        }
        PyErr_Clear();
    }
    DeferredImports(const DeferredImports&) = delete;
    DeferredImports& operator=(const DeferredImports&) = delete;

private:
    py::object finder_;
};

bool no_searchable_words(py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) return false;
    return py::type::handle_of(e.value()).is(py::handle(PyExc_Exception)) &&
           wr::truthy(py::str(e.value()).attr("startswith")("it doesn't have tokens for text"));
}

int run_search(py::handle args) {
    DeferredImports deferred;
    // The ranked term search and the embedding floor (made after the
    // deferral: it imports the engines' modules).
    SearchSettings settings;
    py::object base = args.attr("base");
    IndexNote note = read_note(base);
    if (note.engine.is_none())
        wr::raise(PyExc_FileNotFoundError, {"no index at ", base, " (run 'wrapper index' first)"});
    py::object engine = settle_engine(base, note, args.attr("engine"));
    py::object translate_to = args.attr("translate_to");
    if (translate_to.is_none()) translate_to = note.translate_to;
    // The embedding engine searches the way it was filled: per language
    // when documents were detected, else in its single model.
    py::object process = make_process(args.attr("base"), note.detect && engine.equal(py::str("sb")), engine,
                                      translate_to);
    py::str query = py::str(" ").attr("join")(args.attr("query"));
    py::object language = language_member(args.attr("language"));
    // Host integers throughout: a page number has no upper bound here.
    const py::object first = args.attr("page");
    const py::object end = first + args.attr("pages");
    py::object per_page = args.attr("per_page");

    if (!wr::truthy(query.attr("strip")())) {
        err(py::str("wrapper: error: the query is empty: give the words to search for"));
        return kExitFailed;
    }

    const bool json = wr::truthy(args.attr("json"));
    bool shown_query = false;
    py::object words = query;  // the query as searched, in words
    for (py::object page = first; page < end; page = page + py::int_(1)) {
        Searched searched;
        try {
            searched = search_any_language(process, query, language, page, per_page);
        } catch (py::error_already_set& e) {
            // A translated index translates each query too.
            if (!e.matches(PyExc_Exception)) throw;
            if (no_searchable_words(e)) {
                if (!json) out(wr::cat({"no documents match: ", kNoSearchableWords}));
                return kExitOk;
            }
            if (!translate_to.is_none() && service_unreachable(e))
                raise_unreachable(e, "an index built with --translate-to needs it to search");
            // An index of folders with nothing to file yet finds nothing.
            if (holds_nothing(process)) {
                if (!json) out(py::str("no documents match"));
                return kExitOk;
            }
            throw;
        }
        py::object result = searched.result;
        if (!wr::truthy(result)) {  // nothing filed yet
            if (!json) out(py::str("no documents match"));
            return kExitOk;
        }
        auto parts = wr::unpack(result, 2);
        py::list hits = py::list(parts[1]);
        if (!shown_query) {
            words = words_searched(process, query, hits, searched.language);
            if (!json) {
                out(words.equal(query) ? wr::cat({"query: ", words})
                                       : wr::cat({"query: ", words, " (corrected from: ", query, ")"}));
                if (!searched.languages.empty())
                    out(wr::cat({"searched in: ", py::str(", ").attr("join")(searched.languages),
                                 " (the query's language could not be told)"}));
            }
            shown_query = true;
        }
        if (hits.empty()) {
            if (!json) out(py::str(page.equal(first) ? "no documents match" : "no more results"));
            break;
        }
        if (!json) out(wr::cat({"page ", page}));
        for (py::handle hit : hits) {
            // The term engine calls the score "Pontuação", the embedding one "Score".
            py::object score = hit.contains(py::str("Score")) ? hit[py::str("Score")]
                                                              : hit[py::str("Pontuação")];
            // Hits merged from several embedding models name their own language.
            py::object hit_language = searched.language.is_none()
                ? language_member(hit[py::str("language")]) : searched.language;
            if (json) {
                print_json_hit(process, hit, query, hit_language, words, page, score,
                               show_language(hit[py::str("language")]));
                continue;
            }
            py::str shown = py::str("{:.4f}").attr("format")(score);
            out(wr::cat({"  ", shown, "  [", show_language(hit[py::str("language")]), "]  ",
                         hit[py::str("name")]}));
            show_passage(process, hit, query, hit_language);
        }
    }
    return kExitOk;
}

void set_up_logging(py::handle level) {
    py::object logging = wr::import("logging");
    if (level.is_none()) {
        // The library reports the failures it recovers from (an OCR run that
        // falls back to the PDF's own text) at error level with a traceback;
        // the summary already says what became of each file.
        logging.attr("disable")(logging.attr("CRITICAL"));
        return;
    }
    logging.attr("basicConfig")(py::arg("level") = level.attr("upper")(),
                                py::arg("format") = "%(levelname)s %(message)s");
}

int run(py::handle args) {
    py::str command = args.attr("command");
    // A detected PDF is OCR'd once, in the language a sample of it tells,
    // not once more to learn it (see Pagewring.OCR_ONE_PASS). The workers
    // `index` forks inherit it.
    std::optional<PagewringSetting> one_pass;
    if (command.equal(py::str("index")) || command.equal(py::str("show")))
        one_pass.emplace("OCR_ONE_PASS", py::bool_(true));
    if (command.equal(py::str("index"))) return run_index(args);
    if (command.equal(py::str("remove"))) return run_remove(args);
    if (command.equal(py::str("show"))) return run_show(args);
    if (command.equal(py::str("fetch-weights"))) return run_fetch_weights(args);
    if (command.equal(py::str("serve"))) return run_serve(args);
    return run_search(args);
}

// A search run as its own process does no linear algebra that threads
// would speed up, yet numpy's OpenBLAS starts a thread a core that spins
// for about a tenth of a second before it sleeps: as much CPU as the
// search itself. Only for the command (not a host calling main()), only
// before numpy is loaded, and never over the user's own setting.
void one_blas_thread_to_search(py::handle args) {
    if (!py::str(args.attr("command")).equal(py::str("search"))) return;
    if (wr::import("sys").attr("modules").contains("numpy")) return;
    py::object environ = wr::import("os").attr("environ");
    if (!environ.contains("OPENBLAS_NUM_THREADS")) environ["OPENBLAS_NUM_THREADS"] = "1";
}

int main_(py::object argv) {
    py::object parser = make_parser();
    py::object args = parser.attr("parse_args")(argv);
    const bool traceback = wr::truthy(args.attr("traceback"));
    if (argv.is_none()) one_blas_thread_to_search(args);
    // Called in-process (by a host or a test), the caller's logging comes
    // back as it was.
    py::object logging = wr::import("logging");
    py::object was_disabled = logging.attr("root").attr("manager").attr("disable");
    try {
        set_up_logging(args.attr("log_level"));
        int status = run(args);
        logging.attr("disable")(was_disabled);
        return status;
    } catch (py::error_already_set& e) {
        logging.attr("disable")(was_disabled);
        if (e.matches(PyExc_KeyboardInterrupt)) {
            err(py::str("wrapper: interrupted"));
            return kExitInterrupted;
        }
        if (!e.matches(PyExc_Exception)) throw;
        if (traceback) err(wr::format_exc(e));
        err(wr::cat({"wrapper: error: ", one_line_reason(e)}));
        return kExitFailed;
    }
}

void init_reasons(py::module_& m) {
    // For the tests: the core's answer for a traceback text.
    m.def(
        "_explain",
        [](const std::string& traceback, const std::string& path, const std::string& name,
           py::bytes head, bool ocr) {
            reasons::Failure f{traceback, path, name, head.cast<std::string>(), ocr};
            return reasons::explain(f);
        },
        py::arg("traceback"), py::arg("path") = "", py::arg("name") = "",
        py::arg("head") = py::bytes("%PDF-1.7"), py::arg("ocr") = false);
}

}  // namespace console

PYBIND11_MODULE(Console, m) {
    using namespace console;
    m.def("main", &main_, py::arg("argv") = py::none(),
          "Run the command line (argv defaults to sys.argv[1:]); returns the exit status.");
    // What `index` runs in its worker processes and on cluster workers; found
    // there by name, so it must live in an importable module.
    bind_serve(m);
    console::init_reasons(m);
}
