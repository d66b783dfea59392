#include "ecu/restore.h"

#include <algorithm>
#include <exception>

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

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
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
        try {
            ecu.writeSettingConfirmed(static_cast<uint8_t>(slot), e.value,
                                      std::to_string(outcome.restored) + " of " + std::to_string(backup.size()) +
                                          " settings written before it; nothing stored");
        } catch (const ELinkLost&) {
            written.push_back(slot);  // it went out; whether it arrived is not known
            throw;
        }
        written.push_back(slot);
        ++outcome.restored;
    }
    ecu.storeConfirmed();
    outcome.differences = ecu.checkSettings();
}

std::string restoredText(const TRestoreOutcome& outcome, const std::string& file) {
    std::string text = "Restored " + std::to_string(outcome.restored + outcome.unchanged) + " settings from " + file;
    if (outcome.unchanged > 0) text += " (" + std::to_string(outcome.unchanged) + " already held the file's value)";
    return text;
}

std::string backupRefusal(const std::vector<TBackupEntry>& backup, const std::string& file) {
    return backup.empty() ? file + " holds no settings: nothing to restore" : std::string();
}

std::string restoreRefusal(const TECU& ecu, const std::vector<TBackupEntry>& backup, const std::string& file) {
    if (ecu.settingsLines <= 0)
        return "The ECU sent no settings table when it was connected: there is nothing to restore " + file +
               " into by name";
    return backupRefusal(backup, file);
}

std::vector<TSettingDifference> restoreWrites(const TECU& ecu, const std::vector<TBackupEntry>& backup) {
    std::vector<TSettingDifference> writes;
    for (auto& d : compareByName(namedSettings(*ecu.settings, TECUSettings::slotCount), namedSettings(backup)))
        if (d.left && d.right) writes.push_back(std::move(d));
    return writes;
}

std::string nothingToRestoreText(const std::string& file) {
    return "The ECU already holds every value of " + file + ": nothing to write";
}

TRestoreReport restoreBackup(TECU& ecu, const std::vector<TBackupEntry>& backup, const std::string& file) {
    TRestoreOutcome outcome;
    std::string failure;
    try {
        outcome = restoreSettings(ecu, backup);
        if (!outcome.differences.empty())
            failure = "the ECU does not hold what was written: " + differencesText(outcome.differences);
    } catch (const std::exception& e) {
        // A lost link, a reply that is no ECU's, a read-back line that does not parse.
        failure = e.what();
    }
    if (!failure.empty())
        return {false, "Restoring " + file + " failed: " + failure + ". The backup " + file +
                           " is unchanged: restore it again once the ECU answers"};
    std::string text = restoredText(outcome, file);
    std::vector<std::string> missing;
    for (const auto& name : outcome.missing) missing.push_back(shownSettingName(name));
    for (int slot : outcome.missingUnnamed) missing.push_back("unnamed slot " + std::to_string(slot));
    if (!missing.empty()) text += "\nNot in this ECU's table: " + joined(missing, ", ");
    return {true, text};
}
