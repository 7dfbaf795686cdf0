// Each stemmer is a step-by-step transcription of nltk's snowball.py: the
// word and its regions are separate strings, cut and extended exactly as
// the Python code slices them (s[:-k] of a shorter string is empty, s[-k]
// past the start is an error), so nltk's quirks come out the same without
// being reasoned about one by one. Suffix lists keep nltk's order: the first
// suffix a word ends with is the one a step looks at.
#include "snowball.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace wr::stem {

namespace {

using S = std::u32string;
using V = std::u32string_view;

// nltk's code indexing past the start of a string (s[-k], k > len(s)).
struct OutOfRange {};

bool in(char32_t c, V set) { return set.find(c) != V::npos; }

bool ends(V s, V suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}
bool ends_any(V s, std::initializer_list<V> suffixes) {
    for (V x : suffixes)
        if (ends(s, x)) return true;
    return false;
}
bool is_one_of(V s, std::initializer_list<V> options) {
    for (V x : options)
        if (s == x) return true;
    return false;
}

// A list's entries grouped by the last letter of their word (kept in the
// list's order within a group). Every step below looks for the first suffix
// of its list that a string ends with: only those ending in the string's
// last letter can, and the first of them it ends with is the first of the
// whole list. The rest of the list is not read: read cold, between two
// searches, the suffix lists cost more than stemming itself.
template <typename T>
class ByLastLetter {
public:
    template <std::size_t N>
    explicit ByLastLetter(const T (&list)[N]) : ByLastLetter(list, N) {}
    template <std::size_t N>
    explicit ByLastLetter(const std::array<T, N>& list) : ByLastLetter(list.data(), N) {}

    struct Range {
        const T* first;
        const T* last;
        const T* begin() const { return first; }
        const T* end() const { return last; }
    };

    // The entries whose word ends in the last letter of `s`, in order.
    Range ending_like(V s) const {
        if (!s.empty())
            for (std::size_t g = 0; g < letters_.size(); ++g)
                if (letters_[g] == s.back())
                    return {entries_.data() + starts_[g], entries_.data() + starts_[g + 1]};
        return {nullptr, nullptr};
    }

private:
    static V word(V v) { return v; }
    static V word(const std::pair<V, V>& p) { return p.first; }

    ByLastLetter(const T* list, std::size_t n) : entries_(list, list + n) {
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const T& a, const T& b) { return word(a).back() < word(b).back(); });
        for (std::size_t i = 0; i < n; ++i) {
            if (i == 0 || word(entries_[i]).back() != letters_.back()) {
                letters_.push_back(word(entries_[i]).back());
                starts_.push_back(static_cast<std::uint32_t>(i));
            }
        }
        starts_.push_back(static_cast<std::uint32_t>(n));
    }

    std::vector<T> entries_;
    std::vector<char32_t> letters_;
    std::vector<std::uint32_t> starts_;
};

// s[:-k] for k > 0, as a view and in place.
V head(V s, std::size_t k) { return s.substr(0, s.size() > k ? s.size() - k : 0); }
void cut(S& s, std::size_t k) { s.resize(s.size() > k ? s.size() - k : 0); }
// suffix_replace(s, old, new): s[:-len(old)] + new.
void swap_suffix(S& s, std::size_t k, V replacement) {
    cut(s, k);
    s.append(replacement);
}
// s[-k]
char32_t back(V s, std::size_t k) {
    if (k > s.size()) throw OutOfRange{};
    return s[s.size() - k];
}
// s[from:]
void tail(const S& s, std::size_t from, S& out) {
    if (from >= s.size()) out.clear();
    else out.assign(s, from, S::npos);
}
// s.replace(from, to) for every occurrence, left to right, non-overlapping.
void replace_all(S& s, V from, V to, S& scratch) {
    if (s.size() < from.size() || s.find(from) == S::npos) return;
    scratch.clear();
    std::size_t at = 0;
    for (std::size_t hit; (hit = s.find(from, at)) != S::npos; at = hit + from.size()) {
        scratch.append(s, at, hit - at);
        scratch.append(to);
    }
    scratch.append(s, at, S::npos);
    s.swap(scratch);
}
// word[-k-1:-k] == c, with Python's clamping of slice bounds.
bool before_suffix_is(V s, std::size_t k, char32_t c) {
    return s.size() >= k + 1 && s[s.size() - k - 1] == c;
}

// _StandardStemmer._r1r2_standard
void r1r2_standard(const S& w, V vowels, S& r1, S& r2) {
    r1.clear();
    r2.clear();
    for (std::size_t i = 1; i < w.size(); ++i)
        if (!in(w[i], vowels) && in(w[i - 1], vowels)) {
            tail(w, i + 1, r1);
            break;
        }
    for (std::size_t i = 1; i < r1.size(); ++i)
        if (!in(r1[i], vowels) && in(r1[i - 1], vowels)) {
            tail(r1, i + 1, r2);
            break;
        }
}

// _StandardStemmer._rv_standard
void rv_standard(const S& w, V vowels, S& rv) {
    rv.clear();
    if (w.size() < 2) return;
    if (!in(w[1], vowels)) {
        for (std::size_t i = 2; i < w.size(); ++i)
            if (in(w[i], vowels)) {
                tail(w, i + 1, rv);
                break;
            }
    } else if (in(w[0], vowels) && in(w[1], vowels)) {
        for (std::size_t i = 2; i < w.size(); ++i)
            if (!in(w[i], vowels)) {
                tail(w, i + 1, rv);
                break;
            }
    } else {
        tail(w, 3, rv);
    }
}

// ---- English ------------------------------------------------------------------

constexpr V kEnVowels = U"aeiouy";
constexpr std::array<V, 9> kEnDoubles = {U"bb", U"dd", U"ff", U"gg", U"mm",
                                         U"nn", U"pp", U"rr", U"tt"};
constexpr V kEnLiEnding = U"cdeghkmnrt";
constexpr std::array<V, 3> kEnStep0 = {U"'s'", U"'s", U"'"};
constexpr std::array<V, 6> kEnStep1a = {U"sses", U"ied", U"ies", U"us", U"ss", U"s"};
constexpr std::array<V, 6> kEnStep1b = {U"eedly", U"ingly", U"edly", U"eed", U"ing", U"ed"};
constexpr std::array<V, 24> kEnStep2 = {
    U"ization", U"ational", U"fulness", U"ousness", U"iveness", U"tional", U"biliti", U"lessli",
    U"entli",   U"ation",   U"alism",   U"aliti",   U"ousli",   U"iviti",  U"fulli",  U"enci",
    U"anci",    U"abli",    U"izer",    U"ator",    U"alli",    U"bli",    U"ogi",    U"li"};
constexpr std::array<V, 9> kEnStep3 = {U"ational", U"tional", U"alize", U"icate", U"iciti",
                                       U"ative",   U"ical",   U"ness",  U"ful"};
constexpr std::array<V, 18> kEnStep4 = {U"ement", U"ance", U"ence", U"able", U"ible", U"ment",
                                        U"ant",   U"ent",  U"ism",  U"ate",  U"iti",  U"ous",
                                        U"ive",   U"ize",  U"ion",  U"al",   U"er",   U"ic"};
constexpr std::pair<V, V> kEnSpecial[] = {
    {U"skis", U"ski"},           {U"skies", U"sky"},         {U"dying", U"die"},
    {U"lying", U"lie"},          {U"tying", U"tie"},         {U"idly", U"idl"},
    {U"gently", U"gentl"},       {U"ugly", U"ugli"},         {U"early", U"earli"},
    {U"only", U"onli"},          {U"singly", U"singl"},      {U"sky", U"sky"},
    {U"news", U"news"},          {U"howe", U"howe"},         {U"atlas", U"atlas"},
    {U"cosmos", U"cosmos"},      {U"bias", U"bias"},         {U"andes", U"andes"},
    {U"inning", U"inning"},      {U"innings", U"inning"},    {U"outing", U"outing"},
    {U"outings", U"outing"},     {U"canning", U"canning"},   {U"cannings", U"canning"},
    {U"herring", U"herring"},    {U"herrings", U"herring"},  {U"earring", U"earring"},
    {U"earrings", U"earring"},   {U"proceed", U"proceed"},   {U"proceeds", U"proceed"},
    {U"proceeded", U"proceed"},  {U"proceeding", U"proceed"}, {U"exceed", U"exceed"},
    {U"exceeds", U"exceed"},     {U"exceeded", U"exceed"},   {U"exceeding", U"exceed"},
    {U"succeed", U"succeed"},    {U"succeeds", U"succeed"},  {U"succeeded", U"succeed"},
    {U"succeeding", U"succeed"},
};

const ByLastLetter<V> kEnStep0Ends(kEnStep0), kEnStep1aEnds(kEnStep1a), kEnStep1bEnds(kEnStep1b),
    kEnStep2Ends(kEnStep2), kEnStep3Ends(kEnStep3), kEnStep4Ends(kEnStep4);
const ByLastLetter<std::pair<V, V>> kEnSpecialEnds(kEnSpecial);

// The regions after `suffix` of the word is replaced by `by`: each region
// long enough to hold the suffix gets the same replacement, a shorter one
// becomes `short_r1` / `short_r2` (nltk's choices differ between steps).
void replace_in_regions(S& w, S& r1, S& r2, V suffix, V by, V short_r1, V short_r2) {
    swap_suffix(w, suffix.size(), by);
    if (r1.size() >= suffix.size()) swap_suffix(r1, suffix.size(), by);
    else r1.assign(short_r1);
    if (r2.size() >= suffix.size()) swap_suffix(r2, suffix.size(), by);
    else r2.assign(short_r2);
}

void cut3(S& a, S& b, S& c, std::size_t k) {
    cut(a, k);
    cut(b, k);
    cut(c, k);
}

bool has_vowel(V s, V vowels) {
    for (char32_t c : s)
        if (in(c, vowels)) return true;
    return false;
}

}  // namespace

std::optional<Language> language_named(std::string_view name) {
    if (name == "english") return Language::English;
    if (name == "spanish") return Language::Spanish;
    if (name == "portuguese") return Language::Portuguese;
    return std::nullopt;
}

bool Stemmer::stem(std::u32string_view lowered, std::u32string& out) {
    out.assign(lowered);
    try {
        switch (language_) {
            case Language::English: return english(out);
            case Language::Spanish: return spanish(out);
            case Language::Portuguese: return portuguese(out);
        }
    } catch (const OutOfRange&) {
        return false;
    }
    return false;
}

bool Stemmer::english(S& w) {
    const V vowels = kEnVowels;
    S& r1 = r1_;
    S& r2 = r2_;
    if (w.size() <= 2) return true;
    if (w.size() <= 10) {
        for (const auto& [word, stem] : kEnSpecialEnds.ending_like(w))
            if (word == V(w)) {
                w.assign(stem);
                return true;
            }
    }
    for (char32_t& c : w)
        if (c == U'\u2019' || c == U'\u2018' || c == U'\u201B') c = U'\'';
    if (!w.empty() && w[0] == U'\'') w.erase(0, 1);
    if (!w.empty() && w[0] == U'y') w[0] = U'Y';
    for (std::size_t i = 1; i < w.size(); ++i)
        if (in(w[i - 1], vowels) && w[i] == U'y') w[i] = U'Y';

    r1.clear();
    r2.clear();
    if (w.compare(0, 5, U"gener") == 0 || w.compare(0, 6, U"commun") == 0 ||
        w.compare(0, 5, U"arsen") == 0) {
        tail(w, w.compare(0, 6, U"commun") == 0 ? 6 : 5, r1);
        for (std::size_t i = 1; i < r1.size(); ++i)
            if (!in(r1[i], vowels) && in(r1[i - 1], vowels)) {
                tail(r1, i + 1, r2);
                break;
            }
    } else {
        r1r2_standard(w, vowels, r1, r2);
    }

    // Step 0
    for (V suffix : kEnStep0Ends.ending_like(w))
        if (ends(w, suffix)) {
            cut3(w, r1, r2, suffix.size());
            break;
        }

    // Step 1a
    for (V suffix : kEnStep1aEnds.ending_like(w)) {
        if (!ends(w, suffix)) continue;
        if (suffix == U"sses") {
            cut3(w, r1, r2, 2);
        } else if (suffix == U"ied" || suffix == U"ies") {
            cut3(w, r1, r2, w.size() - suffix.size() > 1 ? 2 : 1);
        } else if (suffix == U"s") {
            if (has_vowel(head(w, 2), vowels)) cut3(w, r1, r2, 1);
        }
        break;
    }

    // Step 1b
    for (V suffix : kEnStep1bEnds.ending_like(w)) {
        if (!ends(w, suffix)) continue;
        if (suffix == U"eed" || suffix == U"eedly") {
            if (ends(r1, suffix)) replace_in_regions(w, r1, r2, suffix, U"ee", U"", U"");
        } else if (has_vowel(head(w, suffix.size()), vowels)) {
            cut3(w, r1, r2, suffix.size());
            if (ends_any(w, {U"at", U"bl", U"iz"})) {
                w.push_back(U'e');
                r1.push_back(U'e');
                if (w.size() > 5 || r1.size() >= 3) r2.push_back(U'e');
            } else if (std::any_of(kEnDoubles.begin(), kEnDoubles.end(),
                                   [&w](V d) { return ends(w, d); })) {
                cut3(w, r1, r2, 1);
            } else if ((r1.empty() && w.size() >= 3 && !in(back(w, 1), vowels) &&
                        !in(back(w, 1), U"wxY") && in(back(w, 2), vowels) &&
                        !in(back(w, 3), vowels)) ||
                       (r1.empty() && w.size() == 2 && in(w[0], vowels) && !in(w[1], vowels))) {
                w.push_back(U'e');
                if (!r1.empty()) r1.push_back(U'e');
                if (!r2.empty()) r2.push_back(U'e');
            }
        }
        break;
    }

    // Step 1c
    if (w.size() > 2 && in(back(w, 1), U"yY") && !in(back(w, 2), vowels)) {
        swap_suffix(w, 1, U"i");
        if (!r1.empty()) swap_suffix(r1, 1, U"i");
        if (!r2.empty()) swap_suffix(r2, 1, U"i");
    }

    // Step 2
    for (V suffix : kEnStep2Ends.ending_like(w)) {
        if (!ends(w, suffix)) continue;
        if (ends(r1, suffix)) {
            if (suffix == U"tional") {
                cut3(w, r1, r2, 2);
            } else if (is_one_of(suffix, {U"enci", U"anci", U"abli"})) {
                swap_suffix(w, 1, U"e");
                if (!r1.empty()) swap_suffix(r1, 1, U"e");
                if (!r2.empty()) swap_suffix(r2, 1, U"e");
            } else if (suffix == U"entli") {
                cut3(w, r1, r2, 2);
            } else if (is_one_of(suffix, {U"izer", U"ization"})) {
                replace_in_regions(w, r1, r2, suffix, U"ize", U"", U"");
            } else if (is_one_of(suffix, {U"ational", U"ation", U"ator"})) {
                replace_in_regions(w, r1, r2, suffix, U"ate", U"", U"e");
            } else if (is_one_of(suffix, {U"alism", U"aliti", U"alli"})) {
                replace_in_regions(w, r1, r2, suffix, U"al", U"", U"");
            } else if (suffix == U"fulness") {
                cut3(w, r1, r2, 4);
            } else if (is_one_of(suffix, {U"ousli", U"ousness"})) {
                replace_in_regions(w, r1, r2, suffix, U"ous", U"", U"");
            } else if (is_one_of(suffix, {U"iveness", U"iviti"})) {
                replace_in_regions(w, r1, r2, suffix, U"ive", U"", U"e");
            } else if (is_one_of(suffix, {U"biliti", U"bli"})) {
                replace_in_regions(w, r1, r2, suffix, U"ble", U"", U"");
            } else if (suffix == U"ogi" && back(w, 4) == U'l') {
                cut3(w, r1, r2, 1);
            } else if (is_one_of(suffix, {U"fulli", U"lessli"})) {
                cut3(w, r1, r2, 2);
            } else if (suffix == U"li" && in(back(w, 3), kEnLiEnding)) {
                cut3(w, r1, r2, 2);
            }
        }
        break;
    }

    // Step 3
    for (V suffix : kEnStep3Ends.ending_like(w)) {
        if (!ends(w, suffix)) continue;
        if (ends(r1, suffix)) {
            if (suffix == U"tional") {
                cut3(w, r1, r2, 2);
            } else if (suffix == U"ational") {
                replace_in_regions(w, r1, r2, suffix, U"ate", U"", U"");
            } else if (suffix == U"alize") {
                cut3(w, r1, r2, 3);
            } else if (is_one_of(suffix, {U"icate", U"iciti", U"ical"})) {
                replace_in_regions(w, r1, r2, suffix, U"ic", U"", U"");
            } else if (is_one_of(suffix, {U"ful", U"ness"})) {
                cut3(w, r1, r2, suffix.size());
            } else if (suffix == U"ative" && ends(r2, suffix)) {
                cut3(w, r1, r2, 5);
            }
        }
        break;
    }

    // Step 4
    for (V suffix : kEnStep4Ends.ending_like(w)) {
        if (!ends(w, suffix)) continue;
        if (ends(r2, suffix)) {
            if (suffix == U"ion") {
                if (in(back(w, 4), U"st")) cut3(w, r1, r2, 3);
            } else {
                cut3(w, r1, r2, suffix.size());
            }
        }
        break;
    }

    // Step 5
    if (ends(r2, U"l") && back(w, 2) == U'l') {
        cut(w, 1);
    } else if (ends(r2, U"e")) {
        cut(w, 1);
    } else if (ends(r1, U"e")) {
        if (w.size() >= 4 && (in(back(w, 2), vowels) || in(back(w, 2), U"wxY") ||
                              !in(back(w, 3), vowels) || in(back(w, 4), vowels)))
            cut(w, 1);
    }

    for (char32_t& c : w)
        if (c == U'Y') c = U'y';
    return true;
}

// ---- Spanish ------------------------------------------------------------------

constexpr V kEsVowels = U"aeiou\u00e1\u00e9\u00ed\u00f3\u00fa\u00fc";

void es_replace_accented(S& s) {
    for (char32_t& c : s) {
        switch (c) {
            case U'\u00e1': c = U'a'; break;
            case U'\u00e9': c = U'e'; break;
            case U'\u00ed': c = U'i'; break;
            case U'\u00f3': c = U'o'; break;
            case U'\u00fa': c = U'u'; break;
            default: break;
        }
    }
}

constexpr V kEsStep0[] = {U"selas", U"selos", U"sela", U"selo", U"las", U"les", U"los",
                          U"nos",   U"me",    U"se",   U"la",   U"le",  U"lo"};
constexpr V kEsStep1[] = {
    U"amientos", U"imientos", U"amiento",        U"imiento", U"acion",         U"aciones",
    U"uciones",  U"adoras",   U"adores",         U"ancias",  U"log\u00edas",   U"encias",
    U"amente",   U"idades",   U"anzas",          U"ismos",   U"ables",         U"ibles",
    U"istas",    U"adora",    U"aci\u00f3n",     U"antes",   U"ancia",         U"log\u00eda",
    U"uci\u00f3n", U"encia",  U"mente",          U"anza",    U"icos",          U"icas",
    U"ismo",     U"able",     U"ible",           U"ista",    U"osos",          U"osas",
    U"ador",     U"ante",     U"idad",           U"ivas",    U"ivos",          U"ico",
    U"ica",      U"oso",      U"osa",            U"iva",     U"ivo"};
constexpr V kEsStep2a[] = {U"yeron", U"yendo", U"yamos", U"yais", U"yan", U"yen",
                           U"yas",   U"yes",   U"ya",    U"ye",   U"yo",  U"y\u00f3"};
constexpr V kEsStep2b[] = {
    U"ar\u00edamos", U"er\u00edamos", U"ir\u00edamos", U"i\u00e9ramos", U"i\u00e9semos",
    U"ar\u00edais",  U"aremos",       U"er\u00edais",  U"eremos",       U"ir\u00edais",
    U"iremos",       U"ierais",       U"ieseis",       U"asteis",       U"isteis",
    U"\u00e1bamos",  U"\u00e1ramos",  U"\u00e1semos",  U"ar\u00edan",   U"ar\u00edas",
    U"ar\u00e9is",   U"er\u00edan",   U"er\u00edas",   U"er\u00e9is",   U"ir\u00edan",
    U"ir\u00edas",   U"ir\u00e9is",   U"ieran",        U"iesen",        U"ieron",
    U"iendo",        U"ieras",        U"ieses",        U"abais",        U"arais",
    U"aseis",        U"\u00e9amos",   U"ar\u00e1n",    U"ar\u00e1s",    U"ar\u00eda",
    U"er\u00e1n",    U"er\u00e1s",    U"er\u00eda",    U"ir\u00e1n",    U"ir\u00e1s",
    U"ir\u00eda",    U"iera",         U"iese",         U"aste",         U"iste",
    U"aban",         U"aran",         U"asen",         U"aron",         U"ando",
    U"abas",         U"adas",         U"idas",         U"aras",         U"ases",
    U"\u00edais",    U"ados",         U"idos",         U"amos",         U"imos",
    U"emos",         U"ar\u00e1",     U"ar\u00e9",     U"er\u00e1",     U"er\u00e9",
    U"ir\u00e1",     U"ir\u00e9",     U"aba",          U"ada",          U"ida",
    U"ara",          U"ase",          U"\u00edan",     U"ado",          U"ido",
    U"\u00edas",     U"\u00e1is",     U"\u00e9is",     U"\u00eda",      U"ad",
    U"ed",           U"id",           U"an",           U"i\u00f3",      U"ar",
    U"er",           U"ir",           U"as",           U"\u00eds",      U"en",
    U"es"};
constexpr V kEsStep3[] = {U"os", U"a", U"e", U"o", U"\u00e1", U"\u00e9", U"\u00ed", U"\u00f3"};

const ByLastLetter<V> kEsStep0Ends(kEsStep0), kEsStep1Ends(kEsStep1), kEsStep2aEnds(kEsStep2a),
    kEsStep2bEnds(kEsStep2b), kEsStep3Ends(kEsStep3);

bool Stemmer::spanish(S& w) {
    const V vowels = kEsVowels;
    S& r1 = r1_;
    S& r2 = r2_;
    S& rv = rv_;
    bool step1_success = false;
    r1r2_standard(w, vowels, r1, r2);
    rv_standard(w, vowels, rv);

    // Step 0: attached pronoun
    for (V suffix : kEsStep0Ends.ending_like(w)) {
        if (!(ends(w, suffix) && ends(rv, suffix))) continue;
        const std::size_t k = suffix.size();
        const V rv_before = head(rv, k);
        if (ends_any(rv_before, {U"ando", U"\u00e1ndo", U"ar", U"\u00e1r", U"er", U"\u00e9r",
                                 U"iendo", U"i\u00e9ndo", U"ir", U"\u00edr"}) ||
            (ends(rv_before, U"yendo") && ends(head(w, k), U"uyendo"))) {
            for (S* s : {&w, &r1, &r2, &rv}) {
                cut(*s, k);
                es_replace_accented(*s);
            }
        }
        break;
    }

    // Step 1: standard suffix removal
    for (V suffix : kEsStep1Ends.ending_like(w)) {
        if (!ends(w, suffix)) continue;
        const std::size_t k = suffix.size();
        if (suffix == U"amente" && ends(r1, suffix)) {
            step1_success = true;
            cut3(w, r2, rv, 6);
            if (ends(r2, U"iv")) {
                cut3(w, r2, rv, 2);
                if (ends(r2, U"at")) {
                    cut(w, 2);
                    cut(rv, 2);
                }
            } else if (ends_any(r2, {U"os", U"ic", U"ad"})) {
                cut(w, 2);
                cut(rv, 2);
            }
        } else if (ends(r2, suffix)) {
            step1_success = true;
            if (is_one_of(suffix, {U"adora", U"ador", U"aci\u00f3n", U"adoras", U"adores", U"acion",
                                   U"aciones", U"ante", U"antes", U"ancia", U"ancias"})) {
                cut3(w, r2, rv, k);
                if (ends(r2, U"ic")) {
                    cut(w, 2);
                    cut(rv, 2);
                }
            } else if (is_one_of(suffix, {U"log\u00eda", U"log\u00edas"})) {
                swap_suffix(w, k, U"log");
                swap_suffix(rv, k, U"log");
            } else if (is_one_of(suffix, {U"uci\u00f3n", U"uciones"})) {
                swap_suffix(w, k, U"u");
                swap_suffix(rv, k, U"u");
            } else if (is_one_of(suffix, {U"encia", U"encias"})) {
                swap_suffix(w, k, U"ente");
                swap_suffix(rv, k, U"ente");
            } else if (suffix == U"mente") {
                cut3(w, r2, rv, k);
                if (ends_any(r2, {U"ante", U"able", U"ible"})) {
                    cut(w, 4);
                    cut(rv, 4);
                }
            } else if (is_one_of(suffix, {U"idad", U"idades"})) {
                cut3(w, r2, rv, k);
                for (V pre : {V(U"abil"), V(U"ic"), V(U"iv")})
                    if (ends(r2, pre)) {
                        cut(w, pre.size());
                        cut(rv, pre.size());
                    }
            } else if (is_one_of(suffix, {U"ivo", U"iva", U"ivos", U"ivas"})) {
                cut3(w, r2, rv, k);
                if (ends(r2, U"at")) {
                    cut(w, 2);
                    cut(rv, 2);
                }
            } else {
                cut(w, k);
                cut(rv, k);
            }
        }
        break;
    }

    if (!step1_success) {
        // Step 2a: verb suffixes beginning with y
        for (V suffix : kEsStep2aEnds.ending_like(rv))
            if (ends(rv, suffix) && before_suffix_is(w, suffix.size(), U'u')) {
                cut(w, suffix.size());
                cut(rv, suffix.size());
                break;
            }
        // Step 2b: other verb suffixes
        for (V suffix : kEsStep2bEnds.ending_like(rv))
            if (ends(rv, suffix)) {
                cut(w, suffix.size());
                cut(rv, suffix.size());
                if (is_one_of(suffix, {U"en", U"es", U"\u00e9is", U"emos"})) {
                    if (ends(w, U"gu")) cut(w, 1);
                    if (ends(rv, U"gu")) cut(rv, 1);
                }
                break;
            }
    }

    // Step 3: residual suffix
    for (V suffix : kEsStep3Ends.ending_like(rv))
        if (ends(rv, suffix)) {
            cut(w, suffix.size());
            if (suffix == U"e" || suffix == U"\u00e9") {
                cut(rv, suffix.size());
                if (ends(w, U"gu") && ends(rv, U"u")) cut(w, 1);
            }
            break;
        }

    es_replace_accented(w);
    return true;
}

// ---- Portuguese ---------------------------------------------------------------

constexpr V kPtVowels = U"aeiou\u00e1\u00e9\u00ed\u00f3\u00fa\u00e2\u00ea\u00f4";
constexpr V kPtStep1[] = {
    U"amentos",        U"imentos",      U"u\u00e7o~es", U"amento",      U"imento",
    U"adoras",         U"adores",       U"a\u00e7o~es", U"logias",      U"\u00eancias",
    U"amente",         U"idades",       U"an\u00e7as",  U"ismos",       U"istas",
    U"adora",          U"a\u00e7a~o",   U"antes",       U"\u00e2ncia",  U"logia",
    U"u\u00e7a~o",     U"\u00eancia",   U"mente",       U"idade",       U"an\u00e7a",
    U"ezas",           U"icos",         U"icas",        U"ismo",        U"\u00e1vel",
    U"\u00edvel",      U"ista",         U"osos",        U"osas",        U"ador",
    U"ante",           U"ivas",         U"ivos",        U"iras",        U"eza",
    U"ico",            U"ica",          U"oso",         U"osa",         U"iva",
    U"ivo",            U"ira"};
constexpr V kPtStep2[] = {
    U"ar\u00edamos", U"er\u00edamos", U"ir\u00edamos", U"\u00e1ssemos", U"\u00eassemos",
    U"\u00edssemos", U"ar\u00edeis",  U"er\u00edeis",  U"ir\u00edeis",  U"\u00e1sseis",
    U"\u00e9sseis",  U"\u00edsseis",  U"\u00e1ramos",  U"\u00e9ramos",  U"\u00edramos",
    U"\u00e1vamos",  U"aremos",       U"eremos",       U"iremos",       U"ariam",
    U"eriam",        U"iriam",        U"assem",        U"essem",        U"issem",
    U"ara~o",        U"era~o",        U"ira~o",        U"arias",        U"erias",
    U"irias",        U"ardes",        U"erdes",        U"irdes",        U"asses",
    U"esses",        U"isses",        U"astes",        U"estes",        U"istes",
    U"\u00e1reis",   U"areis",        U"\u00e9reis",   U"ereis",        U"\u00edreis",
    U"ireis",        U"\u00e1veis",   U"\u00edamos",   U"armos",        U"ermos",
    U"irmos",        U"aria",         U"eria",         U"iria",         U"asse",
    U"esse",         U"isse",         U"aste",         U"este",         U"iste",
    U"arei",         U"erei",         U"irei",         U"aram",         U"eram",
    U"iram",         U"avam",         U"arem",         U"erem",         U"irem",
    U"ando",         U"endo",         U"indo",         U"adas",         U"idas",
    U"ar\u00e1s",    U"aras",         U"er\u00e1s",    U"eras",         U"ir\u00e1s",
    U"avas",         U"ares",         U"eres",         U"ires",         U"\u00edeis",
    U"ados",         U"idos",         U"\u00e1mos",    U"amos",         U"emos",
    U"imos",         U"iras",         U"ada",          U"ida",          U"ar\u00e1",
    U"ara",          U"er\u00e1",     U"era",          U"ir\u00e1",     U"ava",
    U"iam",          U"ado",          U"ido",          U"ias",          U"ais",
    U"eis",          U"ira",          U"ia",           U"ei",           U"am",
    U"em",           U"ar",           U"er",           U"ir",           U"as",
    U"es",           U"is",           U"eu",           U"iu",           U"ou"};
constexpr V kPtStep4[] = {U"os", U"a", U"i", U"o", U"\u00e1", U"\u00ed", U"\u00f3"};

const ByLastLetter<V> kPtStep1Ends(kPtStep1), kPtStep2Ends(kPtStep2), kPtStep4Ends(kPtStep4);

bool Stemmer::portuguese(S& w) {
    const V vowels = kPtVowels;
    S& r1 = r1_;
    S& r2 = r2_;
    S& rv = rv_;
    bool step1_success = false;
    bool step2_success = false;

    replace_all(w, U"\u00e3", U"a~", scratch_);
    replace_all(w, U"\u00f5", U"o~", scratch_);
    replace_all(w, U"q\u00fc", U"qu", scratch_);
    replace_all(w, U"g\u00fc", U"gu", scratch_);

    r1r2_standard(w, vowels, r1, r2);
    rv_standard(w, vowels, rv);

    // Step 1: standard suffix removal
    for (V suffix : kPtStep1Ends.ending_like(w)) {
        if (!ends(w, suffix)) continue;
        const std::size_t k = suffix.size();
        if (suffix == U"amente" && ends(r1, suffix)) {
            step1_success = true;
            cut3(w, r2, rv, 6);
            if (ends(r2, U"iv")) {
                cut3(w, r2, rv, 2);
                if (ends(r2, U"at")) {
                    cut(w, 2);
                    cut(rv, 2);
                }
            } else if (ends_any(r2, {U"os", U"ic", U"ad"})) {
                cut(w, 2);
                cut(rv, 2);
            }
        } else if (is_one_of(suffix, {U"ira", U"iras"}) && ends(rv, suffix) &&
                   before_suffix_is(w, k, U'e')) {
            step1_success = true;
            swap_suffix(w, k, U"ir");
            swap_suffix(rv, k, U"ir");
        } else if (ends(r2, suffix)) {
            step1_success = true;
            if (is_one_of(suffix, {U"logia", U"logias"})) {
                swap_suffix(w, k, U"log");
                swap_suffix(rv, k, U"log");
            } else if (is_one_of(suffix, {U"u\u00e7a~o", U"u\u00e7o~es"})) {
                swap_suffix(w, k, U"u");
                swap_suffix(rv, k, U"u");
            } else if (is_one_of(suffix, {U"\u00eancia", U"\u00eancias"})) {
                swap_suffix(w, k, U"ente");
                swap_suffix(rv, k, U"ente");
            } else if (suffix == U"mente") {
                cut3(w, r2, rv, 5);
                if (ends_any(r2, {U"ante", U"avel", U"ivel"})) {
                    cut(w, 4);
                    cut(rv, 4);
                }
            } else if (is_one_of(suffix, {U"idade", U"idades"})) {
                cut3(w, r2, rv, k);
                if (ends_any(r2, {U"ic", U"iv"})) {
                    cut(w, 2);
                    cut(rv, 2);
                } else if (ends(r2, U"abil")) {
                    cut(w, 4);
                    cut(rv, 4);
                }
            } else if (is_one_of(suffix, {U"iva", U"ivo", U"ivas", U"ivos"})) {
                cut3(w, r2, rv, k);
                if (ends(r2, U"at")) {
                    cut(w, 2);
                    cut(rv, 2);
                }
            } else {
                cut(w, k);
                cut(rv, k);
            }
        }
        break;
    }

    // Step 2: verb suffixes
    if (!step1_success)
        for (V suffix : kPtStep2Ends.ending_like(rv))
            if (ends(rv, suffix)) {
                step2_success = true;
                cut(w, suffix.size());
                cut(rv, suffix.size());
                break;
            }

    // Step 3
    if (step1_success || step2_success) {
        if (ends(rv, U"i") && back(w, 2) == U'c') {
            cut(w, 1);
            cut(rv, 1);
        }
    }

    // Step 4: residual suffix
    if (!step1_success && !step2_success)
        for (V suffix : kPtStep4Ends.ending_like(rv))
            if (ends(rv, suffix)) {
                cut(w, suffix.size());
                cut(rv, suffix.size());
                break;
            }

    // Step 5
    if (ends_any(rv, {U"e", U"\u00e9", U"\u00ea"})) {
        cut(w, 1);
        cut(rv, 1);
        if ((ends(w, U"gu") && ends(rv, U"u")) || (ends(w, U"ci") && ends(rv, U"i"))) cut(w, 1);
    } else if (ends(w, U"\u00e7")) {
        swap_suffix(w, 1, U"c");
    }

    replace_all(w, U"a~", U"\u00e3", scratch_);
    replace_all(w, U"o~", U"\u00f5", scratch_);
    return true;
}

}  // namespace wr::stem
