// The engine's term for one word, as the stemming pipeline files it, for the
// ranked search: its query words and the parts of documents' joined words.
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "finderytd.hpp"
#include "hoststem.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"
#include "termids.hpp"

namespace finderytd {

namespace {

// Remembered terms per language: a query's words are stemmed once per
// process, not once per search. Bounded, so a long-running server that
// meets ever new words does not grow without end.
constexpr std::size_t kRememberedTerms = 1 << 18;
// Stemmed in C++, a word costs less than a look-up among a quarter of a
// million remembered ones (cache misses): the recent ones are kept in a
// small table instead, one place a word, which stays in the cache.
constexpr std::size_t kRecentTerms = 1 << 12;

struct Language {
    // Stemmed in C++ (Wordwash's nltk functions are nltk's own): the
    // stopwords as read for it, and the stemmer; else through the host.
    bool native = false;
    std::shared_ptr<const wr::stem::StopSet> native_stop;
    std::optional<wr::stem::Stemmer> stemmer;
    bool native_refused = false;  // untouched, but the data only nltk reads
    py::object stemmer_class;  // Wordwash's SnowballStemmer when this was made
    py::object stopwords;      // and its stopwords corpus
    py::object stem;           // bound stem method; None without a language
    std::unordered_set<std::u32string> stop;
    std::unordered_map<std::u32string, std::u32string> terms;    // stemmed through the host
    std::vector<std::pair<std::u32string, std::u32string>> recent;  // stemmed in C++: by hash
    std::vector<std::uint64_t> recent_hashes;  // each place's word's hash: a new word reads no more
};

std::unordered_map<std::string, Language>& languages() {
    // Leaked: the entries hold host objects and must not be released after
    // the interpreter is gone.
    static auto* all = new std::unordered_map<std::string, Language>();
    return *all;
}

// Wordwash's answer to whether its nltk names (`_nltk_names`) are nltk's
// own, asked again only when one of them is another object than when it
// last said yes (it said so for the objects it loaded, which it holds for
// good: one seen again at the same address is the same object). Asked
// through the module, the question cost a microsecond of every search.
bool nltk_untouched(py::handle wordwash) {
    // All under the GIL. The names are the module's constant; leaked, as
    // host strings.
    static auto* names = new std::vector<py::object>();
    static std::vector<PyObject*> seen, now;
    static bool said_yes = false;
    if (names->empty()) {
        for (py::handle name : wordwash.attr(wr::name("_nltk_names")))
            names->push_back(py::reinterpret_borrow<py::object>(name));
        seen.assign(names->size(), nullptr);
        now.resize(names->size());
    }
    PyObject* fields = PyModule_GetDict(wordwash.ptr());  // borrowed
    bool same = said_yes;
    for (std::size_t i = 0; i < names->size(); ++i) {
        now[i] = PyDict_GetItemWithError(fields, (*names)[i].ptr());
        if (!now[i] && PyErr_Occurred()) throw py::error_already_set();
        same = same && now[i] == seen[i];
    }
    if (same) return true;
    said_yes = wr::truthy(wordwash.attr(wr::name("_nltk_untouched"))());
    seen = now;
    return said_yes;
}

// The language's stemmer and stopwords as Wordwash has them now, so a host
// (or a test) that patches Wordwash is honoured as the pipeline honours it.
Language& looked_up(const std::string& code) {
    auto& all = languages();
    py::handle wordwash = wr::imported("wrapper.infra.Wordwash");
    // Asked first, so that nltk is not loaded while it is not needed. Like
    // the host's stopword list below, the list read for the C++ stemmer is
    // kept while nothing is replaced: this runs for every word.
    const bool untouched = nltk_untouched(wordwash);
    auto kept = all.find(code);
    if (untouched && kept != all.end() && kept->second.native) return kept->second;
    if (untouched && !(kept != all.end() && kept->second.native_refused)) {
        std::optional<wr::NativeStemming> known;
        if (!code.empty()) {
            py::object member = wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(py::str(code));
            known = wr::native_stemming(wordwash, wordwash.attr("Idiomark").attr("get_nltk_language")(member));
        }
        if (code.empty() || known) {
            Language made;
            made.native = true;
            if (known) {
                made.native_stop = known->stop;
                made.stemmer.emplace(known->language);
            }
            made.stem = py::none();
            return all.insert_or_assign(code, std::move(made)).first->second;
        }
    }
    py::object stemmer_class = wordwash.attr("SnowballStemmer");
    py::object stopwords = wordwash.attr("stopwords");
    auto found = all.find(code);
    if (found != all.end() && !found->second.native &&
        found->second.stemmer_class.is(stemmer_class) &&
        found->second.stopwords.is(stopwords))
        return found->second;
    Language made;
    made.native_refused = untouched;
    made.stemmer_class = stemmer_class;
    made.stopwords = stopwords;
    made.stem = py::none();
    if (!code.empty()) {
        py::object member = wr::import_attr("wrapper.infra.Idiomark", "Idiomark")(py::str(code));
        py::object name = wordwash.attr("Idiomark").attr("get_nltk_language")(member);
        for (py::handle w : stopwords.attr("words")(name))
            made.stop.insert(wr::to_u32(py::str(w).attr("lower")()));
        made.stem = stemmer_class(name).attr("stem");
    }
    // Looked up again: the calls above may have let another thread in.
    return all.insert_or_assign(code, std::move(made)).first->second;
}

thread_local int scope_depth = 0;
thread_local std::uint64_t scope_number = 0;  // of the outermost open, 0 for none
thread_local std::uint64_t scopes_opened = 0;

// looked_up(), once a language within a TermScope (an entry of languages()
// is never removed, only replaced in place).
Language& language(const std::string& code) {
    thread_local ScopedLookups<Language> seen;
    return seen.get(code, looked_up);
}

}  // namespace

TermScope::TermScope() {
    if (scope_depth++ == 0) scope_number = ++scopes_opened;
}

TermScope::~TermScope() {
    if (--scope_depth == 0) scope_number = 0;
}

std::uint64_t TermScope::current() { return scope_number; }

namespace {

// Whether `text` is a str of ASCII characters only.
bool ascii_str(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
#if PY_VERSION_HEX < 0x030C0000
    // Strings made through the legacy API are readied first (from 3.12 on
    // every string is).
    if (PyUnicode_READY(text) != 0) {
        PyErr_Clear();  // the general path meets the failure again and reports it
        return false;
    }
#endif
    return PyUnicode_IS_ASCII(text);
}

}  // namespace

std::u32string folded(py::handle text) {
    const wr::text::CharClasses& cc = wr::host_char_classes();
    // normalize() looked up at each call: a host's patch of it is honoured.
    py::handle unicodedata = wr::imported("unicodedata");
    py::object normalize = unicodedata.attr(wr::name("normalize"));
    // Decomposing leaves ASCII as it is, and no ASCII character is a
    // combining mark: unicodedata's own normalize() is not called for it
    // (most queries are ASCII, and the call was a good part of reading one).
    if (ascii_str(text.ptr()) && PyCFunction_Check(normalize.ptr()) &&
        PyCFunction_GET_SELF(normalize.ptr()) == unicodedata.ptr())
        return wr::to_u32(text);
    return wr::text::drop_combining(wr::nfd_u32(normalize, text), cc);
}

// The C++ stem of a word, lower-cased as the host would lower-case nltk's.
std::u32string native_stem(Language& lang, const std::u32string& word) {
    const wr::stem::Lowering& lowering = wr::host_lowering(word);
    std::u32string lowered, stem, term;
    lowering.lower(word, lowered);
    if (!lang.stemmer->stem(lowered, stem)) {
        // Only nltk can tell: its stemmer, for this word.
        py::object wordwash = wr::import("wrapper.infra.Wordwash");
        py::object name = py::str(lang.stemmer->language() == wr::stem::Language::English ? "english"
                                  : lang.stemmer->language() == wr::stem::Language::Spanish
                                      ? "spanish"
                                      : "portuguese");
        stem = wr::to_u32(wordwash.attr("SnowballStemmer")(name).attr("stem")(wr::from_u32(word)));
    }
    lowering.lower(stem, term);
    return term;
}

std::u32string term_of(const std::u32string& word, const std::string& code, bool remember) {
    if (word.empty()) return word;
    Language& lang = language(code);
    if (lang.native) {
        const std::uint64_t h = wr::hash_u32(word);
        const std::size_t slot = h & (kRecentTerms - 1);
        if (!lang.recent.empty() && lang.recent_hashes[slot] == h && lang.recent[slot].first == word)
            return lang.recent[slot].second;
        std::u32string term;
        wr::host_lowering(word).lower(word, term);
        if (lang.stemmer) term = lang.native_stop->count(term) ? std::u32string() : native_stem(lang, word);
        if (!remember) return term;
        Language& again = language(code);
        if (again.recent.empty()) again.recent.resize(kRecentTerms), again.recent_hashes.resize(kRecentTerms);
        // Into the strings the place held: their room is used again.
        again.recent[slot].first.assign(word);
        again.recent[slot].second.assign(term);
        again.recent_hashes[slot] = h;
        return term;
    }
    auto known = lang.terms.find(word);
    if (known != lang.terms.end()) return known->second;

    std::u32string term = wr::to_u32(wr::from_u32(word).attr("lower")());
    if (!code.empty()) {
        // The pipeline compares the lower-cased word with the stopwords and
        // stems the word; nltk's stemmers lower-case it themselves.
        if (lang.stop.count(term)) {
            term.clear();
        } else {
            py::object stem = lang.stem;  // held: the call may let another thread in
            term = wr::to_u32(py::str(stem(wr::from_u32(word))).attr("lower")());
        }
    }
    Language& again = language(code);
    if (again.terms.size() >= kRememberedTerms) again.terms.clear();
    again.terms.emplace(word, term);
    return term;
}

bool stems_natively(const std::string& code) { return language(code).native; }

std::u32string stem_word(const std::u32string& word, const std::string& code) {
    if (code.empty() || word.empty()) return wr::to_u32(wr::from_u32(word).attr("lower")());
    Language& lang = language(code);
    if (lang.native) return native_stem(lang, word);
    py::object stem = lang.stem;
    return wr::to_u32(py::str(stem(wr::from_u32(word))).attr("lower")());
}

std::string stemming_code(py::handle language) {
    if (PyUnicode_Check(language.ptr()))
        return PyUnicode_GET_LENGTH(language.ptr()) ? py::str(language).cast<std::string>() : "";
    // An enumeration's member keeps its value (and its truth) for good:
    // asked once each, the answer is kept with the member. The Enum's
    // `value` is a property in the host, the costliest part of a short
    // search when asked every time.
    static auto* members = new std::vector<std::pair<py::object, std::string>>();  // leaked: host objects
    for (const auto& [member, code] : *members)
        if (member.ptr() == language.ptr()) return code;
    const std::string code =
        wr::truthy(language) ? py::str(language.attr(wr::name("value"))).cast<std::string>() : "";
    if (members->size() < 64 && py::isinstance(language, wr::imported("enum").attr(wr::name("Enum"))))
        members->emplace_back(py::reinterpret_borrow<py::object>(language), code);
    return code;
}

}  // namespace finderytd
