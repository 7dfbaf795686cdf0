"""Stemming, in one run:

1. Words per second of Wordwash's stemming pipeline (C++ stemmers, tokenizer
   and stopword lists) against the same pipeline made of nltk's calls from
   Python, on the UDHR paragraphs of English, Spanish and Portuguese; both
   give the same stems (checked first). Prints both and the ratio.
2. The CPU seconds of the `wrapper search` command as a whole process on a two-document
   index, against `python -c "import numpy, sklearn.feature_extraction.text"`
   (what loading the stored term model needs), measured side by side, best
   of a few rounds; and the search with its language given (no lingua).
   Prints them and the ratios.

    .venv/bin/python bench/bench_stemming.py [--rounds 5]
"""

import argparse
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata
import zipfile
from pathlib import Path

from corpora import corpus_zip  # noqa: E402

from wrapper.infra import Wordwash
from wrapper.infra.Idiomark import Idiomark


def nltk_pipeline(text, language):
    """The pipeline as nltk's calls make it, from Python (stopword list held
    for the call)."""
    from nltk.corpus import stopwords
    from nltk.stem import SnowballStemmer
    from nltk.tokenize import word_tokenize

    text = "".join(c for c in unicodedata.normalize("NFD", text) if unicodedata.combining(c) == 0)
    text = re.sub(r"[^\w\s]", "", text)
    text = re.sub(r"\s+", " ", text)
    name = Idiomark.get_nltk_language(language)
    stop = set(stopwords.words(name))
    stemmer = SnowballStemmer(name)
    words = [stemmer.stem(w) for w in word_tokenize(text, language=name) if w.lower() not in stop]
    return words, " ".join(words)


def load_paragraphs():
    files = {Idiomark.ENGLISH: "eng.txt", Idiomark.SPANISH: "spa.txt", Idiomark.PORTUGUESE: "por_BR.txt"}
    out = []
    with zipfile.ZipFile(corpus_zip("udhr2")) as z:
        for lang, name in files.items():
            lines = [line.strip() for line in z.read(f"udhr2/{name}").decode().splitlines() if line.strip()]
            for i in range(0, len(lines) - 4, 4):
                out.append((" ".join(lines[i : i + 4]), lang))
    return out


def best_time(fn, docs, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for text, lang in docs:
            fn(text, lang)
        best = min(best, time.perf_counter() - start)
    return best


def pipeline_throughput(rounds):
    docs = load_paragraphs()
    words = sum(len(t.split()) for t, _ in docs)
    for text, lang in docs:  # the same results, and warm caches for both
        assert Wordwash.preprocess_text_for_stemmetization(text, lang) == nltk_pipeline(text, lang)
    ours = best_time(Wordwash.preprocess_text_for_stemmetization, docs, rounds)
    ref = best_time(nltk_pipeline, docs, rounds)
    print(f"documents: {len(docs)}, words: {words}")
    print(f"nltk's calls from Python: {words / ref:14,.0f} words/s")
    print(f"Wordwash (C++ pipeline):  {words / ours:14,.0f} words/s")
    print(f"speed-up: {ref / ours:.1f}x")


def child_cpu(argv):
    """CPU seconds (user + system) of one child process run to its end."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def two_document_index(root):
    import fitz

    docs = root / "docs"
    docs.mkdir()
    texts = {"a.pdf": "The lava flows from the volcano into the sea. Hot lava cools fast.",
             "b.pdf": "Gardens need water and sunlight to grow flowers in spring."}
    for name, text in texts.items():
        with fitz.open() as doc:
            page = doc.new_page(width=420, height=300)
            page.insert_textbox(fitz.Rect(24, 24, 396, 276), text, fontsize=13)
            doc.save(docs / name)
    base = root / "base"
    subprocess.run([sys.executable, "-c", "import sys; from wrapper import Console; "
                    "sys.exit(Console.main(sys.argv[1:]))", "index", str(docs), "--base", str(base),
                    "--jobs", "1"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return base


def search_process_cpu(rounds):
    with tempfile.TemporaryDirectory() as tmp:
        base = two_document_index(Path(tmp))
        # The command as a user runs it (its entry point, beside this Python).
        wrapper = shutil.which("wrapper", path=str(Path(sys.executable).parent)) or shutil.which("wrapper")
        search = [wrapper, "search", "lava", "--base", str(base)]
        given = [wrapper, "search", "lava", "--language", "en", "--base", str(base)]
        imports = [sys.executable, "-c", "import numpy, sklearn.feature_extraction.text"]
        ours, told, ref = [], [], []
        for _ in range(rounds):  # side by side, so all meet the same load
            ours.append(child_cpu(search))
            told.append(child_cpu(given))
            ref.append(child_cpu(imports))
    print(f"wrapper search (two documents):             {min(ours):6.2f} s CPU")
    print(f"  the same with --language en (no detection): {min(told):6.2f} s CPU")
    print(f"import numpy, sklearn.feature_extraction.text: {min(ref):6.2f} s CPU")
    print(f"ratio: {min(ours) / min(ref):.2f} ({min(told) / min(ref):.2f} with --language)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    pipeline_throughput(args.rounds)
    search_process_cpu(args.rounds)


if __name__ == "__main__":
    main()
