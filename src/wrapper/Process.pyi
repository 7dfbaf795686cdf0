from typing import Any, Iterable

from wrapper.core.File import File
from wrapper.infra.Enginekind import Enginekind
from wrapper.infra.Idiomark import Idiomark

class Process:
    """The facade: a base path, language options and one search engine."""

    document_search: Any
    modeldir: str
    base_path: str
    is_detect_language: bool
    translate_to: Idiomark | None

    def __init__(
        self,
        base_path: str,
        is_detect_language: bool = False,
        translate_to: Idiomark | None = None,
        type: Enginekind | None = None,
    ) -> None: ...
    @staticmethod
    def create_online_pipeline_multilingual(
        base_path: str, is_detect_language: bool = True, translate_to: Idiomark | None = ...
    ) -> Process: ...
    @staticmethod
    def create_batch_pipeline(
        base_path: str, is_detect_language: bool = False, translate_to: Idiomark | None = None
    ) -> Process: ...
    @staticmethod
    def load(download_dir: str | None = None) -> None: ...
    @staticmethod
    def compile(
        base_path: str,
        complement_path: str,
        is_detect_language: bool = False,
        translate_to: Idiomark | None = None,
    ) -> File: ...
    def compile_doc(self, complement_path: str, file_index: Any) -> File: ...
    def train_doc(self, file: File) -> File: ...
    def train_docs(self, files: Iterable[File]) -> list[File]: ...
    def update_docs(self, files: Iterable[File]) -> list[File]: ...
    def remove_docs(self, ids: Iterable[Any]) -> int: ...
    def compile_and_train(self, complement_path: str, file_index: Any) -> File: ...
    def search(
        self,
        query: str,
        detected_language: Idiomark | None = None,
        page: int = 1,
        results_per_page: int = 10,
    ) -> Any: ...
    def passages(
        self,
        hit: dict[str, Any],
        query: str,
        detected_language: Idiomark | None = None,
        count: int = 3,
    ) -> list[dict[str, Any]]: ...
    def did_you_mean(
        self, query: str, hits: list[dict[str, Any]], detected_language: Idiomark | None = None
    ) -> str | None: ...
