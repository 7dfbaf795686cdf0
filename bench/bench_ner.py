"""Named entities: the installed offline model against today's, in one run.

    .venv/bin/python bench/bench_ner.py [--baseline DIR] [--model NAME_OR_DIR] [--limit N]

Both models are called the way the library calls them
(Namepick.extract_named_entities, one call per sentence or document) on
human-annotated text neither was trained on:

  en  wikigold (Wikipedia)                      goal F1 >= 0.70
  es  CoNLL-2002 esp.testb (news)               goal F1 >= 0.75
  pt  MiniHAREM (news, web, literature...)      goal F1 >= 0.65
  pt  LeNER-Br test (court rulings, laws)       no goal: a second look
  en  Universal NER English EWT test (web)      the new model's own domain
  pt  Universal NER Portuguese Bosque test      the new model's own domain

Scores are exact span and label, micro-averaged: each entity the library
returns is placed in the text (its words in order, blanks read as blanks),
and counts only when its start, end and label are a gold entity's. Figures
are given over all four labels, per label, and over PER, LOC and ORG alone
(MISC is the least comparable between corpora). MiniHAREM's dates and
values are neither gold nor held against a prediction over them.

"Stopwords" is the share of returned entities that are one capitalised
stopword (nltk's list for the set's language) or month name: "The", "Mas",
"June" taken for names. Target: under 1%.

Time: milliseconds per 1,000 words of recognition, on documents of about
300 words made of consecutive sentences of the sets, each model's best of
three rounds, the models taking turns: today's model with thinc's BLIS, as
the library ran it when the goal was set, against the new one as the
library runs it now (numpy's BLAS), and each the other way; and the
seconds each model's training took (from its metadata; the baseline's when
this run trained it).

Today's model is the recipe of commit BASELINE_COMMIT (CoNLL-2002 Spanish
only), trained once into build/bench-ner/ from that commit's own script and
config (about three minutes), then reused.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
import fetch_corpora  # noqa: E402
import ner_corpora as nc  # noqa: E402
import ner_names  # noqa: E402
from train_ner import DEFAULT_CORPUS, prf, prf_table  # noqa: E402

BASELINE_COMMIT = "a4a44b1"
CORPORA = ROOT / "build" / "corpora"
MONTHS = {
    "en": "january february march april may june july august september october november "
          "december",
    "es": "enero febrero marzo abril mayo junio julio agosto septiembre setiembre octubre "
          "noviembre diciembre",
    "pt": "janeiro fevereiro março abril maio junho julho agosto setembro outubro novembro "
          "dezembro",
}
GOALS = {"wikigold": 0.70, "esp.testb": 0.75, "miniharem": 0.65}


# --- the evaluation sets -------------------------------------------------------

def sentences_as_items(sentences):
    """(text, gold spans, ignored spans) of each sentence."""
    return [(nc.sentence_text(w, s), nc.gold_spans(w, s, t), []) for w, s, t in sentences]


def evaluation_sets(limit: int | None):
    mirror = os.environ.get("WRAPPER_NER")
    mirror = Path(mirror) if mirror else None

    def ner_file(name, file):
        try:
            folder, _ = fetch_corpora.fetch_ner(name, CORPORA, mirror, evaluation=True)
        except fetch_corpora.Failure as failure:
            sys.exit(f"corpus missing: {failure}")
        return folder / file

    try:
        conll, _ = fetch_corpora.fetch("conll2002", CORPORA)
    except fetch_corpora.Failure as failure:
        sys.exit(f"corpus missing: {failure}")
    sets = {
        "wikigold": ("en", sentences_as_items(nc.read_wikigold(
            ner_file("wikigold", "wikigold.conll.txt")))),
        "esp.testb": ("es", sentences_as_items(nc.read_conll2002(conll, "esp.testb"))),
        "miniharem": ("pt", [(d["text"], d["ents"], d["ignored"]) for d in nc.read_miniharem(
            ner_file("miniharem", "MiniHAREM-total.json"))]),
        "lener-br test": ("pt", sentences_as_items(nc.read_conll(nc.decode(
            ner_file("lener-br", "test.conll").read_bytes()), nc.LENER))),
        # The test files of the main training sets: how far the new model
        # gets on text like what it learnt from.
        "uner-en test": ("en", sentences_as_items(nc.read_uner(nc.decode(
            ner_file("uner-en", "en_ewt-ud-test.iob2").read_bytes())))),
        "uner-pt test": ("pt", sentences_as_items(nc.read_uner(nc.decode(
            ner_file("uner-pt", "pt_bosque-ud-test.iob2").read_bytes()), portuguese=True))),
    }
    if limit:
        sets = {k: (lang, items[:limit]) for k, (lang, items) in sets.items()}
    return sets


# --- placing what the library returns -------------------------------------------

def squeezed(text: str):
    """The text with every run of blanks read as one blank, and for each of
    its characters the offset it came from."""
    chars, where, blank = [], [], False
    for i, c in enumerate(text):
        if c.isspace():
            if not blank and chars:
                chars.append(" ")
                where.append(i)
            blank = True
            continue
        blank = False
        chars.append(c)
        where.append(i)
    return "".join(chars), where


def place(text: str, pairs):
    """(start, end, label) of each returned entity, found in text order; an
    entity that cannot be found gets a span no gold entity has."""
    flat, where = squeezed(text)
    spans, cursor = [], 0
    for surface, label in pairs:
        needle, _ = squeezed(surface.strip())
        at = flat.find(needle, cursor) if needle else -1
        if at < 0:
            spans.append((-1 - len(spans), -1, label))
            continue
        spans.append((where[at], where[at + len(needle) - 1] + 1, label))
        cursor = at + len(needle)
    return spans


def stopwords_of(language: str) -> set[str]:
    from nltk.corpus import stopwords

    words = stopwords.words(ner_names.NLTK_LANGUAGES[language])
    return set(words) | set(MONTHS[language].split())


def is_function_word(surface: str, words: set[str]) -> bool:
    return (" " not in surface.strip() and surface[:1].isupper()
            and surface.strip().lower() in words)


def score(extract, language, items):
    """Counts per label over all items, the PER+LOC+ORG figure and the
    function-word share."""
    tp, fp, fn = Counter(), Counter(), Counter()
    words = stopwords_of(language)
    returned = function = 0
    examples = Counter()
    for text, gold, ignored in items:
        pairs = extract(text)
        returned += len(pairs)
        for surface, label in pairs:
            if is_function_word(surface, words):
                function += 1
                examples[f"{surface.strip()} {label}"] += 1
        pred = set(place(text, pairs))
        gold = set(gold)
        for s, e, label in pred:
            if (s, e, label) in gold:
                tp[label] += 1
            elif not any(s < ie and is_ < e for is_, ie in ignored):
                fp[label] += 1
        for span in gold - pred:
            fn[span[2]] += 1
    table = prf_table(tp, fp, fn)
    core = ("PER", "LOC", "ORG")
    table["PER+LOC+ORG"] = prf(sum(tp[k] for k in core), sum(fp[k] for k in core),
                               sum(fn[k] for k in core))
    table["stopwords"] = {"share": function / returned if returned else 0.0,
                          "count": function, "returned": returned,
                          "top": examples.most_common(6)}
    return table


# --- the models ------------------------------------------------------------------

def baseline_model(path: Path | None) -> tuple[Path, float | None]:
    """Today's model: the given directory, else the one trained earlier into
    build/bench-ner, else trained now from BASELINE_COMMIT's recipe."""
    if path is not None:
        return path, None
    target = ROOT / "build" / "bench-ner" / f"baseline-{BASELINE_COMMIT}"
    seconds_file = target.with_suffix(".seconds")
    if (target / "meta.json").is_file():
        seconds = float(seconds_file.read_text()) if seconds_file.is_file() else None
        return target, seconds
    print(f"training today's model from commit {BASELINE_COMMIT} (a few minutes)...",
          file=sys.stderr)
    try:
        conll, _ = fetch_corpora.fetch("conll2002", CORPORA)
    except fetch_corpora.Failure as failure:
        sys.exit(f"corpus missing: {failure}")
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("train_ner.py", "ner.cfg"):
            blob = subprocess.run(["git", "-C", str(ROOT), "show", f"{BASELINE_COMMIT}:tools/{name}"],
                                  check=True, capture_output=True).stdout
            (Path(tmp) / name).write_bytes(blob)
        partial = target.with_name(target.name + ".partial")
        start = time.perf_counter()
        out = subprocess.run([sys.executable, str(Path(tmp) / "train_ner.py"), "--corpus",
                              str(conll), "--output", str(partial)],
                             capture_output=True, text=True)
        seconds = time.perf_counter() - start
        if out.returncode != 0:
            sys.exit(f"training today's model failed:\n{out.stdout[-2000:]}{out.stderr[-2000:]}")
    partial.rename(target)
    seconds_file.write_text(f"{seconds:.1f}\n")
    return target, seconds


_loaded_as = [None]


def extractor(model, drop: bool, numpy_matmul: bool = True):
    """Namepick's call with its offline model set to model (a package name or
    a directory), the public model out of the way, function words dropped or
    not, and the pipeline's matrices multiplied by numpy's BLAS (what the
    library does now) or by thinc's BLIS (spaCy's default, what the library
    did when the goal was set)."""
    from wrapper.infra import Namepick

    def extract(text):
        Namepick.SPACY_MODEL = "xx_no_public_model_in_this_bench"
        Namepick.OFFLINE_MODEL = str(model)
        Namepick.DROP_FUNCTION_WORDS = drop
        Namepick.NUMPY_MATMUL = numpy_matmul
        if _loaded_as[0] != (str(model), numpy_matmul):
            Namepick._model = None  # the module keeps one pipeline, by name only
            _loaded_as[0] = (str(model), numpy_matmul)
        return Namepick.extract_named_entities(text)

    return extract


def documents(sets, words_each=300):
    """Consecutive sentences of every set joined into documents of about
    words_each words."""
    docs, current, count = [], [], 0
    for _, items in sets.values():
        for text, _, _ in items:
            current.append(text)
            count += len(text.split())
            if count >= words_each:
                docs.append(" ".join(current))
                current, count = [], 0
    return docs


def timing(models: dict, docs: list[str], rounds: int = 3) -> dict:
    words = sum(len(d.split()) for d in docs)
    best = {name: float("inf") for name in models}
    for _ in range(rounds):
        for name, extract in models.items():
            extract(docs[0])  # loaded before the clock starts
            start = time.perf_counter()
            for doc in docs:
                extract(doc)
            best[name] = min(best[name], time.perf_counter() - start)
    return {name: {"ms_per_1000_words": 1000 * t / words * 1000,
                   "ms_per_document": 1000 * t / len(docs)} for name, t in best.items()}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--model", default="xx_wrapper_ner",
                    help="the model to measure: an installed package or a directory")
    ap.add_argument("--baseline", type=Path,
                    help="today's model as a directory (default: trained from "
                         f"commit {BASELINE_COMMIT} into build/bench-ner once)")
    ap.add_argument("--limit", type=int, help="first N sentences or documents of each set")
    ap.add_argument("--time-documents", type=int, default=60,
                    help="documents of about 300 words timed per model (default 60)")
    ap.add_argument("--json", type=Path, help="also write every figure here")
    args = ap.parse_args(argv)

    import spacy

    sets = evaluation_sets(args.limit)
    base_path, base_seconds = baseline_model(args.baseline)
    # Today's model as today's library calls it (nothing dropped); the new
    # one as the library calls it now, and without the function-word filter
    # to show what the model alone does.
    models = {"today": extractor(base_path, False), "new": extractor(args.model, True),
              "unfiltered": extractor(args.model, False)}
    meta = spacy.load(args.model).meta

    results = {"model": args.model, "version": meta.get("version"), "sets": {}}
    for set_name, (language, items) in sets.items():
        results["sets"][set_name] = {name: score(extract, language, items)
                                     for name, extract in models.items()}

    print(f"model: {args.model} {meta.get('version')} against today's ({base_path.name})")
    print(f"trained on: {', '.join(s['set'] for s in meta.get('sources', []))}\n")
    print(f"{'set':<14} {'lang':<4} {'label':<12} {'today P/R/F':>20} {'new P/R/F':>20}  goal")
    for set_name, (language, _) in sets.items():
        both = results["sets"][set_name]
        labels = ["all", "PER+LOC+ORG"] + [k for k in ("PER", "LOC", "ORG", "MISC")
                                          if k in both["new"] or k in both["today"]]
        for label in labels:
            cells = []
            for name in ("today", "new"):
                v = both[name].get(label, {"p": 0, "r": 0, "f": 0})
                cells.append(f"{v['p']:.3f}/{v['r']:.3f}/{v['f']:.3f}")
            goal = GOALS.get(set_name) if label == "all" else None
            mark = "" if goal is None else (f">= {goal:.2f} " +
                                            ("met" if both["new"]["all"]["f"] >= goal else "NOT met"))
            print(f"{set_name:<14} {language:<4} {label:<12} {cells[0]:>20} {cells[1]:>20}  {mark}")
        raw = both["unfiltered"]
        print(f"{'':<14} {'':<4} {'new without the function-word filter':<33} "
              f"F {raw['all']['f']:.3f}, PER+LOC+ORG {raw['PER+LOC+ORG']['f']:.3f}")
        for name in ("today", "unfiltered", "new"):
            sw = both[name]["stopwords"]
            top = ", ".join(f"{k} x{n}" for k, n in sw["top"])
            print(f"{'':<14} {'':<4} stopwords {name:>10}: {100 * sw['share']:.2f}% "
                  f"({sw['count']} of {sw['returned']}){': ' + top if top else ''}")
        print()
    for name in ("today", "unfiltered", "new"):
        count = sum(results["sets"][s][name]["stopwords"]["count"] for s in sets)
        returned = sum(results["sets"][s][name]["stopwords"]["returned"] for s in sets)
        print(f"stopwords or months, all sets, {name}: {100 * count / max(returned, 1):.2f}% "
              f"({count} of {returned})")

    docs = documents(sets)[:args.time_documents]
    # Today's model as the library called it when the goal was set (thinc's
    # BLIS), the new one as it calls it now (numpy's BLAS), and each the
    # other way, to tell the model's cost from the library's.
    timed = {"today": extractor(base_path, False, numpy_matmul=False),
             "new": models["new"],
             "today, numpy": extractor(base_path, False),
             "new, BLIS": extractor(args.model, True, numpy_matmul=False)}
    times = timing(timed, docs)
    results["time"] = times
    print(f"\nrecognition, {len(docs)} documents of ~300 words (best of 3):")
    for name in timed:
        t = times[name]
        print(f"  {name:<13} {t['ms_per_1000_words']:7.1f} ms per 1,000 words, "
              f"{t['ms_per_document']:6.1f} ms per document")
    per_word = {name: t["ms_per_1000_words"] for name, t in times.items()}
    print(f"  new/today: {per_word['new'] / per_word['today']:.2f} "
          f"(the models alike: {per_word['new, BLIS'] / per_word['today']:.2f} with BLIS, "
          f"{per_word['new'] / per_word['today, numpy']:.2f} with numpy)")
    print("training: today "
          + (f"{base_seconds:.0f} s" if base_seconds else "(not timed in this run)")
          + ", new " + (f"{meta['train_seconds']:.0f} s" if meta.get("train_seconds") else "(unknown)"))
    if args.json:
        args.json.write_text(json.dumps(results, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
