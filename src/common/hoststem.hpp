// What the C++ stemming pipeline needs from the host: its lower-casing, and
// nltk's stopword lists and tokenizer data found where nltk would find them,
// without importing nltk (importing it costs a second or more of start-up).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

#include "snowball.hpp"
#include "stempipe.hpp"

namespace wr {

namespace py = pybind11;

// The host's str.lower() for the stemmers, for `text` and its parts: the
// table of every code point is built on first use (a few hundredths of a
// second), and not for text that is all ASCII. Called with the GIL held.
const stem::Lowering& host_lowering(std::u32string_view text);

// nltk's stopword list for `language` ("english", ...) as
// stopwords.words(language) would return it, and whether the sentence
// tokenizer's tables for it are installed, looked up in nltk.data.path when
// nltk is loaded, else in the list nltk would start with. `stopwords` is the
// corpus object the caller would use, or None when nltk is not loaded.
// Null where only nltk can tell (data in a zip file, missing, unreadable,
// not UTF-8): the caller then runs nltk, which gives its own result or error.
// Files are read again when they change. Called with the GIL held.
std::shared_ptr<const stem::StopSet> nltk_stem_data(const std::string& language,
                                                    py::handle stopwords);

// What Wordwash's pipeline stems `nltk_language` ("english", ...) with, in
// C++: the stemmer's language and the stopword list it would read through
// the module's `stopwords` corpus (when loaded). Nothing where only nltk
// can stem it: a language without a C++ stemmer, data not in plain files.
// Whether Wordwash's nltk functions are still nltk's is the caller's check.
struct NativeStemming {
    stem::Language language;
    std::shared_ptr<const stem::StopSet> stop;
};
std::optional<NativeStemming> native_stemming(py::handle wordwash, py::handle nltk_language);

// Whether nltk's sentence tokenizer finds its tables for `language` in plain
// files (found as above); false where only nltk can tell.
bool nltk_punkt_present(const std::string& language);

}  // namespace wr
