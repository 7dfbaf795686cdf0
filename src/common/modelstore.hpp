// The one way every engine changes its stored model, so that writers of one
// models directory (threads, processes, a host and a command) never lose each
// other's documents:
//   take the directory's lock, read the stored model again when another
//   writer replaced it since this engine object read it, apply the change,
//   replace the file atomically (temporary, fsync, rename, fsync of the
//   directory), release.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>

#include "dirlock.hpp"

namespace wr {

namespace py = pybind11;

// Which stored file an engine object last read or wrote. The file is kept
// open: while it is, no later file of the directory can get its inode, so
// "the path has the same inode" means "the same file", however fast other
// writers replace it (size and time stamps can repeat within a tick).
//
// Open the file before reading it and remember it after the read succeeded:
// a writer that replaces it in between then looks like a replacement, which
// costs one needless read and never a lost document.
py::object open_stored(py::handle filename);  // None when there is no file
void remember_stored(py::handle engine, py::object opened);
// Whether the file at `filename` is the one `opened` (from open_stored, or
// None for no file) holds: false once a writer created, replaced or removed it.
bool still_stored(py::handle opened, py::handle filename);
void forget_stored(py::handle engine);
// The descriptor an open_stored object holds, -1 for none.
int stored_descriptor(py::handle opened);

// One change of an engine's stored model, for the lifetime of the object.
class StoreChange {
public:
    // Takes the lock of the directory holding `filename` (waiting for
    // another writer as DirLock does), then removes what killed writers left.
    StoreChange(py::handle engine, py::handle filename);
    StoreChange(const StoreChange&) = delete;
    StoreChange& operator=(const StoreChange&) = delete;

    // Whether the file is no longer the one this engine object last read or
    // wrote: another writer created, replaced or removed it since.
    bool replaced() const;
    // Lets `dump` fill a temporary sibling (host path given), then moves it
    // into place durably and remembers it as this engine object's.
    void write(const std::function<void(py::handle)>& dump);

private:
    py::object engine_;
    py::object filename_;
    DirLock lock_;
};

// The ids a removal names, as a set. A str or bytes is refused (TypeError)
// rather than read as the ids of its characters; an unhashable id raises the
// host's TypeError.
py::set removal_ids(py::handle ids);

// Removes the temporary siblings ("NAME.tmp-PID-...") in `directory` whose
// writing process no longer exists, logging each; the files of live writers,
// this process's included, are left alone. Returns how many went.
int remove_dead_temporaries(py::handle directory);

}  // namespace wr
