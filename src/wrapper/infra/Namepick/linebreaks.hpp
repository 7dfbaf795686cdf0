// Line breaks that OCR puts inside sentences, plain C++ (no Python headers).
#pragma once

#include <string>

namespace namepick {

// The text with every run of blanks that holds one line break (a wrapped
// line, "\r\n" counting as one) made a single blank, so that a recogniser
// reads the lines as the sentence they were cut from, with no stray blank
// left where the break was. A run with two breaks or more (a blank line), or
// with a form feed or vertical tab (a page), is kept as it is and still
// separates what stands on either side.
std::u32string join_wrapped_lines(const std::u32string& text);

}  // namespace namepick
