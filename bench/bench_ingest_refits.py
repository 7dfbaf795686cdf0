"""What the writes of a large `wrapper index` run cost: a prepared corpus
(files hold their cleaned text; a stand-in compiles each in `--delay`
seconds in the worker processes: a slow compilation, yet far quicker than
real OCR, which takes seconds a page) filed through the command line's path
with --jobs 2. Prints the time spent in the index's
writes (refit and write, on the filing thread) as a share of the run, and
how it grows from the smaller size to the larger one.
Targets: under 5% of the run; growth linear in the documents (the ratio of
write times close to the ratio of sizes, not its square).

    python bench/bench_ingest_refits.py [--sizes 5000 20000] [--delay 0.05] [--engine td]
"""

import argparse
import contextlib
import io
import os
import pathlib
import sys
import tempfile
import time
import types

from td_corpus import Corpus
from wrapper import Console
from wrapper.Process import Process

DELAY = 0.05


def prepared(base, path, detect, target):
    time.sleep(DELAY)
    text = pathlib.Path(base, path).read_text()
    return types.SimpleNamespace(text=text, cleaned_text=text, detected_language=None, id=None,
                                 translate_to=None)


def run(folder, base, engine, writes):
    args = ["index", str(folder), "--base", str(base), "--jobs", "2", "--engine", engine]
    writes.clear()
    with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()):
        start = time.perf_counter()
        status = Console.main(args)
        took = time.perf_counter() - start
    if status != 0:
        sys.exit(f"wrapper index failed: {out.getvalue()}")
    return took, out.getvalue().splitlines()[0]


def main():
    global DELAY
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[5000, 20000])
    parser.add_argument("--delay", type=float, default=DELAY,
                        help="seconds each file takes to compile (default %(default)s)")
    parser.add_argument("--engine", default="td", choices=["td", "sb"])
    args = parser.parse_args()
    DELAY = args.delay
    Process.compile = staticmethod(prepared)
    writes = []
    real = Process.update_docs

    def timed(self, docs):
        start = time.perf_counter()
        try:
            return real(self, docs)
        finally:
            writes.append((len(docs), time.perf_counter() - start))
    Process.update_docs = timed
    corpus = Corpus()
    print(f"cores {os.cpu_count()}, load {os.getloadavg()[0]:.2f}; compile {DELAY * 1000:.0f} ms "
          f"per file, --jobs 2, engine {args.engine}")
    totals = {}
    for size in args.sizes:
        with tempfile.TemporaryDirectory() as root:
            folder, base = pathlib.Path(root, "docs"), pathlib.Path(root, "base")
            folder.mkdir()
            for i, (_, cleaned) in enumerate(corpus.documents(size)):
                (folder / f"d{i:06d}.pdf").write_text(cleaned)
            took, summary = run(folder, base, args.engine, writes)
            assert summary.startswith(f"indexed {size},"), summary
            spent = sum(t for _, t in writes)
            floor = size * DELAY / 2
            totals[size] = spent
            print(f"{size:6d} docs: run {took:7.1f} s (compile alone {floor:6.1f} s, "
                  f"{took / floor:4.2f}x); {len(writes)} writes, {spent:6.2f} s = "
                  f"{100 * spent / took:4.1f}% of the run (target < 5%); largest write "
                  f"{max(t for _, t in writes):5.2f} s")
    sizes = sorted(totals)
    for small, large in zip(sizes, sizes[1:]):
        print(f"writes {small} -> {large} docs: x{totals[large] / totals[small]:4.2f} "
              f"for x{large / small:4.2f} the documents (linear: about the same)")


if __name__ == "__main__":
    main()
