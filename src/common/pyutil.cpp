#include "pyutil.hpp"

#include <unordered_map>

#include <pybind11/gil_safe_call_once.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace wr {

Piece::Piece(const char* t) : text(t) {}
Piece::Piece(const std::string& t) : text(py::str(t)) {}
Piece::Piece(py::handle obj) : text(py::str(obj)) {}
Piece::Piece(long long v) : text(py::str(py::int_(v))) {}

py::str cat(std::initializer_list<Piece> pieces) {
    py::list parts(pieces.size());
    std::size_t i = 0;
    for (const auto& p : pieces) parts[i++] = p.text;
    PyObject* joined = PyUnicode_Join(py::str("").ptr(), parts.ptr());
    if (joined == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

namespace {
const py::object& logging_module() {
    // The module is found once (an import per line costs more than the line);
    // its functions are looked up every time, so a patched one is honoured.
    // The import may let another thread run: a plain function-local static
    // could then deadlock between its own guard and the GIL.
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> logging;
    return logging.call_once_and_store_result([] { return import("logging"); }).get_stored();
}

void log_at(const char* level, py::handle message) { logging_module().attr(level)(message); }
}  // namespace

bool debug_enabled() {
    const py::object& logging = logging_module();
    return truthy(logging.attr("root").attr("isEnabledFor")(logging.attr("DEBUG")));
}

void log_debug(py::handle m) { log_at("debug", m); }
void log_info(py::handle m) { log_at("info", m); }
void log_warning(py::handle m) { log_at("warning", m); }
void log_error(py::handle m) { log_at("error", m); }

py::str format_exc(py::error_already_set& err) {
    // Same text as traceback.format_exc() inside the matching except block:
    // format_exception over the exception we caught (type, value, traceback).
    // An error raised by C++ code has no traceback object yet: pass None,
    // which format_exception takes as "no frames".
    py::object trace = err.trace() ? py::reinterpret_borrow<py::object>(err.trace()) : py::none();
    py::object lines = import("traceback").attr("format_exception")(err.type(), err.value(), trace);
    return py::str("").attr("join")(lines);
}

void raise(PyObject* type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

void require_exact_str(py::handle value, const char* argname) {
    if (PyUnicode_CheckExact(value.ptr())) return;
    raise(PyExc_TypeError,
          {"Argument '", argname, "' has incorrect type (expected str, got ",
           py::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))).attr("__name__"),
           ")"});
}

py::object import(const char* module) { return py::module_::import(module); }

py::handle name(const char* literal) {
    // Leaked: the strings live as long as the process. Read and filled
    // under the GIL.
    static auto* made = new std::unordered_map<const char*, PyObject*>();
    auto found = made->find(literal);
    if (found != made->end()) return found->second;
    PyObject* interned = PyUnicode_InternFromString(literal);
    if (!interned) throw py::error_already_set();
    made->emplace(literal, interned);
    return interned;
}

py::handle imported(const char* literal) {
    // Leaked like the names above.
    static auto* held = new std::unordered_map<const char*, PyObject*>();
    auto found = held->find(literal);
    if (found != held->end()) return found->second;
    PyObject* module = import(literal).release().ptr();
    // The import may have let another thread in that stored it first.
    return held->emplace(literal, module).first->second;
}

py::object import_as_held(const char* module) {
    // A plain dictionary look-up: PyImport_GetModule would check the module's
    // __spec__ too, which is what loads a lazy module.
    PyObject* held = PyDict_GetItemWithError(PyImport_GetModuleDict(), py::str(module).ptr());
    if (held && held != Py_None) return py::reinterpret_borrow<py::object>(held);
    if (PyErr_Occurred()) throw py::error_already_set();
    return import(module);
}

py::module_& this_module() {
    static py::module_* m = new py::module_();  // leaked: outlives the interpreter
    return *m;
}

py::object import_attr(const char* module, const char* attr) {
    return py::module_::import(module).attr(attr);
}

Py_ssize_t to_ssize(py::handle value) {
    // Raises instead of clipping: a clipped count would be a wrong answer.
    Py_ssize_t v = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

std::vector<py::object> unpack(py::handle iterable, std::size_t n) {
    std::vector<py::object> items;
    items.reserve(n);
    py::iterator it = py::iter(iterable);
    while (it != py::iterator::sentinel()) {
        if (items.size() == n)
            raise(PyExc_ValueError, {"too many values to unpack (expected ", n, ")"});
        items.push_back(py::reinterpret_borrow<py::object>(*it));
        ++it;
    }
    if (items.size() < n)
        raise(PyExc_ValueError,
              {"not enough values to unpack (expected ", n, ", got ", items.size(), ")"});
    return items;
}

py::object make_class(py::module_& module, const char* name,
                      std::vector<std::pair<const char*, py::object>> fields,
                      py::tuple bases) {
    py::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = py::str(name);
    for (auto& [key, value] : fields) ns[key] = value;
    if (bases.empty()) bases = py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str(name), bases, ns);
    module.attr(name) = cls;
    return cls;
}

py::object make_enum(py::module_& module, const char* name,
                     std::vector<std::pair<const char*, py::object>> members,
                     std::vector<std::pair<const char*, py::cpp_function>> statics) {
    py::object enum_mod = import("enum");
    py::object Enum = enum_mod.attr("Enum");
    py::object meta = py::type::of(Enum);
    py::tuple bases = py::make_tuple(Enum);
    // The enumeration's own namespace records definition order, as a class
    // body would.
    py::object ns = meta.attr("__prepare__")(py::str(name), bases);
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = py::str(name);
    for (auto& [key, value] : members) ns[py::str(key)] = value;
    for (auto& [key, fn] : statics) ns[py::str(key)] = py::staticmethod(fn);
    py::object cls = meta(py::str(name), bases, ns);
    module.attr(name) = cls;
    return cls;
}

std::string temp_sibling(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return path + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(static_cast<unsigned long long>(now)) + "-" +
           std::to_string(counter++);
}

namespace {
// `code` is the errno of the failed call, saved by the caller: building the
// file name runs host code, which may change errno before the error is made.
[[noreturn]] void raise_errno(int code, const std::string& filename) {
    py::object name = import("os").attr("fsdecode")(py::bytes(filename));
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw py::error_already_set();
}
}  // namespace

FileFailure try_replace_file(const std::string& from, const std::string& to, bool durable) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int saved = errno;
        ::unlink(from.c_str());
        return {saved, to};
    }
    if (!durable) return {};
    // The rename lives in the directory: until the directory reaches the
    // disk, a crash of the machine can bring back the old file (or none).
    const auto slash = to.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {errno, dir};
    // EINVAL: a file system that cannot sync directories (it has nothing to do).
    const int saved = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    ::close(fd);
    if (saved != 0) return {saved, dir};
    return {};
}

void replace_file(const std::string& from, const std::string& to, bool durable) {
    const FileFailure failed = try_replace_file(from, to, durable);
    if (failed.code) raise_errno(failed.code, failed.path);
}

std::string host_path(py::handle path) { return import_attr("os", "fsencode")(path).cast<std::string>(); }

void sync_file_system(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) raise_errno(errno, path);
    const int saved = ::syncfs(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (saved != 0) raise_errno(saved, path);
}

FileFailure try_write_file_atomic(const std::string& path, const std::string& data, bool durable) {
    const std::string tmp = temp_sibling(path);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    // Reported with the caller's path: the temporary name means nothing to them.
    if (fd < 0) return {errno, path};
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int saved = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            return {saved, path};
        }
        done += static_cast<std::size_t>(n);
    }
    // The descriptor is closed whether or not fsync worked; the first
    // failure is the one reported.
    int saved = !durable || ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && saved == 0) saved = errno;
    if (saved != 0) {
        ::unlink(tmp.c_str());
        return {saved, path};
    }
    return try_replace_file(tmp, path, durable);
}

void write_file_atomic(const std::string& path, const std::string& data, bool durable) {
    const FileFailure failed = try_write_file_atomic(path, data, durable);
    if (failed.code) raise_errno(failed.code, failed.path);
}

}  // namespace wr
