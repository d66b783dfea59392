#include "data/backupfile.h"

#include <array>

namespace {

// A decimal number from 0 to 255 written with digits only ("007" included); -1 otherwise.
int byteNumber(const std::string& text) {
    if (text.empty() || text.size() > 3) return -1;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= 255 ? v : -1;
}

std::string shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) out += "\\x" + std::string{"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 0xF]};
        else out += static_cast<char>(c);
    }
    return out.size() > 60 ? out.substr(0, 60) + "..." : out;
}

}  // namespace

std::vector<TBackupEntry> parseBackup(const std::string& text, const std::string& fileName) {
    std::vector<TBackupEntry> entries;
    std::array<int, TECUSettings::slotCount> seenOn{};  // the line a slot was given on, 0: not yet
    int lineNo = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();

        auto refuse = [&](const std::string& why) -> EBackupFormat {
            return EBackupFormat(fileName + " line " + std::to_string(lineNo) + ": " + why +
                                     " (expected: slot, TAB, name, TAB, value, as `settings` prints)",
                                 lineNo);
        };
        // Blank lines and comments ("#" first, as in the simulator's settings files) are passed over.
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;

        const size_t tab1 = line.find('\t');
        const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos)
            throw refuse("not three TAB-separated fields: \"" + shown(line) + "\"");
        const std::string slotText = line.substr(0, tab1);
        const std::string written = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const std::string valueText = line.substr(tab2 + 1);

        const int slot = byteNumber(slotText);
        if (slot < 0) throw refuse("slot \"" + shown(slotText) + "\" is not a number from 0 to 255");
        // An empty name is a slot without one (the ECU sent its line without a name).
        // Control bytes of a name are written escaped; one that stands in the file as it is was
        // not written by this tool.
        for (unsigned char c : written)
            if (c < 0x20 || c == 0x7F) throw refuse("the name \"" + shown(written) + "\" holds a control character");
        const std::string name = unescapeSettingName(written);
        const int value = byteNumber(valueText);
        if (value < 0)
            throw refuse("the value \"" + shown(valueText) + "\" of " + (name.empty() ? "unnamed slot " + slotText : name) + " is not a number from 0 to 255");
        if (seenOn[slot] != 0)
            throw refuse("slot " + std::to_string(slot) + " was already given on line " + std::to_string(seenOn[slot]));
        seenOn[slot] = lineNo;

        entries.push_back({lineNo, static_cast<uint8_t>(slot), name, static_cast<uint8_t>(value)});
    }
    return entries;
}
