"""OCR costs of the text extractor, in one run.

    python bench/bench_ocr.py [--rounds N]

1. pytesseract on one 300-dpi A4 page: Tesseract with its default OpenMP
   threads (pytesseract called directly, host environment as it is) against
   the same call made through extract_text_from_image, whose Tesseract child
   gets a one-thread limit.
2. Time to text for the same page as a scanned PDF: the bare
   `ocrmypdf IN OUT --output-type pdf --redo-ocr` plus a PyMuPDF read (once
   with ocrmypdf's own thread choice, once with the one-thread limit our
   runner gives it, which is the baseline for our overhead), against extract_text_from_pdf with the language given (one OCR pass) and
   without it (first pass, detection, second pass in the detected language).
   The second pass is reported on its own line.

The page holds the opening of the Universal Declaration in English
(udhr2, through corpora.py). Logging stays at the host's default level, as
in production. Each figure is the best of N rounds; the sides alternate so
drift of the machine hits them alike. lingua's models are loaded before any
timing.
"""

import argparse
import io
import os
import subprocess
import sys
import tempfile
import textwrap
import time
import zipfile

from corpora import corpus_zip  # noqa: E402
from pathlib import Path

import fitz
import pytesseract
from PIL import Image, ImageDraw, ImageFont

from wrapper.infra import Pagewring, Tonguecheck
from wrapper.infra.Idiomark import Idiomark


FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"


def page_text():
    with zipfile.ZipFile(corpus_zip("udhr2")) as z:
        text = z.read("udhr2/eng.txt").decode("utf-8")
    return " ".join(line.strip() for line in text.splitlines() if line.strip())


def make_page(directory):
    """An A4 page at 300 dpi, as PNG and as an image-only PDF."""
    image = Image.new("L", (2480, 3508), 255)
    font = ImageFont.truetype(FONT, 36) if os.path.exists(FONT) else ImageFont.load_default(36)
    lines = textwrap.wrap(page_text(), 95)[:60]
    ImageDraw.Draw(image).multiline_text((200, 200), "\n".join(lines), font=font, fill=0, spacing=12)
    png = directory / "page.png"
    image.save(png, dpi=(300, 300))
    data = io.BytesIO()
    image.save(data, format="PNG")
    pdf = directory / "page.pdf"
    with fitz.open() as doc:
        doc.new_page(width=595, height=842).insert_image(fitz.Rect(0, 0, 595, 842),
                                                         stream=data.getvalue())
        doc.save(pdf)
    return str(png), str(pdf)


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def best_of(rounds, sides):
    """Best time of each side over `rounds` alternating rounds, and its last result."""
    best = {name: float("inf") for name in sides}
    results = {}
    for _ in range(rounds):
        for name, fn in sides.items():
            seconds, results[name] = timed(fn)
            best[name] = min(best[name], seconds)
    return best, results


def bare_ocrmypdf(pdf, out, env=None):
    subprocess.run(["ocrmypdf", pdf, out, "--output-type", "pdf", "--redo-ocr"],
                   check=True, capture_output=True, env=env)
    with fitz.open(out) as doc:
        return "".join(page.get_text("text").strip() for page in doc)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    if "OMP_THREAD_LIMIT" in os.environ:
        sys.exit("unset OMP_THREAD_LIMIT first: the default-thread figure needs the host default")

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        png, pdf = make_page(tmp)
        Tonguecheck.detect_lang("warm up lingua before any timing")

        print("1. pytesseract, one 300-dpi A4 page (eng)")
        best, texts = best_of(args.rounds, {
            "default OpenMP threads": lambda: pytesseract.image_to_string(png, lang="eng"),
            "one thread (ours)": lambda: Pagewring.extract_text_from_image(png, Idiomark.ENGLISH),
        })
        assert texts["default OpenMP threads"] == texts["one thread (ours)"]
        for name, seconds in best.items():
            print(f"   {name:<26}{seconds:8.2f} s")
        ratio = best["default OpenMP threads"] / best["one thread (ours)"]
        print(f"   ratio default/ours       {ratio:8.2f}")

        print("2. scanned page to text")
        base = str(tmp / "base")
        os.mkdir(base)
        one_thread = dict(os.environ, OMP_THREAD_LIMIT="1")
        best, texts = best_of(args.rounds, {
            "bare, ocrmypdf's threads": lambda: bare_ocrmypdf(pdf, str(tmp / "bare.pdf")),
            "bare ocrmypdf + PyMuPDF": lambda: bare_ocrmypdf(pdf, str(tmp / "bare.pdf"), one_thread),
            "ours, language given": lambda: Pagewring.extract_text_from_pdf(pdf, base, Idiomark.ENGLISH),
            "ours, language detected": lambda: Pagewring.extract_text_from_pdf(pdf, base),
        })
        assert texts["ours, language given"] == texts["bare ocrmypdf + PyMuPDF"]
        assert texts["ours, language detected"] == texts["bare ocrmypdf + PyMuPDF"]
        assert texts["bare, ocrmypdf's threads"] == texts["bare ocrmypdf + PyMuPDF"]
        detection, _ = timed(lambda: Tonguecheck.detect_lang(texts["ours, language given"]))
        for name, seconds in best.items():
            print(f"   {name:<26}{seconds:8.2f} s")
        bare, one = best["bare ocrmypdf + PyMuPDF"], best["ours, language given"]
        print(f"   our overhead, one pass   {one - bare:8.2f} s ({(one / bare - 1) * 100:+.1f}%)")
        second = best["ours, language detected"] - one
        print(f"   detection                {detection:8.3f} s")
        print(f"   second pass + detection  {second:8.2f} s")
        print(f"   load average at the end  {os.getloadavg()[0]:8.2f}")
        print(f"   characters of text       {len(texts['ours, language detected']):8d}")


if __name__ == "__main__":
    main()
