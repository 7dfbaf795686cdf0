// Text cleaning: accent removal, normalisation, sentence splitting, and the
// stemming and lemmatisation pipelines built on nltk.
//
// The character-level work runs in C++ (textcore) over the interpreter's own
// Unicode tables, so results equal those of `re` and `unicodedata`. The
// linguistic work is nltk's, and the stemming pipeline has a C++ twin
// (stempipe) with the same results, taken while nltk's functions here are
// the ones nltk ships. nltk itself is imported only when one of its
// functions is first asked for: importing it costs over a second.
#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hoststem.hpp"
#include "hosttext.hpp"
#include "pyutil.hpp"

namespace py = pybind11;

namespace {

// Module attributes are read at call time so a host that patches them (or
// nltk's data path) is honoured.
py::object attr(const char* name) { return wr::this_module().attr(name); }

py::object idiomark() { return attr("Idiomark"); }

// nltk's names this module offers, loaded on first use (PEP 562): name ->
// (module, attribute).
const std::map<std::string, std::pair<const char*, const char*>>& lazy_names() {
    static const auto* names = new std::map<std::string, std::pair<const char*, const char*>>{
        {"stopwords", {"nltk.corpus", "stopwords"}},
        {"word_tokenize", {"nltk.tokenize", "word_tokenize"}},
        {"sent_tokenize", {"nltk.tokenize", "sent_tokenize"}},
        {"WordNetLemmatizer", {"nltk.stem", "WordNetLemmatizer"}},
        {"RSLPStemmer", {"nltk.stem", "RSLPStemmer"}},
        {"SnowballStemmer", {"nltk.stem", "SnowballStemmer"}},
    };
    return *names;
}

// What the lazy names were bound to when loaded. Leaked: host objects.
std::map<std::string, py::object>& loaded_originals() {
    static auto* loaded = new std::map<std::string, py::object>();
    return *loaded;
}

py::object module_getattr(py::str name) {
    const std::string key = name.cast<std::string>();
    auto found = lazy_names().find(key);
    if (found == lazy_names().end())
        wr::raise(PyExc_AttributeError,
                  {"module 'wrapper.infra.Wordwash' has no attribute '", name, "'"});
    py::object value = wr::import_attr(found->second.first, found->second.second);
    // Kept in the module from now on, so a host's patch replaces it as it
    // replaced the eagerly bound name before.
    py::module_& m = wr::this_module();
    py::dict fields = m.attr("__dict__");
    if (fields.contains(name)) return fields[name];  // the import ran host code that set it
    loaded_originals()[key] = value;
    m.attr(name) = value;
    return value;
}

// Whether the stemming pipeline's nltk functions here are nltk's own: not
// loaded yet, or loaded and not replaced since. Then the C++ pipeline gives
// the same results; otherwise the host's replacements are called.
// Asked on every search: the names (string literals) are looked up as
// interned strings in the module's dictionary, not made anew each time.
bool untouched(const char* name) {
    PyObject* fields = PyModule_GetDict(wr::this_module().ptr());  // borrowed
    PyObject* now = PyDict_GetItemWithError(fields, wr::name(name).ptr());
    if (!now) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return true;
    }
    auto loaded = loaded_originals().find(name);
    return loaded != loaded_originals().end() && loaded->second.ptr() == now;
}

// The nltk names the C++ pipeline stands in for; listed for other modules
// as `_nltk_names`, so that they can tell cheaply when one is replaced.
constexpr const char* kNltkNames[] = {"word_tokenize", "stopwords", "SnowballStemmer"};

bool nltk_untouched() {
    for (const char* name : kNltkNames)
        if (!untouched(name)) return false;
    return true;
}

// Texts from this many code points up are cleaned with the GIL released, so
// other host threads run meanwhile; below it the hand-over costs more than
// the work. The routines read only C++ data (a combining class not yet
// known takes the GIL back for its one lookup).
constexpr std::size_t kReleaseFrom = 1 << 14;

template <typename Routine>
py::str clean(py::handle text, Routine routine) {
    const std::u32string in = wr::to_u32(text);
    const wr::text::CharClasses& cc = wr::host_char_classes();  // built under the GIL
    std::u32string out;
    if (in.size() >= kReleaseFrom) {
        py::gil_scoped_release released;
        out = routine(in, cc);
    } else {
        out = routine(in, cc);
    }
    return wr::from_u32(out);
}

py::str normalize_text(py::object text, py::object remove_all_accents, py::object to_lower) {
    if (wr::truthy(to_lower)) text = text.attr("lower")();
    const bool drop_marks = wr::truthy(remove_all_accents);
    if (drop_marks) text = wr::nfd(attr("unicodedata").attr("normalize"), text);
    return clean(text, [drop_marks](std::u32string_view in, const wr::text::CharClasses& cc) {
        return wr::text::wash(in, drop_marks, cc);
    });
}

py::str remove_accents(py::object text) {
    py::object decomposed = wr::nfd(attr("unicodedata").attr("normalize"), text);
    return clean(decomposed, wr::text::drop_combining);
}

py::str remove_alphanumeric_character(py::object word) {
    wr::import_attr("builtins", "print")(word);
    return clean(word, wr::text::keep_word_chars);
}

py::object extract_sentences(py::object text, py::object language) {
    py::object name = idiomark().attr("get_nltk_language")(language);
    // Punkt breaks sentences only at ".", "?" and "!" (in every language's
    // tables): a text without them is one sentence, less its trailing
    // whitespace, or none. Short queries are such texts, and need no nltk.
    if (PyUnicode_Check(text.ptr()) && PyUnicode_Check(name.ptr()) && untouched("sent_tokenize")) {
        const std::u32string in = wr::to_u32(text);
        if (in.find_first_of(U".?!") == std::u32string::npos &&
            wr::nltk_punkt_present(name.cast<std::string>())) {
            py::list sentences;
            py::object kept = text.attr("rstrip")();
            if (wr::truthy(kept)) sentences.append(kept);
            return sentences;
        }
    }
    return attr("sent_tokenize")(text, name);
}

// The stopword list as a set, fetched once per pipeline call; membership is
// the same as in the list nltk returns.
py::set stopword_set(py::handle nltk_language) {
    return py::set(attr("stopwords").attr("words")(nltk_language));
}

bool contains(const py::set& set, py::handle item) {
    int r = PySet_Contains(set.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The stems of normalised text in C++, or None where nltk itself must run:
// a function of nltk's replaced here, a language without a C++ stemmer,
// nltk's data not in plain files.
py::object native_stems(const py::str& normalized, const py::object& supported) {
    if (!nltk_untouched()) return py::none();
    const std::optional<wr::NativeStemming> native = wr::native_stemming(wr::this_module(), supported);
    if (!native) return py::none();
    const std::shared_ptr<const wr::stem::StopSet>& stop = native->stop;

    const std::u32string in = wr::to_u32(normalized);
    const wr::text::CharClasses& cc = wr::host_char_classes();  // built under the GIL
    const wr::stem::Lowering& lowering = wr::host_lowering(in);
    wr::stem::Stemmer stemmer(native->language);
    std::u32string stems;
    std::vector<std::size_t> ends;
    bool done;
    if (in.size() >= kReleaseFrom) {
        py::gil_scoped_release released;
        done = wr::stem::stem_text(in, stemmer, *stop, lowering, cc, stems, ends);
    } else {
        done = wr::stem::stem_text(in, stemmer, *stop, lowering, cc, stems, ends);
    }
    if (!done) return py::none();
    py::list words(ends.size());
    std::u32string joined;
    joined.reserve(stems.size() + ends.size());
    std::size_t from = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        const std::u32string_view stem(stems.data() + from, ends[i] - from);
        PyObject* word = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, stem.data(),
                                                   static_cast<Py_ssize_t>(stem.size()));
        if (!word) throw py::error_already_set();
        PyList_SET_ITEM(words.ptr(), static_cast<Py_ssize_t>(i), word);  // steals
        if (i) joined.push_back(U' ');
        joined.append(stem);
        from = ends[i];
    }
    return py::make_tuple(words, wr::from_u32(joined));
}

// The C++ Snowball stem of one word, for the tests that hold it against
// nltk's; None where nltk's own stemmer would have to run.
py::object snowball_stem(py::str word, std::string nltk_language) {
    const std::optional<wr::stem::Language> language = wr::stem::language_named(nltk_language);
    if (!language) wr::raise(PyExc_ValueError, {"no C++ stemmer for ", py::str(nltk_language)});
    std::u32string lowered, stem;
    const std::u32string in = wr::to_u32(word);
    wr::host_lowering(in).lower(in, lowered);
    wr::stem::Stemmer stemmer(*language);
    if (!stemmer.stem(lowered, stem)) return py::none();
    return wr::from_u32(stem);
}

py::tuple preprocess_text_for_stemmetization(py::object text, py::object language) {
    py::str normalized = normalize_text(text, py::bool_(true), py::none());
    py::list words;
    if (wr::truthy(language)) {
        py::object table = idiomark().attr("nltk_languages").attr("value");
        if (!table.contains(language.attr("value")))
            wr::raise_exception({"Not Specified the language for text ", normalized});
        py::object supported = idiomark().attr("get_nltk_language")(language);
        py::object native = native_stems(normalized, supported);
        if (!native.is_none()) {
            py::tuple pair = native;
            if (py::len(pair[0]) == 0)
                wr::raise_exception({"it doesn't have tokens for text: ", normalized});
            return pair;
        }
        py::object tokens = attr("word_tokenize")(normalized, py::arg("language") = supported);
        py::set stop = stopword_set(supported);
        py::object stemmer = attr("SnowballStemmer")(supported);
        py::object stem = stemmer.attr("stem");
        for (py::handle token : tokens) {
            // Compared in lower case; the kept token keeps its case.
            if (contains(stop, token.attr("lower")())) continue;
            words.append(stem(token));
        }
    } else {
        words = normalized.attr("split")();
    }
    if (words.empty()) wr::raise_exception({"it doesn't have tokens for text: ", normalized});
    return py::make_tuple(words, py::str(" ").attr("join")(words));
}

py::object lemantization(py::object word, py::object stemmer) {
    wr::import_attr("builtins", "print")(word);
    return stemmer.attr("stem")(word);
}

py::list preprocess_text_for_lemantization(py::object text, py::object language) {
    py::str cleaned = clean(text, wr::text::drop_punctuation);
    py::object tokens = attr("word_tokenize")(
        cleaned, py::arg("language") = idiomark().attr("get_nltk_language")(language));
    // Portuguese rules and stopwords whatever the language: this pipeline
    // exists for Portuguese text only.
    py::object stemmer = attr("RSLPStemmer")();
    py::list stems;
    for (py::handle token : tokens) stems.append(lemantization(py::reinterpret_borrow<py::object>(token), stemmer));
    py::set stop = stopword_set(py::str("portuguese"));
    py::list out;
    for (py::handle w : stems)
        if (!contains(stop, w)) out.append(w);
    return out;
}

}  // namespace

PYBIND11_MODULE(Wordwash, m) {
    wr::this_module() = m;
    // stopwords, word_tokenize, sent_tokenize, WordNetLemmatizer, RSLPStemmer
    // and SnowballStemmer come from nltk on first use.
    m.def("__getattr__", &module_getattr, py::arg("name"));
    m.attr("re") = wr::import("re");
    m.attr("unicodedata") = wr::import("unicodedata");
    m.attr("Idiomark") = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");

    m.def("remove_accents", &remove_accents, py::arg("text"),
          "The text in canonical decomposition without its combining marks.");
    m.def("normalize_text", &normalize_text, py::arg("text"),
          py::arg("remove_all_accents") = true, py::arg("to_lower") = py::none(),
          "Optionally lower-case and strip accents, delete punctuation and collapse "
          "whitespace runs into one blank (not trimmed).");
    m.def("remove_alphanumeric_character", &remove_alphanumeric_character, py::arg("word"),
          "Print the word, then return it without its non-word characters.");
    m.def("extract_sentences", &extract_sentences, py::arg("text"), py::arg("language"),
          "Sentences of the text by nltk's tokenizer for the language.");
    m.def("preprocess_text_for_stemmetization", &preprocess_text_for_stemmetization,
          py::arg("text"), py::arg("language") = py::none(),
          "(stems, stems joined by blanks); without a language, the normalised words.");
    m.def("preprocess_text_for_lemantization", &preprocess_text_for_lemantization,
          py::arg("text"), py::arg("language"),
          "RSLP stems of the text's tokens that are not Portuguese stopwords.");
    m.def("_nltk_untouched", &nltk_untouched,
          "Whether word_tokenize, stopwords and SnowballStemmer here are still nltk's.");
    py::list names;
    for (const char* name : kNltkNames) names.append(wr::name(name));
    m.attr("_nltk_names") = py::tuple(names);
    m.def("_snowball_stem", &snowball_stem, py::arg("word"), py::arg("nltk_language"),
          "The C++ Snowball stem of the word (None where only nltk can stem it).");
    m.def("lemantization", &lemantization, py::arg("word"), py::arg("stemmer"),
          "Print the word, then return stemmer.stem(word).");
}
