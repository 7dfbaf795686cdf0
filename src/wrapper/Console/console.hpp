// Pieces of the command-line program shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

#include "pyutil.hpp"
#include "indexbase.hpp"
#include "reasons.hpp"

namespace console {

namespace py = pybind11;

void out(py::handle text);
void err(py::handle text);
py::str one_line_reason(py::error_already_set& e);

// The library refuses a query that keeps no word once common words are
// dropped ("to be or not to be"); to a person that is a search that finds
// nothing, and this says why.
bool no_searchable_words(py::error_already_set& e);

// `wrapper index` finished, but some files failed (each listed).
constexpr int kExitSomeFilesFailed = 3;

constexpr const char* kNoSearchableWords =
    "the query has no word to search for: only words too common to index (like \"the\" or \"de\")";

using wr::explain_empty;
using wr::explain_error;
using wr::explain_ocr_failure;
using wr::files_under;
using wr::IndexNote;
using wr::is_document;
using wr::language_member;
using wr::LibraryPrintsAside;
using wr::make_process;
using wr::ModuleSetting;
using wr::MupdfMessagesAside;
using wr::PagewringSetting;
using wr::raise_unreachable;
using wr::read_note;
using wr::recorded_folders;
using wr::reason_line;
using wr::remember_folder;
using wr::service_unreachable;
using wr::settle_engine;
using wr::write_note;

class Progress {
public:
    explicit Progress(std::size_t total);
    void set_total(std::size_t total) { total_ = total; }
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

void init_reasons(py::module_& m);

// ---- searching whatever the query's language (anylanguage.cpp) ---------------

struct Searched {
    py::object result;     // what Process.search returns, or the merged heads
    // The language the query was searched in, for passages and
    // did_you_mean; None when hits of several embedding models were merged
    // (each hit names its own).
    py::object language;
    // When the query's language could not be told: the codes of the
    // languages searched instead. Empty otherwise.
    py::list languages;
};
// The engine's document names, one list per model (the embedding engine
// files them per language): from the term engine's stored index when it
// has not read its model and that is current, else its model loaded first.
std::vector<py::object> name_lists(py::handle process);
// (ids in order, {id: language}) of a term engine that has not read its
// model, from the index stored beside it; None otherwise.
py::object stored_documents(py::handle engine);
// Whether the index holds no document yet (in any language).
bool holds_nothing(py::handle process);

// Process.search(query, language, page, per_page) when the language is
// given; otherwise in the detected language when the index holds documents
// in it, else in the languages it holds.
Searched search_any_language(py::handle process, py::handle query, py::handle language,
                             py::handle page, py::handle per_page);
// The query as a person reads what was searched: did_you_mean's words when
// the term engine corrected it, else the query as typed.
py::object words_searched(py::handle process, py::handle query, py::handle hits, py::handle language);
// The settings a search of the command line or the page runs with, for as
// long as it lives: the ranked term search (FinderyTD.RANKING "bm25") and
// the embedding engine's score floor (FinderySB.SCORE_FLOOR).
class SearchSettings {
public:
    SearchSettings();

private:
    ModuleSetting ranking_;
    ModuleSetting floor_;
};

// ---- indexing (indexing.cpp) ----------------------------------------------

int run_index(py::handle args);
int run_remove(py::handle args);

// ---- the local search site (serve.cpp) ----------------------------------------

void add_serve_parser(py::handle subparsers);
int run_serve(py::handle args);
void bind_serve(py::module_& m);

}  // namespace console
