// A search as the command line and the search page make it: the query in
// its own language when that can be told and the index holds documents in
// it, and otherwise in the languages the index holds, rather than a refusal.
// One or two words seldom tell their language (lingua takes "siege
// vicksburg" for German and "lava river" for French), and those are the
// queries people type most.
#include <algorithm>
#include <string>
#include <vector>

#include "console.hpp"
#include "pyutil.hpp"

namespace console {

namespace {

py::object idiomark() { return wr::import_attr("wrapper.infra.Idiomark", "Idiomark"); }

bool is_term_engine(py::handle engine) {
    return py::isinstance(engine, wr::import_attr("wrapper.core.FinderyTD", "FinderyTD"));
}

// The language codes the index holds documents in, most documents first.
std::vector<std::string> held_languages(py::handle engine) {
    std::vector<std::string> codes;
    if (is_term_engine(engine)) {
        // From the index stored beside the model when that is current.
        py::object stored = wr::import_attr("wrapper.core.FinderyTD", "_languages_held")(engine);
        if (!stored.is_none()) {
            for (py::handle code : stored) codes.push_back(py::str(code));
            return codes;
        }
        engine.attr("load_model")();
        py::object languages = engine.attr("detected_languages");
        if (!py::isinstance<py::dict>(languages)) return codes;
        py::object counted = wr::import_attr("collections", "Counter")(languages.attr("values")());
        for (py::handle pair : counted.attr("most_common")()) {
            py::object language = pair[py::int_(0)];
            if (py::hasattr(language, "value")) codes.push_back(py::str(language.attr("value")));
        }
        return codes;
    }
    // The embedding engine files documents per language key when it
    // detects them, under its one main key otherwise.
    py::object names = engine.attr("document_names");
    if (!py::isinstance<py::dict>(names)) return codes;
    std::vector<std::pair<std::size_t, std::string>> sized;
    for (auto item : py::dict(names)) {
        std::string key = py::str(item.first);
        if (key == py::str(engine.attr("model_main")).cast<std::string>()) continue;
        if (wr::truthy(item.second)) sized.emplace_back(py::len(item.second), key);
    }
    std::stable_sort(sized.begin(), sized.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (auto& [n, key] : sized) codes.push_back(key);
    return codes;
}

// The query's language as detection tells it, or None when it cannot (a
// language the library does not support, another script).
py::object told_language(py::handle query) {
    try {
        return wr::import_attr("wrapper.infra.Tonguecheck", "detect_lang")(query);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

py::object score_of(py::handle hit) {
    return hit.contains(py::str("Score")) ? hit[py::str("Score")] : hit[py::str("Pontuação")];
}

}  // namespace

py::object stored_documents(py::handle engine) {
    if (!is_term_engine(engine) || wr::truthy(engine.attr("is_loaded"))) return py::none();
    return wr::import_attr("wrapper.core.FinderyTD", "_stored_documents")(engine);
}

std::vector<py::object> name_lists(py::handle process) {
    py::object engine = process.attr("document_search");
    // From the index stored beside the model when that is current.
    py::object stored = stored_documents(engine);
    if (!stored.is_none()) return {stored[py::int_(0)]};
    if (py::hasattr(engine, "load_model")) engine.attr("load_model")();
    py::object names = engine.attr("document_names");
    std::vector<py::object> lists;
    if (py::isinstance<py::dict>(names)) {
        for (auto item : py::dict(names)) lists.push_back(py::reinterpret_borrow<py::object>(item.second));
    } else if (!names.is_none()) {
        lists.push_back(names);
    }
    return lists;
}

bool holds_nothing(py::handle process) {
    for (const py::object& names : name_lists(process))
        if (py::len(names) > 0) return false;
    return true;
}

Searched search_any_language(py::handle process, py::handle query, py::handle language,
                             py::handle page, py::handle per_page) {
    Searched out;
    py::object engine = process.attr("document_search");
    py::object target = process.attr("translate_to");
    out.language = py::reinterpret_borrow<py::object>(language);
    if (!language.is_none()) {
        out.result = process.attr("search")(query, language, page, per_page);
        return out;
    }
    py::object told = told_language(query);
    if (wr::truthy(target)) {
        // A translated index holds every document in its target: a query
        // whose language cannot be told is taken as written in it.
        out.language = told.is_none() ? py::reinterpret_borrow<py::object>(target) : told;
        out.result = process.attr("search")(query, out.language, page, per_page);
        return out;
    }
    const bool term = is_term_engine(engine);
    // An embedding index with one model searches it whatever the language.
    if (!term && !wr::truthy(engine.attr("supported_languages"))) {
        out.language = told.is_none() ? py::object(idiomark().attr("ENGLISH")) : told;
        out.result = process.attr("search")(query, out.language, page, per_page);
        return out;
    }
    const std::vector<std::string> held = held_languages(engine);
    const std::string told_code = told.is_none() ? "" : py::str(told.attr("value")).cast<std::string>();
    if (!told.is_none() && (held.empty() || std::count(held.begin(), held.end(), told_code))) {
        out.language = told;
        out.result = process.attr("search")(query, told, page, per_page);
        return out;
    }
    if (told.is_none())
        for (const std::string& code : held) out.languages.append(py::str(code));

    if (term) {
        // The ranked search meets each document in its own language; the
        // language given only says how to correct and show the query: the
        // one most documents are in.
        out.language = idiomark()(py::str(held.empty() ? std::string("en") : held.front()));
        out.result = process.attr("search")(query, out.language, page, per_page);
        return out;
    }
    // One embedding model per language: each is searched for the head of
    // its ranking, and the heads are merged by score (one encoder serves
    // every language, so the scores compare). Each hit names its language.
    out.language = py::none();
    py::object head = page * py::reinterpret_borrow<py::object>(per_page);
    py::list merged;
    py::object asked = py::reinterpret_borrow<py::object>(query);
    for (const std::string& code : held) {
        py::object result = process.attr("search")(query, idiomark()(py::str(code)), 1, head);
        if (!wr::truthy(result)) continue;
        asked = result[py::int_(0)];
        for (py::handle hit : result[py::int_(1)]) merged.append(hit);
    }
    py::cpp_function key([](py::handle hit) { return score_of(hit); });
    merged.attr("sort")(py::arg("key") = key, py::arg("reverse") = true);
    py::object start = (page - py::int_(1)) * py::reinterpret_borrow<py::object>(per_page);
    py::object stop = start + py::reinterpret_borrow<py::object>(per_page);
    py::list cut = merged.attr("__getitem__")(wr::import_attr("builtins", "slice")(start, stop));
    out.result = py::make_tuple(asked, cut);
    return out;
}

// The embedding engine's floor for the command line and the page. With the
// default multilingual encoder, 99 in 100 pairs of a Cranfield query and a
// UDHR article (unrelated) score below 0.14, and short queries against
// them below 0.13; about nine in ten of Cranfield's relevant documents
// score above 0.15 (a quarter below 0.23).
constexpr double kEmbeddingFloor = 0.15;

SearchSettings::SearchSettings()
    : ranking_("wrapper.core.FinderyTD", "RANKING", py::str("bm25")),
      floor_("wrapper.core.FinderySB", "SCORE_FLOOR", py::float_(kEmbeddingFloor)) {}

py::object words_searched(py::handle process, py::handle query, py::handle hits, py::handle language) {
    py::object engine = process.attr("document_search");
    if (language.is_none() || !is_term_engine(engine)) return py::reinterpret_borrow<py::object>(query);
    py::object respelled = process.attr("did_you_mean")(query, hits, language);
    return respelled.is_none() ? py::reinterpret_borrow<py::object>(query) : respelled;
}

}  // namespace console
