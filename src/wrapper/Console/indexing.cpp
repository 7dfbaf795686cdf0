// `wrapper index`: files are compiled side by side (worker processes, or the
// workers of a Dask cluster) and filed in batches, in folder order, each with
// one write of the index; a record of each filed file's content digest lets a
// later run skip what has not changed and pick up where an interrupted one
// stopped.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "console.hpp"
#include "dirlock.hpp"
#include "pyutil.hpp"

namespace console {

namespace {

// The record of filed files, beside the engine's own files.
constexpr const char* kRecordName = "/indexed_files.json";
// A batch is written at least this often, so that an interrupted run loses
// little work even when OCR makes each file slow.
constexpr double kCommitSeconds = 120.0;

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

// The document of one task, or why there is none.
py::tuple compile_in_this_process(py::object task) {
    auto t = wr::unpack(task, 6);
    wr::import("wrapper.infra.Pagewring").attr("OCR_JOBS") = t[5];
    FallbackWatch watch;
    py::str path = wr::cat({t[0], "/", t[1]});
    py::object doc = py::none();
    py::object failure = py::none();
    try {
        LibraryPrintsAside aside;
        MupdfMessagesAside mupdf;
        py::object Process = wr::import_attr("wrapper.Process", "Process");
        doc = Process.attr("compile")(t[0], t[1], t[3], language_member(t[4]));
        doc.attr("id") = t[2];
        if (!wr::truthy(doc.attr("text"))) {
            doc = py::none();
            failure = explain_empty(path);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
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
    return py::make_tuple(t[2], doc, failure, watch.reason(path, t[2]));
}

// ---- the record of filed files --------------------------------------------

py::str record_path(py::handle modeldir) { return wr::cat({modeldir, kRecordName}); }

py::dict read_record(py::handle modeldir) {
    py::object os = wr::import("os");
    py::str path = record_path(modeldir);
    if (!wr::truthy(os.attr("path").attr("exists")(path))) return py::dict();
    py::object f = wr::import_attr("builtins", "open")(path, "rb");
    py::object data;
    try {
        data = wr::import_attr("json", "load")(f);
    } catch (py::error_already_set& e) {
        f.attr("close")();
        // A record that cannot be read only costs a re-read of every file.
        if (!e.matches(PyExc_ValueError)) throw;
        return py::dict();
    }
    f.attr("close")();
    if (!py::isinstance<py::dict>(data)) return py::dict();
    py::object files = data.attr("get")("files");
    return py::isinstance<py::dict>(files) ? py::dict(files) : py::dict();
}

// Merged into what is on disk (another writer may have added to it), then
// replaced whole. Called with the directory's lock held.
void add_to_record(py::handle modeldir, const std::vector<std::pair<py::object, py::object>>& filed) {
    py::dict files = read_record(modeldir);
    for (auto& [name, digest] : filed) files[name] = digest;
    py::dict data;
    data["files"] = files;
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

// ---- where tasks run --------------------------------------------------------

// Runs tasks somewhere and gives their results back in the order given.
class Runner {
public:
    virtual ~Runner() = default;
    virtual py::object submit(py::object task) = 0;
    virtual py::object result(py::object handle) = 0;
    // The worker running `handle` died; a fresh start is needed for it.
    virtual bool died(py::error_already_set& e) = 0;
    virtual void restart() {}
    virtual void stop() noexcept {}
    virtual std::size_t window() const = 0;
};

class InProcess : public Runner {
public:
    py::object submit(py::object task) override { return task; }
    py::object result(py::object task) override { return compile_in_this_process(task); }
    bool died(py::error_already_set&) override { return false; }
    std::size_t window() const override { return 1; }
};

class LocalWorkers : public Runner {
public:
    explicit LocalWorkers(long jobs) : jobs_(jobs) { start(); }
    ~LocalWorkers() override { stop(); }
    py::object submit(py::object task) override {
        return executor_.attr("submit")(compile_function(), task);
    }
    py::object result(py::object future) override { return future.attr("result")(); }
    bool died(py::error_already_set& e) override {
        return e.matches(wr::import_attr("concurrent.futures.process", "BrokenProcessPool"));
    }
    void restart() override {
        stop();
        start();
    }
    void stop() noexcept override {
        if (!executor_) return;
        try {
            // Workers are stopped, not waited for: each stops the OCR tool it
            // runs, with its children, when it is told to end.
            // The executor forgets its processes when it shuts down: they
            // are taken first.
            py::object processes = py::getattr(executor_, "_processes", py::none());
            py::list workers;
            if (!processes.is_none()) workers = py::list(processes.attr("values")());
            executor_.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
            for (py::handle p : workers) p.attr("terminate")();
            for (py::handle p : workers) p.attr("join")(5.0);
        } catch (py::error_already_set&) {
            // Stopping is best effort; the error that led here matters more.
        }
        executor_ = py::object();
    }
    std::size_t window() const override { return static_cast<std::size_t>(jobs_) * 2; }

private:
    static py::object compile_function() {
        return wr::import_attr("wrapper.Console", "_compile_task");
    }
    void start() {
        // Forked workers start at once with everything loaded. They are
        // started while no lock is held, so none inherits one.
        py::object context = wr::import("multiprocessing").attr("get_context")("fork");
        executor_ = wr::import_attr("concurrent.futures", "ProcessPoolExecutor")(
            py::arg("max_workers") = jobs_, py::arg("mp_context") = context,
            py::arg("initializer") = wr::import_attr("wrapper.Console", "_init_worker"));
    }
    long jobs_;
    py::object executor_;
};

class Cluster : public Runner {
public:
    explicit Cluster(py::handle address) {
        py::object distributed;
        try {
            distributed = wr::import("distributed");
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            wr::raise(PyExc_ImportError, {"--scheduler needs Dask's distributed package: "
                                          "pip install 'wrapper[cluster]'"});
        }
        client_ = distributed.attr("Client")(address);
    }
    ~Cluster() override { stop(); }
    py::object submit(py::object task) override {
        // Not pure: the same file may have changed between two runs. A task
        // whose worker dies is given to another worker by the scheduler, up
        // to its allowed number of failures; then it fails with KilledWorker.
        return client_.attr("submit")(wr::import_attr("wrapper.Console", "_compile_task"), task,
                                      py::arg("pure") = false);
    }
    py::object result(py::object future) override { return future.attr("result")(); }
    bool died(py::error_already_set&) override { return false; }
    void stop() noexcept override {
        if (!client_) return;
        try {
            client_.attr("close")();
        } catch (py::error_already_set&) {
        }
        client_ = py::object();
    }
    std::size_t window() const override { return 1024; }

private:
    py::object client_;
};

// ---- the run ------------------------------------------------------------------

struct Pending {
    py::object task;
    py::object handle;
    py::object name;
    py::object digest;
    bool changed;
    bool alone;  // runs by itself: it was in flight when a worker died
};

struct Summary {
    std::size_t indexed = 0;
    std::vector<std::pair<py::object, py::str>> failed;
    std::vector<std::pair<py::object, py::object>> without_ocr;
};

class Filing {
public:
    Filing(py::handle args, py::object engine, py::object process, long batch)
        : args_(args), engine_(std::move(engine)), process_(std::move(process)),
          modeldir_(process_.attr("modeldir")), batch_size_(batch),
          last_commit_(std::chrono::steady_clock::now()) {}

    void add(py::object doc, py::object name, py::object digest, bool changed) {
        if (changed) {
            // An id the index already holds is passed over by a batch; only
            // a fresh engine's first document replaces its stored copy.
            commit();
            py::list one;
            one.append(doc);
            locked([&] {
                make_process(args_, wr::truthy(args_.attr("detect")), engine_,
                             args_.attr("translate_to"))
                    .attr("train_docs")(one);
            }, {{name, digest}});
            ++filed_;
            return;
        }
        docs_.append(doc);
        record_.emplace_back(name, digest);
        const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                           last_commit_).count();
        // Each write refits the whole index: batches grow with it, so the
        // refits of a long run cost a few times one refit of the result.
        const std::size_t enough = std::max<std::size_t>(batch_size_, filed_ / 4);
        if (record_.size() >= enough || since >= kCommitSeconds) commit();
    }

    void commit() {
        last_commit_ = std::chrono::steady_clock::now();
        if (record_.empty()) return;
        py::list docs = docs_;
        locked([&] { process_.attr("train_docs")(docs); }, record_);
        filed_ += record_.size();
        docs_ = py::list();
        record_.clear();
    }

    std::size_t filed() const { return filed_; }

private:
    // The engine locks the models directory for its own read-modify-write
    // (in its own module, so the lock cannot be held across the call); the
    // record is merged under the lock afterwards. A run killed between the
    // two finds those files in the index but not in the record, and files
    // them again.
    template <typename F>
    void locked(F&& train, const std::vector<std::pair<py::object, py::object>>& record) {
        long holder = 0;
        if (!waited_ && !wr::dir_lock_free(modeldir_, &holder)) {
            waited_ = true;
            err(wr::cat({"waiting for another writer of the index in ", modeldir_,
                         holder > 0 ? wr::cat({" (pid ", holder, ")"}) : py::str(""), "..."}));
        }
        train();
        wr::DirLock lock(modeldir_, wr::kTrainingLockWait);
        add_to_record(modeldir_, record);
    }

    py::handle args_;
    py::object engine_;
    py::object process_;
    py::object modeldir_;
    std::size_t batch_size_;
    std::chrono::steady_clock::time_point last_commit_;
    py::list docs_;
    std::vector<std::pair<py::object, py::object>> record_;
    std::size_t filed_ = 0;
    bool waited_ = false;
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

namespace {

// In a worker process: whether it is compiling a file, and whether it has
// been told to end meanwhile.
volatile std::sig_atomic_t in_task = 0;
volatile std::sig_atomic_t ending = 0;

// The worker's handler of SIGTERM and SIGINT. Idle, it simply ends; busy, it
// interrupts the file like Ctrl-C interrupts a call, so that the OCR tool is
// stopped with its children, and ends once the file is left.
void end_worker(py::object /*signum*/, py::object /*frame*/) {
    if (!in_task) ::_exit(128 + SIGTERM);
    ending = 1;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

}  // namespace

py::tuple compile_task(py::object task) {
    in_task = 1;
    try {
        py::tuple result = compile_in_this_process(std::move(task));
        in_task = 0;
        if (ending) ::_exit(128 + SIGTERM);
        return result;
    } catch (...) {
        in_task = 0;
        if (ending) ::_exit(128 + SIGTERM);
        throw;
    }
}

void init_worker() {
    // A worker whose parent is killed (kill -9 included) is told to end.
    // Ctrl-C reaches the workers too; the run itself reports it.
    py::object signal = wr::import("signal");
    py::cpp_function handler(&end_worker);
    signal.attr("signal")(SIGTERM, handler);
    signal.attr("signal")(SIGINT, handler);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() == 1) ::_exit(128 + SIGTERM);
}

int run_index(py::handle args) {
    py::object os = wr::import("os");
    py::object os_path = os.attr("path");
    py::object folder = args.attr("folder");
    if (!wr::truthy(os_path.attr("isdir")(folder)))
        wr::raise(PyExc_FileNotFoundError, {"no such folder: ", folder});
    py::object base = args.attr("base");
    os.attr("makedirs")(base, py::arg("exist_ok") = true);
    const bool detect = wr::truthy(args.attr("detect"));
    py::object engine = settle_engine(base, read_note(base), args.attr("engine"));
    py::object process = make_process(args, detect, engine, args.attr("translate_to"));
    write_note(base, engine, detect, args.attr("translate_to"));
    py::object modeldir = process.attr("modeldir");

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
    py::dict known = read_record(modeldir);
    std::size_t unchanged = 0;
    std::deque<Pending> todo;
    for (auto& path : documents) {
        // Documents are named by their path inside the folder; the library
        // reads them at the base path joined with their path from there.
        py::object name = relpath(path, folder);
        py::object digest;
        try {
            digest = digest_of(path);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
            digest = py::none();
        }
        bool changed = false;
        if (!digest.is_none() && wr::truthy(known.attr("__contains__")(name))) {
            if (py::object(known[name]).equal(digest)) {
                ++unchanged;
                continue;
            }
            changed = true;
        }
        // Absolute: a cluster worker runs elsewhere, over the same shared storage.
        py::tuple task = py::make_tuple(base_abs, relpath(abspath(path), base_abs), name, detect,
                                        args.attr("translate_to"), ocr_jobs);
        todo.push_back(Pending{task, py::none(), name, digest, changed, false});
    }

    std::unique_ptr<Runner> runner;
    if (cluster)
        runner = std::make_unique<Cluster>(args.attr("scheduler"));
    else if (jobs > 1 && todo.size() > 1)
        runner = std::make_unique<LocalWorkers>(jobs);
    else
        runner = std::make_unique<InProcess>();

    const long batch = static_cast<long>(wr::to_ssize(at_most(args.attr("batch"), 1L << 30)));
    Filing filing(args, engine, process, batch);
    Summary summary;
    Progress progress(todo.size());
    std::size_t done = 0;
    std::deque<Pending> running;
    try {
        while (!todo.empty() || !running.empty()) {
            // A file under suspicion runs with no other file beside it.
            while (!todo.empty() &&
                   (running.empty() || (!todo.front().alone && !running.back().alone &&
                                        running.size() < runner->window()))) {
                Pending next = std::move(todo.front());
                todo.pop_front();
                next.handle = runner->submit(next.task);
                running.push_back(std::move(next));
            }
            Pending current = std::move(running.front());
            running.pop_front();
            progress.step(done, current.name, false);
            py::object outcome;
            try {
                outcome = runner->result(current.handle);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                if (runner->died(e)) {
                    // Every file in flight went down with the pool, and any of
                    // them may have killed it: they start again in a fresh
                    // pool one at a time, and a file whose worker dies while
                    // it runs alone is the one that kills it.
                    runner->restart();
                    if (current.alone) {
                        summary.failed.emplace_back(
                            current.name,
                            reason_line(reasons::Cause::ToolFailed,
                                        "the worker process compiling it died"));
                        ++done;
                        progress.step(done, current.name, true);
                        continue;
                    }
                    running.push_front(std::move(current));
                    for (auto it = running.rbegin(); it != running.rend(); ++it) {
                        it->alone = true;
                        todo.push_front(std::move(*it));
                    }
                    running.clear();
                    continue;
                }
                summary.failed.emplace_back(current.name,
                                            explain_error(e, current.name, current.name));
                ++done;
                progress.step(done, current.name, true);
                continue;
            }
            auto parts = wr::unpack(outcome, 4);
            if (!parts[3].is_none() && !parts[1].is_none())
                summary.without_ocr.emplace_back(current.name, parts[3]);
            if (py::isinstance<py::tuple>(parts[2])) {
                wr::raise(PyExc_ConnectionError, {parts[2][py::int_(1)]});
            }
            if (parts[1].is_none()) {
                summary.failed.emplace_back(current.name, py::str(parts[2]));
            } else if (current.digest.is_none()) {
                summary.failed.emplace_back(
                    current.name, reason_line(reasons::Cause::Damaged, "it could not be read"));
            } else {
                filing.add(parts[1], current.name, current.digest, current.changed);
            }
            ++done;
            progress.step(done, current.name, true);
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
                 py::int_(unchanged), ", read without OCR ",
                 py::int_(summary.without_ocr.size()), " (index at ", modeldir, ")"}));
    for (py::handle path : skipped)
        out(wr::cat({"  skipped ", relpath(path, folder), ": ",
                     reason_line(reasons::Cause::NotDocument, "not a PDF, image or MP4 video")}));
    for (auto& [name, reason] : summary.without_ocr)
        out(wr::cat({"  no OCR  ", name, ": ", reason}));
    for (auto& [name, reason] : summary.failed) out(wr::cat({"  failed  ", name, ": ", reason}));
    return summary.failed.empty() ? 0 : 1;
}

}  // namespace console
