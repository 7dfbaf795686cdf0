from typing import Any, Iterable

from wrapper.core.File import File
from wrapper.core.Findery import Findery

# A hit scores above this (0.0 by default; the command line and the search
# page raise it, so that documents unrelated to the query are not listed).
SCORE_FLOOR: float
# A language key holding at least this many documents (50000 by default) is
# searched through inverted lists kept in sb_search_lists.bin; None: every
# key is searched exactly.
APPROXIMATE_FROM: int | None
# How many lists such a search takes its documents from; None (the default):
# enough lists to hold about 16,384 documents, and at least 32.
APPROXIMATE_PROBES: int | None

class FinderySB(Findery):
    """Sentence-embedding engine: one embedding per document, per language
    key, ranked by inner product with the query's embedding."""

    supported_languages: Any
    model_main: str
    is_loaded: bool
    base_path: str
    model_filename: str
    debug_model_filename: str
    multilang_models: dict[str, Any]
    embedded_documents: dict[str, list[Any]]
    document_names: dict[str, list[Any]]

    def __init__(self, base_path: str, supported_languages: Any = False) -> None: ...
    def train_model(self, doc: File | None) -> None: ...
    # Files the documents as one train_model call each would, writing once;
    # returns how many were added.
    def train_batch(self, docs: Iterable[File | None]) -> int: ...
    # Replaces the embedding of each document whose id is held (in place when
    # its language key is the same) and files the others, with one write;
    # returns how many were replaced or added.
    def update_documents(self, docs: Iterable[File | None]) -> int: ...
    # Removes the documents with these ids (unknown ones are ignored) with one
    # write; returns how many were removed.
    def remove_documents(self, ids: Iterable[Any]) -> int: ...
    def save_model(self) -> None: ...
    def load_model(self) -> bool: ...
    def search_documents(
        self,
        query: str,
        detected_search_language: str | None = None,
        page: int = 1,
        results_per_page: int = 10,
    ) -> tuple[str, list[dict[str, Any]]]: ...
