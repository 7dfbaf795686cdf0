"""The facade: construction and its engine, the resource download, turning
paths into documents, training and search; then a whole run with the real
term-weighting engine over generated PDFs."""

import logging
import os
import shlex
import sys

import pytest

from wrapper import Process as process_module
from wrapper.infra.Enginekind import Enginekind
from wrapper.infra.Idiomark import Idiomark
from wrapper.Process import Process

from samples import EN, ES, PT, text_pdf


class Engine:
    """Records what the facade asks of an engine."""

    made = []

    def __init__(self, *args):
        self.args = args
        self.trained = []
        self.updated = []
        self.removed = []
        self.searched = []
        Engine.made.append(self)

    def train_model(self, doc):
        self.trained.append(doc)
        return "ignored"

    def train_batch(self, docs):
        self.trained.append(list(docs))
        return "ignored"

    def update_documents(self, docs):
        self.updated.append(docs)
        return len(docs)

    def remove_documents(self, ids):
        self.removed.append(ids)
        return 7

    def search_documents(self, *args):
        self.searched.append(args)
        return ("corrected", [{"name": 1}])


class Document:
    """Stands in for a document class: records construction and extraction."""

    def __init__(self, *args):
        self.args = args
        self.features_from = None

    def create_features(self, path):
        self.features_from = path


@pytest.fixture
def engines(monkeypatch):
    Engine.made = []
    monkeypatch.setattr(process_module, "FinderyTD", Engine)
    monkeypatch.setattr(process_module, "FinderySB", Engine)
    return Engine.made


@pytest.fixture
def documents(monkeypatch):
    kinds = {}
    for name in ("PDF", "Image", "Video"):
        kinds[name] = type(name, (Document,), {})
        monkeypatch.setattr(process_module, name, kinds[name])
    return kinds


def info_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]


# ---- construction ----------------------------------------------------------


def test_class_shape():
    assert type(Process) is type and Process.__bases__ == (object,)
    assert Process.document_search is None
    assert Process.__annotations__ == {"base_path": str, "is_detect_language": bool,
                                       "translate_to": Idiomark}


@pytest.mark.parametrize("kind, expected", [
    (None, None), ("TD", None), ("SB", None), (Enginekind.TD, "TD"), (Enginekind.SB, "SB"),
])
def test_engine_choice(tmp_path, engines, kind, expected, caplog):
    caplog.set_level(logging.INFO)
    proc = Process(str(tmp_path), True, Idiomark.SPANISH, kind)
    assert info_lines(caplog) == ["starting process"]
    models = str(tmp_path) + "/models"
    assert os.path.isdir(models)
    assert (proc.modeldir, proc.base_path, proc.is_detect_language, proc.translate_to) == (
        models, str(tmp_path), True, Idiomark.SPANISH)
    if expected is None:
        assert proc.document_search is None and engines == []
    else:
        assert proc.document_search is engines[0]
        assert engines[0].args == ((models, True) if expected == "SB" else (models,))


def test_models_directory(tmp_path, engines):
    (tmp_path / "models").write_text("not a directory")
    proc = Process(str(tmp_path) + "/")  # left alone, whatever it is
    assert proc.modeldir == str(tmp_path) + "//models"
    assert (tmp_path / "models").read_text() == "not a directory"
    nested = tmp_path / "a" / "b"
    Process(str(nested))
    assert (nested / "models").is_dir()
    with pytest.raises(TypeError):
        Process(tmp_path)  # a path object, not a string
    assert not (tmp_path / "models").is_dir()


def test_ready_made_configurations(tmp_path, engines):
    online = Process.create_online_pipeline_multilingual(str(tmp_path))
    batch = Process.create_batch_pipeline(str(tmp_path))
    assert (online.is_detect_language, online.translate_to) == (True, Idiomark.ENGLISH)
    assert (batch.is_detect_language, batch.translate_to) == (False, None)
    assert online.document_search.args == (str(tmp_path) + "/models", True)
    assert batch.document_search.args == (str(tmp_path) + "/models",)


# ---- resource download -----------------------------------------------------


@pytest.fixture
def downloads(monkeypatch):
    done = []
    monkeypatch.setattr(os, "system", lambda cmd: done.append(("shell", cmd)) or 0)
    monkeypatch.setattr(process_module.nltk, "download",
                        lambda name, **kw: done.append((name, kw.get("download_dir", "default"))))
    return done


def test_load_into_a_missing_directory(downloads, caplog, tmp_path):
    caplog.set_level(logging.INFO)
    target = str(tmp_path / "new")
    assert Process.load(target) is None
    python = shlex.quote(sys.executable)
    corpora = ["punkt", "stopwords", "wordnet", "rslp"]
    assert downloads == (
        [("shell", f"{python} -m spacy download xx_ent_wiki_sm"),
         ("shell", f"{python} -m spacy download pt_core_news_sm")]
        + [(c, target) for c in corpora] + [(c, "default") for c in corpora])
    assert info_lines(caplog) == ["Downloading resources...", "Downloading more resources...",
                                  "Finish Downloading resources..."]


def test_load_into_an_existing_directory(downloads, caplog, tmp_path):
    caplog.set_level(logging.INFO)
    Process.load(download_dir=str(tmp_path))
    assert [d for d in downloads if d[0] != "shell"] == [
        (c, "default") for c in ("punkt", "stopwords", "wordnet", "rslp")]
    assert "Downloading more resources..." not in info_lines(caplog)


# ---- compiling and training ------------------------------------------------


@pytest.mark.parametrize("path, kind", [
    ("a.pdf", "PDF"), ("dir/b.png", "Image"), ("c.jpg", "Image"), ("d.jpeg", "Image"),
    ("e.mp4", "Video"), ("/abs/f.pdf", "PDF"),
])
def test_compile_picks_the_document_class(documents, path, kind):
    doc = Process.compile("/base", path, True, Idiomark.PORTUGUESE)
    assert type(doc) is documents[kind]
    assert doc.args == ("/base", True, Idiomark.PORTUGUESE)
    assert doc.features_from == "/base/" + path


@pytest.mark.parametrize("path, message, warned", [
    ("a.PDF", "Not supported extension for document a.PDF", True),
    ("song.wav", "Not supported extension for document song.wav", True),
    ("notes.txt", "Without support for document with extension .txt, .csv or .docx.", False),
    ("table.csv", "Without support for document with extension .txt, .csv or .docx.", False),
])
def test_compile_refuses(documents, caplog, path, message, warned):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(Exception) as err:
        Process.compile("/base", path)
    assert type(err.value) is Exception and str(err.value) == message
    assert [r.getMessage() for r in caplog.records] == (["Not supported document"] if warned else [])


def test_compile_checks_path_types_first(documents):
    with pytest.raises(TypeError):
        Process.compile("/base", 7)


def test_compile_doc_train_doc_and_compile_and_train(tmp_path, engines, documents):
    proc = Process(str(tmp_path), True, Idiomark.ENGLISH, Enginekind.TD)
    doc = proc.compile_doc("x.pdf", 7)
    assert doc.id == 7 and doc.args == (str(tmp_path), True, Idiomark.ENGLISH)
    assert proc.train_doc(doc) is doc and engines[0].trained == [doc]
    other = proc.compile_and_train("y.png", "id-y")
    assert engines[0].trained == [doc, other] and other.id == "id-y"

    bare = Process(str(tmp_path))
    with pytest.raises(AttributeError):
        bare.compile_and_train("z.pdf", 1)


def test_train_docs_hands_the_engine_one_batch(tmp_path, engines):
    proc = Process(str(tmp_path), False, None, Enginekind.TD)
    batch = ["a", "b"]
    assert proc.train_docs(batch) is batch and engines[0].trained == [batch]
    # Any other iterable is read once, and what was filed comes back.
    assert proc.train_docs(d for d in "cd") == ["c", "d"] and engines[0].trained[-1] == ["c", "d"]


def test_update_and_remove_go_to_the_engine_as_one_change(tmp_path, engines):
    proc = Process(str(tmp_path), False, None, Enginekind.SB)
    assert proc.update_docs(d for d in "ab") == ["a", "b"] and engines[0].updated == [["a", "b"]]
    ids = ("x", "y")
    assert proc.remove_docs(ids) == 7 and engines[0].removed[0] is ids


# ---- search ----------------------------------------------------------------


@pytest.mark.parametrize("target, expected_code", [(Idiomark.ENGLISH, "en"), (None, "pt")])
@pytest.mark.parametrize("page, per_page", [(1, 10), (0, -1)])
def test_search_settles_language_then_asks_the_engine(tmp_path, engines, monkeypatch, caplog,
                                                      target, expected_code, page, per_page):
    caplog.set_level(logging.INFO)
    asked = []

    class Tongue:
        @staticmethod
        def detect_lang(*args):
            asked.append(args)
            return Idiomark.PORTUGUESE, "consulta traduzida", ["consulta"]

    monkeypatch.setattr(process_module, "Tonguecheck", Tongue)
    proc = Process(str(tmp_path), False, target, Enginekind.TD)
    caplog.clear()
    result = proc.search("a consulta", None, page, per_page)
    assert result == ("corrected", [{"name": 1}])
    assert asked == [("a consulta", target, None)]
    assert engines[0].searched == [("consulta traduzida", expected_code, page, per_page)]
    assert info_lines(caplog) == [
        "Language detected: Idiomark.PORTUGUESE - Query: consulta traduzida"]


def test_search_without_engine_or_language(tmp_path, monkeypatch):
    proc = Process(str(tmp_path))
    with pytest.raises(AttributeError):
        proc.search("qual é a capital do Brasil?")

    class Undecided:
        detect_lang = staticmethod(lambda *a: (None, a[0], []))

    monkeypatch.setattr(process_module, "Tonguecheck", Undecided)
    with pytest.raises(AttributeError):
        Process(str(tmp_path), False, None, Enginekind.TD).search("x")


# ---- a whole run -----------------------------------------------------------


def test_index_and_search_with_the_term_weighting_engine(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    for code, text in (("pt", PT), ("es", ES), ("en", EN)):
        text_pdf(docs / f"{code}.pdf", text)
    proc = Process.create_batch_pipeline(str(tmp_path), True)
    for code in ("pt", "es", "en"):
        doc = proc.compile_and_train(f"docs/{code}.pdf", code)
        assert doc.detected_language is Idiomark(code)
    assert (tmp_path / "models" / "td_model.pkl").is_file()

    corrected, hits = proc.search("vulcão cinza", Idiomark.PORTUGUESE)
    assert hits[0]["name"] == "pt" and hits[0]["Pontuação"] > 0

    # A fresh facade reads the stored model; a misspelt word is corrected
    # towards the index's vocabulary.
    again = Process.create_batch_pipeline(str(tmp_path), True)
    corrected, hits = again.search("volcanno", Idiomark.ENGLISH)
    assert "volcano" in corrected
    assert hits and hits[0]["name"] == "en"


BREAD = "Baking bread at home needs only flour, water, salt and patience."


@pytest.mark.parametrize("detect, key", [(False, "main"), (True, "en")])
def test_index_and_search_with_the_sentence_embedding_engine(tmp_path, detect, key):
    from wrapper.core.FinderySB import FinderySB

    text_pdf(tmp_path / "volcano.pdf", EN)
    text_pdf(tmp_path / "bread.pdf", BREAD)
    proc = Process(str(tmp_path), detect, None, Enginekind.SB)
    assert isinstance(proc.document_search, FinderySB)
    for name in ("volcano", "bread"):
        doc = proc.compile_and_train(f"{name}.pdf", name)
        assert (doc.detected_language is None) is not detect
    # No word in common with the volcano page.
    query, hits = proc.search("burning mountain eruption", Idiomark.ENGLISH)
    assert query == "burning mountain eruption"
    assert hits[0]["name"] == "volcano" and hits[0]["language"] == key


class ToEnglish(dict):
    """The service translates every piece into the English sample."""

    def get(self, key, default=None):
        return EN if key[1] == "en" else default


def test_online_pipeline_files_translations_under_the_target(tmp_path, service):
    service.translations = ToEnglish()
    text_pdf(tmp_path / "pt.pdf", PT)
    proc = Process.create_online_pipeline_multilingual(str(tmp_path))
    doc = proc.compile_and_train("pt.pdf", "pt-doc")
    assert doc.detected_language is Idiomark.PORTUGUESE and doc.text.startswith("The volcano")
    engine = proc.document_search
    assert engine.document_names == {"pt": [], "en": ["pt-doc"], "es": []}
