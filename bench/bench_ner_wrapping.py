"""Named entities on OCR-wrapped text: entity F1 of the installed model on
CoNLL-2002's Spanish test set (esp.testb), on each sentence as it is and on
the same sentence hard-wrapped the way OCR wraps lines, in one run.

    .venv/bin/python bench/bench_ner_wrapping.py [--seed 7] [--limit N]

Each sentence is wrapped at a width drawn from 30-70 characters, starting at
a drawn column of its first line (in running text a sentence seldom starts a
line), with a line feed between lines. Two readers are scored on both texts:
"spaCy alone" (the pipeline called on the text as given, which is what the
recogniser saw before line breaks were joined) and "Namepick" (the library's
call). An entity counts when its surface, with its blanks and line breaks
read as single blanks, and its label match a gold entity of the sentence.
The target: Namepick's F1 on wrapped text within 0.01 of its F1 unwrapped.
The seconds are for both texts; spaCy alone is fed in batches (nlp.pipe),
Namepick one call per sentence as a document would call it.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
import zipfile
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from train_ner import DEFAULT_CORPUS, read_conll, repair_iob  # noqa: E402

from wrapper.infra import Namepick  # noqa: E402

WIDTHS = (30, 70)


def gold_entities(words, tags):
    """(surface, label) of each entity, the surface's words joined by blanks."""
    out, current, label = [], [], None
    for word, tag in zip(words, repair_iob(tags)):
        if tag.startswith("I-") and current:
            current.append(word)
            continue
        if current:
            out.append((" ".join(current), label))
        current, label = ([word], tag[2:]) if tag.startswith("B-") else ([], None)
    if current:
        out.append((" ".join(current), label))
    return out


def wrap(words, rng):
    """The words in lines of at most a drawn width (a longer word has a line
    of its own), the first line shortened by a drawn starting column."""
    width = rng.randint(*WIDTHS)
    room = width - rng.randrange(width // 2)
    lines, line = [], ""
    for word in words:
        if line and len(line) + 1 + len(word) > room:
            lines.append(line)
            line, room = word, width
        else:
            line = f"{line} {word}" if line else word
    lines.append(line)
    return "\n".join(lines)


def score(predicted, gold):
    tp = fp = fn = 0
    for pred, want in zip(predicted, gold):
        p = Counter((" ".join(s.split()), label) for s, label in pred)
        g = Counter(want)
        hit = sum((p & g).values())
        tp, fp, fn = tp + hit, fp + sum(p.values()) - hit, fn + sum(g.values()) - hit
    precision = tp / (tp + fp) if tp + fp else 0.0
    recall = tp / (tp + fn) if tp + fn else 0.0
    return 2 * precision * recall / (precision + recall) if precision + recall else 0.0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--limit", type=int, default=0, help="only the first N sentences")
    args = ap.parse_args()

    with zipfile.ZipFile(args.corpus) as zf:
        name = next(n for n in zf.namelist() if n.endswith("esp.testb"))
        sentences = read_conll(zf.read(name))
    if args.limit:
        sentences = sentences[: args.limit]
    rng = random.Random(args.seed)
    gold = [gold_entities(words, tags) for words, tags in sentences]
    plain = [" ".join(words) for words, _ in sentences]
    wrapped = [wrap(words, rng) for words, _ in sentences]
    # Gold entities that a line break cuts: the ones a recogniser can lose.
    cut = sum(1 for text, ents in zip(wrapped, gold) for surface, _ in ents
              if surface not in text)

    Namepick.extract_named_entities("")  # load the pipeline outside the timing
    model, nlp = Namepick._model

    def spacy_alone(texts):
        return [[(e.text, e.label_) for e in doc.ents] for doc in nlp.pipe(texts)]

    def namepick(texts):
        return [Namepick.extract_named_entities(t) for t in texts]

    print(f"model {model}; {len(sentences)} sentences of esp.testb, "
          f"{sum(map(len, gold))} gold entities, {cut} of them cut by a wrap "
          f"(widths {WIDTHS[0]}-{WIDTHS[1]}, seed {args.seed})")
    print(f"{'reader':<12} {'F1 unwrapped':>13} {'F1 wrapped':>11} {'gap':>7} {'seconds':>8}")
    for label, reader in (("spaCy alone", spacy_alone), ("Namepick", namepick)):
        start = time.perf_counter()
        flat = score(reader(plain), gold)
        folded = score(reader(wrapped), gold)
        seconds = time.perf_counter() - start
        print(f"{label:<12} {flat:>13.4f} {folded:>11.4f} {flat - folded:>7.4f} {seconds:>8.1f}")


if __name__ == "__main__":
    main()
