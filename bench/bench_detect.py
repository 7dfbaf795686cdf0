"""detect_lang against lingua called directly from Python, in one run.

    python bench/bench_detect.py [--rounds N]

The baseline is what a Python caller would write: one detector over the same
five candidates, built once, detect_language_of, then a dict lookup into
Idiomark. Both sides see the same texts (lines of the Universal Declaration in
English, Spanish and Portuguese from the UDHR (udhr2, through corpora.py), plus short
phrases, where a fixed per-call cost shows most). Logging stays at the host's
default level, so detect_lang's two debug lines are built and dropped, as in
production. Each side's best round is reported.
"""

import argparse
import time
import zipfile

from corpora import corpus_zip  # noqa: E402

from lingua import Language, LanguageDetectorBuilder

from wrapper.infra import Tonguecheck
from wrapper.infra.Idiomark import Idiomark


SHORT = [
    "Bom dia, tudo bem?", "Good morning, how are you?", "Buenos días, ¿cómo estás?",
    "Onde fica a estação?", "Where is the station?", "¿Dónde está la estación?",
    "Obrigado pela ajuda.", "Thanks for the help.", "Gracias por la ayuda.",
]


def corpus_lines(per_language):
    lines = []
    with zipfile.ZipFile(corpus_zip("udhr2")) as z:
        for name in ("eng", "spa", "por_BR"):
            text = z.read(f"udhr2/{name}.txt").decode("utf-8")
            kept = [s.strip() for s in text.splitlines() if len(s.strip()) > 40]
            lines += kept[:per_language]
    return lines


def best_time(fn, texts, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for t in texts:
            fn(t)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--lines", type=int, default=40, help="corpus lines per language")
    args = parser.parse_args()

    detector = LanguageDetectorBuilder.from_languages(
        Language.ENGLISH, Language.FRENCH, Language.GERMAN, Language.SPANISH, Language.PORTUGUESE
    ).build()
    to_member = {Language.ENGLISH: Idiomark.ENGLISH, Language.SPANISH: Idiomark.SPANISH,
                 Language.PORTUGUESE: Idiomark.PORTUGUESE}

    def direct(text):
        return to_member[detector.detect_language_of(text)]

    ours = Tonguecheck.detect_lang
    print(f"{'texts':<28}{'calls':>7}{'direct/s':>12}{'detect_lang/s':>15}{'ratio':>8}")
    for label, texts in (("UDHR lines (en, es, pt)", corpus_lines(args.lines)),
                         ("short phrases (en, es, pt)", SHORT * 20)):
        # Same answers first; this also loads lingua's models before timing.
        assert [ours(t) for t in texts] == [direct(t) for t in texts]
        # Alternate the two sides so drift of the machine hits both alike.
        d = o = float("inf")
        for _ in range(args.rounds):
            d = min(d, best_time(direct, texts, 1))
            o = min(o, best_time(ours, texts, 1))
        n = len(texts)
        print(f"{label:<28}{n:>7}{n / d:>12.0f}{n / o:>15.0f}{o / d:>8.3f}")
    print("ratio = detect_lang time / direct time (target: at most 1.10)")


if __name__ == "__main__":
    main()
