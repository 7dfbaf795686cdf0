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

// Character classes of this interpreter: `\w` and `\s` exactly as its `re`
// module defines them for str patterns, and combining classes from its
// `unicodedata`. Built on first use.
const text::CharClasses& host_char_classes();

}  // namespace wr
