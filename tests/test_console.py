"""The installed `wrapper` program: index a folder, search it, fail in one line."""

import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys

import fitz
import pytest

from samples import EN, ES, PT, scanned_pdf, text_pdf

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
    assert status == 3  # one document failed; the run went on
    lines = out.splitlines()
    assert lines[0].startswith("indexed 2, skipped 1, failed 1")
    assert "  skipped notes.txt: not a document: not a PDF, image or MP4 video" in lines
    failed = [line for line in lines if line.startswith("  failed  broken.pdf: ")]
    assert failed == ["  failed  broken.pdf: not a document: its content is not a PDF (no %PDF header)"]
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
    assert lines[0] == "query: volcano (corrected from: volcanno)"
    # Only one English document matches: the next page is empty.
    assert len(lines) == 5 and lines[1] == "page 1" and lines[4] == "no more results"
    assert re.fullmatch(r"  \d\.\d{4}  \[en\]  sub dir/en\.pdf", lines[2])
    # Under the hit, its page and passage, the corrected word in brackets.
    assert lines[3].startswith("      p. 1: The [volcano] woke up after two centuries")


def test_search_reads_the_index_beside_the_model_and_answers_as_the_model(indexed, tmp_path):
    base, _ = indexed
    # The same base without the index beside the model: the model is read.
    without = tmp_path / "base"
    shutil.copytree(base, without, copy_function=shutil.copy2)
    (without / "models" / "td_search_index.bin").unlink()
    for query in (["vulcão", "cinza"], ["volcanno", "--per-page", "1", "--pages", "2"], ["lava", "river"],
                  ["rio", "--language", "pt", "--json"], ["cinzas", "volcano", "--json"]):
        assert run("search", *query, "--base", base) == run("search", *query, "--base", without)
    # ...and without scikit-learn and SciPy, which reading the model needs.
    script = ("import sys\nfrom wrapper.Console import main\ntry:\n    main()\nfinally:\n"
              "    print(sorted(m for m in ('sklearn', 'scipy') if m in sys.modules), file=sys.stderr)\n")
    for where, loaded in ((base, "[]"), (without, "['scipy', 'sklearn']")):
        done = subprocess.run([sys.executable, "-c", script, "search", "lava", "--base", str(where)],
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0 and "en.pdf" in done.stdout
        assert done.stderr.splitlines()[-1] == loaded


@pytest.mark.parametrize("tty, shown", [(False, "[vulcão]"), (True, "\x1b[1mvulcão\x1b[0m")])
def test_search_marks_words_bold_on_a_terminal(indexed, capsys, monkeypatch, tty, shown):
    from wrapper.Console import main

    base, _ = indexed
    monkeypatch.setattr(sys.stdout, "isatty", lambda: tty)
    assert main(["search", "vulcao", "--base", str(base), "--language", "pt"]) == 0
    passage = capsys.readouterr().out.splitlines()[3]
    assert passage.startswith(f"      p. 1: O {shown} acordou")


def test_search_json_lines(indexed):
    base, _ = indexed
    status, out, err = run("search", "ash", "lavas", "--base", base, "--language", "en",
                           "--json", "--pages", "3")
    assert (status, err) == (0, "")
    # Nothing but one line per hit: the English page, then the Portuguese
    # one, which holds "lava" as Portuguese stems it. The query is shown in
    # words, as searched.
    line, other = [json.loads(line) for line in out.splitlines()]
    [passage] = line.pop("passages")
    assert line == {"query": "ash lavas", "results_page": 1, "name": "sub dir/en.pdf",
                    "score": line["score"], "language": "en"}
    assert isinstance(line["score"], float) and line["score"] > other["score"] > 0
    assert passage["page"] == 1 and passage["reindex"] is False
    assert [passage["text"][b:e] for b, e in passage["marks"]] == ["Ash", "lava"]
    assert (other["name"], other["language"]) == ("pt.pdf", "pt")
    [passage] = other["passages"]
    assert [passage["text"][b:e] for b, e in passage["marks"]] == ["lava"]


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
                                                      "entities", "abstract", "keywords"]
    assert lines[5] == "abstract:  (text too short to summarise)"
    assert lines[1].split() == ["language:", "pt"]
    assert "vulca" in lines[3].split()
    # The OCR intermediate went to a scratch directory, not beside the file.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["nota.pdf"]


def test_show_reads_a_scan_once_in_the_language_of_a_sample(tmp_path):
    pdf = scanned_pdf(tmp_path / "nota.pdf", PT)
    status, out, err = run("--log-level", "info", "show", pdf)
    assert status == 0, err
    assert re.search(r"INFO language of \S+nota\.pdf from 1 pages OCR'd: pt", err)
    assert out.splitlines()[1].split() == ["language:", "pt"]


def test_show_prints_abstract_and_keywords(tmp_path):
    sentences = [
        "O vulcão da ilha acordou depois de dois séculos de silêncio.",
        "A cinza do vulcão cobriu as aldeias da encosta norte durante a noite.",
        "Os pescadores deixaram os barcos no porto e subiram para a cidade.",
        "A lava do vulcão desceu pela encosta até ao rio em três dias.",
        "As escolas fecharam e as famílias dormiram nos pavilhões da cidade.",
        "Os cientistas mediram os gases do vulcão a cada hora.",
        "O governo enviou aviões com água, comida e cobertores para a ilha.",
        "A cinza fechou o aeroporto da ilha durante uma semana inteira.",
        "Os agricultores perderam as vinhas da encosta norte.",
        "Depois de um mês o vulcão adormeceu e a lava arrefeceu.",
        "As aldeias da encosta foram reconstruídas com ajuda do governo.",
        "Hoje os turistas visitam a cratera do vulcão com guias da ilha.",
    ]
    pdf = tmp_path / "ilha.pdf"
    with fitz.open() as doc:
        page = doc.new_page(width=595, height=842)
        page.insert_textbox(fitz.Rect(36, 36, 559, 806), "\n".join(sentences), fontsize=10)
        doc.save(pdf)
    status, out, err = run("show", pdf)
    assert status == 0, err
    fields = dict(line.split(":  ", 1) for line in out.splitlines())
    abstract = fields["abstract"]
    # At most three whole sentences of the text, in text order.
    picked = [s for s in sentences if s in abstract]
    assert 1 <= len(picked) <= 3 and abstract == " ".join(picked)
    keywords = fields["keywords"].split(", ")
    assert "vulcao" in " ".join(keywords).split()
# ---- the sentence-embedding engine -----------------------------------------

BREAD = "Baking bread at home needs only flour, water, salt and patience."


@pytest.fixture(scope="module")
def sb_indexed(tmp_path_factory):
    root = tmp_path_factory.mktemp("console-sb")
    docs = root / "docs"
    docs.mkdir()
    text_pdf(docs / "volcano.pdf", EN)
    text_pdf(docs / "bread.pdf", BREAD)
    base = root / "base"
    status, out, err = run("index", docs, "--base", base, "--detect", "--engine", "sb")
    assert status == 0, out + err
    return docs, base


def test_an_embedding_search_answers_any_query_and_lists_no_unrelated_hit(sb_indexed):
    _, base = sb_indexed
    # lingua takes "lava river" for French: the index's languages are searched.
    status, out, err = run("search", "lava", "river", "--base", base)
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[:3] == ["query: lava river", "searched in: en (the query's language could not be told)",
                         "page 1"]
    assert lines[3].endswith("  volcano.pdf") and not any("bread.pdf" in line for line in lines)
    # Nothing in the index is about this: no hit clears the floor.
    status, out, _ = run("search", "quarterly invoice payment terms", "--base", base, "--language", "en")
    assert status == 0 and out.splitlines()[1:] == ["no documents match"]


def test_an_index_remembers_its_engine(indexed, sb_indexed):
    docs, sb_base = sb_indexed
    # No flag needed; no word in common with the volcano page.
    status, out, err = run("search", "burning mountain eruption", "--base", sb_base,
                           "--language", "en")
    assert status == 0, err
    assert out.splitlines()[2].endswith("  volcano.pdf") and "[en]" in out.splitlines()[2]

    td_base = indexed[0]
    for command in (("search", "lava", "--base", sb_base, "--engine", "td"),
                    ("search", "lava", "--base", td_base, "--engine", "sb"),
                    ("index", docs, "--base", td_base, "--engine", "sb")):
        status, out, err = run(*command)
        wrong, right = ("td", "sb") if command[3] == sb_base else ("sb", "td")
        assert status == 1 and "Traceback" not in err
        assert err.splitlines() == [
            f"wrapper: error: ValueError: the index at {command[3]} was built with the {right} "
            f"engine, not {wrong} (leave out --engine, or use another --base)"]


@pytest.mark.parametrize("engine, detect", [("td", ()), ("sb", ()), ("sb", ("--detect",))])
def test_a_folder_with_nothing_to_file_still_makes_an_index(tmp_path, engine, detect):
    from wrapper import Console
    (tmp_path / "empty").mkdir()
    base = tmp_path / "base"
    status, out, err = run("index", tmp_path / "empty", "--base", base, "--engine", engine, *detect)
    assert status == 0, err
    # Searched, it finds nothing; it keeps its engine; the page opens it.
    assert run("search", "volcano", "--base", base) == (0, "no documents match\n", "")
    assert run("search", "volcano", "--json", "--base", base) == (0, "", "")
    other = "sb" if engine == "td" else "td"
    status, out, err = run("search", "volcano", "--base", base, "--engine", other)
    assert status == 1 and f"built with the {engine} engine" in err
    Console._Site(str(base))


def test_an_unreachable_translation_service_stops_indexing_in_one_line(tmp_path, monkeypatch,
                                                                        capsys):
    from wrapper.Console import main
    from wrapper.infra import Tonguecheck

    with socket.socket() as s:  # a port on this machine that nothing listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setattr(Tonguecheck, "SERVICE_URLS", [f"127.0.0.1:{port}"])
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    docs = tmp_path / "docs"
    docs.mkdir()
    text_pdf(docs / "a.pdf", PT)
    text_pdf(docs / "b.pdf", ES)
    base = str(tmp_path / "base")
    note = tmp_path / "base" / "models" / "index.json"
    # Indexing stops at the first document, and the index keeps no mode it
    # never filed anything with; a translated index's search translates its
    # query, and fails the same way.
    for argv in (["index", str(docs), "--base", base, "--detect", "--translate-to", "en",
                  "--engine", "sb"],
                 ["search", "lava", "--base", base]):
        if argv[0] == "search":
            assert "engine" not in json.loads(note.read_text())
            note.write_text(json.dumps({"engine": "sb", "detect": True, "translate_to": "en"}))
        status = main(argv)
        err = capsys.readouterr().err
        assert status == 1
        assert err.splitlines() == [err.strip()]
        assert err.startswith(f"wrapper: error: ConnectionError: the translation service "
                              f"(127.0.0.1:{port}) cannot be reached: ")
def test_search_leaves_unused_packages_unloaded(indexed):
    # In a fresh interpreter: the search's own answer, what it left unloaded,
    # and that a deferred package still works when something uses it.
    base, _ = indexed
    script = f"""
import sys, types
from wrapper.Console import main
status = main(["search", "vulcão", "--base", {str(base)!r}, "--language", "pt"])
loaded = [n for n in ("spacy", "cv2", "fitz", "pytesseract", "PIL.Image")
          if type(sys.modules.get(n)) is types.ModuleType]
import PIL.Image
print(status, loaded, PIL.Image.new("RGB", (2, 1)).size)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[1] == "page 1" and lines[2].endswith("  pt.pdf")
    assert lines[-1] == "0 [] (2, 1)"
@pytest.mark.parametrize("argv, user, threads", [("sys.argv[1:]", None, "None"), ("None", None, "'1'"),
                                                  ("None", "3", "'3'")])
def test_only_the_search_command_keeps_blas_to_one_thread(indexed, argv, user, threads):
    # Run as the command, before numpy loads, unless the user chose; a host
    # calling main() keeps its environment.
    base, _ = indexed
    script = f"""
import os, sys
from wrapper.Console import main
sys.argv = ["wrapper", "search", "lava", "--base", {str(base)!r}, "--language", "en"]
status = main({argv})
print(status, repr(os.environ.get("OPENBLAS_NUM_THREADS")))
"""
    env = {k: v for k, v in os.environ.items() if k != "OPENBLAS_NUM_THREADS"}
    if user:
        env["OPENBLAS_NUM_THREADS"] = user
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == f"0 {threads}"


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


def test_show_lists_each_entity_once_with_its_count(tmp_path, fixed_ner, capsys):
    # In this process, so that the fixed recogniser answers: groups with the
    # most mentions first, then by label; in a group the most named first,
    # ties in the order the text first names them.
    from wrapper.Console import main

    pdf = text_pdf(tmp_path / "nota.pdf",
                   "José Saramago visitou Lisboa. Em Lisboa, José Saramago conheceu Miguel de "
                   "Cervantes. Depois voltou a Lisboa, a Madrid e a Barcelona, longe de México.")
    assert main(["show", str(pdf)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[4] == ("entities:  LOC: Lisboa (3), Madrid (1), Barcelona (1), México (1); "
                        "PER: José Saramago (2), Miguel de Cervantes (1)")
