#include "atomicfile.hpp"

#include <unistd.h>

#include <string>
#include <utility>

#include "pyutil.hpp"

namespace wr {

namespace {

// Removes the temporary file unless the write got as far as the rename.
class TempFile {
public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    std::string release() {
        std::string kept;
        kept.swap(path_);
        return kept;
    }

private:
    std::string path_;
};

}  // namespace

void replace_file_with(py::handle path, const std::function<void(py::handle)>& write) {
    py::object os = import("os");
    const std::string target = os.attr("fsencode")(path).cast<std::string>();
    TempFile tmp(temp_sibling(target));
    py::object tmp_name = os.attr("fsdecode")(py::bytes(tmp.path()));
    write(tmp_name);

    // Without the flush a crash of the machine could rename an empty file
    // into place; a killed process alone would not need it. The host's own
    // calls raise its OSError subclasses with the file name.
    py::object fd = os.attr("open")(tmp_name, os.attr("O_RDONLY"));
    try {
        os.attr("fsync")(fd);
    } catch (py::error_already_set&) {
        os.attr("close")(fd);
        throw;
    }
    os.attr("close")(fd);
    replace_file(tmp.release(), target);  // removes the temporary itself on failure
}

}  // namespace wr
