// The OCR command-line runner: a searchable copy of a PDF made by ocrmypdf.
#include "pagewring.hpp"

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

py::object run_tool(const py::list& base, const char* mode, const py::object& env) {
    // A fresh list: the retry reuses `base`, so it must not grow here.
    py::list command;
    for (py::handle piece : base) command.append(piece);
    command.append(mode);
    py::dict options;
    options["capture_output"] = true;
    options["text"] = true;
    // A message the locale cannot decode (a file name in another encoding,
    // say) must not turn a run that happened into an "error" that gets the
    // tool started a second time.
    options["errors"] = "replace";
    if (!env.is_none()) options["env"] = env;
    return attr("subprocess").attr("run")(command, **options);
}

}  // namespace

py::object run_ocrmypdf(py::object input_pdf, py::object output_pdf, py::object language) {
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

    py::object env = child_environment();
    py::object result;
    try {
        result = run_tool(base, "--redo-ocr", env);
    } catch (py::error_already_set& e) {
        // Only a run that could not happen is retried; a tool that ran and
        // failed is reported below. The retry's own error is the caller's.
        if (!e.matches(PyExc_Exception)) throw;
    }
    if (!result) result = run_tool(base, "--force-ocr", env);

    // ocrmypdf reports progress and warnings on its error stream even when it
    // succeeds: the exit status alone decides.
    if (py::object(result.attr("returncode")).equal(py::int_(0))) {
        wr::log_debug({"Command executed successfully"});
        wr::log_debug({"Output:"});
        wr::log_debug(result.attr("stdout"));
        return py::none();
    }
    py::object error_text = result.attr("stderr");
    wr::log_debug({"Command failed"});
    wr::log_debug({"Error:"});
    wr::log_debug(error_text);
    // The instance, not the text: a text is never unpacked as arguments.
    py::object error = py::handle(PyExc_Exception)(error_text);
    PyErr_SetObject(PyExc_Exception, error.ptr());
    throw py::error_already_set();
}

}  // namespace pagewring
