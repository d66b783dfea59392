#pragma once
// What a firmware is to the simulated ECU: its version text and its settings table (names and
// values, slot by slot). The default firmware, the settings files of make-firmware and the
// state file all meet here.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ecusim {

// A settings or state file that cannot be read or makes no sense. The message names the file
// and, where it helps, the line.
class ESimFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TSlot {
    std::string name;  // empty: an unnamed slot (its settings line reads "=HH")
    uint8_t value = 0;
    bool operator==(const TSlot&) const = default;
};

struct TFirmwareIdentity {
    std::string version;
    std::vector<TSlot> slots;  // slot i is entry i; at most maxSlots
    bool operator==(const TFirmwareIdentity&) const = default;
};

// A slot index goes over the wire as two hex digits, so a firmware has at most 256 slots.
inline constexpr int maxSlots = 256;

// The firmware the ECU runs when nothing else was flashed: version 1.0.22 and a table of
// about two hundred settings, every name the hardware configuration editor uses among them.
TFirmwareIdentity defaultIdentity();

// Whether a text can be a setting name on the wire: no "=", no CR, LF or TAB.
bool validSettingName(const std::string& name);

// Reads settings lines. Two forms, which may be mixed:
//   name=value                  the next slot after the previous line's slot
//   slot<TAB>name<TAB>value     an explicit slot (the tool's backup format); the name may be
//                               empty there
// Values are decimal 0..255. Blank lines and lines starting with '#' are skipped. Slots left
// out between lines stay unnamed with value 0. `source` names the text in messages.
std::vector<TSlot> parseSettings(const std::string& text, const std::string& source);

// One `slot<TAB>name<TAB>value` line per slot, unnamed slots included, in slot order.
std::string formatSettings(const std::vector<TSlot>& slots);

// The state file: a first line `version<TAB>TEXT`, then the settings as formatSettings writes
// them. Comment lines start with '#'.
std::string formatState(const TFirmwareIdentity& identity);
TFirmwareIdentity parseState(const std::string& text, const std::string& source);

// Whole-file helpers. readTextFile throws ESimFileError; writeTextFileAtomic writes a
// temporary file beside the target and renames it, so a reader never sees half a file.
std::string readTextFile(const std::string& path);
void writeTextFileAtomic(const std::string& path, const std::string& text);

}  // namespace ecusim
