// Objects shown in an image, found by a YOLOv3 network through OpenCV's DNN
// module. The network is loaded anew by every call: nothing is kept between
// calls, so replacing the model files takes effect at once.
#include <pybind11/pybind11.h>

#include "picspotter.hpp"
#include "pyutil.hpp"
#include "spotting.hpp"

namespace picspotter {

py::object attr(const char* name) { return wr::this_module().attr(name); }

py::object model_path(const char* name) {
    py::object path = attr("os").attr("path");
    py::object here = path.attr("dirname")(attr("__file__"));
    return path.attr("join")(here, wr::cat({"res/", name}));
}

py::object read_file(py::handle path, const char* mode, Py_ssize_t size) {
    py::object file = wr::import_attr("builtins", "open")(path, mode);
    py::object data;
    try {
        data = file.attr("read")(size);
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return data;
}

namespace {

// The class names: the whole file stripped, split at line feeds.
py::object read_class_names(py::handle path) {
    return read_file(path, "r").attr("strip")().attr("split")("\n");
}

py::tuple get_layers() {
    py::object weights = model_path("yolov3.weights");
    py::object config = model_path("yolov3.cfg");
    py::object names = model_path("coco.names");
    // The weights are too large to ship (248 MB) and come from no package
    // index, so they are the one file a user may lack; OpenCV's own report
    // of a missing file would not say where to get it.
    if (!wr::truthy(attr("os").attr("path").attr("isfile")(weights)))
        wr::raise(PyExc_FileNotFoundError,
                  {"YOLOv3 weights not found: ", weights, " (248 MB, not shipped with the "
                   "package); download them with: ", kFetchCommand});
    py::object net = attr("cv2").attr("dnn").attr("readNet")(weights, config);
    py::object classes = read_class_names(names);

    py::object layer_names = net.attr("getLayerNames")();
    py::list output_layers;
    // 1-based indexes; the host's own subtraction and indexing, so what they
    // accept and refuse is unchanged.
    for (py::handle index : net.attr("getUnconnectedOutLayers")())
        output_layers.append(layer_names[py::reinterpret_borrow<py::object>(index) - py::int_(1)]);
    return py::make_tuple(net, output_layers, classes);
}

py::list identify_objects_in_image(py::object image_path) {
    std::vector<py::object> layers = wr::unpack(attr("get_layers")(), 3);
    py::object image = attr("cv2").attr("imread")(image_path);
    py::object shape = image.attr("shape");
    std::vector<py::object> dims = wr::unpack(shape, 3);
    wr::import_attr("builtins", "print")(shape);
    return wr::spotting::detect(attr("cv2"), layers[0], layers[1], layers[2], image,
                                dims[1].cast<std::int64_t>(), dims[0].cast<std::int64_t>());
}

}  // namespace

}  // namespace picspotter

namespace py = pybind11;

PYBIND11_MODULE(Picspotter, m) {
    wr::this_module() = m;
    // Loading depends on these, in this order; no network is built here.
    m.attr("os") = wr::import("os");
    m.attr("cv2") = wr::import_as_held("cv2");
    m.attr("np") = wr::import("numpy");
    m.attr("time") = wr::import("time");

    m.def("get_layers", &picspotter::get_layers,
          "(net, output layer names, class names) of the YOLOv3 network in res/ beside "
          "this module, loaded anew.");
    m.def("identify_objects_in_image", &picspotter::identify_objects_in_image,
          py::arg("image_path"),
          "(class name, confidence) of every object found in the image, in the order the "
          "network reports them; prints the image's shape.");
    m.def("_fetch_weights", &picspotter::fetch_weights, py::arg("url") = py::none(),
          py::arg("timeout") = 3600.0,
          "Downloads the trained weights into res/ beside this module, giving up after "
          "`timeout` seconds and keeping them only when their size is what res/yolov3.cfg "
          "implies; returns the file's path.");
}
