#pragma once
// The ECU's settings table: 256 slots, each a one-byte value and a name.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class TECUSettings {
public:
    static constexpr int slotCount = 256;

    uint8_t getValue(uint8_t index) const { return values[index]; }
    void setValue(uint8_t index, uint8_t value) { values[index] = value; }
    const std::string& getName(uint8_t index) const { return names[index]; }
    void setEntry(const std::string& name, uint8_t value, uint8_t index) {
        names[index] = name;
        values[index] = value;
    }
    std::unique_ptr<TECUSettings> clone() const;
    // For every named slot, takes the value of the slot of the same name in `other` (a name
    // held by several slots by its order among them, as matchByName pairs them); returns how
    // many slots took a value.
    int copyValuesByName(const TECUSettings& other);
    // The index of a slot named `name`: the hint slot when it matches, otherwise the lowest
    // such slot; -1 when none. A name held by several slots is ambiguous here: see slotsNamed.
    int findName(const std::string& name, uint8_t hint) const;

private:
    std::array<uint8_t, slotCount> values{};
    std::array<std::string, slotCount> names{};
};

// The table as text: one line per named slot, in slot order: slot, TAB, name, TAB, value in
// decimal, the name escaped (escapeSettingName). The unnamed slots among the first `linesSent`
// (the lines the ECU sent) have lines too, with an empty name. Settings backups are written in
// this form and can be restored from it.
std::string settingsToText(const TECUSettings& table, int linesSent = 0);

// A name as the text forms write it: the ECU may send any bytes in a name, so a backslash
// becomes \\, TAB \t, LF \n, CR \r and any other control byte \xHH; the rest is kept.
std::string escapeSettingName(const std::string& name);
// A name as messages and reports show it among others: as it is when that is plain (no blank,
// comma, quote, backslash or control byte, not empty), otherwise in double quotes with a quote
// as \" and the rest escaped as escapeSettingName does, so that "Idle" and "Idle " or a name
// holding ", " cannot be mistaken for one another.
std::string shownSettingName(const std::string& name);
// The reverse of escapeSettingName. A backslash that starts none of those sequences stands for itself.
std::string unescapeSettingName(const std::string& text);
