#include "nearterms.hpp"

#include <algorithm>

namespace wr {

namespace {

// The word itself and every word it gives with one letter dropped.
std::vector<std::u32string> deletions(const std::u32string& word) {
    std::vector<std::u32string> out{word};
    for (std::size_t i = 0; i < word.size(); ++i) {
        std::u32string shorter = word.substr(0, i) + word.substr(i + 1);
        if (out.back() != shorter) out.push_back(std::move(shorter));  // doubled letters give one
    }
    return out;
}

}  // namespace

NearTerms::NearTerms(const std::vector<std::u32string>& terms) {
    for (std::size_t t = 0; t < terms.size(); ++t)
        for (std::u32string& d : deletions(terms[t]))
            by_deletion_[std::move(d)].push_back(static_cast<std::uint32_t>(t));
}

std::vector<std::uint32_t> NearTerms::candidates(const std::u32string& word) const {
    std::vector<std::uint32_t> out;
    for (const std::u32string& d : deletions(word)) {
        auto found = by_deletion_.find(d);
        if (found != by_deletion_.end()) out.insert(out.end(), found->second.begin(), found->second.end());
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace wr
