#include "childproc.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "pyutil.hpp"
#include "workpool.hpp"

namespace wr {

namespace {

// The group of a child started with start_new_session has the child's pid as
// its id. It is killed before the child is reaped: until then the pid cannot
// belong to anyone else. A stand-in without a real pid is left alone.
void kill_group(py::handle proc) {
    py::object pid = py::getattr(proc, "pid", py::none());
    if (!PyLong_CheckExact(pid.ptr())) return;
    const long id = PyLong_AsLong(pid.ptr());
    if (id == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (id <= 1) return;
    // ESRCH: every member has ended already. Nothing else can fail here.
    (void)::killpg(static_cast<pid_t>(id), SIGKILL);
}

// Collects what the killed group wrote and reaps the child. A grandchild that
// left the group could keep the pipes open: the wait is bounded too.
py::object drain(py::handle proc) {
    try {
        return proc.attr("communicate")(py::arg("timeout") = 5.0);
    } catch (py::error_already_set& e) {
        if (!e.matches(import_attr("subprocess", "TimeoutExpired"))) throw;
        proc.attr("kill")();
        proc.attr("wait")();
        return py::make_tuple(py::none(), py::none());
    }
}

// Inside a worker process of a folder run, the program's group is known to
// the run for as long as it may live, so that a worker killed for running
// out of time, or whose parent dies, takes it along.
GroupTable* worker_table() {
    py::object package = py::reinterpret_steal<py::object>(PyImport_GetModule(py::str("wrapper").ptr()));
    if (!package) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    py::object capsule = py::getattr(package, "_worker_groups", py::none());
    if (!PyCapsule_IsValid(capsule.ptr(), kGroupTableCapsule)) return nullptr;
    return static_cast<GroupTable*>(PyCapsule_GetPointer(capsule.ptr(), kGroupTableCapsule));
}

struct KnownGroup {
    explicit KnownGroup(py::handle proc) : table(worker_table()) {
        py::object pid = py::getattr(proc, "pid", py::none());
        if (!PyLong_CheckExact(pid.ptr())) return;
        const long id = PyLong_AsLong(pid.ptr());
        if (id == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (id > 1 && add_group(table, static_cast<int>(id))) group = static_cast<int>(id);
    }
    ~KnownGroup() { drop_group(table, group); }
    KnownGroup(const KnownGroup&) = delete;
    KnownGroup& operator=(const KnownGroup&) = delete;
    GroupTable* table;
    int group = 0;
};

}  // namespace

py::object run_bounded(py::handle popen, py::handle command, py::handle env, double seconds) {
    py::object subprocess = import("subprocess");
    py::dict options;
    options["stdin"] = subprocess.attr("DEVNULL");
    options["stdout"] = subprocess.attr("PIPE");
    options["stderr"] = subprocess.attr("PIPE");
    options["text"] = true;
    options["errors"] = "replace";
    options["start_new_session"] = true;
    if (!env.is_none()) options["env"] = env;
    // In a worker, the program's group becomes known to the run only once
    // Popen has returned; a worker killed before that would leave the
    // program running. So the program is told to die with the worker from
    // its first instruction (its own children start long after the group is
    // known). A stand-in Popen is not given what it may not take.
    if (worker_table() != nullptr && popen.is(subprocess.attr("Popen"))) {
        const pid_t worker = ::getpid();
        options["preexec_fn"] = py::cpp_function([worker]() {
            (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != worker) ::_exit(127);  // the worker is gone already
        });
    }
    py::object proc = popen(command, **options);
    KnownGroup known(proc);

    py::object streams;
    try {
        streams = proc.attr("communicate")(py::arg("timeout") = seconds);
    } catch (py::error_already_set& e) {
        // The original error goes on whatever cleaning up raises meanwhile
        // (a second Ctrl-C, say): the group is killed first in any case.
        kill_group(proc);
        py::object drained;
        try {
            drained = drain(proc);
        } catch (py::error_already_set&) {
            throw e;
        }
        if (!e.matches(subprocess.attr("TimeoutExpired"))) throw;
        auto parts = unpack(drained, 2);
        py::object timeout = subprocess.attr("TimeoutExpired")(
            command, seconds, py::arg("output") = parts[0], py::arg("stderr") = parts[1]);
        PyErr_SetObject(py::type::of(timeout).ptr(), timeout.ptr());
        throw py::error_already_set();
    }
    auto parts = unpack(streams, 2);
    return subprocess.attr("CompletedProcess")(command, proc.attr("returncode"), parts[0],
                                               parts[1]);
}

}  // namespace wr
