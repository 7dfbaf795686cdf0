// Text extraction: OCR-first PDF text, the ocrmypdf runner, images and
// video frames.
#include "pagewring.hpp"

#include "pyutil.hpp"

namespace pagewring {

py::module_& self() { return wr::this_module(); }

namespace {

// Settings one thread chose for itself (a task on a cluster worker's thread
// sets them for its file alone). Plain integers: nothing here may need the
// interpreter when a thread ends. One pass: -1 unset, 0, 1. Jobs: -2 unset,
// -1 the tool's default, else a count.
thread_local int thread_one_pass = -1;
thread_local long long thread_jobs = -2;

void set_thread_settings(py::object one_pass, py::object jobs, bool clear) {
    if (clear) {
        thread_one_pass = -1;
        thread_jobs = -2;
        return;
    }
    thread_one_pass = wr::truthy(one_pass) ? 1 : 0;
    if (jobs.is_none()) {
        thread_jobs = -1;
    } else {
        const long long n = py::int_(jobs).cast<long long>();
        if (n < 1) wr::raise(PyExc_ValueError, {"OCR jobs must be 1 or more, not ", jobs});
        thread_jobs = n;
    }
}

}  // namespace

py::object setting(const char* name) {
    const std::string which = name;
    if (which == "OCR_ONE_PASS" && thread_one_pass >= 0) return py::bool_(thread_one_pass == 1);
    if (which == "OCR_JOBS" && thread_jobs != -2)
        return thread_jobs == -1 ? py::object(py::none()) : py::object(py::int_(thread_jobs));
    return attr(name);
}

namespace {

// The detect_lang this module bound when it loaded.
py::object& bound_detect_lang() {
    static py::object* fn = new py::object();  // leaked: outlives the interpreter
    return *fn;
}

}  // namespace

py::object detect_language(py::handle text) {
    // Language detection lives in Tonguecheck and is read there at every
    // call, so replacing it on that module reaches every user. A function
    // put in place of this module's own `detect_lang` name still comes
    // first: that is the narrower, deliberate choice.
    py::object here = attr("detect_lang");
    if (!here.is(bound_detect_lang())) return here(text);
    return wr::import_attr("wrapper.infra.Tonguecheck", "detect_lang")(text);
}

}  // namespace pagewring

namespace py = pybind11;

PYBIND11_MODULE(Pagewring, m) {
    namespace pw = pagewring;
    pw::self() = m;

    // Loading depends on each of these, in this order; nothing is built here.
    m.attr("io") = wr::import("io");
    m.attr("cv2") = wr::import("cv2");
    m.attr("pytesseract") = wr::import("pytesseract");
    m.attr("Image") = wr::import("PIL.Image");
    m.attr("logging") = wr::import("logging");
    m.attr("traceback") = wr::import("traceback");
    m.attr("fitz") = wr::import("fitz");
    m.attr("subprocess") = wr::import("subprocess");
    m.attr("Idiomark") = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");
    m.attr("detect_lang") = wr::import_attr("wrapper.infra.Tonguecheck", "detect_lang");
    pw::bound_detect_lang() = m.attr("detect_lang");

    // Limits of the ocrmypdf runs, read at every run so that a host can set
    // them: seconds allowed per run (fixed + per page of the input), and the
    // tool's --jobs (None: the tool's own default, every core).
    m.attr("OCR_SECONDS_FIXED") = py::float_(60.0);
    m.attr("OCR_SECONDS_PER_PAGE") = py::float_(60.0);
    m.attr("OCR_JOBS") = py::none();
    // Whether a PDF extracted without a language takes its language from a
    // sample and is OCR'd once, in that language, instead of once to tell
    // the language and again in it. Off by default: a host keeps the two
    // passes it always had; the command line turns it on. An attribute, not a keyword: PDF documents call the extraction
    // with two arguments, and the switch has to reach through them.
    m.attr("OCR_ONE_PASS") = py::bool_(false);
    // Whether the short reads of a PDF's language sample are made by
    // Tesseract's library inside this process (its model loaded once, not
    // at every read) rather than by the tesseract program. Both read the
    // same text; the program is used anyway where the library cannot be.
    m.attr("TESSERACT_IN_PROCESS") = py::bool_(true);
    // Seconds allowed to each Tesseract run on one image or video frame.
    m.attr("TESSERACT_SECONDS") = py::float_(120.0);

    // Not part of the specified module: settings for the calling thread only,
    // so that tasks on the threads of one worker process each keep their own.
    m.def(
        "_thread_settings",
        [](py::object one_pass, py::object jobs, bool clear) { pw::set_thread_settings(one_pass, jobs, clear); },
        py::arg("one_pass") = false, py::arg("jobs") = py::none(), py::arg("clear") = false,
        "Make OCR_ONE_PASS and OCR_JOBS this thread's own (clear=True: the module's again).");

    // The operations, in their order of definition.
    m.def("extract_text_from_image", &pw::extract_text_from_image, py::arg("image_path"),
          py::arg("language") = py::none(),
          "OCR text of an image file. Without a language the text is read once with "
          "the engine's default, its language detected, and the image read again in it.");
    m.def("extract_text_from_any", &pw::extract_text_from_any, py::arg("file_path"),
          "Placeholder for other files: reads nothing, returns None.");
    m.def("extract_text_from_csv", &pw::extract_text_from_csv, py::arg("csv_path"),
          "Placeholder for CSV files: reads nothing, returns None.");
    m.def("run_ocrmypdf", &pw::run_ocrmypdf, py::arg("input_pdf"), py::arg("output_pdf"),
          py::arg("language") = py::none(),
          "Writes a searchable copy of input_pdf to output_pdf with ocrmypdf; raises "
          "Exception(stderr) when the tool exits with a non-zero status.");
    m.def("get_text_from_pdf", &pw::get_text_from_pdf, py::arg("pdf_path"),
          "Concatenated, stripped text layer of every page.");
    m.def("extract_text_from_pdf", &pw::extract_text_from_pdf, py::arg("pdf_path"),
          py::arg("base_path"), py::arg("language") = py::none(),
          "Text of a PDF, OCR first (the OCR copy goes to base_path + '/output.pdf'); "
          "any failure falls back to the PDF's own text layer and embedded images.");
    m.def("_extract_text_from_pdf", &pw::extract_text_from_pdf_direct, py::arg("pdf_path"),
          "Text layer of each page followed by the OCR text of that page's images.");
    // Not part of the specified module: the document's pages, for PDF.
    m.def("_pages_of", &pw::pages_of, py::arg("text"),
          "The page texts behind `text`, just read from a PDF on this thread, or None.");
    m.def("_text_lines", &pw::text_lines_of, py::arg("pixels"), py::arg("width"),
          py::arg("height"), py::arg("stride"), py::arg("shortest"), py::arg("tallest"),
          "The text lines the language sample finds in a greyscale image: "
          "[(top, bottom, estimated letters)].");
    m.def("_sample_language", &pw::sample_language, py::arg("pdf_path"),
          "The language a one-pass extraction would read the PDF in, from its "
          "sample (its text layer or a few OCR'd lines), or None: read twice.");
    m.def("_tesseract_read", &pw::tesseract_read, py::arg("pixels"), py::arg("width"),
          py::arg("height"), py::arg("stride"), py::arg("strip"), py::arg("in_process"),
          "What a language sample's read finds in a greyscale image: a strip of "
          "lines or a page, read in this process or by the tesseract program.");
    m.def("extract_text_from_video", &pw::extract_text_from_video, py::arg("video_path"),
          "OCR text of every frame of an .mp4 video; None for .wav, '' otherwise.");
}
