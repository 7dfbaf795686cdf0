from wrapper.core.File import File

class Image(File):
    def create_features(self, path: str) -> None: ...
