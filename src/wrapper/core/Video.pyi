from wrapper.core.File import File

class Video(File):
    def create_features(self, path: str) -> None: ...
