"""The installed `wrapper` program: index a folder, search it, fail in one line."""

import pathlib
import re
import subprocess
import sys

import pytest

from samples import EN, PT, text_pdf

PROGRAM = pathlib.Path(sys.executable).parent / "wrapper"


def run(*args, cwd=None):
    done = subprocess.run([str(PROGRAM), *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=600)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    root = tmp_path_factory.mktemp("console")
    docs = root / "docs"
    (docs / "sub dir").mkdir(parents=True)
    text_pdf(docs / "pt.pdf", PT)
    text_pdf(docs / "sub dir" / "en.pdf", EN)
    (docs / "notes.txt").write_text("not indexed")
    (docs / "broken.pdf").write_bytes(b"this is not a PDF at all")
    base = root / "base"
    result = run("index", docs, "--base", base, "--detect")
    return base, result


def test_index_reports_what_became_of_each_file(indexed):
    base, (status, out, err) = indexed
    assert status == 1  # one document failed
    lines = out.splitlines()
    assert lines[0].startswith("indexed 2, skipped 1, failed 1")
    assert "  skipped notes.txt: not a PDF, image or MP4 video" in lines
    failed = [line for line in lines if line.startswith("  failed  broken.pdf: ")]
    assert len(failed) == 1
    assert "Traceback" not in out + err
    assert (base / "models" / "td_model.pkl").is_file()


def test_search_pages_and_correction(indexed):
    base, _ = indexed
    status, out, _ = run("search", "vulcão", "cinza", "--base", base, "--language", "pt")
    assert status == 0
    lines = out.splitlines()
    assert lines[0].startswith("query: ") and lines[1] == "page 1"
    assert lines[2].endswith("  pt.pdf") and "[pt]" in lines[2]

    status, out, _ = run("search", "volcanno", "--base", base, "--language", "en",
                         "--per-page", "1", "--pages", "3")
    assert status == 0
    lines = out.splitlines()
    assert "volcano" in lines[0]
    # Only one English document matches: the next page is empty.
    assert len(lines) == 4 and lines[1] == "page 1" and lines[3] == "no more results"
    assert re.fullmatch(r"  \d\.\d{4}  \[en\]  sub dir/en\.pdf", lines[2])


def test_failures_are_one_line_unless_asked(tmp_path):
    status, out, err = run("search", "anything", "--base", tmp_path / "nowhere")
    assert status == 1 and out == ""
    assert err.splitlines() == [
        f"wrapper: error: FileNotFoundError: no index at {tmp_path / 'nowhere'} "
        "(run 'wrapper index' first)"]

    status, _, err = run("--traceback", "index", tmp_path / "missing", "--base", tmp_path)
    assert status == 1
    lines = err.splitlines()
    assert len(lines) >= 2 and lines[-1].startswith("wrapper: error: FileNotFoundError: ")

    status, _, err = run("search", "--base", tmp_path)  # no query: a usage error
    assert status == 2 and "usage:" in err


def test_show_one_document(tmp_path):
    pdf = text_pdf(tmp_path / "nota.pdf", PT)
    status, out, err = run("show", pdf)
    assert status == 0, err
    lines = out.splitlines()
    assert [line.split(":")[0] for line in lines] == ["file", "language", "text", "stems",
                                                      "entities"]
    assert lines[1].split() == ["language:", "pt"]
    assert "vulca" in lines[3].split()
    # The OCR intermediate went to a scratch directory, not beside the file.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["nota.pdf"]


@pytest.mark.parametrize("page", ["99999999999999999999", str(2**63 - 1), str(2**63)])
def test_search_pages_past_any_machine_integer(indexed, page):
    base, _ = indexed
    status, out, err = run("search", "volcano", "--base", base, "--language", "en",
                           "--page", page, "--pages", str(2**63))
    assert (status, err) == (0, "")
    assert out.splitlines()[1:] == ["no documents match"]


@pytest.mark.parametrize("option,value", [("--page", "0"), ("--per-page", "-3"),
                                          ("--pages", "two"), ("--page", "1.5")])
def test_page_options_take_whole_numbers_from_one(indexed, option, value):
    base, _ = indexed
    status, out, err = run("search", "volcano", "--base", base, option, value)
    assert status == 2 and out == ""
    assert err.splitlines()[-1] == (f"wrapper search: error: argument {option}: invalid value: "
                                    f"'{value}' (a whole number from 1 up)")
