"""Documents: the File feature pipeline, PDF, Image and Video documents, as
plain classes; unit cases with the collaborators replaced, then whole runs
over generated PDFs through the real OCR, detection, stemming and NER."""

import logging
import sys

import fitz
import pytest
from samples import EN, ES, PT, scanned_pdf, text_pdf

from wrapper.core import File as file_module
from wrapper.core import PDF as pdf_module
from wrapper.core.File import File
from wrapper.core.Image import Image
from wrapper.core.PDF import PDF
from wrapper.core.Video import Video
from wrapper.infra import Wordwash
from wrapper.infra.Namepick import extract_named_entities
from wrapper.infra.Idiomark import Idiomark

class Calls:
    """Stands in for a collaborator module; records calls, answers from a table."""

    def __init__(self, **answers):
        self.calls = []
        for name, answer in answers.items():
            setattr(self, name, self._recorder(name, answer))

    def _recorder(self, name, answer):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if isinstance(answer, BaseException):
                raise answer
            return answer(*args, **kwargs) if callable(answer) else answer
        return call

    def names(self):
        return [c[0] for c in self.calls]


@pytest.fixture
def no_ner(monkeypatch):
    found = []
    monkeypatch.setattr(file_module, "extract_named_entities",
                        lambda text: found.append(text) or [("X", "PER")])
    return found


# ---- the class and its fields ---------------------------------------------


def test_plain_classes_with_class_level_defaults(capsys):
    assert type(File) is type and File.__bases__ == (object,)
    assert PDF.__bases__ == (File,) and Image.__bases__ == (File,) and Video.__bases__ == (File,)
    assert (File.id, File.text, File.summary, File.ocr, File.is_detect_language) == (
        None, None, (), False, False)
    assert File.__annotations__["detected_language"] is Idiomark
    a, b = File("/base"), PDF("/other", True, Idiomark.ENGLISH)
    # Reads the class default (one shared list) until assigned on the instance.
    assert a.tokens is b.tokens is File.tokens == []
    assert PDF.objects is b.objects == []
    assert "tokens" not in vars(a)
    assert (b.base_path, b.is_detect_language, b.translate_to) == (
        "/other", True, Idiomark.ENGLISH)
    assert capsys.readouterr().out == "/base\n/other\n"
    b.set_base_path("/again")
    assert b.base_path == "/again" and a.base_path == "/base"


def test_python_subclass_runs_the_pipeline(no_ner):
    class Note(File):
        def create_features(self, path):
            self.text = PT
            self.create_features_base(path)

    note = Note("/base", True)
    note.create_features("/base/note.txt")
    assert note.path == "/base/note.txt"
    assert note.detected_language is Idiomark.PORTUGUESE
    assert note.extracted_text == note.text == PT
    assert note.sentences[0] == "O vulcao acordou depois de dois seculos de silencio"
    assert (note.tokens, note.cleaned_text) == Wordwash.preprocess_text_for_stemmetization(
        PT, Idiomark.PORTUGUESE)
    assert note.named_entities == [("X", "PER")] and no_ner == [PT]
    assert note.find_token("vulcão cinzas") and not note.find_token("computador")
    with pytest.raises(Exception, match=r"^it doesn't have tokens for text: $") as err:
        note.find_token("?!")
    assert type(err.value) is Exception


# ---- the pipeline with its collaborators replaced --------------------------


def prepared(monkeypatch, translate=None, text=EN, **flags):
    tongue = Calls(translate=translate or (lambda *a, **k: (Idiomark.ENGLISH, "x", ["x"])))
    monkeypatch.setattr(file_module, "Tonguecheck", tongue)
    doc = File("/base", **flags)
    doc.text = text
    return doc, tongue


def test_no_detection_no_target_skips_translation(monkeypatch, no_ner):
    stems = []
    real = Wordwash.preprocess_text_for_stemmetization
    wash = Calls(preprocess_text_for_stemmetization=lambda *a: stems.append(a) or real(*a))
    monkeypatch.setattr(file_module, "Wordwash", wash)
    doc, tongue = prepared(monkeypatch)
    doc.create_features_base("/base/a.pdf")
    assert tongue.calls == [] and stems == [(EN,)]
    assert doc.detected_language is None and doc.sentences is File.sentences


def test_detection_without_target_keeps_the_text(monkeypatch, no_ner):
    doc, tongue = prepared(monkeypatch, is_detect_language=True)
    doc.ocr = True
    doc.create_features_base("/base/a.pdf")
    assert tongue.calls == [("translate", (EN, None), {"fix_text": True})]
    assert doc.text == EN and doc.detected_language is Idiomark.ENGLISH
    assert doc.sentences == ["x"]


def test_translation_replaces_the_working_text(monkeypatch, no_ner):
    doc, _ = prepared(monkeypatch, translate=lambda *a, **k: (Idiomark.PORTUGUESE, EN, ["s"]),
                      text=PT, translate_to=Idiomark.ENGLISH)
    doc.create_features_base("/base/a.pdf")
    assert doc.extracted_text == PT and doc.text == EN
    assert doc.tokens == Wordwash.preprocess_text_for_stemmetization(EN)[0]
    assert no_ner == [EN]


def test_empty_translation_raises_after_language_and_sentences(monkeypatch, no_ner):
    doc, _ = prepared(monkeypatch, translate=lambda *a, **k: (Idiomark.SPANISH, "", ["s"]),
                      text=ES, translate_to=Idiomark.ENGLISH)
    with pytest.raises(Exception) as err:
        doc.create_features_base("/base/a.pdf")
    assert type(err.value) is Exception
    assert str(err.value) == (f"Text {ES} detected lang Idiomark.SPANISH not translated to "
                              "Idiomark.ENGLISH")
    assert (doc.detected_language, doc.sentences) == (Idiomark.SPANISH, ["s"])
    assert doc.tokens is File.tokens and doc.cleaned_text is None and no_ner == []


@pytest.mark.parametrize("answer, message", [
    ((Idiomark.ENGLISH, "x"), "not enough values to unpack (expected 3, got 2)"),
    ((Idiomark.ENGLISH, "x", [], 1), "too many values to unpack (expected 3)"),
])
def test_translation_result_of_the_wrong_size(monkeypatch, no_ner, answer, message):
    doc, _ = prepared(monkeypatch, translate=lambda *a, **k: answer, is_detect_language=True)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        doc.create_features_base("/base/a.pdf")


def test_text_without_tokens_fails_in_stemming(monkeypatch, no_ner):
    doc, _ = prepared(monkeypatch, text="... !!!")
    with pytest.raises(Exception, match=r"^it doesn't have tokens for text:  $") as err:
        doc.create_features_base("/base/a.pdf")
    assert type(err.value) is Exception
    assert doc.extracted_text == "... !!!" and doc.tokens is File.tokens


def test_no_text_leaves_the_defaults(no_ner):
    doc = File("/base", True, Idiomark.ENGLISH)
    doc.create_features_base("/base/whatever.bin")
    assert doc.text is None and doc.named_entities is None and no_ner == []
    assert (doc.extracted_text, doc.cleaned_text, doc.detected_language) == (None, None, None)
    assert doc.tokens is File.tokens and doc.sentences is File.sentences


def test_pdf_passes_its_base_path_and_marks_ocr(monkeypatch, no_ner):
    ring = Calls(extract_text_from_pdf=RuntimeError("boom"))
    monkeypatch.setattr(pdf_module, "Pagewring", ring)
    doc = PDF("/base")
    doc.text = "before"
    with pytest.raises(RuntimeError):
        doc.create_features("/base/x.pdf")
    assert ring.calls == [("extract_text_from_pdf", ("/base/x.pdf", "/base"), {})]
    assert doc.ocr is True and doc.text == "before"


# ---- whole runs on generated files ----------------------------------------


@pytest.fixture(scope="module")
def pdfs(tmp_path_factory):
    d = tmp_path_factory.mktemp("base with 'quotes'; and spaces")
    return d, {
        "pt": scanned_pdf(d / "pt scan.pdf", PT),
        "es": scanned_pdf(d / "es scan.pdf", ES),
        "en": text_pdf(d / "en text.pdf", EN),
    }


@pytest.mark.parametrize("code", ["pt", "es", "en"])
def test_pdf_in_each_language_with_detection(pdfs, code, fixed_ner):
    base, files = pdfs
    doc = PDF(str(base), True)
    doc.create_features(str(files[code]))
    language = Idiomark(code)
    assert doc.detected_language is language
    words = {"pt": "vulcão", "es": "volcán", "en": "volcano"}[code]
    assert words.lower() in doc.text.lower()
    # The OCR layer is read once: the second pass must not add a copy.
    assert doc.text.lower().count(words.lower()) == 1
    assert doc.find_token(words, language)
    # Exactly the recogniser's answer for the working text; the Portuguese
    # sample names a city.
    assert doc.named_entities == extract_named_entities(doc.text)
    if code == "pt":
        assert ("Lisboa", "LOC") in doc.named_entities


class Echo(dict):
    """Translations for whatever OCR read: each piece comes back marked."""

    def get(self, key, default=None):
        return "translated " + key[0]


def test_pdf_translated_through_the_service(pdfs, service):
    base, files = pdfs
    service.translations = Echo()
    doc = PDF(str(base), False, Idiomark.ENGLISH)
    doc.create_features(str(files["es"]))
    assert doc.detected_language is Idiomark.SPANISH
    assert "volcán" in doc.extracted_text
    sent = service.sent()
    assert sent and all(target == "en" for _, target, _ in sent)
    assert sent[0][0].startswith("El volcan desperto")
    assert doc.text == " ".join("translated " + piece for piece, _, _ in sent)
    assert doc.tokens[0] == "translated"  # stems come from the translation


def test_pdf_without_any_text(tmp_path, caplog):
    caplog.set_level(logging.ERROR)
    blank = fitz.open()
    blank.new_page()
    blank.save(tmp_path / "blank.pdf")
    doc = PDF(str(tmp_path), True)
    doc.create_features(str(tmp_path / "blank.pdf"))
    assert doc.text is None and doc.named_entities is None
    assert doc.tokens is File.tokens and doc.detected_language is None


@pytest.mark.parametrize("cls, reader", [(Image, "extract_text_from_image"),
                                         (Video, "extract_text_from_video")])
def test_image_and_video_take_their_text_from_ocr(monkeypatch, no_ner, cls, reader):
    ring = Calls(**{reader: lambda path: EN})
    monkeypatch.setattr(sys.modules[cls.__module__], "Pagewring", ring)
    doc = cls("/base", True)
    doc.create_features("/base/clip")
    assert ring.calls == [(reader, ("/base/clip",), {})]
    assert doc.ocr is True and doc.text == EN and doc.detected_language is Idiomark.ENGLISH
    assert doc.path == "/base/clip" and doc.tokens
