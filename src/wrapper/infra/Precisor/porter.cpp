// gensim's Porter stemmer, kept step for step: it departs from the published
// algorithm in a few places ("bli" -> "ble", "logi" -> "log", words of two
// letters or fewer left alone), and its reads one place left of the buffer's
// start wrap around to the buffer's last letter, as a negative index does in
// the host language. Both are reproduced so stems equal gensim's.
#include <string>

#include "textrank.hpp"

namespace wr::textrank {

namespace {

bool one_of(char32_t c, const char32_t* set) {
    for (; *set; ++set)
        if (*set == c) return true;
    return false;
}

class Porter {
public:
    explicit Porter(std::u32string word) : b_(std::move(word)), k_(static_cast<long>(b_.size()) - 1) {}

    std::u32string run() {
        step1ab();
        step1c();
        step2();
        step3();
        step4();
        step5();
        return b_.substr(0, static_cast<std::size_t>(k_ + 1));
    }

private:
    std::u32string b_;
    long k_;
    long j_ = 0;

    char32_t at(long i) const {
        if (i < 0) i += static_cast<long>(b_.size());
        return b_[static_cast<std::size_t>(i)];
    }

    bool cons(long i) const {
        char32_t ch = at(i);
        if (one_of(ch, U"aeiou")) return false;
        if (ch == U'y') return i == 0 || !cons(i - 1);
        return true;
    }

    // The number of vowel-consonant sequences in b[0..j].
    int m() const {
        long i = 0;
        while (true) {
            if (i > j_) return 0;
            if (!cons(i)) break;
            ++i;
        }
        ++i;
        int n = 0;
        while (true) {
            while (true) {
                if (i > j_) return n;
                if (cons(i)) break;
                ++i;
            }
            ++i;
            ++n;
            while (true) {
                if (i > j_) return n;
                if (!cons(i)) break;
                ++i;
            }
            ++i;
        }
    }

    bool vowel_in_stem() const {
        for (long i = 0; i <= j_; ++i)
            if (!cons(i)) return true;
        return false;
    }

    bool doublec(long j) const { return j > 0 && at(j) == at(j - 1) && cons(j); }

    bool cvc(long i) const {
        if (i < 2 || !cons(i) || cons(i - 1) || !cons(i - 2)) return false;
        return !one_of(at(i), U"wxy");
    }

    bool ends(std::u32string_view s) {
        const long length = static_cast<long>(s.size());
        if (s.back() != at(k_)) return false;
        if (length > k_ + 1) return false;
        if (b_.compare(static_cast<std::size_t>(k_ - length + 1), s.size(), s) != 0) return false;
        j_ = k_ - length;
        return true;
    }

    void setto(std::u32string_view s) {
        b_ = b_.substr(0, static_cast<std::size_t>(j_ + 1));
        b_.append(s);
        k_ = static_cast<long>(b_.size()) - 1;
    }

    void r(std::u32string_view s) {
        if (m() > 0) setto(s);
    }

    void step1ab() {
        if (at(k_) == U's') {
            if (ends(U"sses"))
                k_ -= 2;
            else if (ends(U"ies"))
                setto(U"i");
            else if (at(k_ - 1) != U's')
                k_ -= 1;
        }
        if (ends(U"eed")) {
            if (m() > 0) k_ -= 1;
        } else if ((ends(U"ed") || ends(U"ing")) && vowel_in_stem()) {
            k_ = j_;
            if (ends(U"at"))
                setto(U"ate");
            else if (ends(U"bl"))
                setto(U"ble");
            else if (ends(U"iz"))
                setto(U"ize");
            else if (doublec(k_)) {
                if (!one_of(at(k_ - 1), U"lsz")) k_ -= 1;
            } else if (m() == 1 && cvc(k_))
                setto(U"e");
        }
    }

    void step1c() {
        if (ends(U"y") && vowel_in_stem()) {
            b_ = b_.substr(0, static_cast<std::size_t>(k_));
            b_.push_back(U'i');
        }
    }

    void step2() {
        switch (at(k_ - 1)) {
            case U'a':
                if (ends(U"ational")) r(U"ate");
                else if (ends(U"tional")) r(U"tion");
                break;
            case U'c':
                if (ends(U"enci")) r(U"ence");
                else if (ends(U"anci")) r(U"ance");
                break;
            case U'e':
                if (ends(U"izer")) r(U"ize");
                break;
            case U'l':
                if (ends(U"bli")) r(U"ble");
                else if (ends(U"alli")) r(U"al");
                else if (ends(U"entli")) r(U"ent");
                else if (ends(U"eli")) r(U"e");
                else if (ends(U"ousli")) r(U"ous");
                break;
            case U'o':
                if (ends(U"ization")) r(U"ize");
                else if (ends(U"ation")) r(U"ate");
                else if (ends(U"ator")) r(U"ate");
                break;
            case U's':
                if (ends(U"alism")) r(U"al");
                else if (ends(U"iveness")) r(U"ive");
                else if (ends(U"fulness")) r(U"ful");
                else if (ends(U"ousness")) r(U"ous");
                break;
            case U't':
                if (ends(U"aliti")) r(U"al");
                else if (ends(U"iviti")) r(U"ive");
                else if (ends(U"biliti")) r(U"ble");
                break;
            case U'g':
                if (ends(U"logi")) r(U"log");
                break;
            default:
                break;
        }
    }

    void step3() {
        switch (at(k_)) {
            case U'e':
                if (ends(U"icate")) r(U"ic");
                else if (ends(U"ative")) r(U"");
                else if (ends(U"alize")) r(U"al");
                break;
            case U'i':
                if (ends(U"iciti")) r(U"ic");
                break;
            case U'l':
                if (ends(U"ical")) r(U"ic");
                else if (ends(U"ful")) r(U"");
                break;
            case U's':
                if (ends(U"ness")) r(U"");
                break;
            default:
                break;
        }
    }

    void step4() {
        switch (at(k_ - 1)) {
            case U'a':
                if (!ends(U"al")) return;
                break;
            case U'c':
                if (!ends(U"ance") && !ends(U"ence")) return;
                break;
            case U'e':
                if (!ends(U"er")) return;
                break;
            case U'i':
                if (!ends(U"ic")) return;
                break;
            case U'l':
                if (!ends(U"able") && !ends(U"ible")) return;
                break;
            case U'n':
                if (!ends(U"ant") && !ends(U"ement") && !ends(U"ment") && !ends(U"ent")) return;
                break;
            case U'o':
                if (ends(U"ion") && one_of(at(j_), U"st")) break;
                if (ends(U"ou")) break;
                return;
            case U's':
                if (!ends(U"ism")) return;
                break;
            case U't':
                if (!ends(U"ate") && !ends(U"iti")) return;
                break;
            case U'u':
                if (!ends(U"ous")) return;
                break;
            case U'v':
                if (!ends(U"ive")) return;
                break;
            case U'z':
                if (!ends(U"ize")) return;
                break;
            default:
                return;
        }
        if (m() > 1) k_ = j_;
    }

    void step5() {
        const long k = j_ = k_;
        if (at(k) == U'e') {
            int a = m();
            if (a > 1 || (a == 1 && !cvc(k - 1))) k_ -= 1;
        }
        if (at(k_) == U'l' && doublec(k_) && m() > 1) k_ -= 1;
    }
};

}  // namespace

std::u32string porter_stem(const std::u32string& word) {
    // Callers pass lower-case words; gensim lower-cases again, a no-op then.
    if (word.size() <= 2) return word;
    return Porter(word).run();
}

}  // namespace wr::textrank
