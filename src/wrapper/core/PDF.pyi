from typing import Any

from wrapper.core.File import File

class PDF(File):
    objects: list[Any]
    # The text of each page, as read; None when the reader did not say.
    pages: list[str] | None

    def create_features(self, path: str) -> None: ...
