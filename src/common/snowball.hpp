// The Snowball stemmers for English, Spanish and Portuguese exactly as nltk's
// SnowballStemmer implements them, quirks included (nltk's English special
// words, its handling of the regions after a suffix is replaced, its older
// Spanish and Portuguese suffix lists). Equality with nltk is the contract:
// the tests compare every word of the system's word lists with nltk.
// No Python headers: words are code points, already lower-cased the way the
// host lower-cases (see stempipe.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace wr::stem {

enum class Language { English, Spanish, Portuguese };

// The language of an nltk language name ("english", ...); none for others.
std::optional<Language> language_named(std::string_view nltk_name);

// One stemmer holds its working buffers, so stemming many words allocates
// only while a word is longer than any before it. Not shared between threads.
class Stemmer {
public:
    explicit Stemmer(Language language) : language_(language) {}

    // The stem of a word already lower-cased, written to `out`. False where
    // nltk's code would fail (an index out of its word's range: not reached
    // by any word seen so far, kept so that nothing is ever guessed); `out`
    // is then unspecified and the caller asks nltk itself.
    bool stem(std::u32string_view lowered, std::u32string& out);

    Language language() const { return language_; }

private:
    bool english(std::u32string& w);
    bool spanish(std::u32string& w);
    bool portuguese(std::u32string& w);

    Language language_;
    std::u32string r1_, r2_, rv_, scratch_;
};

}  // namespace wr::stem
