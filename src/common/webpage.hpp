// The local search site's pages as plain C++: escaping, URL pieces, the
// check that a name taken from a request may name a file, and the HTML of
// the search page and the document view. No Python headers: what the pages
// show is gathered by the serving module and handed over as plain values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entitycount.hpp"

namespace wr::web {

// Text for an HTML element or a quoted attribute value: & < > " ' escaped.
std::string escape_html(std::string_view text);

// Every byte but RFC 3986's unreserved ones as %XX, so a document name
// (slashes, blanks, '?', '#') stays one path segment or one query value.
std::string percent_encode(std::string_view text);

// %XX sequences decoded (and '+' as a blank when `plus_is_space`); a '%' not
// followed by two hex digits is kept as it is.
std::string percent_decode(std::string_view text, bool plus_is_space);

// The pairs of a query string ("a=1&b=x+y"), names and values decoded.
std::vector<std::pair<std::string, std::string>> parse_query(std::string_view query);

// Whether `name`, a relative path taken from the index, may be joined to a
// folder: not empty, not absolute, no NUL, no backslash, and no "." or ".."
// segment. A name failing this is never looked up on disk.
bool is_plain_relative(std::string_view name);

// One piece of a passage; marked pieces are the words that matched.
struct Segment {
    std::string text;
    bool marked = false;
};

// What a results page is: the query and the reader's choices. The document
// view carries it too, so that its way back lands on the same page.
struct SearchState {
    std::string query;
    std::string lang;      // the query's language: "" to detect it, else a code
    std::string language;  // only documents in this language ("" for all)
    std::string kind;      // "pdf", "image", "video" or "" for all
    std::string folder;    // only documents under this folder ("" for all, "." the top)
    std::string sort;      // "" (relevance) or "date" (newest file first)
    long page = 1;
    long per_page = 10;
    long default_per_page = 10;
};

// The query string of a results page ("q=...&lang=..."), values encoded;
// choices left at their default are left out.
std::string results_query(const SearchState& state, long page);

struct HitView {
    std::string id;        // document name in the index
    std::string language;  // code, or empty
    std::string kind;      // "PDF", "image", "video"
    std::string folder;    // the folder it is in, as the index names it ("" at the top)
    std::string date;      // its file's date (YYYY-MM-DD), or empty
    std::string score;     // already formatted
    int percent = -1;      // relevance against the best hit, 0-100; -1: no bar
    long page = 0;         // best page from 1; 0 when not known
    std::vector<Segment> passage;
    bool reindex = false;  // filed before pages were kept: the passage shows stems
};

struct Option {
    std::string value;
    std::string label;
};

struct SearchView {
    SearchState state;
    std::string corrected;  // set when correction changed the query
    std::string message;    // a note instead of results (e.g. an empty query)
    bool has_next = false;
    bool searched = false;  // false: the bare form
    long total = -1;        // documents found (after the filters); -1 when not known
    std::vector<HitView> hits;
    // What the index holds, for the filters.
    std::vector<std::string> languages;  // codes
    std::vector<Option> folders;         // value "." is the top folder
    std::vector<std::string> kinds;      // "pdf", "image", "video"
};

std::string render_search(const SearchView& view);

// A word of the query found on a page image, in the page's own units.
struct Box {
    double x = 0, y = 0, w = 0, h = 0;
};

struct DocumentView {
    std::string id;
    std::string kind;      // "PDF", "image", "video"
    std::string language;  // code, or empty
    long pages = 1;
    long page = 1;
    bool from_search = false;  // reached from a results page: `back` is it
    SearchState back;
    std::vector<FoldedGroup> entities;  // grouped, counted, the doubtful folded away
    std::string abstract;  // empty: too short to summarise or no text
    std::vector<std::string> keywords;
    std::vector<std::string> objects;  // "label (0.87)"
    std::string objects_note;          // why there are none, when so
    std::string text_note;             // why the text is unknown, when so
    std::vector<Segment> text;         // the page's text, the query's words marked
    std::string page_text_note;        // why the page has no text, when so
    double page_width = 0, page_height = 0;  // the page's size in its own units; 0: unknown
    long image_width = 0, image_height = 0;  // the rendered image's, 0: unknown
    std::vector<Box> boxes;
    std::string box_note;  // why the words are not marked on the image, when so
};

std::string render_document(const DocumentView& view);

// A short page for a refusal or a failure: status line and one sentence.
std::string render_error(int status, std::string_view message);

// The language's name in English ("Portuguese"); empty for a code that
// names no language the site knows (an embedding index's single "main").
std::string language_name(std::string_view code);

// The bytes and type of a file the site serves as it is (the stylesheet,
// the script, the icon); false for any other name.
bool static_file(std::string_view name, std::string& bytes, std::string& type);

// Every template of the site, read: a fault in one shows here.
std::vector<std::string> check_templates();

// Where the pieces of the site live.
std::string document_url(std::string_view id, long page = 0);
// The document view reached from a results page: it keeps the search.
std::string document_url(std::string_view id, long page, const SearchState& from);
std::string page_image_url(std::string_view id, long page, bool thumbnail);
std::string page_image_url(std::string_view id, long page, std::string_view size);
std::string file_url(std::string_view id);

}  // namespace wr::web
