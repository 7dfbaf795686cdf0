#include "dirlock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "pyutil.hpp"

namespace wr {

struct DirHeld {
    int fd = -1;
    int depth = 0;
    std::thread::id owner;
};

// Who holds which directory, for the whole process. Every extension module
// links its own copy of this code, so the table is made once and published
// on the `wrapper` package for the others: a command that locks in one
// module around an engine call that locks again in another must find its
// own hold there, not wait for itself.
struct DirHolds {
    using Table = std::map<std::string, DirHeld>;
    std::mutex mutex;
    Table table;
};

namespace {


constexpr const char* kHoldsCapsule = "wrapper.dir_locks";

std::atomic<DirHolds*> published{nullptr};

// A child forked while a lock is held shares the lock's open file
// description; if it kept the descriptor the lock would outlive its holder's
// release and the parent would wait for itself. The child closes what it
// inherited (closing never unlocks what another descriptor still holds) and
// starts with no holds: the threads that held them are not in it.
void before_fork() {
    if (DirHolds* h = published.load()) h->mutex.lock();
}
void after_fork_parent() {
    if (DirHolds* h = published.load()) h->mutex.unlock();
}
void after_fork_child() {
    DirHolds* h = published.load();
    if (!h) return;
    for (auto& entry : h->table)
        if (entry.second.fd >= 0) ::close(entry.second.fd);
    h->table.clear();
    h->mutex.unlock();
}

// The process's table; called with the GIL held. Nothing here lets the GIL
// go (the package is looked up in sys.modules, not imported), so two
// threads never both make one.
DirHolds& holds() {
    if (DirHolds* h = published.load()) return *h;
    DirHolds* found = nullptr;
    PyObject* package = PyImport_GetModule(py::str("wrapper").ptr());  // new reference or null
    if (!package) PyErr_Clear();
    py::object owner = py::reinterpret_steal<py::object>(package);
    if (owner) {
        py::object held = py::getattr(owner, "_dir_locks", py::none());
        if (PyCapsule_IsValid(held.ptr(), kHoldsCapsule))
            found = static_cast<DirHolds*>(PyCapsule_GetPointer(held.ptr(), kHoldsCapsule));
    }
    if (!found) {
        found = new DirHolds();  // leaked: may be used at exit
        if (owner) owner.attr("_dir_locks") = py::capsule(found, kHoldsCapsule);
        // Only the copy that made the table watches forks, so its mutex is
        // taken once per fork.
        ::pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child);
    }
    published.store(found);
    return *found;
}

// Releases a hold's descriptor. The explicit unlock matters: a child forked
// meanwhile by code this process does not control may still share the
// description, and closing alone would leave the directory locked for as
// long as that child lives.
void release(int fd) {
    (void)::flock(fd, LOCK_UN);
    ::close(fd);
}

// The directory's path as the table and the file system know it.
std::string lock_path(py::handle directory) {
    py::object os = import("os");
    return os.attr("fsencode")(os.attr("path").attr("realpath")(directory)).cast<std::string>();
}

[[noreturn]] void raise_os(const std::string& path, int err) {
    py::object os = import("os");
    py::object error = import_attr("builtins", "OSError")(
        err, os.attr("strerror")(err), os.attr("fsdecode")(py::bytes(path)));
    PyErr_SetObject(py::type::of(error).ptr(), error.ptr());
    throw py::error_already_set();
}

// Tries once. True when this thread now holds it (again); false when another
// holds it, or on failure with the errno in `error`. Nothing in here may call
// the host: another thread can wait for the table's mutex while holding the
// GIL, and the host would hand the GIL to it and never get it back.
bool try_take(DirHolds& holds, const std::string& path, int& error) {
    error = 0;
    // No memory is taken or given back while the table's mutex is held: a
    // fork waits for that mutex, and an allocator that locks itself before
    // the fork's handlers run (the sanitizers' does) would then wait for
    // this thread while this thread waits for it. The entry is made before
    // the mutex is taken, and one that goes is freed after.
    DirHolds::Table spare;
    spare.emplace(path, DirHeld{});
    DirHolds::Table::node_type made = spare.extract(spare.begin());
    DirHolds::Table::node_type gone;
    std::lock_guard<std::mutex> guard(holds.mutex);
    auto it = holds.table.find(path);
    if (it == holds.table.end()) it = holds.table.insert(std::move(made)).position;
    DirHeld& held = it->second;
    if (held.depth > 0) {
        if (held.owner != std::this_thread::get_id()) return false;
        ++held.depth;
        return true;
    }
    // The directory itself is locked: no file of ours appears among the
    // engine's files.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        gone = holds.table.extract(it);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        gone = holds.table.extract(it);
        if (err != EWOULDBLOCK) error = err;
        return false;
    }
    held.fd = fd;
    held.depth = 1;
    held.owner = std::this_thread::get_id();
    return true;
}

// try_take, raising the host's OSError (outside the mutex) on failure.
bool take_or_raise(DirHolds& holds, const std::string& path) {
    int error = 0;
    if (try_take(holds, path, error)) return true;
    if (error != 0) raise_os(path, error);
    return false;
}

// The process holding the lock, from the kernel's table of locks (for the
// message only: 0 when it cannot be told).
long holder_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, device;
        long pid = 0;
        if (!(fields >> number >> kind >> mode >> access >> pid >> device)) continue;
        if (kind != "FLOCK") continue;
        const auto colon = device.rfind(':');
        if (colon == std::string::npos) continue;
        if (std::strtoull(device.c_str() + colon + 1, nullptr, 10) == st.st_ino) return pid;
    }
    return 0;
}

}  // namespace

bool dir_lock_free(py::handle directory, long* holder) {
    const std::string path = lock_path(directory);
    DirHolds& h = holds();
    if (!take_or_raise(h, path)) {
        if (holder) *holder = holder_of(path);
        return false;
    }
    DirHolds::Table::node_type gone;  // freed once the mutex is let go
    std::lock_guard<std::mutex> guard(h.mutex);
    auto it = h.table.find(path);
    if (it != h.table.end() && --it->second.depth == 0) {
        release(it->second.fd);
        gone = h.table.extract(it);
    }
    return true;
}

DirLock::DirLock(py::handle directory, double wait_seconds)
    : key_(lock_path(directory)), holds_(&holds()) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(wait_seconds);
    while (!take_or_raise(*holds_, key_)) {
        if (clock::now() >= deadline) {
            const long pid = holder_of(key_);
            raise(PyExc_BlockingIOError,
                  {"the index in ", directory, " is being written by another process",
                   pid > 0 ? cat({" (pid ", pid, ")"}) : py::str(""),
                   "; wait for it to finish, or stop it, then try again"});
        }
        {
            py::gil_scoped_release unlocked;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

DirLock::~DirLock() {
    DirHolds::Table::node_type gone;  // freed once the mutex is let go
    std::lock_guard<std::mutex> guard(holds_->mutex);
    auto it = holds_->table.find(key_);
    if (it == holds_->table.end()) return;
    if (--it->second.depth == 0) {
        release(it->second.fd);
        gone = holds_->table.extract(it);
    }
}

}  // namespace wr
