#include "data/settingsdiff.h"

#include <algorithm>
#include <map>
#include <tuple>

std::vector<TNamedSetting> namedSettings(const std::vector<TBackupEntry>& entries) {
    std::vector<TNamedSetting> out;
    for (const TBackupEntry& e : entries) out.push_back({e.slot, e.name, e.value});
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.slot < b.slot; });
    return out;
}

std::vector<TNamedSetting> namedSettings(const TECUSettings& table, int lines) {
    std::vector<TNamedSetting> out;
    for (int i = 0; i < std::min(lines, TECUSettings::slotCount); ++i) {
        const auto slot = static_cast<uint8_t>(i);
        if (!table.getName(slot).empty()) out.push_back({i, table.getName(slot), table.getValue(slot)});
    }
    return out;
}

std::vector<TSettingDifference> compareByName(const std::vector<TNamedSetting>& left,
                                              const std::vector<TNamedSetting>& right) {
    // (name, occurrence) -> the difference being built, both sides filled in as found.
    std::map<std::pair<std::string, int>, TSettingDifference> byKey;
    const auto take = [&](const std::vector<TNamedSetting>& side, bool isLeft) {
        std::map<std::string, int> seen;
        for (const TNamedSetting& s : side) {
            const int k = seen[s.name]++;
            TSettingDifference& d = byKey[{s.name, k}];
            d.name = s.name;
            d.occurrence = k;
            (isLeft ? d.left : d.right) = s.value;
            (isLeft ? d.leftSlot : d.rightSlot) = s.slot;
        }
    };
    take(left, true);
    take(right, false);
    std::vector<TSettingDifference> out;
    for (auto& [key, d] : byKey)
        if (d.left != d.right) out.push_back(d);
    return out;  // the map's order: by name, then occurrence
}

std::string differencesText(const std::vector<TSettingDifference>& differences) {
    const auto value = [](const std::optional<uint8_t>& v) { return v ? std::to_string(*v) : std::string("-"); };
    std::string out;
    for (const auto& d : differences)
        out += escapeSettingName(d.name) + "\t" + value(d.left) + "\t" + value(d.right) + "\n";
    return out;
}
