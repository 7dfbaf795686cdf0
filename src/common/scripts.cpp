#include "scripts.hpp"

#include <cstdint>
#include <map>

namespace wr {

namespace {

struct Block {
    char32_t first;
    char32_t last;
    const char* script;
};

// Letters only: the blocks' punctuation and digits are few beside them, and
// the decision is by majority. "Latin" is the script the library reads.
constexpr Block kBlocks[] = {
    {U'A', U'Z', "Latin"},           {U'a', U'z', "Latin"},
    {0x00C0, 0x024F, "Latin"},       {0x1E00, 0x1EFF, "Latin"},
    {0x0370, 0x03FF, "Greek"},       {0x1F00, 0x1FFF, "Greek"},
    {0x0400, 0x052F, "Cyrillic"},    {0x0530, 0x058F, "Armenian"},
    {0x0590, 0x05FF, "Hebrew"},      {0x0600, 0x06FF, "Arabic"},
    {0x0750, 0x077F, "Arabic"},      {0xFB50, 0xFDFF, "Arabic"},
    {0xFE70, 0xFEFF, "Arabic"},      {0x0900, 0x097F, "Devanagari"},
    {0x0980, 0x09FF, "Bengali"},     {0x0A00, 0x0A7F, "Gurmukhi"},
    {0x0A80, 0x0AFF, "Gujarati"},    {0x0B00, 0x0B7F, "Oriya"},
    {0x0B80, 0x0BFF, "Tamil"},       {0x0C00, 0x0C7F, "Telugu"},
    {0x0C80, 0x0CFF, "Kannada"},     {0x0D00, 0x0D7F, "Malayalam"},
    {0x0D80, 0x0DFF, "Sinhala"},     {0x0E00, 0x0E7F, "Thai"},
    {0x0E80, 0x0EFF, "Lao"},         {0x0F00, 0x0FFF, "Tibetan"},
    {0x1000, 0x109F, "Myanmar"},     {0x10A0, 0x10FF, "Georgian"},
    {0x1100, 0x11FF, "Hangul"},      {0x1200, 0x139F, "Ethiopic"},
    {0x1780, 0x17FF, "Khmer"},       {0x3040, 0x309F, "Hiragana"},
    {0x30A0, 0x30FF, "Katakana"},    {0x3130, 0x318F, "Hangul"},
    {0x3400, 0x4DBF, "Han"},         {0x4E00, 0x9FFF, "Han"},
    {0xAC00, 0xD7AF, "Hangul"},      {0xF900, 0xFAFF, "Han"},
    {0xFF66, 0xFF9F, "Katakana"},    {0x20000, 0x3134F, "Han"},
};

const char* script_of(char32_t c) {
    for (const Block& b : kBlocks)
        if (c >= b.first && c <= b.last) return b.script;
    return nullptr;
}

// The next code point of a UTF-8 text, or a value past Unicode for a byte
// that starts no valid sequence (it is then skipped alone).
char32_t next_code_point(const std::string& s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                     : (lead >> 3) == 0x1E    ? 4 : 0;
    if (length == 0 || i + length > s.size()) {
        ++i;
        return 0x110000;
    }
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0x110000;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    return c;
}

}  // namespace

std::string foreign_script(const std::string& utf8) {
    std::map<std::string, std::size_t> letters;
    for (std::size_t i = 0; i < utf8.size();) {
        const char* script = script_of(next_code_point(utf8, i));
        if (script) ++letters[script];
    }
    const std::size_t latin = letters["Latin"];
    std::string found;
    std::size_t most = latin;
    for (const auto& [script, count] : letters) {
        if (count > most) {
            most = count;
            found = script;
        }
    }
    return found;
}

}  // namespace wr
