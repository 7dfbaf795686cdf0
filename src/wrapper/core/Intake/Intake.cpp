// wrapper.core.Intake: a folder of files into an index, side by side on this
// machine's cores or on a Dask cluster, with the record that lets a later
// run skip what has not changed; and the removal of files by hand. The
// command line's `index` and `remove` are these functions.
#include "intake.hpp"

namespace py = pybind11;

PYBIND11_MODULE(Intake, m) {
    m.doc() = "Folder ingestion: index a folder's documents, keep the index equal to it.";
    m.def("index_folder", &intake::index_folder, py::arg("folder"), py::arg("base"),
          py::kw_only(), py::arg("engine") = py::none(), py::arg("detect") = false,
          py::arg("translate_to") = py::none(), py::arg("jobs") = py::none(),
          py::arg("batch") = 50, py::arg("scheduler") = py::none(),
          py::arg("file_timeout") = py::none(), py::arg("progress") = py::none(),
          py::arg("notice") = py::none(),
          "Index the documents under `folder` into the index at `base`: new and changed "
          "files are compiled (in `jobs` worker processes, or on the Dask cluster at "
          "`scheduler`) and filed in batches of at least `batch`, files gone from the "
          "folder leave the index. A file may take `file_timeout` seconds per page "
          "(default 300) before its worker is killed and it is reported failed. "
          "`progress(done, total, name)` is called as each file ends, `notice(text)` when "
          "the run waits for another writer. Returns a summary: indexed, skipped, failed, "
          "unchanged, removed, without_ocr, index.");
    m.def("remove_files", &intake::remove_files, py::arg("paths"), py::arg("base"),
          py::kw_only(), py::arg("notice") = py::none(),
          "Drop the documents of the given files or folders from the index at `base`, "
          "without touching the files; a later index_folder passes over them until they "
          "change. Returns removed, missing (paths that named nothing) and index.");
    m.def("_compile_task", &intake::compile_task, py::arg("task"));
}
