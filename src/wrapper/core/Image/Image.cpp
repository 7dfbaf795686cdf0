// The image document: text by OCR of the image, then File's pipeline; the
// objects in the image on request.
#include <pybind11/pybind11.h>

#include "ocrdocument.hpp"

PYBIND11_MODULE(Image, m) {
    wr::define_ocr_document(m, "Image", "extract_text_from_image", "Picspotter",
                            "identify_objects_in_image");
}
