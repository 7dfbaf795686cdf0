"""Pages per minute of `wrapper index --detect` over a folder of generated
scanned pages (one page per PDF, 200 dpi, English, Spanish and Portuguese in
turn), with --jobs 1 and --jobs 2 in the same run, against running the bare
`ocrmypdf IN OUT --output-type pdf --redo-ocr` over the same files one after
the other: the floor of any OCR-first pipeline on one core. Also the
same tool held to one core (one job, one Tesseract thread). The index also
detects each language, reads every page a second time in it, stems and finds
entities.

    python bench/bench_index_jobs.py [--pages 40]

Slow: every page is OCR'd twice by the index (detection, then the detected
language). On a small machine a dozen pages already tell the ratios.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from samples import EN, ES, PT, scanned_pdf  # noqa: E402

PROGRAM = pathlib.Path(sys.executable).parent / "wrapper"


def make_folder(folder, pages):
    folder.mkdir()
    texts = [EN, ES, PT]
    for i in range(pages):
        scanned_pdf(folder / f"page{i:03d}.pdf", texts[i % 3])


def index_run(folder, base, jobs):
    start = time.perf_counter()
    done = subprocess.run([str(PROGRAM), "index", str(folder), "--base", str(base), "--detect",
                           "--jobs", str(jobs)], capture_output=True, text=True)
    took = time.perf_counter() - start
    first = done.stdout.splitlines()[0] if done.stdout else done.stderr.strip()[-200:]
    return took, first


def bare_ocrmypdf(folder, out, one_core):
    """The tool as it comes, or held to one core (one job, one Tesseract
    thread), the way one worker of the index runs it on a machine it shares."""
    out.mkdir()
    env = dict(os.environ)
    extra = []
    if one_core:
        env["OMP_THREAD_LIMIT"] = "1"
        extra = ["--jobs", "1"]
    start = time.perf_counter()
    for pdf in sorted(folder.iterdir()):
        subprocess.run(["ocrmypdf", str(pdf), str(out / pdf.name), "--output-type", "pdf",
                        "--redo-ocr", *extra], capture_output=True, check=True, env=env)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pages", type=int, default=40)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        folder = tmp / "docs"
        make_folder(folder, args.pages)
        floor = bare_ocrmypdf(folder, tmp / "bare", one_core=False)
        rows = [("bare ocrmypdf, one file after another", floor, ""),
                ("the same held to one core", bare_ocrmypdf(folder, tmp / "one", True), "")]
        for jobs in (1, 2):
            took, summary = index_run(folder, tmp / f"base{jobs}", jobs)
            rows.append((f"wrapper index --detect --jobs {jobs}", took, summary))
        print(f"{args.pages} scanned pages, {os.cpu_count()} cores")
        for name, took, summary in rows:
            print(f"{name:40} {took:7.1f} s {60 * args.pages / took:7.1f} pages/min "
                  f"{took / floor:5.2f}x the bare tool  {summary}")


if __name__ == "__main__":
    main()
