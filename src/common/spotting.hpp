// Object detection in one decoded image or video frame with a YOLOv3 network
// loaded through OpenCV's DNN module: what the image and the video detector
// (each its own extension module) share.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace wr::spotting {

namespace py = pybind11;

// Runs the network over `image` (an array of `height` × `width` pixels in
// blue-green-red order) and returns its (class name, confidence) pairs: rows
// scoring above 0.5, after non-maximum suppression over all classes together,
// in the order the network produced them. `cv2` is the OpenCV module the
// caller reads at call time; `net`, `output_layers` and `classes` are what
// get_layers() gives.
py::list detect(py::handle cv2, py::handle net, py::handle output_layers, py::handle classes,
                py::handle image, std::int64_t width, std::int64_t height);

}  // namespace wr::spotting
