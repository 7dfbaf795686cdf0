// Words that are never a name on their own: articles, pronouns, prepositions,
// conjunctions, common adverbs and verbs, numbers up to ten, months and days
// of the week, in English, Spanish and Portuguese. Plain C++ over UTF-8.
#pragma once

#include <string_view>

namespace namepick {

// True when `lowered` (one word, already lower-cased) is such a word.
bool is_function_word(std::string_view lowered);

}  // namespace namepick
