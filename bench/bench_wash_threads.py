"""Text cleaning from two host threads at once against one thread alone.

The character work on long texts runs with the GIL released. With accents
kept (no lower-casing, no NFD) that is nearly all of normalize_text, so two
threads should clean close to twice as many texts per second as one on a
machine with two free cores; with accents dropped, the host's own lower()
and unicodedata.normalize (which hold the GIL) take most of the time and
bound the gain. Prints texts per second for each and the ratio; the
baseline is measured in the same run.

    .venv/bin/python bench/bench_wash_threads.py [--chars 400000] [--texts 24]
"""

import argparse
import random
import threading
import time

from wrapper.infra import Wordwash

WORDS = ("vulcão cinza lava aldeias encosta norte rio três dias século silêncio "
         "volcán ceniza ladera pueblos días volcano ash villages slope river, "
         "«árvore»; naïve café. über-straße! 1ª ção—ñandú").split()


def make_text(chars, seed):
    rng = random.Random(seed)
    out, size = [], 0
    while size < chars:
        word = rng.choice(WORDS)
        out.append(word)
        size += len(word) + 1
    return " ".join(out)


def clean(texts, drop_accents):
    for text in texts:
        Wordwash.normalize_text(text, drop_accents, drop_accents)


def rate(texts, threads, drop_accents):
    shares = [texts[i::threads] for i in range(threads)]
    workers = [threading.Thread(target=clean, args=(share, drop_accents)) for share in shares]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return len(texts) / (time.perf_counter() - start)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--chars", type=int, default=400_000)
    ap.add_argument("--texts", type=int, default=24)
    args = ap.parse_args()
    texts = [make_text(args.chars, seed) for seed in range(args.texts)]
    clean(texts[:2], True)  # character tables built, marks looked up
    print(f"normalize_text, {args.texts} texts of {args.chars} characters")
    for drop_accents in (False, True):
        one = rate(texts, 1, drop_accents)
        two = rate(texts, 2, drop_accents)
        print(f"  accents {'dropped' if drop_accents else 'kept   '}: one thread {one:7.1f} "
              f"texts/s, two threads {two:7.1f} texts/s, ratio {two / one:.2f}x")


if __name__ == "__main__":
    main()
