// The causes of failed and partly read files, in the user's words. The core
// works on the text of a traceback, the way the library logs a failure it
// recovered from and the way a worker process can hand one back, so that a
// reason is the same wherever the file was compiled.
#include "reasons.hpp"

#include <algorithm>
#include <cctype>
#include <regex>
#include <string>
#include <vector>

namespace reasons {

namespace {

constexpr std::size_t kLongest = 200;
const char* const kSupported = "only English, Spanish and Portuguese are supported";

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string trim(const std::string& text) {
    const char* space = " \t\r\n";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool contains(const std::string& text, const char* piece) {
    return text.find(piece) != std::string::npos;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The last exception of a traceback: its type and its message (which may
// run over many lines: ocrmypdf's whole error output, for one).
struct Raised {
    std::string type;    // short name, "FileDataError"
    std::string module;  // "pymupdf", "" for a builtin
    std::string message;
};

Raised last_exception(const std::string& traceback) {
    static const char* const kChains[] = {
        "\nDuring handling of the above exception, another exception occurred:\n",
        "\nThe above exception was the direct cause of the following exception:\n"};
    std::size_t from = 0;
    for (const char* chain : kChains) {
        std::size_t at = traceback.rfind(chain);
        if (at != std::string::npos) from = std::max(from, at + std::string(chain).size());
    }
    std::vector<std::string> lines = split_lines(traceback.substr(from));
    std::size_t i = 0;
    while (i < lines.size() && trim(lines[i]).empty()) ++i;
    if (i < lines.size() && lines[i].rfind("Traceback (most recent call last):", 0) == 0) {
        ++i;
        while (i < lines.size() && (lines[i].empty() || lines[i][0] == ' ')) ++i;
    }
    Raised raised;
    if (i >= lines.size()) return raised;
    static const std::regex header(R"(([A-Za-z_][\w.]*)(: ?(.*))?)");
    std::smatch m;
    std::string message;
    if (std::regex_match(lines[i], m, header)) {
        std::string qualified = m[1];
        std::size_t dot = qualified.rfind('.');
        raised.type = dot == std::string::npos ? qualified : qualified.substr(dot + 1);
        raised.module = dot == std::string::npos ? "" : qualified.substr(0, dot);
        message = m[3];
    } else {
        message = lines[i];
    }
    for (++i; i < lines.size(); ++i) message += "\n" + lines[i];
    raised.message = trim(message);
    return raised;
}

// The user's name for the file in place of the path the library opened,
// and nothing that changes from run to run (object addresses, the names of
// temporary copies).
std::string clean(std::string text, const Failure& f) {
    replace_all(text, f.path, f.name);
    static const std::regex address(R"( at 0x[0-9a-fA-F]+)");
    static const std::regex hex(R"(0x[0-9a-fA-F]{6,})");
    // Private OCR copies carry the host, the process and a random token.
    static const std::regex copy(R"([^ '"]*/\.output-[^ '"/]*\.pdf)");
    static const std::regex temp(R"(/tmp/[^ '":]*)");
    text = std::regex_replace(text, address, "");
    text = std::regex_replace(text, hex, "0x...");
    text = std::regex_replace(text, copy, "the OCR copy");
    text = std::regex_replace(text, temp, "a temporary file");
    std::string one;
    bool space = false;
    for (char c : trim(text)) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = true;
            continue;
        }
        if (space && !one.empty()) one += ' ';
        space = false;
        one += c;
    }
    if (one.size() > kLongest) {
        std::size_t cut = kLongest - 3;
        // Never in the middle of a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(one[cut]) & 0xC0) == 0x80) --cut;
        one = one.substr(0, cut) + "...";
    }
    return one;
}

// The text a cause is told from: the file's own names taken out, so that a
// damaged "password-reset.pdf" is not taken for an encrypted file, nor
// "too large scans.pdf" for a large one. Both names are taken out whole and
// by their last part, as messages quote either.
std::string without_names(std::string text, const Failure& f) {
    std::vector<std::string> names;
    for (const std::string* whole : {&f.path, &f.name}) {
        if (whole->empty()) continue;
        names.push_back(*whole);
        const std::size_t slash = whole->rfind('/');
        if (slash != std::string::npos && slash + 1 < whole->size())
            names.push_back(whole->substr(slash + 1));
    }
    // Longest first: a name inside another is taken out with it.
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const auto& name : names) replace_all(text, name, "<file>");
    return text;
}

bool exception_name(const std::string& line) {
    static const std::regex name(R"([A-Za-z_][\w.]*(Error|Exception|Exit|Interrupt)(:.*)?)");
    return std::regex_match(line, name);
}

bool crashed(const std::string& output) {
    return contains(output, "Traceback (most recent call last):");
}

// The line of a tool's output that says why it failed: the exception it
// crashed with, else the last line that reads like a refusal, else its last
// line. A bare class name (ocrmypdf ends a refusal with "InputFileError")
// says less than the sentence before it.
std::string telling_line(const std::string& output) {
    static const std::regex bare(R"([A-Za-z_][\w.]*)");
    std::vector<std::string> lines;
    for (auto& line : split_lines(output)) {
        std::string t = trim(line);
        if (!t.empty()) lines.push_back(t);
    }
    if (lines.empty()) return "";
    if (crashed(output)) {
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (exception_name(*it)) return *it;
    }
    static const char* const kWords[] = {"error", "not ", "cannot", "can't", "unable", "failed",
                                         "invalid", "encrypted", "refus", "abort"};
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (std::regex_match(*it, bare)) continue;
        std::string l = lower(*it);
        for (const char* word : kWords)
            if (contains(l, word)) return *it;
    }
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (!std::regex_match(*it, bare)) return *it;
    return lines.back();
}

// The program or library an error comes from, by the module of its type.
std::string tool_of(const Raised& r, bool ocr) {
    const std::string m = lower(r.module);
    // MuPDF's own errors reach Python as "code=N: ..." whatever their type.
    if (m.rfind("pymupdf", 0) == 0 || m.rfind("fitz", 0) == 0 || r.type == "FileDataError" ||
        r.type.rfind("FzError", 0) == 0 || r.message.rfind("code=", 0) == 0)
        return "PyMuPDF";
    if (m.rfind("pil", 0) == 0) return "Pillow";
    if (m.rfind("pytesseract", 0) == 0) return "Tesseract";
    if (m.rfind("cv2", 0) == 0) return "OpenCV";
    if (ocr && r.module.empty() && r.type == "Exception") return "ocrmypdf";
    return "wrapper";
}

bool looks_like_pdf(const std::string& head) { return contains(head.substr(0, 1024), "%PDF"); }

std::string not_a_pdf(const std::string& head) {
    if (head.empty()) return reason(Cause::NotDocument, "the file is empty");
    std::string l = lower(head.substr(0, 512));
    if (contains(l, "<html") || contains(l, "<!doctype"))
        return reason(Cause::NotDocument, "an HTML page, not a PDF");
    return reason(Cause::NotDocument, "its content is not a PDF (no %PDF header)");
}

}  // namespace

const char* label(Cause cause) {
    switch (cause) {
        case Cause::NotDocument: return "not a document";
        case Cause::Damaged: return "damaged beyond repair";
        case Cause::Encrypted: return "encrypted and needs a password";
        case Cause::NoText: return "no readable text";
        case Cause::Unsupported: return "language or script not supported";
        case Cause::TooLarge: return "too large";
        case Cause::TimedOut: return "timed out";
        case Cause::ToolFailed: return "a tool failed";
    }
    return "a tool failed";
}

std::string reason(Cause cause, const std::string& detail) {
    std::string text = label(cause);
    if (!detail.empty()) text += ": " + detail;
    return text;
}

std::string explain(const Failure& f) {
    Raised r = last_exception(f.traceback);
    const std::string tool = tool_of(r, f.ocr);
    const std::string said = clean(tool == "ocrmypdf" ? telling_line(r.message) : r.message, f);
    // A tool's output tells its whole story (its crash's frames, what it
    // tried): only the line that says why is classified.
    const std::string told = without_names(r.message, f);
    const std::string l = lower(tool == "ocrmypdf" ? telling_line(told) : told);
    std::smatch m;

    if (r.type == "TimeoutExpired") {
        static const std::regex after(R"(timed out after ([0-9]+))");
        std::string seconds = std::regex_search(told, m, after) ? m[1].str() : "";
        return reason(Cause::TimedOut, seconds.empty() ? "ocrmypdf was stopped"
                                                       : "ocrmypdf was stopped after " + seconds +
                                                             " s");
    }
    if (r.type == "ValueError") {
        static const std::regex language(R"(Language (?:Language\.)?(\w+) not supported)");
        static const std::regex script(R"(Script (\w[\w ]*) not supported)");
        if (std::regex_search(told, m, language)) {
            std::string name = m[1];
            if (name == "None") return reason(Cause::NoText, "its language could not be told");
            for (std::size_t i = 1; i < name.size(); ++i)
                name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
            return reason(Cause::Unsupported, "written in " + name + "; " + kSupported);
        }
        if (std::regex_search(told, m, script))
            return reason(Cause::Unsupported, "text in the " + m[1].str() + " script; " +
                                                  kSupported);
    }
    if (contains(l, "encrypted") || contains(l, "password") || r.type == "EncryptedPdfError")
        return reason(Cause::Encrypted, tool == "ocrmypdf" ? "ocrmypdf: " + said : "");
    if (r.message.rfind("too large: ", 0) == 0)
        return reason(Cause::TooLarge, clean(r.message.substr(11), f));
    if (r.type == "DecompressionBombError" || contains(l, "decompression bomb") ||
        contains(l, "too large") || contains(l, "exceeds limit"))
        return reason(Cause::TooLarge, tool + ": " + said);
    if (r.type == "FileNotFoundError" && contains(l, "ocrmypdf"))
        return reason(Cause::ToolFailed, "ocrmypdf is not installed");
    if (r.type == "FileDataError" || contains(l, "failed to open") ||
        contains(l, "cannot open broken document") || contains(l, "not a pdf") ||
        contains(l, "invalid pdf") || contains(l, "is not a valid pdf")) {
        if (!looks_like_pdf(f.head)) return not_a_pdf(f.head);
        return reason(Cause::Damaged, tool + " cannot open it");
    }
    // MuPDF's format errors (code 7): a page tree in a cycle, a page count
    // that cannot be, which its repair could not mend.
    if (r.type == "FzErrorFormat" || r.message.rfind("code=7:", 0) == 0)
        return reason(Cause::Damaged, tool + ": " + clean(r.message.substr(r.message.find(':') + 1), f));
    if (tool == "ocrmypdf") {
        if (crashed(r.message))
            return reason(Cause::ToolFailed, "ocrmypdf crashed: " + said);
        return reason(Cause::ToolFailed, "ocrmypdf: " + said);
    }
    std::string what = r.type.empty() ? said : said.empty() ? r.type : r.type + ": " + said;
    return reason(Cause::ToolFailed, tool + ": " + clean(what, f));
}

}  // namespace reasons
