#include "webpage.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdio>
#include <map>
#include <memory>

#include "sitefiles.hpp"
#include "sitetemplate.hpp"

namespace wr::web {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
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

std::string page_image_url(std::string_view id, long page, std::string_view size) {
    std::string url = "/api/pages/" + percent_encode(id) + "/" + std::to_string(page) + ".png";
    if (!size.empty()) url += "?size=" + percent_encode(size);
    return url;
}

std::string file_url(std::string_view id) { return "/files/" + percent_encode(id); }

namespace {

// The reader's choices as query parameters, the results page left out.
std::string state_params(const SearchState& state) {
    std::string out = "q=" + percent_encode(state.query);
    auto add = [&](const char* name, const std::string& value) {
        if (!value.empty()) out += std::string("&") + name + "=" + percent_encode(value);
    };
    add("lang", state.lang);
    add("language", state.language);
    add("kind", state.kind);
    add("folder", state.folder);
    add("sort", state.sort);
    if (state.per_page != state.default_per_page) out += "&per_page=" + std::to_string(state.per_page);
    return out;
}

}  // namespace

std::string results_query(const SearchState& state, long page) {
    std::string out = state_params(state);
    if (page > 1) out += "&page=" + std::to_string(page);
    return out;
}

std::string document_url(std::string_view id, long page, const SearchState& from) {
    // "page" is the document's page; the results page travels as "from".
    return "/documents/" + percent_encode(id) + "?page=" + std::to_string(page > 0 ? page : 1) + "&" +
           state_params(from) + "&from=" + std::to_string(from.page);
}

std::string language_name(std::string_view code) {
    if (code == "en") return "English";
    if (code == "es") return "Spanish";
    if (code == "pt") return "Portuguese";
    return "";
}

// ---- the templates -----------------------------------------------------------------

namespace {

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

using Templates = std::map<std::string, Template, std::less<>>;

// Every template of the site, by name without ".html", read on first use.
const Templates& templates() {
    static const Templates all = [] {
        Templates read;
        for (std::string_view file : site_file_names()) {
            if (!ends_with(file, ".html")) continue;
            std::string_view bytes;
            site_file(file, bytes);
            read.emplace(std::string(file.substr(0, file.size() - 5)), Template(std::string(file), bytes));
        }
        return read;
    }();
    return all;
}

std::string fill(std::string_view name, const Fields& fields) {
    const Templates& all = templates();
    const auto found = all.find(name);
    if (found == all.end()) throw TemplateError("the site has no template " + std::string(name) + ".html");
    return found->second.fill(fields, [&all](std::string_view other) -> const Template* {
        const auto f = all.find(other);
        return f == all.end() ? nullptr : &f->second;
    });
}

void options(Fields& fields, const char* name, const std::vector<Option>& choices, const std::string& chosen) {
    std::vector<Fields>& list = fields.list(name);
    for (const Option& o : choices)
        list.emplace_back().set("value", o.value).set("label", o.label).flag("selected", o.value == chosen);
}

// What the top of every page is filled with.
Fields page_fields(std::string_view title, const SearchState& state) {
    Fields f;
    f.set("title", std::string(title));
    f.set("query", state.query);
    f.flag("autofocus", false);
    f.flag("filters", false);
    options(f, "lang_options",
            {{"", "Detect it"}, {"en", "English"}, {"es", "Spanish"}, {"pt", "Portuguese"}}, state.lang);
    return f;
}

// Page numbers around the current one, the first and the last: every page
// a click or two away without a link for each.
void page_links(Fields& fields, const char* name, long current, long last, long window,
                const std::function<std::string(long)>& url) {
    std::vector<long> shown{1, last};
    for (long p = std::max(1L, current - window); p <= std::min(last, current + window); ++p) shown.push_back(p);
    std::sort(shown.begin(), shown.end());
    shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
    std::vector<Fields>& list = fields.list(name);
    long before = 0;
    for (long p : shown) {
        if (p < 1 || p > last) continue;
        if (p > before + 1) list.emplace_back().flag("gap", true);
        list.emplace_back().flag("gap", false).flag("current", p == current).set("number", p).set("url", url(p));
        before = p;
    }
}

void segments(Fields& fields, const char* name, const std::vector<Segment>& pieces) {
    std::vector<Fields>& list = fields.list(name);
    for (const Segment& s : pieces) list.emplace_back().set("text", s.text).flag("marked", s.marked);
}

std::string number(double value) {
    char out[32];
    std::snprintf(out, sizeof out, "%.1f", std::isfinite(value) ? value : 0.0);
    return out;
}

std::string plural(long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string entity_label(const std::string& label) {
    if (label == "PER") return "People";
    if (label == "LOC") return "Places";
    if (label == "ORG") return "Organisations";
    if (label == "MISC") return "Other names";
    return label;
}

}  // namespace

std::string render_search(const SearchView& view) {
    const SearchState& state = view.state;
    Fields f = page_fields(view.searched ? std::string_view(state.query) : std::string_view("Search"), state);
    f.flag("autofocus", !view.searched);
    f.flag("filters", true);
    std::vector<Option> choices{{"", "All languages"}};
    for (const std::string& code : view.languages)
        if (!language_name(code).empty()) choices.push_back({code, language_name(code)});
    options(f, "language_options", choices, state.language);
    choices = {{"", "All kinds"}};
    for (const std::string& kind : view.kinds) {
        if (kind == "pdf") choices.push_back({kind, "PDF"});
        if (kind == "image") choices.push_back({kind, "Images"});
        if (kind == "video") choices.push_back({kind, "Videos"});
    }
    options(f, "kind_options", choices, state.kind);
    choices = {{"", "All folders"}};
    choices.insert(choices.end(), view.folders.begin(), view.folders.end());
    options(f, "folder_options", choices, state.folder);
    options(f, "sort_options", {{"", "Relevance"}, {"date", "Newest file first"}}, state.sort);
    f.set("per_page", state.per_page != state.default_per_page ? std::to_string(state.per_page) : "");

    f.set("message", view.message);
    f.set("corrected", view.corrected);
    SearchState corrected = state;
    corrected.query = view.corrected;
    f.set("corrected_url", "/search?" + results_query(corrected, 1));
    const bool searched = view.searched && view.message.empty();
    f.flag("searched", searched);
    const long first = (state.page - 1) * state.per_page + 1;
    const long last = first + static_cast<long>(view.hits.size()) - 1;
    std::string count;
    if (view.hits.empty())
        count = state.page > 1 ? "No more results." : "No documents match.";
    else if (view.total >= 0)
        count = plural(view.total, "document", "documents") + " · " +
                (first == last ? "showing " + std::to_string(first)
                               : "showing " + std::to_string(first) + "–" + std::to_string(last));
    else
        count = "Documents " + std::to_string(first) + "–" + std::to_string(last);
    f.set("count", count);
    f.flag("has_hits", !view.hits.empty());
    f.set("first", first);
    std::vector<Fields>& hits = f.list("hits");
    for (const HitView& hit : view.hits) {
        const long page = hit.page > 0 ? hit.page : 1;
        Fields& h = hits.emplace_back();
        h.set("id", hit.id).set("url", document_url(hit.id, page, state));
        h.set("thumb", page_image_url(hit.id, page, true));
        h.set("alt", "Page " + std::to_string(page) + " of " + hit.id);
        h.set("kind", hit.kind).set("language_name", language_name(hit.language));
        h.set("best_page", hit.page > 0 ? std::to_string(hit.page) : "");
        h.set("date", hit.date).set("folder", hit.folder);
        h.flag("has_score", hit.percent >= 0).set("percent", hit.percent).set("score", hit.score);
        h.flag("has_passage", !hit.passage.empty());
        segments(h, "passage", hit.passage);
        h.flag("reindex", hit.reindex);
    }
    long pages = state.page + (view.has_next ? 1 : 0);
    if (view.total >= 0) pages = std::max(pages, (view.total + state.per_page - 1) / state.per_page);
    f.flag("has_pages", searched && pages > 1);
    auto url = [&](long p) { return "/search?" + results_query(state, p); };
    f.set("prev_url", state.page > 1 ? url(state.page - 1) : "");
    f.set("next_url", view.has_next ? url(state.page + 1) : "");
    page_links(f, "pages", state.page, pages, 2, url);
    return fill("search", f);
}

std::string render_document(const DocumentView& view) {
    Fields f = page_fields(view.id, view.back);
    f.set("back_url", view.from_search ? "/search?" + results_query(view.back, view.back.page) : "/");
    f.set("back_label", view.from_search ? "Back to the results" : "Search page");
    f.set("id", view.id).set("kind", view.kind);
    f.set("language_name", language_name(view.language).empty() ? "language unknown" : language_name(view.language));
    f.set("pages_text", plural(view.pages, "page", "pages"));
    f.set("file_url", file_url(view.id));
    auto url = [&](long p) {
        return view.from_search ? document_url(view.id, p, view.back) : document_url(view.id, p);
    };
    f.set("prev_url", view.page > 1 ? url(view.page - 1) : "");
    f.set("next_url", view.page < view.pages ? url(view.page + 1) : "");
    page_links(f, "page_links", view.page, view.pages, 10, url);
    f.set("page", view.page);
    f.set("image_url", page_image_url(view.id, view.page, std::string_view()));
    f.set("zoom_url", page_image_url(view.id, view.page, std::string_view("large")));
    f.set("alt", "Page " + std::to_string(view.page) + " of " + view.id);
    f.flag("has_size", view.image_width > 0 && view.image_height > 0);
    f.set("width", view.image_width).set("height", view.image_height);
    f.flag("has_boxes", !view.boxes.empty() && view.page_width > 0 && view.page_height > 0);
    f.set("box_width", number(view.page_width)).set("box_height", number(view.page_height));
    std::vector<Fields>& boxes = f.list("boxes");
    for (const Box& b : view.boxes)
        boxes.emplace_back().set("x", number(b.x)).set("y", number(b.y)).set("w", number(b.w)).set("h", number(b.h));
    f.set("box_note", view.box_note);
    f.flag("has_text", !view.text.empty());
    segments(f, "segments", view.text);
    f.set("text_note", view.page_text_note.empty() ? "(no text on this page)" : view.page_text_note);

    f.set("abstract", !view.abstract.empty()    ? view.abstract
                      : !view.text_note.empty() ? view.text_note
                                                : std::string("(text too short to summarise)"));
    std::string keywords;
    for (const std::string& k : view.keywords) keywords += (keywords.empty() ? "" : ", ") + k;
    f.set("keywords", keywords.empty() ? "(none)" : keywords);
    std::vector<Fields>& groups = f.list("entity_groups");
    for (const FoldedGroup& group : view.entities) {
        Fields& g = groups.emplace_back();
        const long distinct = static_cast<long>(group.shown.size() + group.folded.size());
        g.set("label", entity_label(group.label));
        g.set("summary", plural(distinct, "name", "names") + ", " +
                             plural(static_cast<long>(group.total), "mention", "mentions"));
        g.flag("has_shown", !group.shown.empty()).flag("has_folded", !group.folded.empty());
        g.set("folded_summary", group.shown.empty() ? "Show " + plural(static_cast<long>(group.folded.size()),
                                                                       "name", "names")
                                                    : std::to_string(group.folded.size()) + " more (named once or doubtful)");
        for (const auto* part : {&group.shown, &group.folded}) {
            std::vector<Fields>& list = g.list(part == &group.shown ? "shown" : "folded");
            for (const CountedEntity& e : *part)
                list.emplace_back().set("text", e.text).set("count", static_cast<long>(e.count));
        }
    }
    f.flag("show_objects", view.kind != "PDF");
    std::string objects;
    for (const std::string& o : view.objects) objects += (objects.empty() ? "" : ", ") + o;
    f.set("objects", !objects.empty() ? objects : view.objects_note.empty() ? "(none)" : view.objects_note);
    return fill("document", f);
}

std::string render_error(int status, std::string_view message) {
    static const std::pair<int, const char*> headings[] = {
        {400, "Not a request the site can answer"}, {403, "Not answered here"}, {404, "Not found"},
        {405, "Not a request the site can answer"}, {422, "Nothing to search in"},
        {500, "Something went wrong"}, {503, "The index is not there"}};
    std::string heading = "Refused";
    for (const auto& [code, text] : headings)
        if (code == status) heading = text;
    Fields f = page_fields(heading, SearchState{});
    f.set("status", status).set("heading", heading).set("message", std::string(message));
    return fill("error", f);
}

bool static_file(std::string_view name, std::string& bytes, std::string& type) {
    static const std::pair<const char*, const char*> served[] = {
        {"site.css", "text/css; charset=utf-8"},
        {"site.js", "text/javascript; charset=utf-8"},
        {"favicon.svg", "image/svg+xml"},
    };
    for (const auto& [file, kind] : served) {
        std::string_view found;
        if (name == file && site_file(name, found)) {
            bytes.assign(found);
            type = kind;
            return true;
        }
    }
    return false;
}

std::vector<std::string> check_templates() {
    std::vector<std::string> names;
    for (const auto& item : templates()) names.push_back(item.first);
    return names;
}

}  // namespace wr::web
