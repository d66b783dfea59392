// The preference store reading a settings file that may be damaged: a value it reports reads
// as empty, and a value written afterwards without a report reads back.

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "qtstore/qtpreferences.h"

namespace {

// A folder of its own for the inputs, removed (empty) when the run ends.
struct TScratchFolder {
    TScratchFolder() {
        // In memory where the machine has it: every input is written, read and written again.
        for (std::string name : {"/dev/shm/veltrace-fuzz-store-XXXXXX", "/tmp/veltrace-fuzz-store-XXXXXX"}) {
            if (::mkdtemp(name.data())) {
                path = name;
                return;
            }
        }
        std::abort();
    }
    ~TScratchFolder() { ::rmdir(path.c_str()); }
    std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TScratchFolder folder;
    static unsigned long count = 0;
    // A new name for every input: QSettings keeps the files it read in a cache of its own.
    const std::string path = folder.path + "/" + std::to_string(count++) + ".conf";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    std::vector<std::string> told;
    TQtPreferences store(path, [&](const std::string& text) { told.push_back(text); });
    for (const char* key : {"com.Type", "comm.comport", "comm.baudrate", "comm.hostname", "comm.portnum"}) {
        const size_t before = told.size();
        const std::string value = store.readPreference(key);
        check(told.size() == before || value.empty(), "a value that was reported reads as empty");
    }
    const size_t before = told.size();
    store.writePreference("comm.hostname", "ecu.local");
    if (told.size() == before)
        check(store.readPreference("comm.hostname") == "ecu.local", "a value written without a report reads back");
    ::unlink(path.c_str());
    return 0;
}
