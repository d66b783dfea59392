#include "ecu/restore.h"

#include "ecu/ecu.h"

TRestoreOutcome restoreSettings(TECU& ecu, const std::vector<TBackupEntry>& backup) {
    TRestoreOutcome outcome;
    for (const TBackupEntry& e : backup) {
        const int slot = ecu.settings->findName(e.name, e.slot);
        if (slot < 0) {
            outcome.missing.push_back(e.name);
            continue;
        }
        ecu.settings->setValue(static_cast<uint8_t>(slot), e.value);
        ecu.writeSetting(static_cast<uint8_t>(slot));
        ecu.confirmLink("at " + escapeSettingName(e.name) + " (" + std::to_string(outcome.restored) + " of " +
                        std::to_string(backup.size()) + " settings written before it; nothing stored)");
        ++outcome.restored;
    }
    ecu.storeSettings();
    ecu.confirmLink("while the ECU was told to store its settings (they may not be stored)");
    outcome.differences = ecu.checkSettings();
    return outcome;
}
