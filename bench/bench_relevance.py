"""Search quality on a public test collection, every system in the same run.

Cranfield (1,400 aerodynamics abstracts, 225 queries, graded judgements;
../shared/relevance/cranfield, or the folder named by $WRAPPER_CRANFIELD):
documents are filed through the library's own pipeline (language detection,
stemming, stopwords, accent folding, entities) into a term-weighting and a
sentence-embedding index, and every query goes through Process.search as a
host sends it (its language detected). Measured for each system: nDCG@10
(gain 5 - code for Cleverdon's codes 1..4, as the collection's readme has
them), MAP@100, MRR@10, R@100 (codes 1..4 relevant) and the median time of a
query.

    TD tfidf             FinderyTD.RANKING = "tfidf": TF-IDF cosine (the default)
    TD ranked            FinderyTD.RANKING = "bm25": what `wrapper search` and
                         `wrapper serve` use
    SB                   the sentence-embedding engine
    fusion TD+SB         reciprocal-rank fusion (k = 60) of the first 100 of each
    fusion ranked+SB     the same with the ranked search
    bm25s                k1 1.5, b 0.75, nltk's stopwords (the library's), Snowball (PyStemmer)
    tantivy              BM25 with its English stemmer (en_stem)

Then, with --known-item, Spanish and Portuguese known-item search (see
known_item() below): MRR@10 of the same systems. With --udhr, cross-lingual
search over the Universal Declaration of Human Rights (udhr2: English,
Spanish, Brazilian Portuguese): each article in one language is the query
(its first twelve words), the same article in another language the one
relevant document among the thirty; MRR@10 over the six pairs.

    python bench/bench_relevance.py            # --no-sb skips the embedding engine (minutes)
"""

import argparse
import contextlib
import io
import math
import os
import re
import statistics
import sys
import tempfile
import time
from pathlib import Path

import random
import zipfile
from collections import Counter

import bm25s
import Stemmer
import tantivy
from nltk.corpus import stopwords

from corpora import corpus_zip

from wrapper.core import FinderySB as sb_module
from wrapper.core import FinderyTD as td_module
from wrapper.core.File import File
from wrapper.infra.Enginekind import Enginekind
from wrapper.infra import Tonguecheck
from wrapper.infra.Idiomark import Idiomark
from wrapper.Process import Process

ROOT = Path(__file__).resolve().parents[1]
TOP = 100


# ---- the collection ------------------------------------------------------------


def cranfield_dir():
    given = os.environ.get("WRAPPER_CRANFIELD")
    path = Path(given) if given else ROOT.parent / "shared" / "relevance" / "cranfield"
    if not (path / "cran.all.1400").is_file():
        sys.exit(f"Cranfield not found in {path} (set WRAPPER_CRANFIELD to its folder)")
    return path


def smart_records(path):
    """SMART format: '.I n' starts a record, '.X' lines start its fields."""
    records, field = [], None
    for line in path.read_text(encoding="latin-1").splitlines():
        if line.startswith(".I "):
            records.append({"I": line[3:].strip()})
            field = None
        elif re.fullmatch(r"\.[A-Z]", line.strip()):
            field = line.strip()[1]
            records[-1][field] = ""
        elif field:
            records[-1][field] += line + "\n"
    return records


def cranfield():
    """({doc id: text}, [query text], [{doc id: gain}]) with queries in file
    order; the judgements number queries 1..225 in that order."""
    folder = cranfield_dir()
    docs = {}
    for r in smart_records(folder / "cran.all.1400"):
        text = " ".join(r.get("W", "").split())  # the abstract, which starts with the title
        if text:
            docs[r["I"]] = text
    queries = [" ".join(r["W"].split()) for r in smart_records(folder / "cran.qry")]
    judged = [dict() for _ in queries]
    for line in (folder / "cranqrel").read_text().splitlines():
        q, d, code = line.split()
        if 1 <= int(code) <= 4:
            judged[int(q) - 1][d] = 5 - int(code)
    return docs, queries, judged


# ---- measures ------------------------------------------------------------------


def ndcg(ranked, gains, k=10):
    dcg = sum(gains.get(d, 0) / math.log2(i + 2) for i, d in enumerate(ranked[:k]))
    ideal = sorted(gains.values(), reverse=True)[:k]
    best = sum(g / math.log2(i + 2) for i, g in enumerate(ideal))
    return dcg / best if best else 0.0


def average_precision(ranked, relevant, k=TOP):
    found, total = 0, 0.0
    for i, d in enumerate(ranked[:k]):
        if d in relevant:
            found += 1
            total += found / (i + 1)
    return total / len(relevant) if relevant else 0.0


def reciprocal_rank(ranked, relevant, k=10):
    for i, d in enumerate(ranked[:k]):
        if d in relevant:
            return 1.0 / (i + 1)
    return 0.0


def recall(ranked, relevant, k=TOP):
    return len(set(ranked[:k]) & set(relevant)) / len(relevant) if relevant else 0.0


def measure(name, run, queries, judged):
    """Runs every query; prints and returns the measures."""
    rows, times = [], []
    for q, gains in zip(queries, judged):
        start = time.perf_counter()
        ranked = run(q)
        times.append(time.perf_counter() - start)
        rows.append((ndcg(ranked, gains), average_precision(ranked, gains),
                     reciprocal_rank(ranked, gains), recall(ranked, gains)))
    means = [statistics.mean(col) for col in zip(*rows)]
    p50 = 1e3 * statistics.median(times)
    print(f"| {name:28} | {means[0]:.3f} | {means[1]:.3f} | {means[2]:.3f} | {means[3]:.3f} | {p50:6.1f} ms |",
          flush=True)
    return means, p50, [r[0] for r in rows]


def header():
    print("| system                       | nDCG@10 | MAP@100 | MRR@10 | R@100 | query p50 |")
    print("|---|---|---|---|---|---|")


# ---- the library's systems -------------------------------------------------------


def compile_documents(base, texts):
    """Documents as the pipeline makes them from text (detection, stemming,
    entities), without the PDF step."""
    docs = []
    with contextlib.redirect_stdout(io.StringIO()):  # File prints its base path
        for ident, text in texts.items():
            doc = File(base, True, None)
            doc.text = text
            doc.create_features_base(f"{ident}.txt")
            doc.id = ident
            docs.append(doc)
    return docs


def library_search(process, held=Idiomark.ENGLISH):
    """Process.search as the command line calls it: the query's language
    detected, and the index's own (`held`) when detection cannot tell it or
    tells another."""
    def run(query):
        try:
            told = Tonguecheck.detect_lang(query)
        except ValueError:
            told = None
        result = process.search(query, told if told == held else held, 1, TOP)
        return [h["name"] for h in result[1]] if result else []
    return run


def ranked_with(value, search):
    def run(query):
        saved, td_module.RANKING = td_module.RANKING, value
        try:
            return search(query)
        finally:
            td_module.RANKING = saved
    return run


def fused(*searches, k=60):
    """Reciprocal-rank fusion of the first TOP of each search."""
    def run(query):
        score = {}
        for search in searches:
            for rank, d in enumerate(search(query)):
                score[d] = score.get(d, 0.0) + 1.0 / (k + rank + 1)
        return sorted(score, key=lambda d: -score[d])[:TOP]
    return run


# ---- peers -------------------------------------------------------------------------


def bm25s_search(texts, language="english"):
    ids = list(texts)
    stemmer = Stemmer.Stemmer(language)
    stop = stopwords.words(language)
    retriever = bm25s.BM25(k1=1.5, b=0.75)
    retriever.index(bm25s.tokenize([texts[i] for i in ids], stopwords=stop, stemmer=stemmer,
                                   show_progress=False), show_progress=False)

    def run(query):
        tokens = bm25s.tokenize([query], stopwords=stop, stemmer=stemmer, show_progress=False)
        if not tokens.vocab:
            return []
        docs, _ = retriever.retrieve(tokens, k=min(TOP, len(ids)), show_progress=False, n_threads=1)
        return [ids[i] for i in docs[0]]
    return run


def tantivy_search(texts, language="english"):
    tokenizer = "en_stem" if language == "english" else f"{language}_stem"
    builder = tantivy.SchemaBuilder()
    builder.add_text_field("id", stored=True, tokenizer_name="raw")
    builder.add_text_field("body", stored=False, tokenizer_name=tokenizer)
    schema = builder.build()
    index = tantivy.Index(schema)
    if language != "english":
        # en_stem's steps (simple words, no long ones, lower case) with the
        # language's Snowball stemmer.
        index.register_tokenizer(tokenizer, tantivy.TextAnalyzerBuilder(tantivy.Tokenizer.simple())
                                 .filter(tantivy.Filter.remove_long(40)).filter(tantivy.Filter.lowercase())
                                 .filter(tantivy.Filter.stemmer(language)).build())
    writer = index.writer(heap_size=100_000_000, num_threads=1)
    for ident, text in texts.items():
        writer.add_document(tantivy.Document(id=ident, body=text))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    searcher = index.searcher()

    def run(query):
        # The query parser's syntax (field:, quotes, +, -) is not the user's.
        words = re.findall(r"\w+", query)
        if not words:
            return []
        parsed = index.parse_query(" ".join(words), ["body"])
        return [searcher.doc(address)["id"][0] for _, address in searcher.search(parsed, TOP).hits]
    return run


# ---- Spanish and Portuguese known-item search -------------------------------------
#
# No Spanish or Portuguese collection with judgements is small enough here,
# so each language gets a known-item set from a public corpus in nltk's
# data: the news articles of CESS-ESP (Spanish) and the newspaper extracts
# of Floresta Sintá(c)tica (Portuguese, those of three sentences or more).
# For a document picked at random, a query is two or three of its words a
# person would remember it by (among its ten most distinctive by tf-idf,
# in any order, never a run of its text), and one query in three holds a
# misspelling (a letter dropped, doubled, swapped or an accent left out).
# The measure is MRR@10 of the one document the query was made for.


def cess_documents():
    docs = {}
    with zipfile.ZipFile(corpus_zip("cess_esp")) as z:
        for name in sorted(z.namelist()):
            if name.endswith(".tbf"):
                tree = z.read(name).decode("latin-1")
                # Leaves are "(tag word lemma)"; multiword units are joined by _.
                words = re.findall(r"\(\S+ (\S+) \S+\)", tree)
                text = " ".join(w.replace("_", " ") for w in words if not re.fullmatch(r"-F\w+-", w))
                docs[name.split("/")[-1].split(".")[0]] = text
    return docs


def floresta_documents():
    extracts = {}
    with zipfile.ZipFile(corpus_zip("floresta")) as z:
        text = z.read("floresta/Floresta_7.4.ptb").decode("latin-1")
    for m in re.finditer(r"^#\d+ (\S+?)-\d+ (.*)$", text, re.M):
        extracts.setdefault(m.group(1), []).append(m.group(2).replace("_", " "))
    return {ident: " ".join(s) for ident, s in extracts.items() if len(s) >= 3}


def misspell(word, rng):
    folded = word.translate(str.maketrans("áéíóúâêôãõçñü", "aeiouaeoaocnu"))
    if folded != word and rng.random() < 0.5:
        return folded
    i = rng.randrange(1, len(word) - 1)
    kind = rng.randrange(3)
    if kind == 0:
        return word[:i] + word[i + 1:]
    if kind == 1:
        return word[:i] + word[i] + word[i:]
    return word[:i] + word[i + 1] + word[i] + word[i + 2:]


def known_items(texts, language, count, seed):
    rng = random.Random(seed)
    stop = set(stopwords.words(language))
    words = {d: [w.lower() for w in re.findall(r"[^\W\d_]{4,}", t)] for d, t in texts.items()}
    df = Counter(w for ws in words.values() for w in set(ws))
    n = len(texts)
    out = []
    for target in rng.sample(sorted(texts), count):
        tf = Counter(w for w in words[target] if w not in stop)
        best = sorted(tf, key=lambda w: (-tf[w] * math.log(n / df[w]), w))[:10]
        if len(best) < 3:
            continue
        picked = rng.sample(best, rng.choice([2, 2, 3]))
        if rng.random() < 1 / 3:
            i = rng.randrange(len(picked))
            picked[i] = misspell(picked[i], rng)
        out.append((" ".join(picked), target))
    return out


def known_item(work, args):
    print("\nKnown-item search, MRR@10 (one document per query; a third of the queries misspelt)")
    print("| system | Spanish (CESS-ESP) | Portuguese (Floresta) |")
    print("|---|---|---|")
    table = {}
    for code, nltk_name, member, read in [("es", "spanish", Idiomark.SPANISH, cess_documents),
                                           ("pt", "portuguese", Idiomark.PORTUGUESE, floresta_documents)]:
        texts = read()
        queries = known_items(texts, nltk_name, args.known_items, seed=7)
        docs = compile_documents(os.path.join(work, code), texts)
        held = Counter(str(d.detected_language) for d in docs)
        print(f"  {code}: {len(texts)} documents ({dict(held)}), {len(queries)} queries", flush=True)
        td = Process(os.path.join(work, code, "td"), True, None, Enginekind.TD)
        td.train_docs(docs)
        systems = [("TD tfidf (default)", ranked_with("tfidf", library_search(td, member))),
                   ("TD ranked (bm25)", ranked_with("bm25", library_search(td, member)))]
        if not args.no_sb:
            sb = Process(os.path.join(work, code, "sb"), True, None, Enginekind.SB)
            sb.train_docs(docs)
            sb_search = library_search(sb, member)
            systems += [("SB", sb_search), ("fusion ranked+SB (RRF 60)", fused(systems[1][1], sb_search))]
        systems += [("bm25s (1.5, 0.75, Snowball)", bm25s_search(texts, nltk_name)),
                    ("tantivy (Snowball stemmer)", tantivy_search(texts, nltk_name))]
        for name, run in systems:
            rr = [reciprocal_rank(run(q), {target}) for q, target in queries]
            table.setdefault(name, {})[code] = statistics.mean(rr)
    for name, row in table.items():
        print(f"| {name:28} | {row.get('es', float('nan')):.3f} | {row.get('pt', float('nan')):.3f} |")
    return table


def roman(numeral):
    values = {"I": 1, "V": 5, "X": 10, "L": 50}
    total = 0
    for letter, following in zip(numeral, numeral[1:] + " "):
        value = values[letter]
        total += -value if values.get(following, 0) > value else value
    return total


def udhr_articles(member):
    """The thirty articles of the declaration in one language, by number."""
    with zipfile.ZipFile(corpus_zip("udhr2")) as z:
        lines = z.read(f"udhr2/{member}.txt").decode("utf-8").splitlines()
    articles, current = {}, None
    for line in map(str.strip, lines):
        heading = re.fullmatch(r"(?:Article|Artículo|Artigo)\s+(\d+|[IVXL]+)\.?", line)
        if heading:
            current = int(heading[1]) if heading[1].isdigit() else roman(heading[1])
            articles[current] = []
        elif current is not None and line:
            articles[current].append(line)
    return {f"art{n:02d}": " ".join(parts) for n, parts in articles.items()}


def udhr_run(work, args):
    languages = [("en", "english", "eng", Idiomark.ENGLISH), ("es", "spanish", "spa", Idiomark.SPANISH),
                 ("pt", "portuguese", "por_BR", Idiomark.PORTUGUESE)]
    print("\nCross-lingual search, UDHR: MRR@10 of the article asked in another language "
          "(the query: its first twelve words)")
    articles = {code: udhr_articles(member) for code, _, member, _ in languages}
    table = {}
    for code, nltk_name, _, held in languages:
        texts = articles[code]
        docs = compile_documents(os.path.join(work, "udhr", code), texts)
        td = Process(os.path.join(work, "udhr", code, "td"), True, None, Enginekind.TD)
        td.train_docs(docs)
        systems = [("TD tfidf (default)", ranked_with("tfidf", library_search(td, held))),
                   ("TD ranked (bm25)", ranked_with("bm25", library_search(td, held)))]
        if not args.no_sb:
            sb = Process(os.path.join(work, "udhr", code, "sb"), True, None, Enginekind.SB)
            sb.train_docs(docs)
            sb_search = library_search(sb, held)
            systems += [("SB", sb_search), ("fusion ranked+SB (RRF 60)", fused(systems[1][1], sb_search))]
        systems += [("bm25s (1.5, 0.75, Snowball)", bm25s_search(texts, nltk_name)),
                    ("tantivy (Snowball stemmer)", tantivy_search(texts, nltk_name))]
        for other, *_ in languages:
            if other == code:
                continue
            queries = [(" ".join(text.split()[:12]), ident) for ident, text in articles[other].items()
                       if ident in texts]
            for name, run in systems:
                rr = [reciprocal_rank(run(q), {target}) for q, target in queries]
                table.setdefault(name, {})[f"{other}->{code}"] = statistics.mean(rr)
    pairs = [f"{a}->{b}" for a, *_ in languages for b, *_ in languages if a != b]
    print("| system | " + " | ".join(pairs) + " | mean |")
    print("|---|" + "---|" * (len(pairs) + 1))
    for name, row in table.items():
        cells = [row.get(pair, float("nan")) for pair in pairs]
        print(f"| {name:28} | " + " | ".join(f"{c:.3f}" for c in cells) + f" | {statistics.mean(cells):.3f} |")
    return table


# ---- the run -------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--no-sb", action="store_true", help="leave out the embedding engine")
    parser.add_argument("--no-cranfield", action="store_true", help="leave out Cranfield")
    parser.add_argument("--known-item", action="store_true",
                        help="also Spanish and Portuguese known-item search")
    parser.add_argument("--known-items", type=int, default=200, help="queries per language")
    parser.add_argument("--udhr", action="store_true",
                        help="also cross-lingual search over the UDHR's articles")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        if not args.no_cranfield:
            cranfield_run(work, args)
        if args.known_item:
            known_item(work, args)
        if args.udhr:
            udhr_run(work, args)


def cranfield_run(work, args):
    texts, queries, judged = cranfield()
    print(f"Cranfield: {len(texts)} documents with text, {len(queries)} queries, "
          f"{sum(map(len, judged))} judgements (codes 1..4)")
    start = time.perf_counter()
    docs = compile_documents(work, texts)
    print(f"compiled {len(docs)} documents in {time.perf_counter() - start:.0f} s "
          f"(languages: {sorted({str(d.detected_language) for d in docs})})", flush=True)
    td = Process(os.path.join(work, "td"), True, None, Enginekind.TD)
    start = time.perf_counter()
    td.train_docs(docs)
    print(f"term-weighting index: {time.perf_counter() - start:.1f} s", flush=True)
    sb = None
    if not args.no_sb:
        sb = Process(os.path.join(work, "sb"), True, None, Enginekind.SB)
        start = time.perf_counter()
        sb.train_docs(docs)
        print(f"sentence-embedding index: {time.perf_counter() - start:.0f} s", flush=True)

    cosine = ranked_with("tfidf", library_search(td))
    ranked = ranked_with("bm25", library_search(td))
    systems = [("TD tfidf (default)", cosine), ("TD ranked (bm25)", ranked)]
    if sb:
        sb_search = library_search(sb)
        systems += [("SB", sb_search), ("fusion TD+SB (RRF 60)", fused(cosine, sb_search)),
                    ("fusion ranked+SB (RRF 60)", fused(ranked, sb_search))]
    systems += [("bm25s (1.5, 0.75, Snowball)", bm25s_search(texts)),
                ("tantivy (en_stem)", tantivy_search(texts))]
    # Once over before timing: first searches derive indexes and load lists.
    for _, run in systems:
        run(queries[0])
    print()
    header()
    results = {name: measure(name, run, queries, judged) for name, run in systems}

    if sb:
        floor_report(sb, queries, judged)
    return results


def floor_report(sb, queries, judged):
    """What the embedding floor of the command line keeps: hits above it per
    query, and the share of relevant documents among the first 100 kept."""
    floor = 0.15
    saved, sb_module.SCORE_FLOOR = sb_module.SCORE_FLOOR, floor
    try:
        kept, recalled = [], []
        for q, gains in zip(queries, judged):
            hits = sb.search(q, None, 1, TOP)[1]
            kept.append(len(hits))
            recalled.append(recall([h["name"] for h in hits], gains))
    finally:
        sb_module.SCORE_FLOOR = saved
    print(f"\nSB with the floor {floor}: median {statistics.median(kept)} hits kept of {TOP}, "
          f"R@100 {statistics.mean(recalled):.3f}")


if __name__ == "__main__":
    main()
