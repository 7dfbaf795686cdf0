// `wrapper index` and `wrapper remove`: the folder ingestion module does the
// work; here are its progress bar and the summary a user reads.
#include "console.hpp"
#include "pyutil.hpp"

namespace console {

int run_index(py::handle args) {
    auto progress = std::make_shared<Progress>(0);
    py::cpp_function step([progress](std::size_t done, std::size_t total, py::object name) {
        progress->set_total(total);
        progress->step(done, name, true);
    });
    py::cpp_function notice([](py::object text) { err(text); });
    py::object index_folder = wr::import_attr("wrapper.core.Intake", "index_folder");
    py::dict summary;
    try {
        summary = index_folder(
            args.attr("folder"), args.attr("base"), py::arg("engine") = args.attr("engine"),
            py::arg("detect") = wr::truthy(args.attr("detect")),
            py::arg("translate_to") = args.attr("translate_to"), py::arg("jobs") = args.attr("jobs"),
            py::arg("batch") = args.attr("batch"), py::arg("scheduler") = args.attr("scheduler"),
            py::arg("file_timeout") = args.attr("file_timeout"), py::arg("progress") = step,
            py::arg("notice") = notice);
    } catch (...) {
        progress->finish();
        throw;
    }
    progress->finish();

    py::list skipped = summary["skipped"];
    py::list failed = summary["failed"];
    py::list without_ocr = summary["without_ocr"];
    out(wr::cat({"indexed ", summary["indexed"], ", skipped ", py::len(skipped), ", failed ",
                 py::len(failed), ", unchanged ", summary["unchanged"], ", removed ",
                 summary["removed"], ", read without OCR ", py::len(without_ocr), " (index at ",
                 summary["index"], ")"}));
    for (py::handle name : skipped)
        out(wr::cat({"  skipped ", name, ": ",
                     reason_line(reasons::Cause::NotDocument, "not a PDF, image or MP4 video")}));
    for (py::handle item : without_ocr) out(wr::cat({"  no OCR  ", item[py::int_(0)], ": ", item[py::int_(1)]}));
    for (py::handle item : failed) out(wr::cat({"  failed  ", item[py::int_(0)], ": ", item[py::int_(1)]}));
    for (py::handle folder : py::list(summary.attr("get")("unlisted", py::list())))
        out(wr::cat({"  unread  ", folder, ": the folder could not be listed; its documents stay "
                     "in the index as they were"}));
    for (py::handle pair : py::list(summary.attr("get")("same", py::list())))
        out(wr::cat({"  same    ", pair[py::int_(0)], ": the same bytes as ", pair[py::int_(1)]}));
    // A run that finished with some files failed is told apart from one
    // that failed as a whole (1, from the caller).
    return py::len(failed) == 0 ? 0 : kExitSomeFilesFailed;
}

int run_remove(py::handle args) {
    py::cpp_function notice([](py::object text) { err(text); });
    py::dict summary = wr::import_attr("wrapper.core.Intake", "remove_files")(
        args.attr("paths"), args.attr("base"), py::arg("notice") = notice);
    py::list missing = summary["missing"];
    for (py::handle given : missing) err(wr::cat({"not in the index: ", given}));
    out(wr::cat({"removed ", summary["removed"], " (index at ", summary["index"], ")"}));
    return py::len(missing) == 0 ? 0 : 1;
}

}  // namespace console
