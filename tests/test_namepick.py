"""Named entities through spaCy, with the model set-up installs."""

import logging
import pathlib
import random
import subprocess
import sys
import textwrap

import pytest
import spacy

from wrapper.infra import Namepick

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))

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
    # It carries its table of word facts, read by the lower-case word.
    import ner_names  # set-up's module: the table's columns

    vectors = nlp.vocab.vectors
    assert vectors.shape[1] == len(ner_names.FEATURES) and vectors.shape[0] > 10_000
    madrid, caps = nlp.make_doc("Madrid MADRID")
    assert vectors.find(key=madrid.lower) == vectors.find(key=caps.lower) >= 0


@pytest.mark.parametrize("text", ["", " \n\t "])
def test_text_without_words_has_no_entities(text):
    assert Namepick.extract_named_entities(text) == []


@pytest.mark.parametrize("language", sorted(SENTENCES))
def test_installed_model_answers_in_the_pipelines_terms(language):
    # What any trained model gives: which names it finds depends on the
    # machine that trained it, so only the form of the answer is asserted.
    text = SENTENCES[language][0]
    pairs = Namepick.extract_named_entities(text=text)
    assert type(pairs) is list
    assert all(type(p) is tuple and len(p) == 2 and all(type(s) is str for s in p) for p in pairs)
    assert {label for _, label in pairs} <= set(Namepick._model[1].get_pipe("ner").labels)
    assert in_text_order(text, pairs)


def test_repeated_name_gives_equal_pairs_in_text_order(fixed_ner):
    text = ("Miguel de Cervantes escribió el Quijote en Madrid. Años después, "
            "Miguel de Cervantes murió en Madrid.")
    assert Namepick.extract_named_entities(text) == [
        ("Miguel de Cervantes", "PER"), ("Madrid", "LOC")] * 2


def wrap(text, rng):
    """The text broken into lines the way OCR breaks them: at a width, with
    the blanks at each break kept or dropped and the line end of either kind."""
    lines = textwrap.wrap(text, rng.randint(8, 40), break_long_words=False,
                          break_on_hyphens=False)
    return rng.choice(["\n", "\r\n", " \n", "\n  ", "\r"]).join(lines)


def test_names_cut_by_a_wrapped_line_are_found_as_in_the_unwrapped_text(fixed_ner):
    # Random sentences of names and filler words, against the names put in.
    rng = random.Random(2002)
    names, filler = sorted(fixed_ner), "o navio chegou ao porto de com muitos em três dias".split()
    for _ in range(200):
        picked, words = [], []
        for _ in range(rng.randint(1, 14)):
            if rng.random() < 0.3:
                picked.append(rng.choice(names))
                words.append(picked[-1])
            else:
                words.append(rng.choice(filler))
        text = wrap(" ".join(words) + ".", rng)
        assert Namepick.extract_named_entities(text) == [(n, fixed_ner[n]) for n in picked], text


@pytest.mark.parametrize("text, found", [
    ("chegou ao Rio de\nJaneiro.", True),
    ("\nRio\t\r\nde Janeiro\n", True),
    ("Rio de\n\nJaneiro", False),      # a blank line ends a paragraph
    ("Rio de \n \r\nJaneiro", False),
    ("Rio de\fJaneiro", False),          # so does a page
    ("Rio de\n\fJaneiro", False),
])
def test_only_breaks_inside_a_paragraph_are_joined(fixed_ner, text, found):
    assert (("Rio de Janeiro", "LOC") in Namepick.extract_named_entities(text)) is found


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
    Namepick.extract_named_entities(text)
    Namepick.extract_named_entities(text)
    assert loads == [str(tmp_path / "blank"), real]


def test_missing_models_raise_spacys_error(fresh, monkeypatch):
    monkeypatch.setattr(Namepick, "SPACY_MODEL", "xx_not_installed_model")
    monkeypatch.setattr(Namepick, "OFFLINE_MODEL", "xx_not_installed_either")
    with pytest.raises(OSError, match=r"\[E050\].*xx_not_installed_either"):
        Namepick.extract_named_entities("Madrid")
    assert Namepick._model is None


def encoder_ops(nlp):
    return {type(node.ops).__name__ + ("+blis" if getattr(node.ops, "use_blis", False) else "")
            for node in nlp.get_pipe("tok2vec").model.walk()}


@pytest.mark.parametrize("host_ops, numpy_matmul, expected", [
    (None, True, {"NumpyOps"}),           # thinc's default swapped for numpy's BLAS
    (None, False, {"NumpyOps+blis"}),     # ... unless the module is told not to
    ("numpy", True, {"NumpyOps"}),        # a host's own numpy ops, used as they are
    ("custom", True, {"HostOps+blis"}),   # any other ops the host set, too
])
def test_pipeline_matmul_and_the_hosts_ops(fresh, monkeypatch, host_ops, numpy_matmul, expected):
    from thinc.api import NumpyOps, get_current_ops, set_current_ops

    class HostOps(NumpyOps):
        name = "host"

    before = get_current_ops()
    chosen = {None: before, "numpy": NumpyOps(use_blis=False), "custom": HostOps()}[host_ops]
    set_current_ops(chosen)
    try:
        monkeypatch.setattr(Namepick, "NUMPY_MATMUL", numpy_matmul)
        texts = [text for text, _, _ in SENTENCES.values()]
        got = [Namepick.extract_named_entities(text) for text in texts]
        assert get_current_ops() is chosen  # the host's choice, as it was
        assert encoder_ops(Namepick._model[1]) == expected
        if host_ops == "numpy":
            assert all(node.ops is chosen for node in Namepick._model[1].get_pipe("tok2vec").model.walk())
        # The same entities whichever library multiplies.
        monkeypatch.setattr(Namepick, "_model", None)
        monkeypatch.setattr(Namepick, "NUMPY_MATMUL", not numpy_matmul)
        assert [Namepick.extract_named_entities(text) for text in texts] == got
        # A load that fails leaves the host's ops as they were, too.
        monkeypatch.setattr(Namepick, "_model", None)
        monkeypatch.setattr(Namepick, "SPACY_MODEL", "xx_not_installed_model")
        monkeypatch.setattr(Namepick, "OFFLINE_MODEL", "xx_not_installed_either")
        with pytest.raises(OSError):
            Namepick.extract_named_entities("Madrid")
        assert get_current_ops() is chosen
    finally:
        set_current_ops(before)


@pytest.mark.parametrize("value", [None, 42, ["Madrid"]])
def test_non_text_is_refused_by_spacy(value):
    with pytest.raises(ValueError, match=r"\[E1041\]"):
        Namepick.extract_named_entities(value)


def test_text_beyond_spacys_length_limit(monkeypatch, fixed_ner):
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


@pytest.fixture
def ruler(tmp_path, monkeypatch):
    """A recogniser that returns exactly the names given to it."""
    def make(names):
        path = tmp_path / f"ruler-{len(list(tmp_path.iterdir()))}"
        nlp = spacy.blank("xx")
        nlp.add_pipe("entity_ruler").add_patterns(
            [{"label": label, "pattern": [{"TEXT": w} for w in name.split()]}
             for name, label in names.items()])
        nlp.to_disk(path)
        monkeypatch.setattr(Namepick, "SPACY_MODEL", "xx_not_installed_model")
        monkeypatch.setattr(Namepick, "OFFLINE_MODEL", str(path))
        monkeypatch.setattr(Namepick, "_model", None)
    return make


# One capitalised function word or month alone is no name; in capitals
# throughout it may be an acronym, and inside a longer name it stays.
DROPPED = {"His": "PER", "After": "PER", "June": "ORG", "Mas": "PER", "Então": "PER",
           "Depois": "PER", "Sus": "PER", "Março": "ORG", "Diciembre": "MISC", "I": "PER",
           "A": "ORG", "Él": "PER"}
KEPT = {"US": "LOC", "IT": "ORG", "Lisboa": "LOC", "Mas Madrid": "ORG", "The Guardian": "ORG",
        "Estado": "ORG", "Bush": "PER", "his": "PER", "Junebug": "MISC"}


def test_capitalised_function_words_alone_are_no_entities(ruler, monkeypatch):
    ruler({**DROPPED, **KEPT})
    rng = random.Random(11)
    names = sorted({**DROPPED, **KEPT})
    for _ in range(50):
        picked = [rng.choice(names) for _ in range(rng.randint(1, 8))]
        # Each name its own sentence, so the longer patterns cannot swallow two.
        text = " ; ".join(picked) + " ."
        got = Namepick.extract_named_entities(text)
        expected = [(n, KEPT[n]) for n in picked if n in KEPT]
        assert got == expected, text
        monkeypatch.setattr(Namepick, "DROP_FUNCTION_WORDS", False)
        assert Namepick.extract_named_entities(text) == [(n, {**DROPPED, **KEPT}[n]) for n in picked]
        monkeypatch.setattr(Namepick, "DROP_FUNCTION_WORDS", True)
