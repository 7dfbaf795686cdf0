// Bridges between host strings and the code-point routines of textcore.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "textcore.hpp"

namespace wr {

namespace py = pybind11;

// The code points of a host string; raises TypeError for anything else.
std::u32string to_u32(py::handle text);
py::str from_u32(const std::u32string& text);

// The canonical decomposition (NFD) of a host string by `normalize` (the
// host's unicodedata.normalize, or what a host put in its place), asked
// for a few thousand code points at a time. unicodedata grows its output
// ten code points at a time: where realloc copies (sanitizer builds, some
// allocators) one call over a word list or a long document takes time
// quadratic in its length, minutes for a few megabytes. Pieces end before
// an ASCII character, which has no decomposition and no combining class,
// so the pieces' decompositions join into the whole text's.
std::u32string nfd_u32(py::handle normalize, py::handle text);
py::str nfd(py::handle normalize, py::handle text);

// Character classes of this interpreter: `\w` and `\s` exactly as its `re`
// module defines them for str patterns, and combining classes from its
// `unicodedata`. Built on first use.
const text::CharClasses& host_char_classes();

}  // namespace wr
