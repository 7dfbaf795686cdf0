from typing import Any

from wrapper.core.File import File

class PDF(File):
    objects: list[Any]

    def create_features(self, path: str) -> None: ...
