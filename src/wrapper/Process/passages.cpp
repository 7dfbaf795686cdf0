// Where a hit matched: the best pages of a found document and a passage of
// each, the query's words marked. Hits themselves stay as the engines give
// them; this is a separate call made per hit.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "hosttext.hpp"
#include "process.hpp"
#include "pyutil.hpp"

namespace process {

namespace {

// Words per passage: a few dozen, enough to read a match in its sentence.
constexpr std::size_t kWords = 40;
// Passages an embedding index encodes per hit when its pages were kept
// without window embeddings: each costs one run of the model, so the
// candidates are capped (those holding query words first).
constexpr std::size_t kCandidates = 8;

constexpr const char* kLastQuery = "_last_query";
// The query's embedding for its last (query, model key): one run of the
// model per query rather than one per hit.
constexpr const char* kLastEmbedding = "_last_query_embedding";

py::object pagekeep(const char* name) { return wr::import_attr("wrapper.core.Pagekeep", name); }

struct Settled {
    py::object language;  // the search language's code
    py::object query;     // the query as the engine received it
    py::object corrected; // what the engine made of it (the term engine's correction)
};

// The query as Process.search settled it, from its last search when that was
// this query, else by searching (one hit) the way the host would.
bool settle(py::handle proc, py::handle query, py::handle detected_language, Settled& out) {
    py::object last = py::getattr(proc, kLastQuery, py::none());
    if (!last.is_none()) {
        py::tuple t = last;
        py::object then_query = t[0], then_language = t[1];
        py::object asked = py::reinterpret_borrow<py::object>(detected_language);
        if (then_query.equal(py::reinterpret_borrow<py::object>(query)) &&
            (then_language.is(asked) || then_language.equal(asked))) {
            out = Settled{t[2], t[3], t[4]};
            return true;
        }
    }
    py::object result = proc.attr("search")(query, detected_language, 1, 1);
    if (!wr::truthy(result)) return false;  // no index yet
    py::tuple t = proc.attr(kLastQuery);
    out = Settled{t[2], t[3], t[4]};
    return true;
}

// The corrected query's terms weighted by the index's idf, so that a rare
// word counts for more than a common one.
py::dict weighted_terms(py::handle engine, py::handle corrected) {
    py::list words;
    for (const std::u32string& word : wr::text::find_words(wr::to_u32(py::str(corrected).attr("lower")()),
                                                           wr::host_char_classes()))
        // The vectoriser's tokens are two word characters or more.
        if (word.size() >= 2) words.append(wr::from_u32(word));
    py::dict weights;
    for (py::handle w : words) weights[w] = py::float_(1.0);
    // An engine that searched from the index stored beside its model has
    // the vectoriser's weights there, without reading the model.
    if (!wr::truthy(engine.attr("is_loaded"))) {
        py::object stored = wr::import_attr("wrapper.core.FinderyTD", "_stored_idf")(engine, words);
        if (!stored.is_none()) {
            for (auto item : py::dict(stored)) weights[item.first] = item.second;
            return weights;
        }
    }
    py::object vectorizer = engine.attr("tfidf_vectorizer");
    py::object vocabulary = py::getattr(vectorizer, "vocabulary_", py::none());
    py::object idf;
    if (!vocabulary.is_none()) {
        try {
            idf = vectorizer.attr("idf_");
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_AttributeError)) throw;
        }
    }
    if (!idf) return weights;
    for (py::handle w : words)
        if (vocabulary.contains(w)) weights[w] = py::float_(idf[vocabulary[w]]);
    return weights;
}

py::dict passage(py::object page, py::object text, py::list marks, bool reindex) {
    py::dict d;
    d["page"] = page;
    d["text"] = text;
    d["marks"] = marks;
    d["reindex"] = py::bool_(reindex);
    return d;
}

py::list told_to_reindex() {
    py::list out;
    out.append(passage(py::none(), py::str(""), py::list(), true));
    return out;
}

py::list flagged(py::list found, bool reindex) {
    for (py::handle d : found) d["reindex"] = py::bool_(reindex);
    return found;
}

py::list term_passages(py::handle proc, py::handle engine, py::handle hit,
                       const Settled& settled, std::size_t count) {
    py::object name = hit["name"];
    py::dict weights = weighted_terms(engine, settled.corrected);
    // A document in another language than the search's holds the query's
    // words as its own language stems them (the ranked search finds it so).
    py::object own = hit.attr("get")("language");
    if (py::hasattr(own, "value") && !py::str(own.attr("value")).equal(settled.language)) {
        py::dict more = weighted_terms(engine, pagekeep("terms")(settled.query, own));
        for (auto item : more)
            if (!weights.contains(item.first)) weights[item.first] = item.second;
    }
    py::object record = pagekeep("read")(proc.attr("modeldir"), name);
    if (!record.is_none())
        return flagged(pagekeep("find")(record, weights, count, kWords), false);

    // Filed before pages were kept: the index still holds the document's
    // stems, which show where it matched, without page numbers.
    engine.attr("load_model")();
    py::object cleaned = engine.attr("cleaned_text");
    py::object text = wr::contains(cleaned, name) ? py::object(cleaned[name]) : py::none();
    if (!PyUnicode_Check(text.ptr())) return told_to_reindex();
    py::dict page;
    page["page"] = py::none();
    page["text"] = text;
    page["terms"] = text.attr("lower")();
    py::list pages;
    pages.append(page);
    py::dict stems;
    stems["pages"] = pages;
    return flagged(pagekeep("find")(stems, weights, count, kWords), true);
}

py::list embedding_passages(py::handle proc, py::handle engine, py::handle name,
                            const Settled& settled, std::size_t count) {
    py::object record = pagekeep("read")(proc.attr("modeldir"), name);
    if (record.is_none()) return told_to_reindex();  // the index keeps no text
    py::object key = wr::truthy(engine.attr("supported_languages")) ? settled.language
                                                                     : engine.attr("model_main");
    py::object model = engine.attr("multilang_models")[key];

    // The query's own words, stemmed as documents are, mark the passages
    // and put those holding them first among the candidates.
    py::dict weights;
    py::object language = wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(settled.language);
    for (py::handle term : py::str(pagekeep("terms")(settled.query, language)).attr("split")()) {
        if (!py::str(term).equal(py::str("-"))) weights[term] = py::float_(1.0);
    }
    py::object np = wr::import("numpy");
    auto encode = [&](py::handle text) {
        return model.attr("encode")(text, py::arg("convert_to_tensor") = true);
    };
    py::object q;
    py::object last = py::getattr(proc, kLastEmbedding, py::none());
    if (!last.is_none()) {
        py::tuple t = last;
        py::object then_query = t[0], then_key = t[1];
        if (then_query.equal(settled.query) && then_key.equal(key)) q = t[2];
    }
    if (!q) {
        q = np.attr("asarray")(encode(settled.query), py::arg("dtype") = "float64");
        proc.attr(kLastEmbedding) = py::make_tuple(settled.query, key, q);
    }

    // Embeddings of every window kept at filing time: no run of the model here.
    py::object nearest = pagekeep("nearest")(proc.attr("modeldir"), name, record, key, q, weights,
                                             count, kWords);
    if (!nearest.is_none()) return flagged(nearest, false);

    // Kept before embeddings were: a few candidates, encoded now.
    py::list found = pagekeep("candidates")(record, weights, kCandidates, kWords);
    if (found.empty()) return flagged(found, false);
    std::vector<std::pair<double, std::size_t>> scored;
    for (std::size_t i = 0; i < found.size(); ++i) {
        py::object e = np.attr("asarray")(encode(found[i]["text"]), py::arg("dtype") = "float64");
        const double score = np.attr("inner")(q, e).cast<double>();
        // A model that gives NaN has no order to sort by: such a passage comes last.
        scored.emplace_back(std::isnan(score) ? -HUGE_VAL : score, i);
    }
    // Best first, one passage per page, earlier candidates first among equals.
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    py::list out;
    py::list pages_seen;
    for (const auto& [score, i] : scored) {
        if (out.size() >= count) break;
        py::object page = found[i]["page"];
        if (!page.is_none() && wr::contains(pages_seen, page)) continue;
        pages_seen.append(page);
        out.append(found[i]);
    }
    return flagged(out, false);
}

py::list passages(py::object proc, py::object hit, py::object query, py::object detected_language,
                  py::object count) {
    const Py_ssize_t n = wr::to_ssize(count);
    if (n < 0) wr::raise(PyExc_ValueError, {"count must be 0 or more: ", count});
    py::object engine = proc.attr("document_search");
    if (engine.is_none() || n == 0) return py::list();
    py::object name = hit[py::str("name")];
    Settled settled;
    if (!settle(proc, query, detected_language, settled)) return py::list();
    py::object td = wr::import_attr("wrapper.core.FinderyTD", "FinderyTD");
    if (py::isinstance(engine, td))
        return term_passages(proc, engine, hit, settled, static_cast<std::size_t>(n));
    return embedding_passages(proc, engine, name, settled, static_cast<std::size_t>(n));
}

// Whether two texts hold the same words, case and blanks aside.
bool same_words(py::handle a, py::handle b) {
    if (!PyUnicode_Check(a.ptr()) || !PyUnicode_Check(b.ptr())) return false;
    auto words = [](py::handle t) { return py::str(t).attr("casefold")().attr("split")(); };
    return words(a).equal(words(b));
}

// What a search page shows as "did you mean": the query with the words the
// term engine corrected written as the found documents write them; None
// when nothing was corrected (and always for the embedding engine, which
// corrects nothing).
py::object did_you_mean(py::object proc, py::object query, py::object hits,
                        py::object detected_language) {
    py::object engine = proc.attr("document_search");
    py::object td = wr::import_attr("wrapper.core.FinderyTD", "FinderyTD");
    if (engine.is_none() || !py::isinstance(engine, td)) return py::none();
    Settled settled;
    if (!settle(proc, query, detected_language, settled)) return py::none();
    py::list records;
    for (py::handle hit : hits)
        records.append(pagekeep("read")(proc.attr("modeldir"), hit[py::str("name")]));
    py::object language = wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(settled.language);
    py::object respelled = pagekeep("respell")(settled.query, language, settled.corrected, records);
    // Correction may land on the word typed (a query whose stems in the
    // search language differ from the documents' own): nothing to offer.
    if (!respelled.is_none() && same_words(respelled, query)) return py::none();
    return respelled;
}

}  // namespace

namespace {

// The embedding engine's model and key for a document it has filed, so that
// its windows are embedded once now rather than at every query; (None, None)
// for the term engine, or a document the engine did not file a model for.
std::pair<py::object, py::object> window_model(py::handle engine, py::handle doc) {
    std::pair<py::object, py::object> none{py::none(), py::none()};
    py::object sb = wr::import_attr("wrapper.core.FinderySB", "FinderySB");
    if (engine.is_none() || !py::isinstance(engine, sb)) return none;
    // The key search_documents picks for a query that finds this document.
    py::object key = engine.attr("model_main");
    if (wr::truthy(engine.attr("supported_languages"))) {
        py::object target = py::getattr(doc, "translate_to", py::none());
        py::object language =
            wr::truthy(target) ? target : py::getattr(doc, "detected_language", py::none());
        if (!wr::truthy(language)) return none;
        key = language.attr("value");
    }
    py::object models = engine.attr("multilang_models");
    if (!wr::contains(models, key)) return none;
    return {models[key], key};
}

}  // namespace

void keep_pages(py::handle proc, py::handle docs) {
    py::object keep = pagekeep("keep");
    py::object modeldir = proc.attr("modeldir");
    py::object engine = proc.attr("document_search");
    // One flush to disk for the whole batch rather than two per document.
    bool kept = false;
    auto not_kept = [&](py::handle doc, py::handle error) {
        wr::log_error({"pages of document ", py::getattr(doc, "id", py::none()),
                       " not kept (its hits will say to index it again): ", error});
    };
    // Without window embeddings (the term-weighting engine), the whole batch
    // at once on two threads, while keep is the module's own.
    py::list listed = py::list(py::reinterpret_borrow<py::object>(docs));
    bool at_once = keep.is(pagekeep("_keep")) && listed.size() > 1;
    for (std::size_t i = 0; at_once && i < listed.size(); ++i) at_once = window_model(engine, listed[i]).first.is_none();
    if (at_once) {
        py::list failures = pagekeep("keep_batch")(modeldir, listed, py::arg("durable") = false);
        for (std::size_t i = 0; i < listed.size(); ++i) {
            if (failures[i].is_none()) kept = true;
            else not_kept(listed[i], failures[i]);
        }
    }
    for (py::handle doc : at_once ? py::list() : listed) {
        try {
            auto [model, key] = window_model(engine, doc);
            keep(modeldir, doc, model, key, py::arg("durable") = false);
            kept = true;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            not_kept(doc, e.value());
        }
    }
    if (!kept) return;
    try {
        pagekeep("sync")(modeldir);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        wr::log_error({"pages of a batch not flushed to disk: ", e.value()});
    }
}

void forget_pages(py::handle proc, py::handle ids) {
    py::object forget = pagekeep("forget");
    py::object modeldir = proc.attr("modeldir");
    for (py::handle id : ids) {
        try {
            forget(modeldir, id);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            wr::log_error({"pages of removed document ", id, " not dropped: ", e.value()});
        }
    }
}

void remember_query(py::handle proc, py::handle query, py::handle detected_language,
                    py::handle language, py::handle settled_query, py::handle result) {
    if (!PyTuple_Check(result.ptr()) || PyTuple_GET_SIZE(result.ptr()) != 2) return;
    proc.attr(kLastQuery) = py::make_tuple(query, detected_language, language, settled_query,
                                           py::reinterpret_borrow<py::tuple>(result)[0]);
}

void init_passages(py::handle cls) {
    wr::def_method(cls, "passages", &passages, py::arg("hit"), py::arg("query"),
                   py::arg("detected_language") = py::none(), py::arg("count") = 3);
    wr::def_method(cls, "did_you_mean", &did_you_mean, py::arg("query"), py::arg("hits"),
                   py::arg("detected_language") = py::none());
}

}  // namespace process
