// Named entities as a reader lists them: each distinct one once, with how
// often the text names it, grouped by label. Plain C++ over UTF-8 strings.
#pragma once

#include <cstddef>
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

}  // namespace wr
