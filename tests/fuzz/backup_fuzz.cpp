// The settings backup reader (restore).

#include <set>

#include "data/backupfile.h"
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
            // A name may hold any byte once unescaped ("c\\nfi" is c, LF, fi), as the ECU may send
            // any (an empty one is an unnamed slot); it is written back as it was read.
            const std::string written = escapeSettingName(e.name);
            check(written.find_first_of("\t\r\n") == std::string::npos, "a name is written on one line");
            check(unescapeSettingName(written) == e.name, "a name survives being written again");
            lastLine = e.line;
        }
    } catch (const EBackupFormat& e) {
        check(e.line >= 1, "a refusal names its line");
    }
    return 0;
}
