"""Language services: lingua detection, and translation and detection through
the real googletrans client talking to a local double of the service."""

import asyncio
import logging
import threading
import time
import zipfile
from pathlib import Path

import pytest

from wrapper.infra import Tonguecheck, Wordwash
from wrapper.infra.Idiomark import Idiomark

UDHR = Path(__file__).resolve().parents[2] / "shared" / "corpora" / "udhr2.zip"


# ---- material -------------------------------------------------------------


@pytest.fixture(scope="session")
def udhr():
    """Long lines of the Universal Declaration, by file name."""
    if not UDHR.is_file():
        pytest.fail(f"corpus missing: {UDHR} (the shared folder beside the repository)")
    with zipfile.ZipFile(UDHR) as z:

        def lines(name):
            text = z.read(f"udhr2/{name}.txt").decode("utf-8")
            return [line.strip() for line in text.splitlines() if len(line.strip()) > 80][:8]

        return {name: lines(name) for name in ("eng", "spa", "por_BR", "por_PT", "fra", "deu")}


@pytest.fixture
def tracked(monkeypatch):
    """Every translator and event loop a call creates, to check that none is
    left open."""
    made = {"translators": [], "loops": []}

    class Recording(Tonguecheck.Translator):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made["translators"].append(self)

    new_loop = asyncio.new_event_loop

    def recording_loop():
        loop = new_loop()
        made["loops"].append(loop)
        return loop

    monkeypatch.setattr(Tonguecheck, "Translator", Recording)
    monkeypatch.setattr(asyncio, "new_event_loop", recording_loop)
    return made


def assert_all_closed(made):
    assert made["loops"] and all(loop.is_closed() for loop in made["loops"])
    assert all(t.client.is_closed for t in made["translators"])


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.levelno == level]


# ---- detection with lingua ------------------------------------------------


@pytest.mark.parametrize("name, expected", [("eng", Idiomark.ENGLISH), ("spa", Idiomark.SPANISH),
                                            ("por_BR", Idiomark.PORTUGUESE),
                                            ("por_PT", Idiomark.PORTUGUESE)])
def test_detects_the_three_languages(udhr, name, expected, caplog):
    caplog.set_level(logging.DEBUG)
    assert [Tonguecheck.detect_lang(line) for line in udhr[name]] == [expected] * 8
    assert messages(caplog, logging.DEBUG)[-2:] == [
        f"result: Language.{expected.name}", f"detected language: {expected.value}"]


@pytest.mark.parametrize("name", ["fra", "deu", None])
def test_other_languages_and_undecided_text_raise(udhr, name, caplog):
    caplog.set_level(logging.DEBUG)
    text = " ".join(udhr[name][:2]) if name else "1234 5678, 90 (12) 345!"
    with pytest.raises(ValueError) as err:
        Tonguecheck.detect_lang(text)
    lingua_name = {"fra": "Language.FRENCH", "deu": "Language.GERMAN", None: "None"}[name]
    assert str(err.value) == f"Language {lingua_name} not supported"
    assert messages(caplog, logging.DEBUG) == [f"result: {lingua_name}"]


def test_three_value_form(udhr):
    text = "Olá, mundo! Tudo bem com você hoje?"
    assert Tonguecheck.detect_lang(text) is Idiomark.PORTUGUESE
    assert Tonguecheck.detect_lang(text=text) is Idiomark.PORTUGUESE
    expected = (Idiomark.PORTUGUESE, text, ["Ola mundo", "Tudo bem com voce hoje"])
    assert Tonguecheck.detect_lang(text, None, None) == expected
    assert Tonguecheck.detect_lang(text, Idiomark.PORTUGUESE, None) == expected
    # A known language is taken as given, not detected.
    assert Tonguecheck.detect_lang(text, detected_language=Idiomark.SPANISH)[0] is Idiomark.SPANISH
    with pytest.raises(ValueError, match="^Language None not supported$"):
        Tonguecheck.detect_lang("1234 5678", None, None)


def test_three_value_form_translates_through_the_service(service):
    service.translations[("Bom dia", "en")] = "Good morning"
    assert Tonguecheck.detect_lang("Bom dia!", Idiomark.ENGLISH, Idiomark.PORTUGUESE) == (
        Idiomark.PORTUGUESE, "Good morning", ["Good morning"])


# ---- translation ----------------------------------------------------------

PT = "Olá, mundo! Tudo bem? Até amanhã."


def test_translation(service, tracked, caplog):
    caplog.set_level(logging.DEBUG)
    for piece, english in [("Ola mundo", "Hello world"), ("Tudo bem", "All good"),
                           ("Ate amanha", "See you tomorrow")]:
        service.translations[(piece, "en")] = english
    result = Tonguecheck.translate(PT, Idiomark.ENGLISH, fix_text="ignored")
    assert result == (Idiomark.PORTUGUESE, "Hello world All good See you tomorrow",
                      ["Hello world", "All good", "See you tomorrow"])
    # One request per piece, no source language given; the token page is
    # asked of the global endpoint.
    assert service.sent() == [("Ola mundo", "en", "auto"), ("Tudo bem", "en", "auto"),
                              ("Ate amanha", "en", "auto")]
    assert service.requests[0][:2] == (service.ports[0], "/")
    assert "Detected Text Language Idiomark.PORTUGUESE. Will be translated to Idiomark.ENGLISH" \
        in messages(caplog, logging.INFO)
    debug = messages(caplog, logging.DEBUG)
    assert "extracted sentences: ['Ola mundo', 'Tudo bem', 'Ate amanha']" in debug
    assert debug[-1] == "Translated text: \n Hello world All good See you tomorrow"
    assert_all_closed(tracked)


@pytest.mark.parametrize("target", [Idiomark.PORTUGUESE, None])
def test_same_or_no_target_sends_nothing(service, target):
    assert Tonguecheck.translate(PT, target, Idiomark.PORTUGUESE) == (
        Idiomark.PORTUGUESE, "Ola mundo Tudo bem Ate amanha", ["Ola mundo", "Tudo bem", "Ate amanha"])
    assert service.requests == []


def test_text_without_sentences(service, caplog):
    caplog.set_level(logging.INFO)
    assert Tonguecheck.translate("  \n ", Idiomark.ENGLISH, Idiomark.PORTUGUESE) == (
        Idiomark.PORTUGUESE, "", [])
    assert service.requests == []
    assert messages(caplog, logging.INFO) == [
        "Detected Text Language Idiomark.PORTUGUESE. Will be translated to Idiomark.ENGLISH"]


def test_failing_second_piece(service, tracked, caplog):
    service.translations[("Ola mundo", "en")] = "Hello world"
    service.refuse["Tudo bem"] = 1
    with pytest.raises(Exception) as err:
        Tonguecheck.translate(PT, Idiomark.ENGLISH, Idiomark.PORTUGUESE)
    assert type(err.value) is Exception
    assert str(err.value) == "Error to translate Tudo bem to Idiomark.ENGLISH"
    assert "500" in str(err.value.__cause__)  # the refusal is not taken as a translation
    assert messages(caplog, logging.ERROR) == ["Error to translate Tudo bem to Idiomark.ENGLISH"]
    assert [q for q, _, _ in service.sent()] == ["Ola mundo", "Tudo bem"]
    assert_all_closed(tracked)


@pytest.mark.parametrize("text, piece", [("Olá mundo. Tudo bem?", "Tudo bem"),
                                         ("Olá mundo. ?", "")])  # punctuation only: sent empty
def test_empty_answer(service, text, piece):
    service.translations[("Ola mundo", "en")] = "Hello world"
    with pytest.raises(Exception) as err:
        Tonguecheck.translate(text, Idiomark.ENGLISH, Idiomark.PORTUGUESE)
    assert str(err.value) == f"Translate {piece} to Idiomark.ENGLISH error"
    assert service.sent()[-1] == (piece, "en", "auto")


def test_translate_from_a_thread_running_an_event_loop(service, tracked):
    service.translations[("Bom dia", "es")] = "Buenos días"
    async def host():
        return Tonguecheck.translate("Bom dia!", Idiomark.SPANISH, Idiomark.PORTUGUESE)

    assert asyncio.run(host()) == (Idiomark.PORTUGUESE, "Buenos días", ["Buenos días"])
    # The worker that ran the private loop is gone (other tests' server
    # threads may still be winding down, so count only ours).
    assert not [t for t in threading.enumerate() if t.name == "Tonguecheck service loop"]
    assert_all_closed(tracked)


# ---- detection through the service ----------------------------------------


def test_blank_text_is_not_sent(service):
    with pytest.raises(Exception, match=r"^It doesn't have readable sentences for \[\]\.$"):
        Tonguecheck.detect_lang_by_google_translate(" \n\t ")
    assert service.requests == []


@pytest.mark.parametrize("target, expected", [
    ("pt", "Olá mundo tudo bem"), (None, "Olá mundo tudo bem"), ("es", "Hola mundo todo bien")])
def test_detection_by_service(service, tracked, target, expected):
    service.languages["Olá mundo tudo bem"] = "pt"
    service.translations[("Olá mundo tudo bem", "es")] = "Hola mundo todo bien"
    assert Tonguecheck.detect_lang_by_google_translate(" Olá, mundo!\n tudo bem? ", target) == (
        "pt", expected)
    # Detection asks for English, as googletrans does; a translation follows
    # only for a different target.
    assert service.sent() == [("Olá mundo tudo bem", "en", "auto")] + (
        [("Olá mundo tudo bem", "es", "auto")] if target == "es" else [])
    assert_all_closed(tracked)


@pytest.mark.parametrize("refused, succeeds", [(4, False), (2, True)])
def test_detection_retries(service, monkeypatch, caplog, refused, succeeds):
    caplog.set_level(logging.DEBUG)
    sleeps = []
    monkeypatch.setattr(time, "sleep", sleeps.append)
    service.languages["Bom dia"] = "pt"
    service.refuse["Bom dia"] = refused
    if succeeds:
        assert Tonguecheck.detect_lang_by_google_translate("Bom dia") == ("pt", "Bom dia")
    else:
        with pytest.raises(Exception) as err:
            Tonguecheck.detect_lang_by_google_translate("Bom dia")
        assert str(err.value) == ("Error to detect language for sentence Bom dia from sentences "
                                  "['Bom dia']. Detected object None")
    assert sleeps == [0.5] * refused
    retries = [m for m in messages(caplog, logging.DEBUG) if m.startswith("retrying")]
    assert retries == [f"retrying. Left {n}" for n in (3, 2, 1, 0)][:refused]
    errors = messages(caplog, logging.ERROR)
    assert len(errors) == refused and all(e.startswith("Traceback") for e in errors)
    assert len(service.sent()) == (refused + 1 if succeeds else 4)


@pytest.mark.parametrize("codes, outcome", [
    (["es", "es", "en"], "es"),
    (["es", "en"], "Language not detected"),  # a half is not a majority
    (["es", "en", ""], "Language not detected"),  # an empty code counts against
    ([""], "It doesn't have readable sentences for ['p0']."),
])
def test_majority_over_pieces(service, monkeypatch, codes, outcome):
    # The normalisation leaves no period, so pieces only arise from a text
    # that keeps its periods.
    monkeypatch.setattr(Wordwash, "normalize_text", lambda text, *flags: text)
    pieces = [f"p{i}" for i in range(len(codes))]
    service.languages.update(zip(pieces, codes))
    if outcome in ("es", "en"):
        assert Tonguecheck.detect_lang_by_google_translate(".".join(pieces)) == (
            outcome, " ".join(pieces))
    else:
        with pytest.raises(Exception, match=f"^{outcome.replace('[', '.').replace(']', '.')}$"):
            Tonguecheck.detect_lang_by_google_translate(".".join(pieces))


def test_detection_budget(service, monkeypatch):
    monkeypatch.setattr(Wordwash, "normalize_text", lambda text, *flags: text)
    long = "a" * 4001
    service.languages.update({long: "en", "b": "pt"})
    assert Tonguecheck.detect_lang_by_google_translate(long + ".b") == ("en", long)
    assert [q for q, _, _ in service.sent()] == [long]
