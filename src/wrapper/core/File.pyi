from typing import Any

from wrapper.infra.Idiomark import Idiomark

class File:
    """A document: the text of one input file and its features."""

    id: str | Any
    text: str | None
    extracted_text: str | None
    tokens: list[str]
    sentences: list[str]
    cleaned_text: str | None
    text_features: str | None
    base_path: str | None
    path: str | None
    named_entities: list[tuple[str, str]] | None
    summary: tuple[Any, ...]
    detected_language: Idiomark | None
    translate_to: Idiomark | None
    is_detect_language: bool
    ocr: bool

    def __init__(
        self, base_path: str, is_detect_language: bool = False, translate_to: Idiomark | None = None
    ) -> None: ...
    def set_base_path(self, base_path: str) -> None: ...
    def create_features_base(self, path: str) -> None: ...
    def find_token(self, query_text: str, lng: Idiomark = ...) -> bool: ...
    def list_NER(self) -> list[tuple[str, str]] | None: ...
