#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pagewring.hpp"

namespace pagewring {

// What Tesseract reads, in the engine's default language, in a grey image
// (one byte a pixel, rows `stride` bytes apart), read by Tesseract's library
// in this process with the page segmentation mode given (as the program's
// --psm) and with or without its second reading of doubtful lines inverted.
// The same text the tesseract program reads in the same image; nullopt when
// the library cannot be used here, and the caller runs the program. A read
// past `seconds` raises RuntimeError, as pytesseract's time-out does.
std::optional<std::string> read_grey_in_process(std::string_view pixels, long long width,
                                                long long height, long long stride, int page_mode,
                                                bool invert, double seconds);

}  // namespace pagewring
