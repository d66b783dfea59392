#pragma once
// Reading the settings backup format back: one line per slot, in slot order: the slot
// number, TAB, the name (empty for a slot the ECU sent without a name), TAB, the value in
// decimal. settingsToText writes it (the CLI's
// `settings`, the backup before every flash, the app's settings table export); the CLI's
// `restore` and the app's settings table read it.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/ecusettings.h"

struct TBackupEntry {
    int line = 0;  // where it stood in the file, counting from 1
    uint8_t slot = 0;
    std::string name;
    uint8_t value = 0;
};

// A file that is not in the backup format. The message names the file and the line.
class EBackupFormat : public std::runtime_error {
public:
    EBackupFormat(const std::string& message, int line) : std::runtime_error(message), line(line) {}
    int line;
};

// Checks the whole text and returns its entries in file order. Lines end with LF or CR LF;
// blank lines and lines whose first non-blank character is "#" are passed over; names are
// unescaped (escapeSettingName). Refuses, with the line number, a line that does not have the
// three fields, a slot or a value that is not a decimal number from 0 to 255, a name holding raw
// control characters, and a slot given twice. `fileName` is for the messages.
std::vector<TBackupEntry> parseBackup(const std::string& text, const std::string& fileName);
