#include "data/namematch.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <utility>

namespace {

// For every entry, how many entries of the same name stand in lower slots.
std::vector<int> occurrences(const std::vector<TNamedSlot>& entries) {
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return entries[a].slot < entries[b].slot; });
    std::map<std::string, int> seen;
    std::vector<int> k(entries.size(), 0);
    for (size_t i : order) k[i] = seen[entries[i].name]++;
    return k;
}

}  // namespace

TNameMatch matchByName(const std::vector<TNamedSlot>& from, const std::vector<TNamedSlot>& to) {
    TNameMatch m{std::vector<int>(from.size(), -1), std::vector<int>(to.size(), -1)};
    const std::vector<int> kFrom = occurrences(from), kTo = occurrences(to);
    std::map<std::pair<std::string, int>, int> where;
    for (size_t j = 0; j < to.size(); ++j)
        if (!to[j].name.empty()) where[{to[j].name, kTo[j]}] = static_cast<int>(j);
    for (size_t i = 0; i < from.size(); ++i) {
        if (from[i].name.empty()) continue;
        const auto it = where.find({from[i].name, kFrom[i]});
        if (it == where.end()) continue;
        m.toOf[i] = it->second;
        m.fromOf[static_cast<size_t>(it->second)] = static_cast<int>(i);
    }
    return m;
}

std::vector<TNamedSlot> tableSlots(const TECUSettings& table, int count) {
    std::vector<TNamedSlot> out;
    const int n = std::clamp(count, 0, TECUSettings::slotCount);
    for (int i = 0; i < n; ++i) out.push_back({i, table.getName(static_cast<uint8_t>(i))});
    return out;
}

std::vector<int> slotsNamed(const TECUSettings& table, const std::string& name) {
    std::vector<int> out;
    for (int i = 0; i < TECUSettings::slotCount; ++i)
        if (table.getName(static_cast<uint8_t>(i)) == name) out.push_back(i);
    return out;
}
