#include "webpage.hpp"


namespace wr::web {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The styling is inline so that the site is one answer per page and needs no
// file of its own on disk.
const char* const kStyle =
    "<style>"
    "body{font-family:sans-serif;margin:1.5em auto;max-width:60em;padding:0 1em;color:#222}"
    "form{display:flex;gap:.5em;margin-bottom:1em}"
    "input[type=search]{flex:1;font-size:1.1em;padding:.3em}"
    ".hit{display:flex;gap:1em;border-top:1px solid #ddd;padding:.8em 0}"
    ".hit img{width:120px;border:1px solid #ccc;align-self:flex-start}"
    ".meta{color:#666;font-size:.9em}"
    "mark{background:#fe6;font-weight:bold}"
    ".did-you-mean{font-style:italic}"
    ".pages a,.paging a{margin-right:.5em}"
    ".pages .current{font-weight:bold;margin-right:.5em}"
    ".document-view{display:flex;gap:1.5em;align-items:flex-start}"
    ".document-view figure{flex:3;margin:0}"
    ".document-view aside{flex:2;min-width:14em}"
    "img.page{width:100%;border:1px solid #ccc}"
    "</style>";

void head(std::string& out, std::string_view title) {
    out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width\">"
           // No icon: browsers would otherwise ask for /favicon.ico on every visit.
           "<link rel=\"icon\" href=\"data:,\"><title>";
    out += escape_html(title);
    out += "</title>";
    out += kStyle;
    out += "</head><body>\n";
}

std::string search_url(std::string_view query, std::string_view language, long page) {
    std::string url = "/search?q=" + percent_encode(query);
    if (!language.empty()) url += "&lang=" + percent_encode(language);
    if (page > 1) url += "&page=" + std::to_string(page);
    return url;
}

void search_form(std::string& out, const SearchView& view) {
    out += "<form action=\"/search\" method=\"get\" role=\"search\">"
           "<input type=\"search\" id=\"q\" name=\"q\" autofocus aria-label=\"query\" value=\"";
    out += escape_html(view.query);
    out += "\"><select id=\"lang\" name=\"lang\" aria-label=\"language of the query\">";
    static const char* const options[][2] = {
        {"", "any language"}, {"en", "English"}, {"es", "Spanish"}, {"pt", "Portuguese"}};
    for (const auto& option : options) {
        out += "<option value=\"";
        out += option[0];
        out += "\"";
        if (view.language == option[0]) out += " selected";
        out += ">";
        out += option[1];
        out += "</option>";
    }
    out += "</select><button type=\"submit\">Search</button></form>\n";
}

void passage(std::string& out, const std::vector<Segment>& segments) {
    out += "<p class=\"passage\">";
    for (const auto& s : segments) {
        if (s.marked) out += "<mark>";
        out += escape_html(s.text);
        if (s.marked) out += "</mark>";
    }
    out += "</p>";
}

}  // namespace

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string percent_encode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string percent_decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += (plus_is_space && c == '+') ? ' ' : c;
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> parse_query(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t start = 0;
    while (start < query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view item = query.substr(start, end - start);
        if (!item.empty()) {
            const std::size_t eq = item.find('=');
            const std::string_view name = item.substr(0, eq);
            const std::string_view value =
                eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
            pairs.emplace_back(percent_decode(name, true), percent_decode(value, true));
        }
        start = end + 1;
    }
    return pairs;
}

bool is_plain_relative(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    if (name.find('\0') != std::string_view::npos || name.find('\\') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view segment = name.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        start = end + 1;
    }
    return true;
}

std::string document_url(std::string_view id, long page) {
    std::string url = "/documents/" + percent_encode(id);
    if (page > 1) url += "?page=" + std::to_string(page);
    return url;
}

std::string page_image_url(std::string_view id, long page, bool thumbnail) {
    std::string url = "/api/pages/" + percent_encode(id) + "/" + std::to_string(page) + ".png";
    if (thumbnail) url += "?size=thumb";
    return url;
}

std::string render_search(const SearchView& view) {
    std::string out;
    head(out, view.query.empty() ? std::string_view("Search") : std::string_view(view.query));
    out += "<h1><a href=\"/\">Search the archive</a></h1>\n";
    search_form(out, view);
    if (!view.message.empty()) {
        out += "<p class=\"message\">" + escape_html(view.message) + "</p>\n";
    }
    if (!view.corrected.empty()) {
        out += "<p class=\"did-you-mean\">Did you mean <a href=\"" +
               escape_html(search_url(view.corrected, view.language, 1)) + "\">" +
               escape_html(view.corrected) + "</a>? Showing results for it.</p>\n";
    }
    if (view.searched && view.message.empty()) {
        if (view.hits.empty()) {
            out += "<p class=\"none\">";
            out += view.page > 1 ? "No more results." : "No documents match.";
            out += "</p>\n";
        }
        out += "<ol class=\"hits\" start=\"" +
               std::to_string((view.page - 1) * view.per_page + 1) + "\">\n";
        for (const auto& hit : view.hits) {
            const long page = hit.page > 0 ? hit.page : 1;
            out += "<li class=\"hit\"><a href=\"" + escape_html(document_url(hit.id, page)) +
                   "\"><img class=\"thumb\" loading=\"lazy\" alt=\"page " + std::to_string(page) +
                   "\" src=\"" + escape_html(page_image_url(hit.id, page, true)) + "\"></a><div>";
            out += "<a class=\"name\" href=\"" + escape_html(document_url(hit.id, page)) + "\">" +
                   escape_html(hit.id) + "</a>";
            out += "<div class=\"meta\">language <span class=\"language\">" +
                   escape_html(hit.language.empty() ? "unknown" : hit.language) +
                   "</span> &middot; score <span class=\"score\">" + escape_html(hit.score) +
                   "</span>";
            if (hit.page > 0)
                out += " &middot; page <span class=\"best-page\">" + std::to_string(hit.page) +
                       "</span>";
            out += "</div>";
            if (!hit.passage.empty()) passage(out, hit.passage);
            if (hit.reindex)
                out += "<p class=\"meta reindex\">Filed before pages were kept: index it again to "
                       "see where it matched.</p>";
            out += "</div></li>\n";
        }
        out += "</ol>\n<nav class=\"paging\">";
        if (view.page > 1)
            out += "<a class=\"prev\" href=\"" +
                   escape_html(search_url(view.query, view.language, view.page - 1)) +
                   "\">&larr; previous</a>";
        if (view.has_next)
            out += "<a class=\"next\" href=\"" +
                   escape_html(search_url(view.query, view.language, view.page + 1)) +
                   "\">next &rarr;</a>";
        out += "</nav>\n";
    }
    out += "</body></html>\n";
    return out;
}

std::string render_document(const DocumentView& view) {
    std::string out;
    head(out, view.id);
    out += "<p><a href=\"/\">&larr; search</a></p>\n<h1 class=\"document\">" +
           escape_html(view.id) + "</h1>\n";
    out += "<p class=\"meta\">" + escape_html(view.kind) + " &middot; language <span id=\"language\">" +
           escape_html(view.language.empty() ? "unknown" : view.language) + "</span> &middot; " +
           std::to_string(view.pages) + (view.pages == 1 ? " page" : " pages") + "</p>\n";

    out += "<nav class=\"pages\">";
    if (view.page > 1)
        out += "<a class=\"prev\" href=\"" + escape_html(document_url(view.id, view.page - 1)) +
               "\">&larr;</a>";
    // Every page a click away, without a thousand links for a long video.
    const long window = 10;
    for (long p = 1; p <= view.pages; ++p) {
        const bool near = p == 1 || p == view.pages || (p >= view.page - window && p <= view.page + window);
        if (!near) {
            if (p == 2 || p == view.page + window + 1) out += "&hellip; ";
            continue;
        }
        if (p == view.page) {
            out += "<span class=\"current\">" + std::to_string(p) + "</span>";
        } else {
            out += "<a href=\"" + escape_html(document_url(view.id, p)) + "\">" + std::to_string(p) +
                   "</a>";
        }
    }
    if (view.page < view.pages)
        out += "<a class=\"next\" href=\"" + escape_html(document_url(view.id, view.page + 1)) +
               "\">&rarr;</a>";
    out += "</nav>\n";
    out += "<div class=\"document-view\"><figure><img class=\"page\" alt=\"page " +
           std::to_string(view.page) + "\" src=\"" +
           escape_html(page_image_url(view.id, view.page, false)) + "\"></figure><aside>\n";

    out += "<h2>Abstract</h2><p id=\"abstract\">" +
           escape_html(!view.abstract.empty() ? view.abstract
                       : !view.text_note.empty() ? view.text_note
                                                 : std::string("(text too short to summarise)")) +
           "</p>\n";
    out += "<h2>Keywords</h2><p id=\"keywords\">";
    for (std::size_t i = 0; i < view.keywords.size(); ++i) {
        if (i) out += ", ";
        out += escape_html(view.keywords[i]);
    }
    if (view.keywords.empty()) out += "(none)";
    out += "</p>\n<h2>Named entities</h2><ul id=\"entities\">";
    for (const auto& [text, label] : view.entities)
        out += "<li>" + escape_html(text) + " <span class=\"meta\">" + escape_html(label) +
               "</span></li>";
    if (view.entities.empty()) out += "<li>(none)</li>";
    out += "</ul>\n";
    if (view.kind != "PDF") {
        out += "<h2>Objects</h2><p id=\"objects\">";
        for (std::size_t i = 0; i < view.objects.size(); ++i) {
            if (i) out += ", ";
            out += escape_html(view.objects[i]);
        }
        if (view.objects.empty())
            out += escape_html(view.objects_note.empty() ? "(none)" : view.objects_note);
        out += "</p>\n";
    }
    out += "</aside></div>\n</body></html>\n";
    return out;
}

std::string render_error(int status, std::string_view message) {
    std::string out;
    const std::string title = std::to_string(status);
    head(out, title);
    out += "<h1>" + title + "</h1><p class=\"error\">" + escape_html(message) +
           "</p><p><a href=\"/\">search</a></p></body></html>\n";
    return out;
}

}  // namespace wr::web
