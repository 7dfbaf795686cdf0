// nltk's Portuguese Snowball stemmer (nltk 3.9), step for step, so stems equal
// those the rest of the library gets from nltk; calling the Python stemmer
// once per distinct word cost more than all the ranking of a long text.
// Regions are kept as suffixes of the word and cut the way the host's slices
// cut them (cutting more than a string holds leaves it empty).
#include <initializer_list>
#include <string>
#include <string_view>

#include "textrank.hpp"

namespace wr::textrank {

namespace {

using S = std::u32string;
using V = std::u32string_view;

const V kVowels = U"aeiou\u00E1\u00E9\u00ED\u00F3\u00FA\u00E2\u00EA\u00F4";

bool vowel(char32_t c) { return kVowels.find(c) != V::npos; }

bool ends(const S& s, V suffix) {
    return s.size() >= suffix.size() && V(s).substr(s.size() - suffix.size()) == suffix;
}

S cut(const S& s, std::size_t n) { return s.size() > n ? s.substr(0, s.size() - n) : S(); }

S replace_end(const S& s, V old, V with) { return cut(s, old.size()) + S(with); }

S replace_all(S s, V from, V to) {
    std::size_t pos = 0;
    while ((pos = s.find(from, pos)) != S::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

// The region after the first non-vowel that follows a vowel.
S after_vowel_consonant(const S& w) {
    for (std::size_t i = 1; i < w.size(); ++i)
        if (!vowel(w[i]) && vowel(w[i - 1])) return w.substr(i + 1);
    return S();
}

S region_rv(const S& w) {
    if (w.size() < 2) return S();
    if (!vowel(w[1])) {
        for (std::size_t i = 2; i < w.size(); ++i)
            if (vowel(w[i])) return w.substr(i + 1);
        return S();
    }
    if (vowel(w[0]) && vowel(w[1])) {
        for (std::size_t i = 2; i < w.size(); ++i)
            if (!vowel(w[i])) return w.substr(i + 1);
        return S();
    }
    return w.size() > 3 ? w.substr(3) : S();
}

const V kStep1[] = {
    U"amentos", U"imentos", U"u\u00E7o~es", U"amento", U"imento", U"adoras", U"adores",
    U"a\u00E7o~es", U"logias", U"\u00EAncias", U"amente", U"idades", U"an\u00E7as", U"ismos",
    U"istas", U"adora", U"a\u00E7a~o", U"antes", U"\u00E2ncia", U"logia", U"u\u00E7a~o",
    U"\u00EAncia", U"mente", U"idade", U"an\u00E7a", U"ezas", U"icos", U"icas", U"ismo",
    U"\u00E1vel", U"\u00EDvel", U"ista", U"osos", U"osas", U"ador", U"ante", U"ivas", U"ivos",
    U"iras", U"eza", U"ico", U"ica", U"oso", U"osa", U"iva", U"ivo", U"ira"};

const V kStep2[] = {
    U"ar\u00EDamos", U"er\u00EDamos", U"ir\u00EDamos", U"\u00E1ssemos", U"\u00EAssemos",
    U"\u00EDssemos", U"ar\u00EDeis", U"er\u00EDeis", U"ir\u00EDeis", U"\u00E1sseis",
    U"\u00E9sseis", U"\u00EDsseis", U"\u00E1ramos", U"\u00E9ramos", U"\u00EDramos",
    U"\u00E1vamos", U"aremos", U"eremos", U"iremos", U"ariam", U"eriam", U"iriam", U"assem",
    U"essem", U"issem", U"ara~o", U"era~o", U"ira~o", U"arias", U"erias", U"irias", U"ardes",
    U"erdes", U"irdes", U"asses", U"esses", U"isses", U"astes", U"estes", U"istes",
    U"\u00E1reis", U"areis", U"\u00E9reis", U"ereis", U"\u00EDreis", U"ireis", U"\u00E1veis",
    U"\u00EDamos", U"armos", U"ermos", U"irmos", U"aria", U"eria", U"iria", U"asse", U"esse",
    U"isse", U"aste", U"este", U"iste", U"arei", U"erei", U"irei", U"aram", U"eram", U"iram",
    U"avam", U"arem", U"erem", U"irem", U"ando", U"endo", U"indo", U"adas", U"idas",
    U"ar\u00E1s", U"aras", U"er\u00E1s", U"eras", U"ir\u00E1s", U"avas", U"ares", U"eres",
    U"ires", U"\u00EDeis", U"ados", U"idos", U"\u00E1mos", U"amos", U"emos", U"imos", U"iras",
    U"ada", U"ida", U"ar\u00E1", U"ara", U"er\u00E1", U"era", U"ir\u00E1", U"ava", U"iam",
    U"ado", U"ido", U"ias", U"ais", U"eis", U"ira", U"ia", U"ei", U"am", U"em", U"ar", U"er",
    U"ir", U"as", U"es", U"is", U"eu", U"iu", U"ou"};

const V kStep4[] = {U"os", U"a", U"i", U"o", U"\u00E1", U"\u00ED", U"\u00F3"};

bool one_of(V s, std::initializer_list<V> options) {
    for (V o : options)
        if (s == o) return true;
    return false;
}

}  // namespace

std::u32string portuguese_stem(const std::u32string& lowered) {
    S word = replace_all(lowered, U"\u00E3", U"a~");
    word = replace_all(word, U"\u00F5", U"o~");
    word = replace_all(word, U"q\u00FC", U"qu");
    word = replace_all(word, U"g\u00FC", U"gu");

    const S r1 = after_vowel_consonant(word);
    S r2 = after_vowel_consonant(r1);
    S rv = region_rv(word);
    bool step1 = false, step2 = false;

    for (V suffix : kStep1) {
        if (!ends(word, suffix)) continue;
        const std::size_t n = suffix.size();
        if (suffix == U"amente" && ends(r1, suffix)) {
            step1 = true;
            word = cut(word, 6);
            r2 = cut(r2, 6);
            rv = cut(rv, 6);
            if (ends(r2, U"iv")) {
                word = cut(word, 2);
                r2 = cut(r2, 2);
                rv = cut(rv, 2);
                if (ends(r2, U"at")) {
                    word = cut(word, 2);
                    rv = cut(rv, 2);
                }
            } else if (ends(r2, U"os") || ends(r2, U"ic") || ends(r2, U"ad")) {
                word = cut(word, 2);
                rv = cut(rv, 2);
            }
        } else if (one_of(suffix, {U"ira", U"iras"}) && ends(rv, suffix) && word.size() > n &&
                   word[word.size() - n - 1] == U'e') {
            step1 = true;
            word = replace_end(word, suffix, U"ir");
            rv = replace_end(rv, suffix, U"ir");
        } else if (ends(r2, suffix)) {
            step1 = true;
            if (one_of(suffix, {U"logia", U"logias"})) {
                word = replace_end(word, suffix, U"log");
                rv = replace_end(rv, suffix, U"log");
            } else if (one_of(suffix, {U"u\u00E7a~o", U"u\u00E7o~es"})) {
                word = replace_end(word, suffix, U"u");
                rv = replace_end(rv, suffix, U"u");
            } else if (one_of(suffix, {U"\u00EAncia", U"\u00EAncias"})) {
                word = replace_end(word, suffix, U"ente");
                rv = replace_end(rv, suffix, U"ente");
            } else if (suffix == U"mente") {
                word = cut(word, 5);
                r2 = cut(r2, 5);
                rv = cut(rv, 5);
                if (ends(r2, U"ante") || ends(r2, U"avel") || ends(r2, U"ivel")) {
                    word = cut(word, 4);
                    rv = cut(rv, 4);
                }
            } else if (one_of(suffix, {U"idade", U"idades"})) {
                word = cut(word, n);
                r2 = cut(r2, n);
                rv = cut(rv, n);
                if (ends(r2, U"ic") || ends(r2, U"iv")) {
                    word = cut(word, 2);
                    rv = cut(rv, 2);
                } else if (ends(r2, U"abil")) {
                    word = cut(word, 4);
                    rv = cut(rv, 4);
                }
            } else if (one_of(suffix, {U"iva", U"ivo", U"ivas", U"ivos"})) {
                word = cut(word, n);
                r2 = cut(r2, n);
                rv = cut(rv, n);
                if (ends(r2, U"at")) {
                    word = cut(word, 2);
                    rv = cut(rv, 2);
                }
            } else {
                word = cut(word, n);
                rv = cut(rv, n);
            }
        }
        break;  // only the longest matching suffix is considered
    }

    if (!step1) {
        for (V suffix : kStep2) {
            if (ends(rv, suffix)) {
                step2 = true;
                word = cut(word, suffix.size());
                rv = cut(rv, suffix.size());
                break;
            }
        }
    }

    if (step1 || step2) {
        if (ends(rv, U"i") && word.size() >= 2 && word[word.size() - 2] == U'c') {
            word = cut(word, 1);
            rv = cut(rv, 1);
        }
    } else {
        for (V suffix : kStep4) {
            if (ends(rv, suffix)) {
                word = cut(word, suffix.size());
                rv = cut(rv, suffix.size());
                break;
            }
        }
    }

    if (ends(rv, U"e") || ends(rv, U"\u00E9") || ends(rv, U"\u00EA")) {
        word = cut(word, 1);
        rv = cut(rv, 1);
        if ((ends(word, U"gu") && ends(rv, U"u")) || (ends(word, U"ci") && ends(rv, U"i")))
            word = cut(word, 1);
    } else if (ends(word, U"\u00E7")) {
        word = replace_end(word, U"\u00E7", U"c");
    }

    word = replace_all(word, U"a~", U"\u00E3");
    return replace_all(word, U"o~", U"\u00F5");
}

}  // namespace wr::textrank
