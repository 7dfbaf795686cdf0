"""Abstracts and keywords of a text by TextRank, computed as gensim 3.8.3's
`summarization` package computes them."""

from typing import Any

# Values accepted for `language` besides None (gensim's own English filters).
LANGUAGES: tuple[str, ...]

def summarize(
    text: str,
    ratio: float = 0.2,
    word_count: int | None = None,
    split: bool = False,
    language: str | None = None,
) -> list[str] | str: ...
def keywords(
    text: str,
    ratio: float = 0.2,
    words: int | None = None,
    split: bool = False,
    scores: bool = False,
    pos_filter: Any = ("NN", "JJ"),
    lemmatize: bool = False,
    deacc: bool = True,
    language: str | None = None,
) -> list[tuple[str, float]] | list[str] | str: ...
def generate_abstract(text: str, num_sentences: int = 3) -> tuple[list[str], str]: ...
