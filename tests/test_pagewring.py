"""Text extraction on files generated here, with the real ocrmypdf, Tesseract,
PyMuPDF and lingua."""

import io
import logging
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time
import types

import cv2
import fitz
import numpy as np
import pytesseract
import pytest
from PIL import Image, ImageDraw, ImageFont

from wrapper.infra import Pagewring, Tonguecheck
from wrapper.infra.Idiomark import Idiomark

from samples import alive, ctrl_c_delivered, interrupted, text_pdf

TEXTS = {
    Idiomark.ENGLISH: "The volcano woke up after two centuries of silence. Ash covered the "
    "villages on the northern slope and the lava reached the river in three days.",
    Idiomark.SPANISH: "El volcán despertó después de dos siglos de silencio. La ceniza cubrió "
    "los pueblos de la ladera norte y la lava llegó al río en tres días.",
    Idiomark.PORTUGUESE: "O vulcão acordou depois de dois séculos de silêncio. A cinza cobriu "
    "as aldeias da encosta norte e a lava chegou ao rio em três dias.",
}
MARKER = {Idiomark.ENGLISH: "villages", Idiomark.SPANISH: "ladera", Idiomark.PORTUGUESE: "aldeias"}
FRENCH = ("Le volcan s'est réveillé après deux siècles de silence. La cendre a couvert les "
          "villages du versant nord et la lave a atteint la rivière en trois jours.")
FALLBACK = "trying new method to extract text from pdf"
DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"


def font(size):
    # DejaVu has the accented letters; Pillow's own font is the stand-in.
    if os.path.exists(DEJAVU):
        return ImageFont.truetype(DEJAVU, size)
    return ImageFont.load_default(size=size)


def render(text, width=1300, size=34):
    lines = textwrap.wrap(text, 60) if text else []
    image = Image.new("L", (width, 60 + 50 * max(len(lines), 1)), 255)
    ImageDraw.Draw(image).multiline_text((30, 30), "\n".join(lines), font=font(size),
                                         fill=0, spacing=14)
    return image


def png(image, fmt="PNG"):
    image.save(data := io.BytesIO(), format=fmt)
    return data.getvalue()


def scanned_pdf(path, text):
    """One page holding its text only as pixels, at 300 dpi."""
    image = render(text)
    with fitz.open() as doc:
        page = doc.new_page(width=image.width * 72 / 300, height=image.height * 72 / 300)
        page.insert_image(page.rect, stream=png(image))
        doc.save(path)
    return str(path)


def root_lines(caplog, level=logging.DEBUG):
    return [r.getMessage() for r in caplog.records if r.name == "root" and r.levelno == level]


@pytest.fixture(autouse=True)
def debug_logs(caplog):
    caplog.set_level(logging.DEBUG)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("inputs")
    out = {lang: scanned_pdf(d / f"scan_{lang.value}.pdf", text) for lang, text in TEXTS.items()}
    out["blank"] = scanned_pdf(d / "blank.pdf", "")
    with fitz.open() as doc:  # a text layer and two pictures of words, PNG then JPEG
        page = doc.new_page(width=300, height=200)
        page.insert_text((20, 30), "Lighthouse keeper notes", fontsize=12)
        for rect, words, fmt in (((20, 50, 280, 85), "FIRST PICTURE", "PNG"),
                                 ((20, 100, 280, 135), "SECOND PICTURE", "JPEG")):
            page.insert_image(fitz.Rect(*rect), stream=png(render(words, 600, 36), fmt))
        doc.save(d / "pictures.pdf")
        # ocrmypdf refuses any encrypted input; PyMuPDF reads it (empty user password).
        doc.save(d / "locked.pdf", encryption=fitz.PDF_ENCRYPT_AES_256, owner_pw="o", user_pw="")
    out["pictures"], out["locked"] = str(d / "pictures.pdf"), str(d / "locked.pdf")
    with fitz.open() as doc:
        for words in ("  Harbour log, first page \n", "\nsecond page of the log  "):
            doc.new_page(width=300, height=200).insert_text((20, 40), words, fontsize=12)
        doc.save(d / "two_pages.pdf")
    out["two_pages"] = str(d / "two_pages.pdf")
    for name, text in (("en", TEXTS[Idiomark.ENGLISH]), ("pt", TEXTS[Idiomark.PORTUGUESE]),
                       ("fr", FRENCH), ("blank", "")):
        render(text).save(d / f"{name}.png")
    writer = cv2.VideoWriter(str(d / "words.mp4"), cv2.VideoWriter_fourcc(*"mp4v"), 1, (320, 120))
    for word in ("ALPHA", "BRAVO", "CHARLIE"):
        frame = np.full((120, 320, 3), 255, np.uint8)
        cv2.putText(frame, word, (10, 80), cv2.FONT_HERSHEY_SIMPLEX, 1.6, (0, 0, 0), 3)
        writer.write(frame)
    writer.release()
    out["dir"] = d
    return out


@pytest.fixture
def ocr_calls(monkeypatch):
    """Records each call of the runner and lets the real tool do the work."""
    calls, real = [], Pagewring.run_ocrmypdf

    def spy(*args):
        calls.append(args)
        return real(*args)
    monkeypatch.setattr(Pagewring, "run_ocrmypdf", spy)
    return calls


# ---- PDFs ---------------------------------------------------------------------


@pytest.mark.parametrize("lang", list(TEXTS))
def test_scanned_page_is_read_again_in_its_language_from_the_input(files, tmp_path, ocr_calls,
                                                                  caplog, lang):
    text = Pagewring.extract_text_from_pdf(files[lang], str(tmp_path))
    # The second pass starts from the input again: over its own output the
    # tool would add a second text layer, read in the wrong language. Each
    # pass writes a private copy beside output.pdf, which the last one
    # finished replaces.
    assert [(c[0], c[2]) for c in ocr_calls] == [(files[lang], None), (files[lang], lang)]
    copies = [c[1] for c in ocr_calls]
    assert len(set(copies)) == 2
    # The name tells the machine and the process writing it (see `wrapper index`).
    copy_name = re.escape(f"{tmp_path}/.output-{socket.gethostname()}-{os.getpid()}-") + r"[0-9a-f]+\.pdf"
    assert all(re.fullmatch(copy_name, c) for c in copies)
    assert sorted(p.name for p in tmp_path.iterdir() if "output" in p.name) == ["output.pdf"]
    assert MARKER[lang] in Pagewring.get_text_from_pdf(str(tmp_path / "output.pdf"))
    assert MARKER[lang] in text and text.count("lava") == 1
    assert f"extracting text using language {lang.value}" in root_lines(caplog)
    assert FALLBACK not in root_lines(caplog, logging.INFO)


@pytest.mark.parametrize("one_pass", [False, True])
@pytest.mark.parametrize("lang, fell_back", [(Idiomark.ENGLISH, False), (None, True)])
def test_blank_scan_gives_empty_text_with_or_without_detection(files, tmp_path, ocr_calls, caplog,
                                                              monkeypatch, lang, fell_back,
                                                              one_pass):
    # Detection of an empty text fails, which is answered by the direct reader;
    # with a language given, the empty OCR text stands and nothing is detected.
    # A sample that tells no language leaves the document to the two passes.
    monkeypatch.setattr(Pagewring, "OCR_ONE_PASS", one_pass)
    if lang:
        monkeypatch.setattr(Tonguecheck, "detect_lang", pytest.fail)
    assert Pagewring.extract_text_from_pdf(files["blank"], str(tmp_path), lang) == ""
    assert len(ocr_calls) == 1
    assert (FALLBACK in root_lines(caplog, logging.INFO)) is fell_back


@pytest.mark.parametrize("kind", ["scanned", "text"])
@pytest.mark.parametrize("lang", list(TEXTS))
def test_one_pass_road_ocrs_once_in_the_sampled_language_and_gives_the_two_pass_text(
        files, tmp_path, ocr_calls, caplog, monkeypatch, kind, lang):
    # Long enough for the text layer alone to tell the language.
    pdf = files[lang] if kind == "scanned" else text_pdf(str(tmp_path / "t.pdf"), TEXTS[lang] * 2)
    (tmp_path / "a").mkdir(), (tmp_path / "b").mkdir()
    two_pass = Pagewring.extract_text_from_pdf(pdf, str(tmp_path / "a"))
    assert [c[2] for c in ocr_calls] == [None, lang]
    monkeypatch.setattr(Pagewring, "OCR_ONE_PASS", True)
    del ocr_calls[:]
    assert Pagewring.extract_text_from_pdf(pdf, str(tmp_path / "b")) == two_pass
    assert [c[2] for c in ocr_calls] == [lang]
    source = "its text layer" if kind == "text" else "1 pages OCR'd"
    assert f"language of {pdf} from {source}: {lang.value}" in root_lines(caplog, logging.INFO)
    assert sorted(p.name for p in (tmp_path / "b").iterdir()) == ["output.pdf"]


@pytest.mark.parametrize("kind", ["letter", "mixed", "dark", "blank"])
def test_sample_reads_only_the_text_lines_of_the_scanned_pages_in_one_tesseract_run(
        tmp_path, ocr_calls, monkeypatch, kind):
    # A Tesseract run costs a fixed start worth a few lines: the sample reads
    # the lines of a page with blank space below them in one run, not the
    # page band by band; a text page's layer is taken without OCR; a page
    # whose ink makes no lines (dark paper) is still read whole, a blank one
    # not at all (the two passes then read the document).
    lang, other = Idiomark.SPANISH, "La ceniza del volcán cubrió los pueblos y los campos del valle."
    image = render(TEXTS[lang] if kind != "blank" else "")
    page = Image.new("L", (image.width, image.height * 5), 255)
    page.paste(image, (0, 0))
    if kind == "dark":
        page = page.point(lambda v: 0 if v < 128 else 110)
    with fitz.open() as doc:
        if kind == "mixed":
            doc.new_page(width=300, height=200).insert_textbox(fitz.Rect(20, 20, 280, 180), other)
        scan = doc.new_page(width=page.width * 72 / 300, height=page.height * 72 / 300)
        scan.insert_image(scan.rect, stream=png(page))
        doc.save(tmp_path / "in.pdf")
    reads, real = [], pytesseract.image_to_string

    def spy(image, *args, **kwargs):  # the sample's reads: those before the OCR pass
        text = real(image, *args, **kwargs)
        if not ocr_calls:
            reads.append((image.size, text))
        return text
    monkeypatch.setattr(pytesseract, "image_to_string", spy)
    monkeypatch.setattr(Pagewring, "OCR_ONE_PASS", True)
    monkeypatch.setattr(Pagewring, "TESSERACT_IN_PROCESS", False)  # runs of the program, watched
    Pagewring.extract_text_from_pdf(str(tmp_path / "in.pdf"), str(tmp_path))
    if kind == "blank":
        assert reads == [] and [c[2] for c in ocr_calls] == [None]
        return
    assert [c[2] for c in ocr_calls] == [lang]
    rendered_height = page.height // 2  # the sample renders at half the scan's 300 dpi
    if kind == "dark":  # in bands, top to bottom
        assert sum(size[1] for size, _ in reads) == rendered_height
    else:
        assert len(reads) == 1 and reads[0][0][1] < rendered_height / 4
        assert MARKER[lang] in reads[0][1] and "valle" not in reads[0][1]


def reference_text_lines(grey, shortest, tallest):
    dark = grey < 128
    runs = []
    for y in np.flatnonzero(dark.sum(axis=1) >= 3):  # specks of one or two pixels are no ink
        if runs and y - runs[-1][1] <= 1:  # one blank row does not split a line
            runs[-1][1] = y + 1
        else:
            runs.append([y, y + 1])
    lines = []
    for top, bottom in runs:
        if shortest <= bottom - top <= tallest:
            columns = dark[top:bottom].any(axis=0)
            lines.append((top, bottom, int(columns[0]) + int(np.sum(columns[1:] & ~columns[:-1]))))
    return lines


def test_sample_text_lines_match_a_reference_on_random_pages():
    rng = np.random.default_rng(7)
    for _ in range(200):
        height, width, pad = rng.integers(1, 60), rng.integers(1, 40), rng.integers(0, 3)
        grey = np.full((height, width + pad), 255, np.uint8)
        y = 0
        while y < height:  # bands of letters, rules and specks, with gaps of 0 to 3 rows
            rows = rng.integers(1, 12)
            band = grey[y:y + rows, :width]
            band[:, rng.random(width) < rng.random()] = rng.integers(0, 200)
            y += rows + rng.integers(0, 4)
        shortest, tallest = sorted(rng.integers(1, 20, 2))
        found = Pagewring._text_lines(grey.tobytes(), width, height, width + pad, shortest, tallest)
        assert found == reference_text_lines(grey[:, :width], shortest, tallest)
    # Sizes that do not describe the buffer read nothing.
    assert Pagewring._text_lines(bytes(11), 4, 3, 4, 1, 9) == []
    assert Pagewring._text_lines(bytes(12), 4, 3, 3, 1, 9) == []
    assert Pagewring._text_lines(bytes(12), 4, 1 << 32, 1 << 32, 1, 9) == []


def grey_rows(rng, pad):
    """A rendered text of random words and size, in rows `pad` bytes wider than the image."""
    words = " ".join(TEXTS.values()).split()
    text = " ".join(rng.choice(words) for _ in range(rng.randint(4, 30)))
    image = np.asarray(render(text, width=rng.choice([700, 1300]), size=rng.choice([20, 34])))
    padded = np.full((image.shape[0], image.shape[1] + pad), 255, np.uint8)
    padded[:, :image.shape[1]] = image
    return padded.tobytes(), image.shape[1], image.shape[0], padded.shape[1]


@pytest.mark.parametrize("strip", [True, False], ids=["strip", "page"])
def test_tesseract_in_this_process_reads_what_the_program_reads(strip):
    import random
    rng = random.Random(11)
    for pad in (0, 3):
        rows = grey_rows(rng, pad)
        here = Pagewring._tesseract_read(*rows, strip, True)
        assert here.strip() and here == Pagewring._tesseract_read(*rows, strip, False)
    with pytest.raises(ValueError):
        Pagewring._tesseract_read(bytes(11), 4, 3, 4, strip, True)


def test_tesseract_in_this_process_keeps_the_time_limit(monkeypatch):
    import random
    monkeypatch.setattr(Pagewring, "TESSERACT_SECONDS", 1e-6)
    with pytest.raises(RuntimeError, match="timeout"):
        Pagewring._tesseract_read(*grey_rows(random.Random(3), 0), True, True)


def test_tesseract_in_this_process_reads_on_one_thread(tmp_path):
    # OpenMP would give every line a team of threads: several times the CPU
    # for the same text, on a machine whose cores the workers share.
    image = render(TEXTS[Idiomark.ENGLISH])
    (tmp_path / "grey").write_bytes(image.tobytes())
    code = textwrap.dedent(f"""
        import os, sys
        from wrapper.infra import Pagewring
        before = len(os.listdir("/proc/self/task"))
        pixels = open({str(tmp_path / "grey")!r}, "rb").read()
        text = Pagewring._tesseract_read(pixels, {image.width}, {image.height}, {image.width},
                                         True, True)
        print(before, len(os.listdir("/proc/self/task")), "villages" in text)
    """)
    env = {k: v for k, v in os.environ.items() if k != "OMP_THREAD_LIMIT"}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=120, check=True).stdout.split()
    assert out[0] == out[1] and out[2] == "True"


def test_tool_failure_reads_the_input_not_a_stale_copy(files, tmp_path, caplog, monkeypatch):
    with fitz.open() as stale:
        stale.new_page().insert_text((20, 40), "STALE COPY")
        stale.save(tmp_path / "output.pdf")

    def refuse(input_pdf, output_pdf, language=None):
        raise Exception("Opened a file\nInput PDF is damaged\nInputFileError")
    monkeypatch.setattr(Pagewring, "run_ocrmypdf", refuse)
    text = Pagewring.extract_text_from_pdf(files["pictures"], str(tmp_path))
    assert text == Pagewring._extract_text_from_pdf(files["pictures"])
    assert text.startswith("Lighthouse keeper notes") and "STALE" not in text
    assert "Input PDF is damaged" in root_lines(caplog, logging.ERROR)[0]
    assert FALLBACK in root_lines(caplog, logging.INFO)


def test_empty_password_pdf_is_ocrd_from_a_decrypted_copy(files, tmp_path, caplog):
    before = pathlib.Path(files["locked"]).read_bytes()
    text = Pagewring.extract_text_from_pdf(files["locked"], str(tmp_path))
    assert "SECOND PICTURE" in text and FALLBACK not in root_lines(caplog, logging.INFO)
    assert sorted(os.listdir(tmp_path)) == ["output.pdf"]  # no copy left behind
    assert pathlib.Path(files["locked"]).read_bytes() == before


def test_direct_reader_appends_each_picture_after_the_page_text(files, caplog):
    text = Pagewring._extract_text_from_pdf(files["pictures"])
    with fitz.open(files["pictures"]) as doc:
        layer = doc[0].get_text("text")
    assert text.startswith(layer)
    assert 0 < text.index("FIRST PICTURE") < text.index("SECOND PICTURE")
    logged = root_lines(caplog)
    assert {"image name 0_0.png...", "image name 0_1.jpeg..."} <= set(logged)
    assert logged[-2:] == ["final text extracted from pdf", text]


def test_direct_reader_page_lines_carry_the_text_so_far_only_when_kept(files, caplog,
                                                                      monkeypatch):
    text = Pagewring._extract_text_from_pdf(files["two_pages"])
    with fitz.open(files["two_pages"]) as doc:
        first = doc[0].get_text("text")
    pages = [line for line in root_lines(caplog) if line.startswith("Page ")]
    assert pages == [f"Page 1 Text:\n{first}\n", f"Page 2 Text:\n{text}\n"]

    # Above debug level the line is not even built: logging sees no call.
    calls = []
    monkeypatch.setattr(logging, "debug", lambda msg, *a, **k: calls.append(msg))
    caplog.set_level(logging.INFO)
    assert Pagewring._extract_text_from_pdf(files["two_pages"]) == text
    assert not [c for c in calls if str(c).startswith("Page ")] and text in calls


def test_ocr_copy_reader_strips_pages_and_direct_reader_does_not(files):
    assert Pagewring.get_text_from_pdf(files["two_pages"]) == (
        "Harbour log, first pagesecond page of the log")
    raw = Pagewring._extract_text_from_pdf(files["two_pages"])
    assert raw.count("\n") >= 2 and "Harbour log, first page" in raw


@pytest.mark.parametrize("content, error, message", [
    (b"", fitz.EmptyFileError, "Cannot open empty file: filename='{}'."),
    (b"just some words, not a document\n", fitz.FileDataError, "Failed to open file '{}'."),
    (None, fitz.FileNotFoundError, "no such file: '{}'"),
], ids=["zero-byte", "not-a-pdf", "missing"])
def test_unreadable_input_fails_after_the_fallback(tmp_path, caplog, content, error, message):
    path = tmp_path / "input.pdf"
    if content is not None:
        path.write_bytes(content)
    # PyMuPDF's own error for the input, from the fall-back reader.
    with pytest.raises(error) as err:
        Pagewring.extract_text_from_pdf(str(path), str(tmp_path))
    assert type(err.value) is error and str(err.value) == message.format(path)
    assert FALLBACK in root_lines(caplog, logging.INFO)
    # An OCR copy that cannot be opened is an error, not an empty text.
    with pytest.raises(error) as err:
        Pagewring.get_text_from_pdf(str(path))
    assert type(err.value) is error and str(err.value) == message.format(path)


@pytest.mark.parametrize("base, name", [
    ("we\"ird 'base; dir", "a \"b\" 'c'; d.pdf"),
    ("$(touch PWNED_base)", "$(touch PWNED) `touch PWNED2`.pdf"),
    ("-base", "-dash.pdf"),
    ("@base", "@args.pdf"),
])
def test_hostile_paths_reach_the_tool_as_paths(files, tmp_path, monkeypatch, caplog, base, name):
    monkeypatch.chdir(tmp_path)
    os.mkdir(base)
    shutil.copy(files[Idiomark.ENGLISH], name)
    text = Pagewring.extract_text_from_pdf(name, base, Idiomark.ENGLISH)
    assert "villages" in text and FALLBACK not in root_lines(caplog, logging.INFO)
    assert os.path.isfile(os.path.join(base, "output.pdf"))
    assert not list(tmp_path.glob("PWNED*"))


@pytest.mark.parametrize("base, out", [("/data", "/data/output.pdf"), ("/data/", "/data//output.pdf")])
def test_output_path_is_plain_concatenation(monkeypatch, caplog, files, base, out):
    def fail(*args):
        raise RuntimeError(args[1])
    monkeypatch.setattr(Pagewring, "run_ocrmypdf", fail)
    Pagewring.extract_text_from_pdf(files["two_pages"], base)
    assert root_lines(caplog)[0] == f"output pdf {out}"
    # The tool's private copy lies beside it, named the same way.
    last = root_lines(caplog, logging.ERROR)[0].rstrip().splitlines()[-1]
    assert re.fullmatch(re.escape(f"RuntimeError: {out[:-len('output.pdf')]}.output-") +
                        r"[\w.-]+-\d+-[0-9a-f]+\.pdf", last)


# ---- the runner -----------------------------------------------------------------


def test_runner_reports_exit_status_through_logs_and_exception(files, tmp_path, caplog):
    assert Pagewring.run_ocrmypdf(files[Idiomark.ENGLISH], str(tmp_path / "ok.pdf")) is None
    assert root_lines(caplog)[:2] == ["Command executed successfully", "Output:"]
    caplog.clear()
    with pytest.raises(Exception) as failure:
        Pagewring.run_ocrmypdf(str(tmp_path / "absent.pdf"), str(tmp_path / "no.pdf"))
    assert type(failure.value) is Exception and "absent.pdf" in failure.value.args[0]
    assert root_lines(caplog) == ["Command failed", "Error:", failure.value.args[0]]


@pytest.mark.parametrize("lang, middle", [(None, []), (Idiomark.SPANISH, ["--language", "spa"])])
def test_runner_retries_with_force_only_when_the_run_cannot_start(monkeypatch, lang, middle):
    seen = []

    class Popen:
        returncode = 0

        def __init__(self, command, **options):
            seen.append((command, options.get("shell"), options["env"].get("OMP_THREAD_LIMIT")))
            if len(seen) == 1:
                raise OSError("cannot start")

        def communicate(self, timeout):
            return "", ""
    monkeypatch.setattr(Pagewring, "subprocess", types.SimpleNamespace(Popen=Popen))
    monkeypatch.delenv("OMP_THREAD_LIMIT", raising=False)
    Pagewring.run_ocrmypdf("in.pdf", "/b/output.pdf", lang)
    base = ["ocrmypdf", "in.pdf", "/b/output.pdf", *middle, "--output-type", "pdf"]
    # No shell; the thread limit goes to the tool's environment only.
    assert seen == [(base + ["--redo-ocr"], None, "1"), (base + ["--force-ocr"], None, "1")]
    assert "OMP_THREAD_LIMIT" not in os.environ


SELF_REFERENCING = (b"%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 1 0 R >> endobj\n"
                    b"trailer << /Root 1 0 R >>\n%%EOF\n")


def test_a_pdf_without_pages_never_reaches_the_tool(tmp_path, caplog):
    # ocrmypdf never ends on this one (its page tree is its own catalogue).
    path = tmp_path / "loop.pdf"
    path.write_bytes(SELF_REFERENCING)
    assert Pagewring.extract_text_from_pdf(str(path), str(tmp_path)) == ""
    assert "has no pages" in root_lines(caplog, logging.ERROR)[0]
    assert FALLBACK in root_lines(caplog, logging.INFO)


# A stand-in for the tool that never ends and leaves a child of its own.
HANGING_TOOL = """#!/bin/sh
sleep 300 &
echo $$ $! > "$PIDS"
wait
"""

INTERRUPTED_HOST = """
import sys
from wrapper.infra import Pagewring
try:
    Pagewring.run_ocrmypdf(sys.argv[1], sys.argv[2])
except KeyboardInterrupt:
    sys.exit(7)
"""


@pytest.fixture
def hanging_tool(tmp_path, monkeypatch, files):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    tool = bin_dir / "ocrmypdf"
    tool.write_text(HANGING_TOOL)
    tool.chmod(0o755)
    pids = tmp_path / "pids"
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    monkeypatch.setenv("PIDS", str(pids))
    return files[Idiomark.ENGLISH], pids


def wait_for(path):
    for _ in range(600):
        if path.exists() and path.read_text().endswith("\n"):
            return [int(p) for p in path.read_text().split()]
        time.sleep(0.05)
    raise AssertionError("the stand-in tool never started")


@pytest.mark.parametrize("how", ["time-out", "interrupt"])
def test_the_tool_is_stopped_with_its_children(hanging_tool, tmp_path, monkeypatch, caplog, how):
    pdf, pids = hanging_tool
    out = str(tmp_path / "out.pdf")
    if how == "time-out":
        monkeypatch.setattr(Pagewring, "OCR_SECONDS_FIXED", 1.0)
        monkeypatch.setattr(Pagewring, "OCR_SECONDS_PER_PAGE", 0.5)
        with pytest.raises(subprocess.TimeoutExpired):
            Pagewring.run_ocrmypdf(pdf, out)
        assert "ocrmypdf timed out after 1 s" in root_lines(caplog, logging.WARNING)[-1]
        started = wait_for(pids)
    else:
        host = subprocess.Popen([sys.executable, "-c", INTERRUPTED_HOST, pdf, out],
                                env=dict(os.environ, PYTHONFAULTHANDLER="1"),
                                preexec_fn=ctrl_c_delivered)
        started = wait_for(pids)
        assert interrupted(host) == 7
    for _ in range(100):
        if not any(map(alive, started)):
            break
        time.sleep(0.05)
    assert not any(map(alive, started))


def test_a_timed_out_run_falls_back_to_the_input(hanging_tool, tmp_path, monkeypatch, caplog):
    pdf, _ = hanging_tool
    monkeypatch.setattr(Pagewring, "OCR_SECONDS_FIXED", 0.5)
    monkeypatch.setattr(Pagewring, "OCR_SECONDS_PER_PAGE", 0.0)
    assert Pagewring.extract_text_from_pdf(pdf, str(tmp_path)) == Pagewring._extract_text_from_pdf(pdf)
    assert "TimeoutExpired" in root_lines(caplog, logging.ERROR)[0]
    # Nothing half written is left beside the base's copy.
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".output-")]


def test_tesseract_runs_under_a_time_limit(files, monkeypatch):
    monkeypatch.setattr(Pagewring, "TESSERACT_SECONDS", 0.001)
    with pytest.raises(RuntimeError, match="Tesseract process timeout"):
        Pagewring.extract_text_from_image(str(files["dir"] / "en.png"), Idiomark.ENGLISH)


# ---- images, video, other inputs ------------------------------------------------


@pytest.fixture
def tesseract_calls(monkeypatch):
    """(lang, OMP_THREAD_LIMIT seen by the Tesseract child) for every OCR run;
    ("osd", ...) for a script detection."""
    calls, real_ocr, real_args = [], pytesseract.image_to_string, pytesseract.pytesseract.subprocess_args
    real_osd = pytesseract.image_to_osd

    def ocr(image, *args, **kwargs):
        calls.append([kwargs.get("lang")])
        return real_ocr(image, *args, **kwargs)

    def osd(image, *args, **kwargs):
        calls.append(["osd"])
        return real_osd(image, *args, **kwargs)

    def child_args(*args, **kwargs):
        options = real_args(*args, **kwargs)
        if calls:
            calls[-1].append(dict(options["env"]).get("OMP_THREAD_LIMIT"))
        return options
    monkeypatch.setattr(pytesseract, "image_to_string", ocr)
    monkeypatch.setattr(pytesseract, "image_to_osd", osd)
    monkeypatch.setattr(pytesseract.pytesseract, "subprocess_args", child_args)
    monkeypatch.delenv("OMP_THREAD_LIMIT", raising=False)
    return calls


@pytest.mark.parametrize("lang", [None, Idiomark.PORTUGUESE])
def test_image_is_read_in_its_language_by_one_thread(files, tesseract_calls, caplog, lang):
    image = str(files["dir"] / "pt.png")
    text = Pagewring.extract_text_from_image(image, lang)
    assert "aldeias" in text and text.count("lava") == 1
    expected = [[None, "1"], ["osd", "1"], ["por", "1"]] if lang is None else [["por", "1"]]
    assert tesseract_calls == expected
    assert "OMP_THREAD_LIMIT" not in os.environ
    # Anyone else's Tesseract keeps the host's environment.
    pytesseract.image_to_string(image)
    assert tesseract_calls[-1] == [None, None]
    assert root_lines(caplog).count(f"Extracted Text from Image:\n{text}\n") == (2 if lang is None else 1)


@pytest.mark.parametrize("where", [Tonguecheck, Pagewring])
def test_host_thread_limit_wins_and_detection_is_read_at_call_time(files, tesseract_calls,
                                                                  monkeypatch, where):
    monkeypatch.setenv("OMP_THREAD_LIMIT", "2")
    monkeypatch.setattr(where, "detect_lang", lambda text: Idiomark.SPANISH)
    Pagewring.extract_text_from_image(str(files["dir"] / "en.png"))
    assert tesseract_calls == [[None, "2"], ["osd", "2"], ["spa", "2"]]


def test_image_without_text_or_in_another_language(files, caplog):
    assert Pagewring.extract_text_from_image(str(files["dir"] / "blank.png")) == ""
    assert root_lines(caplog) == ["No Text Extracted from Image", "Extracted Text from Image:\n\n"]
    with pytest.raises(ValueError, match="^Language .* not supported$"):
        Pagewring.extract_text_from_image(str(files["dir"] / "fr.png"))


class Captures:
    """cv2 for the module, with every capture it opens recorded."""

    def __init__(self):
        self.opened, self.released = [], 0

    def VideoCapture(self, path):
        capture = cv2.VideoCapture(path)
        self.opened.append(path)

        def release():
            self.released += 1
            capture.release()
        return types.SimpleNamespace(isOpened=capture.isOpened, read=capture.read, release=release)


def test_video_frames_are_read_in_order_and_the_capture_always_released(files, monkeypatch):
    monkeypatch.setattr(Pagewring, "cv2", captures := Captures())
    video = str(files["dir"] / "words.mp4")
    text = Pagewring.extract_text_from_video(video)
    assert text.index("ALPHA") < text.index("BRAVO") < text.index("CHARLIE")
    monkeypatch.setattr(pytesseract, "image_to_string", lambda frame, **options: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        Pagewring.extract_text_from_video(video)
    assert captures.released == 2


@pytest.mark.parametrize("name, content, expected, opened", [
    ("broken.mp4", b"not a video at all", "", True),
    ("words.MP4", None, "", False),
    ("sound.wav", None, None, False),
    ("notes.txt", None, "", False),
])
def test_other_video_paths(tmp_path, monkeypatch, files, name, content, expected, opened):
    monkeypatch.setattr(Pagewring, "cv2", captures := Captures())
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    else:
        shutil.copy(files["dir"] / "words.mp4", path)
    assert Pagewring.extract_text_from_video(str(path)) == expected
    assert (captures.opened, captures.released) == (([str(path)], 1) if opened else ([], 0))
    assert Pagewring.extract_text_from_any(str(path)) is None
    assert Pagewring.extract_text_from_csv(str(path)) is None
