from typing import Any

from wrapper.core.File import File

class Vectorizer:
    """Stores and restores one named model with joblib under a directory."""

    model: Any
    corpus_name: str
    path: str
    model_filename: str

    def __init__(self, path: str, corpus_name: str) -> None: ...
    def encode(self, file: File) -> None: ...
    def load_model(self) -> None: ...
    def save_model(self, model: Any) -> None: ...
