// Document classes whose text comes from one of Pagewring's OCR readers
// (image files, video frames). Each such class is its own extension module;
// the body they share is made here once.
#pragma once

#include <pybind11/pybind11.h>

namespace wr {

namespace py = pybind11;

// Defines, in module `m`, the class `name` deriving from File, whose
// create_features(path) marks the document as OCR'd, takes its text from
// Pagewring.<reader>(path) and finishes with File's create_features_base.
// Construction is File's own (base path, detection flag, target language).
// detect_objects() runs <detector> of the module `detector_module` (of
// wrapper.infra) over the document's file; nothing else calls it, so a
// document costs no network unless asked.
void define_ocr_document(py::module_& m, const char* name, const char* reader,
                         const char* detector_module, const char* detector);

}  // namespace wr
