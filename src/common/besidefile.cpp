#include "besidefile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "pyutil.hpp"

namespace wr {

namespace {

// Bytes fingerprinted at each end of the model file.
constexpr std::size_t kSample = 64 * 1024;

// ---- which model file ----------------------------------------------------------

std::uint64_t fnv1a(const char* data, std::size_t size) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 1099511628211ull;
    }
    return h;
}

// Reads [at, at + size) of the file; false on a short read.
bool read_at(int fd, std::string& buffer, std::uint64_t at, std::size_t size) {
    buffer.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, &buffer[done], size - done, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

std::optional<ModelIdentity> model_identity_of_fd(int fd) {
    std::optional<ModelIdentity> out;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        ModelIdentity id;
        id.size = static_cast<std::uint64_t>(st.st_size);
        id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        const std::size_t sample = static_cast<std::size_t>(std::min<std::uint64_t>(id.size, kSample));
        std::string buffer;
        if (read_at(fd, buffer, 0, sample)) {
            id.head = fnv1a(buffer.data(), buffer.size());
            if (read_at(fd, buffer, id.size - sample, sample)) {
                id.tail = fnv1a(buffer.data(), buffer.size());
                out = id;
            }
        }
    }
    return out;
}

std::optional<ModelIdentity> model_identity(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<ModelIdentity> out = model_identity_of_fd(fd);
    ::close(fd);
    return out;
}

void put_identity(image::Writer& out, const ModelIdentity& id) {
    out.put(id.size);
    out.put(id.mtime_ns);
    out.put(id.head);
    out.put(id.tail);
}

ModelIdentity get_identity(image::Reader& in) {
    ModelIdentity id;
    id.size = in.get<std::uint64_t>();
    id.mtime_ns = in.get<std::int64_t>();
    id.head = in.get<std::uint64_t>();
    id.tail = in.get<std::uint64_t>();
    return id;
}

py::object beside_model(py::handle engine, const char* name) {
    py::object path = import("os").attr("path");
    return path.attr("join")(path.attr("dirname")(engine.attr("model_filename")), name);
}

void write_beside_model(py::handle engine, const char* name, const char* prefix, const char* otherwise,
                        const std::function<std::optional<std::string>(const ModelIdentity&)>& make) {
    py::object path = beside_model(engine, name);
    // The model is written already: a file beside it that cannot be written
    // costs speed, never the change itself (a stale one names the model
    // before, and is not used).
    try {
        std::optional<std::string> bytes;
        if (std::optional<ModelIdentity> model = model_identity(host_path(engine.attr("model_filename"))))
            bytes = make(*model);
        if (!bytes) {
            py::object os = import("os");
            if (truthy(os.attr("path").attr("exists")(path))) os.attr("remove")(path);
            return;
        }
        write_file_atomic(host_path(path), *bytes);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log_warning({prefix, path, " not written (", e.value(), "); ", otherwise});
    } catch (const std::exception& e) {
        log_warning({prefix, path, " not written (", e.what(), "); ", otherwise});
    }
}

}  // namespace wr
