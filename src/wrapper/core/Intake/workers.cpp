// Per file: a task turned into a document in a worker process of this
// machine (forked from the run, watched by it) or on a cluster worker's
// thread; and the two ways of running tasks.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "intake.hpp"
#include "workpool.hpp"

namespace intake {

namespace {

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

// The text extraction settings of a file, on its own thread, put back to
// the module's when the file is done.
class ThreadSettings {
public:
    explicit ThreadSettings(py::handle jobs)
        : set_(wr::import_attr("wrapper.infra.Pagewring", "_thread_settings")) {
        set_(py::arg("one_pass") = true, py::arg("jobs") = jobs);
    }
    ~ThreadSettings() {
        py::error_scope pending;
        try {
            set_(py::arg("clear") = true);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("the OCR settings of a file");
        }
    }
    ThreadSettings(const ThreadSettings&) = delete;
    ThreadSettings& operator=(const ThreadSettings&) = delete;

private:
    py::object set_;
};

}  // namespace

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
    // A worker of this machine tells the run how long the file may take;
    // a file of several pages OCRs them side by side on up to every core,
    // so that a long scan left alone at the end of a run does not leave the
    // other cores idle (while other files run, the cores are shared out).
    py::object ocr_jobs = t[5];
    if (messages_fd >= 0) {
        const double units = units_of(path);
        wr::write_frame(messages_fd, std::to_string(units), wr::kUnitsMessage);
        if (!ocr_jobs.is_none() && wr::truthy(py::str(path).attr("lower")().attr("endswith")(".pdf"))) {
            const long long share = py::int_(ocr_jobs).cast<long long>();
            const long long pages = static_cast<long long>(units);
            ocr_jobs = py::int_(std::max(share, std::min<long long>(default_jobs(), pages)));
        }
    }

    // One OCR pass per document, and this run's share of the cores: for
    // this thread only.
    ThreadSettings settings(ocr_jobs);
    std::optional<FallbackWatch> watch;
    std::optional<LibraryPrintsAside> aside;
    std::optional<MupdfMessagesAside> mupdf;
    if (own_process) watch.emplace();
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

// ---- where tasks run --------------------------------------------------------

namespace {

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
    LocalWorkers(long jobs, double seconds_per_page)
        : jobs_(jobs), pool_(seconds_per_page), loads_(wr::import_attr("pickle", "loads")) {}
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
                outcome.answer = loads_(py::bytes(event.answer));
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
            pool_.add_forked(&start_worker);
            ++live_;
        }
    }
    long jobs_;
    wr::WorkPool pool_;
    py::object loads_;
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
        py::object compile = wr::import_attr("wrapper.core.Intake", "_compile_task");
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

}  // namespace

std::unique_ptr<Runner> local_workers(long jobs, double seconds_per_page) {
    return std::make_unique<LocalWorkers>(jobs, seconds_per_page);
}

std::unique_ptr<Runner> cluster(py::handle address) { return std::make_unique<Cluster>(address); }

py::tuple compile_task(py::object task) { return compile_file(std::move(task), false); }

}  // namespace intake
