// Helpers shared by every extension module of the package: talking to the
// host's logging module, composing messages from text pieces, raising the
// host's exception types, and building plain classes and enumerations.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace wr {

namespace py = pybind11;

// ---- messages -------------------------------------------------------------

// One piece of a message: either a literal or the host's str() of an object.
// Messages are assembled as host strings so that any text the host can hold
// (lone surrogates included) survives unchanged.
class Piece {
public:
    Piece(const char* text);                 // NOLINT: implicit on purpose
    Piece(const std::string& text);          // NOLINT
    Piece(py::handle obj);                   // NOLINT
    Piece(const py::object& obj) : Piece(py::handle(obj)) {}  // NOLINT
    Piece(const py::str& obj) : Piece(py::handle(obj)) {}     // NOLINT
    template <typename Policy>
    Piece(const py::detail::accessor<Policy>& a) : Piece(py::object(a)) {}  // NOLINT
    Piece(long long value);                  // NOLINT
    Piece(int value) : Piece(static_cast<long long>(value)) {}            // NOLINT
    Piece(long value) : Piece(static_cast<long long>(value)) {}           // NOLINT
    Piece(std::size_t value) : Piece(static_cast<long long>(value)) {}    // NOLINT
    py::str text;
};

// Concatenates the text forms of the pieces, like `"a" + str(x) + "b"`.
py::str cat(std::initializer_list<Piece> pieces);

// ---- logging --------------------------------------------------------------
// The module-level functions of `logging` are looked up on every call, so a
// host that replaces or patches them sees our lines; we never configure it.

void log_debug(py::handle message);
void log_info(py::handle message);
void log_warning(py::handle message);
void log_error(py::handle message);
inline void log_debug(std::initializer_list<Piece> p) { log_debug(cat(p)); }
inline void log_info(std::initializer_list<Piece> p) { log_info(cat(p)); }
inline void log_warning(std::initializer_list<Piece> p) { log_warning(cat(p)); }
inline void log_error(std::initializer_list<Piece> p) { log_error(cat(p)); }

// Whether the root logger, which the functions above log to, keeps debug
// lines now: a line that is costly to build is built only then.
bool debug_enabled();

// The text traceback.format_exc() gives for `err` in its except block.
py::str format_exc(py::error_already_set& err);

// ---- raising --------------------------------------------------------------

// Raises `type` (a host exception class) with one argument, the message.
[[noreturn]] void raise(PyObject* type, py::handle message);
[[noreturn]] inline void raise(PyObject* type, std::initializer_list<Piece> p) {
    raise(type, cat(p));
}
// Raises the host's plain Exception with the given message.
[[noreturn]] inline void raise_exception(std::initializer_list<Piece> p) {
    raise(PyExc_Exception, cat(p));
}

// Like Cython's check for an argument declared with an exact builtin type:
// TypeError "Argument 'name' has incorrect type (expected str, got int)".
void require_exact_str(py::handle value, const char* argname);

// ---- objects --------------------------------------------------------------

py::object import(const char* module);
// The module as sys.modules holds it when it is there, else imported. Used
// for heavy packages that a host may have left waiting to load lazily
// (importlib.util.LazyLoader): a second `import` reads the module's __spec__
// and so loads it, which taking it from sys.modules does not.
py::object import_as_held(const char* module);

// The extension module being built, set once in its init function; its
// collaborators are read from its attributes at call time, so a host (or a
// test) that replaces one is honoured. Every module links its own copy of
// this library, so each has its own slot.
py::module_& this_module();
py::object import_attr(const char* module, const char* attr);

// A string literal as a host string made once (interned), for the attribute
// look-ups a search makes on every query: looking up by a C string makes a
// new host string each time. Only for literals: they are told apart by
// their address.
py::handle name(const char* literal);
// The module named by a string literal, imported at the first call and
// kept: for modules used on every query (a host's patch of one of its
// attributes is still seen, the attribute being looked up at each use).
py::handle imported(const char* literal);

// A host integer (anything with __index__) as a Py_ssize_t: the host's
// TypeError for other objects, OverflowError when it does not fit.
Py_ssize_t to_ssize(py::handle value);

// Truth value as the host sees it (`if value:`); propagates errors of __bool__.
bool truthy(py::handle value);

// `item in container` as the host sees it; propagates errors of __contains__.
bool contains(py::handle container, py::handle item);

// Unpacks an iterable into exactly `n` items, with the host's own errors
// ("not enough values to unpack (expected 3, got 2)", "too many values ...").
std::vector<py::object> unpack(py::handle iterable, std::size_t n);

// Builds a plain class `type(name, bases, namespace)` living in `module`.
// `bases` empty means (object,). Fields are given as class-level defaults.
py::object make_class(py::module_& module, const char* name,
                      std::vector<std::pair<const char*, py::object>> fields,
                      py::tuple bases = py::tuple());

// Attaches a C++ callable as an instance method of a class built above.
template <typename F, typename... Extra>
void def_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::is_method(cls),
                        py::sibling(py::getattr(cls, name, py::none())), extra...);
    py::setattr(cls, name, fn);
}

// Attaches a C++ callable as `__init__`. pybind11 treats any function named
// "__init__" as a constructor of its own instances, which plain classes are
// not, so the callable carries a neutral name and is stored under __init__.
template <typename F, typename... Extra>
void def_init(py::handle cls, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name("__init"), py::is_method(cls), extra...);
    py::setattr(cls, "__init__", fn);
}

// Attaches a C++ callable as a static method.
template <typename F, typename... Extra>
void def_static(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::scope(cls), extra...);
    py::setattr(cls, name, py::staticmethod(fn));
}

// A module-level function (module.def with positional-or-keyword names).
template <typename F, typename... Extra>
void def_function(py::module_& m, const char* name, F&& f, const Extra&... extra) {
    m.def(name, std::forward<F>(f), extra...);
}

// Builds a real enum.Enum subclass. `members` are (name, value) in definition
// order; `statics` are callables attached as static methods of the class body
// (they are descriptors, so the enumeration machinery does not make them
// members).
py::object make_enum(py::module_& module, const char* name,
                     std::vector<std::pair<const char*, py::object>> members,
                     std::vector<std::pair<const char*, py::cpp_function>> statics = {});

// ---- files ----------------------------------------------------------------

// A host path (anything os.fsencode takes) as the bytes the system calls take.
std::string host_path(py::handle path);
// A fresh, unused path in the same directory as `path`, for writing a file
// that then replaces `path` atomically with replace_file().
std::string temp_sibling(const std::string& path);
// rename(2) `from` over `to`, then flushes the directory to disk; raises the
// host's OSError on failure.
void replace_file(const std::string& from, const std::string& to, bool durable = true);
// Writes `data` to `path` so that a reader always finds either the old or the
// new complete file: temporary sibling, fsync, rename. Raises OSError (with
// the subclass matching errno, e.g. FileNotFoundError) on failure.
// `durable` false leaves both flushes to one sync_file_system() after many
// such writes: each fsync waits for the disk, one sync of all waits once.
void write_file_atomic(const std::string& path, const std::string& data, bool durable = true);
// The same two without the interpreter (any thread, its lock not held): the
// failure as its errno (0: none) and the path it concerns.
struct FileFailure {
    int code = 0;
    std::string path;
};
FileFailure try_replace_file(const std::string& from, const std::string& to, bool durable = true);
FileFailure try_write_file_atomic(const std::string& path, const std::string& data, bool durable = true);
// Flushes everything written to the file system holding `path` (syncfs(2)).
void sync_file_system(const std::string& path);

}  // namespace wr
