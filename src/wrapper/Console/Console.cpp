// The command-line program: index a folder of documents into a base path with
// the term-weighting engine, and search it page by page.
//
//   wrapper index FOLDER --base BASE [--detect] [--translate-to LANG]
//   wrapper search QUERY... --base BASE [--language LANG] [--page N]
//                  [--per-page N] [--pages N] [--translate-to LANG]
//   wrapper show FILE [--no-detect] [--translate-to LANG]
//
// A failure is one line on standard error; --traceback shows the whole story.
// The library logs through the root logger; this program is its host, so it
// is the one place that sets up logging (quiet unless --log-level is given).
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <vector>

#include "console.hpp"
#include "pyutil.hpp"

namespace py = pybind11;

namespace console {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;

// Suffixes that become documents; everything else in a folder is skipped.
// The test is on the exact suffix, as the library's own compile step does it.
const char* const kDocumentSuffixes[] = {".pdf", ".jpg", ".jpeg", ".png", ".mp4"};

py::object builtin(const char* name) { return wr::import_attr("builtins", name); }

void out(py::handle text) { builtin("print")(text); }

void err(py::handle text) {
    py::object stderr_ = wr::import_attr("sys", "stderr");
    builtin("print")(text, py::arg("file") = stderr_);
}

py::object language_member(py::handle code) {
    if (code.is_none()) return py::none();
    return wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(code);
}

// An argparse type: a whole number of at least 1, refused with a reason.
py::object positive_int() {
    return py::cpp_function(
        [](py::object text) {
            py::object n = builtin("int")(text);
            if (n < py::int_(1)) {
                wr::raise(wr::import_attr("argparse", "ArgumentTypeError").ptr(),
                          {"must be 1 or more, not ", text});
            }
            return n;
        },
        py::name("positive_int"));
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
        "index", py::arg("help") = "index every supported file under a folder");
    index.attr("add_argument")("folder", py::arg("help") = "folder to index (recursively)");
    index.attr("add_argument")("--base", py::arg("required") = true,
                               py::arg("help") = "base path: the index lives in BASE/models");
    index.attr("add_argument")("--detect", py::arg("action") = "store_true",
                               py::arg("help") = "detect each document's language");
    index.attr("add_argument")("--translate-to", py::arg("choices") = codes,
                               py::arg("help") = "translate documents into this language");
    index.attr("add_argument")(
        "--jobs", py::arg("type") = positive_int(), py::arg("default") = py::none(),
        py::arg("help") = "files compiled at once, each in its own process (default: the "
                          "machine's cores)");
    index.attr("add_argument")(
        "--batch", py::arg("type") = positive_int(), py::arg("default") = 50,
        py::arg("help") = "documents filed per write of the index, at least (default 50)");
    index.attr("add_argument")(
        "--scheduler", py::arg("default") = py::none(),
        py::arg("help") = "compile on a Dask cluster, e.g. tcp://HOST:8786 (needs the "
                          "'cluster' extra)");

    py::object show = sub.attr("add_parser")(
        "show", py::arg("help") = "turn one file into a document and show what was found");
    show.attr("add_argument")("file", py::arg("help") = "a PDF, image or MP4 video");
    show.attr("add_argument")("--no-detect", py::arg("action") = "store_true",
                              py::arg("help") = "do not detect the language");
    show.attr("add_argument")("--translate-to", py::arg("choices") = codes,
                              py::arg("help") = "translate the text into this language");

    py::object search = sub.attr("add_parser")("search", py::arg("help") = "search an index");
    search.attr("add_argument")("query", py::arg("nargs") = "+", py::arg("help") = "query words");
    search.attr("add_argument")("--base", py::arg("required") = true,
                                py::arg("help") = "base path given to index");
    search.attr("add_argument")("--language", py::arg("choices") = codes,
                                py::arg("help") = "the query's language (detected if absent)");
    search.attr("add_argument")("--translate-to", py::arg("choices") = codes,
                                py::arg("help") = "the language the index was translated into");
    search.attr("add_argument")("--page", py::arg("type") = builtin("int"),
                                py::arg("default") = 1, py::arg("help") = "first page (from 1)");
    search.attr("add_argument")("--per-page", py::arg("type") = positive_int(),
                                py::arg("default") = 5, py::arg("help") = "hits per page");
    search.attr("add_argument")("--pages", py::arg("type") = positive_int(),
                                py::arg("default") = 1,
                                py::arg("help") = "how many pages to show at most");
    return parser;
}

// Files under `folder`, in a stable order: directories walked sorted.
std::vector<py::object> files_under(py::handle folder) {
    py::object os = wr::import("os");
    py::object join = os.attr("path").attr("join");
    py::object sorted = builtin("sorted");
    std::vector<py::object> files;
    for (py::handle entry : os.attr("walk")(folder)) {
        auto parts = wr::unpack(entry, 3);
        // walk descends into the list it yielded, so sorting it in place
        // fixes the order of the subdirectories too.
        parts[1].attr("sort")();
        for (py::handle name : sorted(parts[2])) files.push_back(join(parts[0], name));
    }
    return files;
}

bool is_document(py::handle path) {
    for (const char* suffix : kDocumentSuffixes)
        if (wr::truthy(path.attr("endswith")(suffix))) return true;
    return false;
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

// Documents print their base path when they are made; on this program's
// output that is noise between the progress bar and the results, so what
// the library prints while a document is made is set aside.
namespace {
// PySys_SetObject only fails without a sys module; nothing to undo then.
void set_stdout(py::handle stream) { PySys_SetObject("stdout", stream.ptr()); }
}  // namespace

LibraryPrintsAside::LibraryPrintsAside() : saved_(wr::import_attr("sys", "stdout")) {
    set_stdout(wr::import_attr("io", "StringIO")());
}

LibraryPrintsAside::~LibraryPrintsAside() { set_stdout(saved_); }

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

py::object make_process(py::handle args, bool detect) {
    py::object Process = wr::import_attr("wrapper.Process", "Process");
    py::object TD = wr::import_attr("wrapper.infra.Enginekind", "Enginekind").attr("TD");
    return Process(args.attr("base"), detect, language_member(args.attr("translate_to")), TD);
}

// Whitespace runs as single blanks, cut to `limit` characters.
py::str preview(py::handle text, std::size_t limit) {
    if (text.is_none()) return py::str("(none)");
    py::str flat = py::str(" ").attr("join")(text.attr("split")());
    if (py::len(flat) <= limit) return flat;
    return wr::cat({flat[py::slice(0, static_cast<py::ssize_t>(limit), 1)], "..."});
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
    py::list shown;
    if (!entities.is_none()) {
        for (py::handle pair : entities) {
            auto parts = wr::unpack(pair, 2);
            shown.append(wr::cat({preview(parts[0], 60), " (", parts[1], ")"}));
        }
    }
    out(wr::cat({"entities:  ", shown.empty() ? py::str("(none)")
                                              : py::str(", ").attr("join")(shown)}));
    return kExitOk;
}

py::str show_language(py::handle value) {
    if (py::hasattr(value, "value")) return py::str(value.attr("value"));
    return py::str(value);
}

int run_search(py::handle args) {
    py::object os = wr::import("os");
    py::str model = wr::cat({args.attr("base"), "/models/td_model.pkl"});
    if (!wr::truthy(os.attr("path").attr("isfile")(model)))
        wr::raise(PyExc_FileNotFoundError,
                  {"no index at ", args.attr("base"), " (run 'wrapper index' first)"});
    py::object process = make_process(args, false);
    py::str query = py::str(" ").attr("join")(args.attr("query"));
    py::object language = language_member(args.attr("language"));
    const long first = args.attr("page").cast<long>();
    const long pages = args.attr("pages").cast<long>();
    py::object per_page = args.attr("per_page");

    if (!wr::truthy(query.attr("strip")())) {
        err(py::str("wrapper: error: the query is empty: give the words to search for"));
        return kExitFailed;
    }

    bool shown_query = false;
    for (long page = first; page < first + std::max(pages, 1L); ++page) {
        py::object result;
        try {
            result = process.attr("search")(query, language, page, per_page);
        } catch (py::error_already_set& e) {
            // The library refuses a query in a language it cannot tell or
            // does not support; the user can simply say which one it is.
            if (!language.is_none() || !e.matches(PyExc_ValueError)) throw;
            py::object match = wr::import_attr("re", "fullmatch")("Language (.*) not supported",
                                                                  py::str(e.value()));
            if (match.is_none()) throw;
            py::str seen(match.attr("group")(1));
            err(wr::cat({"wrapper: error: the language of the query could not be told",
                         seen.equal(py::str("None"))
                             ? py::str("")
                             : wr::cat({" (it looks like ", seen.attr("replace")("Language.", "").attr("title")(),
                                        ")"}),
                         "; say which it is with --language en, es or pt"}));
            return kExitFailed;
        }
        if (!wr::truthy(result)) {
            out(py::str("no index to search"));
            return kExitFailed;
        }
        auto parts = wr::unpack(result, 2);
        if (!shown_query) {
            out(wr::cat({"query: ", parts[0]}));
            shown_query = true;
        }
        py::list hits = py::list(parts[1]);
        if (hits.empty()) {
            out(py::str(page == first ? "no documents match" : "no more results"));
            break;
        }
        out(wr::cat({"page ", py::int_(page)}));
        for (py::handle hit : hits) {
            py::object score = hit[py::str("Pontuação")];
            py::str shown = py::str("{:.4f}").attr("format")(score);
            out(wr::cat({"  ", shown, "  [", show_language(hit[py::str("language")]), "]  ",
                         hit[py::str("name")]}));
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
    if (command.equal(py::str("index"))) return run_index(args);
    if (command.equal(py::str("show"))) return run_show(args);
    return run_search(args);
}

int main_(py::object argv) {
    py::object parser = make_parser();
    py::object args = parser.attr("parse_args")(argv);
    const bool traceback = wr::truthy(args.attr("traceback"));
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

}  // namespace console

PYBIND11_MODULE(Console, m) {
    using namespace console;
    m.def("main", &main_, py::arg("argv") = py::none(),
          "Run the command line (argv defaults to sys.argv[1:]); returns the exit status.");
    // What `index` runs in its worker processes and on cluster workers; found
    // there by name, so it must live in an importable module.
    m.def("_compile_task", &compile_task, py::arg("task"));
    m.def("_init_worker", &init_worker);
}
