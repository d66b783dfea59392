#include "data/ecusettings.h"

std::unique_ptr<TECUSettings> TECUSettings::clone() const {
    auto copy = std::make_unique<TECUSettings>();
    for (int i = 0; i < slotCount; ++i) copy->setEntry(names[i], values[i], static_cast<uint8_t>(i));
    return copy;
}

int TECUSettings::copyValuesByName(const TECUSettings& other) {
    int count = 0;
    for (int i = 0; i < slotCount; ++i) {
        if (names[i].empty()) continue;
        int j = other.findName(names[i], static_cast<uint8_t>(i));
        if (j >= 0) {
            values[i] = other.values[j];
            ++count;
        }
    }
    return count;
}

int TECUSettings::findName(const std::string& name, uint8_t hint) const {
    if (names[hint] == name) return hint;
    for (int i = 0; i < slotCount; ++i)
        if (names[i] == name) return i;
    return -1;
}

std::string settingsToText(const TECUSettings& table) {
    std::string out;
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        const auto slot = static_cast<uint8_t>(i);
        if (table.getName(slot).empty()) continue;
        out += std::to_string(i) + "\t" + table.getName(slot) + "\t" +
               std::to_string(table.getValue(slot)) + "\n";
    }
    return out;
}
