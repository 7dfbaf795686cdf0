// Text cleaning: accent removal, normalisation, sentence splitting, and the
// stemming and lemmatisation pipelines built on nltk.
//
// The character-level work runs in C++ (textcore) over the interpreter's own
// Unicode tables, so results equal those of `re` and `unicodedata`; the
// linguistic work (tokenisers, stopword lists, stemmers) is nltk's.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "hosttext.hpp"
#include "pyutil.hpp"

namespace py = pybind11;

namespace {

// Module attributes are read at call time so a host that patches them (or
// nltk's data path) is honoured.
py::object attr(const char* name) { return wr::this_module().attr(name); }

py::object idiomark() { return attr("Idiomark"); }

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
    if (drop_marks) text = attr("unicodedata").attr("normalize")("NFD", text);
    return clean(text, [drop_marks](std::u32string_view in, const wr::text::CharClasses& cc) {
        return wr::text::wash(in, drop_marks, cc);
    });
}

py::str remove_accents(py::object text) {
    py::object decomposed = attr("unicodedata").attr("normalize")("NFD", text);
    return clean(decomposed, wr::text::drop_combining);
}

py::str remove_alphanumeric_character(py::object word) {
    wr::import_attr("builtins", "print")(word);
    return clean(word, wr::text::keep_word_chars);
}

py::object extract_sentences(py::object text, py::object language) {
    py::object name = idiomark().attr("get_nltk_language")(language);
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

py::tuple preprocess_text_for_stemmetization(py::object text, py::object language) {
    py::str normalized = normalize_text(text, py::bool_(true), py::none());
    py::list words;
    if (wr::truthy(language)) {
        py::object table = idiomark().attr("nltk_languages").attr("value");
        if (!table.contains(language.attr("value")))
            wr::raise_exception({"Not Specified the language for text ", normalized});
        py::object supported = idiomark().attr("get_nltk_language")(language);
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
    m.attr("stopwords") = wr::import_attr("nltk.corpus", "stopwords");
    m.attr("word_tokenize") = wr::import_attr("nltk.tokenize", "word_tokenize");
    m.attr("sent_tokenize") = wr::import_attr("nltk.tokenize", "sent_tokenize");
    m.attr("WordNetLemmatizer") = wr::import_attr("nltk.stem", "WordNetLemmatizer");
    m.attr("RSLPStemmer") = wr::import_attr("nltk.stem", "RSLPStemmer");
    m.attr("SnowballStemmer") = wr::import_attr("nltk.stem", "SnowballStemmer");
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
    m.def("lemantization", &lemantization, py::arg("word"), py::arg("stemmer"),
          "Print the word, then return stemmer.stem(word).");
}
