"""Language services: offline detection with lingua, translation and
detection through the online translation service (googletrans)."""

from typing import overload

from wrapper.infra.Idiomark import Idiomark

# Host names of the translation service, the global endpoint first, then one
# regional. Read at every call, so replacing the list redirects the client.
SERVICE_URLS: list[str]

# With the text alone, the result is the language. Passing translate_to or
# detected_language at all (None included) selects the three-value form used
# by search: their default is a private marker, not None.
@overload
def detect_lang(text: str) -> Idiomark: ...
@overload
def detect_lang(
    text: str,
    translate_to: Idiomark | None,
    detected_language: Idiomark | None = ...,
) -> tuple[Idiomark, str, list[str]]: ...
@overload
def detect_lang(
    text: str, *, detected_language: Idiomark | None
) -> tuple[Idiomark, str, list[str]]: ...

# A missing target (None) is taken as the source language: nothing is sent.
def translate(
    text: str,
    translate_to: Idiomark | None = None,
    original_language: Idiomark | None = None,
    fix_text: object = None,
) -> tuple[Idiomark, str, list[str]]: ...

# translate_to is the service's own language code (e.g. "en"), not an Idiomark.
def detect_lang_by_google_translate(
    text: str, translate_to: str | None = None
) -> tuple[str, str]: ...
