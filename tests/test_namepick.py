"""Named entities through spaCy, with the model set-up installs."""

import logging
import subprocess
import sys

import pytest
import spacy

from wrapper.infra import Namepick

# Sentences of the kind the documents hold, with one person and one place the
# model must find in each language.
SENTENCES = {
    "es": ("El escritor Gabriel García Márquez nació en Aracataca, un pueblo de Colombia.",
           "Gabriel García Márquez", "Colombia"),
    "pt": ("O escritor José Saramago nasceu na aldeia de Azinhaga, em Portugal.",
           "José Saramago", "Portugal"),
    "en": ("The lawyer Abraham Lincoln was born in a log cabin in Kentucky.",
           "Abraham Lincoln", "Kentucky"),
}


def in_text_order(text, pairs):
    """Every surface text is found in the text, each after the previous one."""
    cursor = 0
    for surface, _ in pairs:
        at = text.find(surface, cursor)
        if at < 0:
            return False
        cursor = at + len(surface)
    return True


@pytest.fixture
def fresh(monkeypatch):
    """No pipeline kept: the next call loads one. Whatever the test loads is
    dropped afterwards, so patched names never leak into other tests."""
    monkeypatch.setattr(Namepick, "_model", None)


@pytest.fixture
def loads(monkeypatch):
    """The names passed to spacy.load, which the module reaches as an attribute."""
    calls = []
    real = spacy.load

    def spy(name, *args, **kwargs):
        calls.append(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(Namepick.spacy, "load", spy)
    return calls


def installed_model():
    if spacy.util.is_package(Namepick.SPACY_MODEL):
        return Namepick.SPACY_MODEL
    return Namepick.OFFLINE_MODEL


def test_offline_model_is_a_real_installed_package():
    # Found by name like any downloaded spaCy model, with an entity
    # recogniser carrying the public model's labels.
    assert spacy.util.is_package(Namepick.OFFLINE_MODEL)
    nlp = spacy.load(Namepick.OFFLINE_MODEL)
    assert set(nlp.get_pipe("ner").labels) == {"PER", "LOC", "ORG", "MISC"}


@pytest.mark.parametrize("text", ["", " \n\t "])
def test_text_without_words_has_no_entities(text):
    assert Namepick.extract_named_entities(text) == []


def plausible(name, surface):
    """The surface shares a word with the name and adds at most one word."""
    words, named = surface.split(), set(name.split())
    return bool(named & set(words)) and len(set(words) - named) <= 1


@pytest.mark.parametrize("language", sorted(SENTENCES))
def test_people_and_places_in_each_language(language):
    text, person, place = SENTENCES[language]
    pairs = Namepick.extract_named_entities(text=text)
    assert in_text_order(text, pairs)
    for name in (person, place):
        assert any(plausible(name, surface) for surface, _ in pairs), (name, pairs)
    # Labels are asserted only where the model was trained: the stand-in has
    # seen Spanish news alone, the public model many languages.
    if language == "es" or installed_model() == Namepick.SPACY_MODEL:
        assert (person, "PER") in pairs and (place, "LOC") in pairs


def test_repeated_name_gives_equal_pairs_in_text_order():
    text = ("Miguel de Cervantes escribió el Quijote en Madrid. Años después, "
            "Miguel de Cervantes murió en Madrid.")
    pairs = Namepick.extract_named_entities(text)
    assert type(pairs) is list
    assert all(type(p) is tuple and len(p) == 2 and all(type(s) is str for s in p) for p in pairs)
    assert pairs.count(("Miguel de Cervantes", "PER")) == 2
    assert pairs.count(("Madrid", "LOC")) == 2
    assert in_text_order(text, pairs)


def test_pipeline_is_loaded_once(fresh, loads, caplog):
    caplog.set_level(logging.INFO)
    for text, _, _ in SENTENCES.values():
        Namepick.extract_named_entities(text)
    assert loads == [installed_model()]
    fallback = [r for r in caplog.records if "not installed" in r.getMessage()]
    assert len(fallback) == (loads[0] != Namepick.SPACY_MODEL)


def test_public_model_installed_later_takes_over(fresh, loads, monkeypatch, tmp_path):
    # Stand-ins: the offline default is a pipeline without a recogniser, the
    # "public" model a name spaCy does not find until it is "installed".
    real = installed_model()
    spacy.blank("xx").to_disk(tmp_path / "blank")
    monkeypatch.setattr(Namepick, "OFFLINE_MODEL", str(tmp_path / "blank"))
    monkeypatch.setattr(Namepick, "SPACY_MODEL", "xx_not_installed_model")
    text = SENTENCES["es"][0]
    assert Namepick.extract_named_entities(text) == []

    monkeypatch.setattr(Namepick, "SPACY_MODEL", real)
    assert ("Colombia", "LOC") in Namepick.extract_named_entities(text)
    assert Namepick.extract_named_entities(text)
    assert loads == [str(tmp_path / "blank"), real]


def test_missing_models_raise_spacys_error(fresh, monkeypatch):
    monkeypatch.setattr(Namepick, "SPACY_MODEL", "xx_not_installed_model")
    monkeypatch.setattr(Namepick, "OFFLINE_MODEL", "xx_not_installed_either")
    with pytest.raises(OSError, match=r"\[E050\].*xx_not_installed_either"):
        Namepick.extract_named_entities("Madrid")
    assert Namepick._model is None


@pytest.mark.parametrize("value", [None, 42, ["Madrid"]])
def test_non_text_is_refused_by_spacy(value):
    with pytest.raises(ValueError, match=r"\[E1041\]"):
        Namepick.extract_named_entities(value)


def test_text_beyond_spacys_length_limit(monkeypatch):
    Namepick.extract_named_entities("")  # make sure a pipeline is loaded
    nlp = Namepick._model[1]
    line = "Gabriel García Márquez vivió en Barcelona y en México.\n"
    expected = Namepick.extract_named_entities(line)
    assert expected

    monkeypatch.setattr(nlp, "max_length", 3 * len(line) + 10)
    # Lines cut at their breaks: each line tagged as if alone.
    assert Namepick.extract_named_entities(line * 7) == expected * 7
    # Sentences on one line: cut after a full stop, never inside a name.
    sentence = line.replace("\n", " ")
    assert Namepick.extract_named_entities(sentence * 7) == expected * 7
    with pytest.raises(ValueError, match=r"\[E088\]"):
        nlp(line * 7)  # what spaCy alone does with it


def test_loading_the_module_loads_no_model():
    code = (
        "import spacy\n"
        "def refuse(*a, **k): raise AssertionError('model loaded at import')\n"
        "spacy.load = refuse\n"
        "from wrapper.infra import Namepick\n"
        "assert Namepick._model is None\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("limit", [2**63, 2**200, float("inf")])
def test_length_limit_beyond_any_cpp_integer(monkeypatch, limit):
    # spaCy compares the length with the limit as numbers: every text is
    # below these, so it is tagged whole, with no error left pending.
    Namepick.extract_named_entities("")
    line = "Gabriel García Márquez vivió en Barcelona y en México.\n"
    expected = Namepick.extract_named_entities(line * 3)
    monkeypatch.setattr(Namepick._model[1], "max_length", limit)
    assert Namepick.extract_named_entities(line * 3) == expected
