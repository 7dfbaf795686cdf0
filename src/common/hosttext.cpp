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
