#pragma once
// Writing a settings backup back into the ECU, by name: shared by veltrace-cli's `restore` and
// the app's settings table window.

#include <string>
#include <vector>

#include "data/backupfile.h"
#include "data/settingsdiff.h"

class TECU;

struct TRestoreOutcome {
    int restored = 0;                      // settings written
    int unchanged = 0;                     // settings that already held the backup's value
    std::vector<std::string> missing;      // names of the backup this ECU's table lacks
    std::vector<int> missingUnnamed;       // the backup's slots without a name that this ECU's
                                           // table does not have unnamed
    std::vector<std::string> differences;  // what the table read back does not hold as written
                                           // (empty: the ECU holds the backup)
};

// For every entry, the slot of that name (a name held by several slots by its order among
// them, see matchByName; an entry without a name the same slot, when it has none either) takes
// the entry's value and is written at once, unless it holds that value already; then the ECU
// stores its settings and
// its table is read back and compared. Names the table lacks are passed over. Throws ELinkLost
// when the link goes meanwhile; the message says how many settings were written before and
// that nothing was stored, or that the store may not have happened.
// ELinkLost and EReplyError name every slot written before the end.
TRestoreOutcome restoreSettings(TECU& ecu, const std::vector<TBackupEntry>& backup);
// The same, without the naming: `written` collects the slots as they are written.
void restoreInto(TECU& ecu, const std::vector<TBackupEntry>& backup, TRestoreOutcome& outcome,
                 std::vector<int>& written);

// "Restored N settings from FILE" (N the settings of the file the ECU now holds), with
// "(M already held the file's value)" when some were not written.
std::string restoredText(const TRestoreOutcome& outcome, const std::string& file);

// Why `backup` (read from `file`) cannot be restored by name: it holds no settings, or (with
// `ecu`) the ECU sent no settings table when it was connected. Empty when it can.
std::string backupRefusal(const std::vector<TBackupEntry>& backup, const std::string& file);
std::string restoreRefusal(const TECU& ecu, const std::vector<TBackupEntry>& backup, const std::string& file);
// The named settings a restore would change: held by both, with other values; the ECU's value
// on the left, the backup's on the right. What the operator is asked about.
std::vector<TSettingDifference> restoreWrites(const TECU& ecu, const std::vector<TBackupEntry>& backup);
// For a backup whose values the ECU holds already.
std::string nothingToRestoreText(const std::string& file);

// A restore as the operator sees its end.
struct TRestoreReport {
    bool succeeded = false;
    // Succeeded: "Restored N settings from FILE ...", then a line "Not in this ECU's table: ..."
    // when the backup holds names or unnamed slots the table lacks. Failed: "Restoring FILE
    // failed: why. The backup FILE is unchanged: restore it again once the ECU answers".
    std::string text;
};
// restoreSettings, with its end (a lost link, replies that are no ECU's, a read-back that does
// not hold what was written) in the operator's words.
TRestoreReport restoreBackup(TECU& ecu, const std::vector<TBackupEntry>& backup, const std::string& file);
