// Each stored text's term counts, kept beside the model so that a change of
// the index counts only the texts it brings: refitting the vectoriser over
// every text (and deriving the ranked index from them) otherwise tokenises
// the whole index again at every change, the largest cost of a change that
// grows with the index rather than with the change.
//
// In memory the counts are kept on the engine object, each text known by the
// object itself; td_term_counts.bin holds them for the next process. It is
// written under the model's lock right after the model and names the model
// it was made from as the stored search index does (searchstore.cpp): counts
// of another model, damaged or missing ones only mean the texts are counted
// again. A row of the file counts the text at the same place in the model's
// cleaned texts, so the file is used only for the texts of the very model
// it names, as read (the identity is taken from the file that was read).
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "finderytd.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"

namespace finderytd {

namespace {

namespace image = wr::image;

constexpr const char* kFileName = "td_term_counts.bin";
constexpr char kMagic[8] = {'W', 'R', 'T', 'D', 'C', 'N', 'T', 'S'};
constexpr std::uint32_t kFormat = 1;
// Magic, format, the model's identity (four numbers) and the checksum.
constexpr std::size_t kHeader = sizeof kMagic + 4 + 4 * 8 + 8;
constexpr const char* kKeptAttr = "_term_counts";
constexpr const char* kKeptCapsule = "wrapper.td_term_counts";
constexpr const char* kStoredAttr = "_stored_counts";
constexpr const char* kStoredCapsule = "wrapper.td_stored_counts";

// The model load_model read, and its texts in their order.
struct Expected {
    ModelIdentity model;
    py::list texts;
};

// The counts stored beside the model `expected` names, for its texts; null
// when the file is missing, names another model or does not fit the texts.
std::shared_ptr<KeptCounts> read_stored(py::handle engine, const Expected& expected) {
    py::object path = beside_model(engine, kFileName);
    const std::string file = wr::host_path(path);
    try {
        std::optional<std::string> bytes;
        {
            py::gil_scoped_release unlocked;
            bytes = image::read_file(file);
        }
        if (!bytes) return nullptr;
        image::Reader in(*bytes);
        if (in.get_raw(sizeof kMagic) != std::string_view(kMagic, sizeof kMagic))
            throw image::Damaged("not a file of term counts");
        if (in.get<std::uint32_t>() != kFormat || !image::little_endian()) return nullptr;
        if (!(get_identity(in) == expected.model)) return nullptr;  // another model's
        // Counts that parse but are wrong would go into the next model
        // unseen: the whole file is checked first.
        const auto sum = in.get<std::uint64_t>();
        const std::string_view body = in.get_raw(bytes->size() - kHeader);
        auto kept = std::make_shared<KeptCounts>();
        {
            py::gil_scoped_release unlocked;
            if (image::checksum(body) != sum) throw image::Damaged("its checksum does not match");
            image::Reader counts(body);
            kept->counts = wr::counts::TermCounts::read(counts);
            if (!counts.done()) throw image::Damaged("data after the end");
        }
        if (kept->counts.rows() != py::len(expected.texts)) throw image::Damaged("rows and texts differ in number");
        kept->texts = expected.texts;
        kept->rows.reserve(kept->counts.rows());
        std::uint32_t r = 0;
        for (py::handle text : expected.texts) kept->rows.emplace(text.ptr(), r++);
        return kept;
    } catch (const image::Damaged& e) {
        wr::log_warning({"td--", path, " could not be read (", e.what(), "); the texts are counted again"});
        return nullptr;
    }
}

std::shared_ptr<KeptCounts> kept_or_null(py::handle engine) {
    if (std::shared_ptr<Expected> expected = held_on<Expected>(engine, kStoredAttr, kStoredCapsule)) {
        py::delattr(engine, kStoredAttr);
        if (std::shared_ptr<KeptCounts> stored = read_stored(engine, *expected)) {
            hold_on<KeptCounts>(engine, kKeptAttr, kKeptCapsule, stored);
            return stored;
        }
    }
    return held_on<KeptCounts>(engine, kKeptAttr, kKeptCapsule);
}

// Whether `texts` begin with the texts `kept` counts, in their order.
bool extends(const KeptCounts& kept, const std::vector<py::object>& texts) {
    const std::size_t n = kept.counts.rows();
    if (n == 0 || n > texts.size() || static_cast<std::size_t>(py::len(kept.texts)) != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(kept.texts.ptr(), static_cast<py::ssize_t>(i)) != texts[i].ptr()) return false;
    return true;
}

}  // namespace

std::shared_ptr<const KeptCounts> kept_counts(py::handle engine) {
    if (std::shared_ptr<KeptCounts> kept = kept_or_null(engine)) return kept;
    return std::make_shared<const KeptCounts>();
}

std::shared_ptr<const KeptCounts> count_texts(py::handle engine, const std::vector<py::object>& texts) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    // Texts added after those counted (a run's batches): the counts are
    // extended where they are, unless someone else is reading them. Their
    // terms are numbered in the order the texts first use them already.
    if (std::shared_ptr<KeptCounts> kept = kept_or_null(engine);
        kept && kept.use_count() == 2 && extends(*kept, texts)) {
        for (std::size_t i = kept->counts.rows(); i < texts.size(); ++i) {
            const std::size_t r = kept->counts.add_text(wr::to_u32(texts[i].attr("lower")()), cc);
            kept->texts.append(texts[i]);
            kept->rows.emplace(texts[i].ptr(), static_cast<std::uint32_t>(r));
        }
        return kept;
    }
    std::shared_ptr<const KeptCounts> before = kept_counts(engine);
    auto now = std::make_shared<KeptCounts>();
    std::vector<std::uint32_t> mapped;
    now->rows.reserve(texts.size());
    for (const py::object& text : texts) {
        std::size_t r;
        if (std::optional<std::size_t> was = before->row(text)) {
            r = now->counts.add_row(before->counts, *was, mapped);
        } else {
            const std::u32string lower = wr::to_u32(text.attr("lower")());
            r = now->counts.add_text(lower, cc);
        }
        now->texts.append(text);
        now->rows.emplace(text.ptr(), static_cast<std::uint32_t>(r));
    }
    hold_on<KeptCounts>(engine, kKeptAttr, kKeptCapsule, now);
    return now;
}

void expect_stored_counts(py::handle engine, const std::optional<ModelIdentity>& model) {
    forget_counts(engine);
    py::object cleaned = engine.attr("cleaned_text");
    if (!model || !py::isinstance<py::dict>(cleaned)) return;
    auto expected = std::make_shared<Expected>();
    expected->model = *model;
    expected->texts = py::list(cleaned.attr("values")());
    hold_on<Expected>(engine, kStoredAttr, kStoredCapsule, expected);
}

void forget_counts(py::handle engine) {
    if (py::hasattr(engine, kKeptAttr)) py::delattr(engine, kKeptAttr);
    if (py::hasattr(engine, kStoredAttr)) py::delattr(engine, kStoredAttr);
}

void write_counts(py::handle engine) {
    write_beside_model(engine, kFileName, "td--", "the next change counts every text",
                       [&](const ModelIdentity& model) -> std::optional<std::string> {
        py::object cleaned = engine.attr("cleaned_text");
        if (!py::isinstance<py::dict>(cleaned)) return std::nullopt;
        std::vector<py::object> texts;
        for (py::handle text : py::reinterpret_borrow<py::dict>(cleaned).attr("values")()) {
            if (!PyUnicode_Check(text.ptr())) return std::nullopt;
            texts.push_back(py::reinterpret_borrow<py::object>(text));
        }
        // After a refit the kept counts are those of these texts already.
        std::shared_ptr<const KeptCounts> kept = kept_counts(engine);
        bool current = static_cast<std::size_t>(py::len(kept->texts)) == texts.size();
        for (std::size_t i = 0; current && i < texts.size(); ++i)
            current = PyList_GET_ITEM(kept->texts.ptr(), static_cast<py::ssize_t>(i)) == texts[i].ptr();
        if (!current) kept = count_texts(engine, texts);
        image::Writer body;
        kept->counts.write(body);
        image::Writer out;
        out.put_raw(std::string_view(kMagic, sizeof kMagic));
        out.put(kFormat);
        put_identity(out, model);
        out.put(image::checksum(body.bytes()));
        out.put_raw(body.bytes());
        return out.take();
    });
}

void init_counts(py::module_& m) {
    // The engine's kept counts, a {term: count} dict per text in their
    // order, or None when it keeps none (reading them from beside the model
    // when that is pending), for the tests.
    m.def(
        "_term_counts",
        [](py::handle engine) -> py::object {
            std::shared_ptr<const KeptCounts> kept = kept_counts(engine);
            if (kept->counts.rows() == 0) return py::none();
            py::list out;
            for (std::size_t r = 0; r < kept->counts.rows(); ++r) {
                py::dict row;
                for (const wr::counts::Entry* e = kept->counts.row_begin(r); e != kept->counts.row_end(r); ++e)
                    row[wr::from_u32(kept->counts.term(e->term))] = e->count;
                out.append(py::make_tuple(kept->texts[r], row));
            }
            return out;
        },
        py::arg("engine"));
}

}  // namespace finderytd
