// Pieces of the command-line program shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

#include "pyutil.hpp"
#include "reasons.hpp"

namespace console {

namespace py = pybind11;

void out(py::handle text);
void err(py::handle text);
py::object language_member(py::handle code);
std::vector<py::object> files_under(py::handle folder);
bool is_document(py::handle path);
py::str one_line_reason(py::error_already_set& e);
py::object make_process(py::handle args, bool detect, py::handle engine, py::handle translate_to);

// Which engine an index was built with, and how (the note beside its files).
struct IndexNote {
    py::object engine = py::none();  // "td", "sb", or None: no index there
    bool detect = false;
    py::object translate_to = py::none();  // a language code or None
    // The three above were written by `index` (not guessed from the files).
    bool noted = false;
    // The folder document names are relative to (a real path), or None.
    py::object home = py::none();
};
IndexNote read_note(py::handle base);
void write_note(py::handle base, const IndexNote& note);
py::object settle_engine(py::handle base, const IndexNote& note, py::handle asked);
// The translation service could not be reached at all.
bool service_unreachable(py::error_already_set& e);
[[noreturn]] void raise_unreachable(py::error_already_set& e, const char* hint);

// What the library prints while a document is made is set aside.
class LibraryPrintsAside {
public:
    LibraryPrintsAside();
    ~LibraryPrintsAside();
    LibraryPrintsAside(const LibraryPrintsAside&) = delete;
    LibraryPrintsAside& operator=(const LibraryPrintsAside&) = delete;

private:
    py::object saved_;
};

class Progress {
public:
    explicit Progress(std::size_t total);
    void step(std::size_t done, py::handle name, bool after);
    void finish();

private:
    std::size_t total_;
    bool tty_ = false;
};

// ---- where hits matched (passages.cpp) ------------------------------------

// Under a hit: its best page and passage, the query's words marked (bold on
// a terminal, in brackets otherwise).
void show_passage(py::handle process, py::handle hit, py::handle query, py::handle language);
// One JSON line for a hit: the corrected query, the results page, name,
// score, language and its best passages.
void print_json_hit(py::handle process, py::handle hit, py::handle query, py::handle language,
                    py::handle corrected, py::handle results_page, py::handle score,
                    py::handle hit_language);

// A setting of the text extraction module (OCR_JOBS, OCR_ONE_PASS) for as
// long as this object lives, then put back as it was: commands and files run
// in the calling process too (--jobs 1, Console.main from a host), whose own
// later calls into the library must not inherit what a command chose.
class PagewringSetting {
public:
    PagewringSetting(const char* name, py::handle value)
        : module_(wr::import("wrapper.infra.Pagewring")), name_(name),
          saved_(module_.attr(name)) {
        module_.attr(name) = value;
    }
    ~PagewringSetting() {
        // A destructor may not throw: an error already on its way stays as
        // it was, and a failure to restore is reported as unraisable.
        py::error_scope pending;
        if (PyObject_SetAttrString(module_.ptr(), name_, saved_.ptr()) != 0)
            PyErr_WriteUnraisable(module_.ptr());
    }
    PagewringSetting(const PagewringSetting&) = delete;
    PagewringSetting& operator=(const PagewringSetting&) = delete;

private:
    py::object module_;
    const char* name_;
    py::object saved_;
};

// ---- why a file is not indexed (explain.cpp) ------------------------------

// One line from the fixed set of causes (reasons.hpp), naming the file by
// `name` wherever the library's message names `path`.
py::str explain_error(py::error_already_set& e, py::handle path, py::handle name);
// The same for an OCR failure the library logged (its traceback text).
py::str explain_ocr_failure(py::handle traceback_text, py::handle path, py::handle name);
// Why a file the library read came out with no text.
py::str explain_empty(py::handle path);
py::str reason_line(reasons::Cause cause, const char* detail);
void init_reasons(py::module_& m);

// While it lives, MuPDF's warnings and errors are not printed on standard
// output (where they would mix with the results a script parses); they go to
// the log, at info level, when it ends.
class MupdfMessagesAside {
public:
    MupdfMessagesAside();
    ~MupdfMessagesAside();
    MupdfMessagesAside(const MupdfMessagesAside&) = delete;
    MupdfMessagesAside& operator=(const MupdfMessagesAside&) = delete;

private:
    py::object tools_;
};

// ---- indexing (indexing.cpp) ----------------------------------------------

int run_index(py::handle args);
int run_remove(py::handle args);
// Turns one file into a document on a thread of a cluster worker, taking
// over nothing process-wide. `task` is (base, path from the base, name,
// detect, language code or None, OCR jobs or None, the digest of the file
// as the index holds it or None); the result is (name, document or None,
// failure or None, why OCR was not used or None, the file's digest or
// None), document and failure both None when the file is unchanged.
py::tuple compile_task(py::object task);

// ---- the local search site (serve.cpp) ----------------------------------------

void add_serve_parser(py::handle subparsers);
int run_serve(py::handle args);
void bind_serve(py::module_& m);
// Records `folder` as one the index at `base` was built from, so that the
// site can find a document's file from its name.
void remember_folder(py::handle base, py::handle folder);

}  // namespace console
