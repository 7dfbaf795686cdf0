"""The language enumeration and its conversions."""

import enum

import pytest
from lingua import Language

from wrapper.infra.Idiomark import Idiomark


def test_members_and_tables():
    assert issubclass(Idiomark, enum.Enum)
    assert [m.name for m in Idiomark] == [
        "nltk_languages",
        "ocrmypdf_languages",
        "ENGLISH",
        "SPANISH",
        "PORTUGUESE",
    ]
    assert Idiomark("en") is Idiomark.ENGLISH
    assert Idiomark.PORTUGUESE.value == "pt"
    assert list(Idiomark.nltk_languages.value) == ["pt", "en", "es"]
    assert list(Idiomark.ocrmypdf_languages.value) == ["pt", "en", "es"]
    with pytest.raises(ValueError):
        Idiomark("fr")


@pytest.mark.parametrize(
    "member, nltk, tesseract, lingua",
    [
        (Idiomark.ENGLISH, "english", "eng", Language.ENGLISH),
        (Idiomark.SPANISH, "spanish", "spa", Language.SPANISH),
        (Idiomark.PORTUGUESE, "portuguese", "por", Language.PORTUGUESE),
    ],
)
def test_round_trips(member, nltk, tesseract, lingua):
    assert Idiomark.get_nltk_language(member) == nltk
    assert Idiomark.get_tesseract_language(member) == tesseract
    assert Idiomark.get_language_from_lingua(lingua) is member
    assert Idiomark.get_language_from_nltk_language(member.value) is member
    assert Idiomark.get_language_from_tesseract_language(tesseract) is member
    # Keyword form, and the static operation reached through a member.
    assert Idiomark.get_nltk_language(language=member) == nltk
    assert member.get_tesseract_language(member) == tesseract


class TestRefusals:
    @pytest.mark.parametrize(
        "call, arg, message",
        [
            (Idiomark.get_language_from_nltk_language, "spanish", "Language spanish not supported"),
            (Idiomark.get_language_from_tesseract_language, "deu", "Language deu not supported"),
            (Idiomark.get_language_from_lingua, Language.FRENCH, "Language Language.FRENCH not supported"),
            (Idiomark.get_language_from_lingua, None, "Language None not supported"),
        ],
    )
    def test_value_errors(self, call, arg, message):
        with pytest.raises(ValueError) as info:
            call(arg)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "call, argname",
        [
            (Idiomark.get_language_from_nltk_language, "nltk_language"),
            (Idiomark.get_language_from_tesseract_language, "ocrmypdf_language"),
        ],
    )
    def test_exact_string_type(self, call, argname):
        class Text(str):
            pass

        for bad, typename in [(3, "int"), (Text("pt"), "Text"), (None, "NoneType")]:
            with pytest.raises(TypeError) as info:
                call(bad)
            assert str(info.value) == f"Argument '{argname}' has incorrect type (expected str, got {typename})"

    def test_forward_lookups_fail_with_lookup_errors(self):
        with pytest.raises(AttributeError):
            Idiomark.get_nltk_language("en")
        with pytest.raises(TypeError):  # a table's value is a dict, not a key
            Idiomark.get_tesseract_language(Idiomark.nltk_languages)

    @pytest.mark.parametrize("args", [(), ("en", "es")])
    def test_argument_count(self, args):
        with pytest.raises(TypeError):
            Idiomark.get_nltk_language(*args)
