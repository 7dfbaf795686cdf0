#include "textrank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <unordered_map>

namespace wr::textrank {

namespace {

// Parameters of gensim's summariser and BM25 weighting.
constexpr double kWeightThreshold = 1e-3;  // smaller sentence similarities are no edge
constexpr double kK1 = 1.5;
constexpr double kB = 0.75;
constexpr double kEpsilon = 0.25;          // floor for negative idf, times the mean idf

bool ascii_upper(char32_t c) { return c >= U'A' && c <= U'Z'; }
bool ascii_lower(char32_t c) { return c >= U'a' && c <= U'z'; }
bool ascii_alpha(char32_t c) { return ascii_upper(c) || ascii_lower(c); }
bool ascii_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool ascii_punct(char32_t c) {
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
}
bool terminal(char32_t c) { return c == U'.' || c == U'!' || c == U'?'; }

// Length of a title abbreviation "[A-Z][a-z]{1,2}." starting at p, or 0.
std::size_t title_at(const std::u32string& t, std::size_t p) {
    const std::size_t n = t.size();
    if (p + 2 >= n || !ascii_upper(t[p]) || !ascii_lower(t[p + 1])) return 0;
    if (ascii_lower(t[p + 2]) && p + 3 < n && t[p + 3] == U'.') return 4;
    if (t[p + 2] == U'.') return 3;
    return 0;
}

// Length of a letter between dots ".[a-zA-Z]." starting at p, or 0.
std::size_t letter_at(const std::u32string& t, std::size_t p) {
    if (p + 2 >= t.size() || t[p] != U'.' || !ascii_alpha(t[p + 1]) || t[p + 2] != U'.') return 0;
    return 3;
}

// Left-to-right, non-overlapping replacement of the separator in
// "<abbreviation><separator><word character>" (the word character is part of
// the match, so the next match starts after it).
template <typename Abbrev, typename Sep>
std::u32string replace_separator(const std::u32string& t, Abbrev abbrev, Sep is_sep, char32_t with,
                                 const text::CharClasses& cc) {
    std::u32string out;
    out.reserve(t.size());
    std::size_t p = 0;
    while (p < t.size()) {
        std::size_t len = abbrev(t, p);
        if (len && p + len + 1 < t.size() && is_sep(t[p + len]) && cc.is_word(t[p + len + 1])) {
            out.append(t, p, len);
            out.push_back(with);
            out.push_back(t[p + len + 1]);
            p += len + 2;
        } else {
            out.push_back(t[p++]);
        }
    }
    return out;
}

}  // namespace

// ---- text -------------------------------------------------------------------

std::vector<std::u32string> split_sentences(const std::u32string& text, const text::CharClasses& cc) {
    const char32_t kSep = U'@';
    auto space = [&cc](char32_t c) { return cc.is_space(c); };
    auto at_sign = [](char32_t c) { return c == U'@'; };
    std::u32string t = replace_separator(text, title_at, space, kSep, cc);
    t = replace_separator(t, letter_at, space, kSep, cc);

    // A sentence starts at a non-blank and takes at least one more character
    // on its line. It ends at the first ".", "!" or "?" on that line that is
    // followed by whitespace or the end of the text; lacking one, at the end
    // of the line.
    std::vector<std::u32string> out;
    const std::size_t n = t.size();
    std::size_t p = 0;
    while (p < n) {
        if (cc.is_space(t[p]) || p + 1 >= n || t[p + 1] == U'\n') {
            ++p;
            continue;
        }
        std::size_t q = p + 2;
        std::size_t end = 0;
        for (; q < n && t[q] != U'\n'; ++q) {
            if (terminal(t[q]) && (q + 1 == n || cc.is_space(t[q + 1]))) {
                end = q + 1;
                break;
            }
        }
        if (!end) end = q;
        std::u32string sentence = t.substr(p, end - p);
        sentence = replace_separator(sentence, title_at, at_sign, U' ', cc);
        out.push_back(replace_separator(sentence, letter_at, at_sign, U' ', cc));
        p = end;
    }
    return out;
}

std::u32string drop_acronym_dots(const std::u32string& t) {
    std::u32string out;
    out.reserve(t.size());
    std::size_t p = 0;
    while (p < t.size()) {
        if (p + 3 < t.size() && ascii_alpha(t[p]) && t[p + 1] == U'.' && ascii_alpha(t[p + 2]) &&
            t[p + 3] == U'.') {
            out.push_back(t[p]);
            out.push_back(t[p + 2]);
            p += 4;
        } else {
            out.push_back(t[p++]);
        }
    }
    return out;
}

std::vector<std::u32string> alphabetic_tokens(const std::u32string& text, const Toolkit& tk) {
    std::vector<std::u32string> out;
    std::u32string cur;
    for (char32_t c : text) {
        if (tk.classes->is_word(c) && !tk.is_decimal(c)) {
            cur.push_back(c);
        } else if (!cur.empty()) {
            out.push_back(std::move(cur));
            cur.clear();
        }
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

namespace {

// "<...>" with at least one character inside is deleted.
std::u32string strip_tags(const std::u32string& t) {
    std::u32string out;
    out.reserve(t.size());
    std::size_t p = 0;
    while (p < t.size()) {
        if (t[p] == U'<') {
            std::size_t close = t.find(U'>', p + 1);
            if (close != std::u32string::npos && close > p + 1) {
                p = close + 1;
                continue;
            }
        }
        out.push_back(t[p++]);
    }
    return out;
}

std::vector<std::u32string> split_whitespace(const std::u32string& t, const text::CharClasses& cc) {
    std::vector<std::u32string> out;
    std::size_t p = 0;
    while (p < t.size()) {
        while (p < t.size() && cc.is_space(t[p])) ++p;
        std::size_t start = p;
        while (p < t.size() && !cc.is_space(t[p])) ++p;
        if (p > start) out.push_back(t.substr(start, p - start));
    }
    return out;
}

const std::u32string& cached_stem(const std::u32string& word, Toolkit& tk,
                                  std::unordered_map<std::u32string, std::u32string>& cache) {
    auto it = cache.find(word);
    if (it == cache.end()) it = cache.emplace(word, tk.stem(word)).first;
    return it->second;
}

std::vector<std::u32string> preprocess_cached(const std::u32string& text, Toolkit& tk,
                                              std::unordered_map<std::u32string, std::u32string>& stems) {
    const text::CharClasses& cc = *tk.classes;
    std::u32string s = strip_tags(tk.lower(text));
    // Punctuation runs become a blank, whitespace runs one blank, and ASCII
    // digits vanish (so "a1b" is one word "ab").
    std::u32string washed;
    washed.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        if (ascii_punct(s[i])) {
            while (i < s.size() && ascii_punct(s[i])) ++i;
            washed.push_back(U' ');
        } else {
            washed.push_back(s[i++]);
        }
    }
    std::u32string compact;
    compact.reserve(washed.size());
    for (std::size_t i = 0; i < washed.size();) {
        if (cc.is_space(washed[i])) {
            while (i < washed.size() && cc.is_space(washed[i])) ++i;
            compact.push_back(U' ');
        } else {
            if (!ascii_digit(washed[i])) compact.push_back(washed[i]);
            ++i;
        }
    }
    std::vector<std::u32string> out;
    for (auto& word : split_whitespace(compact, cc)) {
        if (tk.stopwords.count(word) || word.size() < 3) continue;
        for (auto& part : split_whitespace(cached_stem(word, tk, stems), cc)) out.push_back(part);
    }
    return out;
}

}  // namespace

std::vector<std::u32string> preprocess(const std::u32string& text, Toolkit& tk) {
    std::unordered_map<std::u32string, std::u32string> stems;
    return preprocess_cached(text, tk, stems);
}

// ---- ranking ----------------------------------------------------------------

double tie_key(double score, double best) {
    if (!(best > 0)) return 0.0;
    return std::round(score / best * 1e9);
}

std::vector<double> pagerank(const std::vector<std::vector<std::pair<std::size_t, double>>>& adj,
                             double damping) {
    const std::size_t n = adj.size();
    if (n == 0) return {};
    // Row i of the transition matrix: damping * w(i,j) / (sum of i's weights).
    // The graph is undirected, so the entries of column j are found in j's
    // own adjacency list.
    std::vector<double> row_sum(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (auto& [j, w] : adj[i]) row_sum[i] += w;
    std::vector<std::size_t> start(n + 1, 0);
    for (std::size_t j = 0; j < n; ++j) start[j + 1] = start[j] + adj[j].size();
    std::vector<std::size_t> from(start[n]);
    std::vector<double> coef(start[n]);
    for (std::size_t j = 0; j < n; ++j) {
        std::size_t k = start[j];
        for (auto& [i, w] : adj[j]) {
            from[k] = i;
            coef[k] = damping * w / row_sum[i];
            ++k;
        }
    }

    // Power iteration on the transposed matrix. Every row sums to one, so the
    // dominant eigenvalue is 1 and the error shrinks by `damping` or better
    // per step; the loop stops once a step changes less than rounding does.
    const double teleport = (1.0 - damping) / static_cast<double>(n);
    std::vector<double> x(n, 1.0 / static_cast<double>(n)), y(n);
    double last_change = 2.0;
    for (int iter = 0; iter < 1000; ++iter) {
        double total = 0.0;
        for (double v : x) total += v;
        const double base = teleport * total;
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            double acc = base;
            for (std::size_t k = start[j]; k < start[j + 1]; ++k) acc += coef[k] * x[from[k]];
            y[j] = acc;
            sum += acc;
        }
        double change = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            y[j] /= sum;
            change += std::fabs(y[j] - x[j]);
        }
        x.swap(y);
        // Converged, or stalled at the rounding floor of a large graph.
        if (change < 1e-15 || (change < 1e-12 && change >= last_change)) break;
        last_change = change;
    }
    double norm = 0.0;
    for (double v : x) norm += v * v;
    norm = std::sqrt(norm);
    for (double& v : x) v /= norm;
    return x;
}

std::vector<std::vector<std::pair<std::size_t, double>>> bm25_weights(
    const std::vector<std::vector<std::size_t>>& docs, std::size_t term_count) {
    const std::size_t n = docs.size();
    std::vector<std::vector<std::pair<std::size_t, double>>> rows(n);
    if (n == 0) return rows;

    // Postings: for every term, (document, frequency) with documents in order.
    // Terms are visited in order of first appearance, as the mean idf is a
    // sum over them in that order.
    std::vector<std::vector<std::pair<std::size_t, double>>> postings(term_count);
    std::vector<std::size_t> first_seen;
    first_seen.reserve(term_count);
    std::vector<char> seen(term_count, 0);
    std::size_t total_len = 0;
    for (std::size_t d = 0; d < n; ++d) {
        total_len += docs[d].size();
        std::vector<std::pair<std::size_t, int>> freq;  // first-appearance order within d
        std::unordered_map<std::size_t, std::size_t> where;
        for (std::size_t t : docs[d]) {
            auto it = where.find(t);
            if (it == where.end()) {
                where.emplace(t, freq.size());
                freq.emplace_back(t, 1);
            } else {
                ++freq[it->second].second;
            }
        }
        for (auto& [t, f] : freq) {
            postings[t].emplace_back(d, static_cast<double>(f));
            if (!seen[t]) {
                seen[t] = 1;
                first_seen.push_back(t);
            }
        }
    }
    const double avgdl = static_cast<double>(total_len) / static_cast<double>(n);
    std::vector<double> idf(term_count, 0.0);
    double idf_sum = 0.0;
    std::vector<std::size_t> negative;
    for (std::size_t t : first_seen) {
        const double df = static_cast<double>(postings[t].size());
        idf[t] = std::log(static_cast<double>(n) - df + 0.5) - std::log(df + 0.5);
        idf_sum += idf[t];
        if (idf[t] < 0) negative.push_back(t);
    }
    const double eps = kEpsilon * (idf_sum / static_cast<double>(first_seen.size()));
    for (std::size_t t : negative) idf[t] = eps;

    std::vector<double> denominator(n);
    for (std::size_t d = 0; d < n; ++d)
        denominator[d] = kK1 * (1 - kB + kB * static_cast<double>(docs[d].size()) / avgdl);

    // Score of document i against j: the sum, over i's terms in i's order
    // (repeats included), of j's saturated frequency of that term times its
    // idf. Accumulating per j keeps that order.
    std::vector<double> acc(n, 0.0);
    std::vector<char> touched(n, 0);
    std::vector<std::size_t> hits;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t t : docs[i]) {
            for (auto& [j, f] : postings[t]) {
                acc[j] += (idf[t] * f * (kK1 + 1)) / (f + denominator[j]);
                if (!touched[j]) {
                    touched[j] = 1;
                    hits.push_back(j);
                }
            }
        }
        std::sort(hits.begin(), hits.end());
        for (std::size_t j : hits) {
            if (acc[j] > 0) rows[i].emplace_back(j, acc[j]);
            acc[j] = 0.0;
            touched[j] = 0;
        }
        hits.clear();
    }
    return rows;
}

// ---- summaries --------------------------------------------------------------

namespace {

// int(length) items of `n`: none for a negative count, all for a large one.
std::size_t leading(std::size_t n, double length) {
    const double k = std::trunc(length);
    if (!(k > 0)) return 0;
    return k >= static_cast<double>(n) ? n : static_cast<std::size_t>(k);
}

// What seq[:int(length)] keeps of `n` items: a negative count leaves that
// many off the end.
std::size_t slice_head(std::size_t n, double length) {
    double k = std::trunc(length);
    if (k < 0) k += static_cast<double>(n);
    return leading(n, k);
}

// Positions 0..n-1 ordered by descending score; ties keep their order.
std::vector<std::size_t> rank_order(const std::vector<double>& score) {
    double best = 0.0;
    for (double s : score) best = std::max(best, s);
    std::vector<double> key(score.size());
    for (std::size_t i = 0; i < score.size(); ++i) key[i] = tie_key(score[i], best);
    std::vector<std::size_t> order(score.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&key](std::size_t a, std::size_t b) { return key[a] > key[b]; });
    return order;
}

}  // namespace

Summary summarize(const std::u32string& text, double ratio, std::optional<double> word_count,
                  Toolkit& tk) {
    Summary result;
    const text::CharClasses& cc = *tk.classes;
    struct Unit {
        std::size_t index;
        std::u32string text;
        std::vector<std::u32string> tokens;
    };
    std::vector<Unit> units;
    {
        std::unordered_map<std::u32string, std::u32string> stems;
        auto sentences = split_sentences(text, cc);
        for (std::size_t i = 0; i < sentences.size(); ++i) {
            auto tokens = preprocess_cached(sentences[i], tk, stems);
            if (!tokens.empty()) units.push_back({i, std::move(sentences[i]), std::move(tokens)});
        }
    }
    result.unit_count = units.size();
    if (units.empty()) return result;
    if (units.size() == 1) {
        result.outcome = Outcome::kSingleSentence;
        return result;
    }

    // Token ids as a dictionary built over the sentences in order assigns
    // them: each sentence's new tokens in code-point order.
    std::unordered_map<std::u32string, std::size_t> token_id;
    for (auto& u : units) {
        std::vector<std::u32string> fresh;
        for (auto& t : u.tokens)
            if (!token_id.count(t)) fresh.push_back(t);
        std::sort(fresh.begin(), fresh.end());
        fresh.erase(std::unique(fresh.begin(), fresh.end()), fresh.end());
        for (auto& t : fresh) token_id.emplace(t, token_id.size());
    }
    // Each sentence becomes its bag of words, (id, count) sorted by id.
    // Sentences with equal bags are one node of the graph. The graph's
    // "terms" are the (id, count) pairs themselves, so a word shared by two
    // sentences links them only where it occurs equally often in both.
    using Bag = std::vector<std::pair<std::size_t, std::size_t>>;
    std::map<Bag, std::size_t> node_of_bag;
    std::vector<std::size_t> unit_node(units.size());
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> term_of_pair;
    std::vector<std::vector<std::size_t>> node_terms;
    for (std::size_t u = 0; u < units.size(); ++u) {
        std::map<std::size_t, std::size_t> counts;
        for (auto& t : units[u].tokens) ++counts[token_id.at(t)];
        Bag bag(counts.begin(), counts.end());
        auto [it, fresh] = node_of_bag.emplace(bag, node_terms.size());
        unit_node[u] = it->second;
        if (!fresh) continue;
        std::vector<std::size_t> terms;
        for (auto& pair : bag) terms.push_back(term_of_pair.emplace(pair, term_of_pair.size()).first->second);
        node_terms.push_back(std::move(terms));
    }
    const std::size_t nodes = node_terms.size();
    auto weights = bm25_weights(node_terms, term_of_pair.size());

    // Undirected edges in the order they are first met; the weight is the
    // score of the first direction that reaches the threshold.
    std::vector<std::vector<std::pair<std::size_t, double>>> adj(nodes);
    std::vector<char> linked(nodes, 0);
    bool any_edge = false;
    for (std::size_t i = 0; i < nodes; ++i) {
        for (auto& [j, w] : adj[i]) linked[j] = 1;
        for (auto& [j, w] : weights[i]) {
            if (j == i || w < kWeightThreshold || linked[j]) continue;
            adj[i].emplace_back(j, w);
            adj[j].emplace_back(i, w);
            linked[j] = 1;
            any_edge = true;
        }
        for (auto& [j, w] : adj[i]) linked[j] = 0;
    }

    std::vector<double> node_score(nodes, 0.0);
    if (!any_edge) {
        // No two sentences are alike: every pair is linked with the same
        // weight, which ranks all sentences equally.
        if (nodes < 3) {
            result.outcome = Outcome::kTooFewNodes;
            return result;
        }
        std::fill(node_score.begin(), node_score.end(), 1.0);
    } else {
        // Sentences linked to nothing take no part in the ranking.
        std::vector<std::size_t> kept, compact(nodes, SIZE_MAX);
        for (std::size_t i = 0; i < nodes; ++i)
            if (!adj[i].empty()) {
                compact[i] = kept.size();
                kept.push_back(i);
            }
        if (kept.size() < 3) {
            result.outcome = Outcome::kTooFewNodes;
            return result;
        }
        std::vector<std::vector<std::pair<std::size_t, double>>> graph(kept.size());
        for (std::size_t k = 0; k < kept.size(); ++k)
            for (auto& [j, w] : adj[kept[k]]) graph[k].emplace_back(compact[j], w);
        auto scores = pagerank(graph);
        for (std::size_t k = 0; k < kept.size(); ++k) node_score[kept[k]] = scores[k];
    }

    std::vector<double> unit_score(units.size());
    for (std::size_t u = 0; u < units.size(); ++u) unit_score[u] = node_score[unit_node[u]];
    auto order = rank_order(unit_score);
    const double n = static_cast<double>(units.size());
    order.resize(slice_head(units.size(), word_count ? n : n * ratio));
    if (order.empty()) {
        result.outcome = Outcome::kNothingSelected;
        return result;
    }
    if (word_count) {
        // Sentences in rank order while adding one brings the total closer.
        const double wanted = *word_count;
        double length = 0;
        std::size_t keep = 0;
        for (std::size_t u : order) {
            double words = static_cast<double>(split_whitespace(units[u].text, cc).size());
            if (std::fabs(wanted - length - words) > std::fabs(wanted - length)) break;
            length += words;
            ++keep;
        }
        order.resize(keep);
    }
    std::sort(order.begin(), order.end());
    result.outcome = Outcome::kSummary;
    for (std::size_t u : order) result.sentences.push_back(units[u].text);
    return result;
}

// ---- keywords ---------------------------------------------------------------

std::vector<Keyword> keywords(const std::u32string& text, double ratio, std::optional<double> words,
                              bool lemmatize, bool deaccent, Toolkit& tk) {
    const text::CharClasses& cc = *tk.classes;
    const std::u32string lowered = tk.lower(drop_acronym_dots(text));
    const std::u32string plain = tk.deaccent(lowered);
    const std::vector<std::u32string> sequence = alphabetic_tokens(plain, tk);

    // Every distinct word that keeps a token, in order of first appearance,
    // with its lemma: its tokens run together.
    std::vector<std::u32string> word_order;
    std::unordered_map<std::u32string, std::u32string> lemma_of;
    {
        std::unordered_map<std::u32string, std::u32string> stems;
        std::unordered_map<std::u32string, bool> tried;
        for (auto& word : deaccent ? sequence : alphabetic_tokens(lowered, tk)) {
            if (!tried.emplace(word, true).second) continue;
            std::u32string lemma;
            for (auto& t : preprocess_cached(word, tk, stems)) lemma += t;
            if (lemma.empty()) continue;
            word_order.push_back(word);
            lemma_of.emplace(word, std::move(lemma));
        }
    }

    // Nodes: distinct lemmas in that order. Edges: lemmas of words that are
    // next to each other in the text (a dropped word in between breaks the
    // link), each pair once, weight 1; a word next to a word of the same
    // lemma makes a self-loop.
    std::vector<std::u32string> lemmas;
    std::unordered_map<std::u32string, std::size_t> node_of;
    for (auto& w : word_order) {
        const auto& lemma = lemma_of.at(w);
        if (node_of.emplace(lemma, lemmas.size()).second) lemmas.push_back(lemma);
    }
    std::vector<std::vector<std::pair<std::size_t, double>>> adj(lemmas.size());
    std::unordered_map<std::uint64_t, bool> edges;
    for (std::size_t i = 1; i < sequence.size(); ++i) {
        auto a = lemma_of.find(sequence[i - 1]);
        auto b = lemma_of.find(sequence[i]);
        if (a == lemma_of.end() || b == lemma_of.end()) continue;
        std::size_t u = node_of.at(a->second), v = node_of.at(b->second);
        std::uint64_t key = (static_cast<std::uint64_t>(std::min(u, v)) << 32) | std::max(u, v);
        if (!edges.emplace(key, true).second) continue;
        adj[u].emplace_back(v, 1.0);
        if (u != v) adj[v].emplace_back(u, 1.0);
    }
    if (edges.empty()) return {};

    std::vector<std::size_t> kept;
    std::vector<std::size_t> compact(lemmas.size(), SIZE_MAX);
    for (std::size_t i = 0; i < lemmas.size(); ++i)
        if (!adj[i].empty()) {
            compact[i] = kept.size();
            kept.push_back(i);
        }
    std::vector<std::vector<std::pair<std::size_t, double>>> graph(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k)
        for (auto& [j, w] : adj[kept[k]]) graph[k].emplace_back(compact[j], w);
    const std::vector<double> scores = pagerank(graph);

    auto order = rank_order(scores);
    const double n = static_cast<double>(kept.size());
    order.resize(leading(kept.size(), words ? std::min(*words, n) : n * ratio));

    // The surface words of each chosen lemma: all of them, or with
    // `lemmatize` only the last distinct word (in order of appearance) that
    // has that lemma.
    std::unordered_map<std::u32string, std::vector<std::u32string>> words_of;
    for (auto& w : word_order) {
        auto& list = words_of[lemma_of.at(w)];
        if (lemmatize) list.clear();
        list.push_back(w);
    }
    std::unordered_map<std::u32string, double> score_of;
    for (std::size_t k : order)
        for (auto& w : words_of[lemmas[kept[k]]]) score_of[w] = scores[k];

    // Keyphrases: runs of keywords in the whitespace-split text. A run starts
    // at any word whose first token is a keyword and goes on through words
    // that are exactly a keyword (so punctuation or capitals end it) not yet
    // in the run. Each keyword leads or joins at most one emitted phrase; a
    // run that reaches the end of the text is not emitted, but its last word
    // is, on its own, when it is a keyword still unused.
    std::unordered_map<std::u32string, std::u32string> stripped;
    auto strip = [&](const std::u32string& raw) -> const std::u32string& {
        auto it = stripped.find(raw);
        if (it == stripped.end()) {
            auto tokens = alphabetic_tokens(tk.deaccent(tk.lower(drop_acronym_dots(raw))), tk);
            it = stripped.emplace(raw, tokens.empty() ? std::u32string() : tokens.front()).first;
        }
        return it->second;
    };
    std::unordered_map<std::u32string, bool> open;
    for (auto& [w, s] : score_of) open.emplace(w, true);
    const std::vector<std::u32string> raw = split_whitespace(text, cc);
    std::vector<std::vector<std::u32string>> phrases;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const std::u32string& word = strip(raw[i]);
        if (!open.count(word)) continue;
        std::vector<std::u32string> run{word};
        if (i + 1 == raw.size()) phrases.push_back(run);
        for (std::size_t j = i + 1; j < raw.size(); ++j) {
            const std::u32string& other = strip(raw[j]);
            if (open.count(other) && other == raw[j] &&
                std::find(run.begin(), run.end(), other) == run.end()) {
                run.push_back(other);
            } else {
                for (auto& w : run) open.erase(w);
                phrases.push_back(run);
                break;
            }
        }
    }

    std::vector<Keyword> result;
    for (auto& run : phrases) {
        double total = 0.0;
        std::u32string phrase;
        for (auto& w : run) {
            total += score_of.at(w);
            if (!phrase.empty()) phrase.push_back(U' ');
            phrase += w;
        }
        result.push_back({std::move(phrase), total / static_cast<double>(run.size())});
    }
    double best = 0.0;
    for (auto& k : result) best = std::max(best, k.score);
    std::stable_sort(result.begin(), result.end(), [best](const Keyword& a, const Keyword& b) {
        return tie_key(a.score, best) > tie_key(b.score, best);
    });
    return result;
}

const std::vector<std::u32string>& gensim_stopwords() {
    static const std::vector<std::u32string> words = {
    U"a", U"about", U"above", U"across", U"after", U"afterwards", U"again", U"against", U"all",
    U"almost", U"alone", U"along", U"already", U"also", U"although", U"always", U"am", U"among",
    U"amongst", U"amoungst", U"amount", U"an", U"and", U"another", U"any", U"anyhow", U"anyone",
    U"anything", U"anyway", U"anywhere", U"are", U"around", U"as", U"at", U"back", U"be",
    U"became", U"because", U"become", U"becomes", U"becoming", U"been", U"before", U"beforehand",
    U"behind", U"being", U"below", U"beside", U"besides", U"between", U"beyond", U"bill", U"both",
    U"bottom", U"but", U"by", U"call", U"can", U"cannot", U"cant", U"co", U"computer", U"con",
    U"could", U"couldnt", U"cry", U"de", U"describe", U"detail", U"did", U"didn", U"do", U"does",
    U"doesn", U"doing", U"don", U"done", U"down", U"due", U"during", U"each", U"eg", U"eight",
    U"either", U"eleven", U"else", U"elsewhere", U"empty", U"enough", U"etc", U"even", U"ever",
    U"every", U"everyone", U"everything", U"everywhere", U"except", U"few", U"fifteen", U"fifty",
    U"fill", U"find", U"fire", U"first", U"five", U"for", U"former", U"formerly", U"forty",
    U"found", U"four", U"from", U"front", U"full", U"further", U"get", U"give", U"go", U"had",
    U"has", U"hasnt", U"have", U"he", U"hence", U"her", U"here", U"hereafter", U"hereby",
    U"herein", U"hereupon", U"hers", U"herself", U"him", U"himself", U"his", U"how", U"however",
    U"hundred", U"i", U"ie", U"if", U"in", U"inc", U"indeed", U"interest", U"into", U"is", U"it",
    U"its", U"itself", U"just", U"keep", U"kg", U"km", U"last", U"latter", U"latterly", U"least",
    U"less", U"ltd", U"made", U"make", U"many", U"may", U"me", U"meanwhile", U"might", U"mill",
    U"mine", U"more", U"moreover", U"most", U"mostly", U"move", U"much", U"must", U"my", U"myself",
    U"name", U"namely", U"neither", U"never", U"nevertheless", U"next", U"nine", U"no", U"nobody",
    U"none", U"noone", U"nor", U"not", U"nothing", U"now", U"nowhere", U"of", U"off", U"often",
    U"on", U"once", U"one", U"only", U"onto", U"or", U"other", U"others", U"otherwise", U"our",
    U"ours", U"ourselves", U"out", U"over", U"own", U"part", U"per", U"perhaps", U"please", U"put",
    U"quite", U"rather", U"re", U"really", U"regarding", U"same", U"say", U"see", U"seem",
    U"seemed", U"seeming", U"seems", U"serious", U"several", U"she", U"should", U"show", U"side",
    U"since", U"sincere", U"six", U"sixty", U"so", U"some", U"somehow", U"someone", U"something",
    U"sometime", U"sometimes", U"somewhere", U"still", U"such", U"system", U"take", U"ten",
    U"than", U"that", U"the", U"their", U"them", U"themselves", U"then", U"thence", U"there",
    U"thereafter", U"thereby", U"therefore", U"therein", U"thereupon", U"these", U"they", U"thick",
    U"thin", U"third", U"this", U"those", U"though", U"three", U"through", U"throughout", U"thru",
    U"thus", U"to", U"together", U"too", U"top", U"toward", U"towards", U"twelve", U"twenty",
    U"two", U"un", U"under", U"unless", U"until", U"up", U"upon", U"us", U"used", U"using",
    U"various", U"very", U"via", U"was", U"we", U"well", U"were", U"what", U"whatever", U"when",
    U"whence", U"whenever", U"where", U"whereafter", U"whereas", U"whereby", U"wherein",
    U"whereupon", U"wherever", U"whether", U"which", U"while", U"whither", U"who", U"whoever",
    U"whole", U"whom", U"whose", U"why", U"will", U"with", U"within", U"without", U"would", U"yet",
    U"you", U"your", U"yours", U"yourself", U"yourselves",
    };
    return words;
}

}  // namespace wr::textrank
