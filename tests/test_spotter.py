"""Object detection in images and videos, on tiny darknet networks written
here whose detection rows the tests set exactly.

Recipe (OpenCV 4.x): [avgpool] reduces any image to one cell; a 1x1
[convolutional] with zero weights then outputs its biases, which a [yolo]
layer turns into rows: centre = sigmoid(t), size = exp(t) * anchor / 416,
class column = sigmoid(objectness) * sigmoid(logit), zeroed at or below 0.2.
An objectness logit of 30 gives exactly 1.0 and a class logit of 0 exactly
0.5; with tx = tw = 0 a row's box is centred with width anchor / 416."""

import http.server
import pathlib
import struct
import threading
import time
import types

import cv2
import numpy as np
import pytest

from wrapper import Console
from wrapper.core.Image import Image
from wrapper.core.Video import Video
from wrapper.infra import Picspotter, Reelspotter

OFF = -30.0  # a class logit whose column comes out as 0


def row(logits, anchor=(416, 416), tx=0.0, ty=0.0, tw=0.0, th=0.0, obj=30.0):
    return {"anchor": anchor, "biases": [tx, ty, tw, th, obj, *logits]}


def write_network(directory, heads, names, raw_names=None):
    """res/ with a cfg, weights and class names beside a pretend module file
    in `directory`; `heads` is one list of rows per [yolo] output."""
    res = directory / "res"
    res.mkdir(parents=True, exist_ok=True)
    rows = [r for head in heads for r in head]
    anchors = ", ".join(f"{w},{h}" for r in rows for w, h in [r["anchor"]])
    cfg = ["[net]\nwidth=416\nheight=416\nchannels=3\n", "[avgpool]\n"]
    weights = [np.array([0, 2, 0], np.int32).tobytes(), np.array([0], np.int64).tobytes()]
    first = 0
    for i, head in enumerate(heads):
        if i:
            cfg.append("[route]\nlayers=0\n")
        filters = len(head) * (5 + len(names))
        mask = ",".join(str(first + k) for k in range(len(head)))
        first += len(head)
        cfg.append(f"[convolutional]\nsize=1\nstride=1\npad=0\nfilters={filters}\n"
                   "activation=linear\n")
        cfg.append(f"[yolo]\nmask={mask}\nanchors={anchors}\nclasses={len(names)}\n"
                   f"num={len(rows)}\n")
        biases = np.array([r["biases"] for r in head], np.float32).ravel()
        weights += [biases.tobytes(), np.zeros(filters * 3, np.float32).tobytes()]
    (res / "yolov3.cfg").write_text("\n".join(cfg))
    (res / "yolov3.weights").write_bytes(b"".join(weights))
    (res / "coco.names").write_text(raw_names if raw_names is not None else "\n".join(names) + "\n")
    return str(directory / "Picspotter.so")


@pytest.fixture
def network(tmp_path, monkeypatch):
    """Installs a network for both detectors (they find res/ beside the
    image detector's file) and returns the path it points at."""
    def install(heads, names=("cat", "dog", "car"), raw_names=None):
        fake = write_network(tmp_path / "module", heads, list(names), raw_names)
        monkeypatch.setattr(Picspotter, "__file__", fake)
        return fake
    return install


@pytest.fixture
def nms_calls(monkeypatch):
    calls = []
    real = cv2.dnn.NMSBoxes

    def spy(boxes, scores, *thresholds):
        calls.append((boxes, scores, thresholds))
        return real(boxes, scores, *thresholds)
    monkeypatch.setattr(cv2.dnn, "NMSBoxes", spy)
    return calls


def image(tmp_path, height, width, name="in.png"):
    path = str(tmp_path / name)
    pixels = np.random.default_rng(height * width).integers(0, 255, (height, width, 3), np.uint8)
    cv2.imwrite(path, pixels)
    return path


def reference(image_path, net, output_layers, classes):
    """The detector as the host library calls would do it."""
    img = cv2.imread(image_path)
    height, width, _ = img.shape
    net.setInput(cv2.dnn.blobFromImage(img, 0.00392, (416, 416), (0, 0, 0), True, crop=False))
    class_ids, confidences, boxes = [], [], []
    for out in net.forward(output_layers):
        for detection in out:
            scores = detection[5:]
            class_id = np.argmax(scores)
            confidence = scores[class_id]
            if confidence > 0.5:
                center_x, center_y = int(detection[0] * width), int(detection[1] * height)
                w, h = int(detection[2] * width), int(detection[3] * height)
                boxes.append([int(center_x - w / 2), int(center_y - h / 2), w, h])
                confidences.append(float(confidence))
                class_ids.append(class_id)
    kept = cv2.dnn.NMSBoxes(boxes, confidences, 0.5, 0.4)
    return boxes, [(str(classes[class_ids[i]]), confidences[i])
                   for i in range(len(boxes)) if i in kept]


@pytest.mark.parametrize("seed", range(4))
def test_detection_equals_the_library_calls_made_directly(network, nms_calls, tmp_path, seed):
    rng = np.random.default_rng(seed)
    # Logits around the threshold, ties between classes, boxes that overlap
    # or not, centres near the edges, widths past the image.
    def random_row():
        logits = rng.choice([OFF, -1.0, 0.0, 0.0, 0.4, 1.5, 3.0], size=4)
        return row(logits, anchor=tuple(int(a) for a in rng.integers(20, 700, 2)),
                   tx=rng.normal(0, 2), ty=rng.normal(0, 2), tw=rng.normal(0, 0.5),
                   th=rng.normal(0, 0.5), obj=float(rng.choice([30.0, 2.0])))
    network([[random_row() for _ in range(7)], [random_row() for _ in range(5)]],
            names=("cat", "dog", "car", "bus"))
    path = image(tmp_path, *rng.integers(5, 900, 2))

    found = Picspotter.identify_objects_in_image(path)
    boxes, expected = reference(path, *Picspotter.get_layers())
    assert found == expected
    assert nms_calls[0] == (boxes, nms_calls[1][1], (0.5, 0.4))
    assert all(type(c) is float for _, c in found)


def test_threshold_truncation_and_printed_shape(network, nms_calls, tmp_path, capsys):
    network([[
        row([0.0, OFF, OFF]),                    # exactly 0.5: not above the threshold
        row([OFF, 2.0, OFF], anchor=(624, 104)),  # centre 0.5, width 1.5, height 0.25
    ]])
    found = Picspotter.identify_objects_in_image(image(tmp_path, 20, 13))
    assert capsys.readouterr().out == "(20, 13, 3)\n"
    # centre x int(6.5) = 6, w int(19.5) = 19, x = int(6 - 9.5) = -3 (not -4);
    # centre y 10, h 5, y = int(10 - 2.5) = 7.
    assert nms_calls[0][0] == [[-3, 7, 19, 5]]
    assert found == [("dog", float(np.float32(1 / (1 + np.exp(np.float32(-2))))))]

    network([[row([0.0, OFF, OFF])]])
    assert Picspotter.identify_objects_in_image(image(tmp_path, 4, 4)) == []
    assert capsys.readouterr().out == "(4, 4, 3)\n"
    assert nms_calls[1][:2] == ([], [])


def test_suppression_spans_classes_and_the_order_is_the_networks(network, tmp_path):
    small = (40, 40)
    network([
        [row([1.0, OFF, OFF]),                    # cat, overlapped by the stronger dog
         row([OFF, 3.0, OFF]),                    # dog, same box
         row([1.5, OFF, OFF], small, tx=-4.0)],   # cat far left
        [row([2.0, OFF, OFF], small, tx=4.0),     # cat far right, stronger than both
         row([OFF, OFF, 0.5], small, tx=-4.0)],   # car over the left cat, weaker
    ])
    found = Picspotter.identify_objects_in_image(image(tmp_path, 300, 300))
    assert [label for label, _ in found] == ["dog", "cat", "cat"]
    assert found[1][1] < found[2][1]  # row order, not confidence order


def test_layers_and_names_as_the_network_gives_them(network):
    network([[row([OFF, OFF])], [row([OFF, OFF])]], names=("a", "b"),
            raw_names="first class\nsecond\n\n")
    _, output_layers, classes = Picspotter.get_layers()
    assert output_layers == ["yolo_2", "yolo_5"]
    assert classes == ["first class", "second"]


@pytest.mark.parametrize("detect", [Picspotter.identify_objects_in_image,
                                    Reelspotter.identify_objects_in_video])
def test_missing_weights_name_the_file_and_the_command(network, tmp_path, detect):
    network([[row([OFF])]], names=("a",))
    weights = tmp_path / "module" / "res" / "yolov3.weights"
    weights.unlink()
    with pytest.raises(FileNotFoundError) as error:
        detect(image(tmp_path, 8, 8))
    assert str(weights) in str(error.value) and "wrapper fetch-weights" in str(error.value)


# ---- videos ---------------------------------------------------------------


def avi(path, frames, declared=None):
    """An MJPG AVI of `frames` frames whose headers declare `declared`."""
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 5, (64, 48))
    for i in range(frames):
        writer.write(np.full((48, 64, 3), 40 * i, np.uint8))
    writer.release()
    if declared is not None:
        data = bytearray(path.read_bytes())
        struct.pack_into("<I", data, data.find(b"avih") + 24, declared)  # total frames
        struct.pack_into("<I", data, data.find(b"strh") + 40, declared)  # stream length
        path.write_bytes(bytes(data))
    return str(path)


@pytest.fixture
def captures(monkeypatch):
    """Reelspotter's cv2, with every capture's release counted."""
    log = types.SimpleNamespace(opened=0, released=0)

    def open_capture(path):
        capture = cv2.VideoCapture(path)
        log.opened += 1

        def release():
            log.released += 1
            capture.release()
        return types.SimpleNamespace(get=capture.get, read=capture.read, release=release)
    monkeypatch.setattr(Reelspotter, "cv2", types.SimpleNamespace(
        VideoCapture=open_capture, CAP_PROP_FRAME_COUNT=cv2.CAP_PROP_FRAME_COUNT, dnn=cv2.dnn))
    return log


@pytest.mark.parametrize("frames, declared, expected", [
    (3, None, 3),
    (3, 5, 3),   # declares more than it holds: ends at the first failed read
    (3, 2, 2),   # declares fewer: only those are read
])
def test_one_entry_per_frame_read(network, captures, tmp_path, capsys, frames, declared,
                                  expected):
    network([[row([OFF, 1.0, OFF])]])
    found = Reelspotter.identify_objects_in_video(avi(tmp_path / "v.avi", frames, declared))
    assert [[label for label, _ in f] for f in found] == [["dog"]] * expected
    assert (captures.opened, captures.released) == (1, 1)
    assert capsys.readouterr().out == ""


def test_video_that_cannot_be_opened_gives_nothing(network, captures, tmp_path):
    network([[row([OFF, 1.0, OFF])]])
    assert Reelspotter.identify_objects_in_video(str(tmp_path / "missing.mp4")) == []
    assert captures.released == 1


def test_capture_released_when_a_frame_fails(network, captures, tmp_path):
    network([[row([OFF, 1.0, OFF])]], raw_names="only\n")  # class 1 has no name
    with pytest.raises(IndexError):
        Reelspotter.identify_objects_in_video(avi(tmp_path / "v.avi", 2))
    assert captures.released == 1


# ---- fetching the weights -------------------------------------------------


class Server:
    """A local double of the weights' address; each test sets the answer."""

    def __init__(self):
        self.body, self.length, self.status, self.trickle = b"", None, 200, False
        double = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(double.status)
                self.send_header("Content-Type", "application/octet-stream")
                if double.length != "":  # "" sends no length: the body ends at the close
                    self.send_header("Content-Length", str(double.length or len(double.body)))
                self.end_headers()
                if double.trickle:  # one byte at a time, for a bounded while
                    try:
                        for _ in range(200):
                            self.wfile.write(b"x")
                            self.wfile.flush()
                            time.sleep(0.02)
                    except OSError:  # the client gave up
                        pass
                    return
                try:
                    self.wfile.write(double.body)
                except OSError:  # the client refused what was announced
                    pass

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/yolov3.weights"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


SHIPPED_CFG = pathlib.Path(Picspotter.__file__).parent / "res" / "yolov3.cfg"
# A two-layer network (3 -> 4 channels with batch norm, 3x3; then 4 -> 2, 1x1)
# and its size as darknet writes it: 4 * (4 + 12 + 108) + 4 * (2 + 8) bytes
# after the header.
TINY_CFG = ("[net]\nchannels=3\n\n[convolutional]\nbatch_normalize=1\nfilters=4\nsize=3\n"
            "# a comment\n[maxpool]\n[convolutional]\nfilters=2\nsize = 1\n[route]\nlayers=-2\n")
TINY_FLOATS = 4 + 12 + 108 + 2 + 8


def weights_file(floats, version=(0, 2)):
    header = struct.pack("<iii", *version, 0)
    seen = struct.pack("<q" if version >= (0, 2) else "<i", 7)
    return header + seen + np.arange(floats, dtype="<f4").tobytes()


@pytest.fixture
def server(tmp_path, monkeypatch):
    """The double, and a package whose res/ holds the tiny network's cfg."""
    (tmp_path / "module" / "res").mkdir(parents=True)
    (tmp_path / "module" / "res" / "yolov3.cfg").write_text(TINY_CFG)
    monkeypatch.setattr(Picspotter, "__file__", str(tmp_path / "module" / "Picspotter.so"))
    double = Server()
    double.body = weights_file(TINY_FLOATS)
    yield double
    double.close()


def weights_left(tmp_path):
    return sorted(p.name for p in (tmp_path / "module" / "res").iterdir() if p.name != "yolov3.cfg")


@pytest.mark.parametrize("version", [(0, 2), (0, 1)])  # 64- and 32-bit count of images seen
def test_fetch_command_saves_the_weights_beside_the_module(server, tmp_path, capsys, version):
    server.body = weights_file(TINY_FLOATS, version)
    assert Console.main(["fetch-weights", "--url", server.url]) == 0
    assert (tmp_path / "module" / "res" / "yolov3.weights").read_bytes() == server.body
    assert "yolov3.weights" in capsys.readouterr().out


@pytest.mark.parametrize("status, length, trickle, body, error", [
    (404, None, False, None, OSError),
    (200, len(weights_file(TINY_FLOATS)), False, b"abc", OSError),
    (200, len(weights_file(TINY_FLOATS)), True, None, TimeoutError),
    # Announced short (one float less would be the size with the narrower
    # header, so two), found long once read, not even a header.
    (200, None, False, weights_file(TINY_FLOATS - 2), "offers"),
    (200, "", False, weights_file(TINY_FLOATS + 1), "not kept"),
    (200, "", False, b"\0" * 8, "not kept"),
], ids=["404", "cut", "stalled", "announced-short", "long", "headless"])
def test_failed_fetch_leaves_no_file(server, tmp_path, status, length, trickle, body, error):
    server.status, server.length, server.trickle = status, length, trickle
    if body is not None:
        server.body = body
    with pytest.raises(OSError if isinstance(error, str) else error,
                       match=error if isinstance(error, str) else None):
        Picspotter._fetch_weights(server.url, timeout=0.5)
    assert weights_left(tmp_path) == []


def test_shipped_network_definition_gives_the_published_weights_size(server, tmp_path):
    # yolov3.weights as published is 248,007,048 bytes: the size is judged
    # from the headers before any body is read.
    (tmp_path / "module" / "res" / "yolov3.cfg").write_bytes(SHIPPED_CFG.read_bytes())
    server.body = b"x" * 100
    for length, message in ((248_007_048, "ended after 100 of 248007048"),
                            (248_007_040, "needs 248007048")):
        server.length = length
        with pytest.raises(OSError, match=message):
            Picspotter._fetch_weights(server.url, timeout=5)
    assert weights_left(tmp_path) == []


@pytest.mark.parametrize("cfg, error", [
    (None, "network definition not found"),
    ("[net]\n[convolutional]\nfilters=4\n[lstm]\n", r"\[lstm\].*not understood"),
    ("[net]\n[route]\nlayers=-1\n", "does not exist"),
    ("[net]\n[convolutional]\nfilters=99999999999999999999\n", "not a whole number"),
])
def test_fetch_refused_when_the_size_cannot_be_known(server, tmp_path, cfg, error):
    path = tmp_path / "module" / "res" / "yolov3.cfg"
    if cfg is None:
        path.unlink()
    else:
        path.write_text(cfg)
    with pytest.raises((FileNotFoundError, ValueError), match=error):
        Picspotter._fetch_weights(server.url, timeout=5)
    assert weights_left(tmp_path) == []


# ---- the command line -----------------------------------------------------


@pytest.mark.parametrize("name, weights, expected", [
    ("photo.png", True, "objects:   dog (0.73)"),
    ("clip.mp4", True, "objects:   dog in 2 of 2 frames"),
    ("photo.png", False, "objects:   (not detected: the YOLOv3 weights are not installed; "
                         "'wrapper fetch-weights' downloads them)"),
])
def test_show_lists_the_objects_found(network, tmp_path, capsys, name, weights, expected):
    network([[row([OFF, 1.0, OFF])]])
    if not weights:
        (tmp_path / "module" / "res" / "yolov3.weights").unlink()
    blank = np.full((60, 80, 3), 255, np.uint8)
    path = tmp_path / name
    if name.endswith(".mp4"):
        writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), 2, (80, 60))
        for _ in range(2):
            writer.write(blank)
        writer.release()
    else:
        cv2.imwrite(str(path), blank)
    assert Console.main(["show", str(path), "--no-detect"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [line for line in out if line.startswith("objects:")] == [expected]


@pytest.mark.parametrize("cls, make, detect", [
    (Image, lambda tmp: image(tmp, 30, 40), Picspotter.identify_objects_in_image),
    (Video, lambda tmp: avi(tmp / "v.avi", 2), Reelspotter.identify_objects_in_video),
])
def test_documents_detect_objects_in_their_file_on_request(network, tmp_path, cls, make, detect):
    network([[row([OFF, 1.0, OFF])]])
    path = make(tmp_path)
    doc = cls(str(tmp_path), False)
    with pytest.raises(Exception, match="create_features"):
        doc.detect_objects()
    doc.path = path
    assert doc.detect_objects() == detect(path) != []
