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

std::vector<FoldedGroup> fold_entities(const std::vector<EntityGroup>& groups,
                                       const std::function<bool(const std::string&)>& doubtful,
                                       std::size_t per_group, std::size_t budget) {
    std::vector<FoldedGroup> out;
    for (const EntityGroup& group : groups) {
        FoldedGroup& f = out.emplace_back();
        f.label = group.label;
        f.total = group.total;
        bool repeated = false;
        for (const CountedEntity& e : group.entities) repeated = repeated || (e.count >= 2 && !doubtful(e.text));
        const std::size_t cap = repeated ? per_group : std::max<std::size_t>(1, per_group / 2);
        for (const CountedEntity& e : group.entities) {
            const bool show = f.shown.size() < cap && budget > 0 && (!repeated || e.count >= 2) &&
                              !doubtful(e.text);
            if (show) {
                f.shown.push_back(e);
                --budget;
            } else {
                f.folded.push_back(e);
            }
        }
    }
    return out;
}

}  // namespace wr
