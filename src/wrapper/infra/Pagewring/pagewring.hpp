// Pieces of the text-extraction module shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace pagewring {

namespace py = pybind11;

// The module object, set once when it loads. Collaborators (fitz, pytesseract,
// subprocess, detect_lang, ...) and the module's own operations are read from
// it at call time, so a host or a test that patches one of them is honoured,
// and the language-directed second passes recurse through the patched name.
py::module_& self();
inline py::object attr(const char* name) { return self().attr(name); }

// A setting of the module (OCR_JOBS, OCR_ONE_PASS): the value this thread
// chose with _thread_settings, else the module attribute.
py::object setting(const char* name);

// Calls the module's own operation `name` as it stands at call time.
template <typename... Args>
py::object call(const char* name, Args&&... args) {
    return attr(name)(std::forward<Args>(args)...);
}

// While one of these lives on a thread, the Tesseract processes that
// pytesseract starts from that thread run with a single OpenMP thread (unless
// the host set its own limit). Nothing else in the process sees a change.
class SingleThreadTesseract {
public:
    SingleThreadTesseract();
    ~SingleThreadTesseract();
    SingleThreadTesseract(const SingleThreadTesseract&) = delete;
    SingleThreadTesseract& operator=(const SingleThreadTesseract&) = delete;
};

// pytesseract.image_to_string(image) or (image, lang=code) under the guard
// above. `lang` None means the engine's default language (no lang argument);
// `config`, Tesseract options for this run (none when empty).
py::object image_to_string(py::handle image, py::handle lang = py::none(),
                           const char* config = "");

// The script Tesseract's orientation and script detection is sure an image
// is written in, when it is not Latin; "" otherwise (Latin, too little text
// to tell, or no detector). A timed-out run raises like image_to_string.
std::string foreign_script_of_image(py::handle image);

// The environment for the ocrmypdf child: the host's, plus the one-thread
// limit unless the host chose a limit itself. None when nothing needs adding,
// so the child simply inherits.
py::object child_environment();

// The language of a text, as the one-argument detect_lang gives it (an
// Idiomark member, or an error when no supported language is recognised).
py::object detect_language(py::handle text);

// The page texts of the PDF text just read on this thread (record_pages,
// called by the readers), handed out once by pages_of for exactly that text;
// None for any other text.
void record_pages(const py::list& pages);
py::object pages_of(py::object text);

// The image codec ("JBIG2Decode", ...) a page's content stream is
// compressed with, or "": no valid PDF does that, and decoding one is
// unbounded (a few kilobytes of JBIG2 become gigabytes).
std::string image_coded_contents(py::handle document, py::handle page);

// Pixels of the largest image on a page, from its dictionary (nothing is
// decoded).
long long largest_image(py::handle page);

// Images past this are not OCR'd from the PDF itself: Pillow refuses them
// anyway (twice its own bomb limit), after MuPDF has spent the memory to
// decode them.
constexpr long long kLargestImagePixels = 2LL * 89478485;

// The language a PDF is written in, told from a sample that costs far less
// than an OCR pass of it: its text layer when that holds enough letters,
// else up to a few pages rendered and OCR'd. None when the sample tells no
// supported language, or the text layer is there but reads as nothing:
// those documents need the reading of the whole document that the two-pass
// road does.
py::object sample_language(py::handle pdf_path);
// One read of the sample's kind: a strip of lines, or rows read as a page;
// by the library in this process or by the program.
py::object tesseract_read(const py::bytes& pixels, long long width, long long height,
                          long long stride, bool strip, bool in_process);

// The text lines the sample finds in a greyscale image, as (top, bottom,
// estimated letters): bound privately, for tests against a reference.
py::list text_lines_of(const py::bytes& pixels, long long width, long long height, long long stride,
                       long long shortest, long long tallest);

// run_ocrmypdf, or with whole_pages its OCR of every page whole
// (--force-ocr), for inputs whose own text layer reads as nothing.
py::object run_ocrmypdf_in(py::object input_pdf, py::object output_pdf, py::object language,
                           bool whole_pages);

// ---- the operations, bound in Pagewring.cpp in their order of definition --
py::object extract_text_from_image(py::object image_path, py::object language);
py::object extract_text_from_any(py::object file_path);
py::object extract_text_from_csv(py::object csv_path);
py::object run_ocrmypdf(py::object input_pdf, py::object output_pdf, py::object language);
py::object get_text_from_pdf(py::object pdf_path);
py::object extract_text_from_pdf(py::object pdf_path, py::object base_path, py::object language);
py::object extract_text_from_pdf_direct(py::object pdf_path);
py::object extract_text_from_video(py::object video_path);

}  // namespace pagewring
