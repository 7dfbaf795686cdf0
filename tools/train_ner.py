"""Train the offline named-entity model on freely licensed corpora.

The multilingual spaCy model "xx_ent_wiki_sm" is not on PyPI, so this builds
a small statistical stand-in with the same label set (PER, LOC, ORG, MISC):
a CNN tok2vec plus a transition-based NER, trained with spaCy's own loop on
English and Portuguese corpora whose licences let anyone use the model (see
SETS below and the README), with names swapped in from lists and a table of
word facts in the vectors (tools/ner_names.py); Spanish is left to what the
model learns across languages, unless --spanish conll2002 adds CoNLL-2002's
Spanish training file, whose licence allows research use within the shared
task only.

    python tools/train_ner.py --ner-dir build/corpora/ner --output build/ner_model

reads the sets from --ner-dir (tools/fetch_corpora.py puts them there), holds
a few hundred sentences out for choosing the checkpoint, writes the pipeline
to --output and prints its scores on them as JSON. bench/bench_ner.py scores
it on the evaluation sets.

The budget is a fixed number of update steps and the seed is fixed (both in
ner.cfg), so a run is repeatable and takes about the same time on any
machine of a kind. tools/install_ner_model.py runs this and packages the
result.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import ner_corpora as nc  # noqa: E402
import ner_names  # noqa: E402
from ner_corpora import repair_iob  # noqa: E402,F401  (the benchmarks' import)

# Where set-up gathers the corpora (tools/fetch_corpora.py: a local mirror
# when there is one, else their public addresses), so a plain clone finds
# them too.
DEFAULT_CORPUS = HERE.parent / "build" / "corpora" / "conll2002.zip"
DEFAULT_NER_DIR = HERE.parent / "build" / "corpora" / "ner"

# What the model is trained on: set -> (at most this many sentences, drawn
# with the seed; None for all, licence, public home). LeNER-Br is court
# rulings and laws, far from most documents, so a share of it does; the
# tweets are kept whole: they are where informal capitalisation is seen.
SETS = {
    "uner-en": (None, "CC BY-SA 4.0", "https://github.com/UniversalNER/UNER_English-EWT",
                "Universal NER, English Web Treebank (train, early version, and dev)"),
    "btc": (None, "CC BY 4.0", "https://github.com/GateNLP/broad_twitter_corpus",
            "Broad Twitter Corpus"),
    "wnut17": (None, "CC BY 4.0", "https://noisy-text.github.io/2017/emerging-rare-entities.html",
               "WNUT-17 Emerging and Rare Entities (train and dev)"),
    "uner-pt": (None, "CC BY-SA 4.0", "https://github.com/UniversalNER/UNER_Portuguese-Bosque",
                "Universal NER, Portuguese Bosque (train and dev)"),
    "lener-br": (4000, "MIT", "https://github.com/peluz/lener-br",
                 "LeNER-Br, Brazilian legal texts (train and dev)"),
}
CONLL2002 = ("CoNLL-2002 shared task, Spanish (EFE news, May 2000): esp.train",
             "research use within the CoNLL-2002 shared task only; no commercial use",
             "https://www.clips.uantwerpen.be/conll2002/ner/")
# Sentences of each language held out to choose the checkpoint by.
HELD_OUT = 400
# Share of each language's sentences copied with a capitalised common word
# put in front (ner_corpora.with_openers).
OPENER_SHARE = 0.2
# Share of each language's sentences that name something copied with the
# names swapped for others of the same label (ner_names); 0 leaves them out.
NAMES_SHARE = 0.3
# Whose names (and capitalised common words put in front) each language's
# copies draw from: Portuguese sentences lend their frames to Spanish words
# too, the nearest thing to Spanish text.
NAME_POOLS = {"en": ("en",), "pt": ("pt", "es"), "es": ("es",)}


def read_conll(raw: bytes) -> list[tuple[list[str], list[str]]]:
    """Sentences as (words, IOB tags) of a CoNLL file's bytes; the tag is
    the last column."""
    return [(words, tags) for words, _, tags in nc.read_conll(nc.decode(raw))]


def span_scores(nlp, gold_docs) -> dict:
    """Exact-match entity scores on character offsets, per label and overall.

    Offsets rather than tokens, so the score does not depend on how the
    pipeline's tokenizer splits the gold tokens: an entity counts only if its
    surface text and label are both right.
    """
    tp, fp, fn = Counter(), Counter(), Counter()
    texts = [doc.text for doc in gold_docs]
    for gold, pred in zip(gold_docs, nlp.pipe(texts, batch_size=256)):
        g = {(e.start_char, e.end_char, e.label_) for e in gold.ents}
        p = {(e.start_char, e.end_char, e.label_) for e in pred.ents}
        for _, _, label in p & g:
            tp[label] += 1
        for _, _, label in p - g:
            fp[label] += 1
        for _, _, label in g - p:
            fn[label] += 1
    return prf_table(tp, fp, fn)


def prf(t, f_p, f_n):
    p = t / (t + f_p) if t + f_p else 0.0
    r = t / (t + f_n) if t + f_n else 0.0
    f = 2 * p * r / (p + r) if p + r else 0.0
    return {"p": round(p, 4), "r": round(r, 4), "f": round(f, 4)}


def prf_table(tp: Counter, fp: Counter, fn: Counter) -> dict:
    labels = sorted(set(tp) | set(fp) | set(fn))
    result = {"all": prf(sum(tp.values()), sum(fp.values()), sum(fn.values()))}
    for label in labels:
        result[label] = prf(tp[label], fp[label], fn[label])
    return result


def name_pools(languages, seed: int) -> dict[str, dict[str, list[str]]]:
    lists = ner_names.gather(sorted({s for lang in languages for s in NAME_POOLS[lang]}), seed)
    pools = {}
    for language in languages:
        pool: dict[str, list[str]] = {}
        for source in NAME_POOLS[language]:
            for label, names in lists[source].items():
                pool.setdefault(label, []).extend(names)
        pools[language] = pool
    return pools


def gather(ner_dir: Path, corpus: Path, spanish: str, seed: int,
           names_share: float = NAMES_SHARE, sets=None):
    """(training sentences, held-out sentences, what was used) by language;
    the last as spaCy's package metadata takes it (strings only)."""
    rng = random.Random(seed)
    demonyms = ner_names.demonyms()
    by_language: dict[str, list] = {}
    used = []
    for name, (cap, licence, url, title) in SETS.items():
        if sets is not None and name not in sets:
            continue
        language = nc.TRAINING[name][0]
        sentences = nc.read_set(ner_dir, name)
        if language == "en":
            sentences = nc.with_demonyms_as_misc(sentences, demonyms)
        if cap is not None and len(sentences) > cap:
            sentences = rng.sample(sentences, cap)
        by_language.setdefault(language, []).extend(sentences)
        used.append({"name": title, "set": name, "language": language, "licence": licence,
                     "url": url, "sentences": str(len(sentences))})
    if spanish == "conll2002":
        sentences = nc.read_conll2002(corpus, "esp.train")
        by_language["es"] = sentences
        used.append({"name": CONLL2002[0], "set": "conll2002-es", "language": "es",
                     "licence": CONLL2002[1], "url": CONLL2002[2], "sentences": str(len(sentences))})
    pools = name_pools(by_language, seed) if names_share > 0 else {}
    train, held = [], []
    for language, sentences in by_language.items():
        rng.shuffle(sentences)
        held.extend(sentences[:HELD_OUT])
        kept = sentences[HELD_OUT:]
        train.extend(kept)
        train.extend(nc.with_openers(kept, NAME_POOLS[language], OPENER_SHARE, rng))
        if pools:
            train.extend(nc.with_names(kept, pools[language], names_share, rng))
    rng.shuffle(train)
    return train, held, used


def make_docs(nlp, sentences):
    from spacy.tokens import Doc

    return [Doc(nlp.vocab, words=words, spaces=spaces, ents=repair_iob(tags))
            for words, spaces, tags in sentences]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ner-dir", type=Path, default=DEFAULT_NER_DIR,
                    help="the named-entity sets, as tools/fetch_corpora.py lays them out")
    ap.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS,
                    help="the CoNLL-2002 zip (read only with --spanish conll2002)")
    ap.add_argument("--spanish", choices=("none", "conll2002"), default="none",
                    help="conll2002 adds esp.train (research use only); none leaves "
                         "Spanish to the other languages (default)")
    ap.add_argument("--names-share", type=float, default=NAMES_SHARE,
                    help="share of sentences also learnt with their names swapped "
                         f"(default {NAMES_SHARE}; 0 for none)")
    ap.add_argument("--sets", help="comma-separated training sets to use (default: all of "
                    + ", ".join(SETS) + ")")
    ap.add_argument("--config", type=Path, default=HERE / "ner.cfg")
    ap.add_argument("--output", type=Path, required=True,
                    help="directory that receives the trained pipeline")
    ap.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                    help="config override, e.g. training.max_steps=500")
    args = ap.parse_args(argv)

    import spacy
    from spacy.cli.train import train
    from spacy.tokens import DocBin

    overrides = {}
    for item in args.set:
        key, sep, value = item.partition("=")
        if not sep:
            ap.error(f"--set needs KEY=VALUE, got {item!r}")
        try:
            overrides[key] = json.loads(value)
        except json.JSONDecodeError:
            overrides[key] = value
    seed = int(overrides.get("system.seed", 0))

    train_sents, held_sents, used = gather(args.ner_dir, args.corpus, args.spanish, seed,
                                         args.names_share,
                                         args.sets.split(",") if args.sets else None)
    blank = spacy.blank("xx")
    held_docs = make_docs(blank, held_sents)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        DocBin(docs=make_docs(blank, train_sents)).to_disk(tmp / "train.spacy")
        DocBin(docs=held_docs).to_disk(tmp / "dev.spacy")
        overrides.update({
            "paths.train": str(tmp / "train.spacy"),
            "paths.dev": str(tmp / "dev.spacy"),
        })
        # The word facts, unless another table is given (or null, for none).
        names_used = args.names_share > 0
        if "paths.vectors" not in overrides:
            words = ner_names.feature_vectors(tmp / "facts", seed)
            print(f"word facts: {words} words", file=sys.stderr)
            overrides["paths.vectors"] = str(tmp / "facts")
            names_used = True
        start = time.perf_counter()
        train(args.config, tmp / "out", overrides=overrides)
        seconds = time.perf_counter() - start
        # The checkpoint that scored best on the held-out sentences.
        nlp = spacy.load(tmp / "out" / "model-best")

    scores = span_scores(nlp, held_docs)
    held_out = scores["all"]
    names = ", ".join(f"{u['name']} ({u['licence']})" for u in used)
    nlp.meta["description"] = (
        "Named entities (PER, LOC, ORG, MISC) for the wrapper library's offline use: "
        f"CNN tok2vec and transition-based NER trained on {names}"
        + (", with names and word facts from GeoNames, the CLDR, Faker and Debian's word "
           "lists. " if names_used else ". ") +
        "Held-out sentences of those sets: P {p:.2f} R {r:.2f} F {f:.2f}.".format(**held_out))
    if names_used:
        used.extend(ner_names.SOURCES)
    nlp.meta["sources"] = used
    nlp.meta["train_seconds"] = round(seconds, 1)
    # What a user of the model must honour: the attribution (and share-alike)
    # of the sets above, and with CoNLL-2002 its research-only terms.
    nlp.meta["license"] = (
        "research use only, no commercial use (trained on CoNLL-2002 Spanish)"
        if args.spanish == "conll2002" else
        "trained on CC BY-SA 4.0, CC BY 4.0 and MIT data"
        + (" and lists under the Unicode, LGPL or MPL licences or in the public domain"
           if names_used else "") + ": credit the sources")
    # Only what inference needs: the pipeline directory.
    args.output.parent.mkdir(parents=True, exist_ok=True)
    nlp.to_disk(args.output)
    size = sum(f.stat().st_size for f in args.output.rglob("*") if f.is_file())
    print(json.dumps({"train_seconds": round(seconds, 1),
                      "size_bytes": size,
                      "sentences": len(train_sents),
                      "held_out": scores}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
