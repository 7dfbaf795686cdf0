from typing import Any, Iterable

from scipy.sparse import spmatrix
from sklearn.feature_extraction.text import TfidfVectorizer

from wrapper.core.File import File
from wrapper.core.Findery import Findery
from wrapper.infra.Idiomark import Idiomark

# How search_documents ranks: "tfidf" (the default) is the TF-IDF
# cosine; "bm25" the ranked search (BM25 over the same stems, joined words
# split, each document's own language, correction that keeps real words).
RANKING: str
# Per language code, the word lists that tell a real word (never corrected)
# in the ranked search.
WORD_LISTS: dict[str, tuple[str, ...]]

class FinderyTD(Findery):
    """Term-weighting engine: TF-IDF rows of the documents' cleaned texts,
    ranked by cosine similarity with the corrected query."""

    is_loaded: bool
    model_filename: str | None
    debug_model_filename: str | None
    tfidf_vectorizer: TfidfVectorizer | None
    tfidf_matrix: spmatrix | None
    document_names: list[Any] | None
    detected_languages: dict[Any, Any] | None
    cleaned_text: dict[Any, str] | None

    def __init__(self, basepath: str) -> None: ...
    def train_model(self, doc: File | None) -> None: ...
    def load_model(self) -> bool: ...
    def train_batch(self, docs: Iterable[File | None]) -> None: ...
    # Replaces the stored copy of each document whose id is held (it keeps its
    # place) and adds the others at the end, with one refit and one write;
    # returns how many were replaced or added.
    def update_documents(self, docs: Iterable[File | None]) -> int: ...
    # Removes the documents with these ids (unknown ones are ignored) with one
    # refit and one write; returns how many were removed.
    def remove_documents(self, ids: Iterable[Any]) -> int: ...
    def search_documents(
        self,
        search_query: str,
        detected_search_language: Idiomark | str | None = None,
        page: int = 1,
        results_per_page: int = 10,
        cutoff_for_fix_query: float = 0.9,
    ) -> tuple[str, list[dict[str, Any]]] | list[Any]: ...
    def correct_query(self, query: str, corpus: Iterable[str], cutoff: float = 0.6) -> str: ...
