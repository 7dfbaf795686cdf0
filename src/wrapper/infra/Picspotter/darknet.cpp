#include "darknet.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

namespace picspotter::darknet {

namespace {

struct Section {
    std::string type;
    std::map<std::string, std::string> options;
    int line = 0;
};

// darknet's own reading: blanks anywhere in a line are dropped, '#' and ';'
// start comments, "[type]" opens a section and "key=value" fills it.
std::vector<Section> parse(const std::string& cfg) {
    std::vector<Section> sections;
    std::istringstream in(cfg);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string line;
        for (char c : raw)
            if (!std::isspace(static_cast<unsigned char>(c))) line += c;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                throw CfgError("line " + std::to_string(number) + ": unclosed section name");
            sections.push_back({line.substr(1, line.size() - 2), {}, number});
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || sections.empty())
            throw CfgError("line " + std::to_string(number) + ": not an option of a section");
        sections.back().options[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return sections;
}

long long integer(const std::string& text, const Section& section, const char* key) {
    if (text.empty()) throw CfgError(std::string("empty ") + key);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE)
        throw CfgError("[" + section.type + "] at line " + std::to_string(section.line) + ": " +
                       key + "=" + text + " is not a whole number");
    return value;
}

long long option(const Section& section, const char* key, long long fallback) {
    const auto found = section.options.find(key);
    return found == section.options.end() ? fallback : integer(found->second, section, key);
}

// Counts from the definition are bounded so that no product or sum below can
// overflow: a hostile cfg gives an error, never a wrapped size.
constexpr long long kMaxCount = 1LL << 16;
constexpr long long kMaxSize = 1LL << 10;
constexpr long long kMaxChannels = 1LL << 20;          // a route's sum
constexpr std::uint64_t kMaxParameters = 1ULL << 56;   // far beyond any network

long long count(const Section& section, const char* key, long long fallback, long long most) {
    const long long value = option(section, key, fallback);
    if (value < 1 || value > most)
        throw CfgError("[" + section.type + "] at line " + std::to_string(section.line) + ": " +
                       key + " must be between 1 and " + std::to_string(most));
    return value;
}

}  // namespace

std::uint64_t parameter_count(const std::string& cfg) {
    const std::vector<Section> sections = parse(cfg);
    if (sections.empty() || (sections[0].type != "net" && sections[0].type != "network"))
        throw CfgError("the definition does not start with [net]");
    // Output channels of every layer so far; routes refer back to them.
    std::vector<long long> channels;
    long long current = count(sections[0], "channels", 3, kMaxCount);
    std::uint64_t total = 0;
    for (std::size_t i = 1; i < sections.size(); ++i) {
        const Section& s = sections[i];
        const std::string& t = s.type;
        if (t == "convolutional" || t == "conv") {
            const long long filters = count(s, "filters", 1, kMaxCount);
            const long long size = count(s, "size", 1, kMaxSize);
            const long long groups = count(s, "groups", 1, kMaxCount);
            const bool norm = option(s, "batch_normalize", 0) != 0;
            if (current % groups != 0)
                throw CfgError("[convolutional] at line " + std::to_string(s.line) +
                               ": channels not divisible by groups");
            // At most 2^16 * 2^20 * 2^20 per layer, and the total is capped.
            const std::uint64_t f = static_cast<std::uint64_t>(filters);
            total += f * (norm ? 4 : 1) +
                     f * static_cast<std::uint64_t>(current / groups) *
                         static_cast<std::uint64_t>(size * size);
            if (total > kMaxParameters) throw CfgError("the network is implausibly large");
            current = filters;
        } else if (t == "route") {
            const auto found = s.options.find("layers");
            if (found == s.options.end()) throw CfgError("[route] without layers");
            std::stringstream list(found->second);
            std::string item;
            long long sum = 0;
            while (std::getline(list, item, ',')) {
                long long index = integer(item, s, "layers");
                if (index < 0) index += static_cast<long long>(channels.size());
                if (index < 0 || index >= static_cast<long long>(channels.size()))
                    throw CfgError("[route] at line " + std::to_string(s.line) +
                                   ": layer " + item + " does not exist");
                sum += channels[static_cast<std::size_t>(index)];
                if (sum > kMaxChannels) throw CfgError("[route] of too many channels");
            }
            if (sum < 1) throw CfgError("[route] of no layers");
            current = sum;
        } else if (t == "shortcut" || t == "upsample" || t == "yolo" || t == "region" ||
                   t == "maxpool" || t == "avgpool" || t == "dropout" || t == "softmax" ||
                   t == "cost" || t == "detection") {
            // No parameters, and as many channels out as in.
        } else {
            throw CfgError("[" + t + "] at line " + std::to_string(s.line) +
                           ": layer type not understood, so the size of its weights is unknown");
        }
        channels.push_back(current);
    }
    return total;
}

std::uint64_t header_bytes(std::int32_t major, std::int32_t minor) {
    const bool wide_seen = (static_cast<long long>(major) * 10 + minor) >= 2 && major < 1000 &&
                           minor < 1000;
    return kHeaderPrefix + (wide_seen ? 8 : 4);
}

}  // namespace picspotter::darknet
