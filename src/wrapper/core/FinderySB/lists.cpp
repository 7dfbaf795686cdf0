// Searching a large key without scoring every document: its embeddings are
// grouped in inverted lists (veclists.hpp), and a query scores the documents
// of the lists that suit it best. Keys with fewer than APPROXIMATE_FROM
// documents, and pages deeper than kDeepest, are searched exactly.
//
// The lists are kept beside the stored state, in sb_search_lists.bin,
// written under the state's lock right after it, and naming the state file
// they were made from as the term-weighting engine's files do; a state
// written since by anyone leaves them stale, and stale, damaged or missing
// lists only mean an exact search until the next save makes them again.
// They hold, per key, the centroids and each row's two lists; the vectors
// are the state's own.
//
// In memory the lists of a key belong to the embedding objects they were
// filed from (held with them): a search uses them only while the key's list
// holds exactly those objects in that order, and a save files again only the
// rows whose object is new (a document added or replaced), keeping the
// centroids until the key has grown or shrunk fourfold since they were
// trained.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "besidefile.hpp"
#include "finderysb.hpp"
#include "modelstore.hpp"
#include "pyutil.hpp"
#include "veclists.hpp"

namespace finderysb {

namespace {

namespace image = wr::image;
namespace vl = wr::veclists;

constexpr const char* kFileName = "sb_search_lists.bin";
constexpr char kMagic[8] = {'W', 'R', 'S', 'B', 'L', 'I', 'S', 'T'};
constexpr std::uint32_t kFormat = 1;
constexpr const char* kAttr = "_search_lists";
constexpr const char* kCapsule = "wrapper.sb_search_lists";
// Pages reaching past this rank are searched exactly.
constexpr std::size_t kDeepest = 1000;
// The centroids are trained again once a key has this many times the
// documents they were trained on, or this many times fewer.
constexpr std::size_t kRetrainGrowth = 4;

static_assert(vl::kSpill == 2, "_search_lists shows two lists a row");

struct KeyLists {
    vl::Lists lists;
    py::list items;  // row i was filed from items[i], held so no other object takes its address
};
using EngineLists = std::map<std::string, std::shared_ptr<const KeyLists>>;

unsigned threads() { return std::max(1u, std::min(4u, std::thread::hardware_concurrency())); }

// A key as the file names it; false for keys that are not strings.
bool key_text(py::handle key, std::string& out) {
    if (!PyUnicode_Check(key.ptr())) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

// APPROXIMATE_FROM as a count; None (or anything but a positive integer)
// turns the lists off.
std::size_t approximate_from() {
    py::object from = attr("APPROXIMATE_FROM");
    if (!PyLong_Check(from.ptr()) || PyBool_Check(from.ptr())) return 0;
    const long long v = PyLong_AsLongLong(from.ptr());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return v > 0 ? static_cast<std::size_t>(v) : 0;
}

// How many lists a query takes its documents from: APPROXIMATE_PROBES when
// it is a positive integer, otherwise enough lists to hold about kScanned
// documents, and at least kFewestProbes. Lists grow with the key (their
// number with its square root), so a larger key is searched in a smaller
// share of its lists: about 100 of 1,300 at 100,000 documents, 32 of 4,000
// at a million, for a recall of the exact first ten near 0.97 on sentence
// embeddings either way.
constexpr std::size_t kScanned = 16384;
constexpr std::size_t kFewestProbes = 32;

std::size_t probes(const vl::Lists& lists) {
    py::object value = attr("APPROXIMATE_PROBES");
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        const long long v = PyLong_AsLongLong(value.ptr());
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();  // past a long long: every list
        return v > 0 ? static_cast<std::size_t>(v) : lists.lists();
    }
    const std::size_t per_list = std::max<std::size_t>(1, lists.members.size() / std::max<std::size_t>(1, lists.lists()));
    return std::max(kFewestProbes, (kScanned + per_list - 1) / per_list);
}

// The key's embeddings as the float32 rows search reads, or none.
struct Rows {
    py::array matrix;
    const float* data = nullptr;
    std::size_t n = 0, dim = 0;
};
bool float_rows(py::handle embeddings, Rows& out) {
    py::object m = document_matrix(embeddings);
    if (!py::isinstance<py::array>(m)) return false;
    auto a = py::reinterpret_borrow<py::array>(m);
    if (a.ndim() != 2 || !a.dtype().equal(py::dtype::of<float>()) || !(a.flags() & py::array::c_style))
        return false;
    out.matrix = a;
    out.data = static_cast<const float*>(a.data());
    out.n = static_cast<std::size_t>(a.shape(0));
    out.dim = static_cast<std::size_t>(a.shape(1));
    return out.n > 0 && out.dim > 0;
}

// The lists of one key whose embeddings changed: filed again where rows
// changed, or trained afresh.
std::shared_ptr<const KeyLists> lists_now(py::handle list, const Rows& rows,
                                          const std::shared_ptr<const KeyLists>& before) {
    auto now = std::make_shared<KeyLists>();
    now->items = copy_of(list);
    if (before && before->lists.dim == rows.dim && rows.n < kRetrainGrowth * before->lists.trained &&
        rows.n * kRetrainGrowth > before->lists.trained) {
        vl::Lists& l = now->lists;
        l.dim = rows.dim;
        l.trained = before->lists.trained;
        l.centroids = before->lists.centroids;
        l.home.resize(vl::kSpill * rows.n);
        std::unordered_map<PyObject*, std::uint32_t> filed;
        filed.reserve(static_cast<std::size_t>(PyList_GET_SIZE(before->items.ptr())));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(before->items.ptr()); ++i)
            filed.emplace(PyList_GET_ITEM(before->items.ptr(), i), static_cast<std::uint32_t>(i));
        std::vector<std::uint32_t> fresh;
        for (std::size_t r = 0; r < rows.n; ++r) {
            auto found = filed.find(PyList_GET_ITEM(now->items.ptr(), static_cast<Py_ssize_t>(r)));
            if (found == filed.end()) {
                fresh.push_back(static_cast<std::uint32_t>(r));
                continue;
            }
            std::copy_n(&before->lists.home[vl::kSpill * found->second], vl::kSpill, &l.home[vl::kSpill * r]);
        }
        {
            py::gil_scoped_release unlocked;
            for (std::uint32_t r : fresh) vl::file(l, rows.data + r * rows.dim, &l.home[vl::kSpill * r]);
            vl::arrange(l);
        }
        return now;
    }
    py::gil_scoped_release unlocked;
    now->lists = vl::train(rows.data, rows.n, rows.dim, 0, threads());
    return now;
}

std::shared_ptr<const EngineLists> held(py::handle engine) {
    return wr::held_on<const EngineLists>(engine, kAttr, kCapsule);
}

std::optional<std::string> lists_image(py::handle engine, const wr::ModelIdentity& model) {
    auto now = std::make_shared<EngineLists>();
    std::shared_ptr<const EngineLists> before = held(engine);
    const std::size_t from = approximate_from();
    py::object embedded = engine.attr("embedded_documents");
    if (from > 0 && PyDict_Check(embedded.ptr())) {
        for (auto item : py::reinterpret_borrow<py::dict>(embedded)) {
            std::string key;
            if (!key_text(item.first, key) || !PyList_CheckExact(item.second.ptr())) continue;
            if (static_cast<std::size_t>(PyList_GET_SIZE(item.second.ptr())) < from) continue;
            std::shared_ptr<const KeyLists> was;
            if (before) {
                auto found = before->find(key);
                if (found != before->end()) was = found->second;
            }
            // Unchanged since they were filed: nothing to stack or file.
            if (was && same_items(was->items, item.second)) {
                (*now)[key] = was;
                continue;
            }
            Rows rows;
            if (!float_rows(item.second, rows) ||
                rows.n != static_cast<std::size_t>(PyList_GET_SIZE(item.second.ptr())))
                continue;
            (*now)[key] = lists_now(item.second, rows, was);
        }
    }
    wr::hold_on<const EngineLists>(engine, kAttr, kCapsule, now);
    if (now->empty()) return std::nullopt;

    image::Writer body;
    body.put<std::uint64_t>(now->size());
    for (const auto& [key, kept] : *now) {
        body.put_bytes(key);
        body.put<std::uint64_t>(kept->lists.dim);
        body.put<std::uint64_t>(kept->lists.trained);
        body.put_vector(kept->lists.centroids);
        body.put_vector(kept->lists.home);
    }
    image::Writer out;
    out.put_raw(std::string_view(kMagic, sizeof kMagic));
    out.put(kFormat);
    wr::put_identity(out, model);
    out.put(image::checksum(body.bytes()));
    out.put_raw(body.bytes());
    return out.take();
}

// The lists stored beside the state just read (whose file is `model`), for
// the lists it holds now; nothing when they are stale or damaged.
std::shared_ptr<const EngineLists> stored_lists(py::handle engine, const wr::ModelIdentity& model) {
    std::optional<std::string> bytes = image::read_file(wr::host_path(wr::beside_model(engine, kFileName)));
    if (!bytes) return nullptr;
    py::object embedded = engine.attr("embedded_documents");
    if (!PyDict_Check(embedded.ptr())) return nullptr;
    auto out = std::make_shared<EngineLists>();
    try {
        image::Reader in(*bytes);
        if (in.get_raw(sizeof kMagic) != std::string_view(kMagic, sizeof kMagic)) return nullptr;
        if (in.get<std::uint32_t>() != kFormat) return nullptr;
        if (!(wr::get_identity(in) == model)) return nullptr;  // stale
        const auto sum = in.get<std::uint64_t>();
        const std::string_view body = in.get_raw(bytes->size() - (sizeof kMagic + 4 + 32 + 8));
        if (image::checksum(body) != sum) return nullptr;
        image::Reader b(body);
        const auto keys = b.get<std::uint64_t>();
        for (std::uint64_t k = 0; k < keys; ++k) {
            auto kept = std::make_shared<KeyLists>();
            const std::string key = b.get_bytes();
            vl::Lists& l = kept->lists;
            l.dim = static_cast<std::size_t>(b.get<std::uint64_t>());
            l.trained = static_cast<std::size_t>(b.get<std::uint64_t>());
            l.centroids = b.get_vector<float>();
            l.home = b.get_vector<std::uint32_t>();
            py::object list = py::reinterpret_borrow<py::dict>(embedded)
                                  .attr("get")(py::str(key.data(), key.size()));
            if (l.dim == 0 || l.centroids.empty() || l.centroids.size() % l.dim != 0 ||
                !PyList_CheckExact(list.ptr()) ||
                l.home.size() != vl::kSpill * static_cast<std::size_t>(PyList_GET_SIZE(list.ptr())))
                return nullptr;
            vl::arrange(l);
            kept->items = copy_of(list);
            (*out)[key] = kept;
        }
        if (!b.done()) return nullptr;
    } catch (const image::Damaged&) {
        return nullptr;
    } catch (const std::invalid_argument&) {
        return nullptr;
    }
    return out;
}

}  // namespace

void read_lists(py::handle engine, py::handle opened) {
    if (py::hasattr(engine, kAttr)) py::delattr(engine, kAttr);
    const int fd = wr::stored_descriptor(opened);
    if (fd < 0) return;
    std::optional<wr::ModelIdentity> model = wr::model_identity_of_fd(fd);
    if (!model) return;
    if (std::shared_ptr<const EngineLists> stored = stored_lists(engine, *model))
        wr::hold_on<const EngineLists>(engine, kAttr, kCapsule, stored);
}

void write_lists(py::handle engine) {
    wr::write_beside_model(engine, kFileName, "sb--", "large keys are searched exactly until the next save",
                           [&](const wr::ModelIdentity& model) { return lists_image(engine, model); });
}

std::optional<ApproximatePage> approximate_rows(py::handle engine, py::handle key, py::handle embeddings,
                                                py::handle embedding, std::int64_t start, std::int64_t stop) {
    if (start < 0 || stop <= start || static_cast<std::size_t>(stop) > kDeepest) return std::nullopt;
    std::shared_ptr<const EngineLists> all = held(engine);
    std::string name;
    if (!all || !key_text(key, name)) return std::nullopt;
    auto found = all->find(name);
    if (found == all->end()) return std::nullopt;
    std::shared_ptr<const KeyLists> kept = found->second;
    const std::size_t from = approximate_from();
    if (from == 0 || kept->lists.size() < from || !same_items(kept->items, embeddings)) return std::nullopt;
    Rows rows;
    if (!float_rows(embeddings, rows) || rows.n != kept->lists.size() || rows.dim != kept->lists.dim)
        return std::nullopt;
    py::array_t<float, py::array::c_style> query;
    try {
        query = py::array_t<float, py::array::c_style | py::array::forcecast>(
            attr("np").attr("asarray")(embedding).attr("ravel")());
    } catch (py::error_already_set&) {
        return std::nullopt;  // the exact search reports what is wrong with it
    }
    if (static_cast<std::size_t>(query.size()) != rows.dim) return std::nullopt;

    std::vector<vl::Hit> hits;
    {
        const std::size_t asked = probes(kept->lists);
        py::gil_scoped_release unlocked;
        hits = vl::search(kept->lists, rows.data, query.data(), static_cast<std::size_t>(stop), asked);
    }
    ApproximatePage out;
    out.matrix = rows.matrix;
    for (std::size_t r = static_cast<std::size_t>(start); r < hits.size(); ++r) out.rows.push_back(hits[r].row);
    return out;
}

void init_lists(py::module_& m) {
    // Keys with at least this many documents are searched through lists.
    m.attr("APPROXIMATE_FROM") = py::int_(50000);
    // How many lists a query's documents are taken from (any integer but a
    // positive one: every list); None: as many as hold about 16,384
    // documents, and at least 32.
    m.attr("APPROXIMATE_PROBES") = py::none();
    // The lists an engine object keeps: {key: (lists, trained, [[list, list] per row])},
    // for the tests.
    m.def(
        "_search_lists",
        [](py::handle engine) {
            py::dict out;
            if (std::shared_ptr<const EngineLists> all = held(engine)) {
                for (const auto& [key, kept] : *all) {
                    py::list homes;
                    for (std::size_t r = 0; r < kept->lists.size(); ++r)
                        homes.append(py::make_tuple(kept->lists.home[vl::kSpill * r],
                                                    kept->lists.home[vl::kSpill * r + 1]));
                    out[py::str(key)] = py::make_tuple(kept->lists.lists(), kept->lists.trained, homes);
                }
            }
            return out;
        },
        py::arg("engine"));
}

}  // namespace finderysb
