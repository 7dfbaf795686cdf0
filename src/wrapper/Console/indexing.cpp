// `wrapper index`: files are compiled side by side (worker processes, or the
// workers of a Dask cluster) and filed in batches, in folder order, each with
// one write of the index; new and changed files replace their stored copies,
// files gone from the folder leave. A record of each filed file's content
// digest, beside what the index holds for it, lets a later run skip what has
// not changed and pick up where an interrupted one stopped. `wrapper remove`
// drops files by hand.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <system_error>
#include <string>
#include <utility>
#include <vector>

#include "console.hpp"
#include "dirlock.hpp"
#include "pyutil.hpp"
#include "workpool.hpp"

namespace console {

namespace {

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

// ---- in the process that compiles -----------------------------------------

// While it lives, the library's log lines reach this object whatever the
// host's logging set-up, so that the command line can tell when a PDF was
// read without OCR and why. The set-up is put back as it was afterwards.
class FallbackWatch {
public:
    FallbackWatch() : logging_(wr::import("logging")), records_(py::list()) {
        py::object root = logging_.attr("getLogger")();
        handler_ = logging_.attr("Handler")();
        py::list records = records_;
        handler_.attr("emit") = py::cpp_function([records](py::object record) mutable {
            records.append(py::make_tuple(record.attr("levelno"), record.attr("getMessage")()));
        });
        disabled_ = logging_.attr("root").attr("manager").attr("disable");
        level_ = root.attr("level");
        handlers_ = py::list(root.attr("handlers"));
        // Log lines nobody asked for stay unseen: the handlers a quiet
        // logging set-up may hold (logging.info() installs one when there is
        // none) are set aside, and only the watch sees the lines.
        if (disabled_ >= logging_.attr("CRITICAL")) root.attr("handlers") = py::list();
        logging_.attr("disable")(logging_.attr("NOTSET"));
        if (level_ > logging_.attr("INFO")) root.attr("setLevel")(logging_.attr("INFO"));
        root.attr("addHandler")(handler_);
    }
    ~FallbackWatch() {
        py::object root = logging_.attr("getLogger")();
        root.attr("removeHandler")(handler_);
        root.attr("handlers") = handlers_;
        root.attr("setLevel")(level_);
        logging_.attr("disable")(disabled_);
    }
    FallbackWatch(const FallbackWatch&) = delete;
    FallbackWatch& operator=(const FallbackWatch&) = delete;

    // Why the OCR road was left, or None when it was not.
    py::object reason(py::handle path, py::handle name) const {
        py::object last_error = py::none();
        py::object why = py::none();
        const int error = py::int_(logging_.attr("ERROR"));
        for (py::handle item : records_) {
            auto parts = wr::unpack(item, 2);
            if (parts[0].cast<int>() >= error) {
                last_error = parts[1];
            } else if (parts[1].equal(py::str("trying new method to extract text from pdf"))) {
                why = last_error.is_none() ? py::str("unknown")
                                           : explain_ocr_failure(last_error, path, name);
            }
        }
        return why;
    }

private:
    py::object logging_;
    py::list records_;
    py::object handler_;
    py::object disabled_;
    py::object level_;
    py::list handlers_;
};

// In a worker process: the pipe its messages go up, for the size of the
// file it is working on.
int messages_fd = -1;

// How much work a file is, in pages (the unit of the per-file time limit):
// counted with MuPDF, itself under the limit of one page; a video counts a
// page per 20 MB.
double units_of(py::handle path) {
    try {
        py::str lower = py::str(path).attr("lower")();
        if (wr::truthy(lower.attr("endswith")(".pdf"))) {
            MupdfMessagesAside mupdf;
            py::object doc = wr::import_attr("fitz", "open")(path);
            const double pages = py::int_(doc.attr("page_count")).cast<double>();
            doc.attr("close")();
            return pages;
        }
        if (wr::truthy(lower.attr("endswith")(".mp4")))
            return py::int_(wr::import_attr("os.path", "getsize")(path)).cast<double>() / (20 << 20);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return 1;
}

py::str digest_of(py::handle path);

// The answer to one task: (name, document or None, failure or None, why OCR
// was not used or None, the file's digest or None); both None: the file is
// what the index holds already. `own_process`: this process does nothing
// but files, so the library's settings, log lines and prints may be taken
// over around each file; a thread of a cluster worker takes over nothing.
py::tuple compile_file(py::object task, bool own_process) {
    auto t = wr::unpack(task, 7);
    py::str path = wr::cat({t[0], "/", t[1]});
    // The file is read here anyway: its digest tells whether it changed.
    py::object digest = py::none();
    try {
        digest = digest_of(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
    if (!digest.is_none() && digest.equal(t[6]))
        return py::make_tuple(t[2], py::none(), py::none(), py::none(), digest);
    if (messages_fd >= 0)
        wr::write_frame(messages_fd, std::to_string(units_of(path)), wr::kUnitsMessage);

    std::optional<PagewringSetting> jobs, one_pass;
    std::optional<FallbackWatch> watch;
    std::optional<LibraryPrintsAside> aside;
    std::optional<MupdfMessagesAside> mupdf;
    if (own_process) {
        jobs.emplace("OCR_JOBS", t[5]);
        one_pass.emplace("OCR_ONE_PASS", py::bool_(true));
        watch.emplace();
    }
    py::object doc = py::none();
    py::object failure = py::none();
    try {
        if (own_process) {
            aside.emplace();
            mupdf.emplace();
        }
        py::object Process = wr::import_attr("wrapper.Process", "Process");
        doc = Process.attr("compile")(t[0], t[1], t[3], language_member(t[4]));
        doc.attr("id") = t[2];
        if (!wr::truthy(doc.attr("text"))) {
            doc = py::none();
            failure = explain_empty(path);
        }
        mupdf.reset();
        aside.reset();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        mupdf.reset();
        aside.reset();
        doc = py::none();
        failure = explain_error(e, path, t[2]);
        // Every other file would fail the same way: the run is to stop, with
        // this reason.
        if (!t[4].is_none() && service_unreachable(e)) {
            try {
                raise_unreachable(e, "index without --translate-to to work offline");
            } catch (py::error_already_set& stop) {
                failure = py::make_tuple("stop", py::str(stop.value()));
            }
        }
    }
    py::object why = watch ? watch->reason(path, t[2]) : py::object(py::none());
    return py::make_tuple(t[2], doc, failure, why, digest);
}

// ---- names, and what the index holds ---------------------------------------

// Documents are named by their path from the base's home folder: the folder
// of the first run into the base. An index of one folder keeps the names it
// always had (paths inside that folder); another folder's files are named by
// the way there from the home ("../scans-2019/x.pdf"), so two folders never
// share a name and a file keeps its name whichever folder above it is given.
struct Naming {
    py::object home;  // a real path

    py::object name_of(py::handle real_path) const {
        return wr::import_attr("os.path", "relpath")(real_path, home);
    }
    py::object path_of(py::handle name) const {
        py::object os_path = wr::import_attr("os", "path");
        return os_path.attr("normpath")(os_path.attr("join")(home, name));
    }
};

// Whether `path` is `folder` or lies under it (both real and normalised).
bool inside(py::handle path, py::handle folder) {
    if (py::str(path).equal(py::str(folder))) return true;
    py::object os_path = wr::import_attr("os", "path");
    try {
        return py::str(os_path.attr("commonpath")(py::make_tuple(path, folder))).equal(py::str(folder));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // one relative, one absolute
        return false;
    }
}

// Writers wait for the directory's lock (the engine in its own module); the
// user is told once per run that another writer holds it.
void tell_if_waiting(py::handle modeldir, bool& told) {
    long holder = 0;
    if (!told && !wr::dir_lock_free(modeldir, &holder)) {
        told = true;
        err(wr::cat({"waiting for another writer of the index in ", modeldir,
                     holder > 0 ? wr::cat({" (pid ", holder, ")"}) : py::str(""), "..."}));
    }
}

// The home of the base's names; the first run into a base (or the first
// since names had a home) makes its folder the home, under the directory's
// lock so that two first runs agree.
py::object settle_home(py::handle base, py::handle modeldir, py::handle folder_real, bool& told) {
    tell_if_waiting(modeldir, told);
    wr::DirLock lock(modeldir, wr::kTrainingLockWait);
    IndexNote note = read_note(base);
    if (!note.home.is_none()) return note.home;
    note.home = py::reinterpret_borrow<py::object>(folder_real);
    write_note(base, note);
    return note.home;
}

py::str sha256_hex(py::handle data) {
    return wr::import_attr("hashlib", "sha256")(data).attr("hexdigest")();
}

// What the index holds for each of its documents, as a digest: the cleaned
// text (term weighting) or the language key and embedding (sentence
// embeddings). Comparing it with the record shows whether the record still
// tells the truth about a document, whoever wrote the index last. `only`:
// the names wanted, or None for all.
py::dict held_fingerprints(py::handle engine, bool sb, py::handle only) {
    engine.attr("load_model")();
    py::dict held;
    py::object names = engine.attr("document_names");
    if (names.is_none()) return held;
    auto wanted = [&](py::handle id) { return only.is_none() || wr::contains(only, id); };
    if (!sb) {
        py::object cleaned = engine.attr("cleaned_text");
        for (py::handle id : names)
            if (wanted(id))
                held[id] = sha256_hex(py::str(cleaned[id]).attr("encode")("utf-8", "surrogatepass"));
        return held;
    }
    py::object asarray = wr::import_attr("numpy", "asarray");
    py::object embedded = engine.attr("embedded_documents");
    for (auto item : py::dict(names)) {
        py::object key = py::reinterpret_borrow<py::object>(item.first);
        py::list vectors(embedded[key]);
        py::ssize_t i = 0;
        for (py::handle id : item.second) {
            if (wanted(id)) {
                py::bytes raw = asarray(vectors[i]).attr("tobytes")();
                held[id] = sha256_hex(py::bytes(wr::cat({key, ":"}).attr("encode")("utf-8")) + raw);
            }
            ++i;
        }
    }
    return held;
}

// ---- the record of filed files --------------------------------------------
//
// {"version": 2, "files": {name: [file digest, fingerprint in the index]},
//  "removed": {name: file digest}}. An entry is trusted only while the index
// holds the fingerprint it names, so a record that is missing, stale or
// older than the index costs re-reads, never a stale document. Entries of
// records written before fingerprints existed are bare digests, trusted only
// when the record is not older than the index.

py::str record_path(py::handle modeldir) { return wr::cat({modeldir, kRecordName}); }

struct Record {
    py::dict files;
    py::dict removed;  // dropped by `wrapper remove`: not indexed again until changed
};

Record read_record(py::handle modeldir) {
    Record record;
    py::object os = wr::import("os");
    py::str path = record_path(modeldir);
    if (!wr::truthy(os.attr("path").attr("exists")(path))) return record;
    py::object data;
    try {
        py::object f = wr::import_attr("builtins", "open")(path, "rb");
        try {
            data = wr::import_attr("json", "load")(f);
        } catch (py::error_already_set&) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
    } catch (py::error_already_set& e) {
        // A record that cannot be read only costs a re-read of every file.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
        return record;
    }
    if (!py::isinstance<py::dict>(data)) return record;
    py::object files = data.attr("get")("files");
    py::object removed = data.attr("get")("removed");
    if (py::isinstance<py::dict>(files)) record.files = py::dict(files);
    if (py::isinstance<py::dict>(removed)) record.removed = py::dict(removed);
    return record;
}

// Whether bare-digest entries may be trusted: the record was written after
// the index file last changed.
bool bare_entries_trusted(py::handle modeldir, py::handle model_file) {
    py::object os = wr::import("os");
    try {
        py::object record = os.attr("stat")(record_path(modeldir)).attr("st_mtime_ns");
        py::object model = os.attr("stat")(model_file).attr("st_mtime_ns");
        return record >= model;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return false;
    }
}

struct RecordChange {
    std::vector<std::pair<py::object, py::object>> filed;  // name, [digest, fingerprint]
    std::vector<py::object> dropped;                       // names no longer indexed
    std::vector<std::pair<py::object, py::object>> removed;  // name, digest
    bool drop_bare = false;  // bare entries are not to be trusted any more
};

// Merged into what is on disk (another writer may have added to it), then
// replaced whole, under the directory's lock (not held across an engine
// call, which takes the same lock itself).
void change_record(py::handle modeldir, const RecordChange& change) {
    wr::DirLock lock(modeldir, wr::kTrainingLockWait);
    Record record = read_record(modeldir);
    py::dict files = record.files;
    if (change.drop_bare) {
        py::dict kept;
        for (auto item : files)
            if (!py::isinstance<py::str>(item.second)) kept[item.first] = item.second;
        files = kept;
    }
    for (auto& name : change.dropped) {
        if (wr::contains(files, name)) files.attr("__delitem__")(name);
        if (wr::contains(record.removed, name)) record.removed.attr("__delitem__")(name);
    }
    for (auto& [name, entry] : change.filed) {
        files[name] = entry;
        if (wr::contains(record.removed, name)) record.removed.attr("__delitem__")(name);
    }
    for (auto& [name, digest] : change.removed) {
        if (wr::contains(files, name)) files.attr("__delitem__")(name);
        record.removed[name] = digest;
    }
    py::dict data;
    data["version"] = py::int_(2);
    data["files"] = files;
    data["removed"] = record.removed;
    py::str text = wr::import_attr("json", "dumps")(data, py::arg("indent") = 0);
    std::string path = wr::import_attr("os", "fsencode")(record_path(modeldir)).cast<std::string>();
    wr::write_file_atomic(path, text.attr("encode")("utf-8").cast<std::string>());
}

py::str digest_of(py::handle path) {
    py::object sha = wr::import_attr("hashlib", "sha256")();
    py::object f = wr::import_attr("builtins", "open")(path, "rb");
    try {
        while (true) {
            py::bytes chunk = f.attr("read")(1 << 20);
            if (py::len(chunk) == 0) break;
            sha.attr("update")(chunk);
        }
    } catch (py::error_already_set&) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return sha.attr("hexdigest")();
}

// ---- leftovers of killed runs ----------------------------------------------

bool process_alive(long pid) {
    if (pid <= 0) return true;  // cannot tell: keep the file
    if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno != ESRCH;
}

// The private OCR copies (".output-HOST-PID-TOKEN.pdf") that a process of
// this machine left in the base when it was killed. A copy whose process
// lives (or of another machine, on shared storage) is being written: kept.
std::size_t remove_dead_copies(py::handle base) {
    py::object os = wr::import("os");
    py::object host = wr::import("socket").attr("gethostname")();
    py::str prefix = wr::cat({".output-", host, "-"});
    std::size_t removed = 0;
    py::list entries;
    try {
        entries = os.attr("listdir")(base);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return 0;
    }
    for (py::handle entry : entries) {
        py::str name(entry);
        if (!wr::truthy(name.attr("startswith")(prefix)) || !wr::truthy(name.attr("endswith")(".pdf")))
            continue;
        py::list rest = py::str(name[py::slice(py::len(prefix), -4, 1)]).attr("split")("-");
        if (rest.size() != 2 || !wr::truthy(rest[0].attr("isdigit")())) continue;
        if (process_alive(py::int_(rest[0]).cast<long>())) continue;
        try {
            os.attr("unlink")(os.attr("path").attr("join")(base, name));
            ++removed;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;  // gone meanwhile, or not ours to remove
        }
    }
    return removed;
}

// ---- where tasks run --------------------------------------------------------

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

// In a worker process: the table of its outside programs' groups.
wr::GroupTable* own_groups = nullptr;

// SIGTERM in a worker comes from its parent's death (or from a user): it
// ends at once, even inside C code, with everything it started.
void end_worker_now(int) {
    wr::kill_groups(own_groups);
    (void)::killpg(0, SIGKILL);
    ::_exit(128 + SIGTERM);
}

// A worker's life: tasks in, answers out, until the run closes its pipe.
[[noreturn]] void serve_tasks(int tasks_fd) {
    py::object loads = wr::import_attr("pickle", "loads");
    py::object dumps = wr::import_attr("pickle", "dumps");
    while (true) {
        std::string task;
        if (!wr::read_frame(tasks_fd, task)) ::_exit(0);
        std::string answer;
        try {
            py::tuple result = compile_file(loads(py::bytes(task)), true);
            try {
                answer = py::bytes(dumps(result)).cast<std::string>();
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                auto r = wr::unpack(result, 5);
                answer = py::bytes(dumps(py::make_tuple(
                    r[0], py::none(), explain_error(e, r[0], r[0]), py::none(), r[4]))).cast<std::string>();
            }
        } catch (py::error_already_set& e) {
            // Not an error of the file's (those are answers): the worker
            // cannot go on, and the run reports the file as killing it.
            e.discard_as_unraisable("a folder run's worker");
            ::_exit(1);
        }
        if (!wr::write_frame(messages_fd, answer, wr::kAnswerMessage)) ::_exit(0);
    }
}

// Forks a worker with everything this process has loaded. It leads a
// process group of its own (the terminal's Ctrl-C reaches the run, which
// stops it), dies with the thread that started it, and closes the pool's
// other descriptors.
wr::WorkerHandle start_worker(const std::vector<int>& not_its_own) {
    int down[2], up[2];
    if (::pipe2(down, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
    if (::pipe2(up, O_CLOEXEC) != 0) {
        ::close(down[0]);
        ::close(down[1]);
        throw std::system_error(errno, std::generic_category());
    }
    wr::GroupTable* table = wr::new_group_table();
    const pid_t parent = ::getpid();
    PyOS_BeforeFork();
    const pid_t pid = ::fork();
    if (pid == 0) {
        PyOS_AfterFork_Child();
        (void)::setpgid(0, 0);
        own_groups = table;
        struct sigaction action {};
        action.sa_handler = &end_worker_now;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
        ::signal(SIGINT, SIG_IGN);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) end_worker_now(0);
        for (int fd : not_its_own) ::close(fd);
        ::close(down[1]);
        ::close(up[0]);
        messages_fd = up[1];
        try {
            if (table != nullptr)
                wr::import("wrapper").attr("_worker_groups") =
                    py::capsule(table, wr::kGroupTableCapsule);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("a folder run's worker");
        }
        serve_tasks(down[0]);
    }
    PyOS_AfterFork_Parent();
    ::close(down[0]);
    ::close(up[1]);
    if (pid < 0) {
        const int error = errno;
        ::close(down[1]);
        ::close(up[0]);
        wr::free_group_table(table);
        throw std::system_error(error, std::generic_category());
    }
    (void)::setpgid(pid, pid);  // either side may get there first
    return wr::WorkerHandle{pid, down[1], up[0], table};
}

class LocalWorkers : public Runner {
public:
    LocalWorkers(long jobs, double seconds_per_page) : jobs_(jobs), pool_(seconds_per_page) {}
    ~LocalWorkers() override { stop(); }
    void start(const std::vector<py::object>& tasks) override {
        py::object dumps = wr::import_attr("pickle", "dumps");
        for (std::size_t i = 0; i < tasks.size(); ++i)
            pool_.submit(i, py::bytes(dumps(tasks[i])).cast<std::string>());
        outstanding_ = tasks.size();
        fill();
    }
    Outcome next() override {
        wr::TaskEvent event;
        while (true) {
            bool got = false;
            {
                py::gil_scoped_release unlocked;
                got = pool_.next(event, 0.2);
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!got) continue;
            if (event.kind == wr::TaskEvent::WorkerLost) {
                --live_;
                fill();
                continue;
            }
            --outstanding_;
            Outcome outcome;
            outcome.index = event.task;
            if (event.kind == wr::TaskEvent::Answered) {
                outcome.answer = wr::import_attr("pickle", "loads")(py::bytes(event.answer));
            } else if (event.kind == wr::TaskEvent::TimedOut) {
                outcome.failure = py::str(std::string(reasons::label(reasons::Cause::TimedOut)) +
                                          " after " +
                                          std::to_string(static_cast<long long>(event.limit)) + " s");
            } else {
                outcome.failure = reason_line(reasons::Cause::ToolFailed,
                                              "the worker process compiling it died");
            }
            return outcome;
        }
    }
    void stop() noexcept override { pool_.stop(); }

private:
    // A worker for each task waiting, up to the jobs asked for; a worker
    // killed with its file is replaced here.
    void fill() {
        while (live_ < static_cast<std::size_t>(jobs_) && live_ < outstanding_) {
            pool_.add_worker(start_worker(pool_.descriptors()));
            ++live_;
        }
    }
    long jobs_;
    wr::WorkPool pool_;
    std::size_t live_ = 0;
    std::size_t outstanding_ = 0;
};

class Cluster : public Runner {
public:
    explicit Cluster(py::handle address) {
        try {
            distributed_ = wr::import("distributed");
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            wr::raise(PyExc_ImportError, {"--scheduler needs Dask's distributed package: "
                                          "pip install 'wrapper[cluster]'"});
        }
        client_ = distributed_.attr("Client")(address);
    }
    ~Cluster() override { stop(); }
    void start(const std::vector<py::object>& tasks) override {
        py::object compile = wr::import_attr("wrapper.Console", "_compile_task");
        py::list futures;
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            // Not pure: the same file may have changed between two runs. A
            // task whose worker dies is given to another worker by the
            // scheduler, up to its allowed number of failures; then it fails
            // with KilledWorker.
            py::object future = client_.attr("submit")(compile, tasks[i], py::arg("pure") = false);
            index_[future.attr("key")] = py::make_tuple(i, tasks[i][py::int_(2)]);
            futures.append(future);
        }
        completed_ = distributed_.attr("as_completed")(futures);
    }
    Outcome next() override {
        py::object future = completed_.attr("__next__")();
        Outcome outcome;
        auto which = wr::unpack(index_[future.attr("key")], 2);
        outcome.index = which[0].cast<std::size_t>();
        try {
            outcome.answer = future.attr("result")();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            outcome.failure = explain_error(e, which[1], which[1]);
        }
        return outcome;
    }
    void stop() noexcept override {
        if (!client_) return;
        try {
            client_.attr("close")();
        } catch (py::error_already_set&) {
        }
        client_ = py::object();
    }

private:
    py::object distributed_;
    py::object client_;
    py::object completed_;
    py::dict index_;
};

// ---- the run ------------------------------------------------------------------

struct Summary {
    std::size_t indexed = 0;
    std::vector<std::pair<py::object, py::str>> failed;
    std::vector<std::pair<py::object, py::object>> without_ocr;
};

// How the run changes the index: new and changed documents replace their
// stored copies in batches, files gone from the folder leave in one call;
// each call is one refit and one write, and the record follows each.
class Filing {
public:
    // `held`: how many documents the index holds before the run.
    Filing(py::handle base, IndexNote note, py::object process, bool sb, bool drop_bare,
           long batch, std::size_t held, bool told)
        : base_(base), note_(std::move(note)), process_(std::move(process)),
          modeldir_(process_.attr("modeldir")), sb_(sb), drop_bare_(drop_bare),
          batch_size_(batch), held_(held), last_commit_(std::chrono::steady_clock::now()),
          waited_(told) {}

    // `excluded`: names to pass over until their file changes (name, digest).
    void remove(const std::vector<py::object>& names,
                std::vector<std::pair<py::object, py::object>> excluded = {}) {
        if (names.empty()) return;
        py::list ids;
        for (auto& name : names) ids.append(name);
        first_change();
        tell_if_waiting();
        removed_ += py::int_(process_.attr("remove_docs")(ids)).cast<std::size_t>();
        RecordChange change;
        change.dropped = names;
        change.removed = std::move(excluded);
        change.drop_bare = drop_bare_;
        change_record(modeldir_, change);
    }

    void add(py::object doc, py::object name, py::object digest) {
        docs_.append(doc);
        pending_.emplace_back(name, digest);
        const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                           last_commit_).count();
        // Each write refits the whole index: batches grow with it (what it
        // held before the run included), so the refits of a run cost a few
        // times one refit of the result, however few files change.
        // Time alone commits too, so that an interrupted run loses little,
        // but never more often than keeps refits a small share of the run.
        const std::size_t enough = std::max<std::size_t>(batch_size_, (held_ + filed_) / 4);
        if (pending_.size() >= enough ||
            since >= std::max(kCommitSeconds, kRefitShare * last_refit_seconds_))
            commit();
    }

    void commit() {
        const auto started = std::chrono::steady_clock::now();
        last_commit_ = started;
        if (pending_.empty()) return;
        py::list docs = docs_;
        first_change();
        tell_if_waiting();
        process_.attr("update_docs")(docs);
        // What the index now holds for these names, as this object wrote it;
        // if another writer replaces one of them meanwhile, the next run
        // sees the difference and reads the file again.
        py::set names;
        for (auto& entry : pending_) names.add(entry.first);
        py::dict held = held_fingerprints(process_.attr("document_search"), sb_, names);
        RecordChange change;
        for (auto& [name, digest] : pending_) {
            if (!wr::contains(held, name)) continue;  // the engine passed it over
            py::list entry;
            entry.append(digest);
            entry.append(held[name]);
            change.filed.emplace_back(name, entry);
        }
        change.drop_bare = drop_bare_;
        change_record(modeldir_, change);
        filed_ += pending_.size();
        docs_ = py::list();
        pending_.clear();
        last_commit_ = std::chrono::steady_clock::now();
        last_refit_seconds_ = std::chrono::duration<double>(last_commit_ - started).count();
    }

    std::size_t filed() const { return filed_; }
    std::size_t removed() const { return removed_; }

private:
    // The note says how the index was built; it is written with the first
    // change, so a run that changes nothing never changes it.
    void first_change() {
        if (noted_) return;
        IndexNote on_disk = read_note(base_);
        if (!on_disk.noted || !on_disk.engine.equal(note_.engine) ||
            on_disk.detect != note_.detect || !on_disk.translate_to.equal(note_.translate_to) ||
            !on_disk.home.equal(note_.home))
            write_note(base_, note_);
        noted_ = true;
    }

    void tell_if_waiting() { console::tell_if_waiting(modeldir_, waited_); }

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
};

// Whether `path` is one of the base's own files: its OCR copies and the index.
bool belongs_to_base(py::handle path, py::handle base_real, py::handle models_real) {
    py::object os_path = wr::import_attr("os", "path");
    py::object real = os_path.attr("realpath")(path);
    py::object dir = os_path.attr("dirname")(real);
    py::str name(os_path.attr("basename")(real));
    if (dir.equal(base_real) && (name.equal(py::str("output.pdf")) ||
                                 wr::truthy(name.attr("startswith")(".output-"))))
        return true;
    py::object sep = wr::import_attr("os", "sep");
    return real.equal(models_real) ||
           wr::truthy(real.attr("startswith")(models_real + sep));
}

long default_jobs() {
    py::object os = wr::import("os");
    if (py::hasattr(os, "sched_getaffinity")) return py::len(os.attr("sched_getaffinity")(0));
    py::object n = os.attr("cpu_count")();
    return n.is_none() ? 1 : n.cast<long>();
}

}  // namespace

py::tuple compile_task(py::object task) { return compile_file(std::move(task), false); }

namespace {

// What differs between how the run would file documents and how the index
// filed its own, in one line that says how to go on; None when nothing does.
py::object mode_difference(py::handle base, const IndexNote& own, bool detect,
                           py::handle translate_to) {
    const char* hint = ", or use another --base)";
    if (own.detect != detect)
        return wr::cat({"the index at ", base, " was built ", own.detect ? "with" : "without",
                        " --detect, this run ", own.detect ? "without it" : "with it", " (",
                        own.detect ? "give" : "leave out", " --detect", hint});
    if (!own.translate_to.equal(translate_to)) {
        py::str built = own.translate_to.is_none()
                            ? py::str("without --translate-to")
                            : wr::cat({"with --translate-to ", own.translate_to});
        py::str asked = translate_to.is_none() ? py::str("without it")
                                               : wr::cat({"with --translate-to ", translate_to});
        py::str fix = own.translate_to.is_none()
                          ? py::str("leave out --translate-to")
                          : wr::cat({"give --translate-to ", own.translate_to});
        return wr::cat({"the index at ", base, " was built ", built, ", this run ", asked, " (",
                        fix, hint});
    }
    return py::none();
}

}  // namespace

int run_index(py::handle args) {
    py::object os = wr::import("os");
    py::object os_path = os.attr("path");
    py::object folder = args.attr("folder");
    if (!wr::truthy(os_path.attr("isdir")(folder)))
        wr::raise(PyExc_FileNotFoundError, {"no such folder: ", folder});
    py::object base = args.attr("base");
    py::object modeldir_path = wr::cat({base, "/models"});
    os.attr("makedirs")(modeldir_path, py::arg("exist_ok") = true);
    remove_dead_copies(base);

    // The index keeps the way it files documents; a run that would file
    // them otherwise is refused, unless the index holds nothing yet.
    const bool detect = wr::truthy(args.attr("detect"));
    py::object translate_to = args.attr("translate_to");
    IndexNote own = read_note(base);
    py::object asked = args.attr("engine");
    py::object engine = own.engine.is_none() ? settle_engine(base, own, asked) : own.engine;
    py::object process = own.noted ? make_process(args, own.detect, engine, own.translate_to)
                                   : make_process(args, detect, engine, translate_to);
    py::dict held = held_fingerprints(process.attr("document_search"), engine.equal(py::str("sb")),
                                      py::none());
    py::object difference = py::none();
    if (!asked.is_none() && !asked.equal(engine)) {
        try {
            settle_engine(base, own, asked);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            difference = py::str(e.value());
        }
    } else if (own.noted) {
        difference = mode_difference(base, own, detect, translate_to);
    }
    if (!difference.is_none()) {
        if (!held.empty()) wr::raise(PyExc_ValueError, {difference});
        if (!asked.is_none()) engine = asked;
        process = make_process(args, detect, engine, translate_to);
    }
    const bool sb = engine.equal(py::str("sb"));
    if (!difference.is_none())
        held = held_fingerprints(process.attr("document_search"), sb, py::none());
    remember_folder(base, folder);
    py::object modeldir = process.attr("modeldir");
    py::object folder_real = os_path.attr("realpath")(folder);
    bool told = false;
    Naming naming{settle_home(base, modeldir, folder_real, told)};

    py::object base_real = os_path.attr("realpath")(base);
    py::object models_real = os_path.attr("realpath")(modeldir);
    std::vector<py::object> documents;
    py::list skipped;
    for (auto& path : files_under(folder)) {
        if (belongs_to_base(path, base_real, models_real)) continue;
        if (is_document(path))
            documents.push_back(path);
        else
            skipped.append(path);
    }

    const bool cluster = !args.attr("scheduler").is_none();
    // The parser admits any whole number from 1 up: counts past what any
    // run can use are capped before they become machine integers.
    py::object at_most = py::module_::import("builtins").attr("min");
    const long jobs = args.attr("jobs").is_none()
                          ? default_jobs()
                          : static_cast<long>(wr::to_ssize(at_most(args.attr("jobs"), 1024)));
    // Workers × OCR jobs never exceed the cores; each OCR job runs a
    // single-threaded Tesseract (the library's own limit). On a cluster
    // every worker machine keeps the tool's default.
    py::object ocr_jobs = py::none();
    if (!cluster && jobs > 1) ocr_jobs = py::int_(std::max(1L, default_jobs() / jobs));

    py::object relpath = os_path.attr("relpath");
    py::object abspath = os_path.attr("abspath");
    py::object base_abs = abspath(base);
    Record record = read_record(modeldir);
    const bool bare_ok = bare_entries_trusted(modeldir, process.attr("document_search").attr("model_filename"));
    std::size_t unchanged = 0;
    std::vector<py::object> tasks;
    py::set present;
    for (auto& path : documents) {
        py::object name = naming.name_of(os_path.attr("join")(folder_real, relpath(path, folder)));
        present.add(name);
        // The digest a file must have to be what the index holds already;
        // the worker that reads the file compares.
        py::object fingerprint = held.attr("get")(name);
        py::object entry = record.files.attr("get")(name);
        py::object same = py::none();
        if (!fingerprint.is_none() && py::isinstance<py::list>(entry) && py::len(entry) == 2 &&
            py::object(entry[py::int_(1)]).equal(fingerprint))
            same = entry[py::int_(0)];
        else if (!fingerprint.is_none() && bare_ok && py::isinstance<py::str>(entry))
            same = entry;
        else if (fingerprint.is_none())
            same = record.removed.attr("get")(name);
        // Absolute: a cluster worker runs elsewhere, over the same shared storage.
        tasks.push_back(py::make_tuple(base_abs, relpath(abspath(path), base_abs), name, detect,
                                       translate_to, ocr_jobs, same));
    }
    // Documents of this folder whose file is gone (or no longer a document
    // the folder yields). Names a host gave through the library are not
    // paths of documents, and stay.
    std::vector<py::object> gone;
    for (auto item : held) {
        py::object name = py::reinterpret_borrow<py::object>(item.first);
        if (!py::isinstance<py::str>(name) || present.contains(name) || !is_document(name)) continue;
        py::object path = naming.path_of(name);
        if (inside(path, folder_real) && !belongs_to_base(path, base_real, models_real))
            gone.push_back(name);
    }

    const double per_page = args.attr("file_timeout").is_none()
                                ? kSecondsPerPage
                                : py::float_(args.attr("file_timeout")).cast<double>();
    std::unique_ptr<Runner> runner;
    if (cluster)
        runner = std::make_unique<Cluster>(args.attr("scheduler"));
    else
        runner = std::make_unique<LocalWorkers>(jobs, per_page);

    IndexNote note;
    note.engine = engine;
    note.detect = detect;
    note.translate_to = translate_to;
    note.noted = true;
    note.home = naming.home;
    const long batch = static_cast<long>(wr::to_ssize(at_most(args.attr("batch"), 1L << 30)));
    Filing filing(base, note, process, sb, !bare_ok, batch, held.size(), told);
    Summary summary;
    Progress progress(tasks.size());
    // Outcomes come in the order files finish; they are filed in folder
    // order, those that finish early waiting here for the ones before them.
    std::vector<std::optional<Outcome>> waiting(tasks.size());
    std::size_t done = 0;
    std::size_t next_to_file = 0;
    auto file = [&](Outcome& outcome) {
        py::object name = tasks[outcome.index][py::int_(2)];
        if (outcome.answer.is_none()) {
            summary.failed.emplace_back(name, py::str(outcome.failure));
            return;
        }
        auto parts = wr::unpack(outcome.answer, 5);
        if (py::isinstance<py::tuple>(parts[2])) wr::raise(PyExc_ConnectionError, {parts[2][py::int_(1)]});
        if (parts[1].is_none() && parts[2].is_none()) {
            ++unchanged;
            return;
        }
        if (!parts[3].is_none() && !parts[1].is_none()) summary.without_ocr.emplace_back(name, parts[3]);
        if (parts[1].is_none())
            summary.failed.emplace_back(name, py::str(parts[2]));
        else if (parts[4].is_none())
            summary.failed.emplace_back(name, reason_line(reasons::Cause::Damaged, "it could not be read"));
        else
            filing.add(parts[1], name, parts[4]);
    };
    try {
        filing.remove(gone);
        if (!tasks.empty()) runner->start(tasks);
        while (next_to_file < tasks.size()) {
            Outcome outcome = runner->next();
            const std::size_t at = outcome.index;
            waiting[at] = std::move(outcome);
            ++done;
            progress.step(done, tasks[at][py::int_(2)], true);
            while (next_to_file < tasks.size() && waiting[next_to_file]) {
                file(*waiting[next_to_file]);
                waiting[next_to_file].reset();
                ++next_to_file;
            }
        }
        filing.commit();
    } catch (...) {
        // Whatever stops the run (Ctrl-C above all), the workers and their
        // OCR tools stop with it; every batch written so far stays.
        runner->stop();
        progress.finish();
        throw;
    }
    runner->stop();
    progress.finish();

    out(wr::cat({"indexed ", py::int_(filing.filed()), ", skipped ", py::len(skipped),
                 ", failed ", py::int_(summary.failed.size()), ", unchanged ",
                 py::int_(unchanged), ", removed ", py::int_(filing.removed()),
                 ", read without OCR ",
                 py::int_(summary.without_ocr.size()), " (index at ", modeldir, ")"}));
    for (py::handle path : skipped)
        out(wr::cat({"  skipped ", relpath(path, folder), ": ",
                     reason_line(reasons::Cause::NotDocument, "not a PDF, image or MP4 video")}));
    for (auto& [name, reason] : summary.without_ocr)
        out(wr::cat({"  no OCR  ", name, ": ", reason}));
    for (auto& [name, reason] : summary.failed) out(wr::cat({"  failed  ", name, ": ", reason}));
    return summary.failed.empty() ? 0 : 1;
}

// Drops files from the index without touching them: each PATH is a file or
// a folder (every document under it), named as `index` names them. They are
// remembered as removed, so a later `index` of their folder passes over
// them until they change.
int run_remove(py::handle args) {
    py::object os = wr::import("os");
    py::object os_path = os.attr("path");
    py::object base = args.attr("base");
    IndexNote own = read_note(base);
    if (own.engine.is_none())
        wr::raise(PyExc_FileNotFoundError, {"no index at ", base, " (run 'wrapper index' first)"});
    const bool sb = own.engine.equal(py::str("sb"));
    py::object process = make_process(args, own.noted ? own.detect : sb, own.engine,
                                      own.noted ? own.translate_to : py::none());
    py::dict held = held_fingerprints(process.attr("document_search"), sb, py::none());
    // An index from before names had a home: names are paths inside the
    // folder it was built from, and are given as such.
    Naming naming{own.home};

    std::vector<py::object> names;
    std::vector<std::pair<py::object, py::object>> excluded;
    py::set chosen;
    std::size_t missing = 0;
    for (py::handle given : args.attr("paths")) {
        py::object path = own.home.is_none() ? py::object(os_path.attr("normpath")(given))
                                             : py::object(os_path.attr("realpath")(given));
        std::size_t found = 0;
        for (auto item : held) {
            py::object name = py::reinterpret_borrow<py::object>(item.first);
            if (!py::isinstance<py::str>(name) || chosen.contains(name)) continue;
            py::object where = own.home.is_none() ? py::object(os_path.attr("normpath")(name))
                                                  : naming.path_of(name);
            if (!inside(where, path)) continue;
            chosen.add(name);
            names.push_back(name);
            py::object digest = py::none();
            try {
                digest = digest_of(where);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;  // deleted meanwhile: nothing to pass over
            }
            if (!digest.is_none()) excluded.emplace_back(name, digest);
            ++found;
        }
        if (found == 0) {
            err(wr::cat({"not in the index: ", given}));
            ++missing;
        }
    }
    IndexNote note = own;
    note.noted = true;  // what was guessed is now what the index says
    note.detect = own.noted ? own.detect : sb;
    Filing filing(base, note, process, sb, false, 1, held.size(), false);
    filing.remove(names, std::move(excluded));
    out(wr::cat({"removed ", py::int_(filing.removed()), " (index at ", process.attr("modeldir"),
                 ")"}));
    return missing == 0 ? 0 : 1;
}

}  // namespace console
