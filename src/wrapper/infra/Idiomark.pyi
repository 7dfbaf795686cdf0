from enum import Enum
from typing import Any

class Idiomark(Enum):
    """Document languages; the two code tables are members too."""

    nltk_languages = {"pt": "portuguese", "en": "english", "es": "spanish"}
    ocrmypdf_languages = {"pt": "por", "en": "eng", "es": "spa"}
    ENGLISH = "en"
    SPANISH = "es"
    PORTUGUESE = "pt"

    @staticmethod
    def get_language_from_lingua(language: Any) -> Idiomark: ...
    @staticmethod
    def get_nltk_language(language: Idiomark) -> str: ...
    @staticmethod
    def get_language_from_nltk_language(nltk_language: str) -> Idiomark: ...
    @staticmethod
    def get_tesseract_language(language: Idiomark) -> str: ...
    @staticmethod
    def get_language_from_tesseract_language(ocrmypdf_language: str) -> Idiomark: ...
