// Named entities as a reader lists them: each distinct one once, with how
// often the text names it, grouped by label. Plain C++ over UTF-8 strings.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace wr {

struct CountedEntity {
    std::string text;
    std::size_t count = 0;
};

struct EntityGroup {
    std::string label;
    std::size_t total = 0;  // mentions of all its entities
    std::vector<CountedEntity> entities;
};

// Groups (text, label) pairs in text order. Groups come most-mentioned
// first, then by label; inside a group, entities most-mentioned first, then
// in the order the text first names them. The same text under two labels is
// listed under each.
std::vector<EntityGroup> count_entities(const std::vector<std::pair<std::string, std::string>>& pairs);

// A group as a page shows it: the entities a reader should see, and the
// rest folded away.
struct FoldedGroup {
    std::string label;
    std::size_t total = 0;
    std::vector<CountedEntity> shown, folded;
};

// Splits each group of count_entities: shown are those named at least
// twice, most-named first, at most `per_group` of a group and `budget` in
// all; a group none of whose entities is named twice shows its first
// `per_group / 2` (at least one) within the budget. Entities `doubtful`
// says are junk (a capitalised "The", a lone "<") are always folded.
std::vector<FoldedGroup> fold_entities(const std::vector<EntityGroup>& groups,
                                       const std::function<bool(const std::string&)>& doubtful,
                                       std::size_t per_group, std::size_t budget);

}  // namespace wr
