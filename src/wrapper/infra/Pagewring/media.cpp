// Text of images and of video frames by OCR, and the inputs that give none.
#include "pagewring.hpp"

#include "pyutil.hpp"

namespace pagewring {

py::object extract_text_from_image(py::object image_path, py::object language) {
    py::object text;
    if (wr::truthy(language)) {
        py::object code = attr("Idiomark").attr("get_tesseract_language")(language);
        text = image_to_string(image_path, code);
    } else {
        text = image_to_string(image_path);
        if (!wr::truthy(text)) {
            wr::log_debug({"No Text Extracted from Image"});
        } else {
            // Read with the default (English) model, a page in another
            // script comes out as Latin-looking noise that language
            // detection would take for some Latin language.
            std::string script = foreign_script_of_image(image_path);
            if (!script.empty())
                wr::raise(PyExc_ValueError, {"Script ", script, " not supported"});
            // Text in no supported language fails here, to the caller.
            py::object detected = detect_language(text);
            wr::log_debug({"extracting text from image using language: ", detected.attr("value")});
            text = call("extract_text_from_image", image_path, detected);
        }
    }
    wr::log_debug({"Extracted Text from Image:\n", text, "\n"});
    return text;
}

py::object extract_text_from_any(py::object /*file_path*/) { return py::none(); }

py::object extract_text_from_csv(py::object /*csv_path*/) { return py::none(); }

py::object extract_text_from_video(py::object video_path) {
    // The suffix test is on the path's text and case-sensitive on purpose:
    // ".MP4" is not read.
    py::str path(video_path);
    if (wr::truthy(path.attr("endswith")(".mp4"))) {
        // Frame texts are joined once at the end: appending each one to a
        // growing string would copy the whole text again for every frame.
        py::list texts;
        py::object capture = attr("cv2").attr("VideoCapture")(video_path);
        try {
            while (wr::truthy(capture.attr("isOpened")())) {
                py::object frame_read = capture.attr("read")();
                if (!wr::truthy(frame_read[py::int_(0)])) break;
                texts.append(image_to_string(frame_read[py::int_(1)]));
            }
        } catch (...) {
            // Whatever ends the loop, the capture must not stay open behind
            // it; the frame's error then goes on to the caller.
            capture.attr("release")();
            throw;
        }
        capture.attr("release")();
        return py::str("").attr("join")(texts);
    }
    if (wr::truthy(path.attr("endswith")(".wav"))) return call("extract_text_from_any", video_path);
    return py::str("");
}

}  // namespace pagewring
