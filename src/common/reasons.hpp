// Why a file was not indexed (or was read without OCR), as one line a user
// can act on. The core is plain C++ over the text of the error the library
// raised or logged; the command line feeds it and prints what it returns.
#pragma once

#include <string>

namespace reasons {

// The fixed set of causes; every reason starts with one of these labels.
enum class Cause {
    NotDocument,
    Damaged,
    Encrypted,
    NoText,
    Unsupported,
    TooLarge,
    TimedOut,
    ToolFailed,
};
const char* label(Cause cause);

struct Failure {
    // traceback.format_exc() of the error, or "Type: message" for one with
    // no frames. Only its last exception counts.
    std::string traceback;
    // The path the library was given, and the name the user knows it by.
    std::string path;
    std::string name;
    // The file's first bytes ("" when it could not be read): a file that
    // PDF readers refuse may not be a PDF at all.
    std::string head;
    // True for an error of the OCR road, whose plain Exception carries the
    // ocrmypdf's own error output.
    bool ocr = false;
};

// "<cause>: <detail>", one line, the same from run to run.
std::string explain(const Failure& failure);
// A reason of the given cause with a detail already in the user's words.
std::string reason(Cause cause, const std::string& detail);

}  // namespace reasons
