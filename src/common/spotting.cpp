#include "spotting.hpp"

#include <pybind11/numpy.h>

#include <vector>

#include "pyutil.hpp"
#include "yolo.hpp"

namespace wr::spotting {

namespace {

// The detection rows of one output layer, as float32 rows. Network outputs
// are float32 already, so this is a view, not a copy.
py::array_t<float, py::array::c_style> rows_of(py::handle output) {
    auto rows = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(output);
    if (!rows) throw py::error_already_set();
    if (rows.ndim() != 2)
        raise(PyExc_ValueError, {"expected a two-dimensional array of detection rows, got ",
                                 py::int_(rows.ndim()), " dimensions"});
    return rows;
}

[[noreturn]] void raise_failure(yolo::Failure failure) {
    switch (failure) {
        case yolo::Failure::no_scores:
            raise(PyExc_ValueError, {"attempt to get argmax of an empty sequence"});
        case yolo::Failure::infinite:
            raise(PyExc_OverflowError, {"cannot convert float infinity to integer"});
        default:
            raise(PyExc_ValueError, {"cannot convert float NaN to integer"});
    }
}

py::object whole_number(double value) {
    PyObject* number = PyLong_FromDouble(value);
    if (number == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(number);
}

}  // namespace

py::list detect(py::handle cv2, py::handle net, py::handle output_layers, py::handle classes,
                py::handle image, std::int64_t width, std::int64_t height) {
    py::object dnn = cv2.attr("dnn");
    py::object blob = dnn.attr("blobFromImage")(image, 0.00392, py::make_tuple(416, 416),
                                                py::make_tuple(0, 0, 0), true,
                                                py::arg("crop") = false);
    net.attr("setInput")(blob);
    py::object outputs = net.attr("forward")(output_layers);

    std::vector<yolo::Detection> found;
    for (py::handle output : outputs) {
        auto rows = rows_of(output);
        const yolo::Failure failure =
            yolo::decode(rows.data(), static_cast<std::size_t>(rows.shape(0)),
                         static_cast<std::size_t>(rows.shape(1)), width, height, found);
        if (failure != yolo::Failure::none) raise_failure(failure);
    }

    py::list boxes(found.size());
    py::list confidences(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        const yolo::Box& b = found[i].box;
        boxes[i] = py::list(py::make_tuple(whole_number(b.x), whole_number(b.y),
                                           whole_number(b.w), whole_number(b.h)));
        confidences[i] = py::float_(found[i].confidence);
    }
    // Once over every box, whatever its class: overlapping boxes of two
    // classes are one object seen twice, and only the stronger is kept.
    py::object kept = dnn.attr("NMSBoxes")(boxes, confidences, yolo::kNmsScoreThreshold,
                                           yolo::kNmsOverlapThreshold);
    std::vector<std::int64_t> kept_indexes;
    for (py::handle index : kept) {
        py::int_ number(py::reinterpret_borrow<py::object>(index));
        kept_indexes.push_back(number.cast<std::int64_t>());
    }

    py::list result;
    for (std::size_t i : yolo::survivors(found.size(), kept_indexes)) {
        py::object name = classes[py::int_(found[i].class_id)];
        result.append(py::make_tuple(py::str(name), confidences[i]));
    }
    return result;
}

}  // namespace wr::spotting
