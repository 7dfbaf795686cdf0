// The video document: text by OCR of every frame, then File's pipeline.
#include <pybind11/pybind11.h>

#include "ocrdocument.hpp"

PYBIND11_MODULE(Video, m) { wr::define_ocr_document(m, "Video", "extract_text_from_video"); }
