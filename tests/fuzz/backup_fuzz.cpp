// The settings backup reader (restore).

#include <set>

#include "cli/backupfile.h"
#include "data/ecusettings.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        std::set<int> slots;
        int lastLine = 0;
        for (const TBackupEntry& e : parseBackup(text, "fuzz")) {
            check(slots.insert(e.slot).second, "a slot is given once");
            check(e.line > lastLine, "entries keep the file's order");
            // A name may hold any byte (TAB and line breaks come escaped); it writes back plain.
            check(!e.name.empty() && escapeSettingName(e.name).find_first_of("\t\r\n") == std::string::npos,
                  "names write back plain");
            lastLine = e.line;
        }
    } catch (const EBackupFormat& e) {
        check(e.line >= 1, "a refusal names its line");
    }
    return 0;
}
