#include "modelstore.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "atomicfile.hpp"
#include "pyutil.hpp"

namespace wr {

namespace {

constexpr const char* kStoredAttr = "_stored_file";
constexpr const char* kCapsuleName = "wrapper.stored_file";

// The descriptor an open_stored capsule holds, -1 for none.
int fd_of(py::handle held) {
    if (!PyCapsule_IsValid(held.ptr(), kCapsuleName)) return -1;
    return *static_cast<int*>(PyCapsule_GetPointer(held.ptr(), kCapsuleName));
}

// The descriptor an engine object keeps of its stored file, -1 for none.
int held_fd(py::handle engine) { return fd_of(py::getattr(engine, kStoredAttr, py::none())); }

// Whether the path no longer names the file behind `fd` (-1: no file).
bool replaced_since(int fd, const std::string& path) {
    struct stat now;
    if (::stat(path.c_str(), &now) != 0) return fd >= 0;
    if (fd < 0) return true;
    struct stat mine;
    if (::fstat(fd, &mine) != 0) return true;
    return mine.st_dev != now.st_dev || mine.st_ino != now.st_ino;
}

// The pid in "NAME.tmp-PID-TICKS-COUNT" (temp_sibling's names), 0 for any
// other name.
long temporary_owner(const std::string& name) {
    const auto at = name.rfind(".tmp-");
    if (at == std::string::npos) return 0;
    const char* p = name.c_str() + at + 5;
    long fields[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        if (*p < '0' || *p > '9') return 0;
        char* end = nullptr;
        errno = 0;
        fields[i] = std::strtol(p, &end, 10);
        if (errno != 0) return 0;
        p = end;
        if (i < 2 && *p++ != '-') return 0;
    }
    return *p == '\0' ? fields[0] : 0;
}

bool process_exists(long pid) {
    // EPERM: it exists but belongs to someone else.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

py::object open_stored(py::handle filename) {
    const int fd = ::open(host_path(filename).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return py::none();
    // Only the descriptor: holding it keeps the inode (and the old file's
    // blocks, until this engine object reads or writes again).
    auto held = std::make_unique<int>(fd);
    try {
        py::capsule capsule(held.get(), kCapsuleName, [](void* pointer) {
            const int* owned = static_cast<int*>(pointer);
            ::close(*owned);
            delete owned;
        });
        held.release();
        return capsule;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

void remember_stored(py::handle engine, py::object opened) { engine.attr(kStoredAttr) = opened; }

void forget_stored(py::handle engine) { engine.attr(kStoredAttr) = py::none(); }

int stored_descriptor(py::handle opened) { return fd_of(opened); }

StoreChange::StoreChange(py::handle engine, py::handle filename)
    : engine_(py::reinterpret_borrow<py::object>(engine)),
      filename_(py::reinterpret_borrow<py::object>(filename)),
      lock_(import_attr("os.path", "dirname")(filename), kTrainingLockWait) {
    remove_dead_temporaries(import_attr("os.path", "dirname")(filename));
}

bool StoreChange::replaced() const { return replaced_since(held_fd(engine_), host_path(filename_)); }

bool still_stored(py::handle opened, py::handle filename) {
    return !replaced_since(fd_of(opened), host_path(filename));
}

void StoreChange::write(const std::function<void(py::handle)>& dump) {
    replace_file_with(filename_, dump);
    // Still under the lock, so the file at the path is the one just written.
    remember_stored(engine_, open_stored(filename_));
}

py::set removal_ids(py::handle ids) {
    if (PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr()))
        raise(PyExc_TypeError, {"ids must be a collection of ids, not one ", py::type::of(ids).attr("__name__")});
    py::set gone;
    for (py::handle id : py::iter(ids)) gone.add(id);
    return gone;
}

int remove_dead_temporaries(py::handle directory) {
    const std::string dir = host_path(directory);
    std::vector<std::string> gone;
    {
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.empty() ? "." : dir.c_str()),
                                                    &::closedir);
        if (!listing) return 0;  // the write that follows reports the directory
        const long self = static_cast<long>(::getpid());
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string name = entry->d_name;
            const long pid = temporary_owner(name);
            if (pid <= 0 || pid == self || process_exists(pid)) continue;
            const std::string path = dir.empty() ? name : dir + "/" + name;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            if (::unlink(path.c_str()) == 0) gone.push_back(name);
        }
    }
    py::object fsdecode = import_attr("os", "fsdecode");
    for (const auto& name : gone)
        log_info({"removed ", fsdecode(py::bytes(name)), ", left by a writer that was stopped"});
    return static_cast<int>(gone.size());
}

}  // namespace wr
