"""Folder ingestion: a folder's documents into an index, kept equal to it run after run."""

from typing import Any, Callable, Iterable

def index_folder(
    folder: str,
    base: str,
    *,
    engine: str | None = None,
    detect: bool = False,
    translate_to: str | None = None,
    jobs: int | None = None,
    batch: int = 50,
    scheduler: str | None = None,
    file_timeout: float | None = None,
    progress: Callable[[int, int, str], Any] | None = None,
    notice: Callable[[str], Any] | None = None,
) -> dict[str, Any]: ...
def remove_files(
    paths: Iterable[str], base: str, *, notice: Callable[[str], Any] | None = None
) -> dict[str, Any]: ...
