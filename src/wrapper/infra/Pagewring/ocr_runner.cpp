// The OCR command-line runner: a searchable copy of a PDF made by ocrmypdf.
#include "pagewring.hpp"

#include <string>

#include "childproc.hpp"
#include "pyutil.hpp"

namespace pagewring {

namespace {

// A path as one argument that the tool can only read as a path. No shell
// is involved, so nothing in the path is split or expanded; but ocrmypdf's
// argument parser would still take a leading "-" for an option ("-dash.pdf"
// is read as -d, that is --deskew, and "-" alone as standard input)
// and a leading "@" for a file of further arguments. Such a path is
// necessarily relative, so "./" in front names the same file. "--" cannot
// be used instead: the options come after the paths.
py::str path_argument(py::handle path) {
    py::str text(path);
    if (wr::truthy(text.attr("startswith")(py::make_tuple("-", "@")))) {
        return wr::cat({"./", text});
    }
    return text;
}

// The time the tool is given: a fixed allowance plus one per page, both read
// from the module at call time so that a host can change them. The page count
// comes from the input itself; an input that cannot be opened gets the
// allowance of one page (the tool then fails quickly on its own).
double time_limit(long long pages) {
    const double fixed = py::float_(attr("OCR_SECONDS_FIXED"));
    const double per_page = py::float_(attr("OCR_SECONDS_PER_PAGE"));
    return fixed + per_page * static_cast<double>(pages < 1 ? 1 : pages);
}

// -1 when the input cannot be opened as a PDF. `bomb` gets the first page
// whose content is image-compressed, as a sentence, or stays empty.
long long input_pages(py::handle input_pdf, std::string& bomb) {
    py::object document;
    try {
        document = attr("fitz").attr("open")(input_pdf);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return -1;
    }
    const long long count = document.attr("page_count").cast<long long>();
    try {
        for (long long i = 0; i < count && bomb.empty(); ++i) {
            std::string codec = image_coded_contents(document, document[py::int_(i)]);
            if (!codec.empty())
                bomb = "its page " + std::to_string(i + 1) + " has " + codec +
                       "-compressed content";
        }
    } catch (py::error_already_set& e) {
        // A precaution only: a page this cannot inspect is the tool's to read.
        if (!e.matches(PyExc_Exception)) throw;
    }
    document.attr("close")();
    return count;
}

py::object run_tool(const py::list& base, const char* mode, const py::object& env,
                    double seconds) {
    // A fresh list: the retry reuses `base`, so it must not grow here.
    py::list command;
    for (py::handle piece : base) command.append(piece);
    command.append(mode);
    // Its own process group, killed whole on time-out or interruption: the
    // tool starts Tesseract and Ghostscript children that would otherwise
    // stay behind. A message the locale cannot decode (a file name in another
    // encoding, say) must not turn a run that happened into an "error" that
    // gets the tool started a second time.
    return wr::run_bounded(attr("subprocess").attr("Popen"), command, env, seconds);
}

// Whether the tool ran and refused --redo-ocr for this input.
bool redo_refused(const py::object& result) {
    if (py::object(result.attr("returncode")).equal(py::int_(0))) return false;
    py::object error = result.attr("stderr");
    return PyUnicode_Check(error.ptr()) &&
           wr::truthy(error.attr("__contains__")("--redo-ocr is not currently possible"));
}

[[noreturn]] void fail(py::object error_text) {
    wr::log_debug({"Command failed"});
    wr::log_debug({"Error:"});
    wr::log_debug(error_text);
    // The instance, not the text: a text is never unpacked as arguments.
    py::object error = py::handle(PyExc_Exception)(error_text);
    PyErr_SetObject(PyExc_Exception, error.ptr());
    throw py::error_already_set();
}

}  // namespace

py::object run_ocrmypdf(py::object input_pdf, py::object output_pdf, py::object language) {
    return run_ocrmypdf_in(std::move(input_pdf), std::move(output_pdf), std::move(language), false);
}

py::object run_ocrmypdf_in(py::object input_pdf, py::object output_pdf, py::object language,
                           bool whole_pages) {
    // The code is looked up before anything runs: an unknown language never
    // starts the tool.
    py::list base;
    base.append("ocrmypdf");
    base.append(path_argument(input_pdf));
    base.append(path_argument(output_pdf));
    if (wr::truthy(language)) {
        base.append("--language");
        base.append(attr("Idiomark").attr("get_tesseract_language")(language));
    }
    base.append("--output-type");
    base.append("pdf");
    // Workers that OCR side by side each get a share of the machine; by
    // default the tool takes every core for itself.
    py::object jobs = setting("OCR_JOBS");
    if (!jobs.is_none()) {
        base.append("--jobs");
        base.append(py::str(py::int_(jobs)));
    }

    // A PDF without pages has nothing to read, and ocrmypdf never ends on
    // some of them (a page tree that points back at the catalogue).
    std::string bomb;
    const long long pages = input_pages(input_pdf, bomb);
    if (pages == 0) fail(wr::cat({"ocrmypdf not run: ", py::str(input_pdf), " has no pages"}));
    // The tool would decode it until its time is up (jbig2dec, Ghostscript).
    if (!bomb.empty()) fail(wr::cat({"ocrmypdf not run: ", py::str(input_pdf), ": ", bomb}));
    const double seconds = time_limit(pages);

    py::object env = child_environment();
    py::object expired = wr::import_attr("subprocess", "TimeoutExpired");
    py::object result;
    try {
        result = run_tool(base, whole_pages ? "--force-ocr" : "--redo-ocr", env, seconds);
    } catch (py::error_already_set& e) {
        // Only a run that could not happen is retried; a tool that ran and
        // failed is reported below, and one that ran out of time has had
        // its chance. The retry's own error is the caller's.
        if (!e.matches(PyExc_Exception)) throw;
        if (e.matches(expired)) {
            wr::log_warning({"ocrmypdf timed out after ", py::int_(static_cast<long long>(seconds)),
                             " s on ", py::str(input_pdf), "; it and its children were stopped"});
            throw;
        }
    }
    if (!result) result = run_tool(base, "--force-ocr", env, seconds);
    if (!whole_pages && redo_refused(result)) {
        // Some inputs (fillable forms above all) cannot keep their text
        // layer under --redo-ocr; OCR of the whole page still reads them.
        // Only the private copy is written: the input is never changed.
        wr::log_info({"ocrmypdf cannot redo the OCR of ", py::str(input_pdf),
                      " (a fillable form); its pages are OCR'd whole"});
        result = run_tool(base, "--force-ocr", env, seconds);
    }

    // ocrmypdf reports progress and warnings on its error stream even when it
    // succeeds: the exit status alone decides.
    if (py::object(result.attr("returncode")).equal(py::int_(0))) {
        wr::log_debug({"Command executed successfully"});
        wr::log_debug({"Output:"});
        wr::log_debug(result.attr("stdout"));
        return py::none();
    }
    fail(result.attr("stderr"));
}

}  // namespace pagewring
