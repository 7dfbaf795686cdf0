// Abstracts and keywords of a text. `summarize` and `keywords` are gensim
// 3.8.3's calls of the same names (same arguments, results and refusals),
// computed in C++ (textrank.cpp) since no gensim that still has them installs
// on current interpreters; both also take the `language` whose stopwords and
// stemmer to use. `generate_abstract` is built on them for Portuguese text.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "hosttext.hpp"
#include "pyutil.hpp"
#include "textrank.hpp"

namespace py = pybind11;
namespace tr = wr::textrank;

namespace {

// Read at call time, so a host or test that patches them is honoured.
py::object attr(const char* name) { return wr::this_module().attr(name); }

// gensim removes exactly the nonspacing marks (category Mn) when it strips
// accents; the category of each code point is asked of the host once.
bool nonspacing_mark(char32_t c) {
    static std::vector<std::uint8_t> known(static_cast<std::size_t>(wr::text::kMaxCodePoint) + 1, 2);
    if (c > wr::text::kMaxCodePoint) return false;
    std::uint8_t& slot = known[c];
    if (slot == 2) {
        py::object category = attr("unicodedata").attr("category")(wr::from_u32(std::u32string(1, c)));
        slot = category.equal(py::str("Mn")) ? 1 : 0;
    }
    return slot == 1;
}

bool ascii(const std::u32string& s) {
    for (char32_t c : s)
        if (c >= 0x80) return false;
    return true;
}

// Most words are ASCII, where case mapping is A-Z only and there is nothing
// to decompose; only the others go to the host's Unicode tables.
std::u32string host_lower(const std::u32string& s) {
    if (ascii(s)) {
        std::u32string out = s;
        for (char32_t& c : out)
            if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
        return out;
    }
    return wr::to_u32(wr::from_u32(s).attr("lower")());
}

std::u32string host_deaccent(const std::u32string& s) {
    if (ascii(s)) return s;
    py::object normalize = attr("unicodedata").attr("normalize");
    std::u32string decomposed = wr::to_u32(normalize("NFD", wr::from_u32(s)));
    std::u32string kept;
    kept.reserve(decomposed.size());
    for (char32_t c : decomposed)
        if (!nonspacing_mark(c)) kept.push_back(c);
    return wr::to_u32(normalize("NFC", wr::from_u32(kept)));
}

// Without a language, gensim's own English filters: its stopword list and
// Porter stemmer. With one, the stopwords and Snowball stemmer nltk has for
// it, as the rest of the library uses them. Keywords are matched after
// their accents are stripped, so each stopword counts in both spellings
// ("não" and "nao").
tr::Toolkit toolkit(py::handle language) {
    tr::Toolkit tk;
    tk.classes = &wr::host_char_classes();
    tk.is_decimal = [](char32_t c) { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c)) != 0; };
    tk.lower = host_lower;
    tk.deaccent = host_deaccent;
    if (language.is_none()) {
        tk.stopwords.insert(tr::gensim_stopwords().begin(), tr::gensim_stopwords().end());
        tk.stem = tr::porter_stem;
        return tk;
    }
    py::object supported = attr("LANGUAGES");
    if (!PyUnicode_Check(language.ptr()) || !supported.contains(language))
        wr::raise(PyExc_ValueError, {"Unsupported language for summarization: ", py::repr(language),
                                     " (expected one of ", py::str(", ").attr("join")(supported),
                                     ", or None)"});
    for (py::handle word : attr("stopwords").attr("words")(language)) {
        std::u32string w = wr::to_u32(word);
        tk.stopwords.insert(host_deaccent(w));
        tk.stopwords.insert(std::move(w));
    }
    if (language.equal(py::str("portuguese"))) {
        // The same stems as nltk's, without a call into the host per word.
        tk.stem = tr::portuguese_stem;
        return tk;
    }
    py::object stem = attr("SnowballStemmer")(language).attr("stem");
    tk.stem = [stem](const std::u32string& word) { return wr::to_u32(stem(wr::from_u32(word))); };
    return tk;
}

std::optional<double> optional_number(py::handle value) {
    if (value.is_none()) return std::nullopt;
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

double number(py::handle value) { return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>(); }

py::object joined_or_list(const std::vector<std::u32string>& items, bool split) {
    py::list out;
    for (auto& s : items) out.append(wr::from_u32(s));
    if (split) return std::move(out);
    return py::str("\n").attr("join")(out);
}

py::object summarize(py::object text, py::object ratio, py::object word_count, py::object split,
                     py::object language) {
    std::u32string body = wr::to_u32(text);
    tr::Toolkit tk = toolkit(language);
    const bool as_list = wr::truthy(split);
    tr::Summary s = tr::summarize(body, number(ratio), optional_number(word_count), tk);
    switch (s.outcome) {
        case tr::Outcome::kEmpty:
            wr::log_warning({"Input text is empty."});
            return joined_or_list({}, as_list);
        case tr::Outcome::kSingleSentence:
            wr::raise(PyExc_ValueError, {"input must have more than one sentence"});
        default:
            break;
    }
    if (s.unit_count < 10) wr::log_warning({"Input text is expected to have at least 10 sentences."});
    if (s.outcome == tr::Outcome::kTooFewNodes)
        wr::log_warning({"Please add more sentences to the text. The number of reachable nodes is below 3"});
    if (s.outcome != tr::Outcome::kSummary) {
        wr::log_warning({"Couldn't get relevant sentences."});
        return joined_or_list({}, as_list);
    }
    return joined_or_list(s.sentences, as_list);
}

py::object keywords(py::object text, py::object ratio, py::object words, py::object split,
                    py::object scores, py::object /*pos_filter*/, py::object lemmatize,
                    py::object deacc, py::object language) {
    std::u32string body = wr::to_u32(text);
    tr::Toolkit tk = toolkit(language);
    auto found = tr::keywords(body, number(ratio), optional_number(words), wr::truthy(lemmatize),
                              wr::truthy(deacc), tk);
    if (wr::truthy(scores)) {
        py::list out;
        for (auto& k : found) out.append(py::make_tuple(wr::from_u32(k.phrase), k.score));
        return std::move(out);
    }
    std::vector<std::u32string> phrases;
    for (auto& k : found) phrases.push_back(k.phrase);
    return joined_or_list(phrases, wr::truthy(split));
}

py::tuple generate_abstract(py::object text, py::object num_sentences) {
    py::object found = attr("keywords")(text, py::arg("words") = 10, py::arg("lemmatize") = true,
                                        py::arg("language") = "portuguese");
    py::object keyword_list = found.attr("split")("\n");
    py::object sentences = attr("summarize")(text, py::arg("ratio") = 0.2,
                                             py::arg("word_count") = py::none(),
                                             py::arg("split") = true,
                                             py::arg("language") = "portuguese");
    py::object head = sentences[wr::import_attr("builtins", "slice")(py::none(), num_sentences)];
    return py::make_tuple(keyword_list, py::str(" ").attr("join")(head));
}

}  // namespace

PYBIND11_MODULE(Precisor, m) {
    wr::this_module() = m;
    m.attr("stopwords") = wr::import_attr("nltk.corpus", "stopwords");
    m.attr("SnowballStemmer") = wr::import_attr("nltk.stem", "SnowballStemmer");
    m.attr("unicodedata") = wr::import("unicodedata");
    m.attr("LANGUAGES") = py::make_tuple("english", "portuguese", "spanish");

    m.def("summarize", &summarize, py::arg("text"), py::arg("ratio") = 0.2,
          py::arg("word_count") = py::none(), py::arg("split") = false,
          py::arg("language") = py::none(),
          "The text's most representative sentences in text order, as a list with split, "
          "else joined by line feeds.");
    m.def("keywords", &keywords, py::arg("text"), py::arg("ratio") = 0.2,
          py::arg("words") = py::none(), py::arg("split") = false, py::arg("scores") = false,
          py::arg("pos_filter") = py::make_tuple("NN", "JJ"), py::arg("lemmatize") = false,
          py::arg("deacc") = true, py::arg("language") = py::none(),
          "The text's keywords and keyphrases, best first: joined by line feeds, a list with "
          "split, or (phrase, score) pairs with scores.");
    // For the tests that hold the C++ stemmers to their originals.
    m.def("_portuguese_stem", [](py::object w) { return wr::from_u32(tr::portuguese_stem(wr::to_u32(w))); },
          py::arg("word"));
    m.def("_porter_stem", [](py::object w) { return wr::from_u32(tr::porter_stem(wr::to_u32(w))); },
          py::arg("word"));
    m.def("generate_abstract", &generate_abstract, py::arg("text"), py::arg("num_sentences") = 3,
          "(keywords, abstract) of a Portuguese text.");
}
