#include "hosttext.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <memory>

#include "pyutil.hpp"

namespace wr {

std::u32string to_u32(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        raise(PyExc_TypeError, {"expected string or bytes-like object, got '",
                                py::type::of(text).attr("__name__"), "'"});
    }
    Py_ssize_t n = PyUnicode_GetLength(text.ptr());
    std::u32string out(static_cast<std::size_t>(n), U'\0');
    if (n > 0 && !PyUnicode_AsUCS4(text.ptr(), reinterpret_cast<Py_UCS4*>(out.data()), n, 0))
        throw py::error_already_set();
    return out;
}

py::str from_u32(const std::u32string& text) {
    PyObject* s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                            static_cast<Py_ssize_t>(text.size()));
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

namespace {

constexpr std::size_t kNfdPiece = 4096;

// Where the piece that starts at `at` ends: before an ASCII character near
// kNfdPiece code points on, else at the next one, else at the end.
std::size_t nfd_piece_end(const std::u32string& s, std::size_t at) {
    const std::size_t want = at + kNfdPiece;
    if (want >= s.size()) return s.size();
    for (std::size_t cut = want; cut > at + kNfdPiece / 2; --cut)
        if (s[cut] < 0x80) return cut;
    for (std::size_t cut = want + 1; cut < s.size(); ++cut)
        if (s[cut] < 0x80) return cut;
    return s.size();
}

// Short texts and what is no string (whose error normalize gives) in one call.
bool nfd_in_one_call(py::handle text) {
    return !PyUnicode_Check(text.ptr()) ||
           PyUnicode_GetLength(text.ptr()) <= static_cast<Py_ssize_t>(kNfdPiece);
}

// normalize("NFD", text), called without making the form's name or an
// argument tuple anew: a search makes this call for every query.
py::object normalized(py::handle normalize, py::handle text) {
    PyObject* args[] = {name("NFD").ptr(), text.ptr()};
    PyObject* out = PyObject_Vectorcall(normalize.ptr(), args, 2, nullptr);
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
}

}  // namespace

std::u32string nfd_u32(py::handle normalize, py::handle text) {
    if (nfd_in_one_call(text)) return to_u32(normalized(normalize, text));
    const std::u32string all = to_u32(text);
    std::u32string out;
    out.reserve(all.size() + all.size() / 8);
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = nfd_piece_end(all, at);
        PyObject* piece = PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(at),
                                              static_cast<Py_ssize_t>(end));
        if (!piece) throw py::error_already_set();
        out += to_u32(normalized(normalize, py::reinterpret_steal<py::str>(piece)));
        at = end;
    }
    return out;
}

py::str nfd(py::handle normalize, py::handle text) {
    if (nfd_in_one_call(text)) return normalized(normalize, text);
    return from_u32(nfd_u32(normalize, text));
}

const text::CharClasses& host_char_classes() {
    // Leaked on purpose: it holds a reference to a host function and must not
    // be torn down after the interpreter at process exit. Made under the
    // GIL-safe once: the import inside may let another thread take the GIL.
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<const text::CharClasses*> storage;
    return *storage.call_once_and_store_result([]() -> const text::CharClasses* {
        std::vector<std::uint8_t> flags(static_cast<std::size_t>(text::kMaxCodePoint) + 1, 0);
        for (Py_UCS4 c = 0; c <= text::kMaxCodePoint; ++c) {
            std::uint8_t f = 0;
            // The definitions of the `re` engine for str patterns:
            // \w is alphanumeric or underscore, \s is Py_UNICODE_ISSPACE.
            if (Py_UNICODE_ISALNUM(c) || c == U'_') f |= text::CharClasses::kWord;
            if (Py_UNICODE_ISSPACE(c)) f |= text::CharClasses::kSpace;
            flags[c] = f;
        }
        auto combining = std::make_shared<py::object>(import_attr("unicodedata", "combining"));
        auto lookup = [combining](char32_t c) -> std::uint8_t {
            py::gil_scoped_acquire gil;
            py::str ch = from_u32(std::u32string(1, c));
            return static_cast<std::uint8_t>((*combining)(ch).cast<int>());
        };
        return new text::CharClasses(std::move(flags), lookup);
    }).get_stored();
}

}  // namespace wr
