// The text of every filed document kept beside the index, page by page, with
// the term the engine made of each word, so that a hit can show where it
// matched without reading its file again. One small JSON file per document
// under <models>/pages, named by a digest of the document's id: one document
// is written, replaced or removed without touching any other.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hoststem.hpp"
#include "hosttext.hpp"
#include "passages.hpp"
#include "pyutil.hpp"
#include "sidebyside.hpp"

namespace py = pybind11;
namespace ps = wr::passages;

namespace {

// Version of the stored layout; a file of another version is not read.
constexpr int kVersion = 1;
// Words per window, as the passage search tiles pages (Process asks for the
// same); the stored embeddings are of these windows.
constexpr std::size_t kWindowWords = 40;
// Texts per call of an encoder that takes a list.
constexpr std::size_t kBatch = 32;

py::str pages_dir(py::handle modeldir) { return wr::cat({modeldir, "/pages"}); }

// repr rather than str: the ids 1 and "1" are two documents.
py::str stem_path(py::handle modeldir, py::handle id, const char* suffix) {
    py::bytes key = py::str(py::repr(id)).attr("encode")("utf-8", "surrogatepass");
    py::str digest = wr::import_attr("hashlib", "sha256")(key).attr("hexdigest")();
    return wr::cat({pages_dir(modeldir), "/", digest[py::slice(0, 40, 1)], suffix});
}

py::str path(py::object modeldir, py::object id) { return stem_path(modeldir, id, ".json"); }

// The embeddings of a document's windows beside its pages: a header (magic,
// a stamp the page file names, rows, halves per row, little-endian) and the
// rows as IEEE halves. The stamp ties the two files together: the vectors
// are written first, the pages second, each atomically, so a crash between
// them or a later keep() without an encoder leaves vectors nobody names.
py::str vectors_path(py::handle modeldir, py::handle id) { return stem_path(modeldir, id, ".f16"); }
constexpr char kMagic[8] = {'w', 'r', 'v', 'e', 'c', 'f', '1', '6'};
constexpr std::size_t kStampBytes = 16;
constexpr std::size_t kHeaderBytes = sizeof kMagic + kStampBytes + 8;

void put_u32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xffu));
}

std::uint32_t get_u32(const unsigned char* in) {
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
           std::uint32_t{in[3]} << 24;
}

// Host strings joined by a blank, handed to `fn`, split again: one host call
// for all the words of a document instead of one per word. Words hold no
// whitespace and the functions used here never make any, but a count that
// does not come back whole is answered word by word.
std::vector<std::u32string> through_host(const std::vector<std::u32string>& words,
                                         const std::function<py::object(py::str)>& fn) {
    std::u32string joined;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) joined.push_back(U' ');
        joined += words[i];
    }
    std::u32string out = wr::to_u32(fn(wr::from_u32(joined)));
    std::vector<std::u32string> back;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = out.find(U' ', start);
        back.push_back(out.substr(start, end == std::u32string::npos ? end : end - start));
        if (end == std::u32string::npos) break;
        start = end + 1;
    }
    if (back.size() == words.size()) return back;
    back.clear();
    for (const std::u32string& w : words) back.push_back(wr::to_u32(fn(wr::from_u32(w))));
    return back;
}

// Lower-cased folded words replaced by their terms with the C++ stemmer:
// "" for a stopword, else the stem lower-cased. False (words untouched)
// where the host's functions must run: Wordwash's nltk names replaced, a
// language without a C++ stemmer, nltk's data not in plain files. `name` is
// the language's nltk name.
bool native_terms(std::vector<std::u32string>& words, py::handle wordwash, py::handle name) {
    const std::optional<wr::NativeStemming> native = wr::native_stemming(wordwash, name);
    if (!native) return false;
    const std::shared_ptr<const wr::stem::StopSet>& stop = native->stop;
    wr::stem::Stemmer stemmer(native->language);
    std::vector<std::u32string> terms(words.size());
    std::u32string lowered, stem;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i].empty() || stop->count(words[i])) continue;
        const wr::stem::Lowering& lowering = wr::host_lowering(words[i]);
        lowering.lower(words[i], lowered);  // as nltk's stemmer does first
        if (!stemmer.stem(lowered, stem)) return false;
        lowering.lower(stem, terms[i]);
    }
    words = std::move(terms);
    return true;
}

// Words and their terms, open addressing over one block of letters: a look-up
// reads a slot and, when the hashes agree, the word's letters beside its
// term (two cache misses where a node map takes four).
class WordTerms {
public:
    std::size_t size() const { return used_; }

    // The word's term, valid until the next add().
    std::optional<std::u32string_view> find(std::u32string_view word) const {
        if (slots_.empty()) return std::nullopt;
        const std::uint64_t hash = hash_of(word);
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Slot& s = slots_[at];
            if (s.word_len == kFree) return std::nullopt;
            if (s.hash == hash && std::u32string_view(letters_.data() + s.at, s.word_len) == word)
                return std::u32string_view(letters_.data() + s.at + s.word_len, s.term_len);
        }
    }

    void add(std::u32string_view word, std::u32string_view term) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        const std::uint64_t hash = hash_of(word);
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            Slot& s = slots_[at];
            if (s.word_len == kFree) {
                s = Slot{hash, letters_.size(), static_cast<std::uint32_t>(word.size()),
                         static_cast<std::uint32_t>(term.size())};
                letters_.append(word);
                letters_.append(term);
                ++used_;
                return;
            }
            if (s.hash == hash && std::u32string_view(letters_.data() + s.at, s.word_len) == word)
                return;  // met by another thread meanwhile
        }
    }

private:
    static std::uint64_t hash_of(std::u32string_view word) {
        return std::hash<std::u32string_view>{}(word);
    }

    static constexpr std::uint32_t kFree = ~std::uint32_t{0};
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t at = 0;  // the word's letters in letters_, its term right after
        std::uint32_t word_len = kFree, term_len = 0;
    };

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<std::size_t>(1024, old.size() * 2), Slot{});
        mask_ = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.word_len == kFree) continue;
            std::size_t at = s.hash & mask_;
            while (slots_[at].word_len != kFree) at = (at + 1) & mask_;
            slots_[at] = s;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0, used_ = 0;
    std::u32string letters_;
};

// The terms of words met before, per language: most words of a page were on
// an earlier page. Kept only for terms the C++ pipeline made (or folded words
// without a language) and while the host's unicodedata.normalize is the one
// they were made with; what else the terms depend on is fixed in a process.
class TermMemo {
public:
    // The terms of `words` known under `key` made with `normalize` into
    // `terms`; the places of the others.
    std::vector<std::size_t> look_up(const std::string& key, py::handle normalize,
                                     const std::vector<std::u32string_view>& words,
                                     std::vector<std::u32string>& terms) {
        std::vector<std::size_t> missing;
        std::shared_lock<std::shared_mutex> hold(lock_);
        auto table = normalize.ptr() == normalize_ ? tables_.find(key) : tables_.end();
        for (std::size_t i = 0; i < words.size(); ++i) {
            std::optional<std::u32string_view> term;
            if (table != tables_.end()) term = table->second.find(words[i]);
            if (term) terms[i] = *term;
            else missing.push_back(i);
        }
        return missing;
    }

    void keep(const std::string& key, py::handle normalize, const std::vector<std::u32string>& words,
              const std::vector<std::u32string>& terms) {
        PyObject* old = nullptr;  // let go after the lock: that may run Python
        {
            std::unique_lock<std::shared_mutex> hold(lock_);
            std::size_t kept = 0;
            for (const auto& [k, table] : tables_) kept += table.size();
            if (normalize.ptr() != normalize_ || kept + words.size() > kMemoWords) {
                tables_.clear();
                old = normalize_;
                normalize_ = py::reinterpret_borrow<py::object>(normalize).release().ptr();
            }
            WordTerms& table = tables_[key];
            for (std::size_t k = 0; k < words.size(); ++k) table.add(words[k], terms[k]);
        }
        Py_XDECREF(old);
    }

private:
    // Distinct words kept (some 30 MiB); past that the memo starts again.
    static constexpr std::size_t kMemoWords = std::size_t{1} << 18;
    std::shared_mutex lock_;  // look-ups share it, from any thread
    PyObject* normalize_ = nullptr;  // held as long as the terms it made are
    std::unordered_map<std::string, WordTerms> tables_;
};

TermMemo& term_memo() {
    static TermMemo* memo = new TermMemo;  // never destroyed: it may outlive the interpreter
    return *memo;
}

// The terms of `words` by the pipeline's steps; whether C++ made them (or
// there was no language to stem in), so that the memo may keep them. `name`
// is the language's nltk name, None without a language.
bool make_terms(std::vector<std::u32string>& words, py::handle normalize, py::handle wordwash,
                py::handle name, bool untouched) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    std::vector<std::u32string> folded =
        through_host(words, [&](py::str s) { return normalize("NFD", s); });
    for (std::u32string& f : folded) f = wr::text::keep_word_chars(wr::text::drop_combining(f, cc), cc);
    words = through_host(folded, [](py::str s) { return s.attr("lower")(); });
    if (name.is_none()) return true;
    // stemmed in C++, as Wordwash's pipeline does while nltk's functions
    // there are nltk's own
    if (untouched && native_terms(words, wordwash, name)) return true;
    py::set stop(wordwash.attr("stopwords").attr("words")(name));
    py::object stem = wordwash.attr("SnowballStemmer")(name).attr("stem");
    for (std::u32string& word : words) {
        if (word.empty()) continue;
        py::str w = wr::from_u32(word);
        word = stop.contains(w) ? std::u32string() : wr::to_u32(py::str(stem(w)).attr("lower")());
    }
    return false;
}

// What makes a language's terms, read from the host once (under its lock).
// `memo_key` names the language's table in the memo.
struct TermSource {
    py::object normalize, wordwash, name = py::none();
    bool untouched = true;
    std::string memo_key;
};

TermSource term_source(py::handle language) {
    TermSource s;
    s.normalize = wr::import_attr("unicodedata", "normalize");
    s.wordwash = wr::import("wrapper.infra.Wordwash");
    if (wr::truthy(language)) {
        s.name = s.wordwash.attr("Idiomark").attr("get_nltk_language")(language);
        s.untouched = wr::truthy(s.wordwash.attr("_nltk_untouched")());
    }
    s.memo_key = s.name.is_none() ? std::string() : "l:" + py::str(s.name).cast<std::string>();
    return s;
}

// The words of some texts: per text, each word's place among the distinct
// words (views into the texts). Needs no interpreter.
struct Split {
    std::vector<std::vector<std::size_t>> which;
    std::vector<std::u32string_view> distinct;
};

Split split_words(const std::vector<std::u32string>& texts) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    Split split;
    std::unordered_map<std::u32string_view, std::size_t> seen;
    std::size_t letters = 0;
    for (const std::u32string& text : texts) letters += text.size();
    seen.reserve(letters / 8);
    for (const std::u32string& text : texts) {
        split.which.emplace_back();
        for (const ps::Word& w : ps::words_of(text, cc)) {
            const std::u32string_view piece(text.data() + w.word_begin, w.word_end - w.word_begin);
            auto [at, fresh] = seen.emplace(piece, split.distinct.size());
            if (fresh) split.distinct.push_back(piece);
            split.which.back().push_back(at->second);
        }
    }
    return split;
}

// The terms the memo holds for the distinct words, into `keys`; the places
// of the others. Needs no interpreter (the source is held by the caller).
std::vector<std::size_t> look_up_terms(const TermSource& s, const Split& split, std::vector<std::u32string>& keys) {
    keys.assign(split.distinct.size(), std::u32string());
    // No memo answers while nltk's functions are replaced.
    if (s.untouched) return term_memo().look_up(s.memo_key, s.normalize, split.distinct, keys);
    std::vector<std::size_t> missing(split.distinct.size());
    for (std::size_t i = 0; i < missing.size(); ++i) missing[i] = i;
    return missing;
}

// The terms of the missing words by the pipeline's steps (under the
// interpreter's lock), kept in the memo where it may keep them.
void make_missing(const TermSource& s, const Split& split, const std::vector<std::size_t>& missing,
                  std::vector<std::u32string>& keys) {
    if (missing.empty()) return;
    std::vector<std::u32string> words;
    words.reserve(missing.size());
    for (std::size_t i : missing) words.emplace_back(split.distinct[i]);
    std::vector<std::u32string> terms = words;
    if (make_terms(terms, s.normalize, s.wordwash, s.name, s.untouched) && s.untouched)
        term_memo().keep(s.memo_key, s.normalize, words, terms);
    for (std::size_t k = 0; k < missing.size(); ++k) keys[missing[k]] = std::move(terms[k]);
}

// Each text's line of terms. Needs no interpreter.
std::vector<std::u32string> lines_of(const Split& split, const std::vector<std::u32string>& keys) {
    std::vector<std::u32string> out;
    for (const std::vector<std::size_t>& words : split.which) {
        std::u32string line;
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (i) line.push_back(U' ');
            const std::u32string& key = keys[words[i]];
            // A stem never holds a blank; one that did would break the line up.
            line += key.empty() || key.find(U' ') != std::u32string::npos ? U"-" : key;
        }
        out.push_back(std::move(line));
    }
    return out;
}

// The engine's term for each word of each text, blank-separated, "-" for a
// word it drops: the stemming pipeline's steps (accents folded, punctuation
// deleted, stopwords dropped, Snowball stems in the document's language, or
// without a language the folded word itself), lower-cased as the term
// vectoriser reads them. Each distinct word is stemmed once, and at most
// once a process while the memo keeps it.
std::vector<std::u32string> terms_of(const std::vector<std::u32string>& texts, py::handle language) {
    const Split split = split_words(texts);
    std::vector<std::u32string> keys;
    if (!split.distinct.empty()) {
        const TermSource source = term_source(language);
        make_missing(source, split, look_up_terms(source, split, keys), keys);
    }
    return lines_of(split, keys);
}

py::str terms(py::object text, py::object language) {
    return wr::from_u32(terms_of({wr::to_u32(text)}, language).front());
}

// The page texts a PDF's extraction recorded for exactly this document's
// text, or None: a text translated since, or read by a road that records no
// pages, is kept as one passage source without page numbers.
py::object numbered_pages(py::handle doc, py::handle text) {
    py::object pages = py::getattr(doc, "pages", py::none());
    if (!PyList_Check(pages.ptr()) || py::len(pages) == 0) return py::none();
    for (py::handle p : pages)
        if (!PyUnicode_Check(p.ptr())) return py::none();
    if (!py::str("").attr("join")(pages).equal(text)) return py::none();
    return pages;
}

// One vector of floats from whatever an encoder returned for one text.
std::vector<float> as_floats(py::handle vector) {
    auto a = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(vector);
    if (!a) throw py::error_already_set();
    return std::vector<float>(a.data(), a.data() + a.size());
}

// The embedding of every window the passage search tiles the pages into, in
// reading order, as halves; `dim` their length. The package's encoder takes
// lists (the same vectors to well within a half's precision, in half the
// time); any other model is given one text at a time, as its contract says.
std::string embed_windows(const std::vector<std::u32string>& texts, py::handle model,
                          std::uint32_t& rows, std::uint32_t& dim) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    py::list windows;
    for (const std::u32string& text : texts) {
        ps::Page page = ps::make_page(text, {}, cc);
        const std::size_t n = page.words.size();
        for (std::size_t first = 0; first < n; first += kWindowWords) {
            ps::Window w{0, first, std::min(n, first + kWindowWords)};
            windows.append(wr::from_u32(ps::render(page, w).text));
        }
    }
    std::vector<std::vector<float>> vectors;
    py::object encode = model.attr("encode");
    const bool lists = py::isinstance(
        model, wr::import_attr("wrapper.core.Phrasecoder", "SentenceEncoder"));
    const std::size_t n = py::len(windows);
    for (std::size_t at = 0; at < n; at += lists ? kBatch : 1) {
        if (!lists) {
            vectors.push_back(as_floats(encode(windows[at], py::arg("convert_to_tensor") = true)));
            continue;
        }
        py::list batch = windows[py::slice(at, std::min(n, at + kBatch), 1)];
        py::object out = encode(batch, py::arg("convert_to_tensor") = true);
        for (py::handle v : out) vectors.push_back(as_floats(v));
    }
    if (vectors.size() != n)
        wr::raise(PyExc_ValueError,
                  {"the encoder gave ", vectors.size(), " vectors for ", n, " texts"});
    rows = static_cast<std::uint32_t>(n);
    dim = vectors.empty() ? 0 : static_cast<std::uint32_t>(vectors.front().size());
    std::string data;
    data.reserve(std::size_t{rows} * dim * 2);
    for (const std::vector<float>& v : vectors) {
        if (v.size() != dim)
            wr::raise(PyExc_ValueError, {"the encoder's vectors differ in length"});
        for (float f : v) {
            const std::uint16_t h = ps::to_half(f);
            data.push_back(static_cast<char>(h & 0xffu));
            data.push_back(static_cast<char>(h >> 8));
        }
    }
    return data;
}

bool remove_if_there(py::handle where) {
    try {
        wr::import("os").attr("remove")(where);
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
        return false;
    }
}

py::object keep(py::object modeldir, py::object doc, py::object model, py::object key,
                bool durable) {
    // Anything without text (the engines pass such documents over) is not kept.
    py::object text = py::getattr(doc, "text", py::none());
    if (!wr::truthy(text) || !PyUnicode_Check(text.ptr())) return py::none();
    py::object language = py::none();
    if (wr::truthy(py::getattr(doc, "is_detect_language", py::none())))
        language = doc.attr("detected_language");

    py::object pages = numbered_pages(doc, text);
    std::vector<std::u32string> texts;
    if (pages.is_none()) texts.push_back(wr::to_u32(text));
    else
        for (py::handle p : pages) texts.push_back(wr::to_u32(p));
    const std::vector<std::u32string> keys = terms_of(texts, language);

    py::list stored;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        py::dict page;
        page["page"] = pages.is_none() ? py::object(py::none()) : py::object(py::int_(i + 1));
        page["text"] = wr::from_u32(texts[i]);
        page["terms"] = wr::from_u32(keys[i]);
        stored.append(page);
    }
    py::dict record;
    record["version"] = kVersion;
    record["id"] = py::repr(doc.attr("id"));
    record["pages"] = stored;
    py::object os = wr::import("os");
    os.attr("makedirs")(pages_dir(modeldir), py::arg("exist_ok") = true);
    py::str vectors_at = vectors_path(modeldir, doc.attr("id"));
    if (!model.is_none()) {
        // Pages without their embeddings still serve (passages then encode
        // at query time): a model that fails here costs speed, not pages.
        try {
            std::uint32_t rows = 0, dim = 0;
            const std::string halves = embed_windows(texts, model, rows, dim);
            const std::string stamp = os.attr("urandom")(kStampBytes).cast<std::string>();
            std::string file(kMagic, sizeof kMagic);
            file += stamp;
            put_u32(file, rows);
            put_u32(file, dim);
            file += halves;
            wr::write_file_atomic(wr::host_path(vectors_at), file, durable);
            py::dict vectors;
            vectors["key"] = key;
            vectors["stamp"] = py::bytes(stamp).attr("hex")();
            vectors["rows"] = rows;
            vectors["dim"] = dim;
            vectors["words"] = kWindowWords;
            record["vectors"] = vectors;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            wr::log_warning({"window embeddings of document ", py::repr(doc.attr("id")),
                             " not kept (its passages are encoded when asked for): ", e.value()});
        }
    }
    // ASCII escapes: any host string (lone surrogates too) survives the file.
    std::string data = py::str(wr::import_attr("json", "dumps")(record)).cast<std::string>();
    py::str where = path(modeldir, doc.attr("id"));
    wr::write_file_atomic(wr::host_path(where), data, durable);
    if (!record.contains("vectors")) remove_if_there(vectors_at);
    return where;
}

// ---- many documents at once ----------------------------------------------------
//
// What keep() does for a batch of documents without window embeddings, on
// two threads: the interpreter's lock is taken only to read the documents
// and to make the terms of words the memo does not hold, and each file is the
// one keep() writes, byte for byte.

// A string as json.dumps writes it (ASCII, \uXXXX escapes in lower-case hex,
// surrogate pairs past the first plane, lone surrogates as they are).
void put_json_string(std::string& out, std::u32string_view s) {
    static const char hex[] = "0123456789abcdef";
    auto escape = [&](std::uint32_t v) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hex[(v >> shift) & 0xF]);
    };
    out.push_back('"');
    for (const char32_t c : s) {
        switch (c) {
            case U'\\': out += "\\\\"; break;
            case U'"': out += "\\\""; break;
            case U'\b': out += "\\b"; break;
            case U'\f': out += "\\f"; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            case U'\t': out += "\\t"; break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    out.push_back(static_cast<char>(c));
                } else if (c >= 0x10000) {
                    const std::uint32_t v = static_cast<std::uint32_t>(c) - 0x10000;
                    escape(0xD800 | (v >> 10));
                    escape(0xDC00 | (v & 0x3FF));
                } else {
                    escape(static_cast<std::uint32_t>(c));
                }
        }
    }
    out.push_back('"');
}

// The record keep() writes for pages without embeddings.
std::string record_json(std::u32string_view id, const std::vector<std::u32string>& texts,
                        const std::vector<std::u32string>& lines, bool numbered) {
    std::string out = "{\"version\": " + std::to_string(kVersion) + ", \"id\": ";
    put_json_string(out, id);
    out += ", \"pages\": [";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i) out += ", ";
        out += "{\"page\": ";
        out += numbered ? std::to_string(i + 1) : std::string("null");
        out += ", \"text\": ";
        put_json_string(out, texts[i]);
        out += ", \"terms\": ";
        put_json_string(out, lines[i]);
        out += "}";
    }
    out += "]}";
    return out;
}

// Runs work(i) for every i below n on this thread and one other (the first
// half here), where there is one to be had; a failure is thrown here once
// both are done.
template <typename Work>
void in_two(std::size_t n, const Work& work) {
    auto run = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) work(i);
    };
    if (n < 2) return run(0, n);
    wr::side_by_side([&] { run(0, n / 2); }, [&] { run(n / 2, n); });
}

// Documents read from the host per round: bounds what a large batch holds
// in memory (a document's text as code points) at once.
constexpr std::size_t kRound = 256;

// keep(modeldir, doc, durable=durable) for each document, without window
// embeddings; per document None (kept, or nothing to keep) or the exception
// keep() would have raised.
py::list keep_batch(py::object modeldir, py::object docs, bool durable) {
    struct Job {
        bool wanted = false;
        std::vector<std::u32string> texts;
        bool numbered = false;
        std::u32string id;
        std::string where, vectors_at;
        const TermSource* source = nullptr;
        py::object source_failed;  // what reading the source raised: keep() raises it for a text with words
        Split split;
        std::vector<std::u32string> keys;
        std::vector<std::size_t> missing;
        wr::FileFailure failed;
    };
    py::list all(docs);
    py::list out;
    for (std::size_t i = 0; i < all.size(); ++i) out.append(py::none());
    // By language object, each held so that no other object takes its
    // address during the batch (a property may make a new one per read).
    std::unordered_map<PyObject*, std::pair<py::object, std::unique_ptr<TermSource>>> sources;
    bool dir_made = false;
    // Made (once a process) under the interpreter's lock, read without it.
    wr::host_char_classes();

    for (std::size_t from = 0; from < all.size(); from += kRound) {
        const std::size_t n = std::min(kRound, all.size() - from);
        std::vector<Job> jobs(n);
        // Read under the interpreter's lock; a document that cannot be read
        // fails alone, as keep() would.
        for (std::size_t k = 0; k < n; ++k) {
            py::handle doc = all[from + k];
            Job& job = jobs[k];
            try {
                py::object text = py::getattr(doc, "text", py::none());
                if (!wr::truthy(text) || !PyUnicode_Check(text.ptr())) continue;
                py::object language = py::none();
                if (wr::truthy(py::getattr(doc, "is_detect_language", py::none())))
                    language = doc.attr("detected_language");
                py::object pages = numbered_pages(doc, text);
                job.numbered = !pages.is_none();
                if (pages.is_none()) job.texts.push_back(wr::to_u32(text));
                else
                    for (py::handle p : pages) job.texts.push_back(wr::to_u32(p));
                py::object id = doc.attr("id");
                job.id = wr::to_u32(py::repr(id));
                if (!dir_made) {
                    wr::import("os").attr("makedirs")(pages_dir(modeldir), py::arg("exist_ok") = true);
                    dir_made = true;
                }
                job.where = wr::host_path(path(modeldir, id));
                job.vectors_at = wr::host_path(vectors_path(modeldir, id));
                job.wanted = true;
                auto& [held, source] = sources[language.ptr()];
                held = language;
                try {
                    if (!source) source = std::make_unique<TermSource>(term_source(language));
                    job.source = source.get();
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_Exception)) throw;
                    job.source_failed = e.value();
                }
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                out[from + k] = e.value();
                job = Job();
            }
        }
        {
            py::gil_scoped_release released;
            in_two(n, [&](std::size_t k) {
                Job& job = jobs[k];
                if (!job.wanted) return;
                job.split = split_words(job.texts);
                if (job.source && !job.split.distinct.empty())
                    job.missing = look_up_terms(*job.source, job.split, job.keys);
            });
        }
        for (std::size_t k = 0; k < n; ++k) {
            Job& job = jobs[k];
            if (!job.wanted || job.split.distinct.empty()) continue;
            if (!job.source) {
                out[from + k] = job.source_failed;
                job.wanted = false;
                continue;
            }
            try {
                make_missing(*job.source, job.split, job.missing, job.keys);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                out[from + k] = e.value();
                job.wanted = false;
            }
        }
        {
            py::gil_scoped_release released;
            in_two(n, [&](std::size_t k) {
                Job& job = jobs[k];
                if (!job.wanted) return;
                const std::string data = record_json(job.id, job.texts, lines_of(job.split, job.keys), job.numbered);
                job.failed = wr::try_write_file_atomic(job.where, data, durable);
                // Embeddings kept before for this document name other pages.
                if (!job.failed.code && ::unlink(job.vectors_at.c_str()) != 0 && errno != ENOENT)
                    job.failed = {errno, job.vectors_at};
            });
        }
        for (std::size_t k = 0; k < n; ++k) {
            const Job& job = jobs[k];
            if (!job.wanted || !job.failed.code) continue;
            py::object name = wr::import("os").attr("fsdecode")(py::bytes(job.failed.path));
            errno = job.failed.code;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
            py::error_already_set failure;
            out[from + k] = failure.value();
        }
    }
    return out;
}

bool forget(py::object modeldir, py::object id) {
    // The pages first: vectors without their pages are never read.
    const bool kept = remove_if_there(path(modeldir, id));
    remove_if_there(vectors_path(modeldir, id));
    return kept;
}

// The stored record of a document, or None when there is none (a document
// filed before pages were kept) or it cannot be used (logged).
py::object read_record(py::object modeldir, py::object id) {
    py::str where = path(modeldir, id);
    py::object record;
    try {
        py::object file = wr::import_attr("builtins", "open")(where, "rb");
        py::bytes data;
        try {
            data = file.attr("read")();
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        record = wr::import_attr("json", "loads")(data);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileNotFoundError)) return py::none();
        if (!e.matches(PyExc_ValueError)) throw;
        wr::log_warning({"unreadable page store ", where, ": ", e.value()});
        return py::none();
    }
    if (!PyDict_Check(record.ptr()) || !record.contains("version") ||
        !py::object(record["version"]).equal(py::int_(kVersion)) ||
        !record.contains("id") || !py::object(record["id"]).equal(py::repr(id))) {
        wr::log_warning({"page store ", where, " is not this document's; ignored"});
        return py::none();
    }
    // Written by keep() alone, but read back from disk: what find() will
    // take apart is checked here, so a damaged file is ignored, not fatal.
    py::object pages = record.contains("pages") ? py::object(record["pages"]) : py::none();
    bool sound = PyList_Check(pages.ptr());
    for (py::handle page : sound ? pages : py::list()) {
        sound = PyDict_Check(page.ptr()) && page.contains("page") && page.contains("text") &&
                page.contains("terms") && PyUnicode_Check(py::object(page["text"]).ptr()) &&
                PyUnicode_Check(py::object(page["terms"]).ptr());
        if (!sound) break;
    }
    if (!sound) {
        wr::log_warning({"page store ", where, " is damaged; ignored"});
        return py::none();
    }
    return record;
}

// ---- finding passages ---------------------------------------------------------

// The stored pages of a record. A page whose terms hold no query term is
// read no further (its text is not even converted) unless it is needed:
// most pages of a long document are, and reading them is most of the cost.
struct Source {
    std::vector<ps::Page> pages;
    std::vector<py::object> numbers;  // the stored page numbers (int or None)
    std::vector<py::object> texts;
    std::vector<bool> read;

    Source(py::handle record, const ps::Terms& terms, bool every_page) {
        for (py::handle page : record["pages"]) {
            std::vector<std::size_t> match = ps::match_line(wr::to_u32(page["terms"]), terms);
            const bool wanted =
                every_page || std::any_of(match.begin(), match.end(),
                                          [](std::size_t t) { return t != ps::Terms::kNone; });
            numbers.push_back(py::object(page["page"]));
            texts.push_back(py::object(page["text"]));
            pages.emplace_back();
            read.push_back(false);
            if (wanted) load(pages.size() - 1, std::move(match));
            else pages.back().match = std::move(match);  // kept for a later load
        }
    }

    void load(std::size_t p, std::vector<std::size_t> match) {
        pages[p] = ps::make_page(wr::to_u32(texts[p]), std::move(match), wr::host_char_classes());
        read[p] = true;
    }

    // The first page with words, read if it was not, or false.
    bool first_with_words(std::size_t& p) {
        for (p = 0; p < pages.size(); ++p) {
            if (!read[p]) load(p, std::move(pages[p].match));
            if (!pages[p].words.empty()) return true;
        }
        return false;
    }
};

ps::Terms terms_from(py::handle weights) {
    std::vector<std::u32string> words;
    std::vector<double> values;
    for (auto item : py::reinterpret_borrow<py::dict>(weights)) {
        const double w = PyFloat_AsDouble(item.second.ptr());
        if (w == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        words.push_back(wr::to_u32(item.first));
        values.push_back(w);
    }
    return ps::Terms(std::move(words), values);
}

py::dict shown(const Source& s, const ps::Window& w) {
    ps::Passage p = ps::render(s.pages[w.page], w);
    py::list marks;
    for (const auto& [b, e] : p.marks) {
        py::list mark;
        mark.append(b);
        mark.append(e);
        marks.append(mark);
    }
    py::dict out;
    out["page"] = s.numbers[w.page];
    out["text"] = wr::from_u32(p.text);
    out["marks"] = marks;
    return out;
}

py::list find(py::object record, py::dict weights, std::size_t count, std::size_t words) {
    const ps::Terms terms = terms_from(weights);
    Source s(record, terms, false);
    std::vector<ps::Window> best;
    {
        py::gil_scoped_release unlocked;  // plain data until the rendering
        best = ps::best_windows(s.pages, terms, words, count);
    }
    // Nothing matched (a stale store, a query of stopwords): the opening
    // words, so a hit always shows something.
    std::size_t p = 0;
    if (best.empty() && count > 0 && s.first_with_words(p))
        best.push_back(ps::Window{p, 0, std::min(words, s.pages[p].words.size())});
    py::list out;
    for (const ps::Window& w : best) out.append(shown(s, w));
    return out;
}

py::list candidates(py::object record, py::dict weights, std::size_t limit, std::size_t words) {
    const ps::Terms terms = terms_from(weights);
    Source s(record, terms, true);
    py::list out;
    for (const ps::Window& w : ps::tiled_windows(s.pages, terms, words, limit)) out.append(shown(s, w));
    return out;
}

// The stored window embeddings `record` names, as halves, or nothing when
// they are missing, of another model key or window size, or do not match.
bool stored_vectors(py::handle modeldir, py::handle id, py::handle record, py::handle key,
                    std::size_t words, std::vector<std::uint16_t>& matrix, std::size_t& rows,
                    std::size_t& dim) {
    py::object vectors = record.contains("vectors") ? py::object(record["vectors"]) : py::none();
    if (!PyDict_Check(vectors.ptr())) return false;
    for (const char* field : {"key", "stamp", "rows", "dim", "words"})
        if (!vectors.contains(field)) return false;
    if (!py::object(vectors["key"]).equal(py::reinterpret_borrow<py::object>(key)) ||
        !py::object(vectors["words"]).equal(py::int_(words)))
        return false;
    py::object stamp_hex = vectors["stamp"], r = vectors["rows"], d = vectors["dim"];
    if (!PyUnicode_Check(stamp_hex.ptr()) || !PyLong_Check(r.ptr()) || !PyLong_Check(d.ptr()))
        return false;
    std::string stamp;
    try {
        py::bytes raw = wr::import_attr("builtins", "bytes").attr("fromhex")(stamp_hex);
        stamp = raw.cast<std::string>();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return false;
    }
    int overflow_rows = 0, overflow_dim = 0;
    const long long want_rows = PyLong_AsLongLongAndOverflow(r.ptr(), &overflow_rows);
    const long long want_dim = PyLong_AsLongLongAndOverflow(d.ptr(), &overflow_dim);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (overflow_rows || overflow_dim || stamp.size() != kStampBytes || want_rows < 0 ||
        want_dim <= 0 || want_rows >= (1LL << 32) || want_dim > (1LL << 20))
        return false;
    const std::string file = wr::host_path(vectors_path(modeldir, id));
    std::string header(kHeaderBytes, '\0');
    bool sound = false;
    {
        py::gil_scoped_release unlocked;  // plain file reading
        std::ifstream in(file, std::ios::binary | std::ios::ate);
        // The size first: a damaged page file must not make us allocate what it says.
        const auto size = static_cast<long long>(in ? static_cast<long long>(in.tellg()) : -1);
        sound = size == static_cast<long long>(kHeaderBytes) + want_rows * want_dim * 2 &&
                in.seekg(0) && in.read(&header[0], static_cast<std::streamsize>(header.size()));
        if (sound) {
            const auto* h = reinterpret_cast<const unsigned char*>(header.data());
            sound = std::equal(kMagic, kMagic + sizeof kMagic, header.data()) &&
                    header.compare(sizeof kMagic, kStampBytes, stamp) == 0 &&
                    get_u32(h + sizeof kMagic + kStampBytes) == want_rows &&
                    get_u32(h + sizeof kMagic + kStampBytes + 4) == want_dim;
        }
        if (sound) {
            rows = static_cast<std::size_t>(want_rows);
            dim = static_cast<std::size_t>(want_dim);
            matrix.resize(rows * dim);
            sound = static_cast<bool>(in.read(reinterpret_cast<char*>(matrix.data()),
                                              static_cast<std::streamsize>(matrix.size() * 2)));
            // Stored little-endian; read as it lies on such a host, swapped on others.
            const std::uint16_t probe = 1;
            if (sound && *reinterpret_cast<const unsigned char*>(&probe) != 1)
                for (std::uint16_t& h : matrix) h = static_cast<std::uint16_t>((h >> 8) | (h << 8));
        }
    }
    return sound;
}

// The passages of `record` whose stored embeddings are closest to the query's,
// one per numbered page, best first; the windows are those candidates() gives
// with no limit, and among equal scores they come in its order. None when the
// record has no usable embeddings for `key`: the caller then encodes.
py::object nearest(py::object modeldir, py::object id, py::object record, py::object key,
                   py::object query, py::dict weights, std::size_t count, std::size_t words) {
    std::vector<std::uint16_t> matrix;
    std::size_t rows = 0, dim = 0;
    if (!stored_vectors(modeldir, id, record, key, words, matrix, rows, dim)) return py::none();
    const std::vector<float> q = as_floats(query);
    if (q.size() != dim) return py::none();
    const ps::Terms terms = terms_from(weights);
    Source s(record, terms, true);
    std::vector<std::size_t> order;
    std::vector<ps::Window> windows;
    {
        py::gil_scoped_release unlocked;  // plain data until the rendering
        if (ps::tile_count(s.pages, words) == rows) {
            windows = ps::tiled_windows(s.pages, terms, words, rows);
            const std::vector<std::size_t> at = ps::tile_rows(s.pages, windows, words);
            if (at.size() == windows.size()) order = ps::rank_rows(at, matrix, dim, q);
        }
    }
    // Pages changed since (or a damaged file): not these vectors.
    if (order.size() != rows) return py::none();
    py::list out;
    std::vector<bool> page_taken(s.pages.size(), false);
    for (std::size_t i : order) {
        if (out.size() >= count) break;
        const ps::Window& w = windows[i];
        const bool numbered = !s.numbers[w.page].is_none();
        if (numbered && page_taken[w.page]) continue;
        page_taken[w.page] = true;
        out.append(shown(s, w));
    }
    return out;
}

// ---- the corrected query in words ---------------------------------------------

// The shortest word of the kept pages that the engine filed as `term`
// (the one nearest the stem: "volcano" rather than "Volcanoes"), in lower
// case, or nothing.
bool surface_of(const std::u32string& term, py::handle records, std::u32string& out) {
    const ps::Terms one({term}, {1.0});
    bool found = false;
    for (py::handle record : records) {
        if (record.is_none()) continue;
        for (py::handle page : record["pages"]) {
            const std::vector<std::size_t> match = ps::match_line(wr::to_u32(page["terms"]), one);
            if (std::find(match.begin(), match.end(), std::size_t{0}) == match.end()) continue;
            const std::u32string text = wr::to_u32(page["text"]);
            const std::vector<ps::Word> words = ps::words_of(text, wr::host_char_classes());
            if (words.size() != match.size()) continue;
            for (std::size_t i = 0; i < words.size(); ++i) {
                const std::size_t length = words[i].word_end - words[i].word_begin;
                if (match[i] != 0 || (found && length >= out.size())) continue;
                out = text.substr(words[i].word_begin, length);
                found = true;
            }
        }
    }
    if (found) out = wr::to_u32(wr::from_u32(out).attr("lower")());
    return found;
}

// The query with each word whose term the engine corrected replaced by a
// word of the documents filed under the corrected term (the term itself
// when none is kept): what a reader can take in as "did you mean". None when
// the correction changed nothing.
py::object respell(py::object query, py::object language, py::object corrected, py::list records) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    const std::u32string text = wr::to_u32(query);
    const std::vector<ps::Word> words = ps::words_of(text, cc);
    const std::u32string keys = terms_of({text}, language).front();
    const std::vector<std::u32string> fixed = wr::text::find_words(wr::to_u32(corrected), cc);

    // The query's terms in order, each with its word.
    std::vector<std::pair<std::u32string, std::size_t>> stems;
    std::size_t start = 0, word = 0;
    while (!keys.empty()) {
        const std::size_t end = keys.find(U' ', start);
        std::u32string key = keys.substr(start, end == std::u32string::npos ? end : end - start);
        if (key != U"-") stems.emplace_back(std::move(key), word);
        ++word;
        if (end == std::u32string::npos) break;
        start = end + 1;
    }
    bool changed = stems.size() != fixed.size();
    for (std::size_t i = 0; !changed && i < stems.size(); ++i) changed = stems[i].first != fixed[i];
    if (!changed) return py::none();
    // Terms that do not line up with the query's words (a query the two
    // tokenisers split apart differently): the engine's own words.
    if (stems.size() != fixed.size() || words.size() != word) return corrected;

    std::u32string out;
    std::size_t at = 0;
    for (std::size_t i = 0; i < stems.size(); ++i) {
        if (stems[i].first == fixed[i]) continue;
        const ps::Word& w = words[stems[i].second];
        std::u32string shown;
        if (!surface_of(fixed[i], records, shown)) shown = fixed[i];
        out.append(text, at, w.word_begin - at);
        out += shown;
        at = w.word_end;
    }
    out.append(text, at, std::u32string::npos);
    return wr::from_u32(out);
}

}  // namespace

PYBIND11_MODULE(Pagekeep, m) {
    wr::this_module() = m;
    m.def("path", &path, py::arg("modeldir"), py::arg("id"),
          "Where the pages of the document `id` are kept.");
    m.def("keep", &keep, py::arg("modeldir"), py::arg("doc"), py::arg("model") = py::none(),
          py::arg("key") = py::none(), py::arg("durable") = true,
          "Write (atomically) the pages of a filed document and their terms, and with a "
          "sentence-embedding `model` (filed under `key`) the embeddings of their windows; "
          "the path, or None for a document without text. `durable` False leaves the flush "
          "to disk to one sync() after many documents.");
    m.attr("_keep") = m.attr("keep");  // as defined: Process files a batch at once only while keep is this
    m.def("keep_batch", &keep_batch, py::arg("modeldir"), py::arg("docs"), py::arg("durable") = true,
          "keep(modeldir, doc, durable=durable) for each document, without window embeddings, "
          "on two threads; per document None (kept, or nothing to keep) or the exception keep() "
          "would have raised.");
    m.def(
        "sync",
        [](py::object modeldir) {
            py::str dir = pages_dir(modeldir);
            if (wr::truthy(wr::import_attr("os.path", "isdir")(dir))) wr::sync_file_system(wr::host_path(dir));
        },
        py::arg("modeldir"), "Flush the pages kept with durable=False to disk.");
    m.def("forget", &forget, py::arg("modeldir"), py::arg("id"),
          "Remove the kept pages of `id` and their embeddings; whether there were pages.");
    m.def("nearest", &nearest, py::arg("modeldir"), py::arg("id"), py::arg("record"),
          py::arg("key"), py::arg("query"), py::arg("weights"), py::arg("count") = 3,
          py::arg("words") = 40,
          "Up to `count` passages (one per page) whose kept embeddings under `key` are "
          "closest to the `query` embedding, best first; None when none are kept.");
    m.def("read", &read_record, py::arg("modeldir"), py::arg("id"),
          "The kept record of `id`, or None.");
    m.def("respell", &respell, py::arg("query"), py::arg("language"), py::arg("corrected"),
          py::arg("records"),
          "The query with the words the engine corrected written as the kept pages "
          "write them (records from read()), or None when nothing was corrected.");
    m.def("terms", &terms, py::arg("text"), py::arg("language") = py::none(),
          "The engine's term of each word of `text`, blank-separated, '-' for a dropped word.");
    m.def("find", &find, py::arg("record"), py::arg("weights"), py::arg("count") = 3,
          py::arg("words") = 40,
          "Up to `count` passages of `words` words, one per page, best first, that hold "
          "the weighted terms; the opening words when none does.");
    m.def("candidates", &candidates, py::arg("record"), py::arg("weights"), py::arg("limit") = 16,
          py::arg("words") = 40,
          "Consecutive passages of `words` words, those holding the most terms first.");
}
