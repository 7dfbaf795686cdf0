// Objects shown in every frame of a video, found by the image detector's
// YOLOv3 network, loaded once per call and used for all frames.
#include <pybind11/pybind11.h>

#include "pyutil.hpp"
#include "spotting.hpp"

namespace py = pybind11;

namespace {

// Read from the module at call time, so a replaced cv2 or get_layers is
// honoured.
py::object attr(const char* name) { return wr::this_module().attr(name); }

py::list detect_frames(py::handle cv2, py::handle capture, const std::vector<py::object>& layers) {
    // The count the container declares, truncated like int(); some report
    // fewer frames than they hold (only that many are read), some more (the
    // first failed read ends the loop). A capture that is not open reports 0
    // (or -1 on some OpenCV builds): nothing is read.
    const py::object declared = capture.attr("get")(cv2.attr("CAP_PROP_FRAME_COUNT"));
    const long long count = py::int_(declared).cast<long long>();
    py::list result;
    for (long long n = 0; n < count; ++n) {
        std::vector<py::object> read = wr::unpack(capture.attr("read")(), 2);
        if (!wr::truthy(read[0])) break;
        std::vector<py::object> dims = wr::unpack(read[1].attr("shape"), 3);
        result.append(wr::spotting::detect(cv2, layers[0], layers[1], layers[2], read[1],
                                           dims[1].cast<std::int64_t>(),
                                           dims[0].cast<std::int64_t>()));
    }
    return result;
}

py::list identify_objects_in_video(py::object video_path) {
    std::vector<py::object> layers = wr::unpack(attr("get_layers")(), 3);
    py::object cv2 = attr("cv2");
    py::object capture = cv2.attr("VideoCapture")(video_path);
    py::list result;
    try {
        result = detect_frames(cv2, capture, layers);
    } catch (...) {
        // A frame's failure goes on to the caller, but not with the file
        // still open behind it.
        capture.attr("release")();
        throw;
    }
    capture.attr("release")();
    return result;
}

}  // namespace

PYBIND11_MODULE(Reelspotter, m) {
    wr::this_module() = m;
    // Loading depends on these, in this order; no network is built here.
    m.attr("cv2") = wr::import("cv2");
    m.attr("get_layers") = wr::import_attr("wrapper.infra.Picspotter", "get_layers");
    m.attr("np") = wr::import("numpy");

    m.def("identify_objects_in_video", &identify_objects_in_video, py::arg("video_path"),
          "One list of (class name, confidence) pairs per frame read, in frame order, up to "
          "the frame count the container declares.");
}
