// An advisory lock on a directory (a models directory, say) for the
// read-modify-write of the files in it, shared by every process of the
// machine that uses the same directory.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace wr {

namespace py = pybind11;

// The process's table of held locks (dirlock.cpp).
struct DirHolds;

// Holds the lock for its lifetime. The lock is a flock(2) on the directory
// itself, so no file of the lock's appears in it. Within one process the lock is re-entrant for the
// thread that holds it (a command that locks around an engine call that
// locks again), and other threads of the process wait like other processes.
//
// When another writer holds it, the constructor waits up to `wait_seconds`
// (checking for KeyboardInterrupt and the like meanwhile), then raises
// BlockingIOError with a message that names the directory and the holder.
class DirLock {
public:
    DirLock(py::handle directory, double wait_seconds);
    ~DirLock();
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;

private:
    std::string key_;
    DirHolds* holds_;
};

// Whether the lock of `directory` could be taken at once; the pid of the
// holder in `holder` (0 unknown) when it could not. Takes nothing.
bool dir_lock_free(py::handle directory, long* holder);

// Seconds a training call waits for another writer of its directory.
constexpr double kTrainingLockWait = 600.0;

}  // namespace wr
