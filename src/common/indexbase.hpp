// What folder ingestion shares with the command line: how an index was
// built (the note beside its files), which files are documents, the folders
// an index was given, why a file is not indexed, and the library's settings
// and outputs taken over while a file is made.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "pyutil.hpp"
#include "reasons.hpp"

namespace wr {

namespace py = pybind11;

py::object language_member(py::handle code);
// Files under `folder`, in a stable order: directories walked sorted. The
// folders that could not be listed are added to `unlisted`.
std::vector<py::object> files_under(py::handle folder, py::list* unlisted = nullptr);
bool is_document(py::handle path);
py::object make_process(py::handle base, bool detect, py::handle engine, py::handle translate_to);

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

// The folders an index was built from (absolute paths, in the order first
// given), kept beside it so that a document's file can be found by its name.
py::list recorded_folders(py::handle base);
void remember_folder(py::handle base, py::handle folder);

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

// A module's setting (Pagewring's OCR_JOBS and OCR_ONE_PASS, FinderyTD's
// RANKING, FinderySB's SCORE_FLOOR) for as long as this object lives, then
// put back as it was: commands run in the calling process too (Console.main
// from a host), whose own later calls into the library must not inherit
// what a command chose.
class ModuleSetting {
public:
    ModuleSetting(const char* module, const char* name, py::handle value)
        : module_(wr::import(module)), name_(name), saved_(module_.attr(name)) {
        module_.attr(name) = value;
    }
    ~ModuleSetting() {
        // A destructor may not throw: an error already on its way stays as
        // it was, and a failure to restore is reported as unraisable.
        py::error_scope pending;
        if (PyObject_SetAttrString(module_.ptr(), name_, saved_.ptr()) != 0)
            PyErr_WriteUnraisable(module_.ptr());
    }
    ModuleSetting(const ModuleSetting&) = delete;
    ModuleSetting& operator=(const ModuleSetting&) = delete;

private:
    py::object module_;
    const char* name_;
    py::object saved_;
};

// A setting of the text extraction module.
class PagewringSetting : public ModuleSetting {
public:
    PagewringSetting(const char* name, py::handle value)
        : ModuleSetting("wrapper.infra.Pagewring", name, value) {}
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

}  // namespace wr
