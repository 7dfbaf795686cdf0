"""Re-indexing a folder after changing a share of its files with `wrapper
index` (in this process, documents prepared: the files hold their cleaned
text and a stand-in compiles them, so filing is measured, not OCR), against
filing the same number of new files into a copy of the same index, and
against building the whole index afresh. Target: changing costs at most 1.5x
adding, and grows linearly with the number changed.

    python bench/bench_index_update.py [--sizes 2000 10000] [--shares 0.05 0.1]
                                       [--engines td sb]
"""

import argparse
import contextlib
import io
import pathlib
import shutil
import sys
import tempfile
import time
import types

from td_corpus import Corpus
from wrapper import Console
from wrapper.Process import Process


def prepared(base, path, detect, target):
    text = pathlib.Path(base, path).read_text()
    return types.SimpleNamespace(text=text, cleaned_text=text, detected_language=None, id=None,
                                 translate_to=None)


def index(folder, base, engine):
    args = ["index", str(folder), "--base", str(base), "--jobs", "1", "--engine", engine]
    with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()):
        start = time.perf_counter()
        status = Console.main(args)
        took = time.perf_counter() - start
    if status != 0:
        sys.exit(f"wrapper index failed: {out.getvalue()}")
    return took, out.getvalue().splitlines()[0]


def one_size(root, corpus, size, shares, engine):
    folder, base = root / "docs", root / "base"
    folder.mkdir()
    for i, (_, cleaned) in enumerate(corpus.documents(size)):
        (folder / f"d{i:06d}.pdf").write_text(cleaned)
    built, _ = index(folder, base, engine)
    print(f"{engine} {size:6d} docs: built afresh in {built:7.2f} s")
    for share in shares:
        count = int(size * share)
        # The baseline: as many new files into a copy of the same index.
        copy = root / "copy"
        shutil.copytree(base, copy)
        new = [folder / f"n{i:06d}.pdf" for i in range(count)]
        for path, (_, cleaned) in zip(new, corpus.documents(count)):
            path.write_text(cleaned)
        added, _ = index(folder, copy, engine)
        for path in new:
            path.unlink()
        shutil.rmtree(copy)
        # The change, then the files put back as they were for the next share.
        changed = sorted(folder.iterdir())[:count]
        before = [p.read_text() for p in changed]
        for path, (_, cleaned) in zip(changed, corpus.documents(count)):
            path.write_text(cleaned)
        took, summary = index(folder, base, engine)
        assert summary.startswith(f"indexed {count},"), summary
        for path, text in zip(changed, before):
            path.write_text(text)
        index(folder, base, engine)
        print(f"   {count:5d} changed ({share:.0%}): {took:6.2f} s; {count} added: {added:6.2f} s; "
              f"ratio {took / added:4.2f} (target <= 1.5); per changed file "
              f"{1000 * took / count:5.2f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[2000, 10000])
    parser.add_argument("--shares", type=float, nargs="+", default=[0.05, 0.1])
    parser.add_argument("--engines", nargs="+", default=["td", "sb"], choices=["td", "sb"])
    args = parser.parse_args()
    Process.compile = staticmethod(prepared)
    corpus = Corpus()
    for engine in args.engines:
        for size in args.sizes:
            with tempfile.TemporaryDirectory() as root:
                one_size(pathlib.Path(root), corpus, size, args.shares, engine)


if __name__ == "__main__":
    main()
