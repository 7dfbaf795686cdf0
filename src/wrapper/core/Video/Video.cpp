// The video document: text by OCR of every frame, then File's pipeline; the
// objects in each frame on request.
#include <pybind11/pybind11.h>

#include "ocrdocument.hpp"

PYBIND11_MODULE(Video, m) {
    wr::define_ocr_document(m, "Video", "extract_text_from_video", "Reelspotter",
                            "identify_objects_in_video");
}
