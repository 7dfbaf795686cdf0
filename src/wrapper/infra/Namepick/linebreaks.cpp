#include "linebreaks.hpp"

#include <cstddef>

namespace namepick {

namespace {

bool horizontal_blank(char32_t c) { return c == U' ' || c == U'\t'; }
bool page_break(char32_t c) { return c == U'\f' || c == U'\v'; }
bool blank(char32_t c) {
    return horizontal_blank(c) || page_break(c) || c == U'\n' || c == U'\r';
}

}  // namespace

std::u32string join_wrapped_lines(const std::u32string& text) {
    std::u32string out;
    out.reserve(text.size());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        if (!blank(text[i])) {
            out += text[i++];
            continue;
        }
        // One run of blanks; "\r\n" is one break, as is a lone "\r" or "\n".
        const std::size_t start = i;
        int breaks = 0;
        bool page = false;
        for (; i < size && blank(text[i]); ++i) {
            if (page_break(text[i])) {
                page = true;
            } else if (text[i] == U'\n') {
                ++breaks;
            } else if (text[i] == U'\r') {
                ++breaks;
                if (i + 1 < size && text[i + 1] == U'\n') ++i;
            }
        }
        if (breaks == 1 && !page)
            out += U' ';
        else
            out.append(text, start, i - start);
    }
    return out;
}

}  // namespace namepick
