// Answering a query: the query's embedding against those of one language's
// documents, ranked by inner product, one page of hits.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "finderysb.hpp"
#include "pyutil.hpp"
#include "ranking.hpp"

namespace finderysb {

namespace {

// ---- the embeddings of one key as one matrix --------------------------------
//
// np.inner given the list of embeddings turns it into one matrix on every
// call: at ten thousand documents that copy costs more than the product and
// the query's encoding together. The matrix is kept while the list holds the
// same embedding objects (the same list, the same length, each item the same
// object), and it is exactly the array np.inner would have made from the
// list, so the scores are the same.
struct Stack {
    py::object list;
    py::list items;  // a copy, held so that their addresses stay theirs
    py::object matrix;
};

// A few keys of a few engines may be searched in turn.
constexpr std::size_t kKeptStacks = 6;

std::vector<Stack>& stacks() {
    // Leaked: the entries hold host objects and must not be released after
    // the interpreter is gone.
    static auto* entries = new std::vector<Stack>();
    return *entries;
}

}  // namespace

py::list copy_of(py::handle list) {
    PyObject* copy = PySequence_List(list.ptr());
    if (!copy) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(copy);
}

bool same_items(const py::list& held, py::handle list) {
    if (!PyList_CheckExact(list.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    if (n != PyList_GET_SIZE(held.ptr())) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(list.ptr(), i) != PyList_GET_ITEM(held.ptr(), i)) return false;
    return true;
}

// What np.inner receives as the documents' side.
py::object document_matrix(py::handle embeddings) {
    // Anything but a list (a stored state may hold any sequence) goes to
    // numpy as it is.
    if (!PyList_CheckExact(embeddings.ptr()))
        return py::reinterpret_borrow<py::object>(embeddings);
    auto& entries = stacks();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].list.is(embeddings)) continue;
        if (same_items(entries[i].items, embeddings)) {
            std::rotate(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(i),
                        entries.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            return entries.front().matrix;
        }
        Stack stale = std::move(entries[i]);  // released after the erase
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    }

    Stack entry;
    entry.list = py::reinterpret_borrow<py::object>(embeddings);
    entry.items = copy_of(embeddings);
    entry.matrix = attr("np").attr("asarray")(embeddings);
    // Shared between searches: nobody may change it under the next one.
    if (py::hasattr(entry.matrix, "flags"))
        entry.matrix.attr("flags").attr("writeable") = py::bool_(false);

    Stack evicted;
    if (entries.size() >= kKeptStacks) {
        evicted = std::move(entries.back());
        entries.pop_back();
    }
    entries.insert(entries.begin(), std::move(entry));
    return entries.front().matrix;
}

namespace {

// ---- search_documents --------------------------------------------------------

// A slice bound as the host clamps it: an integer (or an object with
// __index__), saturated to the range of indices.
std::int64_t slice_bound(py::handle value) {
    Py_ssize_t v = PyNumber_AsSsize_t(value.ptr(), nullptr);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(v);
}

py::tuple search_documents(py::object engine, py::object query,
                           py::object detected_search_language, py::object page,
                           py::object results_per_page) {
    py::object key = engine.attr("model_main");
    py::object models = engine.attr("multilang_models");
    py::object names = engine.attr("document_names");
    if (wr::truthy(engine.attr("supported_languages"))) {
        key = wr::truthy(detected_search_language)
                  ? detected_search_language
                  : attr("Tonguecheck").attr("detect_lang")(query).attr("value");
        if (!wr::truthy(key)) wr::raise_exception({"language not detected"});
        if (!wr::contains(models, key) || !wr::contains(names, key) || !wr::truthy(names[key]))
            wr::raise_exception({"without model or documents for language ", key});
    }
    py::object model = models[key];
    if (!wr::truthy(model)) wr::raise_exception({"model not loaded for language ", key});
    // The two lists are taken together, before the model runs: a writer on
    // another thread may replace them (a removal does) while it does, and a
    // page must name the documents its scores are of.
    py::object embeddings = engine.attr("embedded_documents")[key];
    py::object document_names = names[key];

    // The raw query: no normalisation, stemming or translation.
    py::object embedding = model.attr("encode")(query, py::arg("convert_to_tensor") = true);
    py::list hits;
    // A key without documents (a single-model index whose first document
    // failed to embed) has nothing to rank; numpy would refuse the shapes.
    if (py::len(embeddings) == 0) return py::make_tuple(query, hits);

    py::object np = attr("np");
    // By default a hit scores above 0; a host may raise the floor
    // (SCORE_FLOOR) so that documents unrelated to the query are not listed.
    py::object floor = wr::this_module().attr("SCORE_FLOOR");
    py::object start = (page - py::int_(1)) * results_per_page;
    py::object stop = start + results_per_page;
    auto add_hit = [&](py::object row, py::object score) {
        int positive = PyObject_RichCompareBool(score.ptr(), floor.ptr(), Py_GT);
        if (positive < 0) throw py::error_already_set();
        if (!positive) return;
        py::dict hit;
        hit["name"] = document_names[row];
        hit["Score"] = score;
        hit["language"] = key;
        hits.append(hit);
    };

    if (auto page = approximate_rows(engine, key, embeddings, embedding, slice_bound(start), slice_bound(stop))) {
        // Scored as np.inner scores them, for the page's rows alone.
        const std::vector<std::int64_t>& rows = page->rows;
        py::array_t<std::int64_t> taken(static_cast<py::ssize_t>(rows.size()), rows.data());
        py::object scores = np.attr("inner")(embedding, page->matrix[taken]);
        for (std::size_t i = 0; i < rows.size(); ++i) add_hit(py::int_(rows[i]), scores[py::int_(i)]);
        return py::make_tuple(query, hits);
    }

    py::object scores = np.attr("inner")(embedding, document_matrix(embeddings));
    // numpy's own sort, so that equal scores come in numpy's order.
    auto order = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(
        np.attr("argsort")(scores, py::arg("axis") = py::none(), py::arg("kind") = "quicksort",
                           py::arg("order") = py::none()));

    // The page is cut from the descending ranking before the filter on
    // positive scores, so it may hold fewer hits than results_per_page.
    const auto n = static_cast<std::size_t>(order.size());
    const wr::ranking::Span span = wr::ranking::slice_span(n, slice_bound(start), slice_bound(stop));
    auto ranked = order.unchecked<1>();
    for (std::size_t rank = span.begin; rank < span.end; ++rank) {
        py::int_ row(ranked(static_cast<py::ssize_t>(n - 1 - rank)));
        add_hit(row, scores[row]);
    }
    return py::make_tuple(query, hits);
}

}  // namespace

void init_search(py::handle cls) {
    wr::def_method(cls, "search_documents", &search_documents, py::arg("query"),
                   py::arg("detected_search_language") = py::none(), py::arg("page") = 1,
                   py::arg("results_per_page") = 10);
}

}  // namespace finderysb
