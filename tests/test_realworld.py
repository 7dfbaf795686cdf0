"""`wrapper index` over files nobody here made (../shared/realworld): forms,
encrypted, damaged and hostile PDFs, scans in other scripts. Every file ends
indexed or with one line of a fixed set of causes, the same in two runs, and
nothing but the results reaches standard output.

The whole of both folders takes about an hour of OCR; by default a subset
that meets every cause but a time-out runs (WRAPPER_REALWORLD=all runs
everything). The sanitizer run skips it: the code it goes through is
covered there by the other tests, and its OCR would take most of that run."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

REALWORLD = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "realworld"
PROGRAM = pathlib.Path(sys.executable).parent / "wrapper"

# A file per cause the library can give without waiting out a time limit,
# and the files whose outcome this suite guards: a fillable form and a text
# layer without letters are OCR'd, a JBIG2 bomb is refused at once, a
# Devanagari scan is named as such.
# None: indexed with OCR.
SUBSET = {
    "ocrmypdf/README.rst": "not a document",
    "ocrmypdf/invalid.pdf": "damaged beyond repair",
    "ocrmypdf/blank.pdf": "no readable text",
    "ocrmypdf/acroform.pdf": None,
    "ocrmypdf/type3_font_nomapping.pdf": None,  # its text layer maps to no letters
    "public/pypdf_encryption_r2-user-password.pdf": "encrypted and needs a password",
    "public/pdfjs_print_protection.pdf": "encrypted and needs a password",
    "public/pdfjs_bomb_giant.pdf": "too large",
    "public/tesseract_devatest.png": "language or script not supported",
    "public/qpdf_issue-149.pdf": "a tool failed",  # ocrmypdf crashes; its text layer is used
}

CAUSES = ("not a document", "damaged beyond repair", "encrypted and needs a password",
          "no readable text", "language or script not supported", "too large", "timed out",
          "a tool failed")
RESULT = re.compile(r"  (skipped|no OCR |failed ) (.+?): (%s)(: .+)?" % "|".join(CAUSES))
SAME = re.compile(r"  same    (.+?): the same bytes as (.+)")
SUMMARY = re.compile(r"indexed \d+, skipped \d+, failed \d+, unchanged 0, removed 0, read without OCR \d+ "
                     r"\(index at .*\)")
PROGRESS = re.compile(r"\[[#.]{30}\] \d+/\d+ .*")

pytestmark = [
    pytest.mark.skipif(not REALWORLD.is_dir(), reason=f"{REALWORLD} is not there"),
    pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="minutes of OCR; not under sanitizers"),
]


def session_members(sid):
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:  # ended meanwhile
            continue
        if int(fields[3]) == sid and fields[0] not in "ZX":
            found.append(int(entry.name))
    return found


def index(folder, base):
    child = subprocess.Popen([str(PROGRAM), "index", str(folder), "--base", str(base), "--detect",
                              "--jobs", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, start_new_session=True)
    out, err = child.communicate(timeout=3600)
    assert session_members(child.pid) == []  # no tool or worker left behind
    assert "Traceback" not in out + err
    return out, err


def outcomes(out):
    lines = out.splitlines()
    assert SUMMARY.fullmatch(lines[0]), lines[0]
    found = {}
    for line in lines[1:]:
        if SAME.fullmatch(line):
            continue
        match = RESULT.fullmatch(line)
        assert match, line
        found[match[2]] = match[3]
    return found


def test_every_file_is_indexed_or_says_why_in_one_stable_line(tmp_path):
    if os.environ.get("WRAPPER_REALWORLD") == "all":
        folders = [REALWORLD / "ocrmypdf", REALWORLD / "public"]
    else:
        folders = [tmp_path / "subset"]
        folders[0].mkdir()
        for name in SUBSET:
            shutil.copy(REALWORLD / name, folders[0] / pathlib.Path(name).name)
    for folder in folders:
        runs = []
        for attempt in ("first", "second"):
            out, err = index(folder, tmp_path / f"{attempt}-{folder.name}")
            assert all(PROGRESS.fullmatch(line) or line.startswith("waiting for")
                       for line in err.splitlines()), err
            runs.append((outcomes(out), re.sub(r"\(index at .*\)", "", out)))
        assert runs[0][1] == runs[1][1]
    if folders[0].name == "subset":
        assert runs[0][0] == {pathlib.Path(name).name: cause
                              for name, cause in SUBSET.items() if cause}
