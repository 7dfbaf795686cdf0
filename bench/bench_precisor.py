"""Abstract and keyword extraction time: our summarize and keywords against the
`summa` package (the TextRank peer that installs on current interpreters) on
Portuguese news text of 1,000, 5,000 and 20,000 words, in one run. Prints the
seconds per call, the ratio, and how time grows with the text.

    .venv/bin/python bench/bench_precisor.py            # peer up to 5,000 words
    .venv/bin/python bench/bench_precisor.py --peer-all # peer at 20,000 too (minutes)

The text is made of the raw sentences of the Floresta treebank (corpora.py).

summa is published as an sdist only, so set-up does not install it; install
it by hand first (it builds with setuptools and wheel):

    .venv/bin/python -m pip install wheel summa==1.2.0
"""

import argparse
import logging
import re
import time
import zipfile

from corpora import corpus_zip  # noqa: E402

try:
    from summa import keywords as summa_keywords
    from summa import summarizer as summa_summarizer
except ImportError:
    raise SystemExit("bench_precisor needs the peer package summa: "
                     ".venv/bin/python -m pip install wheel summa==1.2.0")

from wrapper.infra import Precisor

SIZES = (1_000, 5_000, 20_000)


def floresta_text(words):
    raw = zipfile.ZipFile(corpus_zip("floresta")).read("floresta/Floresta_7.4.ptb")
    out, count = [], 0
    for m in re.finditer(r"^#\d+ \S+ (.*)$", raw.decode("latin-1"), re.M):
        sentence = m.group(1).strip()
        out.append(sentence + (" " if sentence[-1:] in ".!?" else "\n"))
        count += len(sentence.split())
        if count >= words:
            break
    return "".join(out)


def best_of(fn, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--peer-all", action="store_true", help="also time summa at 20,000 words")
    args = parser.parse_args()
    logging.disable(logging.WARNING)  # summa and ours warn about short texts

    calls = {
        "summarize": (
            lambda t: Precisor.summarize(t, ratio=0.2, split=True, language="portuguese"),
            lambda t: summa_summarizer.summarize(t, ratio=0.2, split=True, language="portuguese"),
        ),
        "keywords": (
            lambda t: Precisor.keywords(t, words=10, lemmatize=True, language="portuguese"),
            lambda t: summa_keywords.keywords(t, words=10, language="portuguese"),
        ),
    }
    print(f"{'call':10} {'words':>7} {'ours s':>9} {'summa s':>9} {'summa/ours':>11}")
    ours_by_size = {}
    for size in SIZES:
        text = floresta_text(size)
        for name, (ours, peer) in calls.items():
            ours_s = best_of(lambda: ours(text), 3)
            ours_by_size[name, size] = ours_s
            if size < max(SIZES) or args.peer_all:
                peer_s = best_of(lambda: peer(text), 1)
                print(f"{name:10} {size:7,} {ours_s:9.4f} {peer_s:9.3f} {peer_s / ours_s:10.0f}x")
            else:
                print(f"{name:10} {size:7,} {ours_s:9.4f} {'(skipped)':>9}")
    print("growth of our time, per 5x and 4x more words:")
    for name in calls:
        small, mid, big = (ours_by_size[name, s] for s in SIZES)
        print(f"  {name:10} 1k->5k: {mid / small:5.1f}x   5k->20k: {big / mid:5.1f}x")


if __name__ == "__main__":
    main()
