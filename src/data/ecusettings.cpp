#include "data/ecusettings.h"

#include <cctype>

#include "data/namematch.h"
#include "platform/convert.h"

std::unique_ptr<TECUSettings> TECUSettings::clone() const {
    auto copy = std::make_unique<TECUSettings>();
    for (int i = 0; i < slotCount; ++i) copy->setEntry(names[i], values[i], static_cast<uint8_t>(i));
    return copy;
}

int TECUSettings::copyValuesByName(const TECUSettings& other) {
    const TNameMatch m = matchByName(tableSlots(other), tableSlots(*this));
    int count = 0;
    for (int i = 0; i < slotCount; ++i) {
        const int j = m.fromOf[static_cast<size_t>(i)];
        if (j < 0) continue;
        values[i] = other.values[j];
        ++count;
    }
    return count;
}

int TECUSettings::findName(const std::string& name, uint8_t hint) const {
    if (names[hint] == name) return hint;
    for (int i = 0; i < slotCount; ++i)
        if (names[i] == name) return i;
    return -1;
}

std::string settingsToText(const TECUSettings& table, int linesSent) {
    std::string out;
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        const auto slot = static_cast<uint8_t>(i);
        if (table.getName(slot).empty() && i >= linesSent) continue;
        out += std::to_string(i) + "\t" + escapeSettingName(table.getName(slot)) + "\t" +
               std::to_string(table.getValue(slot)) + "\n";
    }
    return out;
}

std::string escapeSettingName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c < 0x20 || c == 0x7F) out += "\\x" + hexHH(c);
        else out += static_cast<char>(c);
    }
    return out;
}

std::string shownSettingName(const std::string& name) {
    const bool plain = !name.empty() && name.find_first_of(" ,\"\\") == std::string::npos &&
                       escapeSettingName(name) == name;
    if (plain) return name;
    std::string out = "\"";
    for (char c : escapeSettingName(name)) out += c == '"' ? std::string("\\\"") : std::string(1, c);
    return out + "\"";
}

std::string unescapeSettingName(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
        } else if (next == '\\' || next == 't' || next == 'n' || next == 'r') {
            out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(hexToInt(text.substr(i + 2, 2)));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}
