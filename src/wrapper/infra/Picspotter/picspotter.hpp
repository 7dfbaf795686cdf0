// Pieces of the image detector shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

namespace picspotter {

namespace py = pybind11;

// Read from the module at call time, so a host or a test that replaces one
// (cv2, os, or the module's own file name, which decides where res/ is) is
// honoured.
py::object attr(const char* name);

// The path of one model file: res/<name> beside the module's own file.
py::object model_path(const char* name);

// What the host's open(path, mode).read(size) gives, the file closed however
// the read ends.
py::object read_file(py::handle path, const char* mode, Py_ssize_t size = -1);

// The public address of the trained weights and the command that fetches it.
extern const char* const kWeightsUrl;
extern const char* const kFetchCommand;

py::object fetch_weights(py::object url, double timeout);

}  // namespace picspotter
