"""Text cleaning: the C++ routines must equal `re`/`unicodedata`, the
pipelines must equal the same nltk calls made from Python."""

import random
import re
import sys
import unicodedata
from concurrent.futures import ThreadPoolExecutor

import pytest
from nltk.corpus import stopwords
from nltk.stem import SnowballStemmer
from nltk.tokenize import word_tokenize

from conftest import paragraphs
from wrapper.infra import Wordwash
from wrapper.infra.Idiomark import Idiomark


def ref_remove_accents(text):
    return "".join(c for c in unicodedata.normalize("NFD", text) if unicodedata.combining(c) == 0)


def ref_normalize(text, remove_all_accents=True, to_lower=None):
    if to_lower:
        text = text.lower()
    if remove_all_accents:
        text = ref_remove_accents(text)
    text = re.sub(r"[^\w\s]", "", text)
    text = re.sub(r"\n", " ", text)
    return re.sub(r"\s+", " ", text)


def ref_stem(text, language=None):
    text = ref_normalize(text)
    if language:
        name = Idiomark.get_nltk_language(language)
        words = word_tokenize(text, language=name)
        words = [w for w in words if w.lower() not in stopwords.words(name)]
        stemmer = SnowballStemmer(name)
        words = [stemmer.stem(w) for w in words]
    else:
        words = text.split()
    return words, " ".join(words)


# Characters from many scripts and classes: letters with and without
# decompositions, combining marks, digits of other scripts, whitespace of every
# kind, punctuation, symbols, astral characters and lone surrogates.
ALPHABET = (
    "aAzZ09_ -.,;!?'\"\t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0"
    "áÁçÇñÑãõüÜßøæœĳǅﬁ" "\u0301\u0327\u0303\u20dd\u0345"
    "ΑαΩωάΐ" "ЖжЁёй" "אבג\u05b0" "عربي\u064b٣" "हिन्दी१" "ไทย๑" "中文字" "한국어" "ｱｲｳ"
    "\u1680\u2000\u2028\u2029\u202f\u3000\u200b\ufeff" "€$%&@#…—–«»¿¡" "²³¼①Ⅻ"
    "\U0001d400\U0001f600\U00010400\U0001e900" "\ud800\udfff"
)


def random_texts(seed, count=400, max_len=40):
    rng = random.Random(seed)
    for _ in range(count):
        yield "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, max_len)))


class TestCharacterRoutinesEqualReference:
    @pytest.mark.parametrize("seed", range(5))
    def test_generated_texts(self, seed):
        for text in random_texts(seed):
            assert Wordwash.remove_accents(text) == ref_remove_accents(text)
            for accents in (True, False):
                for lower in (None, True):
                    assert Wordwash.normalize_text(text, accents, lower) == ref_normalize(
                        text, accents, lower
                    ), repr(text)

    @pytest.mark.parametrize("ascii_share", [0.3, 0.0])
    def test_long_texts_decompose_as_in_one_piece(self, ascii_share):
        # Long texts are decomposed a few thousand characters at a time;
        # marks that reorder (classes 202, 220, 230, 240) sit all along,
        # and with no ASCII at all nowhere is a safe place to cut.
        rng = random.Random(7)
        other = "áçãÁ中한ǅ" + "\u0301\u0327\u0323\u0345\u0303" * 3
        ascii_ = "ab Z.\n"
        text = "".join(rng.choice(ascii_ if rng.random() < ascii_share else other)
                       for _ in range(30_000))
        assert Wordwash.remove_accents(text) == ref_remove_accents(text)
        assert Wordwash.normalize_text(text, True, True) == ref_normalize(text, True, True)

    def test_every_code_point_class(self):
        # One pass over the whole code space, in chunks, so that every class
        # decision of the table is compared with the host's `re`.
        step = 4096
        for start in range(0, sys.maxunicode + 1, step):
            chunk = "".join(chr(c) for c in range(start, min(start + step, sys.maxunicode + 1)))
            assert Wordwash.normalize_text(chunk, False) == ref_normalize(chunk, False)

    def test_remove_alphanumeric_character_matches_re(self, capsys):
        for text in random_texts(99, count=100):
            text = text.replace("\ud800", "").replace("\udfff", "")  # printable
            assert Wordwash.remove_alphanumeric_character(text) == re.sub(r"\W+", "", text)
        capsys.readouterr()


class TestNormalisation:
    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            (("Olá,   Mundo!\nAté logo.",), {}, "Ola Mundo Ate logo"),
            (("Olá",), {"to_lower": True}, "ola"),
            (("Olá",), {"remove_all_accents": False}, "Olá"),
            (("  a  ",), {}, " a "),
            (("e-mail_box",), {}, "email_box"),
            (("ABC",), {"to_lower": "yes"}, "abc"),  # any true value enables a step
            (("Ação",), {"remove_all_accents": 0}, "Ação"),
        ],
    )
    def test_examples(self, args, kwargs, expected):
        assert Wordwash.normalize_text(*args, **kwargs) == expected

    def test_accents_result_stays_decomposed(self):
        assert Wordwash.remove_accents("Ça") == "Ca"
        assert Wordwash.remove_accents("ß") == "ß"
        assert Wordwash.remove_accents("ø") == "ø"
        # Hangul decomposes into conjoining jamo, which are not marks.
        assert Wordwash.remove_accents("한") == unicodedata.normalize("NFD", "한")

    def test_remove_alphanumeric_character_prints_the_word(self, capsys):
        assert Wordwash.remove_alphanumeric_character("it's-ok") == "itsok"
        assert capsys.readouterr().out == "it's-ok\n"

    @pytest.mark.parametrize("bad", [None, 3, b"bytes"])
    def test_non_strings_raise_type_error(self, bad):
        with pytest.raises(TypeError):
            Wordwash.normalize_text(bad)
        with pytest.raises(TypeError):
            Wordwash.remove_accents(bad)


class TestSentences:
    def test_portuguese_sentences(self):
        assert Wordwash.extract_sentences("Primeira frase. Segunda frase.", Idiomark.PORTUGUESE) == [
            "Primeira frase.",
            "Segunda frase.",
        ]

    def test_text_is_passed_as_given(self):
        assert Wordwash.extract_sentences("Hello, World! Bye.", Idiomark.ENGLISH) == [
            "Hello, World!",
            "Bye.",
        ]

    def test_not_a_language_member(self):
        with pytest.raises(AttributeError):
            Wordwash.extract_sentences("text", "pt")


LANGS = [(Idiomark.ENGLISH, "eng"), (Idiomark.SPANISH, "spa"), (Idiomark.PORTUGUESE, "por")]


class TestStemmingPipeline:
    def test_portuguese_example(self):
        stemmer = SnowballStemmer("portuguese")
        expected = [stemmer.stem("gatos"), stemmer.stem("caes")]
        assert Wordwash.preprocess_text_for_stemmetization("Os gatos e os cães.", Idiomark.PORTUGUESE) == (
            expected,
            " ".join(expected),
        )

    def test_without_language_keeps_case_and_stopwords(self):
        result = Wordwash.preprocess_text_for_stemmetization("Hello, World!")
        assert result == (["Hello", "World"], "Hello World")
        assert type(result) is tuple

    @pytest.mark.parametrize("lang, code", LANGS)
    def test_equals_nltk_calls_on_real_text(self, udhr, lang, code):
        for para in paragraphs(udhr[code], 8):
            assert Wordwash.preprocess_text_for_stemmetization(para, lang) == ref_stem(para, lang)
            assert Wordwash.preprocess_text_for_stemmetization(para) == ref_stem(para)

    def test_accented_stopword_is_not_matched_unaccented(self):
        # "é" is a Portuguese stopword; after normalisation the text holds "e",
        # which is a stopword of its own, while "está" becomes "esta" (also a
        # stopword) but "não" becomes "nao", which is not in the list.
        words, _ = Wordwash.preprocess_text_for_stemmetization("não", Idiomark.PORTUGUESE)
        assert words == [SnowballStemmer("portuguese").stem("nao")]

    @pytest.mark.parametrize("text, normalised", [("...", ""), ("the and of", "the and of"), ("", "")])
    def test_no_tokens_left(self, text, normalised):
        with pytest.raises(Exception) as info:
            Wordwash.preprocess_text_for_stemmetization(text, Idiomark.ENGLISH)
        assert type(info.value) is Exception
        assert str(info.value) == "it doesn't have tokens for text: " + normalised

    def test_language_without_nltk_name(self):
        class French:
            value = "fr"

        with pytest.raises(Exception) as info:
            Wordwash.preprocess_text_for_stemmetization("Olá, mundo", French())
        assert type(info.value) is Exception
        assert str(info.value) == "Not Specified the language for text Ola mundo"


class TestLemmatisationPipeline:
    def test_always_portuguese(self, capsys):
        result = Wordwash.preprocess_text_for_lemantization("Os gatos.", Idiomark.ENGLISH)
        assert result == ["gat"]  # "Os" stems to "os", a Portuguese stopword
        assert capsys.readouterr().out == "Os\ngatos\n"

    def test_lemantization_uses_any_stemmer(self, capsys):
        class Upper:
            def stem(self, word):
                return word.upper()

        assert Wordwash.lemantization("casa", Upper()) == "CASA"
        assert capsys.readouterr().out == "casa\n"


def test_long_texts_cleaned_in_threads_equal_the_reference():
    # Long enough to be cleaned with the GIL released, with marks from blocks
    # no other test touches, so their classes are looked up meanwhile, from
    # several threads at once.
    marks = "".join(map(chr, [*range(0x1DC0, 0x1E00), *range(0xFE20, 0xFE30)]))
    rng = random.Random(11)
    texts = ["".join(rng.choice(ALPHABET + marks) for _ in range(20_000)) for _ in range(6)]

    def clean(text):
        return Wordwash.normalize_text(text, True, True), Wordwash.remove_accents(text)

    with ThreadPoolExecutor(3) as pool:
        got = list(pool.map(clean, texts))
    assert got == [(ref_normalize(t, True, True), ref_remove_accents(t)) for t in texts]
