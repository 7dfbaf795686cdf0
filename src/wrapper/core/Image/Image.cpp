// The image document: text by OCR of the image, then File's pipeline.
#include <pybind11/pybind11.h>

#include "ocrdocument.hpp"

PYBIND11_MODULE(Image, m) { wr::define_ocr_document(m, "Image", "extract_text_from_image"); }
