"""`wrapper index` at scale: worker processes, hostile files, resuming and
incremental runs, the lock on the index, and a Dask cluster."""

import fcntl
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import types

import joblib
import pytest
from PIL import Image, ImageDraw, ImageFont

from samples import EN, ES, PT, alive, text_pdf

PROGRAM = pathlib.Path(sys.executable).parent / "wrapper"
SELF_REFERENCING = (b"%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 1 0 R >> endobj\n"
                    b"trailer << /Root 1 0 R >>\n%%EOF\n")


def run(*args, **kwargs):
    done = subprocess.run([str(PROGRAM), *map(str, args)], capture_output=True, text=True,
                          timeout=600, **kwargs)
    return done.returncode, done.stdout, done.stderr


def stored(base):
    return joblib.load(pathlib.Path(base) / "models" / "td_model.pkl")


def same_index(a, b):
    x, y = stored(a), stored(b)
    assert x["document_names"] == y["document_names"]
    assert x["cleaned_text"] == y["cleaned_text"]
    assert (x["matrix"] != y["matrix"]).nnz == 0


def documents_of(folder, to):
    """A copy of the folder's documents without the index that lives in it."""
    shutil.copytree(folder, to, ignore=shutil.ignore_patterns("models", "*output*"))
    return to


def failed_lines(out):
    return {line.split(":")[0].split()[-1]: line for line in out.splitlines()
            if line.startswith("  failed  ")}


@pytest.fixture(scope="module")
def hostile_folder(tmp_path_factory):
    """Three good PDFs and files meant to break a reader, in a folder that is
    also the base path of the index (so its own files lie inside it)."""
    root = tmp_path_factory.mktemp("hostile")
    text_pdf(root / "en.pdf", EN)
    text_pdf(root / "pt.pdf", PT)
    (root / "sub").mkdir()
    text_pdf(root / "sub" / "es.pdf", ES)
    (root / "loop.pdf").write_bytes(SELF_REFERENCING)
    (root / "empty.pdf").write_bytes(b"")
    (root / "truncated.pdf").write_bytes((root / "en.pdf").read_bytes()[:300])
    Image.new("L", (40, 40), 255).save(root / "picture.pdf", format="PNG")  # wrong extension
    # A page a hundred metres wide: the direct reader copes, OCR would not.
    import fitz
    with fitz.open() as doc:
        doc.new_page(width=14400, height=14400).insert_text((72, 72), "giant", fontsize=12)
        doc.save(root / "giant.pdf")
    return root


@pytest.fixture(scope="module")
def indexed_in_parallel(hostile_folder):
    return run("index", hostile_folder, "--base", hostile_folder, "--jobs", "2")


def test_hostile_files_fail_alone_and_the_run_goes_on(indexed_in_parallel, hostile_folder):
    status, out, err = indexed_in_parallel
    assert status == 1 and "Traceback" not in out + err
    failed = failed_lines(out)
    assert set(failed) == {"loop.pdf", "empty.pdf", "truncated.pdf", "picture.pdf"}
    assert failed["loop.pdf"].endswith(": damaged beyond repair: no page can be found in it")
    names = stored(hostile_folder)["document_names"]
    # The base's own OCR copy and index files are never taken for documents.
    assert names == ["en.pdf", "giant.pdf", "pt.pdf", os.path.join("sub", "es.pdf")]
    assert (hostile_folder / "output.pdf").is_file()
    assert not [p for p in hostile_folder.iterdir() if p.name.startswith(".output-")]


def test_one_worker_builds_the_same_index(indexed_in_parallel, hostile_folder, tmp_path):
    folder = documents_of(hostile_folder, tmp_path / "docs")
    status, _, _ = run("index", folder, "--base", tmp_path, "--jobs", "1", "--batch", "1")
    assert status == 1
    same_index(tmp_path, hostile_folder)


def test_a_cluster_builds_the_same_index(indexed_in_parallel, hostile_folder, tmp_path):
    distributed = pytest.importorskip("distributed")
    folder = documents_of(hostile_folder, tmp_path / "docs")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        status, out, err = run("index", folder, "--base", tmp_path / "remote",
                               "--scheduler", cluster.scheduler_address)
    assert status == 1 and set(failed_lines(out)) == {"loop.pdf", "empty.pdf", "truncated.pdf",
                                                      "picture.pdf"}
    same_index(tmp_path / "remote", hostile_folder)


def test_a_second_run_files_only_what_changed(indexed_in_parallel, hostile_folder):
    status, out, _ = run("index", hostile_folder, "--base", hostile_folder)
    assert out.startswith("indexed 0, skipped 0, failed 4, unchanged 4,")
    text_pdf(hostile_folder / "pt.pdf", "A lagoa secou e os peixes partiram para o mar do norte.")
    status, out, _ = run("index", hostile_folder, "--base", hostile_folder)
    assert out.startswith("indexed 1, skipped 0, failed 4, unchanged 3,")
    data = stored(hostile_folder)
    assert sorted(data["document_names"]) == sorted(["en.pdf", "giant.pdf", "pt.pdf",
                                                     os.path.join("sub", "es.pdf")])
    assert "lagoa" in data["cleaned_text"]["pt.pdf"]


# ---- interrupted runs and other writers ----------------------------------------


def scanned_pictures(folder, count):
    folder.mkdir()
    font = ImageFont.load_default(size=28)
    words = ["volcano ash", "river delta", "mountain snow", "desert wind", "forest rain",
             "harbour ships"]
    for i in range(count):
        image = Image.new("L", (520, 80), 255)
        ImageDraw.Draw(image).text((10, 20), f"{words[i % len(words)]} number {i}", font=font, fill=0)
        image.save(folder / f"p{i:02d}.png")
    return sorted(p.name for p in folder.iterdir())


def test_a_killed_run_keeps_its_batches_and_the_next_one_finishes(tmp_path):
    names = scanned_pictures(tmp_path / "docs", 6)
    base = tmp_path / "base"
    child = subprocess.Popen([str(PROGRAM), "index", tmp_path / "docs", "--base", base,
                              "--jobs", "1", "--batch", "1"],
                             stderr=subprocess.PIPE, text=True)
    for line in child.stderr:
        if "] 3/6 " in line:
            break
    child.send_signal(signal.SIGKILL)
    child.wait()
    child.stderr.close()
    kept = stored(base)["document_names"]
    assert kept == names[:len(kept)] and len(kept) >= 2

    status, out, _ = run("index", tmp_path / "docs", "--base", base)
    assert status == 0 and f"unchanged {len(kept)}," in out.splitlines()[0]
    assert stored(base)["document_names"] == names


def test_another_writer_is_waited_for(tmp_path):
    scanned_pictures(tmp_path / "docs", 1)
    models = tmp_path / "base" / "models"
    models.mkdir(parents=True)
    fd = os.open(models, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        child = subprocess.Popen([str(PROGRAM), "index", tmp_path / "docs", "--base",
                                  tmp_path / "base"], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        for line in child.stderr:
            if line.startswith("waiting for another writer"):
                assert f"(pid {os.getpid()})" in line
                break
    finally:
        os.close(fd)
    out, _ = child.communicate(timeout=600)
    assert child.returncode == 0 and out.startswith("indexed 1,")


def test_a_file_that_kills_its_worker_is_reported_and_the_rest_indexed(tmp_path, monkeypatch,
                                                                      capsys):
    from wrapper import Console
    from wrapper.Process import Process

    def compile(base, path, detect, target):
        if path.endswith("bad.pdf"):
            os._exit(9)  # the worker process dies, as under the OOM killer
        return types.SimpleNamespace(text="words", cleaned_text=f"words in {path}",
                                     detected_language=None, id=None)
    # Worker processes are forked from this one, so they see the stand-in.
    monkeypatch.setattr(Process, "compile", staticmethod(compile))
    folder = tmp_path / "docs"
    folder.mkdir()
    for name in ("a.pdf", "bad.pdf", "c.pdf", "d.pdf"):
        (folder / name).write_bytes(name.encode())
    assert Console.main(["index", str(folder), "--base", str(tmp_path), "--jobs", "2"]) == 1
    out = capsys.readouterr().out
    assert "  failed  bad.pdf: a tool failed: the worker process compiling it died" in out.splitlines()
    assert stored(tmp_path)["document_names"] == ["a.pdf", "c.pdf", "d.pdf"]


HANGING_TOOL = """#!/bin/sh
sleep 300 &
echo $$ $! >> "$PIDS"
wait
"""


@pytest.mark.parametrize("stop", [signal.SIGKILL, signal.SIGINT])
def test_stopping_a_run_stops_its_workers_and_their_tools(tmp_path, stop):
    tool = tmp_path / "bin" / "ocrmypdf"
    tool.parent.mkdir()
    tool.write_text(HANGING_TOOL)
    tool.chmod(0o755)
    folder = tmp_path / "docs"
    folder.mkdir()
    text_pdf(folder / "a.pdf", EN)
    text_pdf(folder / "b.pdf", PT)
    pids = tmp_path / "pids"
    env = dict(os.environ, PATH=f"{tool.parent}:{os.environ['PATH']}", PIDS=str(pids))
    # Started from a background job, the test itself may ignore Ctrl-C; the
    # program must see it as a terminal would deliver it.
    child = subprocess.Popen([str(PROGRAM), "index", folder, "--base", tmp_path / "base",
                              "--jobs", "2"], env=env, stderr=subprocess.DEVNULL,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    for _ in range(1200):
        if pids.exists() and len(pids.read_text().split()) == 4:
            break
        time.sleep(0.05)
    with open(f"/proc/{child.pid}/task/{child.pid}/children") as f:
        workers = [int(p) for p in f.read().split()]
    started = workers + [int(p) for p in pids.read_text().split()]
    child.send_signal(stop)
    child.wait(timeout=60)
    for _ in range(200):
        if not any(map(alive, started)):
            break
        time.sleep(0.05)
    assert len(workers) == 2 and not any(map(alive, started))


# ---- what a user is told ----------------------------------------------------------


FRENCH = ("Le volcan s'est réveillé après deux siècles de silence. La cendre a couvert les "
          "villages du versant nord et la lave a atteint la rivière en trois jours.")


def test_reasons_a_user_can_act_on(tmp_path):
    folder = tmp_path / "docs"
    folder.mkdir()
    text_pdf(folder / "fr.pdf", FRENCH)
    text_pdf(folder / "blank.pdf", "")
    text_pdf(folder / "en.pdf", EN)
    status, out, _ = run("index", folder, "--base", tmp_path, "--detect", "--jobs", "1")
    failed = failed_lines(out)
    assert failed["fr.pdf"].endswith(
        "written in French; only English, Spanish and Portuguese are supported")
    assert failed["blank.pdf"].endswith(
        ": no readable text: 1 page, no text found by OCR nor in the PDF itself")

    for query, told, hint in [("  ", "the query is empty", False),
                              ("bonjour le monde", "could not be told (it looks like French)", True)]:
        status, out, err = run("search", query, "--base", tmp_path)
        assert status == 1 and out == "" and told in err
        assert ("--language en, es or pt" in err) is hint
    for option in ("--per-page", "--pages"):
        status, _, err = run("search", "volcano", "--base", tmp_path, option, "0")
        assert status == 2 and "invalid value: '0' (a whole number from 1 up)" in err


def test_pdfs_read_without_ocr_are_counted_with_the_reason(tmp_path):
    folder = tmp_path / "docs"
    folder.mkdir()
    text_pdf(folder / "en.pdf", EN)
    text_pdf(folder / "pt.pdf", PT)
    env = dict(os.environ, PATH=str(tmp_path / "nothing-here"))
    status, out, _ = run("index", folder, "--base", tmp_path / "base", env=env)
    lines = out.splitlines()
    assert status == 0 and lines[0].startswith("indexed 2, skipped 0, failed 0, unchanged 0, "
                                               "read without OCR 2 ")
    assert [line.split(": ", 1)[0] for line in lines[1:]] == ["  no OCR  en.pdf", "  no OCR  pt.pdf"]
    assert all(line.endswith(": a tool failed: ocrmypdf is not installed") for line in lines[1:])
