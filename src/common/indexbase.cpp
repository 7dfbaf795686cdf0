// What `wrapper index` and folder ingestion share with the rest of the
// command line: the note that says how an index was built, the folders it
// was given, which files are documents, and the settings and outputs of the
// library taken over while a file is made.
#include "indexbase.hpp"

#include <string>
#include <vector>

#include "atomicfile.hpp"
#include "dirlock.hpp"
#include "pyutil.hpp"

namespace wr {

namespace {
constexpr const char* kFoldersName = "/models/folders.json";
}  // namespace

// Suffixes that become documents; everything else in a folder is skipped.
// The test is on the exact suffix, as the library's own compile step does it.
const char* const kDocumentSuffixes[] = {".pdf", ".jpg", ".jpeg", ".png", ".mp4"};

py::object language_member(py::handle code) {
    if (code.is_none()) return py::none();
    return wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(code);
}

// Files under `folder`, in a stable order: directories walked sorted.
std::vector<py::object> files_under(py::handle folder, py::list* unlisted) {
    py::object os = wr::import("os");
    py::object join = os.attr("path").attr("join");
    py::object sorted = wr::import_attr("builtins", "sorted");
    std::vector<py::object> files;
    // A folder that cannot be listed (its permissions, a share that did not
    // answer) is not an empty one: the caller is told which, so that none of
    // its documents counts as deleted.
    py::list failed;
    py::object note = py::cpp_function([failed](py::object error) mutable {
        failed.append(error.attr("filename"));
    });
    for (py::handle entry : os.attr("walk")(folder, py::arg("onerror") = note)) {
        auto parts = wr::unpack(entry, 3);
        // walk descends into the list it yielded, so sorting it in place
        // fixes the order of the subdirectories too.
        parts[1].attr("sort")();
        for (py::handle name : sorted(parts[2])) files.push_back(join(parts[0], name));
    }
    if (unlisted)
        for (py::handle path : failed)
            if (!path.is_none()) unlisted->append(path);
    return files;
}

bool is_document(py::handle path) {
    for (const char* suffix : kDocumentSuffixes)
        if (wr::truthy(path.attr("endswith")(suffix))) return true;
    return false;
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

// ---- which engine an index was built with ----------------------------------
//
// Index writes a small note beside the engine's files; search reads it, so
// it needs no flag and can refuse to open an index with the wrong engine.
// Indexes made before the note existed (or by a host through the library)
// are recognised by their engine's model file.

py::str note_path(py::handle base) { return wr::cat({base, "/models/index.json"}); }

IndexNote read_note(py::handle base) {
    py::object os_path = wr::import_attr("os", "path");
    IndexNote note;
    py::str path = note_path(base);
    if (wr::truthy(os_path.attr("isfile")(path))) {
        py::object text = wr::import("pathlib").attr("Path")(path).attr("read_text")(
            py::arg("encoding") = "utf-8");
        py::object data = wr::import_attr("json", "loads")(text);
        note.home = data.attr("get")("home");
        // A note may name only the home folder: a run that settled it has
        // not changed the index yet.
        if (wr::contains(data, py::str("engine"))) {
            note.engine = data.attr("get")("engine");
            note.detect = wr::truthy(data.attr("get")("detect", false));
            note.translate_to = data.attr("get")("translate_to");
            note.noted = true;
            return note;
        }
    }
    // The embedding engine writes its file when it is made, the term
    // engine at its first document; both mean an index of that kind.
    const bool sb = wr::truthy(os_path.attr("isfile")(wr::cat({base, "/models/sb_model.pkl"})));
    const bool td = wr::truthy(os_path.attr("isfile")(wr::cat({base, "/models/td_model.pkl"})));
    if (sb != td) {
        note.engine = py::str(sb ? "sb" : "td");
        // The library's online pipeline detects languages; it is what a host
        // builds an embedding index with.
        note.detect = sb;
    }
    return note;
}

void write_note(py::handle base, const IndexNote& note) {
    py::dict data;
    if (note.noted) {
        data["engine"] = note.engine;
        data["detect"] = py::bool_(note.detect);
        data["translate_to"] = note.translate_to;
    }
    if (!note.home.is_none()) data["home"] = note.home;
    py::str text = wr::import_attr("json", "dumps")(data);
    wr::write_file_atomic(wr::import_attr("os", "fsencode")(note_path(base)).cast<std::string>(),
                          text.attr("encode")("utf-8").cast<std::string>());
}

// The engine to use: the one asked for, which must be the index's own.
py::object settle_engine(py::handle base, const IndexNote& note, py::handle asked) {
    if (note.engine.is_none()) return asked.is_none() ? py::str("td") : py::str(asked);
    if (!asked.is_none() && !asked.equal(note.engine))
        wr::raise(PyExc_ValueError,
                  {"the index at ", base, " was built with the ", note.engine,
                   " engine, not ", asked, " (leave out --engine, or use another --base)"});
    return note.engine;
}

py::object make_process(py::handle base, bool detect, py::handle engine,
                        py::handle translate_to) {
    py::object Process = wr::import_attr("wrapper.Process", "Process");
    py::object kinds = wr::import_attr("wrapper.infra.Enginekind", "Enginekind");
    py::object kind = engine.equal(py::str("sb")) ? kinds.attr("SB") : kinds.attr("TD");
    return Process(base, detect, language_member(translate_to), kind);
}

// The translation service could not be reached at all: the cause of the
// library's error is a transport failure (no route, refused, no name,
// timed out), not an answer from the service.
bool service_unreachable(py::error_already_set& e) {
    py::object transport = py::none();
    try {
        transport = wr::import_attr("httpx", "TransportError");
    } catch (py::error_already_set& missing) {
        if (!missing.matches(PyExc_ImportError)) throw;
    }
    py::object link = e.value();
    for (int depth = 0; depth < 16 && !link.is_none(); ++depth) {
        if (py::isinstance(link, py::handle(PyExc_OSError))) return true;
        if (!transport.is_none() && py::isinstance(link, transport)) return true;
        py::object cause = link.attr("__cause__");
        link = cause.is_none() ? py::object(link.attr("__context__")) : cause;
    }
    return false;
}

[[noreturn]] void raise_unreachable(py::error_already_set& e, const char* hint) {
    py::object urls = wr::import_attr("wrapper.infra.Tonguecheck", "SERVICE_URLS");
    py::object link = e.value();
    while (!link.attr("__cause__").is_none()) link = link.attr("__cause__");
    py::str reason = py::str(link).attr("strip")().attr("split")("\n")[py::int_(0)];
    wr::raise(PyExc_ConnectionError,
              {"the translation service (", py::str(", ").attr("join")(urls),
               ") cannot be reached: ", py::type::handle_of(link).attr("__name__"),
               wr::truthy(reason) ? wr::cat({": ", reason}) : py::str(""), "; ", hint});
}

// ---- which file a document name stands for ---------------------------------
//
// `wrapper index` names a document by its path from the base's home folder
// (the first folder indexed into it; a later folder's files are named
// "../other/x.pdf") and records every folder it was given beside the index.
// This is the one place that turns a name back into a file.

// The folders `wrapper index` recorded beside the index (absolute paths, in
// the order first given). A damaged list only loses the folders the next run
// re-adds.
py::list recorded_folders(py::handle base) {
    py::list folders;
    py::str path = wr::cat({base, kFoldersName});
    if (!wr::truthy(wr::import_attr("os", "path").attr("isfile")(path))) return folders;
    try {
        py::object data = wr::import_attr("json", "loads")(
            wr::import("pathlib").attr("Path")(path).attr("read_text")(py::arg("encoding") = "utf-8"));
        if (py::isinstance<py::dict>(data))
            for (py::handle f : py::list(data.attr("get")("folders", py::list())))
                if (py::isinstance<py::str>(f)) folders.append(f);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return folders;
}

// Read, changed and written under the index's lock: two runs into one base
// at once would otherwise each write back the list they read, and one
// folder would be lost.
void remember_folder(py::handle base, py::handle folder) {
    DirLock lock(wr::cat({base, "/models"}), kTrainingLockWait);
    py::list folders = recorded_folders(base);
    py::object absolute = wr::import_attr("os", "path").attr("abspath")(folder);
    if (wr::contains(folders, absolute)) return;
    folders.append(absolute);
    py::dict data;
    data["folders"] = folders;
    py::object where = wr::import_attr("os", "fsencode")(wr::cat({base, kFoldersName}));
    wr::write_file_atomic(where.cast<std::string>(),
                          py::str(wr::import_attr("json", "dumps")(data)).cast<std::string>());
}

}  // namespace wr
