"""Why a file was not indexed: the fixed set of causes, told from the errors
the library and its tools raise, and the script of a text told before its
language."""

import random
import unicodedata

import pytest

from wrapper import Console
from wrapper.infra import Tonguecheck

PATH = "/base/../docs/x.pdf"
OCRMYPDF_CRASH = """Traceback (most recent call last):
  File "/usr/lib/python3/dist-packages/pikepdf/_methods.py", line 1, in x
RecursionError: maximum recursion depth exceeded while calling a Python object"""


def frames(exception_line):
    return ('Traceback (most recent call last):\n  File "x.py", line 1, in <module>\n'
            f"{exception_line}\n")


@pytest.mark.parametrize("traceback, ocr, head, expected", [
    (frames(f"pymupdf.FileDataError: Failed to open file '{PATH}'."), False, b"%PDF-1.4",
     "damaged beyond repair: PyMuPDF cannot open it"),
    (frames(f"pymupdf.FileDataError: Failed to open file '{PATH}'."), False, b"<html>",
     "not a document: an HTML page, not a PDF"),
    (frames(f"pymupdf.FileDataError: Failed to open file '{PATH}'."), False, b"",
     "not a document: the file is empty"),
    (frames("ValueError: document closed or encrypted"), False, b"%PDF",
     "encrypted and needs a password"),
    (frames("Exception: Opened a file\nThis PDF has a user fillable form. --redo-ocr is not "
            "currently possible on such files.\nInputFileError"), True, b"%PDF",
     "a tool failed: ocrmypdf: This PDF has a user fillable form. --redo-ocr is not "
     "currently possible on such files."),
    (frames("Exception: Opened a file\n" + OCRMYPDF_CRASH), True, b"%PDF",
     "a tool failed: ocrmypdf crashed: RecursionError: maximum recursion depth exceeded "
     "while calling a Python object"),
    (frames("Exception: Input PDF is encrypted"), True, b"%PDF",
     "encrypted and needs a password: ocrmypdf: Input PDF is encrypted"),
    (frames("subprocess.TimeoutExpired: Command '['ocrmypdf']' timed out after 180.0 seconds"),
     True, b"%PDF", "timed out: ocrmypdf was stopped after 180 s"),
    (frames("ValueError: Language Language.FRENCH not supported"), False, b"%PDF",
     "language or script not supported: written in French; only English, Spanish and "
     "Portuguese are supported"),
    (frames("ValueError: Script Devanagari not supported"), False, b"%PDF",
     "language or script not supported: text in the Devanagari script; only English, "
     "Spanish and Portuguese are supported"),
    (frames("ValueError: Language None not supported"), False, b"%PDF",
     "no readable text: its language could not be told"),
    (frames("PIL.UnidentifiedImageError: cannot identify image file "
            "<_io.BytesIO object at 0x7f3a2b1c0d60>"), False, b"%PDF",
     "a tool failed: Pillow: UnidentifiedImageError: cannot identify image file "
     "<_io.BytesIO object>"),
    (frames("ValueError: too large: its page 1 has JBIG2Decode-compressed content"), False,
     b"%PDF", "too large: its page 1 has JBIG2Decode-compressed content"),
    (frames("RuntimeError: code=7: Invalid number of pages"), False, b"%PDF",
     "damaged beyond repair: PyMuPDF: Invalid number of pages"),
    (frames("Exception: Opened a file\nXFA forms are not supported\nInputFileError"), True, b"%PDF",
     "a tool failed: ocrmypdf: XFA forms are not supported"),
    # Chained: the last exception is the one that counts.
    (frames("KeyError: 'x'") + "\nDuring handling of the above exception, another exception "
     "occurred:\n\n" + frames(f"TypeError: bad page in {PATH}"), False, b"%PDF",
     "a tool failed: wrapper: TypeError: bad page in docs/x.pdf"),
    # The private OCR copy's name changes from run to run; the reason does not.
    (frames("Exception: Opened a file\nPriorOcrFoundError: page already has text in "
            "/base/.output-host-1234-9f8e7d6c.pdf"), True, b"%PDF",
     "a tool failed: ocrmypdf: PriorOcrFoundError: page already has text in the OCR copy"),
])
def test_each_failure_is_one_line_of_its_cause(traceback, ocr, head, expected):
    assert Console._explain(traceback, PATH, "docs/x.pdf", head, ocr) == expected


def script_of(char):
    """The reference: the first word of the character's Unicode name."""
    word = unicodedata.name(char).split()[0]
    return {"CJK": "Han"}.get(word, word.title())


ALPHABETS = {
    "Latin": "abcdefghijklmnopqrstuvwxyzáéíóúãõçñ",
    "Devanagari": "".join(map(chr, range(0x915, 0x939))),
    "Arabic": "".join(map(chr, range(0x628, 0x63A))),
    "Cyrillic": "".join(map(chr, range(0x430, 0x44F))),
    "Hebrew": "".join(map(chr, range(0x5D0, 0x5EA))),
    "Han": "".join(map(chr, range(0x4E00, 0x4E40))),
}


def test_a_text_in_another_script_is_refused_as_that_script():
    rng = random.Random(19)
    for _ in range(60):
        other = rng.choice([s for s in ALPHABETS if s != "Latin"])
        counts = {"Latin": rng.randrange(0, 40), other: rng.randrange(1, 40)}
        letters = [c for s, n in counts.items() for c in rng.choices(ALPHABETS[s], k=n)]
        rng.shuffle(letters)
        text = " ".join("".join(letters[i:i + 5]) for i in range(0, len(letters), 5))
        text += " 1234, ... !"
        majority = max(counts, key=lambda s: (counts[s], s != "Latin"))
        assert {script_of(c) for c in ALPHABETS[other]} == {other}
        if majority == "Latin" or counts["Latin"] == counts[other]:
            continue  # lingua's own answer, tested with its module
        with pytest.raises(ValueError, match=f"^Script {other} not supported$"):
            Tonguecheck.detect_lang(text)


# The file's own name says nothing of why it failed, however it is written.
@pytest.mark.parametrize("name, traceback, ocr, expected", [
    ("password-reset.pdf", frames("pymupdf.FileDataError: Failed to open file "
                                  "'/d/password-reset.pdf'."), False,
     "damaged beyond repair: PyMuPDF cannot open it"),
    ("too large scans.pdf", frames("pymupdf.FileDataError: Failed to open file "
                                   "'/d/too large scans.pdf'."), False,
     "damaged beyond repair: PyMuPDF cannot open it"),
    ("password.pdf", frames("TypeError: bad page in /d/password.pdf"), False,
     "a tool failed: wrapper: TypeError: bad page in password.pdf"),
    ("encrypted notes.pdf", frames("Exception: Opened a file\nfailed to read encrypted notes.pdf"
                                   "\nInputFileError"), True,
     "a tool failed: ocrmypdf: failed to read encrypted notes.pdf"),
    # ...while what the message itself says still counts.
    ("password.pdf", frames("Exception: Input PDF is encrypted"), True,
     "encrypted and needs a password: ocrmypdf: Input PDF is encrypted"),
])
def test_a_file_name_never_decides_the_cause(name, traceback, ocr, expected):
    assert Console._explain(traceback, f"/d/{name}", name, b"%PDF-1.4", ocr) == expected
