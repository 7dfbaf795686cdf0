#include "entitycount.hpp"

#include <algorithm>
#include <map>

namespace wr {

std::vector<EntityGroup> count_entities(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<EntityGroup> groups;
    std::map<std::string, std::size_t> group_at;
    std::map<std::pair<std::string, std::string>, std::size_t> entity_at;
    for (const auto& [text, label] : pairs) {
        auto g = group_at.find(label);
        if (g == group_at.end()) {
            g = group_at.emplace(label, groups.size()).first;
            groups.push_back(EntityGroup{label, 0, {}});
        }
        EntityGroup& group = groups[g->second];
        ++group.total;
        auto e = entity_at.find({label, text});
        if (e == entity_at.end()) {
            e = entity_at.emplace(std::make_pair(label, text), group.entities.size()).first;
            group.entities.push_back(CountedEntity{text, 0});
        }
        ++group.entities[e->second].count;
    }
    // Stable sorts: ties keep the order of first mention.
    for (EntityGroup& group : groups)
        std::stable_sort(group.entities.begin(), group.entities.end(),
                         [](const CountedEntity& a, const CountedEntity& b) { return a.count > b.count; });
    std::sort(groups.begin(), groups.end(), [](const EntityGroup& a, const EntityGroup& b) {
        return a.total != b.total ? a.total > b.total : a.label < b.label;
    });
    return groups;
}

}  // namespace wr
