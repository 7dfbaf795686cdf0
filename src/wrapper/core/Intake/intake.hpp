// Folder ingestion: the files of a folder compiled side by side (worker
// processes of this machine, or the workers of a Dask cluster) and filed in
// batches, in folder order, each batch one write of the index. Scheduling
// (workers.cpp), filing and the record (filing.cpp) and the run that joins
// them (ingest.cpp) are apart; the module's functions are in Intake.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "indexbase.hpp"
#include "pyutil.hpp"

namespace intake {

namespace py = pybind11;
using namespace wr;

// The record of filed files, beside the engine's own files.
constexpr const char* kRecordName = "/indexed_files.json";
// A batch is written at least this often, so that an interrupted run loses
// little work even when OCR makes each file slow.
constexpr double kCommitSeconds = 120.0;
// ...but waits at least this many times what the last write took, so that
// writes stay a small share of a run however large the index grows.
constexpr double kRefitShare = 20.0;
// The time a file may take by default, per page: Tesseract at its slowest
// on a dense page, and a language sample, with room to spare.
constexpr double kSecondsPerPage = 300.0;

// ---- per file, in whatever process runs it (workers.cpp) -------------------

// The answer to one task: (name, document or None, failure or None, why OCR
// was not used or None, the file's digest or None); both None: the file is
// what the index holds already. The OCR settings of the file are its
// thread's own. `own_process`: this process does nothing but files, so the
// library's log lines and prints may be taken over around each file; a
// thread of a cluster worker takes over nothing process-wide.
py::tuple compile_file(py::object task, bool own_process);
py::str digest_of(py::handle path);

// What became of one file's task: the worker's answer, or why there is none.
struct Outcome {
    std::size_t index = 0;
    py::object answer = py::none();   // compile_file's tuple
    py::object failure = py::none();  // when there is no answer: the reason
};

// Runs every task somewhere and gives their outcomes back as they come.
class Runner {
public:
    virtual ~Runner() = default;
    virtual void start(const std::vector<py::object>& tasks) = 0;
    // Waits for the next outcome; Ctrl-C comes through as KeyboardInterrupt.
    virtual Outcome next() = 0;
    virtual void stop() noexcept {}
};
// Worker processes forked from this one, `jobs` at once, each file under a
// limit of `seconds_per_page` times its pages.
std::unique_ptr<Runner> local_workers(long jobs, double seconds_per_page);
std::unique_ptr<Runner> cluster(py::handle address);

// ---- names, the record and the writes (filing.cpp) -------------------------

struct Naming {
    py::object home;  // a real path
    py::object name_of(py::handle real_path) const;
    py::object path_of(py::handle name) const;
};
bool inside(py::handle path, py::handle folder);
// `notice`: a callable told once that another writer holds the index, or None.
void tell_if_waiting(py::handle modeldir, bool& told, py::handle notice);
// `held`: the index's documents (name -> fingerprint).
py::object settle_home(py::handle base, py::handle modeldir, py::handle folder_real,
                       py::handle held, bool& told, py::handle notice);
py::dict held_fingerprints(py::handle engine, bool sb, py::handle only);

struct Record {
    py::dict files;
    py::dict removed;  // dropped by a removal: not indexed again until changed
};
Record read_record(py::handle modeldir);
bool bare_entries_trusted(py::handle modeldir, py::handle model_file);
std::size_t remove_dead_copies(py::handle base);
bool belongs_to_base(py::handle path, py::handle base_real, py::handle models_real);
long default_jobs();

class Filing {
public:
    // `held`: how many documents the index holds before the run.
    Filing(py::handle base, IndexNote note, py::object process, bool sb, bool drop_bare,
           long batch, std::size_t held, bool told, py::object notice);
    // `excluded`: names to pass over until their file changes (name, digest).
    void remove(const std::vector<py::object>& names,
                std::vector<std::pair<py::object, py::object>> excluded = {});
    void add(py::object doc, py::object name, py::object digest);
    void commit();
    // The last commit; an index with nothing in it is still noted.
    void finish();
    std::size_t filed() const { return filed_; }
    std::size_t removed() const { return removed_; }

private:
    void first_change();
    void tell_if_waiting();

    py::handle base_;
    IndexNote note_;
    py::object process_;
    py::object modeldir_;
    bool sb_;
    bool drop_bare_;
    std::size_t batch_size_;
    std::size_t held_;
    std::chrono::steady_clock::time_point last_commit_;
    double last_refit_seconds_ = 0;
    py::list docs_;
    std::vector<std::pair<py::object, py::object>> pending_;  // name, digest
    std::size_t filed_ = 0;
    std::size_t removed_ = 0;
    bool noted_ = false;
    bool waited_;
    py::object notice_;
};

// ---- the run (ingest.cpp) ---------------------------------------------------

py::dict index_folder(py::object folder, py::object base, py::object engine, bool detect,
                      py::object translate_to, py::object jobs, py::object batch,
                      py::object scheduler, py::object file_timeout, py::object progress,
                      py::object notice);
py::dict remove_files(py::object paths, py::object base, py::object notice);
// A task on a thread of a cluster worker: compile_file, taking over nothing.
py::tuple compile_task(py::object task);

}  // namespace intake
