// The ranked search, which a host chooses with the module's RANKING = "bm25"
// (the command line and the search page do): BM25 over the engine's stems
// (the BM25 core is src/common/bm25.*), where
//   - words joined by dashes and slashes count as their parts too
//     ("large-deflection" is found by "large deflection", and the joined
//     "email" still finds "e-mail"), on both sides;
//   - each document meets the query as its own language stems it, so a
//     query whose language cannot be told is still answered in every
//     language the index holds;
//   - correction only rewrites a word that is neither in the index nor a
//     real word of the languages concerned ("trust" stays "trust").
// Everything is derived from what the engine stores (its cleaned texts, and
// the split words kept beside them, splitstore.cpp) when a model is first
// searched, and kept for as long as that model: nothing here is stored.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bm25.hpp"
#include "closematch.hpp"
#include "finderytd.hpp"
#include "hugepages.hpp"
#include "hoststem.hpp"
#include "hosttext.hpp"
#include "lexicon.hpp"
#include "nearterms.hpp"
#include "polyhash.hpp"
#include "pyutil.hpp"
#include "termids.hpp"

namespace finderytd {

namespace bm25 = wr::bm25;

namespace {

// Keeps a value the compiler would otherwise drop, and so the loads made for
// it. A page's hits are read in a short loop of plain loads, all in flight at
// once, before any is described: with prefetch hints instead, the describing
// still waited on nearly every read (in an index of 100,000 documents each
// hit's slot is a page walk away too).
inline void sink(std::uintptr_t value) { asm volatile("" : : "r"(value)); }

// Term frequency saturates later than the usual k1 = 1.2 (abstracts and
// short documents repeat the words they are about) and length counts a
// little more than b = 0.75: chosen on Cranfield, where k1 from 1.8 to 3
// and b from 0.8 to 0.85 all rank alike (nDCG@10 0.38).
constexpr bm25::Params kParams{2.0, 0.8};

// The joined form of words written with a dash or slash counts half,
// beside its parts, which count whole.
constexpr double kJoinedWeight = 0.5;

// Correction in the ranked search reaches a little further than the
// default 0.9 ("vicksberg" is 0.89 from "vicksburg"): only words that are
// neither indexed nor real words are corrected at all.
constexpr double kCutoff = 0.8;
// Candidates looked at per word when telling whether it is an inflection of
// a listed word: those at most this many letters longer than its stem (the
// longest Snowball suffixes, "amientos", "izations"), and this many at most.
constexpr std::size_t kSuffixLetters = 9;
constexpr std::size_t kStemCandidates = 500;

}  // namespace

// ---- the index derived from a model ------------------------------------------

// The listed words (of one language's lists) whose terms an index holds,
// with those terms' ids, filed by the hash of each word and of each word
// less one letter: a word one edit from a misspelling shares one of those
// with the misspelling or with one of its own one-letter-less forms (a
// letter left out, put in, changed, or two swapped), so a misspelling is
// looked up some ten times instead of trying four hundred edits and
// stemming the listed ones it finds.
struct HeldWords {
    std::shared_ptr<const wr::Lexicon> lexicon;  // what it was made from
    std::vector<std::u32string_view> words;  // into the lexicon's block
    // Each word's (term id, documents holding the term): the index's own,
    // for good.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> terms;
    // (high half of a hash, entry + 1) by the hash's low bits, open
    // addressing; a hash has as many places as entries share it.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> slots;

    // f(entry) for each entry filed under hash `h` (their words may still
    // differ: the caller compares).
    template <class F>
    void each_under(std::uint64_t h, F f) const {
        const std::size_t mask = slots.size() - 1;
        const auto high = static_cast<std::uint32_t>(h >> 32);
        for (std::size_t at = static_cast<std::size_t>(h) & mask; slots[at].second; at = (at + 1) & mask)
            if (slots[at].first == high) f(slots[at].second - 1);
    }
};

// Every listed word's term (of one language's lists, as term_of() gives
// it), whatever index it is looked for in: stemming them all is most of
// what filing costs (0.1 s for English, half a second for the Portuguese
// lists), so it is done once a process, and an index made anew only looks
// the terms up.
// A term shares its start with its word: each keeps the word's first
// `kept` letters and the rest of it is in `tails`.
struct ListedTerms {
    static constexpr std::uint8_t kNone = 0xFF;  // no term, or a word too short to matter
    std::shared_ptr<const wr::Lexicon> lexicon;  // what it was made from
    std::vector<std::uint8_t> kept;              // per word of the lexicon
    std::vector<std::uint32_t> tail_at;          // words + 1 offsets into `tails`
    std::u32string tails;
};

struct Ranked {
    std::unique_ptr<bm25::Index> index;
    wr::TermIds ids;  // over `terms`
    std::vector<std::u32string> terms;
    std::vector<std::string> codes;  // per group: the language code, "" for none
    std::vector<std::size_t> sizes;  // documents per group
    // Built on the first correction (under the interpreter's lock): the
    // terms one edit from a word, looked at first, and the whole vocabulary.
    std::shared_ptr<const wr::NearTerms> near;
    std::shared_ptr<const wr::CloseMatcher> matcher;
    // Per language, the listed words whose terms the index holds, filed
    // for finding those one edit from a misspelling, and how many
    // misspellings the language has met; made at the kPrepareAfter-th.
    struct Prepared {
        std::shared_ptr<const HeldWords> held;
        std::uint32_t met = 0;
    };
    std::map<std::string, Prepared> held_words;
    // What correction made of a term before, per query language: a server
    // meets the same misspellings again.
    std::unordered_map<std::u32string, std::optional<std::uint32_t>> corrections;

    std::uint32_t id_of(const std::u32string& term) {
        if (std::optional<std::uint32_t> at = ids.find(term, terms)) return *at;
        terms.push_back(term);
        const auto id = static_cast<std::uint32_t>(terms.size() - 1);
        ids.add(id, terms);
        return id;
    }
    std::optional<std::uint32_t> find(std::u32string_view term) const { return ids.find(term, terms); }
    // The language most documents are in; "" when none has one.
    std::string main_code() const {
        std::string best;
        std::size_t most = 0;
        for (std::size_t g = 0; g < codes.size(); ++g)
            if (!codes[g].empty() && sizes[g] > most) most = sizes[g], best = codes[g];
        return best;
    }
};

namespace {

// The vectoriser's tokens of a text: lower-cased, runs of two word
// characters or more.
// Each token counts once: the index sums a document's repeated terms.
void add_tokens(Ranked& r, py::handle text, std::vector<bm25::TermCount>& tokens) {
    if (!PyUnicode_Check(text.ptr())) return;
    const std::u32string lower = wr::to_u32(py::str(text).attr("lower")());
    const wr::text::CharClasses& cc = wr::host_char_classes();
    thread_local std::u32string word;  // reused: no allocation per word
    wr::text::for_each_word(lower, cc, 2, [&](std::size_t at, std::size_t length) {
        word.assign(lower, at, length);
        tokens.push_back({r.id_of(word), 1});
    });
}

// Each document's language object as the engine held it when the index was
// derived (a hit's language, without a look-up in a dictionary of every
// document): a slot in `objects` per document, the few distinct objects
// once each. Read and released with the interpreter's lock held.
struct DocLanguages {
    static constexpr std::uint16_t kLive = 0xFFFF;  // not kept: looked up at the hit
    std::vector<std::uint16_t> slot;
    py::list objects;
};

std::shared_ptr<Ranked> build(py::handle engine, DocLanguages& described) {
    auto r = std::make_shared<Ranked>();
    std::unordered_map<PyObject*, std::uint16_t> slots;  // the objects are held by `described`
    py::object names = engine.attr("document_names");
    py::object cleaned = engine.attr("cleaned_text");
    py::object languages = engine.attr("detected_languages");
    py::dict split = split_terms(engine);
    // Texts counted already are not tokenised again (a document's score
    // depends on its terms' counts, not on the order of its words).
    std::shared_ptr<const KeptCounts> kept = kept_counts(engine);
    std::vector<std::uint32_t> ranked_id(kept->counts.terms(), UINT32_MAX);
    std::vector<bm25::TermCount> tokens;
    tokens.reserve(kept->counts.entries());  // most texts are counted: no copies as it grows
    std::vector<std::size_t> starts{0};
    std::vector<std::uint8_t> groups;
    for (py::handle name : names) {
        py::object text = cleaned[name];
        if (std::optional<std::size_t> row = kept->row(text)) {
            const wr::counts::TermCounts& counts = kept->counts;
            for (const wr::counts::Entry* e = counts.row_begin(*row); e != counts.row_end(*row); ++e) {
                std::uint32_t& id = ranked_id[e->term];
                if (id == UINT32_MAX) id = r->id_of(counts.term(e->term));
                tokens.push_back({id, e->count});
            }
        } else {
            add_tokens(*r, text, tokens);
        }
        py::object language = languages.attr("get")(name);
        std::uint16_t slot = DocLanguages::kLive;
        if (!language.is_none()) {
            auto [at, fresh] = slots.try_emplace(language.ptr(), DocLanguages::kLive);
            if (fresh && py::len(described.objects) < DocLanguages::kLive) {
                at->second = static_cast<std::uint16_t>(py::len(described.objects));
                described.objects.append(language);
            }
            slot = at->second;
        }
        described.slot.push_back(slot);
        std::string code = stemming_code(language);
        py::object entry = split.attr("get")(name);
        if (PyTuple_Check(entry.ptr()) && py::len(entry) == 3 && PyUnicode_Check(text.ptr()) &&
            py::object(entry[py::int_(0)]).equal(py::int_(bm25::fingerprint(wr::to_u32(text))))) {
            py::object stemmed = entry[py::int_(1)];
            code = stemmed.is_none() ? std::string() : py::str(stemmed).cast<std::string>();
            add_tokens(*r, entry[py::int_(2)], tokens);
        }
        auto at = std::find(r->codes.begin(), r->codes.end(), code);
        if (at == r->codes.end()) {
            if (r->codes.size() == bm25::kMaxGroups)
                wr::raise(PyExc_ValueError, {"the index holds documents in more than ",
                                             bm25::kMaxGroups, " languages"});
            r->codes.push_back(code);
            r->sizes.push_back(0);
            at = r->codes.end() - 1;
        }
        const auto g = static_cast<std::size_t>(at - r->codes.begin());
        ++r->sizes[g];
        groups.push_back(static_cast<std::uint8_t>(g));
        starts.push_back(tokens.size());
    }
    py::gil_scoped_release unlocked;
    // Term ids in the order of the terms, so that the index (and the order
    // in which a query's scores add up) depends on the documents alone, not
    // on the order their words were first met: an index changed in steps is
    // the one built in one go.
    const std::size_t terms = r->terms.size();
    std::vector<std::uint32_t> order(terms);
    for (std::uint32_t t = 0; t < terms; ++t) order[t] = t;
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return r->terms[a] < r->terms[b]; });
    std::vector<std::uint32_t> renumbered(terms);
    std::vector<std::u32string> sorted(terms);
    for (std::uint32_t i = 0; i < terms; ++i) {
        renumbered[order[i]] = i;
        sorted[i] = std::move(r->terms[order[i]]);
    }
    for (bm25::TermCount& t : tokens) t.term = renumbered[t.term];
    r->terms = std::move(sorted);
    r->ids.assign(r->terms);
    r->index = std::make_unique<bm25::Index>(terms, tokens, starts, groups, kParams);
    return r;
}

// Kept per model, as search.cpp keeps its scoring index: by the matrix's
// identity (every change of the index fits a new one), and the objects the
// index was derived from.
struct Entry {
    PyObject* matrix = nullptr;
    py::object matrix_ref;
    py::object names, cleaned, languages, split;
    std::shared_ptr<Ranked> ranked;
    std::shared_ptr<const DocLanguages> described;
};

// As many as there are live models: a host may search any number of engines
// in turn (an index split into shards, one per folder), and with fewer kept
// than that every search would derive its engine's index again (a fifth of
// a second at 20,000 documents). An entry goes with its matrix, and each
// engine holds its model, larger than this index, in memory anyway.
std::vector<Entry>& entries() {
    static auto* all = new std::vector<Entry>();  // leaked: holds host objects
    return *all;
}

void forget_matrix(py::handle ref) {
    auto& all = entries();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].matrix_ref.is(ref)) {
            Entry gone = std::move(all[i]);  // released after the erase
            all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

std::pair<std::shared_ptr<Ranked>, std::shared_ptr<const DocLanguages>> ranked_entry(py::handle engine) {
    py::object matrix = engine.attr(wr::name("tfidf_matrix"));
    py::object names = engine.attr(wr::name("document_names")), cleaned = engine.attr(wr::name("cleaned_text")),
               languages = engine.attr(wr::name("detected_languages"));
    py::object split = split_terms(engine);
    // Made from these very objects: a refit or a reload replaces one of them.
    auto same = [&](const Entry& e) {
        return e.names.is(names) && e.cleaned.is(cleaned) && e.languages.is(languages) && e.split.is(split);
    };
    auto& all = entries();
    for (std::size_t i = 0; i < all.size(); ++i) {
        Entry& e = all[i];
        if (e.matrix != matrix.ptr()) continue;
        if (same(e)) {
            std::rotate(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(i),
                        all.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            return {all.front().ranked, all.front().described};
        }
        Entry stale = std::move(e);
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    }
    auto described = std::make_shared<DocLanguages>();
    std::shared_ptr<Ranked> ranked = build(engine, *described);
    Entry entry;
    entry.matrix = matrix.ptr();
    py::cpp_function forget(&forget_matrix);
    PyObject* ref = PyWeakref_NewRef(matrix.ptr(), forget.ptr());
    if (!ref) {
        py::error_already_set err;
        if (!err.matches(PyExc_TypeError)) throw err;
        return {ranked, described};  // not kept: derived again next time
    }
    entry.matrix_ref = py::reinterpret_steal<py::object>(ref);
    entry.names = names;
    entry.cleaned = cleaned;
    entry.languages = languages;
    entry.split = split;
    entry.ranked = ranked;
    entry.described = described;
    // Building let other threads in: one may have kept the same index.
    for (const Entry& e : entries())
        if (e.matrix == matrix.ptr() && same(e)) return {e.ranked, e.described};
    entries().insert(entries().begin(), std::move(entry));
    return {ranked, described};
}

std::shared_ptr<Ranked> ranked_of(py::handle engine) { return ranked_entry(engine).first; }

// ---- real words ------------------------------------------------------------------
//
// A word of the query that the index does not hold is corrected only when
// it is no word of the languages concerned: the module's WORD_LISTS names,
// per language code, plain word lists (one word a line; Debian's wamerican,
// wspanish, wportuguese and wbrazilian by default). A list without
// inflections (Spanish) is still enough: a word whose stem is the stem of a
// listed word is a word too ("lavan" of "lavar").

using wr::Lexicon;

// Debian's Spanish list holds no verb forms ("lavan", "comieron"); the
// English and Portuguese ones hold every inflection, so there a word that
// only shares its stem with a listed one ("invoce" with "invocation") is
// a misspelling.
bool lists_lack_inflections(const std::string& code) { return code == "es"; }

struct WordList {
    py::object paths;                  // what WORD_LISTS named when it was read
    py::object key;                    // the code, as a host string
    py::object named;                  // the object WORD_LISTS held for it when last asked
    // Shared, so a reader keeps its copy while stemming lets another
    // thread read the lists anew.
    std::shared_ptr<const Lexicon> lexicon;
    std::unordered_map<std::u32string, bool> answers;  // words asked about before
};

constexpr std::size_t kRememberedAnswers = 1 << 16;

std::unordered_map<std::string, WordList>& word_lists() {
    static auto* all = new std::unordered_map<std::string, WordList>();  // leaked: host objects
    return *all;
}

WordList& read_word_list(const std::string& code);

// read_word_list(), once a language within a TermScope (the reading of one
// query): a misspelt word asks for its lists three times or more. An entry
// of word_lists() is never removed, only replaced in place; a change of
// WORD_LISTS is seen by the next query.
WordList& word_list(const std::string& code) {
    thread_local ScopedLookups<WordList> seen;
    return seen.get(code, read_word_list);
}

// A tuple of strings: the same object always names the same lists.
bool fixed_paths(PyObject* named) {
    if (!named || !PyTuple_CheckExact(named)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(named); ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(named, i))) return false;
    return true;
}

WordList& read_word_list(const std::string& code) {
    py::object lists = wr::this_module().attr(wr::name("WORD_LISTS"));
    auto& all = word_lists();
    auto found = all.find(code);
    // Asked once a query: the object WORD_LISTS holds for the code, if it
    // is the very tuple of last time, names what was read then.
    if (found != all.end() && PyDict_CheckExact(lists.ptr())) {
        PyObject* named = PyDict_GetItemWithError(lists.ptr(), found->second.key.ptr());
        if (!named && PyErr_Occurred()) throw py::error_already_set();
        if (named && named == found->second.named.ptr() && fixed_paths(named)) return found->second;
    }
    const py::str key(code);
    py::object named, paths = py::none();
    if (lists.contains(key)) {
        named = lists[key];
        paths = py::tuple(py::iterable(named));
    }
    found = all.find(code);
    if (found != all.end() && found->second.paths.equal(paths)) {
        found->second.named = named;
        return found->second;
    }

    WordList made;
    made.paths = paths;
    made.key = key;
    made.named = named;
    std::u32string words;  // the lists' words end to end
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    if (!paths.is_none()) {
        const wr::text::CharClasses& cc = wr::host_char_classes();
        // A word is a run between spaces, lower-cased by the host,
        // decomposed, its combining marks and other characters that are not
        // word characters left out.
        auto add_span = [&](std::size_t start) {
            if (words.size() == start) return;
            if (words.size() > std::numeric_limits<std::uint32_t>::max())
                throw std::length_error("word lists of more than 4 G characters");
            spans.emplace_back(static_cast<std::uint32_t>(start),
                               static_cast<std::uint32_t>(words.size() - start));
        };
        py::object isfile = wr::import_attr("os.path", "isfile");
        py::object normalize = wr::import_attr("unicodedata", "normalize");
        for (py::handle path : paths) {
            if (!wr::truthy(isfile(path))) continue;
            py::object read = wr::import("pathlib").attr("Path")(path).attr("read_text")(
                py::arg("encoding") = "utf-8", py::arg("errors") = "replace");
            if (!PyUnicode_Check(read.ptr())) throw py::type_error("a word list read as no str");
            const int kind = PyUnicode_KIND(read.ptr());
            const void* data = PyUnicode_DATA(read.ptr());
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(read.ptr()));
            auto at_ = [&](std::size_t i) { return static_cast<char32_t>(PyUnicode_READ(kind, data, i)); };
            // Runs of ASCII are lower-cased here, as the host would (and
            // have nothing to decompose); the others, most lines of no
            // list, go through the host's lower() and decomposition
            // together, one a line (a space ends a run's context for both).
            std::u32string other;
            for (std::size_t at = 0; at < length;) {
                std::size_t end = at;
                bool plain = true;
                for (char32_t c; end < length && !cc.is_space(c = at_(end)); ++end) plain = plain && c < 0x80;
                if (plain) {
                    const std::size_t start = words.size();
                    for (std::size_t i = at; i < end; ++i) {
                        const char32_t c = at_(i);
                        if (cc.is_word(c)) words.push_back(c >= U'A' && c <= U'Z' ? c + 32 : c);
                    }
                    add_span(start);
                } else {
                    for (std::size_t i = at; i < end; ++i) other.push_back(at_(i));
                    other.push_back(U'\n');
                }
                for (at = end; at < length && cc.is_space(at_(at));) ++at;
            }
            read = py::none();
            const std::u32string lines = wr::nfd_u32(normalize, wr::from_u32(other).attr("lower")());
            for (std::size_t at = 0; at < lines.size();) {
                while (at < lines.size() && cc.is_space(lines[at])) ++at;
                const std::size_t start = words.size();
                for (; at < lines.size() && !cc.is_space(lines[at]); ++at)
                    if (cc.is_word(lines[at]) && cc.combining(lines[at]) == 0) words.push_back(lines[at]);
                add_span(start);
            }
        }
    }
    made.lexicon = std::make_shared<const Lexicon>(words, spans, lists_lack_inflections(code));
    return all.insert_or_assign(code, std::move(made)).first->second;
}

bool inflection_of_listed(const std::vector<std::u32string_view>& words, const std::u32string& word,
                          const std::string& code) {
    // An inflection: some listed word with the same stem. Snowball stems
    // are prefixes of their words but for a changed last letter ("happi"),
    // so the candidates are the words that begin like the stem.
    const std::u32string stem = term_of(word, code);
    if (stem.empty()) return true;  // a stopword
    const std::u32string prefix = stem.size() > 4 ? stem.substr(0, stem.size() - 1) : stem;
    std::vector<std::u32string> candidates;
    for (auto it = std::lower_bound(words.begin(), words.end(), prefix);
         it != words.end() && it->compare(0, prefix.size(), prefix) == 0 &&
         candidates.size() < kStemCandidates;
         ++it)
        if (it->size() <= stem.size() + kSuffixLetters)
            candidates.emplace_back(*it);  // copied: stemming may let another thread in
    for (const std::u32string& c : candidates)
        if (stem_word(c, code) == stem) return true;
    return false;
}

bool is_listed_word(const std::u32string& word, const std::string& code) {
    {
        WordList& list = word_list(code);
        if (list.lexicon->empty()) return false;
        if (list.lexicon->contains(word)) return true;
        // A list of every inflection has the answer already: nothing to
        // remember.
        if (!lists_lack_inflections(code)) return false;
        auto known = list.answers.find(word);
        if (known != list.answers.end()) return known->second;
    }
    // The list is looked up again after stemming, which may let another
    // thread in (and it may read the list anew).
    const std::shared_ptr<const Lexicon> lexicon = word_list(code).lexicon;
    const bool listed = inflection_of_listed(lexicon->sorted(), word, code);
    WordList& list = word_list(code);
    if (list.answers.size() >= kRememberedAnswers) list.answers.clear();
    list.answers.emplace(word, listed);
    return listed;
}

// The listed words one edit (a letter left out, added, changed, or two
// swapped) from `word`, a folded lower-case word: what a misspelling of a
// real word nearly always is. The lists are folded, so letters are a-z.
std::vector<std::u32string> listed_neighbours(const std::u32string& word, const std::string& code) {
    const std::shared_ptr<const Lexicon> lexicon = word_list(code).lexicon;
    return lexicon->neighbours(word);
}

// Whether `listed` is what listed_neighbours() would find for `word`: one
// letter left out, two adjacent swapped, or a letter of a-z put in or in
// place of one.
bool one_edit_from(std::u32string_view word, std::u32string_view listed) {
    auto plain = [](char32_t c) { return c >= U'a' && c <= U'z'; };
    const std::size_t n = word.size(), m = listed.size();
    std::size_t i = 0;
    while (i < std::min(n, m) && word[i] == listed[i]) ++i;
    if (m + 1 == n) return listed.substr(i) == word.substr(i + 1);
    if (m == n + 1) return plain(listed[i]) && listed.substr(i + 1) == word.substr(i);
    if (m != n || i == n) return false;
    if (plain(listed[i]) && listed.substr(i + 1) == word.substr(i + 1)) return true;
    return i + 1 < n && listed[i] == word[i + 1] && listed[i + 1] == word[i] &&
           listed.substr(i + 2) == word.substr(i + 2);
}

// Shorter words have too many neighbours for one edit to tell which was meant.
constexpr std::size_t kNeighbourFrom = 5;

// Filing an index's listed words for correction stems every listed word
// the first time in a process (0.1 s for English), and costs a few
// hundredths of a second for each index after: a server that has met this
// many misspellings in a language pays it; a search from the command line
// never does.
constexpr std::uint32_t kPrepareAfter = 64;

std::shared_ptr<const ListedTerms> listed_terms(const std::shared_ptr<const Lexicon>& lexicon,
                                                const std::string& code) {
    static auto* made = new std::map<std::string, std::shared_ptr<const ListedTerms>>();  // leaked
    auto found = made->find(code);
    if (found != made->end() && found->second->lexicon == lexicon) return found->second;
    auto out = std::make_shared<ListedTerms>();
    out->lexicon = lexicon;
    const std::vector<std::u32string_view>& words = lexicon->words();
    out->kept.assign(words.size(), ListedTerms::kNone);
    out->tail_at.assign(words.size() + 1, 0);
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::u32string_view w = words[k];
        out->tail_at[k] = static_cast<std::uint32_t>(out->tails.size());
        // No shorter word is one edit from a word long enough to correct.
        if (w.size() + 1 < kNeighbourFrom) continue;
        const std::u32string term = term_of(std::u32string(w), code, false);
        if (term.empty()) continue;  // a stopword
        std::size_t keep = 0;
        while (keep < std::min({term.size(), w.size(), std::size_t{ListedTerms::kNone - 1}}) &&
               term[keep] == w[keep])
            ++keep;
        if (out->tails.size() + term.size() - keep > UINT32_MAX) break;  // lists of 4 G letters: the rest unfiled
        out->kept[k] = static_cast<std::uint8_t>(keep);
        out->tails.append(term, keep, std::u32string::npos);
    }
    out->tail_at[words.size()] = static_cast<std::uint32_t>(out->tails.size());
    // Stemming may have let another thread in: the map is looked up again.
    (*made)[code] = out;
    return out;
}

bool has_digit(const std::u32string& word) {
    return std::any_of(word.begin(), word.end(), [](char32_t c) { return c >= U'0' && c <= U'9'; });
}

// ---- the query -------------------------------------------------------------------

// What one query word became in one language: the term searched, and
// whether correction chose it.
struct Resolved {
    std::optional<std::uint32_t> id;
    std::u32string shown;  // the term (corrected or not); "" for a stopword
};

constexpr std::size_t kRememberedCorrections = 1 << 16;

class QueryReader {
public:
    QueryReader(Ranked& r, std::vector<std::string> real_word_codes, double cutoff)
        : r_(r), codes_(std::move(real_word_codes)), cutoff_(cutoff) {
        // Corrections depend on the languages whose words are real (the
        // first is the query's) and the cutoff: remembered for the usual one.
        for (const std::string& c : codes_) key_ += std::u32string(c.begin(), c.end()) + U"|";
        remember_ = cutoff == kCutoff;
    }

    // `correct` false: a term the index lacks is left unmatched (the joined
    // form of words whose parts are searched too).
    Resolved resolve(const std::u32string& word, const std::string& code, bool correct = true) {
        // A query meets its words once per language of the index and once
        // more for the query as searched.
        for (const Asked& a : asked_)
            if (a.correct == correct && a.code == code && a.word == word) return a.answer;
        Resolved out = resolve_anew(word, code, correct);
        asked_.push_back({word, code, correct, out});
        return out;
    }

private:
    struct Asked {
        std::u32string word;
        std::string code;
        bool correct;
        Resolved answer;
    };

    Resolved resolve_anew(const std::u32string& word, const std::string& code, bool correct) {
        Resolved out;
        // The word as the lists hold words, lower-cased once for every use
        // (through the host below for a word that is not ASCII, only if a
        // list is asked about it).
        const bool ascii = std::all_of(word.begin(), word.end(), [](char32_t c) { return c < 0x80; });
        std::u32string lower;
        if (ascii) {
            wr::host_lowering(word).lower(word, lower);
            if (const std::optional<std::uint32_t> id = held_listed(lower, code)) {
                out.id = id;
                out.shown = r_.terms[*id];
                return out;
            }
        }
        out.shown = term_of(word, code);
        if (out.shown.empty()) return out;
        if ((out.id = r_.find(out.shown)) || !correct) return out;
        const std::u32string key = key_ + out.shown;
        auto known = r_.corrections.find(key);
        if (remember_ && known != r_.corrections.end()) {
            if (known->second) out.id = known->second, out.shown = r_.terms[*known->second];
            return out;
        }
        std::optional<std::uint32_t> fixed;
        if (!ascii) lower = wr::to_u32(wr::from_u32(word).attr("lower")());
        const bool misspelt = !has_digit(out.shown) && !is_real(lower);
        if (misspelt) fixed = listed_neighbour_held(word, lower, code);
        if (misspelt && !fixed) {
            if (!r_.near) r_.near = std::make_shared<const wr::NearTerms>(r_.terms);
            if (!r_.matcher) r_.matcher = std::make_shared<const wr::CloseMatcher>(r_.terms);
            const std::shared_ptr<const wr::NearTerms> near = r_.near;
            const std::shared_ptr<const wr::CloseMatcher> matcher = r_.matcher;
            std::optional<std::u32string> best;
            {
                py::gil_scoped_release unlocked;
                // A misspelling is nearly always one edit from the word
                // meant: those terms first, the whole vocabulary only when
                // none is close enough.
                // (The matcher was made from the terms in their order, so
                // a term's id is its place there.)
                const std::vector<std::uint32_t> near_terms = near->candidates(out.shown);
                if (!near_terms.empty()) best = matcher->best_among(out.shown, cutoff_, near_terms);
                if (!best) best = matcher->best_beyond_one_edit(out.shown, cutoff_);
            }
            if (best) fixed = r_.find(*best);
        }
        if (remember_) {
            // Room made once for all: growing the table rehashed it,
            // misspelling after misspelling.
            if (r_.corrections.empty()) r_.corrections.reserve(kRememberedCorrections);
            if (r_.corrections.size() >= kRememberedCorrections) r_.corrections.clear();
            r_.corrections.emplace(key, fixed);
        }
        if (fixed) out.id = fixed, out.shown = r_.terms[*fixed];
        return out;
    }

public:
    // The term of the real word one edit from `word` that the index holds,
    // in the most documents ("electricty": "electricity", whose stem the
    // index holds, though the two stems are far apart). `lower` is the
    // word lower-cased. `prepared`: whether the index's listed words are
    // filed for it (no: stem the neighbours found; yes: file them now if
    // they are not; unset: once the language has met kPrepareAfter
    // misspellings, when it stems in C++).
    std::optional<std::uint32_t> listed_neighbour_held(const std::u32string& word,
                                                       const std::u32string& lower,
                                                       const std::string& code,
                                                       std::optional<bool> prepared = std::nullopt) {
        if (code.empty() || word.size() < kNeighbourFrom) return std::nullopt;
        if (prepared.value_or(stems_natively(code))) {
            std::shared_ptr<const HeldWords> held = filed(code);
            Ranked::Prepared& kept = r_.held_words[code];
            if (held || prepared.has_value() || ++kept.met >= kPrepareAfter) {
                // Filing stems, which may let another thread in.
                if (!held) held = kept.held = prepare_held(word_list(code).lexicon, code);
                return held_neighbour(*held, lower);
            }
        }
        std::optional<std::uint32_t> best;
        std::uint32_t most = 0;
        for (const std::u32string& listed : listed_neighbours(lower, code)) {
            const std::u32string term = term_of(listed, code, false);
            if (term.empty()) continue;  // a stopword
            const std::optional<std::uint32_t> id = r_.find(term);
            if (!id) continue;
            const std::uint32_t held = r_.index->document_frequency(*id);
            if (held > most) most = held, best = id;
        }
        return best;
    }

private:
    // The index's listed words of `code` as filed for the lists as they
    // are now; none when they are not (nothing is filed here).
    std::shared_ptr<const HeldWords> filed(const std::string& code) {
        const auto kept = r_.held_words.find(code);
        if (kept == r_.held_words.end() || !kept->second.held) return nullptr;
        if (kept->second.held->lexicon != word_list(code).lexicon) return nullptr;
        return kept->second.held;
    }

    // The term of a listed word the index holds, from the listed words filed
    // for the index (once a language has met kPrepareAfter misspellings):
    // a real word's term is then looked up, not stemmed (stemming a new
    // word, cold, was most of reading it). `lower`: an ASCII word
    // lower-cased, whose term is the listed word's. Nothing when the words
    // are not filed.
    std::optional<std::uint32_t> held_listed(const std::u32string& lower, const std::string& code) {
        if (code.empty() || lower.size() + 1 < kNeighbourFrom) return std::nullopt;
        const std::shared_ptr<const HeldWords> held = filed(code);
        if (!held || !stems_natively(code)) return std::nullopt;
        thread_local wr::polyhash::Sums sums;
        sums.of(lower);
        std::optional<std::uint32_t> id;
        held->each_under(wr::polyhash::mix(sums.prefix.back()), [&](std::uint32_t e) {
            if (!id && held->words[e] == std::u32string_view(lower)) id = held->terms[e].first;
        });
        return id;
    }

    // listed_neighbour_held() from the index's prepared listed words: the
    // same answer (the neighbours in order, the first held in the most
    // documents), without stemming at query time. `held` is the index's
    // own, kept alive by it for the query.
    std::optional<std::uint32_t> held_neighbour(const HeldWords& held, const std::u32string& lower) const {
        thread_local wr::polyhash::Sums sums;
        sums.of(lower);
        // The word's hash and each of its one-letter-less forms', their
        // places asked for all at once (each is a cache miss of its own).
        thread_local std::vector<std::uint64_t> hashes;
        hashes.clear();
        hashes.push_back(wr::polyhash::mix(sums.prefix.back()));
        for (std::size_t i = 0; i < lower.size(); ++i) hashes.push_back(wr::polyhash::mix(sums.dropped(i)));
        const std::size_t mask = held.slots.size() - 1;
        for (std::uint64_t h : hashes) __builtin_prefetch(&held.slots[static_cast<std::size_t>(h) & mask]);
        thread_local std::vector<std::uint32_t> found;  // entries whose hashes agree
        found.clear();
        for (std::uint64_t h : hashes) held.each_under(h, [](std::uint32_t e) { found.push_back(e); });
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        // The answer: of the neighbours, the first in the lists' sorted order
        // (as listed_neighbours() gives them) among those held in the most
        // documents. So the entries are taken in that order, and only the
        // first that is one edit away (and those of as many documents
        // before it) have their letters read.
        std::sort(found.begin(), found.end(), [&](std::uint32_t a, std::uint32_t b) {
            const std::uint32_t in_a = held.terms[a].second, in_b = held.terms[b].second;
            if (in_a != in_b) return in_a > in_b;
            return held.words[a] != held.words[b] ? held.words[a] < held.words[b] : a < b;
        });
        for (std::uint32_t e : found)
            if (held.terms[e].second > 0 && one_edit_from(lower, held.words[e])) return held.terms[e].first;
        return std::nullopt;
    }

    std::shared_ptr<const HeldWords> prepare_held(const std::shared_ptr<const Lexicon>& lexicon,
                                                  const std::string& code) {
        const std::shared_ptr<const ListedTerms> listed = listed_terms(lexicon, code);
        auto made = std::make_shared<HeldWords>();
        made->lexicon = lexicon;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> keys;  // (hash, entry)
        std::u32string term;
        const std::vector<std::u32string_view>& words = lexicon->words();
        for (std::size_t k = 0; k < words.size(); ++k) {
            const std::u32string_view w = words[k];
            if (listed->kept[k] == ListedTerms::kNone) continue;
            term.assign(w.substr(0, listed->kept[k]));
            term.append(listed->tails, listed->tail_at[k], listed->tail_at[k + 1] - listed->tail_at[k]);
            const std::optional<std::uint32_t> id = r_.find(term);
            if (!id) continue;
            const auto entry = static_cast<std::uint32_t>(made->words.size());
            made->words.push_back(w);
            made->terms.emplace_back(*id, r_.index->document_frequency(*id));
            wr::polyhash::Sums sums;
            sums.of(w);
            keys.emplace_back(wr::polyhash::mix(sums.prefix.back()), entry);
            for (std::size_t i = 0; i < w.size(); ++i) keys.emplace_back(wr::polyhash::mix(sums.dropped(i)), entry);
        }
        // A word with a doubled letter has the same form less either.
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        std::size_t places = 16;
        while (places < keys.size() + keys.size() / 2) places *= 2;
        wr::reserve_on_large_pages(made->slots, places);
        made->slots.assign(places, {0, 0});
        for (const auto& [h, entry] : keys) {
            std::size_t at = static_cast<std::size_t>(h) & (places - 1);
            while (made->slots[at].second) at = (at + 1) & (places - 1);
            made->slots[at] = {static_cast<std::uint32_t>(h >> 32), entry + 1};
        }
        return made;
    }

    // `lower`: the query word lower-cased. A word of any of the languages
    // is real, so the lists already read are asked first, then those of the
    // index's languages (which its own words are corrected in), the
    // query's last: a command-line search need not read a list it can do
    // without (the Portuguese ones take a fifth of a second).
    bool is_real(const std::u32string& lower) {
        std::vector<const std::string*> order;
        for (const std::string& code : codes_)
            if (!code.empty() && word_lists().count(code)) order.push_back(&code);
        for (auto it = codes_.rbegin(); it != codes_.rend(); ++it)
            if (!it->empty() && !word_lists().count(*it)) order.push_back(&*it);
        for (const std::string* code : order)
            if (is_listed_word(lower, *code)) return true;
        return false;
    }

    Ranked& r_;
    std::vector<std::string> codes_;
    double cutoff_;
    std::u32string key_;
    bool remember_;
    std::vector<Asked> asked_;
};

struct Split {
    using clock = std::chrono::steady_clock;
    clock::time_point mark = clock::now();
    double seconds[5] = {};
    void lap(int part) {
        const clock::time_point now = clock::now();
        seconds[part] = std::chrono::duration<double>(now - mark).count();
        mark = now;
    }
};

// The language to correct in and to give the corrected query in: the one
// given, else the detected one; when detection cannot tell (a language the
// library does not support, another script), the language most of the
// index's documents are in.
std::string query_code(const Ranked& r, py::handle query, py::handle language) {
    if (wr::truthy(language)) {
        py::object member = PyUnicode_Check(language.ptr())
            ? wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(language)
            : py::reinterpret_borrow<py::object>(language);
        return stemming_code(member);
    }
    try {
        return stemming_code(wr::this_module().attr("Tonguecheck").attr("detect_lang")(query));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return r.main_code();
    }
}

std::int64_t host_index(py::handle value) {
    Py_ssize_t v = PyNumber_AsSsize_t(value.ptr(), nullptr);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(v);
}

}  // namespace

bool ranking_is_bm25() {
    py::object ranking = wr::this_module().attr(wr::name("RANKING"));
    if (PyUnicode_Check(ranking.ptr())) {
        // Asked at every search: compared with kept strings.
        if (ranking.equal(wr::name("bm25"))) return true;
        if (ranking.equal(wr::name("tfidf"))) return false;
    }
    wr::raise(PyExc_ValueError, {"FinderyTD.RANKING must be 'tfidf' or 'bm25', not ", py::repr(ranking)});
}

namespace {

double checked_cutoff(py::object cutoff) {
    const double bar = std::min(kCutoff, py::float_(cutoff).cast<double>());
    if (!(bar >= 0.0 && bar <= 1.0))
        wr::raise(PyExc_ValueError, {"cutoff must be in [0.0, 1.0]: ", py::repr(cutoff)});
    return bar;
}

// The search itself, over either source of the index; `describe` gives a
// hit's name and language.
// `warm`, when given, is handed the page's documents before any is
// described, to fetch what describing them reads.
using Warm = std::function<void(const std::vector<bm25::Hit>&)>;

py::object search_in(const std::shared_ptr<Ranked>& r, Split& split, double bar, py::object query,
                     py::object language, py::object page, py::object results_per_page,
                     const Describe& describe, const Warm& warm = nullptr) {
    const std::string primary = query_code(*r, query, language);

    const std::vector<bm25::Piece> pieces =
        bm25::pieces_of(folded(py::str(query)), wr::host_char_classes());
    split.lap(0);

    // Real words are those of the query's language and of every language
    // whose documents meet the query.
    std::vector<std::string> real_codes{primary};
    for (const std::string& c : r->codes)
        if (std::find(real_codes.begin(), real_codes.end(), c) == real_codes.end()) real_codes.push_back(c);
    const TermScope scope;
    QueryReader reader(*r, real_codes, bar);

    // Each group's terms. A term the query holds twice counts once: a query
    // that repeats a word still means the one thing.
    // (term, group, weight): a query has few, so in a plain list.
    std::vector<std::tuple<std::uint32_t, std::size_t, double>> weights;
    auto add = [&](const Resolved& x, std::size_t g, double w) {
        if (!x.id) return;
        for (auto& [term, group, weight] : weights)
            if (term == *x.id && group == g) {
                weight = std::max(weight, w);
                return;
            }
        weights.emplace_back(*x.id, g, std::max(0.0, w));
    };
    for (std::size_t g = 0; g < r->codes.size(); ++g) {
        for (const bm25::Piece& piece : pieces) {
            add(reader.resolve(piece.joined, r->codes[g], piece.parts.empty()), g,
                piece.parts.empty() ? 1.0 : kJoinedWeight);
            for (const std::u32string& part : piece.parts) add(reader.resolve(part, r->codes[g]), g, 1.0);
        }
    }
    // The query as searched, in its own language: one term per word.
    std::u32string corrected;
    for (const bm25::Piece& piece : pieces) {
        const Resolved x = reader.resolve(piece.joined, primary, piece.parts.empty());
        if (x.shown.empty()) continue;
        if (!corrected.empty()) corrected.push_back(U' ');
        corrected += x.shown;
    }
    split.lap(1);

    // Terms of equal weight in several groups are scored in one pass, in
    // the order of (term, weight).
    std::vector<bm25::QueryTerm> terms;
    for (const auto& [term, group, weight] : weights) {
        const std::uint32_t bit = std::uint32_t{1} << group;
        auto same = std::find_if(terms.begin(), terms.end(), [&, t = term, w = weight](const bm25::QueryTerm& q) {
            return q.term == t && q.weight == w;
        });
        if (same != terms.end()) same->groups |= bit;
        else terms.push_back({term, bit, weight});
    }
    std::sort(terms.begin(), terms.end(), [](const bm25::QueryTerm& a, const bm25::QueryTerm& b) {
        return a.term != b.term ? a.term < b.term : a.weight < b.weight;
    });
    split.lap(2);

    py::object start_obj = (page - py::int_(1)) * results_per_page;
    const std::int64_t per_page = host_index(results_per_page);
    const std::int64_t start = host_index(start_obj);
    std::vector<bm25::Hit> hits;
    if (page >= py::int_(1) && per_page > 0 && start >= 0) {
        const auto first = static_cast<std::size_t>(start);
        const std::size_t last =
            first + static_cast<std::size_t>(std::min<std::int64_t>(per_page, INT64_MAX - start));
        py::gil_scoped_release unlocked;
        hits = r->index->rank(terms, first, last);
    }
    split.lap(3);

    // Scores are numpy's float64, made from the double by numpy's own
    // function (calling the type with a Python float cost more than the
    // rest of a hit).
    const py::dtype float64 = py::dtype::of<double>();
    const auto& numpy = py::detail::npy_api::get();
    if (warm) warm(hits);
    py::list out(static_cast<py::ssize_t>(hits.size()));
    for (std::size_t i = 0; i < hits.size(); ++i) {
        auto [name, hit_language] = describe(hits[i].doc);
        double value = hits[i].score;
        py::object score = py::reinterpret_steal<py::object>(numpy.PyArray_Scalar_(&value, float64.ptr(), nullptr));
        if (!score) throw py::error_already_set();
        py::dict hit;
        if (PyDict_SetItem(hit.ptr(), wr::name("name").ptr(), name.ptr()) ||
            PyDict_SetItem(hit.ptr(), wr::name("Pontuação").ptr(), score.ptr()) ||
            PyDict_SetItem(hit.ptr(), wr::name("language").ptr(), hit_language.ptr()))
            throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<py::ssize_t>(i), hit.release().ptr());
    }
    split.lap(4);
    note_search_split(split.seconds);
    return py::make_tuple(wr::from_u32(corrected), out);
}

}  // namespace

py::object search_ranked(py::object engine, py::object query, py::object language, py::object page,
                         py::object results_per_page, py::object cutoff) {
    // An index whose documents were all removed answers as one never filled.
    if (engine.attr(wr::name("tfidf_vectorizer")).is_none()) return py::list();
    Split split;
    const double bar = checked_cutoff(cutoff);
    auto [r, described] = ranked_entry(engine);
    py::object names = engine.attr(wr::name("document_names"));
    py::object languages = engine.attr(wr::name("detected_languages"));
    const bool plain = PyList_CheckExact(names.ptr());
    // Each hit's name is two cache misses away (the list's slot, then the
    // object): read all at once, they overlap.
    const Warm warm = [&](const std::vector<bm25::Hit>& hits) {
        if (!plain) return;
        PyObject** items = reinterpret_cast<PyListObject*>(names.ptr())->ob_item;
        const auto size = static_cast<std::size_t>(PyList_GET_SIZE(names.ptr()));
        // Read, not hinted (see sink()).
        std::uintptr_t touched = 0;
        for (const bm25::Hit& h : hits) {
            if (h.doc < size) touched += reinterpret_cast<std::uintptr_t>(items[h.doc]);
            if (h.doc < described->slot.size()) touched += described->slot[h.doc];
        }
        Py_ssize_t counts = 0;
        for (const bm25::Hit& h : hits)
            if (h.doc < size) counts += Py_REFCNT(items[h.doc]);
        sink(touched + static_cast<std::uintptr_t>(counts));
    };
    return search_in(r, split, bar, query, language, page, results_per_page, [&](std::uint32_t doc) {
        if (plain && doc < static_cast<std::size_t>(PyList_GET_SIZE(names.ptr()))) {
            py::object name = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(names.ptr(), doc));
            if (doc < described->slot.size() && described->slot[doc] != DocLanguages::kLive)
                return std::make_pair(name, py::reinterpret_borrow<py::object>(
                                                PyList_GET_ITEM(described->objects.ptr(), described->slot[doc])));
            if (!PyDict_CheckExact(languages.ptr())) return std::make_pair(name, py::object(languages[name]));
            if (PyObject* found = PyDict_GetItemWithError(languages.ptr(), name.ptr()))
                return std::make_pair(name, py::reinterpret_borrow<py::object>(found));
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        py::object name = names[py::int_(doc)];
        return std::make_pair(name, py::object(languages[name]));
    }, warm);
}

py::object search_ranked(const std::shared_ptr<Ranked>& r, py::object query, py::object language,
                         py::object page, py::object results_per_page, py::object cutoff,
                         const Describe& describe) {
    if (r->index->documents() == 0) return py::list();
    Split split;
    const double bar = checked_cutoff(cutoff);
    return search_in(r, split, bar, query, language, page, results_per_page, describe);
}

std::shared_ptr<Ranked> ranked_index(py::handle engine) { return ranked_of(engine); }

std::size_t documents_of(const Ranked& r) { return r.index->documents(); }

std::optional<std::uint32_t> term_id(const Ranked& r, const std::u32string& term) { return r.find(term); }

const std::vector<std::u32string>& terms_of(const Ranked& r) { return r.terms; }

std::size_t ranked_image_bytes(const Ranked& r) {
    std::size_t bytes = 64 + r.index->image_bytes();
    for (const std::string& code : r.codes) bytes += 16 + code.size();
    for (const std::u32string& t : r.terms) bytes += sizeof(std::uint64_t) + t.size() * sizeof(char32_t);
    return bytes;
}

void write_ranked(const Ranked& r, wr::image::Writer& out) {
    out.put<std::uint32_t>(static_cast<std::uint32_t>(r.codes.size()));
    for (std::size_t g = 0; g < r.codes.size(); ++g) {
        out.put_bytes(r.codes[g]);
        out.put<std::uint64_t>(r.sizes[g]);
    }
    std::vector<char32_t> blob;
    std::vector<std::uint64_t> offsets{0};
    for (const std::u32string& t : r.terms) {
        blob.insert(blob.end(), t.begin(), t.end());
        offsets.push_back(blob.size());
    }
    out.put_vector(blob);
    out.put_vector(offsets);
    r.index->write(out);
}

std::shared_ptr<Ranked> read_ranked(wr::image::Reader& in, std::shared_ptr<const void> keep) {
    auto r = std::make_shared<Ranked>();
    const auto groups = in.get<std::uint32_t>();
    if (groups > bm25::kMaxGroups) throw wr::image::Damaged("too many languages");
    std::uint64_t documents = 0;
    for (std::uint32_t g = 0; g < groups; ++g) {
        r->codes.push_back(in.get_bytes());
        const auto size = in.get<std::uint64_t>();
        if (size > UINT32_MAX) throw wr::image::Damaged("a language holds too many documents");
        r->sizes.push_back(static_cast<std::size_t>(size));
        documents += size;
    }
    const std::vector<char32_t> blob = in.get_vector<char32_t>();
    const std::vector<std::uint64_t> offsets = in.get_vector<std::uint64_t>();
    wr::image::check_offsets(offsets, blob.size());
    r->terms.reserve(offsets.size() - 1);
    for (std::size_t t = 0; t + 1 < offsets.size(); ++t)
        r->terms.emplace_back(blob.begin() + static_cast<std::ptrdiff_t>(offsets[t]),
                              blob.begin() + static_cast<std::ptrdiff_t>(offsets[t + 1]));
    if (!r->ids.assign(r->terms)) throw wr::image::Damaged("a term is listed twice");
    r->index = std::make_unique<bm25::Index>(bm25::Index::read(in, std::move(keep)));
    if (r->index->terms() != r->terms.size() || r->index->documents() != documents)
        throw wr::image::Damaged("the index does not fit its terms or languages");
    for (std::uint32_t d = 0; d < documents; ++d)
        if (r->index->group(d) >= groups) throw wr::image::Damaged("a document's language is not listed");
    return r;
}

void init_ranked(py::module_& m) {
    m.attr("RANKING") = py::str("tfidf");
    py::dict lists;
    lists["en"] = py::make_tuple("/usr/share/dict/american-english");
    lists["es"] = py::make_tuple("/usr/share/dict/spanish");
    lists["pt"] = py::make_tuple("/usr/share/dict/portuguese", "/usr/share/dict/brazilian");
    m.attr("WORD_LISTS") = lists;

    // For the tests: the core's scores and page for documents given as term
    // id lists (with `counted`, handed to the index as each document's terms
    // with their counts, a repeated term's count split over two entries),
    // and the pieces of a text.
    m.def(
        "_bm25",
        [](const std::vector<std::vector<std::uint32_t>>& docs, const std::vector<std::uint8_t>& groups,
           const std::vector<std::tuple<std::uint32_t, std::uint32_t, double>>& query, std::size_t start,
           std::size_t stop, double k1, double b, bool counted, const std::string& image) {
            std::vector<std::uint32_t> tokens;
            std::vector<bm25::TermCount> counts;
            std::vector<std::size_t> starts{0};
            std::uint32_t terms = 0;
            for (const auto& d : docs) {
                for (std::uint32_t t : d) tokens.push_back(t), terms = std::max(terms, t + 1);
                if (counted) {
                    std::vector<bm25::TermCount> here, split;
                    for (std::uint32_t t : d) {
                        auto at = std::find_if(here.begin(), here.end(), [&](auto& c) { return c.term == t; });
                        if (at == here.end()) here.push_back({t, 1});
                        else ++at->count;
                    }
                    for (bm25::TermCount& c : here)
                        if (c.count > 1) --c.count, split.push_back({c.term, 1});
                    counts.insert(counts.end(), here.begin(), here.end());
                    counts.insert(counts.end(), split.begin(), split.end());
                }
                starts.push_back(counted ? counts.size() : tokens.size());
            }
            std::vector<bm25::QueryTerm> q;
            for (const auto& [t, g, w] : query) q.push_back({t, g, w}), terms = std::max(terms, t + 1);
            bm25::Index index = counted ? bm25::Index(terms, counts, starts, groups, {k1, b})
                                        : bm25::Index(terms, tokens, starts, groups, {k1, b});
            if (!image.empty()) {
                // Through its image, read back copied or where it lies.
                wr::image::Writer out;
                index.write(out);
                auto bytes = std::make_shared<const std::string>(out.take());
                wr::image::Reader in(*bytes);
                index = bm25::Index::read(in, image == "in place" ? bytes : nullptr);
                if (!in.done()) throw wr::image::Damaged("data after the end");
            }
            std::vector<std::pair<std::uint32_t, double>> page;
            for (const bm25::Hit& h : index.rank(q, start, stop)) page.emplace_back(h.doc, h.score);
            return py::make_tuple(index.scores(q), page, index.matches(q));
        },
        py::arg("docs"), py::arg("groups"), py::arg("query"), py::arg("start"), py::arg("stop"),
        py::arg("k1") = 1.2, py::arg("b") = 0.75, py::arg("counted") = false, py::arg("image") = "");
    // For the tests and the shards' bench: the first `stop` hits of each
    // query, from one index of `docs`, or from shards of it (shard_of[d]:
    // document d's shard) searched in turn, their pages merged by score and
    // then document; each shard scores with the whole collection's figures
    // or, with `own`, its own. With the seconds each query took.
    m.def(
        "_bm25_pages",
        [](const std::vector<std::vector<std::uint32_t>>& docs, const std::vector<std::uint8_t>& groups,
           const std::vector<std::vector<std::tuple<std::uint32_t, std::uint32_t, double>>>& queries,
           std::size_t stop, const std::vector<std::uint32_t>& shard_of, bool own) {
            if (groups.size() != docs.size() || (!shard_of.empty() && shard_of.size() != docs.size()))
                throw std::invalid_argument("one group and one shard per document");
            std::uint32_t terms = 0;
            for (const auto& d : docs)
                for (std::uint32_t t : d) terms = std::max(terms, t + 1);
            for (const auto& q : queries)
                for (const auto& [t, g, w] : q) terms = std::max(terms, t + 1);
            auto whole = std::make_shared<bm25::Collection>();
            whole->documents = docs.size();
            whole->frequency.assign(terms, 0);
            for (const auto& d : docs) {
                whole->total_length += static_cast<double>(d.size());
                std::vector<std::uint32_t> distinct(d);
                std::sort(distinct.begin(), distinct.end());
                distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
                for (std::uint32_t t : distinct) ++whole->frequency[t];
            }
            const std::size_t count = shard_of.empty() ? 1 : *std::max_element(shard_of.begin(), shard_of.end()) + 1;
            if (count > std::max<std::size_t>(docs.size(), 1))
                throw std::invalid_argument("more shards than documents");
            std::vector<bm25::Index> shards;
            std::vector<std::vector<std::uint32_t>> members(count);  // each shard's documents, in order
            for (std::size_t s = 0; s < count; ++s) {
                std::vector<std::uint32_t> tokens;
                std::vector<std::size_t> starts{0};
                std::vector<std::uint8_t> held;
                for (std::uint32_t d = 0; d < docs.size(); ++d) {
                    if (!shard_of.empty() && shard_of[d] != s) continue;
                    members[s].push_back(d);
                    tokens.insert(tokens.end(), docs[d].begin(), docs[d].end());
                    starts.push_back(tokens.size());
                    held.push_back(groups[d]);
                }
                shards.emplace_back(terms, tokens, starts, held, bm25::Params{},
                                    shard_of.empty() || own ? nullptr : whole);
            }
            py::list pages, seconds;
            for (const auto& query : queries) {
                std::vector<bm25::QueryTerm> q;
                for (const auto& [t, g, w] : query) q.push_back({t, g, w});
                const auto began = std::chrono::steady_clock::now();
                std::vector<bm25::Hit> merged;
                for (std::size_t s = 0; s < count; ++s)
                    for (const bm25::Hit& h : shards[s].rank(q, 0, stop)) merged.push_back({members[s][h.doc], h.score});
                std::sort(merged.begin(), merged.end(), bm25::RanksBefore{});
                if (merged.size() > stop) merged.resize(stop);
                seconds.append(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
                py::list page;
                for (const bm25::Hit& h : merged) page.append(py::make_tuple(h.doc, h.score));
                pages.append(page);
            }
            return py::make_tuple(pages, seconds);
        },
        py::arg("docs"), py::arg("groups"), py::arg("queries"), py::arg("stop"),
        py::arg("shard_of") = std::vector<std::uint32_t>{}, py::arg("own") = false);
    m.def(
        "_near_terms",
        [](const std::vector<std::u32string>& terms, const std::u32string& word) {
            return wr::NearTerms(terms).candidates(word);
        },
        py::arg("terms"), py::arg("word"));
    m.def(
        "_pieces",
        [](py::str text) {
            py::list out;
            for (const bm25::Piece& p : bm25::pieces_of(wr::to_u32(text), wr::host_char_classes())) {
                py::list parts;
                for (const auto& part : p.parts) parts.append(wr::from_u32(part));
                out.append(py::make_tuple(wr::from_u32(p.joined), parts));
            }
            return out;
        },
        py::arg("text"));
    m.def(
        "_term_of",
        [](py::str word, std::string code) { return wr::from_u32(term_of(wr::to_u32(word), code)); },
        py::arg("word"), py::arg("code"));
    m.def(
        "_stem_word",
        [](py::str word, std::string code) { return wr::from_u32(stem_word(wr::to_u32(word), code)); },
        py::arg("word"), py::arg("code"));
    m.def(
        "_listed_neighbours",
        [](py::str word, std::string code) {
            py::list out;
            for (const std::u32string& w : listed_neighbours(wr::to_u32(word), code))
                out.append(wr::from_u32(w));
            return out;
        },
        py::arg("word"), py::arg("code"));
    m.def(
        "_listed_neighbour_held",
        [](py::object engine, py::str word, std::string code, bool prepared) -> py::object {
            const std::shared_ptr<Ranked> r = ranked_of(engine);
            const std::u32string w = wr::to_u32(word);
            QueryReader reader(*r, {code}, kCutoff);
            const std::optional<std::uint32_t> id = reader.listed_neighbour_held(w, w, code, prepared);
            return id ? py::object(wr::from_u32(r->terms[*id])) : py::object(py::none());
        },
        py::arg("engine"), py::arg("word"), py::arg("code"), py::arg("prepared"));
    m.def(
        "_in_word_list",
        [](py::str word, std::string code) { return word_list(code).lexicon->contains(wr::to_u32(word)); },
        py::arg("word"), py::arg("code"));
    m.def(
        "_close_match_among",
        [](py::str word, const std::vector<std::u32string>& vocabulary, const std::vector<std::uint32_t>& among,
           double cutoff) -> py::object {
            const std::optional<std::u32string> best =
                wr::CloseMatcher(vocabulary).best_among(wr::to_u32(word), cutoff, among);
            if (!best) return py::none();
            return wr::from_u32(*best);
        },
        py::arg("word"), py::arg("vocabulary"), py::arg("among"), py::arg("cutoff"));
    m.def(
        "_close_match_beyond_one_edit",
        [](py::str word, const std::vector<std::u32string>& vocabulary, double cutoff) -> py::object {
            const std::optional<std::u32string> best =
                wr::CloseMatcher(vocabulary).best_beyond_one_edit(wr::to_u32(word), cutoff);
            if (!best) return py::none();
            return wr::from_u32(*best);
        },
        py::arg("word"), py::arg("vocabulary"), py::arg("cutoff"));
    // The large-page hint (or with `small`, the small-page one) over any
    // part of a writable buffer (the tables it is given for are seldom that
    // big in a test).
    m.def(
        "_prefer_large_pages",
        [](py::buffer buffer, std::size_t offset, std::size_t length, bool small) {
            const py::buffer_info info = buffer.request(true);
            const auto size = static_cast<std::size_t>(info.size * info.itemsize);
            if (offset > size || length > size - offset) throw py::value_error("outside the buffer");
            char* at = static_cast<char*>(info.ptr) + offset;
            if (small) wr::prefer_small_pages(at, length);
            else wr::prefer_large_pages(at, length);
        },
        py::arg("buffer"), py::arg("offset"), py::arg("length"), py::arg("small") = false);
    // Room reserved on large pages, then filled: a vector that held `kept`
    // numbers (0, 1, ...) grown to `room`, and a string of `room` letters.
    m.def(
        "_reserved_on_large_pages",
        [](std::size_t kept, std::size_t room) {
            std::vector<std::uint32_t> numbers(kept);
            for (std::size_t i = 0; i < kept; ++i) numbers[i] = static_cast<std::uint32_t>(i);
            wr::reserve_on_large_pages(numbers, room);
            for (std::size_t i = kept; i < room; ++i) numbers.push_back(static_cast<std::uint32_t>(i));
            std::u32string letters;
            wr::reserve_on_large_pages(letters, room);
            for (std::size_t i = 0; i < room; ++i) letters.push_back(U'a' + static_cast<char32_t>(i % 26));
            const bool ended = letters.c_str()[letters.size()] == U'\0';
            return py::make_tuple(
                py::bytes(reinterpret_cast<const char*>(numbers.data()), numbers.size() * sizeof(std::uint32_t)),
                wr::from_u32(letters), ended);
        },
        py::arg("kept"), py::arg("room"));
}

}  // namespace finderytd
