#include "ecu/restore.h"

#include <algorithm>

#include "data/namematch.h"
#include "ecu/ecu.h"

namespace {

// "slots 0 to 5, 9 and 12", for messages; "no slot" when empty.
std::string slotList(std::vector<int> slots) {
    if (slots.empty()) return "no slot";
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    std::vector<std::string> parts;
    for (size_t i = 0; i < slots.size();) {
        size_t j = i;
        while (j + 1 < slots.size() && slots[j + 1] == slots[j] + 1) ++j;
        parts.push_back(std::to_string(slots[i]) + (j > i ? " to " + std::to_string(slots[j]) : ""));
        i = j + 1;
    }
    std::string out = slots.size() == 1 ? "slot " : "slots ";
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return out;
}

}  // namespace

TRestoreOutcome restoreSettings(TECU& ecu, const std::vector<TBackupEntry>& backup) {
    TRestoreOutcome outcome;
    std::vector<int> written;
    // A restore that ends early names every slot it wrote: they hold the backup's values now.
    const auto naming = [&](const std::exception& e) {
        return std::string(e.what()) + " (written before: " + slotList(written) + ")";
    };
    try {
        restoreInto(ecu, backup, outcome, written);
    } catch (const ELinkLost& e) {
        throw ELinkLost(naming(e));
    } catch (const EReplyError& e) {
        throw EReplyError(naming(e));
    }
    return outcome;
}

void restoreInto(TECU& ecu, const std::vector<TBackupEntry>& backup, TRestoreOutcome& outcome,
                 std::vector<int>& written) {
    // A name held by several slots goes by its order among them; a slot without a name goes
    // back into the same slot when that slot is among the lines the ECU sent and unnamed too.
    std::vector<TNamedSlot> entries;
    for (const TBackupEntry& e : backup) entries.push_back({e.slot, e.name});
    const int lines = std::min(std::max(ecu.settingsLines, 0), TECUSettings::slotCount);
    const TNameMatch m = matchByName(entries, tableSlots(*ecu.settings, lines));
    for (size_t i = 0; i < backup.size(); ++i) {
        const TBackupEntry& e = backup[i];
        int slot = m.toOf[i];
        if (e.name.empty() && e.slot < lines && ecu.settings->getName(e.slot).empty()) slot = e.slot;
        const std::string label = e.name.empty() ? "unnamed slot " + std::to_string(e.slot) : shownSettingName(e.name);
        if (slot < 0) {
            if (e.name.empty()) outcome.missingUnnamed.push_back(e.slot);
            else outcome.missing.push_back(e.name);
            continue;
        }
        // Only what differs is written: the rest already holds the backup's value.
        if (ecu.settings->getValue(static_cast<uint8_t>(slot)) == e.value) {
            ++outcome.unchanged;
            continue;
        }
        ecu.settings->setValue(static_cast<uint8_t>(slot), e.value);
        ecu.writeSetting(static_cast<uint8_t>(slot));
        written.push_back(slot);
        ecu.confirmLink("at " + label + " (" + std::to_string(outcome.restored) + " of " +
                        std::to_string(backup.size()) + " settings written before it; nothing stored)");
        ++outcome.restored;
    }
    ecu.storeSettings();
    ecu.confirmLink("while the ECU was told to store its settings (they may not be stored)");
    outcome.differences = ecu.checkSettings();
}

std::string restoredText(const TRestoreOutcome& outcome, const std::string& file) {
    std::string text = "Restored " + std::to_string(outcome.restored + outcome.unchanged) + " settings from " + file;
    if (outcome.unchanged > 0) text += " (" + std::to_string(outcome.unchanged) + " already held the file's value)";
    return text;
}
