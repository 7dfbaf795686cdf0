"""Train the offline named-entity model from the Spanish CoNLL-2002 corpus.

The multilingual spaCy model "xx_ent_wiki_sm" is not on PyPI, so this builds
a small statistical stand-in with the same label set (PER, LOC, ORG, MISC):
a CNN tok2vec plus a transition-based NER, trained with spaCy's own loop.

    python tools/train_ner.py --output build/ner_model

reads esp.train (training), esp.testa (model selection) and esp.testb
(held-out report) straight from the corpus zip, writes the pipeline to
--output and prints precision/recall/F on esp.testb as JSON.

The budget is a fixed number of update steps and the seed is fixed (both in
ner.cfg), so a run is repeatable and takes about three minutes on two cores.
tools/install_ner_model.py runs this and packages the result.
"""

from __future__ import annotations

import argparse
import io
import json
import sys
import tempfile
import time
import zipfile
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Where set-up gathers the corpus (tools/fetch_corpora.py: a local mirror when
# there is one, else nltk's own downloader), so a plain clone finds it too.
DEFAULT_CORPUS = HERE.parent / "build" / "corpora" / "conll2002.zip"
SPLITS = {"train": "esp.train", "dev": "esp.testa", "test": "esp.testb"}


def read_conll(raw: bytes) -> list[tuple[list[str], list[str]]]:
    """Sentences as (words, IOB tags); the tag is the last column."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:  # the original distribution is Latin-1
        text = raw.decode("latin-1")
    sentences, words, tags = [], [], []
    for line in io.StringIO(text):
        fields = line.split()
        if not fields or fields[0] == "-DOCSTART-":
            if words:
                sentences.append((words, tags))
            words, tags = [], []
            continue
        words.append(fields[0])
        tags.append(fields[-1])
    if words:
        sentences.append((words, tags))
    return sentences


def repair_iob(tags: list[str]) -> list[str]:
    """Turn an I- tag that continues no entity of its type into B-.

    The corpus has a few of these; spaCy would accept them, but silently
    guessing is worse than stating the rule once.
    """
    fixed, prev = [], "O"
    for tag in tags:
        if tag.startswith("I-") and prev[2:] != tag[2:]:
            tag = "B-" + tag[2:]
        fixed.append(tag)
        prev = tag
    return fixed


def make_docs(nlp, sentences):
    from spacy.tokens import Doc

    return [
        Doc(nlp.vocab, words=words, ents=repair_iob(tags))
        for words, tags in sentences
    ]


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

    def prf(t, f_p, f_n):
        p = t / (t + f_p) if t + f_p else 0.0
        r = t / (t + f_n) if t + f_n else 0.0
        f = 2 * p * r / (p + r) if p + r else 0.0
        return {"p": round(p, 4), "r": round(r, 4), "f": round(f, 4)}

    labels = sorted(set(tp) | set(fp) | set(fn))
    result = {"all": prf(sum(tp.values()), sum(fp.values()), sum(fn.values()))}
    for label in labels:
        result[label] = prf(tp[label], fp[label], fn[label])
    return result


def load_splits(corpus: Path) -> dict[str, list]:
    with zipfile.ZipFile(corpus) as zf:
        members = {Path(n).name: n for n in zf.namelist()}
        return {
            split: read_conll(zf.read(members[name]))
            for split, name in SPLITS.items()
        }


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    ap.add_argument("--config", type=Path, default=HERE / "ner.cfg")
    ap.add_argument("--output", type=Path, required=True,
                    help="directory that receives the trained pipeline")
    ap.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                    help="config override, e.g. training.max_epochs=3")
    ap.add_argument("--evaluate-only", metavar="PIPELINE",
                    help="score an installed or saved pipeline on esp.testb "
                         "and exit")
    args = ap.parse_args(argv)

    import spacy
    from spacy.cli.train import train
    from spacy.tokens import DocBin

    splits = load_splits(args.corpus)
    blank = spacy.blank("xx")
    gold = {split: make_docs(blank, sents) for split, sents in splits.items()}

    if args.evaluate_only:
        nlp = spacy.load(args.evaluate_only)
        print(json.dumps(span_scores(nlp, gold["test"]), indent=1))
        return 0

    overrides = {}
    for item in args.set:
        key, sep, value = item.partition("=")
        if not sep:
            ap.error(f"--set needs KEY=VALUE, got {item!r}")
        try:
            overrides[key] = json.loads(value)
        except json.JSONDecodeError:
            overrides[key] = value

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        for split in ("train", "dev"):
            DocBin(docs=gold[split]).to_disk(tmp / f"{split}.spacy")
        overrides.update({
            "paths.train": str(tmp / "train.spacy"),
            "paths.dev": str(tmp / "dev.spacy"),
        })
        start = time.perf_counter()
        train(args.config, tmp / "out", overrides=overrides)
        seconds = time.perf_counter() - start
        # The checkpoint that scored best on esp.testa.
        nlp = spacy.load(tmp / "out" / "model-best")

    scores = span_scores(nlp, gold["test"])
    held_out = scores["all"]
    nlp.meta["description"] = (
        "Named entities (PER, LOC, ORG, MISC) for the wrapper library's "
        "offline use: CNN tok2vec and transition-based NER trained on "
        "CoNLL-2002 Spanish. Held-out esp.testb: P {p:.2f} R {r:.2f} F {f:.2f}."
        .format(**held_out))
    nlp.meta["sources"] = [{
        "name": "CoNLL-2002 shared task, Spanish (EFE news, May 2000)",
        "url": "https://www.clips.uantwerpen.be/conll2002/ner/",
    }]
    # Only what inference needs: the pipeline directory.
    args.output.parent.mkdir(parents=True, exist_ok=True)
    nlp.to_disk(args.output)
    size = sum(f.stat().st_size for f in args.output.rglob("*") if f.is_file())
    print(json.dumps({"train_seconds": round(seconds, 1),
                      "size_bytes": size,
                      "test": scores}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
