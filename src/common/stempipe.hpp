// The token-level stemming pipeline over normalised text, in plain C++:
// lower-casing as the host's str.lower() does it, nltk's word_tokenize as it
// behaves on normalised text, stopword removal and the Snowball stemmers.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "snowball.hpp"
#include "textcore.hpp"

namespace wr::stem {

// str.lower() of the host. The table comes from the host (so it follows its
// Unicode version); code points whose lower case depends on their
// neighbours (the Greek capital sigma) make the whole word go to
// `contextual`, which asks the host.
class Lowering {
public:
    using Contextual = std::function<void(std::u32string_view word, std::u32string& out)>;

    // `mappings`: each code point whose lower case is not itself, with that
    // lower case (one or more code points), in any order.
    Lowering(std::vector<std::pair<char32_t, std::u32string>> mappings,
             std::vector<char32_t> context_dependent, Contextual contextual);

    void lower(std::u32string_view word, std::u32string& out) const;

private:
    std::vector<char32_t> from_;     // sorted
    std::vector<std::u32string> to_;  // parallel to from_
    std::vector<char32_t> context_dependent_;
    Contextual contextual_;
};

// nltk's word_tokenize on text that holds only word characters and
// whitespace (normalize_text's output): Punkt finds no sentence end there and
// the Treebank rules that still apply split the blank-separated runs, plus
// the contractions "cannot", "gimme", "gonna", "gotta", "lemme" and "wanna"
// (in any case) into two tokens each. Tokens are views into `text`.
void tokenize_normalized(std::u32string_view text, const text::CharClasses& cc,
                         std::vector<std::u32string_view>& tokens);

// A language's stopwords as nltk lists them (compared with lower-cased tokens).
using StopSet = std::unordered_set<std::u32string>;

// The stems of the tokens of normalised text whose lower case is not a
// stopword, in order: stem i is stems[ends[i-1]:ends[i]]. False when a word
// needs nltk itself (Stemmer::stem); the outputs are then unspecified.
bool stem_text(std::u32string_view normalized, Stemmer& stemmer, const StopSet& stop,
               const Lowering& lowering, const text::CharClasses& cc, std::u32string& stems,
               std::vector<std::size_t>& ends);

}  // namespace wr::stem
