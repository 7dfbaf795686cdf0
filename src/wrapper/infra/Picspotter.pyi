"""Objects shown in an image, found by a YOLOv3 network through OpenCV's DNN module."""

from typing import Any

def get_layers() -> tuple[Any, list[str], list[str]]: ...
def identify_objects_in_image(image_path: str) -> list[tuple[str, float]]: ...

# Downloads the trained weights (248 MB) into res/ beside this module, keeping
# them only when their size is what res/yolov3.cfg implies; what
# `wrapper fetch-weights` runs.
def _fetch_weights(url: str | None = None, timeout: float = 3600.0) -> str: ...
