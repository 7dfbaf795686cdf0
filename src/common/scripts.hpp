// The writing system of a text, told from the Unicode blocks of its letters.
// Language detectors only know the languages they were built with, and name
// the nearest of them for a text in any other script; the script is cheap to
// see first and is what a user needs to hear.
#pragma once

#include <string>

namespace wr {

// The script most letters of a UTF-8 text belong to ("Devanagari",
// "Arabic", ...), or "" when Latin letters are as many as those of any
// other script, or there are no letters. Bytes that are not UTF-8 count as
// nothing.
std::string foreign_script(const std::string& utf8);

}  // namespace wr
