"""Frames per second of the video detector, in one run.

    python bench/bench_spotter.py [--frames N] [--rounds N]

identify_objects_in_video against the same OpenCV calls made from Python
(capture, blob, forward pass, the row loop with numpy, NMSBoxes), on one
video and one network, loaded once per call on both sides.

The network takes YOLOv3's input (416 x 416) and gives exactly YOLOv3's
output: three [yolo] heads on 13 x 13, 26 x 26 and 52 x 52 grids with three
anchors each and the 80 COCO classes, 10,647 rows of 85 columns per frame.
Its layers before the heads are pooling and zero-weight 1x1 convolutions, so
the forward pass costs little and what is measured is the detector's own
work around it (blob, decoding, suppression); the trained YOLOv3 weights
are not needed. The biases are set so that every row is decoded and 169 rows
per frame (one anchor on the coarsest grid) pass the threshold, overlapping
their neighbours, so suppression has work to do.

With --yolov3 the network is the real YOLOv3 definition installed in res/
(from Debian's darknet) with random weights of the right layout written
here: the forward pass then costs what it costs with the trained weights,
and the figures show how little of a frame's time the detector's own work
is. Random weights detect nothing, so the rows decode but none passes.
 Each figure is the best
of N rounds; the sides alternate.
"""

import argparse
import contextlib
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

from wrapper.infra import Picspotter, Reelspotter

CLASSES = 80
GRIDS = (13, 26, 52)


def write_network(directory, rng):
    res = directory / "res"
    res.mkdir(parents=True)
    anchors = "10,13, 16,30, 33,23, 30,61, 62,45, 59,119, 116,90, 156,198, 373,326"
    filters = 3 * (5 + CLASSES)
    cfg = ["[net]\nwidth=416\nheight=416\nchannels=3\n", "[maxpool]\nsize=8\nstride=8\n"]
    weights = [np.array([0, 2, 0], np.int32).tobytes(), np.array([0], np.int64).tobytes()]
    # Layer 0 is the 52 x 52 base; each head pools it down to its grid.
    for head, grid in enumerate(GRIDS):
        if head:
            cfg.append("[route]\nlayers=0\n")
        if grid != 52:
            cfg.append(f"[maxpool]\nsize={52 // grid}\nstride={52 // grid}\n")
        cfg.append(f"[convolutional]\nsize=1\nstride=1\npad=0\nfilters={filters}\n"
                   "activation=linear\n")
        mask = ",".join(str(a) for a in range(6 - 3 * head, 9 - 3 * head))
        cfg.append(f"[yolo]\nmask={mask}\nanchors={anchors}\nclasses={CLASSES}\nnum=9\n")
        biases = rng.normal(0, 1, (3, 5 + CLASSES)).astype(np.float32)
        biases[:, 4] = 30.0                                   # objectness 1
        biases[:, 5:] = rng.normal(-4, 1, (3, CLASSES))       # every class below 0.5 ...
        if grid == 13:
            biases[0, 5 + 17] = 2.0                           # ... but one, on 169 cells
        weights += [biases.ravel().tobytes(), np.zeros(filters * 3, np.float32).tobytes()]
    (res / "yolov3.cfg").write_text("\n".join(cfg))
    (res / "yolov3.weights").write_bytes(b"".join(weights))
    (res / "coco.names").write_text("\n".join(f"class{i}" for i in range(CLASSES)) + "\n")
    return directory / "Picspotter.so"


def write_yolov3(directory, rng):
    """The installed YOLOv3 definition and names with random weights."""
    installed = Path(Picspotter.__file__).parent / "res"
    res = directory / "res"
    res.mkdir(parents=True)
    cfg = (installed / "yolov3.cfg").read_text()
    (res / "yolov3.cfg").write_text(cfg)
    (res / "coco.names").write_text((installed / "coco.names").read_text())
    sections = []
    for line in cfg.splitlines():
        line = line.split("#")[0].strip()
        if line.startswith("["):
            sections.append({"type": line.strip("[]")})
        elif "=" in line:
            key, value = line.split("=", 1)
            sections[-1][key.strip()] = value.strip()
    channels, outputs = int(sections[0].get("channels", 3)), []
    with open(res / "yolov3.weights", "wb") as out:
        out.write(np.array([0, 2, 0], np.int32).tobytes() + np.array([0], np.int64).tobytes())
        for layer in sections[1:]:
            kind = layer["type"]
            if kind == "convolutional":
                filters, size = int(layer["filters"]), int(layer["size"])
                if int(layer.get("batch_normalize", 0)):
                    norm = [np.zeros(filters), np.ones(filters), np.zeros(filters), np.ones(filters)]
                else:
                    norm = [np.zeros(filters)]
                # Small enough that activations shrink through the layers and the
                # heads give finite boxes.
                scale = 0.5 / np.sqrt(channels * size * size)
                for block in norm + [rng.normal(0, scale, filters * channels * size * size)]:
                    out.write(block.astype(np.float32).tobytes())
                channels = filters
            elif kind == "route":
                refs = [int(r) for r in layer["layers"].split(",")]
                channels = sum(outputs[r if r >= 0 else len(outputs) + r] for r in refs)
            outputs.append(channels)
    return directory / "Picspotter.so"


def write_video(path, frames, rng):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 25, (640, 480))
    for _ in range(frames):
        writer.write(rng.integers(0, 255, (480, 640, 3), np.uint8))
    writer.release()
    return str(path)


def python_detector(video_path):
    """The detector written with the same calls from Python."""
    net, output_layers, classes = Picspotter.get_layers()
    capture = cv2.VideoCapture(video_path)
    result = []
    for _ in range(int(capture.get(cv2.CAP_PROP_FRAME_COUNT))):
        ok, frame = capture.read()
        if not ok:
            break
        height, width, _ = frame.shape
        blob = cv2.dnn.blobFromImage(frame, 0.00392, (416, 416), (0, 0, 0), True, crop=False)
        net.setInput(blob)
        class_ids, confidences, boxes = [], [], []
        for out in net.forward(output_layers):
            for detection in out:
                scores = detection[5:]
                class_id = np.argmax(scores)
                confidence = scores[class_id]
                if confidence > 0.5:
                    center_x = int(detection[0] * width)
                    center_y = int(detection[1] * height)
                    w = int(detection[2] * width)
                    h = int(detection[3] * height)
                    boxes.append([int(center_x - w / 2), int(center_y - h / 2), w, h])
                    confidences.append(float(confidence))
                    class_ids.append(class_id)
        kept = cv2.dnn.NMSBoxes(boxes, confidences, 0.5, 0.4)
        result.append([(str(classes[class_ids[i]]), confidences[i])
                       for i in range(len(boxes)) if i in kept])
    capture.release()
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--yolov3", action="store_true",
                        help="the real YOLOv3 network with random weights (slow)")
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    with tempfile.TemporaryDirectory() as tmp, contextlib.ExitStack() as stack:
        tmp = Path(tmp)
        saved = Picspotter.__file__
        make = write_yolov3 if args.yolov3 else write_network
        Picspotter.__file__ = str(make(tmp / "module", rng))
        stack.callback(setattr, Picspotter, "__file__", saved)
        video = write_video(tmp / "clip.avi", args.frames, rng)

        sides = {"ours": Reelspotter.identify_objects_in_video, "python": python_detector}
        best = {name: float("inf") for name in sides}
        results = {}
        for _ in range(args.rounds):
            for name, detect in sides.items():
                start = time.perf_counter()
                results[name] = detect(video)
                best[name] = min(best[name], time.perf_counter() - start)
        assert results["ours"] == results["python"], "the two sides disagree"

        rows = sum(3 * g * g for g in GRIDS)
        kept = sum(map(len, results["ours"])) / args.frames
        network = "YOLOv3 (random weights)" if args.yolov3 else "pooling stand-in"
        print(f"video detector, {network}, {args.frames} frames of 640x480, network input "
              f"416x416, {rows} rows x {5 + CLASSES} columns per frame, {kept:.0f} objects kept "
              f"per frame (best of {args.rounds})")
        for name in sides:
            print(f"  {name:7s} {args.frames / best[name]:8.1f} frames/s "
                  f"({1000 * best[name] / args.frames:6.2f} ms per frame)")
        print(f"  ours / python time ratio: {best['ours'] / best['python']:.3f}")


if __name__ == "__main__":
    main()
