#include "dirlock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

struct Held {
    int fd = -1;
    int depth = 0;
    std::thread::id owner;
};

std::mutex& table_mutex() {
    static auto* m = new std::mutex();  // leaked: may be used at exit
    return *m;
}

std::map<std::string, Held>& table() {
    static auto* t = new std::map<std::string, Held>();
    return *t;
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
bool try_take(const std::string& path, int& error) {
    error = 0;
    std::lock_guard<std::mutex> guard(table_mutex());
    auto& held = table()[path];
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
        table().erase(path);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        table().erase(path);
        if (err != EWOULDBLOCK) error = err;
        return false;
    }
    held.fd = fd;
    held.depth = 1;
    held.owner = std::this_thread::get_id();
    return true;
}

// try_take, raising the host's OSError (outside the mutex) on failure.
bool take_or_raise(const std::string& path) {
    int error = 0;
    if (try_take(path, error)) return true;
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
    if (!take_or_raise(path)) {
        if (holder) *holder = holder_of(path);
        return false;
    }
    std::lock_guard<std::mutex> guard(table_mutex());
    auto& held = table()[path];
    if (--held.depth == 0) {
        ::close(held.fd);  // closing drops the flock
        table().erase(path);
    }
    return true;
}

DirLock::DirLock(py::handle directory, double wait_seconds) : key_(lock_path(directory)) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(wait_seconds);
    while (!take_or_raise(key_)) {
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
    std::lock_guard<std::mutex> guard(table_mutex());
    auto it = table().find(key_);
    if (it == table().end()) return;
    if (--it->second.depth == 0) {
        ::close(it->second.fd);
        table().erase(it);
    }
}

}  // namespace wr
