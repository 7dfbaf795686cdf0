"""Pages of filed documents kept beside the index, and passages found in them."""

from typing import Any

from wrapper.infra.Idiomark import Idiomark

def path(modeldir: str, id: Any) -> str: ...
def keep(modeldir: str, doc: Any, model: Any = None, key: str | None = None) -> str | None: ...
def forget(modeldir: str, id: Any) -> bool: ...
def read(modeldir: str, id: Any) -> dict[str, Any] | None: ...
def respell(
    query: str, language: Idiomark | None, corrected: str, records: list[dict[str, Any] | None]
) -> str | None: ...
def terms(text: str, language: Idiomark | None = None) -> str: ...
def find(
    record: dict[str, Any], weights: dict[str, float], count: int = 3, words: int = 40
) -> list[dict[str, Any]]: ...
def candidates(
    record: dict[str, Any], weights: dict[str, float], limit: int = 16, words: int = 40
) -> list[dict[str, Any]]: ...
def nearest(
    modeldir: str,
    id: Any,
    record: dict[str, Any],
    key: str,
    query: Any,
    weights: dict[str, float],
    count: int = 3,
    words: int = 40,
) -> list[dict[str, Any]] | None: ...
