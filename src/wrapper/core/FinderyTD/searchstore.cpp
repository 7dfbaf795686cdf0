// The search index stored beside the model, so that a new process searches
// without reading the model: td_model.pkl holds the vectoriser, the matrix
// and every cleaned text, and reading it takes scikit-learn, SciPy and time
// that grows with the index, while the ranked search needs only its own
// index and the names and languages of the hits.
//
// td_search_index.bin holds the ranked index (ranked.cpp) as an image, the
// documents' names and languages, the languages the index holds, and the
// vectoriser's idf weights of its terms (the weights of a hit's passages).
// It is written under the model's lock right after the model, and names the
// model it was made from by the model file's size, modification time and
// fingerprints of its first and last bytes: a model written since by anyone
// (a writer killed between the two files, an older library, a host's own
// joblib.dump) leaves it stale, and a stale, damaged or missing index only
// means the model is read as before. An index whose ids are not all strings,
// or whose languages are not all Idiomark members or None, has no such file.
//
// A ranked search (RANKING "bm25") on an engine object that has not read its
// model answers from this file when it is current; the object then stays
// unloaded, and reads the model at the first call that needs it (training,
// load_model, the cosine ranking), as it would have without the file.
//
// The file is mapped, not read: the postings, their block maxima and the
// names are used where they lie, so opening it costs what the vocabulary
// and the documents' offsets cost, and a query reads the postings of its
// own terms. Those are checked the first time a query names their term; a
// damaged term then means the model answers that search and the ones after
// it, as for a file found damaged when opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include "binimage.hpp"
#include "finderytd.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"

namespace finderytd {

namespace {

namespace image = wr::image;

constexpr const char* kFileName = "td_search_index.bin";
constexpr char kMagic[8] = {'W', 'R', 'T', 'D', 'S', 'R', 'C', 'H'};
// 2: the model beside it is a standard pickle (written by dump_model).
// 3: arrays a search reads where they lie are aligned; block maxima stored;
// checksums of each term's postings and of the rest.
constexpr std::uint32_t kFormat = 3;
constexpr const char* kAttr = "_search_index";
constexpr const char* kCapsuleName = "wrapper.td_search_index";


// A host string as UTF-8, lone surrogates (names os.fsdecode made of
// undecodable bytes) included, so that it reads back as the same string.
std::string utf8_of(py::handle text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) return std::string(utf8, size);
    PyErr_Clear();  // lone surrogates, which UTF-8 proper cannot hold
    return py::reinterpret_borrow<py::str>(text).attr("encode")("utf-8", "surrogatepass").cast<std::string>();
}

py::str text_of(std::string_view bytes) {
    return py::bytes(bytes.data(), bytes.size()).attr("decode")("utf-8", "surrogatepass");
}

}  // namespace

// ---- the stored index, read ----------------------------------------------------------

struct StoredSearch {
    // The file, mapped: the postings and the names are read where they lie.
    std::shared_ptr<const image::Mapped> file;
    std::shared_ptr<Ranked> ranked;
    std::string_view names;              // UTF-8, one after another
    std::vector<std::uint64_t> name_at;  // documents + 1 offsets into `names`
    std::vector<std::string> codes;      // language codes; a document's 0 is None, i is codes[i - 1]
    std::vector<std::uint8_t> language;  // per document
    std::vector<std::string> held;       // the codes of the index, most documents first
    std::vector<double> idf;             // per term of `ranked`, NaN when the vectoriser lacks it
    std::unordered_map<std::u32string, double> other_idf;  // vectoriser terms `ranked` lacks

    std::size_t documents() const { return language.size(); }
    std::string_view name(std::uint32_t doc) const {
        return names.substr(name_at[doc], name_at[doc + 1] - name_at[doc]);
    }
};

namespace {

std::shared_ptr<StoredSearch> parse(std::shared_ptr<const image::Mapped> file, const ModelIdentity& model) {
    image::Reader in(file->bytes());
    if (in.get_raw(sizeof kMagic) != std::string_view(kMagic, sizeof kMagic))
        throw image::Damaged("not a search index");
    if (in.get<std::uint32_t>() != kFormat) return nullptr;  // another version's: not ours to read
    if (!image::little_endian()) return nullptr;
    if (!(get_identity(in) == model)) return nullptr;  // stale

    auto s = std::make_shared<StoredSearch>();
    s->file = file;
    const auto [names, size] = in.view<char>();
    s->names = std::string_view(names, size);
    s->name_at = in.get_vector<std::uint64_t>();
    image::check_offsets(s->name_at, s->names.size());
    const auto code_count = in.get<std::uint32_t>();
    if (code_count > 255) throw image::Damaged("too many languages");
    for (std::uint32_t i = 0; i < code_count; ++i) s->codes.push_back(in.get_bytes());
    s->language = in.get_vector<std::uint8_t>();
    if (s->language.size() + 1 != s->name_at.size()) throw image::Damaged("names and languages differ in number");
    for (std::uint8_t l : s->language)
        if (l > code_count) throw image::Damaged("a document's language is not listed");
    const auto held = in.get<std::uint32_t>();
    if (held > code_count) throw image::Damaged("too many languages held");
    for (std::uint32_t i = 0; i < held; ++i) s->held.push_back(in.get_bytes());
    s->ranked = read_ranked(in, file);
    if (documents_of(*s->ranked) != s->documents()) throw image::Damaged("the index and the names differ");
    s->idf = in.get_vector<double>();
    if (s->idf.size() != terms_of(*s->ranked).size()) throw image::Damaged("weights and terms differ in number");
    const auto others = in.get<std::uint64_t>();
    for (std::uint64_t i = 0; i < others; ++i) {
        const std::vector<char32_t> term = in.get_vector<char32_t>();
        s->other_idf[std::u32string(term.begin(), term.end())] = in.get<double>();
    }
    // Everything but the postings (checked term by term as queries name
    // them), as written.
    const std::uint64_t summed = in.summed_checksum();
    if (in.get<std::uint64_t>() != summed) throw image::Damaged("the index is not as written");
    if (!in.done()) throw image::Damaged("data after the end");
    return s;
}

// Whether the engine reads its model as this module does: a host's own
// load_model (on a subclass, the class or the object), or a joblib of its
// own, is left to that.
bool plain_loading(py::handle engine) {
    return own_load_model(engine, engine.attr(wr::name("load_model"))) && lazy_untouched("joblib");
}

}  // namespace

std::shared_ptr<StoredSearch> stored_search(py::handle engine) {
    if (std::shared_ptr<StoredSearch> held = held_on<StoredSearch>(engine, kAttr, kCapsuleName)) return held;
    if (wr::truthy(engine.attr("is_loaded")) || !plain_loading(engine)) return nullptr;
    py::object path = beside_model(engine, kFileName);
    std::shared_ptr<StoredSearch> stored;
    try {
        const std::string model = wr::host_path(engine.attr("model_filename"));
        const std::string file = wr::host_path(path);
        std::optional<ModelIdentity> identity;
        std::shared_ptr<const image::Mapped> mapped;
        {
            py::gil_scoped_release unlocked;
            identity = model_identity(model);
            if (identity) mapped = image::Mapped::open(file);
        }
        if (!identity || !mapped) return nullptr;
        stored = parse(std::move(mapped), *identity);
    } catch (const image::Damaged& e) {
        wr::log_warning({"td--", path, " could not be read (", e.what(), "); reading the model instead"});
        return nullptr;
    }
    if (!stored) return nullptr;
    hold_on(engine, kAttr, kCapsuleName, stored);
    return stored;
}

bool model_is_plain_pickle(py::handle engine) {
    try {
        const std::string model = wr::host_path(engine.attr("model_filename"));
        const std::string file = wr::host_path(beside_model(engine, kFileName));
        py::gil_scoped_release unlocked;
        const std::optional<ModelIdentity> identity = model_identity(model);
        if (!identity) return false;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rbe"), &std::fclose);
        if (!f) return false;
        char header[sizeof kMagic + 4 + 32];
        if (std::fread(header, 1, sizeof header, f.get()) != sizeof header) return false;
        image::Reader in(std::string_view(header, sizeof header));
        if (in.get_raw(sizeof kMagic) != std::string_view(kMagic, sizeof kMagic)) return false;
        if (in.get<std::uint32_t>() != kFormat || !image::little_endian()) return false;
        return get_identity(in) == *identity;
    } catch (const image::Damaged&) {
        return false;
    }
}

void forget_stored_search(py::handle engine) {
    if (py::hasattr(engine, kAttr)) engine.attr(kAttr) = py::none();
    if (py::hasattr(engine, "_stored_documents")) engine.attr("_stored_documents") = py::none();
}

py::object search_stored(const std::shared_ptr<StoredSearch>& s, py::object query, py::object language,
                         py::object page, py::object results_per_page, py::object cutoff) {
    py::object idiomark = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");
    std::vector<py::object> members(s->codes.size());  // looked up once a search
    return search_ranked(s->ranked, query, language, page, results_per_page, cutoff, [&](std::uint32_t doc) {
        const std::uint8_t l = s->language[doc];
        py::object member = py::none();
        if (l != 0) {
            if (!members[l - 1]) members[l - 1] = idiomark(py::str(s->codes[l - 1]));
            member = members[l - 1];
        }
        return std::make_pair(py::object(text_of(s->name(doc))), member);
    });
}

std::vector<std::string> stored_languages(const StoredSearch& s) { return s.held; }

std::optional<double> stored_idf(const StoredSearch& s, const std::u32string& term) {
    if (std::optional<std::uint32_t> id = term_id(*s.ranked, term)) {
        const double w = s.idf[*id];
        if (std::isnan(w)) return std::nullopt;
        return w;
    }
    auto at = s.other_idf.find(term);
    if (at == s.other_idf.end()) return std::nullopt;
    return at->second;
}

// ---- the stored index, written ----------------------------------------------------------

namespace {

// The image of the engine's index, or nothing when it cannot hold it.
std::optional<std::string> image_of(py::handle engine, const ModelIdentity& model) {
    if (!image::little_endian()) return std::nullopt;
    py::object names = engine.attr("document_names");
    py::object languages = engine.attr("detected_languages");
    if (!py::isinstance<py::list>(names) || !py::isinstance<py::dict>(languages)) return std::nullopt;
    py::object idiomark = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");

    std::string blob;
    std::vector<std::uint64_t> offsets{0};
    std::vector<std::string> codes;
    std::vector<std::uint8_t> per_document;
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr()) || !languages.contains(name)) return std::nullopt;
        blob += utf8_of(name);
        offsets.push_back(blob.size());
        py::object language = languages[name];
        if (language.is_none()) {
            per_document.push_back(0);
            continue;
        }
        if (!py::isinstance(language, idiomark)) return std::nullopt;
        const std::string code = py::str(language.attr("value"));
        auto at = std::find(codes.begin(), codes.end(), code);
        if (at == codes.end()) {
            if (codes.size() == 255) return std::nullopt;
            codes.push_back(code);
            at = codes.end() - 1;
        }
        per_document.push_back(static_cast<std::uint8_t>(at - codes.begin() + 1));
    }
    const std::shared_ptr<Ranked> ranked = ranked_index(engine);
    if (documents_of(*ranked) != per_document.size()) return std::nullopt;

    // Room for all of it at once (the postings are hundreds of megabytes in
    // a large index): the names, their offsets and languages, the ranked
    // index, and an idf for each of its terms.
    image::Writer out;
    out.reserve(256 + blob.size() + offsets.size() * sizeof(std::uint64_t) + per_document.size() +
                ranked_image_bytes(*ranked) + terms_of(*ranked).size() * sizeof(double));
    out.put_raw(std::string_view(kMagic, sizeof kMagic));
    out.put(kFormat);
    put_identity(out, model);
    out.put_aligned(blob.data(), blob.size());
    out.put_vector(offsets);
    out.put(static_cast<std::uint32_t>(codes.size()));
    for (const std::string& c : codes) out.put_bytes(c);
    out.put_vector(per_document);

    // The languages most documents are in first, as the command line asks
    // the model for them (equal counts in the order first met).
    py::object counted = wr::import_attr("collections", "Counter")(languages.attr("values")());
    std::vector<std::string> held;
    for (py::handle pair : counted.attr("most_common")()) {
        py::object language = pair[py::int_(0)];
        if (py::hasattr(language, "value")) held.push_back(py::str(language.attr("value")));
    }
    out.put(static_cast<std::uint32_t>(held.size()));
    for (const std::string& c : held) out.put_bytes(c);

    write_ranked(*ranked, out);

    // The vectoriser's idf of each term, as a passage weighs the query's words.
    std::vector<double> idf(terms_of(*ranked).size(), std::numeric_limits<double>::quiet_NaN());
    std::vector<std::pair<std::u32string, double>> others;
    py::object vectorizer = engine.attr("tfidf_vectorizer");
    py::object vocabulary = py::getattr(vectorizer, "vocabulary_", py::none());
    py::object weights = vocabulary.is_none() ? py::object(py::none()) : py::getattr(vectorizer, "idf_", py::none());
    if (py::isinstance<py::dict>(vocabulary) && !weights.is_none()) {
        // scikit-learn's weights are an array of doubles, read in place;
        // anything else is indexed as the host indexes it.
        py::array_t<double> plain;
        if (py::isinstance<py::array_t<double>>(weights)) plain = weights.cast<py::array_t<double>>();
        const bool flat = plain && plain.ndim() == 1;
        for (auto item : py::dict(vocabulary)) {
            if (!PyUnicode_Check(item.first.ptr())) return std::nullopt;
            double w;
            const long long at = PyLong_Check(item.second.ptr()) ? PyLong_AsLongLong(item.second.ptr()) : -1;
            if (at == -1 && PyErr_Occurred()) PyErr_Clear();
            if (flat && at >= 0 && at < plain.shape(0)) w = plain.at(at);
            else w = py::float_(weights[item.second]).cast<double>();
            const std::u32string term = wr::to_u32(item.first);
            if (std::optional<std::uint32_t> id = term_id(*ranked, term)) idf[*id] = w;
            else others.emplace_back(term, w);
        }
    }
    out.put_vector(idf);
    out.put<std::uint64_t>(others.size());
    for (const auto& [term, w] : others) {
        out.put_vector(std::vector<char32_t>(term.begin(), term.end()));
        out.put(w);
    }
    out.put(out.summed_checksum());
    return out.take();
}

}  // namespace

void write_search_index(py::handle engine) {
    write_beside_model(engine, kFileName, "td--", "searches read the model instead",
                       [&](const ModelIdentity& model) { return image_of(engine, model); });
}

// ---- what the facade and the command line ask of it ----------------------------------

void init_stored(py::module_& m) {
    // The language codes the index holds documents in, most documents first,
    // from the stored index; None when the engine is to be asked instead.
    m.def(
        "_languages_held",
        [](py::handle engine) -> py::object {
            std::shared_ptr<StoredSearch> s = stored_search(engine);
            if (!s) return py::none();
            py::list out;
            for (const std::string& c : s->held) out.append(py::str(c));
            return out;
        },
        py::arg("engine"));
    // (ids in order, {id: language}) from the stored index, made once per
    // engine object; None when the engine is to be asked instead.
    m.def(
        "_stored_documents",
        [](py::handle engine) -> py::object {
            py::object made = py::getattr(engine, "_stored_documents", py::none());
            if (!made.is_none()) return made;
            std::shared_ptr<StoredSearch> s = stored_search(engine);
            if (!s) return py::none();
            py::object idiomark = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");
            std::vector<py::object> members{py::none()};
            for (const std::string& c : s->codes) members.push_back(idiomark(py::str(c)));
            py::list names;
            py::dict languages;
            for (std::uint32_t d = 0; d < s->documents(); ++d) {
                py::str name = text_of(s->name(d));
                names.append(name);
                languages[name] = members[s->language[d]];
            }
            made = py::make_tuple(names, languages);
            engine.attr("_stored_documents") = made;
            return made;
        },
        py::arg("engine"));
    // {word: the vectoriser's idf} for those of `words` its vocabulary holds,
    // from the stored index; None when the engine is to be asked instead.
    m.def(
        "_stored_idf",
        [](py::handle engine, py::iterable words) -> py::object {
            std::shared_ptr<StoredSearch> s = stored_search(engine);
            if (!s) return py::none();
            py::dict out;
            for (py::handle w : words)
                if (std::optional<double> idf = stored_idf(*s, wr::to_u32(w))) out[w] = py::float_(*idf);
            return out;
        },
        py::arg("engine"), py::arg("words"));
}

}  // namespace finderytd
