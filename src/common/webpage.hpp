// The local search site's pages as plain C++: escaping, URL pieces, the
// check that a name taken from a request may name a file, and the HTML of
// the search page and the document view. No Python headers: what the pages
// show is gathered by the serving module and handed over as plain values.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

struct HitView {
    std::string id;        // document name in the index
    std::string language;  // code, or empty
    std::string score;     // already formatted
    long page = 0;         // best page from 1; 0 when not known
    std::vector<Segment> passage;
    bool reindex = false;  // filed before pages were kept: the passage shows stems
};

struct SearchView {
    std::string query;
    std::string language;   // "" for detection, else a code
    std::string corrected;  // set when correction changed the query
    std::string message;    // a note instead of results (e.g. an empty query)
    long page = 1;
    long per_page = 10;
    bool has_next = false;
    bool searched = false;  // false: the bare form
    std::vector<HitView> hits;
};

std::string render_search(const SearchView& view);

struct DocumentView {
    std::string id;
    std::string kind;      // "PDF", "image", "video"
    std::string language;  // code, or empty
    long pages = 1;
    long page = 1;
    std::vector<std::pair<std::string, std::string>> entities;  // (text, label)
    std::string abstract;  // empty: too short to summarise or no text
    std::vector<std::string> keywords;
    std::vector<std::string> objects;  // "label (0.87)"
    std::string objects_note;          // why there are none, when so
    std::string text_note;             // why the text is unknown, when so
};

std::string render_document(const DocumentView& view);

// A short page for a refusal or a failure: status line and one sentence.
std::string render_error(int status, std::string_view message);

// Where the pieces of the site live.
std::string document_url(std::string_view id, long page = 0);
std::string page_image_url(std::string_view id, long page, bool thumbnail);

}  // namespace wr::web
