#pragma once
// Two settings tables compared by name: a settings file (a backup, an export) against the
// ECU's table or against another file. A name held by several slots is matched by its order
// among them: the k-th "Trim" on the left with the k-th "Trim" on the right.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data/backupfile.h"
#include "data/ecusettings.h"

// One side of a comparison: its named settings, in slot order.
struct TNamedSetting {
    int slot = 0;
    std::string name;
    uint8_t value = 0;
};

// A name whose value differs, or that only one side holds (the other side empty).
struct TSettingDifference {
    std::string name;
    int occurrence = 0;  // 0 for the first slot of this name on its side, 1 for the second, ...
    std::optional<uint8_t> left, right;
    std::optional<int> leftSlot, rightSlot;
};

std::vector<TNamedSetting> namedSettings(const std::vector<TBackupEntry>& entries);
// The named slots of the first `lines` slots of a table (the lines the ECU sent).
std::vector<TNamedSetting> namedSettings(const TECUSettings& table, int lines);

// Every difference, sorted by name (then occurrence); empty when both sides hold the same names
// with the same values.
std::vector<TSettingDifference> compareByName(const std::vector<TNamedSetting>& left,
                                              const std::vector<TNamedSetting>& right);

// One line per difference: NAME, TAB, LEFT, TAB, RIGHT; decimal values, "-" for a side without
// the name; names escaped as in backups, so that every difference stays one line.
std::string differencesText(const std::vector<TSettingDifference>& differences);
